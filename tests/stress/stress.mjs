// stress.mjs - vesk-mcp under load and abuse, with figures (scripts/stress.sh runs it):
//   node tests/stress/stress.mjs <vesk-mcp> <vesk-studio-sim> [--quick] [case...]
// Cases: stdin-line, app-line, flood, flap, cancel-flood, stdout-closed (default: all; --quick makes the flood
// and flap smaller and leaves out the 256 MiB lines). Prints one line of figures per case (time,
// peak resident memory of vesk-mcp) and "N passed, N failed"; exit 1 on any failure.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { readFileSync } from 'node:fs';
import { createInterface } from 'node:readline';

const [veskPath, simPath, ...rest] = process.argv.slice(2);
const quick = rest.includes('--quick');
const limit = 268435456;
let names = 0;
const pipeName = () => `vesk-stress-${process.pid}-${++names}`;
const sleep = ms => new Promise(resolve => setTimeout(resolve, ms));
const mib = bytes => `${(bytes / 1048576).toFixed(0)} MiB`;
const seconds = since => `${((Date.now() - since) / 1000).toFixed(1)} s`;
const request = (id, method, params) => ({ jsonrpc: '2.0', id, method, ...(params ? { params } : {}) });
const call = id => request(id, 'tools/call', { name: 'list_elements', arguments: {} });

class Failure extends Error {}
const check = (condition, message) => { if (!condition) throw new Failure(message); };
async function waitFor(predicate, what, timeoutMs) {
    for (const end = Date.now() + timeoutMs; !predicate(); await sleep(10))
        check(Date.now() <= end, `timed out after ${timeoutMs} ms waiting for ${what}`);
}

// vesk-mcp with its stdout cut into parsed lines and its stderr kept.
class Vesk {
    constructor(args) {
        this.child = spawn(veskPath, args, { stdio: ['pipe', 'pipe', 'pipe'] });
        Object.assign(this, { messages: [], invalid: 0, stderr: '' });
        this.exit = once(this.child, 'exit').then(([code, signal]) => ({ code, signal }));
        createInterface({ input: this.child.stdout }).on('line', line => {
            try { this.messages.push(JSON.parse(line)); } catch { ++this.invalid; }
        });
        this.child.stderr.setEncoding('utf8').on('data', chunk => { this.stderr += chunk; });
        this.child.stdin.on('error', () => {}); // EPIPE once it has gone is part of some cases
    }
    async write(data) { // with back-pressure: a 256 MiB line is never held whole here
        if (!this.child.stdin.write(data))
            await once(this.child.stdin, 'drain');
    }
    async writeFiller(count) {
        const block = Buffer.alloc(1 << 20, 0x61);
        for (let left = count; left > 0; left -= block.length)
            await this.write(block.subarray(0, Math.min(left, block.length)));
    }
    send(message) { return this.write(JSON.stringify(message) + '\n'); }
    exited(timeoutMs) { // killed when it takes longer
        const timer = setTimeout(() => this.child.kill('SIGKILL'), timeoutMs);
        return this.exit.finally(() => clearTimeout(timer));
    }
    // Ends stdin; the exit must be 0. Returns the peak resident memory, read before the end: the
    // kernel's high-water mark covers all the work done until then.
    async finish() {
        const peak = mib(1024 * Number(/VmHWM:\s+(\d+)/.exec(readFileSync(`/proc/${this.child.pid}/status`, 'utf8'))[1]));
        this.child.stdin.end();
        const exit = await this.exited(20000);
        check(exit.code === 0 && exit.signal === null, `exit ${JSON.stringify(exit)}${this.log()}`);
        return `peak RSS ${peak}`;
    }
    log() { return `\n--- vesk-mcp stderr ---\n${this.stderr.slice(-3000)}`; }
    answers(id) { return this.messages.filter(m => JSON.stringify(m.id) === JSON.stringify(id)); }
}

async function startSim(pipe, options) {
    const child = spawn(simPath, ['--pipe', pipe, ...options], { stdio: ['ignore', 'ignore', 'pipe'] });
    let stderr = '';
    child.stderr.setEncoding('utf8').on('data', chunk => { stderr += chunk; });
    const exit = once(child, 'exit');
    await waitFor(() => stderr.includes('sim: listening on') || child.exitCode !== null, 'the simulator', 10000);
    check(child.exitCode === null, `vesk-studio-sim did not start: ${stderr}`);
    child.stop = async (signal = 'SIGTERM') => {
        if (child.exitCode === null && child.signalCode === null && child.kill(signal))
            await exit;
    };
    return child;
}

// An initialised session with a far end (sim.current), which is stopped whatever happens.
async function withSim(simOptions, veskArgs, body) {
    const pipe = pipeName();
    const sim = { current: await startSim(pipe, simOptions) };
    const vesk = new Vesk(['--pipe', pipe, ...veskArgs]);
    try {
        await vesk.send(request(0, 'initialize', { protocolVersion: '2025-11-25', capabilities: {}, clientInfo: { name: 'stress', version: '1' } }));
        await vesk.send({ jsonrpc: '2.0', method: 'notifications/initialized' });
        return await body(vesk, sim, pipe);
    } finally {
        vesk.child.kill('SIGKILL');
        await sim.current.stop();
    }
}

// A line over the limit on stdin is rejected and reading goes on; one of exactly the limit is
// answered.
async function stdinLine() {
    const started = Date.now();
    const vesk = new Vesk(['--pipe', pipeName(), '--poll-ms', '0']);
    await vesk.send(request(1, 'ping'));
    await vesk.writeFiller(limit + 1);
    await vesk.write('\n');
    await vesk.send(request(2, 'ping'));
    const head = '{"jsonrpc":"2.0","id":3,"method":"ping","params":{"pad":"';
    await vesk.write(head);
    await vesk.writeFiller(limit - head.length - 3); // exactly the limit, line feed not counted
    await vesk.write('"}}\n');
    await vesk.send(request(4, 'ping'));
    await waitFor(() => vesk.messages.length >= 5, 'five answers', 120000);
    const peak = await vesk.finish();
    // The rejection follows the lines that the same read completed: ping 2 may come before it.
    const ids = JSON.stringify(vesk.messages.map(m => m.id));
    check(ids === '[1,null,2,3,4]' || ids === '[1,2,null,3,4]', `answers in order, got ${ids}`);
    const rejection = vesk.answers(null)[0];
    check(rejection.error.code === -32700 && rejection.error.message === 'Parse error: message too large',
          `the rejection: ${JSON.stringify(rejection)}`);
    return `${mib(2 * limit + 1)} through stdin in ${seconds(started)}, ${peak}`;
}

// Over the limit from the far end closes the connection; exactly the limit is logged as invalid
// JSON and the answer behind it still arrives.
async function appLine() {
    const figures = [];
    for (const length of [limit + 1, limit]) {
        const started = Date.now();
        figures.push(await withSim(['--long-line', String(length)], ['--poll-ms', '0'], async vesk => {
            await vesk.send(call(1));
            await waitFor(() => vesk.answers(1).length > 0, 'the answer to the call', 120000);
            const result = vesk.answers(1)[0].result;
            const shown = `the call: ${JSON.stringify(result).slice(0, 400)}${vesk.log()}`;
            if (length > limit) {
                // The answer right behind the long line is still handled when both arrive in one
                // read; otherwise the call is answered as lost.
                check(result && (result.isError === false || /was closed while "list_elements"/.test(result.content[0].text)), shown);
                await waitFor(() => vesk.stderr.includes('closed (message from Vesk Studio too large)'), 'the close', 10000);
            } else {
                check(result && result.isError === false, shown);
                check(/Vesk Studio sent invalid JSON/.test(vesk.stderr) && !/connection to Vesk Studio closed/.test(vesk.stderr),
                      `the filler line should be logged as invalid, the connection kept${vesk.log()}`);
            }
            return `${length} bytes from the far end: ${length > limit ? 'closed' : 'accepted'} in ${seconds(started)}, ${await vesk.finish()}`;
        }));
    }
    return figures.join('; ');
}

// Requests written as fast as the pipe takes them, local and relayed mixed, numeric and string
// ids: every one answered exactly once.
async function flood() {
    const count = quick ? 20000 : 100000;
    return withSim([], ['--poll-ms', '0'], async vesk => {
        const started = Date.now();
        const methods = new Map();
        let text = '';
        for (let i = 0; i < count; ++i) {
            const id = i % 2 === 0 ? i + 1 : `s${i}`;
            const message = i % 10 === 3 ? call(id) : request(id, i % 10 === 7 ? 'tools/list' : 'ping');
            methods.set(id, message.method);
            text += JSON.stringify(message) + '\n';
            if (text.length > 1 << 16 || i === count - 1) {
                await vesk.write(text);
                text = '';
            }
        }
        const written = Date.now();
        await waitFor(() => vesk.messages.length >= count + 1, `${count} answers`, 300000);
        const answered = Date.now();
        await sleep(200); // anything extra would come now
        // count + 1 messages, among them one for each of the count + 1 ids: each answered once.
        const byId = new Map(vesk.messages.map(m => [m.id, m]));
        let bad = byId.has(0) ? 0 : 1;
        for (const [id, method] of methods) {
            const result = byId.get(id)?.result;
            bad += !result || (method === 'tools/call' && result.isError !== false) || (method === 'tools/list' && result.tools.length < 2);
        }
        check(vesk.invalid === 0 && bad === 0 && vesk.messages.length === count + 1,
              `${vesk.invalid} lines not JSON, ${bad} requests not answered once and right, ${vesk.messages.length} messages${vesk.log()}`);
        return `${count} requests (${count / 5} relayed): written in ${((written - started) / 1000).toFixed(1)} s, `
               + `all answered once after ${seconds(started)} (${Math.round(count / ((answered - started) / 1000))}/s), ${await vesk.finish()}`;
    });
}

// The far end is killed and started again, over and over, while calls stream in: each call gets
// one answer, from the far end or as a lost or offline tool error.
async function flap() {
    const rounds = quick ? 4 : 10;
    return withSim(['--delay-ms', '30'], ['--poll-ms', '50'], async (vesk, sim, pipe) => {
        const started = Date.now();
        let sent = 0, streaming = true;
        const stream = (async () => {
            for (; streaming; await sleep(5))
                for (let k = 0; k < 10; ++k)
                    await vesk.send(call(++sent));
        })();
        for (let round = 0; round < rounds; ++round) {
            await sleep(150);
            await sim.current.stop(round % 2 === 0 ? 'SIGKILL' : 'SIGTERM');
            await sleep(100);
            sim.current = await startSim(pipe, ['--delay-ms', '30']);
            await vesk.send(request(`list-${round}`, 'tools/list'));
        }
        await sleep(300);
        streaming = false;
        await stream;
        await waitFor(() => vesk.messages.filter(m => typeof m.id === 'number').length >= sent + 1, `answers to ${sent} calls`, 60000);
        await sleep(200);
        const kinds = { done: 0, lost: 0, offline: 0, other: 0 };
        for (let id = 1; id <= sent; ++id) {
            const got = vesk.answers(id);
            const result = got.length === 1 && got[0].result;
            const text = (result && result.content[0].text) || '';
            ++kinds[!result ? 'other' : result.isError === false ? 'done' : /was closed while/.test(text) ? 'lost'
                    : /is not available/.test(text) ? 'offline' : 'other'];
        }
        for (let round = 0; round < rounds; ++round)
            check(vesk.answers(`list-${round}`).length === 1, `tools/list ${round} answered once`);
        check(kinds.other === 0 && kinds.done > 0, `${kinds.other} of ${sent} calls not answered once and right${vesk.log()}`);
        const reconnects = (vesk.stderr.match(/connected to Vesk Studio/g) || []).length;
        return `${sent} calls over ${rounds} restarts in ${seconds(started)}: ${kinds.done} answered, `
               + `${kinds.lost} lost in flight, ${kinds.offline} offline; ${reconnects} connections; ${await vesk.finish()}`;
    });
}

// 30 000 calls wait for a far end that never answers, and 30 000 cancellations match none of
// them: each is looked up, not searched for, so a ping behind them is answered at once.
async function cancelFlood() {
    return withSim(['--never-answer'], ['--poll-ms', '0'], async vesk => {
        await waitFor(() => vesk.stderr.includes('Vesk Studio is reachable'), 'the connection', 10000);
        const count = 30000;
        let text = '';
        for (let i = 1; i <= count; ++i)
            text += JSON.stringify(call(i)) + '\n';
        for (let i = 1; i <= count; ++i)
            text += JSON.stringify({ jsonrpc: '2.0', method: 'notifications/cancelled', params: { requestId: `x${i}` } }) + '\n';
        await vesk.write(text);
        const started = Date.now();
        await vesk.send(request('after', 'ping'));
        await waitFor(() => vesk.answers('after').length === 1, 'the ping behind the cancellations', 60000);
        const ms = Date.now() - started;
        check(ms < 5000, `the ping took ${ms} ms`);
        return `${count} calls pending, ${count} cancellations matching none: ping answered after ${ms} ms, ${await vesk.finish()}`;
    });
}

// The client closes its reading end: the next write fails, and vesk-mcp ends with 1.
async function stdoutClosed() {
    const vesk = new Vesk(['--pipe', pipeName(), '--poll-ms', '0']);
    vesk.child.stdout.destroy();
    await sleep(100);
    const started = Date.now();
    await vesk.send(request(1, 'ping'));
    const exit = await vesk.exited(10000);
    check(exit.code === 1 && exit.signal === null, `exit ${JSON.stringify(exit)} (want code 1)${vesk.log()}`);
    check(vesk.stderr.includes('vesk-mcp: cannot write to stdout, exiting\n'), `the message${vesk.log()}`);
    return `ended with 1 after ${Date.now() - started} ms, stdin still open`;
}

const cases = { 'stdin-line': stdinLine, 'app-line': appLine, flood, flap, 'cancel-flood': cancelFlood, 'stdout-closed': stdoutClosed };
const chosen = rest.filter(a => !a.startsWith('--'));
const run = chosen.length ? chosen : Object.keys(cases).filter(c => !(quick && c.endsWith('-line')));
if (!veskPath || !simPath || !run.every(name => cases[name])) {
    console.error(`usage: stress.mjs <vesk-mcp> <vesk-studio-sim> [--quick] [${Object.keys(cases).join('|')}...]`);
    process.exit(2);
}
let passed = 0;
for (const name of run) {
    try {
        console.log(`ok ${name}: ${await cases[name]()}`);
        ++passed;
    } catch (error) {
        console.log(`FAILED ${name}: ${error instanceof Failure ? error.message : error.stack}`);
    }
}
const failed = run.length - passed;
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
