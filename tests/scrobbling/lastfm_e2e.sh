#!/bin/sh
# The running binary scrobbles: a scripted Spotify MPRIS player plays a 40-second track, a local
# stand-in for Last.fm receives a signed "now playing" and, once half the track has been heard,
# a signed scrobble dated at the start of the play. Then Last.fm goes away: the next play's
# scrobble (a 31-second track, the shortest that counts) is queued, Vesper is killed with
# SIGKILL, and the next start delivers the queued scrobble with its original date.
#
#   tests/scrobbling/lastfm_e2e.sh <vesper> <fake_mpris_player> <fake_lastfm.py> <api key> <shared secret>
set -eu

if [ "${1:-}" = --inside ]; then
    shift
    root=$1
    shift
else
    vesper=${1:?usage: $0 <vesper> <fake_mpris_player> <fake_lastfm.py> <api key> <secret>}
    root=$(mktemp -d)
    trap 'rm -rf "$root"' EXIT
    # No Secret Service can start: Vesper keeps its secrets in the file this test seeds.
    . "$(dirname "$0")/../support/e2e_common.sh"
    e2e_bus_config "$root"
    status=0
    dbus-run-session --config-file="$root/bus.conf" -- sh "$0" --inside "$root" "$@" || status=$?
    exit "$status"
fi

vesper=$1 player=$2 fake=$3 api_key=$4 secret=$5
. "$(dirname "$0")/../support/e2e_common.sh"
session_key=e2e-session-key-4f1d
pids=
cleanup() {
    for pid in $pids; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT INT TERM

mkdir -p "$root/home" "$root/config/vesper" "$root/data/vesper" "$root/runtime"
chmod 700 "$root/runtime" "$root/data/vesper"
export HOME="$root/home" XDG_CONFIG_HOME="$root/config" XDG_DATA_HOME="$root/data" \
    XDG_RUNTIME_DIR="$root/runtime" QT_QPA_PLATFORM=offscreen
# A connected account: the session key in the secrets file, the user name in the settings.
printf '{"lastfm.sessionKey": "%s"}\n' "$session_key" >"$root/data/vesper/secrets.json"
chmod 600 "$root/data/vesper/secrets.json"
printf '{"lastfmUsername": "e2e-listener"}\n' >"$root/config/vesper/defaults.json"

# The timestamp of a valid (signed, right key and session) call of the method for the track,
# or nothing.
lastfm_call() { # method, parameter holding the title, title
    python3 - "$root/lastfm.log" "$1" "$2" "$3" <<'PY'
import json, sys
path, method, name, title = sys.argv[1:5]
try:
    lines = open(path).read().splitlines()
except FileNotFoundError:
    lines = []
for line in lines:
    call = json.loads(line)
    if call["method"] == method and call["params"].get(name) == title:
        if not call["valid"]:
            print("invalid", call["checks"])
        else:
            print(call["params"].get("timestamp[0]", "ok"))
        break
PY
}
wait_for_call() { # method, parameter, title, seconds
    tries=$(($4 * 10))
    while [ "$tries" -gt 0 ]; do
        found=$(lastfm_call "$1" "$2" "$3")
        case "$found" in
        invalid*) fail "$1 for $3 was refused: $found" ;;
        ?*) echo "$found"; return 0 ;;
        esac
        sleep 0.1
        tries=$((tries - 1))
    done
    fail "Last.fm never received $1 for $3"
}
start_lastfm() {
    rm -f "$root/lastfm.port"
    python3 "$fake" "$root" "$api_key" "$secret" "$session_key" &
    lastfm_pid=$!
    pids="$pids $lastfm_pid"
    for _ in $(seq 50); do [ -f "$root/lastfm.port" ] && break; sleep 0.1; done
    [ -f "$root/lastfm.port" ] || fail "the fake Last.fm did not start"
    export VESPER_LASTFM_API_URL="http://127.0.0.1:$(cat "$root/lastfm.port")"
    export VESPER_ITUNES_URL="$VESPER_LASTFM_API_URL"
}
start_vesper() { # log name
    "$vesper" >"$root/vesper-$1.log" 2>&1 &
    vesper_pid=$!
    pids="$pids $vesper_pid"
    wait_for "$root/vesper-$1.log" "[App] launched"
}

start_lastfm
start_vesper first
mkfifo "$root/player.in"
"$player" <"$root/player.in" >"$root/player.log" 2>&1 &
pids="$pids $!"
exec 3>"$root/player.in"
wait_for "$root/player.log" "ready org.mpris.MediaPlayer2.spotify"

# 1. Last.fm up: "now playing" at once, the scrobble once 20 of 40 seconds are heard.
started=$(date +%s)
echo "play First Song|E2E Artist|E2E Album|40" >&3
wait_for "$root/vesper-first.log" "Vesper: Last.fm now playing sent — E2E Artist — First Song"
wait_for_call track.updateNowPlaying track "First Song" 5 >/dev/null
wait_for "$root/vesper-first.log" \
    "Vesper: Last.fm scrobble threshold reached — E2E Artist — First Song — " 35
stamp=$(wait_for_call track.scrobble "track[0]" "First Song" 5)
[ "$stamp" -ge "$started" ] && [ "$stamp" -le $((started + 5)) ] ||
    fail "First Song was dated $stamp, the play began at $started"

# 2. Last.fm down: the next scrobble waits in the queue, which is on disk before SIGKILL.
kill "$lastfm_pid"
wait "$lastfm_pid" 2>/dev/null || true
started=$(date +%s)
echo "play Second Song|E2E Artist|E2E Album|31" >&3
wait_for "$root/vesper-first.log" "Vesper: Last.fm scrobble queued (1 pending)" 30
grep -q lastfmScrobbleQueue "$root/config/vesper/defaults.json" || fail "the queue is not stored"
kill -KILL "$vesper_pid"
wait "$vesper_pid" 2>/dev/null || true

# 3. The next start, with Last.fm back, delivers it on its first tick.
start_lastfm
start_vesper second
wait_for "$root/vesper-second.log" "Vesper: Last.fm flushed 1 queued scrobbles (0 left)" 5
stamp=$(wait_for_call track.scrobble "track[0]" "Second Song" 5)
[ "$stamp" -ge "$started" ] && [ "$stamp" -le $((started + 5)) ] ||
    fail "Second Song was dated $stamp, the play began at $started"

kill -TERM "$vesper_pid"
status=0
wait "$vesper_pid" || status=$?
[ "$status" -eq 0 ] || fail "SIGTERM ended Vesper with status $status"
if grep -qF "$session_key" "$root"/vesper-*.log "$root/config/vesper/defaults.json"; then
    fail "the session key was written to a log or the settings"
fi
echo "scrobbling end to end: every check passed"
