// lib.mjs - what the client tests share: the programs under test, the stand-in far end, and an
// official SDK client connected to vesk-mcp over stdio
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { existsSync } from 'node:fs';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

export const vesk = process.env.VESK_MCP;
export const simPath = process.env.VESK_SIM;
if (!vesk || !existsSync(vesk) || !simPath || !existsSync(simPath))
    throw new Error('set VESK_MCP and VESK_SIM to the built vesk-mcp and vesk-studio-sim');

let names = 0;
// A pipe name that no other test, run or user serves.
export function pipeName() {
    return `vesk-client-test-${process.pid}-${++names}`;
}

// Waits until predicate() holds, checking every 20 ms; fails after timeoutMs with what.
export async function waitFor(predicate, what, timeoutMs = 15000) {
    const end = Date.now() + timeoutMs;
    while (!predicate()) {
        if (Date.now() > end)
            throw new Error(`timed out waiting for ${what}`);
        await new Promise(resolve => setTimeout(resolve, 20));
    }
}

// vesk-studio-sim on its own pipe. received holds every line it got, parsed where possible.
export class Sim {
    constructor(pipe, options = []) {
        this.pipe = pipe;
        this.options = options;
        this.received = [];
        this.stderr = '';
    }

    async start() {
        this.child = spawn(simPath, ['--pipe', this.pipe, ...this.options], {
            stdio: ['ignore', 'pipe', 'pipe'],
        });
        let pending = '';
        this.child.stdout.setEncoding('utf8');
        this.child.stdout.on('data', chunk => {
            pending += chunk;
            let lf;
            while ((lf = pending.indexOf('\n')) >= 0) {
                const line = pending.slice(0, lf);
                pending = pending.slice(lf + 1);
                let message = null;
                try {
                    message = JSON.parse(line);
                } catch {
                    // kept as null: the line is still in raw
                }
                this.received.push({ raw: line, message });
            }
        });
        this.child.stderr.setEncoding('utf8');
        this.child.stderr.on('data', chunk => {
            this.stderr += chunk;
        });
        this.exited = once(this.child, 'exit');
        await waitFor(() => this.stderr.includes('sim: listening on') || this.child.exitCode !== null,
                      'the simulator to listen');
        if (this.child.exitCode !== null)
            throw new Error(`vesk-studio-sim did not start:\n${this.stderr}`);
        return this;
    }

    async stop() {
        if (!this.child || this.child.exitCode !== null || this.child.signalCode !== null)
            return;
        this.child.kill('SIGTERM');
        await this.exited;
    }

    // The messages received with the given method.
    messages(method) {
        return this.received.filter(r => r.message && r.message.method === method).map(r => r.message);
    }
}

// An SDK client connected to a vesk-mcp that it started itself, as AI clients do.
// protocolVersion, when given, replaces the version that the SDK asks for in "initialize".
export async function connectClient({ args = [], env = {}, protocolVersion, clientOptions = {} } = {}) {
    const transport = new StdioClientTransport({
        command: vesk,
        args,
        env: { ...process.env, ...env },
        stderr: 'pipe',
    });
    const session = { transport, stderr: '', errors: [], negotiated: undefined, exit: undefined };
    transport.stderr.setEncoding('utf8');
    transport.stderr.on('data', chunk => {
        session.stderr += chunk;
    });
    // The SDK tells transports the agreed version (HTTP transports need it): record it.
    transport.setProtocolVersion = version => {
        session.negotiated = version;
    };
    if (protocolVersion) {
        const send = transport.send.bind(transport);
        transport.send = (message, options) => {
            if (message.method === 'initialize')
                message = { ...message, params: { ...message.params, protocolVersion } };
            return send(message, options);
        };
    }
    const client = new Client({ name: 'vesk-client-test', version: '1.0.0' }, clientOptions);
    client.onerror = error => session.errors.push(error);
    session.client = client;
    await client.connect(transport);
    // The SDK keeps the child process to itself; its exit code and signal are what is checked.
    const child = transport._process;
    session.exited = new Promise(resolve => {
        if (child.exitCode !== null || child.signalCode !== null)
            resolve({ code: child.exitCode, signal: child.signalCode });
        child.once('exit', (code, signal) => resolve({ code, signal }));
    });
    session.close = async () => {
        const started = Date.now();
        await client.close();
        session.exit = await session.exited;
        session.closeMs = Date.now() - started;
        return session.exit;
    };
    return session;
}

// Appends vesk-mcp's log to an assertion message.
export function withLog(session, message) {
    return `${message}\n--- vesk-mcp stderr ---\n${session.stderr}`;
}
