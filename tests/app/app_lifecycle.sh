#!/bin/sh
# The running binary as a user meets it: it starts headless and stays up, a second launch hands
# its vesper: URL to it and exits 0, and SIGTERM ends it with status 0.
#
#   tests/app/app_lifecycle.sh <path to vesper>
set -eu

vesper=${1:?usage: $0 <path to vesper>}
. "$(dirname "$0")/../support/e2e_common.sh"
e2e_private_bus "$@"
e2e_make_root
# Nothing may leave the machine, whatever the callback starts.
export VESPER_SPOTIFY_ACCOUNTS_URL=http://127.0.0.1:9 VESPER_SPOTIFY_API_URL=http://127.0.0.1:9

wait_for_line() { wait_for "$root/primary.log" "$1"; }

"$vesper" >"$root/primary.log" 2>&1 &
primary_pid=$!
e2e_track "$primary_pid"
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
[ "$status" -eq 0 ] || fail "SIGTERM ended Vesper with status $status"
[ ! -e "$root/runtime/vesper.socket" ] || fail "the instance socket was left behind"
echo "app lifecycle: every check passed"
