#!/bin/sh
# Runs a test in a private session bus with its own temporary home and XDG folders. Nothing on
# that bus can be started by activation; "keyring" also runs a real gnome-keyring-daemon with an
# unlocked login keyring for the test, "bare" leaves the bus without any Secret Service.
#
# Usage: secret_session.sh keyring|bare <test executable> [arguments...]
set -eu

if [ "${1:-}" = --inside ]; then
    shift
    mode=$1
    shift
    if [ "$mode" = bare ]; then
        exec "$@"
    fi
    printf vesper | gnome-keyring-daemon --foreground --unlock --components=secrets \
        >"$SECRET_SESSION_ROOT/keyring.log" 2>&1 &
    keyring=$!
    tries=0
    until dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null |
        grep -q 'boolean true'; do
        tries=$((tries + 1))
        if [ "$tries" -ge 100 ]; then
            echo "secret_session.sh: gnome-keyring-daemon did not come up" >&2
            cat "$SECRET_SESSION_ROOT/keyring.log" >&2
            kill "$keyring" 2>/dev/null || true
            exit 1
        fi
        sleep 0.1
    done
    status=0
    "$@" || status=$?
    kill "$keyring" 2>/dev/null || true
    wait "$keyring" 2>/dev/null || true
    exit "$status"
fi

mode=${1:?mode keyring or bare}
shift
case "$mode" in
keyring) tools="dbus-run-session dbus-send gnome-keyring-daemon secret-tool" ;;
bare) tools="dbus-run-session" ;;
*) echo "secret_session.sh: unknown mode $mode" >&2; exit 2 ;;
esac
for tool in $tools; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "secret_session.sh: $tool is not installed" >&2
        exit 1
    fi
done

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
