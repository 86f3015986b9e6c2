#!/bin/sh
# The running binary follows a desktop player: a scripted Spotify MPRIS player plays, pauses,
# changes track and stops on a private session bus, and Vesper's log shows each state applied
# and cleared; a track without artwork makes Vesper ask the (local, fake) iTunes search.
#
#   tests/nowplaying_e2e.sh <path to vesper> <path to fake_mpris_player>
set -eu

vesper=${1:?usage: $0 <vesper> <fake_mpris_player>}
player=${2:?usage: $0 <vesper> <fake_mpris_player>}
. "$(dirname "$0")/e2e_common.sh"
e2e_private_bus "$@"
e2e_make_root

# A stand-in for the iTunes search that finds nothing and writes down what it was asked.
python3 - "$root" <<'PY' &
import http.server, os, sys
root = sys.argv[1]
class Search(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        with open(os.path.join(root, "search.log"), "a") as log:
            log.write(self.path + "\n")
        body = b'{"resultCount":0,"results":[]}'
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Search)
with open(os.path.join(root, "port.tmp"), "w") as f:
    f.write(str(server.server_port))
os.rename(os.path.join(root, "port.tmp"), os.path.join(root, "port"))
server.serve_forever()
PY
e2e_track $!
for _ in $(seq 50); do [ -f "$root/port" ] && break; sleep 0.1; done
[ -f "$root/port" ] || fail "the fake search did not start"
export VESPER_ITUNES_URL="http://127.0.0.1:$(cat "$root/port")"

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

echo "pause" >&3
sleep 0.5
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
