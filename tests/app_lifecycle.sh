#!/bin/sh
# The running binary as a user meets it: it starts headless and stays up, a second launch hands
# its vesper: URL to it and exits 0, and SIGTERM ends it with status 0.
#
#   tests/app_lifecycle.sh <path to vesper>
set -eu

vesper=${1:?usage: $0 <path to vesper>}
if [ -z "${VESPER_LIFECYCLE_BUS:-}" ]; then
    VESPER_LIFECYCLE_BUS=1 exec dbus-run-session -- "$0" "$@"
fi

root=$(mktemp -d)
primary_pid=
cleanup() {
    [ -n "$primary_pid" ] && kill -9 "$primary_pid" 2>/dev/null || true
    rm -rf "$root"
}
trap cleanup EXIT INT TERM
mkdir -p "$root/config" "$root/data" "$root/cache" "$root/runtime"
chmod 700 "$root/runtime"
export XDG_CONFIG_HOME="$root/config" XDG_DATA_HOME="$root/data" XDG_CACHE_HOME="$root/cache"
export XDG_RUNTIME_DIR="$root/runtime" QT_QPA_PLATFORM=offscreen
# Nothing may leave the machine, whatever the callback starts.
export VESPER_SPOTIFY_ACCOUNTS_URL=http://127.0.0.1:9 VESPER_SPOTIFY_API_URL=http://127.0.0.1:9

fail() {
    echo "FAIL: $*"
    echo "--- primary's log:"
    cat "$root/primary.log"
    exit 1
}

# Waits up to five seconds for a line in the primary's log.
wait_for_line() {
    for _ in $(seq 50); do
        grep -qF -- "$1" "$root/primary.log" && return 0
        sleep 0.1
    done
    fail "no line '$1'"
}

"$vesper" >"$root/primary.log" 2>&1 &
primary_pid=$!
wait_for_line "[App] launched"
sleep 1
kill -0 "$primary_pid" || fail "Vesper did not stay up"

"$vesper" "vesper://callback?code=not-for-logs" >"$root/second.log" 2>&1 \
    || fail "the second launch exited $?"
wait_for_line "[Spotify] authorization callback received"
grep -q "not-for-logs" "$root/primary.log" && fail "the authorization code was logged"

"$vesper" "https://example.org/elsewhere" >"$root/third.log" 2>&1 || fail "the third launch failed"
sleep 0.3
[ "$(grep -c 'authorization callback' "$root/primary.log")" -eq 1 ] || fail "a non-vesper URL was routed"

kill -TERM "$primary_pid"
status=0
wait "$primary_pid" || status=$?
primary_pid=
[ "$status" -eq 0 ] || fail "SIGTERM ended Vesper with status $status"
[ ! -e "$root/runtime/vesper.socket" ] || fail "the instance socket was left behind"
echo "app lifecycle: every check passed"
