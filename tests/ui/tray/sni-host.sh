#!/bin/sh
# Runs a command beside a StatusNotifierItem host: xfce4-panel's status tray, in a D-Bus session
# and a home of its own, on the X display given. The command starts once the host has registered
# with the watcher; the panel ends with it.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
home=$(mktemp -d "${TMPDIR:-/tmp}/trellion-sni-XXXXXX")
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_CACHE_HOME="$home/cache" \
    XDG_DATA_HOME="$home/data" XDG_RUNTIME_DIR="$home/runtime" NO_AT_BRIDGE=1
unset SESSION_MANAGER
mkdir -m 700 "$XDG_RUNTIME_DIR"
mkdir -p "$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml"
cp "$here/xfce4-panel.xml" "$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml/"
exec dbus-run-session -- sh -c '
    xfce4-panel --disable-wm-check >"$HOME/panel.log" 2>&1 &
    panel=$!
    tries=0
    until dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher \
            /StatusNotifierWatcher org.freedesktop.DBus.Properties.Get \
            string:org.kde.StatusNotifierWatcher string:IsStatusNotifierHostRegistered \
            2>/dev/null | grep -q "boolean true"; do
        tries=$((tries + 1))
        if [ "$tries" -gt 150 ]; then
            echo "sni-host: no StatusNotifierItem host after 15 s" >&2
            cat "$HOME/panel.log" >&2
            kill "$panel" 2>/dev/null
            exit 1
        fi
        sleep 0.1
    done
    status=0
    "$@" || status=$?
    kill "$panel" 2>/dev/null || true
    wait "$panel" 2>/dev/null || true
    exit "$status"' sni-host "$@"
