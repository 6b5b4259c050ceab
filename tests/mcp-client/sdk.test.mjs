// sdk.test.mjs - vesk-mcp as the official MCP TypeScript SDK client sees it: the SDK's Client
// with its StdioClientTransport starts vesk-mcp, and vesk-studio-sim plays Vesk Studio
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { McpError, SUPPORTED_PROTOCOL_VERSIONS } from '@modelcontextprotocol/sdk/types.js';
import { Sim, connectClient, pipeName, waitFor, withLog } from './lib.mjs';

const ourVersions = ['2025-11-25', '2025-06-18', '2025-03-26', '2024-11-05'];
const simTools = ['add_wall', 'add_opening', 'list_elements', 'undo', 'render_preview', 'enable_furniture'];

// Ends the session as an AI client does and checks that vesk-mcp ended by itself with 0, before
// the SDK would have sent SIGTERM.
async function closeCleanly(session) {
    const exit = await session.close();
    assert.deepEqual(exit, { code: 0, signal: null },
                     withLog(session, `vesk-mcp did not end by itself with 0 on client.close()`));
    assert.deepEqual(session.errors.map(String), [], withLog(session, 'the SDK reported errors'));
}

// Runs body with a fresh simulator and a connected client; stops both whatever happens.
async function withSession({ simOptions = [], args = [], clientOptions = {}, sim = true }, body) {
    const pipe = pipeName();
    const far = sim ? await new Sim(pipe, simOptions).start() : null;
    let session;
    try {
        session = await connectClient({ args: ['--pipe', pipe, ...args], clientOptions });
        await body(session, far, pipe);
        await closeCleanly(session);
    } catch (error) {
        if (session)
            error.message = withLog(session, error.message) + (far ? `\n--- sim stderr ---\n${far.stderr}` : '');
        throw error;
    } finally {
        if (session && session.exit === undefined)
            await session.client.close().catch(() => {});
        if (far)
            await far.stop();
    }
}

test('initialize agrees on every protocol version that both sides know', async () => {
    const versions = ourVersions.filter(v => SUPPORTED_PROTOCOL_VERSIONS.includes(v));
    assert.ok(versions.length >= 2, `the SDK offers only ${SUPPORTED_PROTOCOL_VERSIONS}`);
    // Versions the SDK knows but vesk-mcp does not are answered with the newest one, which the
    // SDK must accept.
    const foreign = SUPPORTED_PROTOCOL_VERSIONS.filter(v => !ourVersions.includes(v));
    for (const requested of [...versions, ...foreign]) {
        const pipe = pipeName();
        const session = await connectClient({ args: ['--pipe', pipe], protocolVersion: requested });
        const expected = ourVersions.includes(requested) ? requested : ourVersions[0];
        assert.equal(session.negotiated, expected, withLog(session, `requested ${requested}`));
        assert.deepEqual(session.client.getServerVersion(),
                         { name: 'vesk-studio', title: 'Vesk Studio', version: '0.6.0' });
        assert.deepEqual(session.client.getServerCapabilities(), { tools: { listChanged: true } });
        assert.match(session.client.getInstructions(), /vesk_status is the only tool/);
        const logged = `protocol ${expected} (requested ${requested})`;
        await waitFor(() => session.stderr.includes(logged), `the log line "${logged}"`);
        await closeCleanly(session);
    }
});

test('tools/list merges vesk_status into the far end\'s tools, page by page', async () => {
    await withSession({}, async session => {
        const { tools, nextCursor } = await session.client.listTools();
        assert.deepEqual(tools.map(t => t.name), [...simTools, 'vesk_status']);
        assert.equal(nextCursor, undefined);
        const status = tools.at(-1);
        assert.equal(status.title, 'Vesk Studio connection');
        assert.deepEqual(status.inputSchema, { type: 'object', properties: {}, additionalProperties: false });
        assert.equal(status.annotations.readOnlyHint, true);
    });
    // With the far end's own paging, vesk_status joins the first page only.
    await withSession({ simOptions: ['--page-size', '4'] }, async session => {
        const first = await session.client.listTools();
        assert.deepEqual(first.tools.map(t => t.name), [...simTools.slice(0, 4), 'vesk_status']);
        assert.ok(first.nextCursor, 'the far end\'s cursor reaches the client');
        const second = await session.client.listTools({ cursor: first.nextCursor });
        assert.deepEqual(second.tools.map(t => t.name), simTools.slice(4));
        assert.equal(second.nextCursor, undefined);
    });
    // A far end with a vesk_status of its own keeps it, and answers its calls itself.
    await withSession({ simOptions: ['--own-status'] }, async (session, sim) => {
        const { tools } = await session.client.listTools();
        assert.equal(tools.filter(t => t.name === 'vesk_status').length, 1);
        const result = await session.client.callTool({ name: 'vesk_status', arguments: {} });
        assert.equal(result.content[0].text, 'sim: status ok');
        await waitFor(() => sim.messages('tools/call').length === 1, 'the call at the far end');
    });
});

test('tool calls reach the far end with its own ids and come back', async () => {
    await withSession({ simOptions: ['--error-on', 'undo'] }, async (session, sim) => {
        const client = session.client;
        const wall = await client.callTool({
            name: 'add_wall',
            arguments: { x1: 0, y1: 0, x2: 5000, y2: 0, thickness: 200 },
        });
        assert.equal(wall.isError, false);
        assert.match(wall.content[0].text, /wall/i);
        const listed = await client.callTool({ name: 'list_elements', arguments: {} });
        assert.match(listed.content[0].text, /5000/);

        // The far end's own error reaches the SDK as a JSON-RPC error, code, message and data.
        await assert.rejects(client.callTool({ name: 'undo', arguments: {} }), error => {
            assert.ok(error instanceof McpError);
            assert.equal(error.code, -32000);
            assert.match(error.message, /Drawing is locked/);
            assert.deepEqual(error.data, { tool: 'undo' });
            return true;
        });

        // Connected, and without a vesk_status of the far end's: answered locally.
        const status = await client.callTool({ name: 'vesk_status', arguments: {} });
        assert.equal(status.isError, false);
        assert.match(status.content[0].text, /Vesk Studio is connected and ready\./);

        // The far end saw the program's own ids 1, 2, ... and no "jsonrpc" member.
        await waitFor(() => sim.messages('tools/call').length === 3, 'three calls at the far end');
        const calls = sim.messages('tools/call');
        assert.deepEqual(calls.map(c => c.params.name), ['add_wall', 'list_elements', 'undo']);
        assert.deepEqual(calls.map(c => c.id), [1, 2, 3]);
        assert.ok(calls.every(c => !('jsonrpc' in c)));
    });
});

test('progress notifications reach the SDK\'s onprogress', async () => {
    await withSession({}, async (session, sim) => {
        const progress = [];
        const result = await session.client.callTool(
            { name: 'render_preview', arguments: { steps: 4, stepMs: 30 } },
            undefined,
            { onprogress: p => progress.push(p) });
        assert.equal(result.isError, false);
        // The far end sends its last progress right before the result, and both reach the SDK
        // in one read. The SDK handles notifications a microtask later than responses, so by
        // then the request is over: it drops that progress and reports an "unknown token".
        const expected = [[1, 4], [2, 4], [3, 4], [4, 4]];
        const got = progress.map(p => [p.progress, p.total]);
        assert.deepEqual(got, expected.slice(0, got.length));
        assert.ok(got.length >= 3, JSON.stringify(got));
        assert.equal(progress[0].message, 'Rendering preview: step 1 of 4');
        const late = session.errors.filter(e => /progress notification for an unknown token/.test(e.message));
        assert.equal(got.length + late.length, 4, session.errors.map(String).join('\n'));
        session.errors = session.errors.filter(e => !late.includes(e));
        // The SDK's token went to the far end inside params._meta, unchanged.
        await waitFor(() => sim.messages('tools/call').length === 1, 'the call at the far end');
        const call = sim.messages('tools/call')[0];
        assert.equal(typeof call.params._meta.progressToken, 'number');
    });
});

test('an aborted call is cancelled at the far end under the far end\'s id', async () => {
    await withSession({}, async (session, sim) => {
        const client = session.client;
        await client.callTool({ name: 'add_wall', arguments: { x1: 0, y1: 0, x2: 1, y2: 0, thickness: 1 } });
        const abort = new AbortController();
        let progressed = 0;
        const call = client.callTool(
            { name: 'render_preview', arguments: { steps: 200, stepMs: 50 } },
            undefined,
            { signal: abort.signal, onprogress: () => { ++progressed; } });
        await waitFor(() => progressed > 0, 'the first progress notification');
        abort.abort('the user pressed stop');
        await assert.rejects(call);

        await waitFor(() => sim.messages('notifications/cancelled').length > 0, 'the cancellation at the far end');
        const forwarded = sim.messages('tools/call').find(c => c.params.name === 'render_preview');
        const cancelled = sim.messages('notifications/cancelled')[0];
        assert.equal(forwarded.id, 2);
        assert.deepEqual(cancelled.params, { requestId: 2, reason: 'the user pressed stop' });
        await waitFor(() => /dropped request (n:)?2 \(cancelled/.test(sim.stderr), 'the far end to drop the call');

        // The session goes on; the cancelled call never gets an answer (the SDK would report it).
        const listed = await client.callTool({ name: 'list_elements', arguments: {} });
        assert.equal(listed.isError, false);
    });
});

test('the tool list refreshes when the far end goes away and comes back', async () => {
    const lists = [];
    const clientOptions = {
        listChanged: {
            tools: {
                debounceMs: 0,
                onChanged: (error, tools) => lists.push(error ? `error: ${error.message}` : tools.map(t => t.name)),
            },
        },
    };
    const pipe = pipeName();
    let sim = await new Sim(pipe).start();
    const session = await connectClient({ args: ['--pipe', pipe, '--poll-ms', '200'], clientOptions });
    try {
        const { tools } = await session.client.listTools();
        assert.equal(tools.length, simTools.length + 1);

        await sim.stop();
        await waitFor(() => lists.length >= 1, 'a refresh after the far end went away');
        assert.deepEqual(lists[0], ['vesk_status']);
        const offline = await session.client.callTool({ name: 'add_wall', arguments: {} });
        assert.equal(offline.isError, true);
        assert.match(offline.content[0].text, /Tool "add_wall" is not available\./);

        sim = await new Sim(pipe).start();
        await waitFor(() => lists.length >= 2, 'a refresh after the far end came back');
        assert.deepEqual(lists[1], [...simTools, 'vesk_status']);

        // The far end's own announcement is passed on too.
        await session.client.callTool({ name: 'enable_furniture', arguments: {} });
        await waitFor(() => lists.length >= 3, 'a refresh after enable_furniture');
        assert.ok(lists[2].includes('add_furniture'), String(lists[2]));
        assert.equal(lists.length, 3, JSON.stringify(lists));
        await closeCleanly(session);
    } catch (error) {
        error.message = withLog(session, error.message);
        throw error;
    } finally {
        if (session.exit === undefined)
            await session.client.close().catch(() => {});
        await sim.stop();
    }
});

test('a call the far end never answers times out as a tool error and is cancelled there', async () => {
    await withSession({ simOptions: ['--never-answer'], args: ['--timeout', '1'] }, async (session, sim) => {
        const started = Date.now();
        const result = await session.client.callTool({ name: 'add_wall', arguments: {} });
        const took = Date.now() - started;
        assert.equal(result.isError, true);
        assert.match(result.content[0].text, /Vesk Studio did not answer within 1 s \(tool "add_wall"\)/);
        assert.ok(took >= 900, `answered after ${took} ms`);
        await waitFor(() => sim.messages('notifications/cancelled').length === 1, 'the cancellation');
        assert.deepEqual(sim.messages('notifications/cancelled')[0].params, { requestId: 1, reason: 'timeout' });
        assert.match(session.stderr, /no answer to tools\/call add_wall within 1 s/);
    });
});

test('the SDK\'s own request time-out, shorter than vesk-mcp\'s, cancels the call at the far end', async () => {
    // The SDK gives up after 60 s by default, vesk-mcp after 120 s: with default settings the SDK's
    // time-out always comes first, as a cancellation with the SDK's reason.
    await withSession({ simOptions: ['--never-answer'] }, async (session, sim) => {
        await assert.rejects(
            session.client.callTool({ name: 'undo', arguments: {} }, undefined, { timeout: 300 }),
            error => error instanceof McpError && error.code === -32001);
        await waitFor(() => sim.messages('notifications/cancelled').length === 1, 'the cancellation');
        const cancelled = sim.messages('notifications/cancelled')[0];
        assert.equal(cancelled.params.requestId, 1);
        assert.match(cancelled.params.reason, /Request timed out/);
        // The session goes on.
        assert.deepEqual(await session.client.ping(), {});
    });
});

test('client.close() with a call outstanding waits for its answer, then ends with 0', async () => {
    await withSession({ simOptions: ['--delay-ms', '400'] }, async (session, sim) => {
        const call = session.client.callTool({ name: 'undo', arguments: {} }).catch(error => error);
        await waitFor(() => sim.messages('tools/call').length === 1, 'the call at the far end');
        const exit = await session.close();
        assert.deepEqual(exit, { code: 0, signal: null });
        assert.ok(session.closeMs < 2000, `took ${session.closeMs} ms, the SDK sends SIGTERM after 2000`);
        await call;
    });
});

test('without the far end every call is answered from vesk-mcp itself', async () => {
    await withSession({ sim: false }, async (session, sim, pipe) => {
        const { tools } = await session.client.listTools();
        assert.deepEqual(tools.map(t => t.name), ['vesk_status']);
        const status = await session.client.callTool({ name: 'vesk_status', arguments: {} });
        assert.equal(status.isError, false);
        assert.ok(status.content[0].text.endsWith(`(local pipe: \\\\.\\pipe\\${pipe})`), status.content[0].text);
        const wall = await session.client.callTool({ name: 'add_wall', arguments: {} });
        assert.equal(wall.isError, true);
    });
});
