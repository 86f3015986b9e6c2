#!/bin/sh
# Runs bridge_e2e.cjs on a private X display and a private session bus, with ws installed from
# the committed lock file into the work folder.   bridge_e2e.sh <path to vesper> <work folder>
set -eu
vesper=$1 work=$2
here=$(cd "$(dirname "$0")/bridge_e2e" && pwd)

for tool in node npm xvfb-run xdotool dbus-run-session; do
    command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is needed"; exit 77; }
done
mkdir -p "$work"
cp "$here/package.json" "$here/package-lock.json" "$here/bridge_e2e.cjs" "$work/"
if ! cmp -s "$work/package-lock.json" "$work/.installed-lock"; then
    (cd "$work" && npm ci --no-audit --no-fund --loglevel=error) || { echo "SKIP: npm could not install ws"; exit 77; }
    cp "$work/package-lock.json" "$work/.installed-lock"
fi
exec xvfb-run -a dbus-run-session -- node "$work/bridge_e2e.cjs" "$vesper"
