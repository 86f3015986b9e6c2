// The running binary against a real WebSocket peer posing as the browser extension: what the
// extension reports reaches the aggregator, which restores the source locked in the last run,
// and global shortcuts pressed on the X display reach the extension as commands for that site.
//
//   node bridge_e2e.cjs <path to vesper>    (exit 0: passed, 1: failed)
'use strict';

const { execFileSync, spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const readline = require('readline');
const WebSocket = require('ws');

const SOUNDCLOUD = 'com.vesper.web.soundcloud';
const root = fs.mkdtempSync(path.join(os.tmpdir(), 'vesper-bridge-e2e-'));
let log = '';
function fail(failure) {
    console.error(`FAIL: ${failure}\n--- Vesper's log:\n${log}`);
    process.exit(1);
}
setTimeout(() => fail('timed out'), 20000).unref();

fs.mkdirSync(path.join(root, 'config/vesper'), { recursive: true });
fs.mkdirSync(path.join(root, 'runtime'), { mode: 0o700 });
fs.writeFileSync(path.join(root, 'config/vesper/defaults.json'), JSON.stringify({ lockedSource: SOUNDCLOUD }));
const env = {
    ...process.env, QT_QPA_PLATFORM: 'xcb', XDG_CONFIG_HOME: `${root}/config`, XDG_DATA_HOME: `${root}/data`,
    XDG_CACHE_HOME: `${root}/cache`, XDG_RUNTIME_DIR: `${root}/runtime`,
};
// Every online service Vesper might call is a closed port on the loopback address.
for (const name of ['ITUNES', 'LRCLIB', 'LASTFM_API', 'SPOTIFY_ACCOUNTS', 'SPOTIFY_API']) env[`VESPER_${name}_URL`] = 'http://127.0.0.1:9';
const vesper = spawn(process.argv[2], [], { env, stdio: ['ignore', 'inherit', 'pipe'] });
process.on('exit', () => { vesper.kill('SIGKILL'); fs.rmSync(root, { recursive: true, force: true }); });
const lines = readline.createInterface({ input: vesper.stderr })[Symbol.asyncIterator]();

// The next line of Vesper's log that contains the text or matches the pattern.
async function waitFor(pattern) {
    for (;;) {
        const { value, done } = await lines.next();
        if (done) fail(`Vesper's log ended before ${pattern}`);
        log += `${value}\n`;
        const match = typeof pattern === 'string' ? value.includes(pattern) && [value] : value.match(pattern);
        if (match) return match;
    }
}

async function main() {
    const [, port] = await waitFor(/^Vesper: browser bridge listening on 127\.0\.0\.1:(\d+)$/);
    const extension = new WebSocket(`ws://127.0.0.1:${port}/`, { origin: 'chrome-extension://mbidhimojebolhnelplopbkefnkpojlm' });
    const commands = [];
    extension.on('message', (data) => commands.push(JSON.parse(data)));
    extension.on('error', () => {});
    await new Promise((resolve) => extension.on('open', resolve));
    const send = (message) => extension.send(JSON.stringify(message));
    send({ type: 'hello', version: 4, sourceDefinitions: [{ id: 'soundcloud', supportLevel: 'full' }] });
    // The site's opening restores the lock at once, not at the next poll, so the state comes under it.
    send({ type: 'presence', sources: ['soundcloud'] });
    send({ type: 'state', source: 'soundcloud', title: 'E2E Song', isPlaying: true, supports: ['next'] });
    await waitFor(`[SourceRouting] saved source restored; lock=${SOUNDCLOUD} current=`);
    await waitFor(`[SourceRouting] state applied; source=${SOUNDCLOUD} previous= playing=true title=E2E Song lock=${SOUNDCLOUD}`);

    // The site offers no "previous": that shortcut sends nothing, and the next command follows.
    const two = new Promise((resolve) => extension.on('message', () => commands.length === 2 && resolve()));
    for (const keys of ['ctrl+alt+p', 'ctrl+alt+Left', 'ctrl+alt+Right']) execFileSync('xdotool', ['key', keys]);
    await two;
    // Member order is free.
    const sorted = JSON.stringify(commands.map((command) => Object.fromEntries(Object.entries(command).sort())));
    const expected = [{ action: 'pause', source: 'soundcloud', type: 'command' }, { action: 'next', source: 'soundcloud', type: 'command' }];
    if (sorted !== JSON.stringify(expected)) fail(`the shortcuts sent ${JSON.stringify(commands)}`);

    // Vesper ends cleanly with the extension still connected.
    vesper.kill('SIGTERM');
    const status = await new Promise((resolve) => vesper.on('exit', resolve));
    if (status !== 0) fail(`Vesper ended with ${status} on SIGTERM`);
    console.log('PASS: bridge end to end');
    process.exit(0);
}

main().catch((error) => fail(error.stack));
