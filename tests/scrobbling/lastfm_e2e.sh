#!/bin/sh
# Scrobbles to a checking stand-in for Last.fm; with it gone, the next scrobble is queued, Vesper
# is SIGKILLed, and the next start delivers it. No Secret Service here: secrets are in the file.
#
#   private_bus.sh lastfm_e2e.sh <vesper> <fake_mpris_player> <fake_lastfm.py> <api key> <secret>
set -eu
. "$(dirname "$0")/../support/e2e_common.sh"

vesper=$1 player=$2 fake=$3 api_key=$4 secret=$5
session_key=e2e-session-key-4f1d
e2e_make_root
export VESPER_ITUNES_URL=http://127.0.0.1:9
mkdir -p "$root/config/vesper" "$root/data/vesper"
printf '{"lastfm.sessionKey": "%s"}\n' "$session_key" >"$root/data/vesper/secrets.json"
printf '{"lastfmUsername": "e2e-listener"}\n' >"$root/config/vesper/defaults.json"

start() { # name: Last.fm's stand-in, whose calls go to lastfm-<name>.log, and Vesper
    python3 "$fake" "$api_key" "$secret" "$session_key" >"$root/lastfm-$1.log" &
    lastfm_pid=$!
    e2e_track "$lastfm_pid"
    for _ in $(seq 50); do port=$(head -1 "$root/lastfm-$1.log") && [ -n "$port" ] && break; sleep 0.1; done
    VESPER_LASTFM_API_URL="http://127.0.0.1:$port" "$vesper" >"$root/vesper-$1.log" 2>&1 &
    vesper_pid=$!
    e2e_track "$vesper_pid"
    wait_for "$root/vesper-$1.log" "[App] launched"
}

start first
mkfifo "$root/player.in"
"$player" <"$root/player.in" >"$root/player.log" 2>&1 &
e2e_track $!
exec 3>"$root/player.in"
wait_for "$root/player.log" "ready org.mpris.MediaPlayer2.spotify"

# Last.fm up: the scrobble once 16 of 31 seconds are heard (a refused call never shows here).
echo "play First Song|E2E Artist|E2E Album|31" >&3
wait_for "$root/lastfm-first.log" "track.scrobble	First Song" 25

# Last.fm down: the next scrobble waits in the queue, which is on disk before SIGKILL.
kill "$lastfm_pid"
echo "play Second Song|E2E Artist|E2E Album|31" >&3
wait_for "$root/vesper-first.log" "Vesper: Last.fm scrobble queued (1 pending)" 25
kill -KILL "$vesper_pid"
wait "$vesper_pid" 2>/dev/null || true

start second
wait_for "$root/lastfm-second.log" "track.scrobble	Second Song" 5
if grep -qF "$session_key" "$root"/vesper-*.log "$root/config/vesper/defaults.json"; then
    fail "the session key was written to a log or the settings"
fi
echo "scrobbling end to end: every check passed"
