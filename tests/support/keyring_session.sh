#!/bin/sh
# Runs a test program inside a private D-Bus session with an unlocked gnome-keyring of its own
# (HOME and the runtime folder in a fresh temporary folder), so the keyring tests never touch the
# user's. Usage: keyring_session.sh PROGRAM [ARGS...]
set -eu
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -m 700 "$tmp/home" "$tmp/run"
export HOME="$tmp/home" XDG_RUNTIME_DIR="$tmp/run" XDG_DATA_HOME="$tmp/home/.local/share"
unset XDG_CONFIG_HOME
# The daemon creates and unlocks the login keyring only for a non-empty password on stdin; with
# an empty one every store would ask a prompter, which has no display here.
dbus-run-session -- sh -c '
  printf "kestrine-test" | gnome-keyring-daemon --unlock --components=secrets >/dev/null
  KESTRINE_KEYRING_TEST=1 "$@"' sh "$@"
