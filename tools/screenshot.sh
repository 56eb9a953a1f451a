#!/usr/bin/env bash
# Takes the pictures of docs/ui.md under a private Xvfb display with an XEmbed tray (trayer):
#   tray-menu.png     the tray menu of a client signed in to a reference service holding a few
#                     files (signed out when the sign-in does not succeed);
#   login-dialog.png  the login dialog of a client started without an account.
# Usage: tools/screenshot.sh [build-folder] [output-folder]   (defaults: build, docs)
# Needs xvfb, trayer, xdotool, x11-apps (xwd) and imagemagick (make deps installs them).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
out="$(mkdir -p "${2:-$here/docs}" && cd "${2:-$here/docs}" && pwd)"
convert=/usr/bin/convert  # ImageMagick's, whatever else is first on PATH
. "$here/tools/screenshot-common.sh"
shots_prepare screenshot "make deps" kestrine Xvfb trayer xdotool xwd "$convert" python3

# A display number nobody uses.
n=90
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
export DISPLAY=":$n"
W=1024
Xvfb "$DISPLAY" -screen 0 ${W}x768x24 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
# A grey desktop, and the tray at the top right.
xsetroot -solid '#5a6470' 2>/dev/null || true
trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
  --transparent false --tint 0x303840 >/dev/null 2>&1 & pids+=($!)
sleep 1

shot() {  # shot FILE WIDTHxHEIGHT+X+Y: a part of the screen
  xwd -root -silent | "$convert" xwd:- -crop "$2" +repage "$1"
}

# The service: one account holding a few files.
data="$work/service"
"$server" add-user --data "$data" alice secret >/dev/null
mkdir -p "$work/files/报告" "$work/files/photos"
echo "季度总结" > "$work/files/报告/季度总结.txt"
echo "minutes" > "$work/files/报告/meeting notes.txt"
head -c 20000 /dev/urandom > "$work/files/photos/beach.jpg"
"$server" put --data "$data" alice "$work/files/报告" "报告" >/dev/null
"$server" put --data "$data" alice "$work/files/photos" "photos" >/dev/null
"$server" serve --data "$data" --listen 127.0.0.1:0 --quiet > "$work/service.out" 2>&1 & pids+=($!)
for _ in $(seq 100); do grep -q "listening on" "$work/service.out" 2>/dev/null && break; sleep 0.1; done
host="$(sed -n 's/^listening on //p' "$work/service.out" | head -1)"

# A client with the stored account: it signs in and brings the files down.
start_client() {  # start_client HOME
  mkdir -p "$1/run" && chmod 700 "$1/run"
  env HOME="$1" XDG_RUNTIME_DIR="$1/run" XDG_CONFIG_HOME="$1/.config" KESTRINE_SERVICE_HOST="$host" \
    KESTRINE_OPEN_LOG="$1/opened.txt" LC_ALL=C.UTF-8 "$client" >"$1/out.txt" 2>&1 &
  pids+=($!)
}
c1="$work/alice"
mkdir -p "$c1/Kestrine/.db"
python3 - "$c1/Kestrine/.db/client.db" <<'PY'
import base64, sqlite3, sys
db = sqlite3.connect(sys.argv[1])
db.execute("create table config_table(id int primary key, key text not null unique, value text);")
for k, v in (("login_user", "alice"), ("login_passwd", base64.b64encode(b"secret").decode()),
             ("host_name", "demo-pc")):
    db.execute("INSERT INTO config_table(key, value) VALUES(?, ?)", (k, v))
db.commit()
PY
start_client "$c1"
client1=${pids[-1]}
for _ in $(seq 300); do
  [ -f "$c1/Kestrine/home/photos/beach.jpg" ] && break
  sleep 0.1
done
[ -f "$c1/Kestrine/home/photos/beach.jpg" ] || echo "screenshot: the files did not come down" >&2
sleep 1
# Right button on the tray icon (the first one at the right end of the tray), then the picture.
xdotool mousemove $((W - 16)) 16 click 3
sleep 1
xdotool mousemove $((W - 100)) 27  # over "文件更新(&U)": its submenu opens
sleep 1
shot "$out/tray-menu.png" 720x260+$((W - 720))+0
xdotool key Escape key Escape
kill "$client1" 2>/dev/null || true
sleep 1

# A client without an account opens the login dialog at start.
c2="$work/newcomer"
start_client "$c2"
for _ in $(seq 100); do
  win="$(xdotool search --name "Kestrine - 用户登录" 2>/dev/null | head -1 || true)"
  [ -n "$win" ] && break
  sleep 0.1
done
if [ -n "${win:-}" ]; then
  sleep 1
  eval "$(xdotool getwindowgeometry --shell "$win")"
  shot "$out/login-dialog.png" "${WIDTH}x${HEIGHT}+${X}+${Y}"
  echo "screenshot: $out/tray-menu.png $out/login-dialog.png"
else
  echo "screenshot: $out/tray-menu.png (no login dialog appeared)" >&2
fi
