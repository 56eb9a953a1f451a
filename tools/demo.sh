#!/usr/bin/env bash
# Starts the client from the build tree with the console front end, in a demo home of its own
# (demo/client1 under the repository), so the user's real ~/Kestrine and settings stay untouched.
# Usage: tools/demo.sh [build-folder]    (make run builds first, then calls this)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
client="$build/kestrine"
if [ ! -x "$client" ]; then
  echo "demo: $client is missing; run 'make build' first" >&2
  exit 1
fi

home="$here/demo/client1"
mkdir -p "$home/run"
chmod 700 "$home/run"

echo "demo: client home $home (data in $home/Kestrine, log in $home/Kestrine/.log)"
echo "demo: Ctrl+C ends the client"
# With a display the client shows its tray icon (the Qt front end) and opens folders with
# xdg-open. The demo home hides the user's display credentials and session bus, so they are
# named explicitly. Without a display: the console front end, and folders the client would open
# are listed in opened.txt instead.
desktop=()
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "demo: tray front end on ${WAYLAND_DISPLAY:-$DISPLAY}"
  [ -z "${XAUTHORITY:-}" ] && [ -f "$HOME/.Xauthority" ] && desktop+=(XAUTHORITY="$HOME/.Xauthority")
  if [ -n "${WAYLAND_DISPLAY:-}" ] && [ "${WAYLAND_DISPLAY#/}" = "$WAYLAND_DISPLAY" ] && [ -n "${XDG_RUNTIME_DIR:-}" ]; then
    desktop+=(WAYLAND_DISPLAY="$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY")
  fi
  if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ] && [ -S "${XDG_RUNTIME_DIR:-/nonexistent}/bus" ]; then
    desktop+=(DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus")
  fi
else
  desktop+=(KESTRINE_OPEN_LOG="$home/opened.txt")
fi
exec env HOME="$home" XDG_RUNTIME_DIR="$home/run" XDG_CONFIG_HOME="$home/.config" \
  "${desktop[@]}" "$client"
