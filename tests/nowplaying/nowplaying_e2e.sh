#!/bin/sh
# The running binary follows a desktop player: a scripted Spotify MPRIS player plays, changes
# track and stops on a private session bus, and Vesper's log shows each state applied
# and cleared; a track without artwork makes Vesper ask the (local, fake) iTunes search.
#
#   tests/nowplaying/nowplaying_e2e.sh <path to vesper> <path to fake_mpris_player> <path to fake_http_site>
set -eu

[ $# -eq 3 ] || { echo "usage: $0 <vesper> <fake_mpris_player> <fake_http_site>" >&2; exit 2; }
vesper=$1 player=$2 site=$3
. "$(dirname "$0")/../support/e2e_common.sh"
e2e_make_root

# A stand-in for the iTunes search that finds nothing and writes down what it was asked.
"$site" /search 200 '{"resultCount":0,"results":[]}' "$root/search.log" >"$root/search.url" &
e2e_track $!
wait_for "$root/search.url" "http://127.0.0.1:"
VESPER_ITUNES_URL=$(cat "$root/search.url")
export VESPER_ITUNES_URL

"$vesper" >"$root/vesper.log" 2>&1 &
vesper_pid=$!
e2e_track "$vesper_pid"
wait_for "$root/vesper.log" "[App] launched"

mkfifo "$root/player.in"
"$player" <"$root/player.in" >"$root/player.log" 2>&1 &
e2e_track $!
exec 3>"$root/player.in"
wait_for "$root/player.log" "ready org.mpris.MediaPlayer2.spotify"

echo "play First Song|The Artist|The Album|40" >&3
wait_for "$root/vesper.log" \
    "[SourceRouting] state applied; source=com.spotify.client previous= playing=true title=First Song lock=auto"
wait_for "$root/search.log" "/search?term=The%20Artist%20First%20Song&media=music&entity=song&limit=15"

echo "play Second Song|The Artist|The Album|40" >&3
wait_for "$root/vesper.log" \
    "[SourceRouting] state applied; source=com.spotify.client previous=com.spotify.client playing=true title=Second Song lock=auto"
echo "stop" >&3
wait_for "$root/vesper.log" "[SourceRouting] state cleared; previous=com.spotify.client lock=auto"

kill -TERM "$vesper_pid"
status=0
wait "$vesper_pid" || status=$?
[ "$status" -eq 0 ] || fail "SIGTERM ended Vesper with status $status"
echo "now playing end to end: every check passed"
