// bundle-test.mjs - runs a built vesk-mcp bundle (.mcpb) the way Claude Desktop does. It unpacks the
// bundle with the format's own code into an empty folder whose path has a space (as the host's
// "Claude Extensions" folder has), validates the manifest there, asks the format's loader
// (getMcpConfigForManifest: the code the host uses to fill ${__dirname} and ${user_config.*}) for
// the server's command, once with the settings' defaults and once with every setting changed,
// and runs exactly that command and environment under wine against vesk-studio-sim.exe:
// initialize, tools/list, one tools/call. The stand-in answers calls 4 s late, so the defaults
// get the drawing's answer and a 2 s time-out gets the time-out answer.
//
//   scripts/mcpb.sh test BUNDLE VESK-STUDIO-SIM.EXE VERSION
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { getMcpConfigForManifest, unpackExtension, validateManifest } from '@anthropic-ai/mcpb';

const [bundle, simExe, version] = process.argv.slice(2);
if (!version || !existsSync(bundle) || !existsSync(simExe))
    throw new Error('usage: bundle-test.mjs BUNDLE VESK-STUDIO-SIM.EXE VERSION');
const wineRun = fileURLToPath(new URL('../../scripts/wine-run.sh', import.meta.url));
const children = [];
const work = mkdtempSync(path.join(tmpdir(), 'vesk-bundle-test-'));
process.on('exit', () => {
    children.forEach(child => child.exitCode === null && child.kill());
    rmSync(work, { recursive: true, force: true });
});
for (const signal of ['SIGINT', 'SIGTERM'])
    process.on(signal, () => process.exit(1));
function fail(what, details = '') {
    console.error(`bundle-test: FAILED: ${what}${details && `\n${details}`}`);
    process.exit(1);
}
async function waitFor(predicate, what, ms = 60000) {
    for (const end = Date.now() + ms; !predicate(); await new Promise(r => setTimeout(r, 50)))
        if (Date.now() > end)
            fail(`timed out waiting for ${what}`);
}

// A Windows program under wine: its stdout lines, its stderr text.
function start(command, args, env = {}) {
    const child = spawn(wineRun, [command, ...args], { env: { ...process.env, ...env } });
    const program = { child, lines: [], stderr: '' };
    let pending = '';
    child.stdout.setEncoding('utf8').on('data', chunk => {
        pending += chunk;
        for (let lf; (lf = pending.indexOf('\n')) >= 0; pending = pending.slice(lf + 1))
            program.lines.push(pending.slice(0, lf));
    });
    child.stderr.setEncoding('utf8').on('data', chunk => { program.stderr += chunk; });
    program.exited = new Promise(resolve => child.on('exit', resolve));
    children.push(child);
    return program;
}

const dir = path.join(work, 'Claude Extensions', 'vesk-mcp');
if (!(await unpackExtension({ mcpbPath: bundle, outputDir: dir, silent: true })))
    fail('the bundle does not unpack');
const printed = [];
const consoleLog = console.log;
console.log = text => printed.push(text);
const valid = validateManifest(dir);
console.log = consoleLog;
if (!valid)
    fail('the unpacked manifest is not valid', printed.join('\n'));
const manifest = JSON.parse(readFileSync(path.join(dir, 'manifest.json'), 'utf8'));
if (manifest.version !== version)
    fail(`the manifest's version is ${manifest.version}, not ${version}`);
for (const file of [manifest.server.entry_point, 'LICENSE.txt', 'THIRD-PARTY-NOTICES.txt',
    'licenses/LGPL-3.txt', 'relink/link-vesk-mcp.sh'])
    if (!existsSync(path.join(dir, file)))
        fail(`${file} is missing from the bundle`);
const icon = readFileSync(path.join(dir, manifest.icon));
if (icon.readUInt32BE(16) !== 512 || icon.readUInt32BE(20) !== 512)
    fail(`the icon is not 512 x 512`);

// The folder as the host on Windows names it; wine's drive Z: is the root of this machine.
const winDir = 'Z:' + dir.replaceAll('/', '\\');
const sessions = [
    { name: 'defaults', settings: {} },
    { name: 'changed settings', settings: { timeout: 2, pipe: `vesk-bundle-test-${process.pid}` } },
];
for (const { name, settings } of sessions) {
    const config = await getMcpConfigForManifest({
        manifest, extensionPath: winDir, systemDirs: {}, userConfig: settings, pathSeparator: '\\',
    });
    if (!config || JSON.stringify(config).includes('${'))
        fail(`${name}: the loader did not fill in the configuration`, JSON.stringify(config));
    const sim = start(simExe, [...(settings.pipe ? ['--pipe', settings.pipe] : []), '--delay-ms', '4000']);
    const listening = /sim: listening on (\S+)/;
    await waitFor(() => listening.test(sim.stderr) || sim.child.exitCode !== null, 'the stand-in');
    if (!listening.test(sim.stderr))
        fail(`${name}: vesk-studio-sim.exe did not start`, sim.stderr);

    const server = start(config.command, config.args, config.env);
    const show = () => `--- vesk-mcp stdout\n${server.lines.join('\n')}\n--- vesk-mcp stderr\n${server.stderr}`;
    const ask = async (id, method, params) => {
        server.child.stdin.write(JSON.stringify({ jsonrpc: '2.0', id, method, params }) + '\n');
        const answer = () => server.lines.map(line => { try { return JSON.parse(line); } catch { return {}; } })
            .find(m => m.id === id);
        await waitFor(() => answer() || server.child.exitCode !== null, `the answer to ${method}`);
        return answer() ?? fail(`${name}: vesk-mcp.exe ended before answering ${method}`, show());
    };
    const init = await ask(1, 'initialize', {
        protocolVersion: '2025-06-18', capabilities: {}, clientInfo: { name: 'bundle-test', version: '1' },
    });
    if (init.result?.serverInfo?.version !== version)
        fail(`${name}: initialize does not report version ${version}`, show());
    server.child.stdin.write('{"jsonrpc":"2.0","method":"notifications/initialized"}\n');
    const tools = (await ask(2, 'tools/list', {})).result?.tools?.map(tool => tool.name) ?? [];
    for (const wanted of ['add_wall', 'list_elements', ...manifest.tools.map(tool => tool.name)])
        if (!tools.includes(wanted))
            fail(`${name}: tools/list has no ${wanted}`, show());
    const call = (await ask(3, 'tools/call', { name: 'add_wall', arguments: { x1: 0, y1: 0, x2: 5000, y2: 0 } })).result;
    const text = call?.content?.[0]?.text ?? '';
    const expected = settings.timeout ? `did not answer within ${settings.timeout} s` : 'Added wall W1';
    if (!text.includes(expected) || call.isError !== Boolean(settings.timeout))
        fail(`${name}: add_wall was not answered with "${expected}"`, show());

    // The pipe in effect, from vesk-mcp's log, against the one the stand-in serves.
    const pipe = server.stderr.match(/^vesk-mcp: client bundle-test 1, .*, pipe (.*)$/m)?.[1];
    const served = sim.stderr.match(listening)[1];
    if (!pipe || !served.endsWith(`\\${pipe}`) || (settings.pipe && pipe !== settings.pipe))
        fail(`${name}: vesk-mcp used pipe ${pipe}, the stand-in serves ${served}`, show());
    server.child.stdin.end();
    const status = await server.exited;
    if (status !== 0)
        fail(`${name}: vesk-mcp.exe ended with ${status}`, show());
    sim.child.kill();
    await sim.exited;
    console.log(`   ${name}: ${config.command} ${JSON.stringify(config.args)} env ${JSON.stringify(config.env)}`);
    console.log(`      pipe ${pipe}, ${tools.length} tools, add_wall answered: ${text.split('\n').find(line => line.includes(expected))}`);
}
console.log(`bundle-test: ${path.basename(bundle)} passed (unpacked, validated, run as the host runs it with default and changed settings)`);
// Wine's services, started by the first program of a new wine server, hold on to its pipes.
process.exit(0);
