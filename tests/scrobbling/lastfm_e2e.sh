#!/bin/sh
# The running binary scrobbles to a local stand-in for Last.fm that checks every call's key,
# signature and session: a scripted Spotify MPRIS player plays a 40-second track, which gets
# "now playing" and, once half is heard, a scrobble dated at the start of the play. Then Last.fm
# goes away: the next play's scrobble (a 31-second track, the shortest that counts) is queued,
# Vesper is killed with SIGKILL, and the next start delivers it with its original date.
#
#   tests/scrobbling/lastfm_e2e.sh <vesper> <fake_mpris_player> <fake_lastfm.py> <api key> <shared secret>
set -eu
. "$(dirname "$0")/../support/e2e_common.sh"

if [ "${1:-}" != --inside ]; then
    # No Secret Service can start on this bus: Vesper keeps its secrets in the file seeded below.
    bus=$(mktemp -d)
    trap 'rm -rf "$bus"' EXIT
    e2e_bus_config "$bus"
    dbus-run-session --config-file="$bus/bus.conf" -- sh "$0" --inside "$@"
    exit
fi
vesper=$2 player=$3 fake=$4 api_key=$5 secret=$6
session_key=e2e-session-key-4f1d
e2e_make_root
export HOME="$root"
mkdir -p "$root/config/vesper" "$root/data/vesper"
printf '{"lastfm.sessionKey": "%s"}\n' "$session_key" >"$root/data/vesper/secrets.json"
printf '{"lastfmUsername": "e2e-listener"}\n' >"$root/config/vesper/defaults.json"

# The first timestamp of the fake's record of the method for the title; fails on a refused call.
wait_for_call() { # method, title
    for _ in $(seq 50); do
        grep -qs '^refused' "$root/lastfm.calls" && fail "Last.fm refused: $(grep refused "$root/lastfm.calls")"
        found=$(grep -s "^$1	$2	" "$root/lastfm.calls" | head -1) && [ -n "$found" ] &&
            { echo "${found##*	}"; return 0; }
        sleep 0.1
    done
    fail "Last.fm never received $1 for $2"
}
dated_from() { # timestamp, start of the play
    [ "$1" -ge "$2" ] && [ "$1" -le $(($2 + 5)) ] || fail "a play begun at $2 was dated $1"
}
start_lastfm() {
    rm -f "$root/lastfm.port"
    python3 "$fake" "$root" "$api_key" "$secret" "$session_key" &
    lastfm_pid=$!
    e2e_track "$lastfm_pid"
    for _ in $(seq 50); do [ -f "$root/lastfm.port" ] && break; sleep 0.1; done
    export VESPER_LASTFM_API_URL="http://127.0.0.1:$(cat "$root/lastfm.port")"
    export VESPER_ITUNES_URL="$VESPER_LASTFM_API_URL"
}
start_vesper() { # log name
    "$vesper" >"$root/vesper-$1.log" 2>&1 &
    vesper_pid=$!
    e2e_track "$vesper_pid"
    wait_for "$root/vesper-$1.log" "[App] launched"
}

start_lastfm
start_vesper first
mkfifo "$root/player.in"
"$player" <"$root/player.in" >"$root/player.log" 2>&1 &
e2e_track $!
exec 3>"$root/player.in"
wait_for "$root/player.log" "ready org.mpris.MediaPlayer2.spotify"

# 1. Last.fm up: "now playing" at once, the scrobble once 20 of 40 seconds are heard.
started=$(date +%s)
echo "play First Song|E2E Artist|E2E Album|40" >&3
wait_for "$root/vesper-first.log" "Vesper: Last.fm now playing sent — E2E Artist — First Song"
wait_for_call track.updateNowPlaying "First Song" >/dev/null
wait_for "$root/vesper-first.log" \
    "Vesper: Last.fm scrobble threshold reached — E2E Artist — First Song — " 35
dated_from "$(wait_for_call track.scrobble "First Song")" "$started"

# 2. Last.fm down: the next scrobble waits in the queue, which is on disk before SIGKILL.
kill "$lastfm_pid"
wait "$lastfm_pid" 2>/dev/null || true
started=$(date +%s)
echo "play Second Song|E2E Artist|E2E Album|31" >&3
wait_for "$root/vesper-first.log" "Vesper: Last.fm scrobble queued (1 pending)" 30
kill -KILL "$vesper_pid"
wait "$vesper_pid" 2>/dev/null || true

# 3. The next start, with Last.fm back, delivers it on its first tick.
start_lastfm
start_vesper second
wait_for "$root/vesper-second.log" "Vesper: Last.fm flushed 1 queued scrobbles (0 left)" 5
dated_from "$(wait_for_call track.scrobble "Second Song")" "$started"

if grep -qF "$session_key" "$root"/vesper-*.log "$root/config/vesper/defaults.json"; then
    fail "the session key was written to a log or the settings"
fi
echo "scrobbling end to end: every check passed"
