# Sourced by the end-to-end scripts after `set -eu`: a private bus's configuration, XDG folders,
# a headless Qt, waiting for log lines, and every log shown when a check fails.
#
#   e2e_bus_config <dir>    writes <dir>/bus.conf: a session bus that starts no service
#   e2e_make_root           $root with config, data, cache and runtime folders, exported as XDG
#   e2e_track <pid>         kills the process when the script ends
#   wait_for <file> <text> [seconds, 10 by default]
#   fail <message>          prints the message and every $root/*.log, then exits 1

# The only activation folder is <dir>/services, left empty: the system's activation files (such
# as gnome-keyring's for org.freedesktop.secrets) stay off this bus.
e2e_bus_config() {
    mkdir -p "$1/services"
    cat >"$1/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$1</listen>
  <servicedir>$1/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
}

e2e_pids=
e2e_track() { e2e_pids="$e2e_pids $1"; }
e2e_cleanup() {
    for pid in $e2e_pids; do kill -9 "$pid" 2>/dev/null || true; done
    rm -rf "$root"
}

e2e_make_root() {
    root=$(mktemp -d)
    trap e2e_cleanup EXIT INT TERM
    mkdir -p "$root/config" "$root/data" "$root/cache" "$root/runtime"
    chmod 700 "$root/runtime"
    export XDG_CONFIG_HOME="$root/config" XDG_DATA_HOME="$root/data" \
        XDG_CACHE_HOME="$root/cache" XDG_RUNTIME_DIR="$root/runtime" QT_QPA_PLATFORM=offscreen
}

fail() {
    echo "FAIL: $*"
    for log in "$root"/*.log; do
        [ -f "$log" ] && { echo "--- $(basename "$log"):"; cat "$log"; }
    done
    exit 1
}

wait_for() {
    tries=$((${3:-10} * 10))
    while [ "$tries" -gt 0 ]; do
        grep -qF -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
        tries=$((tries - 1))
    done
    fail "no '$2' in $1"
}
