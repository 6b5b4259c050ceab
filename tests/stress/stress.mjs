// stress.mjs - vesk-mcp under load and abuse, with figures: lines at and over the 256 MiB limit
// from both sides, a flood of requests written without waiting, the far end dying and coming
// back during a stream of calls, and a client that closes stdout.
//
//   node tests/stress/stress.mjs <vesk-mcp> <vesk-studio-sim> [--quick] [case...]
//
// Cases: stdin-line, app-line, flood, flap, stdout-closed (default: all). --quick makes the
// flood and flap smaller and leaves out the 256 MiB lines. Prints one line of figures per case
// (time, peak resident memory of vesk-mcp) and "N passed, N failed" at the end; exit 1 on any
// failure.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { readFileSync } from 'node:fs';

const [veskPath, simPath, ...rest] = process.argv.slice(2);
if (!veskPath || !simPath) {
    console.error('usage: stress.mjs <vesk-mcp> <vesk-studio-sim> [--quick] [case...]');
    process.exit(2);
}
const quick = rest.includes('--quick');
const chosen = rest.filter(a => !a.startsWith('--'));
const limit = 268435456;

let names = 0;
const pipeName = () => `vesk-stress-${process.pid}-${++names}`;
const sleep = ms => new Promise(resolve => setTimeout(resolve, ms));
const mib = bytes => `${(bytes / 1048576).toFixed(0)} MiB`;

class Failure extends Error {}
function check(condition, message) {
    if (!condition)
        throw new Failure(message);
}

async function waitFor(predicate, what, timeoutMs) {
    const end = Date.now() + timeoutMs;
    while (!predicate()) {
        if (Date.now() > end)
            throw new Failure(`timed out after ${timeoutMs} ms waiting for ${what}`);
        await sleep(10);
    }
}

// The high-water mark of a process's resident memory, read while it runs: it only grows, so the
// last reading before the exit is the peak up to then.
function watchMemory(pid) {
    const watch = { peakKb: 0 };
    const read = () => {
        try {
            const m = /VmHWM:\s+(\d+) kB/.exec(readFileSync(`/proc/${pid}/status`, 'utf8'));
            if (m)
                watch.peakKb = Math.max(watch.peakKb, Number(m[1]));
        } catch {
            // the process has gone
        }
    };
    read();
    watch.timer = setInterval(read, 20);
    watch.stop = () => {
        read();
        clearInterval(watch.timer);
        return watch.peakKb * 1024;
    };
    return watch;
}

// vesk-mcp with its stdout cut into parsed lines and its stderr kept.
class Vesk {
    constructor(args) {
        this.child = spawn(veskPath, args, { stdio: ['pipe', 'pipe', 'pipe'] });
        this.memory = watchMemory(this.child.pid);
        this.messages = [];
        this.invalid = [];
        this.stderr = '';
        this.exit = new Promise(resolve => this.child.once('exit', (code, signal) => resolve({ code, signal })));
        let pending = Buffer.alloc(0);
        this.child.stdout.on('data', chunk => {
            pending = pending.length ? Buffer.concat([pending, chunk]) : chunk;
            let lf;
            while ((lf = pending.indexOf(10)) >= 0) {
                const line = pending.subarray(0, lf).toString('utf8');
                pending = pending.subarray(lf + 1);
                try {
                    this.messages.push(JSON.parse(line));
                } catch {
                    this.invalid.push(line.slice(0, 200));
                }
            }
        });
        this.child.stderr.setEncoding('utf8');
        this.child.stderr.on('data', chunk => {
            this.stderr += chunk;
        });
        this.child.stdin.on('error', () => {}); // EPIPE once it has gone is part of some cases
    }

    // Writes with back-pressure, so that a 256 MiB line is never held whole in this process.
    async write(data) {
        if (!this.child.stdin.write(data))
            await once(this.child.stdin, 'drain');
    }

    async writeFiller(count, byte = 0x61) {
        const block = Buffer.alloc(1 << 20, byte);
        for (let left = count; left > 0; left -= block.length)
            await this.write(left >= block.length ? block : block.subarray(0, left));
    }

    send(message) {
        return this.write(JSON.stringify(message) + '\n');
    }

    async finish(timeoutMs = 20000) {
        this.child.stdin.end();
        const timer = setTimeout(() => this.child.kill('SIGKILL'), timeoutMs);
        const exit = await this.exit;
        clearTimeout(timer);
        this.peak = this.memory.stop();
        return exit;
    }

    log() {
        const tail = this.stderr.length > 3000 ? '...' + this.stderr.slice(-3000) : this.stderr;
        return `\n--- vesk-mcp stderr ---\n${tail}`;
    }
}

class Sim {
    constructor(pipe, options = []) {
        this.pipe = pipe;
        this.options = options;
        this.stderr = '';
        this.lines = 0;
    }

    async start() {
        this.child = spawn(simPath, ['--pipe', this.pipe, ...this.options], { stdio: ['ignore', 'pipe', 'pipe'] });
        this.child.stdout.on('data', chunk => {
            for (const byte of chunk)
                if (byte === 10)
                    ++this.lines;
        });
        this.child.stderr.setEncoding('utf8');
        this.child.stderr.on('data', chunk => {
            this.stderr += chunk;
        });
        this.exit = once(this.child, 'exit');
        await waitFor(() => this.stderr.includes('sim: listening on') || this.child.exitCode !== null,
                      'the simulator to listen', 10000);
        check(this.child.exitCode === null, `vesk-studio-sim did not start: ${this.stderr}`);
        return this;
    }

    async stop(signal = 'SIGTERM') {
        if (this.child.exitCode === null && this.child.signalCode === null) {
            this.child.kill(signal);
            await this.exit;
        }
    }
}

const request = (id, method, params) => ({ jsonrpc: '2.0', id, method, ...(params ? { params } : {}) });
const initialize = id => request(id, 'initialize', { protocolVersion: '2025-11-25', capabilities: {}, clientInfo: { name: 'stress', version: '1' } });
const initialized = { jsonrpc: '2.0', method: 'notifications/initialized' };

function byId(messages) {
    const map = new Map();
    for (const m of messages) {
        if (!('id' in m))
            continue;
        const key = JSON.stringify(m.id);
        map.set(key, (map.get(key) || []).concat([m]));
    }
    return map;
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
    // A ping padded to exactly the limit, line feed not counted.
    const head = '{"jsonrpc":"2.0","id":3,"method":"ping","params":{"pad":"';
    const tail = '"}}';
    await vesk.write(head);
    await vesk.writeFiller(limit - head.length - tail.length);
    await vesk.write(tail + '\n');
    await vesk.send(request(4, 'ping'));
    await waitFor(() => vesk.messages.length >= 5, 'five answers', 120000);
    const exit = await vesk.finish();
    const seconds = (Date.now() - started) / 1000;
    const ids = vesk.messages.map(m => m.id);
    check(exit.code === 0 && exit.signal === null, `exit ${JSON.stringify(exit)}${vesk.log()}`);
    // The rejection is posted after the lines that the same read completed, so ping 2 may come
    // before it when its line arrived in the read that ended the long line.
    check(JSON.stringify(ids) === JSON.stringify([1, null, 2, 3, 4]) || JSON.stringify(ids) === JSON.stringify([1, 2, null, 3, 4]),
          `answers in order 1, null, 2, 3, 4 (or 2 before null), got ${JSON.stringify(ids)}`);
    const rejection = vesk.messages.find(m => m.id === null);
    check(rejection.error && rejection.error.code === -32700 && rejection.error.message === 'Parse error: message too large',
          `the rejection: ${JSON.stringify(rejection)}`);
    check(vesk.messages.filter(m => m.result).length === 4, 'four ping results');
    return `${mib(2 * limit + 1)} through stdin in ${seconds.toFixed(1)} s, peak RSS ${mib(vesk.peak)}`;
}

// Over the limit from the far end closes the connection and answers the call as lost; exactly the
// limit is logged as invalid JSON and the answer behind it still arrives.
async function appLine() {
    const figures = [];
    let closesAs = '';
    for (const [length, closes] of [[limit + 1, true], [limit, false]]) {
        const started = Date.now();
        const pipe = pipeName();
        const sim = await new Sim(pipe, ['--long-line', String(length)]).start();
        const vesk = new Vesk(['--pipe', pipe, '--poll-ms', '0']);
        try {
            await vesk.send(initialize(0));
            await vesk.send(initialized);
            await vesk.send(request(1, 'tools/call', { name: 'list_elements', arguments: {} }));
            await waitFor(() => vesk.messages.some(m => m.id === 1), 'the answer to the call', 120000);
            await sleep(100);
            check(vesk.messages.filter(m => m.id === 1).length === 1, 'one answer to the call');
            const answer = vesk.messages.find(m => m.id === 1);
            const text = answer.result && answer.result.content && answer.result.content[0].text;
            if (closes) {
                // The answer right behind the long line is still handled when the long line's
                // end and the answer arrive in one read; otherwise the call is answered as lost.
                const lost = answer.result && answer.result.isError === true && /was closed while "list_elements" was running/.test(text);
                const done = answer.result && answer.result.isError === false;
                check(lost || done, `the call: ${JSON.stringify(answer).slice(0, 400)}${vesk.log()}`);
                await waitFor(() => vesk.stderr.includes('connection to Vesk Studio closed (message from Vesk Studio too large)'),
                              'the connection to close as too large', 10000);
                closesAs = lost ? 'call answered as lost' : 'answer behind it still delivered';
            } else {
                check(answer.result && answer.result.isError === false,
                      `the call should be answered by the far end: ${JSON.stringify(answer).slice(0, 400)}${vesk.log()}`);
                check(/Vesk Studio sent invalid JSON/.test(vesk.stderr), `the filler line should be logged as invalid${vesk.log()}`);
                check(!vesk.stderr.includes('connection to Vesk Studio closed'), `the connection should stay up${vesk.log()}`);
            }
            const exit = await vesk.finish();
            check(exit.code === 0 && exit.signal === null, `exit ${JSON.stringify(exit)}${vesk.log()}`);
            figures.push(`${length} bytes from the far end: ${closes ? `closed (${closesAs})` : 'accepted'} in ${((Date.now() - started) / 1000).toFixed(1)} s, peak RSS ${mib(vesk.peak)}`);
        } finally {
            if (vesk.peak === undefined)
                await vesk.finish(1000);
            await sim.stop();
        }
    }
    return figures.join('; ');
}

// Requests written as fast as the pipe takes them, local and relayed mixed, numeric and string
// ids: every one answered exactly once.
async function flood() {
    const count = quick ? 20000 : 100000;
    const pipe = pipeName();
    const sim = await new Sim(pipe).start();
    const vesk = new Vesk(['--pipe', pipe, '--poll-ms', '0']);
    try {
        await vesk.send(initialize(-1));
        await vesk.send(initialized);
        const started = Date.now();
        const expected = new Map();
        let batch = '';
        for (let i = 0; i < count; ++i) {
            const id = i % 2 === 0 ? i : `s${i}`;
            let message;
            if (i % 10 === 3)
                message = request(id, 'tools/call', { name: 'list_elements', arguments: {} });
            else if (i % 10 === 7)
                message = request(id, 'tools/list');
            else
                message = request(id, 'ping');
            expected.set(JSON.stringify(id), message.method);
            batch += JSON.stringify(message) + '\n';
            if (batch.length > 1 << 16) {
                await vesk.write(batch);
                batch = '';
            }
        }
        await vesk.write(batch);
        const written = Date.now();
        await waitFor(() => vesk.messages.length >= count + 1, `${count} answers (have ${vesk.messages.length})`, 300000);
        const answered = Date.now();
        await sleep(200); // anything extra would come now
        const answers = byId(vesk.messages);
        let missing = 0;
        let twice = 0;
        let wrong = 0;
        for (const [key, method] of expected) {
            const got = answers.get(key) || [];
            if (got.length === 0)
                ++missing;
            else if (got.length > 1)
                ++twice;
            else if (!got[0].result || (method === 'tools/call' && got[0].result.isError !== false)
                     || (method === 'tools/list' && got[0].result.tools.length < 2))
                ++wrong;
        }
        check(vesk.invalid.length === 0, `${vesk.invalid.length} output lines are not JSON: ${vesk.invalid[0]}`);
        check(missing === 0 && twice === 0 && wrong === 0,
              `${missing} unanswered, ${twice} answered more than once, ${wrong} wrong answers${vesk.log()}`);
        check(vesk.messages.length === count + 1, `${vesk.messages.length} messages for ${count + 1} requests`);
        const exit = await vesk.finish();
        check(exit.code === 0 && exit.signal === null, `exit ${JSON.stringify(exit)}${vesk.log()}`);
        const relayed = count / 10 * 2;
        return `${count} requests (${relayed} relayed): written in ${((written - started) / 1000).toFixed(1)} s, `
               + `all answered once after ${((answered - started) / 1000).toFixed(1)} s `
               + `(${Math.round(count / ((answered - started) / 1000))}/s), peak RSS ${mib(vesk.peak)}`;
    } finally {
        if (vesk.peak === undefined)
            await vesk.finish(1000);
        await sim.stop();
    }
}

// The far end is killed and started again, over and over, while calls stream in: each call gets
// one answer, from the far end or as a lost or offline tool error.
async function flap() {
    const rounds = quick ? 4 : 10;
    const pipe = pipeName();
    let sim = await new Sim(pipe, ['--delay-ms', '30']).start();
    const vesk = new Vesk(['--pipe', pipe, '--poll-ms', '50']);
    const started = Date.now();
    let sent = 0;
    let streaming = true;
    try {
        await vesk.send(initialize('init'));
        await vesk.send(initialized);
        await vesk.send(request('list-0', 'tools/list'));
        const stream = (async () => {
            while (streaming) {
                for (let k = 0; k < 10; ++k)
                    await vesk.send(request(++sent, 'tools/call', { name: 'list_elements', arguments: {} }));
                await sleep(5);
            }
        })();
        for (let round = 0; round < rounds; ++round) {
            await sleep(150);
            await sim.stop(round % 2 === 0 ? 'SIGKILL' : 'SIGTERM');
            await sleep(100);
            sim = await new Sim(pipe, ['--delay-ms', '30']).start();
            await vesk.send(request(`list-${round + 1}`, 'tools/list'));
        }
        await sleep(300);
        streaming = false;
        await stream;
        await waitFor(() => vesk.messages.filter(m => typeof m.id === 'number').length >= sent,
                      `answers to ${sent} calls`, 60000);
        await sleep(200);
        const answers = byId(vesk.messages);
        const kinds = { done: 0, lost: 0, offline: 0, other: 0 };
        let missing = 0;
        let twice = 0;
        for (let id = 1; id <= sent; ++id) {
            const got = answers.get(JSON.stringify(id)) || [];
            if (got.length !== 1) {
                got.length === 0 ? ++missing : ++twice;
                continue;
            }
            const result = got[0].result;
            const text = result && result.content && result.content[0] && result.content[0].text || '';
            if (result && result.isError === false)
                ++kinds.done;
            else if (result && /was closed while "list_elements" was running/.test(text))
                ++kinds.lost;
            else if (result && /Tool "list_elements" is not available/.test(text))
                ++kinds.offline;
            else
                ++kinds.other;
        }
        for (let round = 0; round <= rounds; ++round)
            check((answers.get(JSON.stringify(`list-${round}`)) || []).length === 1, `tools/list ${round} answered once`);
        const listChanged = vesk.messages.filter(m => m.method === 'notifications/tools/list_changed').length;
        check(missing === 0 && twice === 0 && kinds.other === 0,
              `${missing} unanswered, ${twice} answered twice, ${kinds.other} unexpected answers of ${sent}${vesk.log()}`);
        check(kinds.done > 0, 'no call reached the far end');
        const exit = await vesk.finish();
        check(exit.code === 0 && exit.signal === null, `exit ${JSON.stringify(exit)}${vesk.log()}`);
        const reconnects = (vesk.stderr.match(/connected to Vesk Studio/g) || []).length;
        return `${sent} calls over ${rounds} restarts in ${((Date.now() - started) / 1000).toFixed(1)} s: `
               + `${kinds.done} answered, ${kinds.lost} lost in flight, ${kinds.offline} offline; `
               + `${reconnects} connections, ${listChanged} list_changed; peak RSS ${mib(vesk.peak)}`;
    } finally {
        streaming = false;
        if (vesk.peak === undefined)
            await vesk.finish(1000);
        await sim.stop();
    }
}

// The client closes its reading end: the next write fails, and vesk-mcp ends with 1.
async function stdoutClosed() {
    const vesk = new Vesk(['--pipe', pipeName(), '--poll-ms', '0']);
    vesk.child.stdout.destroy();
    await sleep(100);
    const started = Date.now();
    await vesk.send(request(1, 'ping'));
    const timer = setTimeout(() => vesk.child.kill('SIGKILL'), 10000);
    const exit = await vesk.exit;
    clearTimeout(timer);
    vesk.peak = vesk.memory.stop();
    check(exit.code === 1 && exit.signal === null, `exit ${JSON.stringify(exit)} (want code 1)${vesk.log()}`);
    check(vesk.stderr.includes('vesk-mcp: cannot write to stdout, exiting\n'), `the message${vesk.log()}`);
    return `ended with 1 after ${Date.now() - started} ms, stdin still open`;
}

const cases = { 'stdin-line': stdinLine, 'app-line': appLine, flood, flap, 'stdout-closed': stdoutClosed };
const run = chosen.length ? chosen : Object.keys(cases).filter(c => !(quick && c.endsWith('-line')));
let passed = 0;
let failed = 0;
for (const name of run) {
    if (!cases[name]) {
        console.error(`unknown case ${name}`);
        process.exit(2);
    }
    try {
        console.log(`ok ${name}: ${await cases[name]()}`);
        ++passed;
    } catch (error) {
        console.log(`FAILED ${name}: ${error instanceof Failure ? error.message : error.stack}`);
        ++failed;
    }
}
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
