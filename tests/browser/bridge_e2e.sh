#!/bin/sh
# The running binary against a WebSocket peer from npm (ws) posing as the browser extension,
# on a private X display where global shortcuts are pressed with xdotool. The package is
# installed from the committed lock file into the build tree.
#
#   tests/browser/bridge_e2e.sh <path to vesper> <work folder>
set -eu

vesper=${1:?usage: $0 <path to vesper> <work folder>}
work=${2:?usage: $0 <path to vesper> <work folder>}
here=$(cd "$(dirname "$0")/bridge_e2e" && pwd)

if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
    echo "SKIP: node and npm are needed"
    exit 77
fi
for tool in xvfb-run xdotool; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is needed"
        exit 77
    fi
done
mkdir -p "$work"
cp "$here/package.json" "$here/package-lock.json" "$here/bridge_e2e.cjs" "$work/"
if [ ! -f "$work/node_modules/ws/package.json" ] || ! cmp -s "$work/package-lock.json" "$work/.installed-lock"; then
    if ! (cd "$work" && npm ci --no-audit --no-fund --loglevel=error); then
        echo "SKIP: npm could not install ws"
        exit 77
    fi
    cp "$work/package-lock.json" "$work/.installed-lock"
fi

set -- node "$work/bridge_e2e.cjs" "$vesper"
# A private session bus, so that Vesper finds no desktop player but the one it may start.
if command -v dbus-run-session >/dev/null 2>&1; then
    set -- dbus-run-session -- "$@"
fi
exec xvfb-run -a "$@"
