#!/bin/sh
# Runs a command on a private session bus that starts no service (no Secret Service either), with
# its own temporary home and XDG folders.
#
#   private_bus.sh <command> [arguments...]
set -eu
. "$(dirname "$0")/e2e_common.sh"
if [ "${1:-}" = --inside ]; then
    shift
    exec "$@"
fi
e2e_make_root
export HOME="$root"
e2e_bus_config "$root"
dbus-run-session --config-file="$root/bus.conf" -- sh "$0" --inside "$@"
