#!/bin/sh
# The floating player on a real X server (Xvfb with openbox), side by side with an empty window
# of its size: time from process start to the panel's first frame (median of 5 launches), then
# CPU (% of one core over the window) and RSS while a track plays, against the empty window.
# Aims: first frame under 300 ms; under 1 % of one core and under 60 MB while playing.
#
#   bench/bench_panel.sh [--seconds N] <vesper> <fake_mpris_player> <bench_idle_window>
set -eu

seconds=${VESPER_BENCH_SECONDS:-60}
if [ "${1:-}" = "--seconds" ]; then
    seconds=${2:?--seconds needs a value}
    shift 2
fi
usage="usage: $0 [--seconds N] <vesper> <fake_mpris_player> <bench_idle_window>"
vesper=${1:?$usage}
player=${2:?$usage}
idle=${3:?$usage}

if [ -z "${VESPER_BENCH_BUS:-}" ]; then
    VESPER_BENCH_BUS=1 VESPER_BENCH_SECONDS=$seconds exec dbus-run-session -- sh "$0" "$@"
fi

root=$(mktemp -d)
pids=
cleanup() {
    for pid in $pids; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$root"
}
trap cleanup EXIT
mkdir -p "$root/config" "$root/data" "$root/runtime"
chmod 700 "$root/runtime"
export XDG_CONFIG_HOME="$root/config" XDG_DATA_HOME="$root/data" XDG_RUNTIME_DIR="$root/runtime"
export VESPER_ITUNES_URL=http://127.0.0.1:9 VESPER_UPDATE_URL=http://127.0.0.1:9
export DISPLAY=:91
Xvfb "$DISPLAY" -screen 0 1280x800x24 >/dev/null 2>&1 &
pids="$pids $!"
sleep 0.5
openbox >/dev/null 2>&1 &
pids="$pids $!"
sleep 0.5
ticks=$(getconf CLK_TCK)

wait_for() {
    for _ in $(seq 200); do
        grep -qF -- "$1" "$2" 2>/dev/null && return 0
        sleep 0.05
    done
    echo "FAIL: no '$1' in $2" >&2
    cat "$2" >&2
    exit 1
}
now_ms() { date +%s%3N; }
cpu_ticks() { sed 's/^.*) //' /proc/"$1"/stat | awk '{ print $12 + $13 }'; }
rss_kb() { awk '/^VmRSS/ { print $2 }' /proc/"$1"/status; }

echo "== first frame of the panel (5 launches)"
for run in 1 2 3 4 5; do
    start=$(now_ms)
    QT_LOGGING_RULES="northloft.VesperApp.App.debug=true" "$vesper" >"$root/start.log" 2>&1 &
    pid=$!
    wait_for "first panel frame painted at" "$root/start.log"
    painted=$(sed -n 's/.*first panel frame painted at \([0-9]*\).*/\1/p' "$root/start.log")
    echo $((painted - start))
    kill "$pid"
    wait "$pid" || true
done >"$root/starts"
sort -n "$root/starts" | awk '{ v[NR] = $1 } END {
    printf "start to first frame: median %d ms (runs: %s); aim under 300 ms: %s\n", v[3],
        v[1] " " v[2] " " v[3] " " v[4] " " v[5], v[3] < 300 ? "met" : "MISSED" }'

# window <label> <pid>: CPU and RSS of that process over $seconds.
window() {
    before=$(cpu_ticks "$2")
    sleep "$seconds"
    after=$(cpu_ticks "$2")
    awk -v b="$before" -v a="$after" -v t="$ticks" -v s="$seconds" -v r="$(rss_kb "$2")" \
        -v label="$1" 'BEGIN { printf "%-28s CPU %.3f %% of one core, RSS %.1f MB\n",
                               label, (a - b) / t / s * 100, r / 1024 }'
}

echo "== a track playing, $seconds s each"
mkfifo "$root/player.in"
"$player" <"$root/player.in" >"$root/player.log" 2>&1 &
pids="$pids $!"
exec 3>"$root/player.in"
wait_for "ready" "$root/player.log"
echo "play Evening Tide|Bench Artist|Bench Album|3000" >&3
"$vesper" >"$root/vesper.log" 2>&1 &
vesper_pid=$!
pids="$pids $vesper_pid"
wait_for "title=Evening Tide" "$root/vesper.log"
sleep 3
window "Vesper, panel playing" "$vesper_pid"
"$idle" >/dev/null 2>&1 &
idle_pid=$!
pids="$pids $idle_pid"
sleep 3
window "an empty window (the floor)" "$idle_pid"
echo "aims: under 1 % of one core and under 60 MB while playing"
