#!/bin/sh
# Runs a test on a private session bus that starts no service, with its own temporary home and
# XDG folders. "keyring" also runs a real gnome-keyring-daemon with an unlocked login keyring;
# "bare" leaves the bus without any Secret Service.
#
# Usage: secret_session.sh keyring|bare <test executable> [arguments...]
set -eu

if [ "${1:-}" = --inside ]; then
    mode=$2
    shift 2
    [ "$mode" = bare ] && exec "$@"
    printf vesper | gnome-keyring-daemon --foreground --unlock --components=secrets \
        >"$SECRET_SESSION_ROOT/keyring.log" 2>&1 &
    keyring=$!
    # Up once it owns the Secret Service's name.
    for _ in $(seq 100); do
        dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null |
            grep -q 'boolean true' && break
        sleep 0.1
    done
    status=0
    "$@" || status=$?
    kill "$keyring" 2>/dev/null || true
    wait "$keyring" 2>/dev/null || true
    [ "$status" -eq 0 ] || cat "$SECRET_SESSION_ROOT/keyring.log" >&2
    exit "$status"
fi

mode=${1:?mode keyring or bare}
shift
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/home" "$root/config" "$root/data" "$root/cache" "$root/runtime"
chmod 700 "$root/runtime"
export HOME="$root/home" XDG_CONFIG_HOME="$root/config" XDG_DATA_HOME="$root/data" \
    XDG_CACHE_HOME="$root/cache" XDG_RUNTIME_DIR="$root/runtime" SECRET_SESSION_ROOT="$root"
. "$(dirname "$0")/../support/e2e_common.sh"
e2e_bus_config "$root"
status=0
dbus-run-session --config-file="$root/bus.conf" -- sh "$0" --inside "$mode" "$@" || status=$?
exit "$status"
