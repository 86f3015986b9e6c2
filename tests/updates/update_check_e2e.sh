#!/bin/sh
# The running binary's update check against a local product site that fails: the first start
# asks for the manifest once and logs the failure line, a second start within a day does not
# ask, and a start more than a day after the last check asks again.
#
#   tests/updates/update_check_e2e.sh <path to vesper> <path to fake_http_site>
set -eu

vesper=${1:?usage: $0 <vesper> <fake_http_site>}
site=${2:?usage: $0 <vesper> <fake_http_site>}
. "$(dirname "$0")/../support/e2e_common.sh"
e2e_private_bus "$@"
e2e_make_root
failure_line="Vesper: update check failed (network or malformed manifest)"
touch "$root/requests.log"

requests() { grep -c '^GET /api/version.json?t=[0-9]*$' "$root/requests.log" || true; }

# Starts Vesper, waits until it has launched and settled (or logged the given line), then ends
# it.
run_vesper() { # log name, [line to wait for]
    "$vesper" >"$root/$1" 2>&1 &
    vesper_pid=$!
    e2e_track "$vesper_pid"
    wait_for "$root/$1" "[App] launched"
    if [ $# -gt 1 ]; then wait_for "$root/$1" "$2"; else sleep 1; fi
    kill -TERM "$vesper_pid"
    wait "$vesper_pid" || fail "Vesper did not end cleanly"
}

"$site" /api/version.json 500 '{"error":"down for maintenance"}' "$root/requests.log" >"$root/site.url" &
e2e_track $!
wait_for "$root/site.url" "http://127.0.0.1:"
VESPER_UPDATE_URL=$(cat "$root/site.url")
export VESPER_UPDATE_URL

run_vesper run1.log "$failure_line"
[ "$(requests)" -eq 1 ] || fail "the first start asked $(requests) times"
[ "$(grep -cxF "$failure_line" "$root/run1.log")" -eq 1 ] || fail "no single failure line"
grep -q '"updateLastCheckDate"' "$root/config/vesper/defaults.json" \
    || fail "the time of the check was not stored"

run_vesper run2.log
[ "$(requests)" -eq 1 ] || fail "a start within a day asked again"
grep -qF "$failure_line" "$root/run2.log" && fail "a start within a day logged a failure"

day_ago=$(date -u -d '25 hours ago' +%Y-%m-%dT%H:%M:%SZ)
printf '{"updateLastCheckDate": {"$date": "%s"}}\n' "$day_ago" >"$root/config/vesper/defaults.json"
run_vesper run3.log "$failure_line"
[ "$(requests)" -eq 2 ] || fail "a start a day after the last check did not ask"
grep -qxF "$failure_line" "$root/run3.log" || fail "no failure line on the third start"
echo "update check at launch: every check passed"
