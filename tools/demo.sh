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
# No desktop here: folders the client would open are listed in opened.txt instead.
exec env HOME="$home" XDG_RUNTIME_DIR="$home/run" XDG_CONFIG_HOME="$home/.config" \
  KESTRINE_OPEN_LOG="$home/opened.txt" "$client"
