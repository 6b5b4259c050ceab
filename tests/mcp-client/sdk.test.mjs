// sdk.test.mjs - vesk-mcp as the official MCP TypeScript SDK client sees it: the SDK's Client
// with its StdioClientTransport starts vesk-mcp, and vesk-studio-sim plays Vesk Studio. One pass
// through each feature a client uses.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { McpError, SUPPORTED_PROTOCOL_VERSIONS } from '@modelcontextprotocol/sdk/types.js';
import { Sim, connectClient, pipeName, waitFor, withLog } from './lib.mjs';

const ourVersions = ['2025-11-25', '2025-06-18', '2025-03-26', '2024-11-05'];
const simTools = ['add_wall', 'add_opening', 'list_elements', 'undo', 'render_preview', 'enable_furniture'];

// Runs body with a fresh simulator and a connected client; the session must end by itself with
// 0 on client.close(), before the SDK would send SIGTERM, with no error reported by the SDK.
async function withSession({ simOptions = [], args = [], clientOptions = {} }, body) {
    const pipe = pipeName();
    const sim = await new Sim(pipe, simOptions).start();
    let session;
    try {
        session = await connectClient({ args: ['--pipe', pipe, ...args], clientOptions });
        await body(session, sim, pipe);
        assert.deepEqual(await session.close(), { code: 0, signal: null });
        assert.deepEqual(session.errors.map(String), []);
    } catch (error) {
        if (session)
            error.message = withLog(session, error.message) + `\n--- sim stderr ---\n${sim.stderr}`;
        throw error;
    } finally {
        if (session && session.exit === undefined)
            await session.client.close().catch(() => {});
        await sim.stop();
    }
}

test('initialize agrees on each version both sides know, else on the newest', async () => {
    for (const requested of SUPPORTED_PROTOCOL_VERSIONS) {
        const session = await connectClient({ args: ['--pipe', pipeName()], protocolVersion: requested });
        assert.equal(session.negotiated, ourVersions.includes(requested) ? requested : ourVersions[0]);
        assert.deepEqual(session.client.getServerVersion(), { name: 'vesk-studio', title: 'Vesk Studio', version: process.env.VESK_VERSION });
        assert.deepEqual(session.client.getServerCapabilities(), { tools: { listChanged: true } });
        assert.match(session.client.getInstructions(), /vesk_status is the only tool/);
        assert.deepEqual(await session.close(), { code: 0, signal: null });
    }
});

test('tools: the far end\'s pages with vesk_status on the first, calls, errors and own ids', async () => {
    await withSession({ simOptions: ['--page-size', '4', '--error-on', 'undo'] }, async (session, sim) => {
        const client = session.client;
        const first = await client.listTools();
        assert.deepEqual(first.tools.map(t => t.name), [...simTools.slice(0, 4), 'vesk_status']);
        const second = await client.listTools({ cursor: first.nextCursor });
        assert.deepEqual(second.tools.map(t => t.name), simTools.slice(4));
        assert.equal(second.nextCursor, undefined);

        const wall = await client.callTool({ name: 'add_wall', arguments: { x1: 0, y1: 0, x2: 5000, y2: 0, thickness: 200 } });
        assert.equal(wall.isError, false);
        assert.match((await client.callTool({ name: 'list_elements', arguments: {} })).content[0].text, /5000/);
        await assert.rejects(client.callTool({ name: 'undo', arguments: {} }), error =>
            error instanceof McpError && error.code === -32000 && /Drawing is locked/.test(error.message)
            && error.data.tool === 'undo');
        const status = await client.callTool({ name: 'vesk_status', arguments: {} });
        assert.match(status.content[0].text, /Vesk Studio is connected and ready\./);

        // The far end saw the program's own ids 1, 2, ... and no "jsonrpc" member.
        await waitFor(() => sim.received.length === 5, 'five requests at the far end');
        assert.deepEqual(sim.received.map(m => m.id), [1, 2, 3, 4, 5]);
        assert.ok(sim.received.every(m => !('jsonrpc' in m)));
    });
});

test('progress reaches onprogress, and an aborted call is cancelled at the far end', async () => {
    await withSession({}, async (session, sim) => {
        // The far end sends its last progress and the result together; the SDK would handle
        // the result first and report that progress as an error ("unknown token") if both came
        // in one read. Every step of every run must arrive.
        let complete = 0;
        for (let run = 0; run < 20; ++run) {
            const progress = [];
            await session.client.callTool({ name: 'render_preview', arguments: { steps: 4, stepMs: 5 } }, undefined,
                                          { onprogress: p => progress.push([p.progress, p.total]) });
            complete += progress.length === 4 ? 1 : 0;
        }
        console.log(`# all 4 progress steps in ${complete} of 20 runs`);
        assert.equal(complete, 20, session.errors.map(String).join('\n'));

        const abort = new AbortController();
        const call = session.client.callTool({ name: 'render_preview', arguments: { steps: 200, stepMs: 50 } }, undefined,
                                             { signal: abort.signal, onprogress: () => abort.abort('stop') });
        await assert.rejects(call);
        await waitFor(() => sim.messages('notifications/cancelled').length === 1, 'the cancellation at the far end');
        assert.deepEqual(sim.messages('notifications/cancelled')[0].params, { requestId: 21, reason: 'stop' });
        assert.equal((await session.client.callTool({ name: 'list_elements', arguments: {} })).isError, false);
    });
});

test('the tool list refreshes when the far end goes away and comes back', async () => {
    const lists = [];
    const clientOptions = { listChanged: { tools: { debounceMs: 0, onChanged: (error, tools) => lists.push(error ? String(error) : tools.map(t => t.name)) } } };
    await withSession({ args: ['--poll-ms', '200'], clientOptions }, async (session, sim, pipe) => {
        assert.equal((await session.client.listTools()).tools.length, simTools.length + 1);
        await sim.stop();
        await waitFor(() => lists.length >= 1, 'a refresh after the far end went away');
        assert.deepEqual(lists[0], ['vesk_status']);
        const offline = await session.client.callTool({ name: 'add_wall', arguments: {} });
        assert.equal(offline.isError, true);
        assert.ok(offline.content[0].text.endsWith(`(local pipe: \\\\.\\pipe\\${pipe})`));

        await sim.start();
        await waitFor(() => lists.length >= 2, 'a refresh after the far end came back');
        assert.deepEqual(lists[1], [...simTools, 'vesk_status']);
        await session.client.callTool({ name: 'enable_furniture', arguments: {} }); // the far end's own announcement
        await waitFor(() => lists.length >= 3, 'a refresh after enable_furniture');
        assert.ok(lists[2].includes('add_furniture'), String(lists[2]));
    });
});

test('a call the far end never answers times out as a tool error and is cancelled there', async () => {
    await withSession({ simOptions: ['--never-answer'], args: ['--timeout', '1'] }, async (session, sim) => {
        const result = await session.client.callTool({ name: 'add_wall', arguments: {} });
        assert.equal(result.isError, true);
        assert.match(result.content[0].text, /did not answer within 1 s \(tool "add_wall"\)/);
        await waitFor(() => sim.messages('notifications/cancelled').length === 1, 'the cancellation');
        assert.deepEqual(sim.messages('notifications/cancelled')[0].params, { requestId: 1, reason: 'timeout' });
    });
});

test('client.close() with a call outstanding waits for its answer, then ends with 0', async () => {
    await withSession({ simOptions: ['--delay-ms', '400'] }, async (session, sim) => {
        const call = session.client.callTool({ name: 'undo', arguments: {} }).catch(error => error);
        await waitFor(() => sim.messages('tools/call').length === 1, 'the call at the far end');
        assert.deepEqual(await session.close(), { code: 0, signal: null });
        assert.ok(session.closeMs < 2000, `took ${session.closeMs} ms, the SDK sends SIGTERM after 2000`);
        await call;
    });
});
