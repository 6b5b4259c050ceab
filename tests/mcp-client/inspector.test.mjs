// inspector.test.mjs - vesk-mcp driven by the official MCP Inspector in CLI mode, one process per
// method, as a person checking a server by hand would run it
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { createRequire } from 'node:module';
import path from 'node:path';
import { Sim, pipeName, vesk } from './lib.mjs';

const require = createRequire(import.meta.url);
const inspectorCli = path.join(path.dirname(require.resolve('@modelcontextprotocol/inspector/package.json')),
                               'cli', 'build', 'cli.js');

// `mcp-inspector --cli -e VESK_MCP_PIPE=<pipe> <vesk-mcp> <args>`: the exit code, both outputs
// and the result parsed from stdout.
function inspect(pipe, args, env = {}) {
    const variables = Object.entries({ VESK_MCP_PIPE: pipe, ...env }).flatMap(([k, v]) => ['-e', `${k}=${v}`]);
    return new Promise(resolve => execFile(process.execPath, [inspectorCli, '--cli', ...variables, vesk, ...args],
                                           { timeout: 60000 }, (error, stdout, stderr) => {
        let result = null;
        try {
            result = JSON.parse(stdout);
        } catch { /* the assertion shows stdout */ }
        resolve({ code: error ? error.code : 0, stdout, stderr, result, explain: `${stdout}\n${stderr}` });
    }));
}
const call = (tool, ...args) => ['--method', 'tools/call', '--tool-name', tool, ...(args.length ? ['--tool-arg', ...args] : [])];

test('the Inspector lists the merged tools, calls them and sees errors', async () => {
    const pipe = pipeName();
    const sim = await new Sim(pipe, ['--error-on', 'undo']).start();
    try {
        const listed = await inspect(pipe, ['--method', 'tools/list']);
        assert.equal(listed.code, 0, listed.explain);
        assert.equal(listed.result.tools.at(-1).name, 'vesk_status');
        // The Inspector turns the key=value strings into numbers from the tool's input schema.
        const wall = await inspect(pipe, call('add_wall', 'x1=0', 'y1=0', 'x2=3000', 'y2=0', 'thickness=200'));
        assert.equal(wall.result.isError, false, wall.explain);
        assert.deepEqual(sim.messages('tools/call')[0].params.arguments, { x1: 0, y1: 0, x2: 3000, y2: 0, thickness: 200 });
        const locked = await inspect(pipe, call('undo'));
        assert.notEqual(locked.code, 0, locked.explain);
        assert.match(locked.stderr, /Drawing is locked/);
    } finally {
        await sim.stop();
    }
});

test('the Inspector without the far end sees vesk_status alone and its texts', async () => {
    const pipe = pipeName();
    const listed = await inspect(pipe, ['--method', 'tools/list']);
    assert.deepEqual(listed.result.tools.map(t => t.name), ['vesk_status'], listed.explain);
    const status = await inspect(pipe, call('vesk_status'));
    assert.equal(status.result.isError, false, status.explain);
    assert.match(status.result.content[0].text, /^Vesk Studio chưa kết nối/);
    const wall = await inspect(pipe, call('add_wall', 'x1=1'));
    assert.equal(wall.result.isError, true, wall.explain);
    assert.match(wall.result.content[0].text, /Tool "add_wall" is not available\./);
});
