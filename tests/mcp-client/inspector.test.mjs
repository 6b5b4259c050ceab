// inspector.test.mjs - vesk-mcp driven by the official MCP Inspector in CLI mode, one process per
// method, as a person checking a server by hand would run it
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { createRequire } from 'node:module';
import path from 'node:path';
import { Sim, pipeName, vesk, waitFor } from './lib.mjs';

const require = createRequire(import.meta.url);
const inspectorCli = path.join(path.dirname(require.resolve('@modelcontextprotocol/inspector/package.json')),
                               'cli', 'build', 'cli.js');

// Runs `mcp-inspector --cli -e VESK_MCP_PIPE=<pipe> <vesk-mcp> <args>`; resolves with the exit
// code and both outputs, the result parsed when stdout holds one.
function inspect(pipe, args, env = {}) {
    return new Promise(resolve => {
        execFile(process.execPath,
                 [inspectorCli, '--cli', '-e', `VESK_MCP_PIPE=${pipe}`, ...Object.entries(env).flatMap(([k, v]) => ['-e', `${k}=${v}`]),
                  vesk, ...args],
                 { timeout: 60000 },
                 (error, stdout, stderr) => {
                     let result = null;
                     try {
                         result = JSON.parse(stdout);
                     } catch {
                         // left null; the caller's assertion shows stdout
                     }
                     resolve({ code: error ? error.code : 0, stdout, stderr, result });
                 });
    });
}

function explain(run, sim) {
    return `exit ${run.code}\n--- stdout ---\n${run.stdout}\n--- stderr ---\n${run.stderr}`
           + (sim ? `\n--- sim stderr ---\n${sim.stderr}` : '');
}

test('the Inspector lists the merged tools and calls them', async () => {
    const pipe = pipeName();
    const sim = await new Sim(pipe, ['--error-on', 'undo']).start();
    try {
        const listed = await inspect(pipe, ['--method', 'tools/list']);
        assert.equal(listed.code, 0, explain(listed, sim));
        assert.deepEqual(listed.result.tools.map(t => t.name),
                         ['add_wall', 'add_opening', 'list_elements', 'undo', 'render_preview',
                          'enable_furniture', 'vesk_status']);

        // The Inspector turns the key=value strings into numbers from the tool's input schema.
        const wall = await inspect(pipe, ['--method', 'tools/call', '--tool-name', 'add_wall',
                                          '--tool-arg', 'x1=0', 'y1=0', 'x2=3000', 'y2=0', 'thickness=200']);
        assert.equal(wall.code, 0, explain(wall, sim));
        assert.equal(wall.result.isError, false, explain(wall, sim));
        await waitFor(() => sim.messages('tools/call').some(c => c.params.name === 'add_wall'), 'the call at the far end');
        const call = sim.messages('tools/call').find(c => c.params.name === 'add_wall');
        assert.deepEqual(call.params.arguments, { x1: 0, y1: 0, x2: 3000, y2: 0, thickness: 200 });

        // Each Inspector run is a new vesk-mcp, but the far end keeps the drawing.
        const elements = await inspect(pipe, ['--method', 'tools/call', '--tool-name', 'list_elements']);
        assert.equal(elements.code, 0, explain(elements, sim));
        assert.match(elements.result.content[0].text, /3000/);

        const status = await inspect(pipe, ['--method', 'tools/call', '--tool-name', 'vesk_status']);
        assert.equal(status.code, 0, explain(status, sim));
        assert.match(status.result.content[0].text, /Vesk Studio is connected and ready\./);

        // The far end's JSON-RPC error fails the Inspector run with its message.
        const locked = await inspect(pipe, ['--method', 'tools/call', '--tool-name', 'undo']);
        assert.notEqual(locked.code, 0, explain(locked, sim));
        assert.match(locked.stderr, /Drawing is locked/);
    } finally {
        await sim.stop();
    }
});

test('the Inspector without the far end sees vesk_status alone and its texts', async () => {
    const pipe = pipeName();
    const listed = await inspect(pipe, ['--method', 'tools/list']);
    assert.equal(listed.code, 0, explain(listed));
    assert.deepEqual(listed.result.tools.map(t => t.name), ['vesk_status']);

    const status = await inspect(pipe, ['--method', 'tools/call', '--tool-name', 'vesk_status']);
    assert.equal(status.code, 0, explain(status));
    assert.equal(status.result.isError, false);
    assert.match(status.result.content[0].text, /^Vesk Studio chưa kết nối/);
    assert.ok(status.result.content[0].text.endsWith(`(local pipe: \\\\.\\pipe\\${pipe})`));

    const wall = await inspect(pipe, ['--method', 'tools/call', '--tool-name', 'add_wall', '--tool-arg', 'x1=1']);
    assert.equal(wall.code, 0, explain(wall));
    assert.equal(wall.result.isError, true);
    assert.match(wall.result.content[0].text, /Tool "add_wall" is not available\./);
});

test('the Inspector sees the time-out as a tool error', async () => {
    const pipe = pipeName();
    const sim = await new Sim(pipe, ['--never-answer']).start();
    try {
        const run = await inspect(pipe, ['--method', 'tools/call', '--tool-name', 'undo'], { VESK_MCP_TIMEOUT: '1' });
        assert.equal(run.code, 0, explain(run, sim));
        assert.equal(run.result.isError, true);
        assert.match(run.result.content[0].text, /did not answer within 1 s \(tool "undo"\)/);
        await waitFor(() => sim.messages('notifications/cancelled').length === 1, 'the cancellation');
    } finally {
        await sim.stop();
    }
});
