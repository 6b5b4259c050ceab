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
export const pipeName = () => `vesk-client-test-${process.pid}-${++names}`;

export async function waitFor(predicate, what, timeoutMs = 15000) {
    for (const end = Date.now() + timeoutMs; !predicate(); await new Promise(r => setTimeout(r, 20)))
        if (Date.now() > end)
            throw new Error(`timed out waiting for ${what}`);
}

// vesk-studio-sim on its own pipe; its stdout is every line it received.
export class Sim {
    constructor(pipe, options = []) {
        Object.assign(this, { pipe, options, received: [], stderr: '' });
    }
    async start() {
        this.child = spawn(simPath, ['--pipe', this.pipe, ...this.options], { stdio: ['ignore', 'pipe', 'pipe'] });
        let pending = '';
        this.child.stdout.setEncoding('utf8').on('data', chunk => {
            pending += chunk;
            for (let lf; (lf = pending.indexOf('\n')) >= 0; pending = pending.slice(lf + 1))
                this.received.push(JSON.parse(pending.slice(0, lf)));
        });
        this.child.stderr.setEncoding('utf8').on('data', chunk => { this.stderr += chunk; });
        this.exited = once(this.child, 'exit');
        await waitFor(() => this.stderr.includes('sim: listening on') || this.child.exitCode !== null, 'the simulator');
        if (this.child.exitCode !== null)
            throw new Error(`vesk-studio-sim did not start:\n${this.stderr}`);
        return this;
    }
    async stop() {
        if (this.child.exitCode === null && this.child.signalCode === null) {
            this.child.kill('SIGTERM');
            await this.exited;
        }
    }
    messages(method) { return this.received.filter(m => m.method === method); }
}

// An SDK client connected to a vesk-mcp that it started itself, as AI clients do.
// protocolVersion, when given, replaces the version that the SDK asks for in "initialize".
export async function connectClient({ args = [], protocolVersion, clientOptions = {} } = {}) {
    const transport = new StdioClientTransport({ command: vesk, args, env: process.env, stderr: 'pipe' });
    const session = { stderr: '', errors: [] };
    transport.stderr.setEncoding('utf8').on('data', chunk => { session.stderr += chunk; });
    transport.setProtocolVersion = version => { session.negotiated = version; }; // the agreed one
    if (protocolVersion) {
        const send = transport.send.bind(transport);
        transport.send = (message, options) => send(message.method === 'initialize'
            ? { ...message, params: { ...message.params, protocolVersion } } : message, options);
    }
    session.client = new Client({ name: 'vesk-client-test', version: '1.0.0' }, clientOptions);
    session.client.onerror = error => session.errors.push(error);
    await session.client.connect(transport);
    // The SDK keeps the child process to itself; its exit is what is checked.
    const child = transport._process;
    const exited = new Promise(resolve => child.once('exit', (code, signal) => resolve({ code, signal })));
    session.close = async () => {
        const started = Date.now();
        await session.client.close();
        session.exit = await exited;
        session.closeMs = Date.now() - started;
        return session.exit;
    };
    return session;
}

export const withLog = (session, message) => `${message}\n--- vesk-mcp stderr ---\n${session.stderr}`;
