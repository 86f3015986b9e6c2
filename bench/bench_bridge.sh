#!/bin/sh
# Installs the ws package from the committed lock file into the build tree and runs the bridge
# benchmark.
#   bench/bench_bridge.sh <vesper> <bench_bridge_roundtrip> <work folder> [messages] [rounds]
set -eu
vesper=$1 roundtrip=$2 work=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"
cp "$here/../tests/browser/bridge_e2e/package.json" "$here/../tests/browser/bridge_e2e/package-lock.json" \
    "$here/bench_bridge.cjs" "$work/"
if [ ! -f "$work/node_modules/ws/package.json" ] || ! cmp -s "$work/package-lock.json" "$work/.installed-lock"; then
    (cd "$work" && npm ci --no-audit --no-fund --loglevel=error)
    cp "$work/package-lock.json" "$work/.installed-lock"
fi
exec node "$work/bench_bridge.cjs" "$vesper" "$roundtrip" "$@"
