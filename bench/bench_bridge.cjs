// The browser bridge's speed, side by side in one run:
//  - state messages per second that the running Vesper accepts from one ws client, each one
//    applied to the aggregator, against a minimal Node ws server that only parses the same
//    messages as JSON (run in its own process, as Vesper is);
//  - the round trip of a command to the client and its next state (bench_bridge_roundtrip).
//
//   node bench_bridge.cjs <vesper> <bench_bridge_roundtrip> [messages] [rounds]
//   node bench_bridge.cjs --parse-server    (the Node side; prints "PORT <n>")
'use strict';

const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const WebSocket = require('ws');

const ORIGIN = 'chrome-extension://mbidhimojebolhnelplopbkefnkpojlm';
const END = 'END OF RUN';

if (process.argv[2] === '--parse-server') {
    // What any server must do at least: take each message off the socket and parse it.
    const server = new WebSocket.Server({ host: '127.0.0.1', port: 0 }, () => {
        console.log(`PORT ${server.address().port}`);
    });
    server.on('connection', (socket) => {
        let parsed = 0;
        socket.on('message', (data) => {
            const message = JSON.parse(data.toString());
            ++parsed;
            if (message.title === END) socket.send(JSON.stringify({ type: 'done', parsed }));
        });
    });
    return;
}

const [vesperPath, roundTripPath] = process.argv.slice(2, 4);
const messages = Number(process.argv[4] || 200000);
const rounds = Number(process.argv[5] || 2000);
const runs = 3;

function startChild(command, args, env) {
    const child = spawn(command, args, { env: { ...process.env, ...env }, stdio: ['ignore', 'pipe', 'pipe'] });
    child.output = '';
    child.stdout.on('data', (chunk) => { child.output += chunk; });
    child.stderr.on('data', (chunk) => { child.output += chunk; });
    return child;
}

async function waitFor(child, pattern, timeoutMs = 10000) {
    const deadline = Date.now() + timeoutMs;
    for (;;) {
        const match = child.output.match(pattern);
        if (match) return match;
        if (Date.now() > deadline || child.exitCode !== null)
            throw new Error(`no ${pattern} from ${child.spawnfile}:\n${child.output}`);
        await new Promise((resolve) => setTimeout(resolve, 2));
    }
}

function connect(port) {
    return new Promise((resolve, reject) => {
        const ws = new WebSocket(`ws://127.0.0.1:${port}/`, { origin: ORIGIN });
        ws.on('open', () => resolve(ws));
        ws.on('error', reject);
    });
}

// A state as a player reports it every second: the same track, the position moving on.
function state(position, title = 'Benchmark Song') {
    return JSON.stringify({
        type: 'state', source: 'soundcloud', title, artist: 'The Measurers', album: 'Numbers',
        artworkURL: '', duration: 245.5, position, isPlaying: true, shuffle: false, repeatMode: 0,
        liked: false, supports: ['previous', 'next', 'seek', 'like', 'shuffle', 'repeat'],
        siteName: 'SoundCloud', faviconURL: '',
    });
}

// Sends the messages as fast as the socket takes them, then the end marker; resolves with the
// messages per second from the first send to the moment the end was seen handled.
async function blast(ws, finished) {
    const texts = [];
    for (let i = 0; i < messages; ++i) texts.push(state(i % 240));
    const start = process.hrtime.bigint();
    for (const text of texts) ws.send(text);
    ws.send(state(0, END));
    await finished();
    const seconds = Number(process.hrtime.bigint() - start) / 1e9;
    return (messages + 1) / seconds;
}

async function vesperRate() {
    const root = fs.mkdtempSync(path.join(os.tmpdir(), 'vesper-bench-'));
    for (const dir of ['config', 'data', 'cache', 'runtime']) fs.mkdirSync(path.join(root, dir), { mode: 0o700 });
    const vesper = startChild(vesperPath, [], {
        XDG_CONFIG_HOME: path.join(root, 'config'), XDG_DATA_HOME: path.join(root, 'data'),
        XDG_CACHE_HOME: path.join(root, 'cache'), XDG_RUNTIME_DIR: path.join(root, 'runtime'),
        QT_QPA_PLATFORM: 'offscreen', VESPER_ITUNES_URL: 'http://127.0.0.1:9',
        VESPER_LRCLIB_URL: 'http://127.0.0.1:9',
    });
    try {
        const port = Number((await waitFor(vesper, /listening on 127\.0\.0\.1:(\d+)/))[1]);
        const ws = await connect(port);
        ws.send(JSON.stringify({ type: 'hello', version: 4 }));
        ws.send(JSON.stringify({ type: 'presence', sources: ['soundcloud'] }));
        await waitFor(vesper, /connected \(protocol=4/);
        return await blast(ws, () => waitFor(vesper, new RegExp(`title=${END} lock=auto`), 120000));
    } finally {
        vesper.kill('SIGKILL');
        fs.rmSync(root, { recursive: true, force: true });
    }
}

async function nodeRate() {
    const server = startChild(process.execPath, [__filename, '--parse-server'], {});
    try {
        const port = Number((await waitFor(server, /PORT (\d+)/))[1]);
        const ws = await connect(port);
        const done = new Promise((resolve) => ws.on('message', resolve));
        return await blast(ws, () => done);
    } finally {
        server.kill('SIGKILL');
    }
}

async function roundTrip() {
    const host = startChild(roundTripPath, [String(rounds)], {});
    try {
        const port = Number((await waitFor(host, /PORT (\d+)/))[1]);
        const ws = await connect(port);
        let position = 0;
        ws.on('message', (data) => {
            const command = JSON.parse(data.toString());
            if (command.type !== 'command') return;
            const playing = command.action === 'play';
            ws.send(JSON.stringify({ ...JSON.parse(state(++position % 240)), isPlaying: playing }));
        });
        ws.send(JSON.stringify({ type: 'hello', version: 4 }));
        ws.send(JSON.stringify({ type: 'presence', sources: ['soundcloud'] }));
        ws.send(state(0));
        const match = await waitFor(host, /RTT median_us=([\d.]+) p99_us=([\d.]+)/, 120000);
        return { median: Number(match[1]), p99: Number(match[2]) };
    } finally {
        host.kill('SIGKILL');
    }
}

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

(async () => {
    const vesper = [];
    const node = [];
    for (let run = 0; run < runs; ++run) {
        vesper.push(await vesperRate());
        node.push(await nodeRate());
    }
    const rtt = await roundTrip();
    const v = median(vesper);
    const n = median(node);
    console.log(`state messages per second, ${messages} per run, median of ${runs} runs:`);
    console.log(`  Vesper (accepted and applied): ${Math.round(v)}   runs: ${vesper.map(Math.round).join(', ')}`);
    console.log(`  Node ws + JSON.parse only:     ${Math.round(n)}   runs: ${node.map(Math.round).join(', ')}`);
    console.log(`  ratio Vesper / Node: ${(v / n).toFixed(2)}`);
    console.log(`command round trip over ${rounds} rounds: median ${rtt.median} µs, p99 ${rtt.p99} µs`);
})().catch((error) => {
    console.error(error.stack);
    process.exit(1);
});
