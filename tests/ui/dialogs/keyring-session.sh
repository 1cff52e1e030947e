#!/bin/sh
# Runs a command in a D-Bus session of its own, with a GNOME keyring in a private home unlocked
# from standard input; the session and the keyring end with the command.
set -eu
home=$(mktemp -d "${TMPDIR:-/tmp}/trellion-keyring-XXXXXX")
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_RUNTIME_DIR="$home/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset GNOME_KEYRING_CONTROL
dbus-run-session -- sh -c '
    printf "%s" keyring-test | gnome-keyring-daemon --unlock --components=secrets >/dev/null
    exec "$@"' keyring-session "$@"
