#!/bin/sh
# The running binary's update check against a local product site that fails: the first start
# asks for the manifest once and logs the failure line, a second start within a day does not
# ask, and a start more than a day after the last check asks again.
#
#   tests/update_check_e2e.sh <path to vesper> <path to fake_http_site>
set -eu

vesper=${1:?usage: $0 <vesper> <fake_http_site>}
site=${2:?usage: $0 <vesper> <fake_http_site>}
if [ -z "${VESPER_UPDATE_E2E_BUS:-}" ]; then
    VESPER_UPDATE_E2E_BUS=1 exec dbus-run-session -- "$0" "$@"
fi

root=$(mktemp -d)
site_pid=
vesper_pid=
cleanup() {
    [ -n "$vesper_pid" ] && kill -9 "$vesper_pid" 2>/dev/null || true
    [ -n "$site_pid" ] && kill "$site_pid" 2>/dev/null || true
    rm -rf "$root"
}
trap cleanup EXIT INT TERM
mkdir -p "$root/config" "$root/data" "$root/cache" "$root/runtime"
chmod 700 "$root/runtime"
export XDG_CONFIG_HOME="$root/config" XDG_DATA_HOME="$root/data" XDG_CACHE_HOME="$root/cache"
export XDG_RUNTIME_DIR="$root/runtime" QT_QPA_PLATFORM=offscreen
failure_line="Vesper: update check failed (network or malformed manifest)"
touch "$root/requests.log"

fail() {
    echo "FAIL: $*"
    for log in "$root"/run*.log; do
        [ -e "$log" ] && { echo "--- $log:"; cat "$log"; }
    done
    echo "--- requests:"; cat "$root/requests.log"
    exit 1
}
wait_for() { # file, fixed text
    for _ in $(seq 100); do
        grep -qF -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    fail "no '$2' in $1"
}
requests() { grep -c '^GET /api/version.json?t=[0-9]*$' "$root/requests.log" || true; }

# Starts Vesper, waits until it has launched and settled (or logged the given line), then ends
# it.
run_vesper() { # log name, [line to wait for]
    "$vesper" >"$root/$1" 2>&1 &
    vesper_pid=$!
    wait_for "$root/$1" "[App] launched"
    if [ $# -gt 1 ]; then wait_for "$root/$1" "$2"; else sleep 1; fi
    kill -TERM "$vesper_pid"
    wait "$vesper_pid" || fail "Vesper did not end cleanly"
    vesper_pid=
}

"$site" 500 '{"error":"down for maintenance"}' "$root/requests.log" >"$root/site.url" &
site_pid=$!
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
