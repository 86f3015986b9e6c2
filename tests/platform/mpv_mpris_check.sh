#!/bin/sh
# Checks Vesper's MPRIS code against a real player: mpv with its MPRIS plugin plays a generated
# tone (no audio device, no window) on a private session bus, and mpris_probe reads the track
# and sends play/pause, which must flip mpv's playback status.
#
#   tests/platform/mpv_mpris_check.sh <path to mpris_probe>
#
# Needs the Debian packages mpv and mpv-mpris; exits 77 (skipped) without them.
set -eu

probe=${1:?usage: $0 <path to mpris_probe>}

if [ -z "${VESPER_MPV_CHECK_BUS:-}" ]; then
    # A bus of its own keeps the check away from the desktop's players and vice versa.
    VESPER_MPV_CHECK_BUS=1 exec dbus-run-session -- "$0" "$@"
fi

plugin=${MPV_MPRIS_PLUGIN:-/usr/lib/mpv-mpris/mpris.so}
if ! command -v mpv >/dev/null 2>&1 || [ ! -f "$plugin" ]; then
    echo "skipped: mpv or its MPRIS plugin is not installed"
    exit 77
fi

# No configuration and no automatic scripts, so the plugin is loaded exactly once.
mpv --no-config --load-scripts=no --script="$plugin" --ao=null --vo=null --no-terminal \
    --force-media-title="Vesper Test Tone" \
    "av://lavfi:sine=frequency=440:duration=600" &
mpv_pid=$!
trap 'kill "$mpv_pid" 2>/dev/null || true' EXIT INT TERM

"$probe" org.mpris.MediaPlayer2.mpv 15
