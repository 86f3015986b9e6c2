// The running binary against a real WebSocket peer posing as the browser extension: the port
// fall-back, the handshake's origin rule, the hello rule, a catalogue, states reaching the
// aggregator, global shortcuts reaching the extension as commands, junk and an oversized message,
// and a clean exit. Runs on an X display (xvfb-run), where xdotool presses the shortcuts.
//
//   node bridge_e2e.cjs <path to vesper>    (exit 0: passed, 1: failed, 77: skipped)
'use strict';

const { execFileSync, spawn } = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');
const WebSocket = require('ws');

const ORIGIN = 'chrome-extension://mbidhimojebolhnelplopbkefnkpojlm';
const HELLO_REFUSED = '[BrowserBridge] browser bridge rejected client with missing or incompatible hello';
const DISCONNECTED = 'Vesper: browser bridge — extension disconnected';

const vesperPath = process.argv[2];
const root = fs.mkdtempSync(path.join(os.tmpdir(), 'vesper-bridge-e2e-'));
let vesper = null;
let log = '';
const held = [];

function cleanup() {
    if (vesper && vesper.exitCode === null) vesper.kill('SIGKILL');
    for (const server of held) server.close();
    fs.rmSync(root, { recursive: true, force: true });
}

function fail(message) {
    console.error(`FAIL: ${message}\n--- Vesper's log:\n${log}`);
    cleanup();
    process.exit(1);
}

const count = (line) => log.split('\n').filter((l) => l.includes(line)).length;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function waitFor(predicate, what, timeoutMs = 5000) {
    const deadline = Date.now() + timeoutMs;
    while (!predicate()) {
        if (Date.now() > deadline) fail(`timed out waiting for ${what}`);
        await sleep(20);
    }
}
const waitForLine = (line) => waitFor(() => log.includes(line), `the line "${line}"`);

// Listens on the port; none when someone else holds it already, which serves as well.
function hold(port) {
    return new Promise((resolve) => {
        const server = net.createServer();
        server.once('error', () => resolve(null));
        server.listen(port, '127.0.0.1', () => resolve(server));
    });
}

// The status of the answer to an upgrade request: 101, or the refusal's code.
function handshakeStatus(url, origin) {
    return new Promise((resolve) => {
        const ws = new WebSocket(url, origin === undefined ? {} : { origin });
        ws.on('open', () => {
            ws.terminate();
            resolve(101);
        });
        ws.on('unexpected-response', (request, response) => {
            resolve(response.statusCode);
            request.destroy();
        });
        ws.on('error', () => resolve(0));
    });
}

function connect(url) {
    return new Promise((resolve) => {
        const ws = new WebSocket(url, { origin: ORIGIN });
        ws.closed = new Promise((done) => ws.on('close', (code) => done(code)));
        ws.on('error', () => {});
        ws.on('open', () => resolve(ws));
    });
}

const hello = {
    type: 'hello',
    version: 4,
    setupCompleted: true,
    selectedSources: ['soundcloud'],
    sourceDefinitions: [
        { id: 'ytmusic', supportLevel: 'full', capabilities: ['prev', 'next', 'seek'] },
        { id: 'soundcloud', supportLevel: 'full', capabilities: ['previous', 'next', 'seek', 'like'] },
        { id: 'generic:radio.example.org', supportLevel: 'limited', kind: 'generic', name: 'Radio X' },
    ],
};

function state(title, playing) {
    return {
        type: 'state', source: 'soundcloud', title, artist: 'Band', duration: 200, position: 3,
        isPlaying: playing, supports: ['next', 'seek'],
    };
}

async function main() {
    // The first two ports are taken, so Vesper must fall back to the third.
    for (const port of [51234, 51235]) {
        const server = await hold(port);
        if (server) held.push(server);
    }
    const probe = await hold(51236);
    if (!probe) {
        console.log('SKIP: port 51236 is in use on this machine');
        cleanup();
        process.exit(77);
    }
    await new Promise((resolve) => probe.close(resolve));

    for (const dir of ['config', 'data', 'cache', 'runtime']) fs.mkdirSync(path.join(root, dir), { mode: 0o700 });
    vesper = spawn(vesperPath, [], {
        env: {
            ...process.env,
            XDG_CONFIG_HOME: path.join(root, 'config'),
            XDG_DATA_HOME: path.join(root, 'data'),
            XDG_CACHE_HOME: path.join(root, 'cache'),
            XDG_RUNTIME_DIR: path.join(root, 'runtime'),
            QT_QPA_PLATFORM: 'xcb',
            VESPER_ITUNES_URL: 'http://127.0.0.1:9',
            VESPER_LRCLIB_URL: 'http://127.0.0.1:9',
            VESPER_LASTFM_API_URL: 'http://127.0.0.1:9',
            VESPER_SPOTIFY_ACCOUNTS_URL: 'http://127.0.0.1:9',
            VESPER_SPOTIFY_API_URL: 'http://127.0.0.1:9',
        },
        stdio: ['ignore', 'pipe', 'pipe'],
    });
    vesper.stdout.on('data', (chunk) => { log += chunk; });
    vesper.stderr.on('data', (chunk) => { log += chunk; });
    await waitForLine('Vesper: browser bridge listening on 127.0.0.1:51236');
    const url = 'ws://127.0.0.1:51236/';

    // Foreign, wrongly cased and missing origins are refused in the handshake.
    for (const [origin, shown] of [['https://evil.example', 'https://evil.example'],
                                   [ORIGIN.toUpperCase(), ORIGIN.toUpperCase()],
                                   [undefined, '<missing>']]) {
        const status = await handshakeStatus(url, origin);
        if (status !== 403) fail(`origin ${shown} was answered ${status}, not 403`);
        await waitForLine(`Vesper: browser bridge rejected WebSocket origin ${shown}`);
    }

    // A first message that is not hello 4 ends the connection.
    for (const first of [state('Too Early', true), { type: 'hello', version: 3 }]) {
        const ws = await connect(url);
        ws.send(JSON.stringify(first));
        const code = await ws.closed;
        if (code !== 1008) fail(`a first ${first.type} was closed with ${code}, not 1008`);
    }
    await waitFor(() => count(HELLO_REFUSED) === 2, 'two refused hellos');

    // Hello 4 with a catalogue; a playing web player is shown.
    let extension = await connect(url);
    extension.send(JSON.stringify(hello));
    await waitForLine('Vesper: browser bridge connected (protocol=4, sources=3)');
    await waitForLine('[BrowserBridge] setup state completed=true sources=1');
    extension.send(JSON.stringify({ type: 'presence', sources: ['soundcloud'] }));
    extension.send(JSON.stringify(state('E2E Song', true)));
    await waitForLine('[SourceRouting] state applied; source=com.vesper.web.soundcloud previous= '
                      + 'playing=true title=E2E Song lock=auto');

    // Shortcuts pressed on the display reach the extension as commands for the shown site.
    // The site offers no "previous": that shortcut sends nothing.
    const commands = [];
    extension.on('message', (data) => commands.push(JSON.parse(data)));
    for (const keys of ['ctrl+alt+p', 'ctrl+alt+Left', 'ctrl+alt+Right']) execFileSync('xdotool', ['key', keys]);
    await waitFor(() => commands.length >= 2, 'two commands');
    await sleep(200);
    const expected = [{ type: 'command', action: 'pause', source: 'soundcloud' },
                      { type: 'command', action: 'next', source: 'soundcloud' }];
    // Member order is free.
    const canonical = (list) => JSON.stringify(list.map((m) => Object.fromEntries(Object.entries(m).sort())));
    if (canonical(commands) !== canonical(expected)) {
        fail(`the shortcuts sent ${JSON.stringify(commands)}`);
    }
    await waitForLine('[BrowserBridge] command sent action=pause target=com.vesper.web.soundcloud '
                      + 'value=-1.000000 connected=true');

    // Junk is refused and the connection carries on.
    extension.send('{not json');
    extension.send('[1,2,3]');
    extension.send(Buffer.from('{"type":"bye"}'), { binary: true });
    extension.send(JSON.stringify({ type: 'presence', sources: new Array(5000).fill('x') }));
    extension.send(JSON.stringify({ type: 'state', x: JSON.parse('['.repeat(60) + ']'.repeat(60)) }));
    extension.send(JSON.stringify(state('After Junk', true)));
    await waitForLine('title=After Junk lock=auto');
    if (count('[BrowserBridge] message refused: ') !== 5) fail('not every junk message was refused');

    // An oversized message ends that connection only; the next client is served.
    extension.send('x'.repeat(1024 * 1024 + 1));
    const code = await extension.closed;
    // Vesper answers 1009 at the frame's header; when the peer is still writing the rest of the
    // megabyte, TCP resets and the peer may only see 1006. Either way the connection ends.
    if (code !== 1009 && code !== 1006) fail(`an oversized message was closed with ${code}, not 1009`);
    await waitForLine(DISCONNECTED);
    extension = await connect(url);
    extension.send(JSON.stringify({ type: 'hello', version: 4 }));
    await waitFor(() => count('Vesper: browser bridge connected (protocol=4, sources=3)') === 2,
                  'the second connection, with the cached catalogue');
    extension.close();
    await extension.closed;

    vesper.kill('SIGTERM');
    const status = await new Promise((resolve) => vesper.on('exit', (exitCode) => resolve(exitCode)));
    if (status !== 0) fail(`Vesper ended with ${status} on SIGTERM`);
    cleanup();
    console.log('PASS: bridge end to end');
}

main().catch((error) => fail(error.stack));
