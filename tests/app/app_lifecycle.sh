#!/bin/sh
# The running binary as a user meets it: it starts headless, asks a product site that is down
# for the manifest once and logs the failure, a later launch hands its vesper: URL over and
# exits 0, and SIGTERM, SIGHUP or SIGQUIT end it with status 0.
#
#   tests/app/app_lifecycle.sh <path to vesper> <path to fake_http_site>
set -eu

vesper=${1:?usage: $0 <vesper> <fake_http_site>}
site=${2:?usage: $0 <vesper> <fake_http_site>}
. "$(dirname "$0")/../support/e2e_common.sh"
e2e_make_root
# Nothing may leave the machine, whatever the callback starts.
export VESPER_SPOTIFY_ACCOUNTS_URL=http://127.0.0.1:9 VESPER_SPOTIFY_API_URL=http://127.0.0.1:9
log="$root/primary.log"
callbacks() { grep -c 'authorization callback' "$log" || true; }

"$site" /api/version.json 500 '{"error":"down for maintenance"}' "$root/requests.log" >"$root/site.url" &
e2e_track $!
wait_for "$root/site.url" "http://127.0.0.1:"
VESPER_UPDATE_URL=$(cat "$root/site.url") "$vesper" >"$log" 2>&1 &
primary_pid=$!
e2e_track "$primary_pid"
wait_for "$log" "[App] launched"
wait_for "$log" "Vesper: update check failed (network or malformed manifest)"
[ "$(grep -c '^GET /api/version.json?t=[0-9]*$' "$root/requests.log")" -eq 1 ] \
    || fail "the update check did not ask the site once"
kill -0 "$primary_pid" || fail "Vesper did not stay up"

"$vesper" "vesper://callback?code=not-for-logs" >"$root/second.log" 2>&1 \
    || fail "the second launch exited $?"
wait_for "$log" "[Spotify] authorization callback received"
grep -q "not-for-logs" "$log" && fail "the authorization code was logged"

# Launches are handled in order: once the fourth one's callback is seen, the third is done.
"$vesper" "https://example.org/elsewhere" >"$root/third.log" 2>&1 || fail "the third launch failed"
"$vesper" "vesper://callback?code=again" >"$root/fourth.log" 2>&1 || fail "the fourth launch failed"
tries=100
while [ "$(callbacks)" -lt 2 ] && [ "$tries" -gt 0 ]; do sleep 0.1; tries=$((tries - 1)); done
[ "$(callbacks)" -eq 2 ] || fail "$(callbacks) callbacks routed instead of 2"

kill -TERM "$primary_pid"
status=0
wait "$primary_pid" || status=$?
[ "$status" -eq 0 ] || fail "SIGTERM ended Vesper with status $status"
[ ! -e "$root/runtime/vesper.socket" ] || fail "the instance socket was left behind"

# A closed terminal (SIGHUP) and Ctrl+\ (SIGQUIT) end it the same way.
for signal in HUP QUIT; do
    "$vesper" >"$root/$signal.log" 2>&1 &
    pid=$!
    e2e_track "$pid"
    wait_for "$root/$signal.log" "[App] launched"
    kill -s "$signal" "$pid"
    status=0
    wait "$pid" || status=$?
    [ "$status" -eq 0 ] || fail "SIG$signal ended Vesper with status $status"
    [ ! -e "$root/runtime/vesper.socket" ] || fail "SIG$signal left the instance socket behind"
done
echo "app lifecycle: every check passed"
