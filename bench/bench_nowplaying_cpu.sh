#!/bin/sh
# CPU time and wake-ups of the running Vesper binary while nothing changes: with no player on
# the bus, while a track plays, while it is paused, and after the player has quit. CPU is
# utime+stime of the whole process (/proc/<pid>/stat) in % of one core; wake-ups are the
# voluntary and involuntary context switches of all its threads (/proc/<pid>/task/*/status).
# Aims: under 0.5 % of one core while playing; with no player, no more wake-ups than the
# 5-second poll makes (about 12 a minute). The paused window has no aim of its own: compared
# with the playing one it shows whether the position ticker (2 a second) has stopped.
#
#   bench/bench_nowplaying_cpu.sh [--seconds N] <path to vesper> <path to fake_mpris_player>
#
# Each window lasts 60 seconds unless --seconds or VESPER_BENCH_SECONDS says otherwise. The
# script runs itself in a private session bus with temporary XDG directories.
set -eu

seconds=${VESPER_BENCH_SECONDS:-60}
if [ "${1:-}" = "--seconds" ]; then
    seconds=${2:?--seconds needs a value}
    shift 2
fi
usage="usage: $0 [--seconds N] <path to vesper> <path to fake_mpris_player>"
vesper=${1:?$usage}
player=${2:?$usage}
[ -x "$vesper" ] || { echo "not executable: $vesper" >&2; exit 2; }
[ -x "$player" ] || { echo "not executable: $player" >&2; exit 2; }

if [ -z "${VESPER_BENCH_BUS:-}" ]; then
    VESPER_BENCH_BUS=1 VESPER_BENCH_SECONDS=$seconds exec dbus-run-session -- sh "$0" "$@"
fi

root=$(mktemp -d)
vesper_pid=
player_pid=
cleanup() {
    [ -n "$player_pid" ] && kill "$player_pid" 2>/dev/null || true
    [ -n "$vesper_pid" ] && kill "$vesper_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$root"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir -p "$root/config" "$root/data" "$root/cache" "$root/runtime"
chmod 700 "$root/runtime"
export XDG_CONFIG_HOME="$root/config" XDG_DATA_HOME="$root/data" XDG_CACHE_HOME="$root/cache"
export XDG_RUNTIME_DIR="$root/runtime" QT_QPA_PLATFORM=offscreen
# Artwork lookups go nowhere: nothing leaves the machine.
export VESPER_ITUNES_URL=http://127.0.0.1:9
ticks=$(getconf CLK_TCK)

fail() {
    echo "FAIL: $*" >&2
    echo "--- Vesper's log:" >&2
    cat "$root/vesper.log" >&2
    exit 1
}

# Waits up to ten seconds for a fixed string in a file.
wait_for() {
    for _ in $(seq 100); do
        grep -qF -- "$1" "$2" 2>/dev/null && return 0
        sleep 0.1
    done
    fail "no '$1' in $2"
}

# One line per thread of Vesper: tid, nanoseconds on CPU (schedstat, finer than the ticks of
# stat), voluntary and involuntary switches, name.
snapshot() {
    for task in /proc/"$vesper_pid"/task/*; do
        tid=${task##*/}
        ran=$(awk '{ print $1 }' "$task/schedstat" 2>/dev/null) || continue
        switches=$(awk '/^voluntary_ctxt_switches/ { v = $2 }
                        /^nonvoluntary_ctxt_switches/ { n = $2 }
                        END { print v + 0, n + 0 }' "$task/status" 2>/dev/null) || continue
        [ -n "$ran" ] || continue
        echo "$tid $ran $switches $(cat "$task/comm" 2>/dev/null || echo '?')"
    done
}

# utime+stime of the whole process, dead threads included; the 14th and 15th fields of stat,
# counted after the parenthesised name.
process_ticks() {
    sed 's/^.*) //' /proc/"$vesper_pid"/stat | awk '{ print $12 + $13 }'
}

# measure <label> <cpu|idle|none>: one window of $seconds, then the figures of the whole process and of
# each thread that ran in it. Preemption counts as an involuntary switch, so a busy machine adds
# a few "wake-ups"; the idle aim leaves room for them.
measure() {
    kill -0 "$vesper_pid" 2>/dev/null || fail "Vesper is not running"
    snapshot >"$root/before"
    cpu_before=$(process_ticks)
    start=$(date +%s.%N)
    sleep "$seconds"
    snapshot >"$root/after"
    cpu_after=$(process_ticks)
    end=$(date +%s.%N)

    echo
    echo "== $1 ($seconds s)"
    awk -v before="$cpu_before" -v after="$cpu_after" -v start="$start" -v end="$end" \
        -v ticks="$ticks" -v main="$vesper_pid" -v aim="$2" '
        BEGIN { elapsed = end - start }
        FNR == NR { cpu[$1] = $2; vol[$1] = $3; invol[$1] = $4; next }
        {
            # A thread born in the window starts from zero.
            dcpu = $2 - cpu[$1]; dvol = $3 - vol[$1]; dinvol = $4 - invol[$1]
            name = $5; for (i = 6; i <= NF; ++i) name = name " " $i
            line[++count] = sprintf("  %-8s %-16s %8.3f ms %7.4f %%  %6d wake-ups (%d voluntary, %d involuntary)%s",
                $1, name, dcpu / 1e6, dcpu / 1e7 / elapsed, dvol + dinvol, dvol, dinvol,
                $1 == main ? "  [main]" : "")
            ran += dcpu
            wakeups += dvol + dinvol
            if ($1 == main) mainwakeups = dvol + dinvol
        }
        END {
            percent = (after - before) / ticks / elapsed * 100
            printf "CPU: %.3f %% of one core (utime+stime: %d ticks of 1/%d s in %.1f s)\n",
                percent, after - before, ticks, elapsed
            printf "     %.4f %% of one core on the finer clock of schedstat (%.3f ms)\n",
                ran / 1e7 / elapsed, ran / 1e6
            printf "wake-ups: %d (%.1f a minute), main thread %d (%.1f a minute)\n",
                wakeups, wakeups * 60 / elapsed, mainwakeups, mainwakeups * 60 / elapsed
            print "per thread (threads that ended within the window are not counted):"
            for (i = 1; i <= count; ++i) print line[i]
            if (aim == "cpu")
                printf "aim under 0.5 %% of one core: %s\n", percent < 0.5 ? "met" : "MISSED"
            else if (aim == "idle" && elapsed < 20)
                print "wake-up aim not judged: a window this short says little about a 5 s poll"
            else if (aim == "idle")
                printf "aim about 12 wake-ups a minute on the main thread (the 5 s poll): %s\n",
                    mainwakeups <= elapsed / 5 * 1.25 + 1 ? "met" : "MISSED"
        }' "$root/before" "$root/after"
}

"$vesper" >"$root/vesper.log" 2>&1 &
vesper_pid=$!
wait_for "[App] launched" "$root/vesper.log"
# Start-up work (settings, portal and keyring questions) is not what is measured.
sleep 3

echo "Vesper pid $vesper_pid; windows of $seconds s; $(nproc) CPUs"
measure "nothing playing, no player on the bus" idle

# The player reads commands from a pipe that stays open until the end.
mkfifo "$root/player.in"
"$player" <"$root/player.in" >"$root/player.log" 2>&1 &
player_pid=$!
exec 3>"$root/player.in"
wait_for "ready" "$root/player.log"
echo "play Evening Tide|Bench Artist|Bench Album|300" >&3
wait_for "title=Evening Tide" "$root/vesper.log"
sleep 3
measure "a track playing, nothing changing" cpu

echo "pause" >&3
sleep 3
measure "the track paused" none

echo "quit" >&3
exec 3>&-
wait "$player_pid" || true
player_pid=
sleep 3
measure "the player quit" idle

kill -TERM "$vesper_pid"
wait "$vesper_pid" || true
vesper_pid=
