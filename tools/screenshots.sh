#!/usr/bin/env bash
# Takes the picture of the main window on a desktop without a tray host, in one language:
# a reference service with one account, a console client ("laptop") that puts a file there, and
# the real Qt client ("desktop") under xvfb-run (no tray host) in the given language. The Qt
# client's account is stored by a first sign-in on the console, as `make run` does; started
# again on the display it signs in by itself, brings the file down, and the picture is taken once
# its window says it is up to date.
# Usage: tools/screenshots.sh LANG [build-folder] [output-file]
#   e.g. tools/screenshots.sh zh_CN.UTF-8            -> docs/window-zh.png
#        tools/screenshots.sh en_US.UTF-8            -> docs/window-en.png
# Needs xvfb, xdotool, imagemagick, fonts-noto-cjk (make deps) and locales (make deps-doc): a
# locale the system has not generated is built into a private folder (LOCPATH).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
lang="${1:?usage: tools/screenshots.sh LANG [build-folder] [output-file]}"
build="$(cd "${2:-$here/build}" && pwd)"
short="${lang%%_*}"
short="${short%%.*}"
out="${3:-$here/docs/window-$short.png}"
mkdir -p "$(dirname "$out")"
out="$(cd "$(dirname "$out")" && pwd)/$(basename "$out")"
. "$here/tools/screenshot-common.sh"
shots_prepare screenshots "make deps deps-doc" kestrine-shots xvfb-run xdotool import localedef

wait_for() {  # wait_for SECONDS COMMAND...: true once the command succeeds
  local seconds=$1
  shift
  for _ in $(seq $((seconds * 10))); do
    "$@" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# The language: the client sets its locale from the environment, so the locale must exist.
locale_env=(LANG="$lang" LANGUAGE= LC_ALL=)
norm="$(echo "$lang" | sed 's/\.utf-\?8$/.utf8/I')"
if ! locale -a 2>/dev/null | grep -qix -e "$lang" -e "$norm"; then
  base="${lang%%.*}"
  mkdir -p "$work/locale"
  localedef -i "$base" -f UTF-8 "$work/locale/$lang" >/dev/null 2>&1 ||
    { echo "screenshots: cannot build the locale $lang (make deps-doc)" >&2; exit 1; }
  locale_env+=(LOCPATH="$work/locale")
fi

# The service: one account.
user=demo
password=demo-pass
data="$work/service"
"$server" add-user --data "$data" "$user" "$password" >/dev/null
"$server" serve --data "$data" --listen 127.0.0.1:0 --quiet >"$work/service.out" 2>&1 &
pids+=($!)
wait_for 15 grep -q "listening on" "$work/service.out" || { cat "$work/service.out" >&2; exit 1; }
host="$(sed -n 's/^listening on //p' "$work/service.out" | head -1)"

client_env() {  # client_env DIR: the environment of a client living in DIR
  mkdir -p "$1/run" "$1/.config" && chmod 700 "$1/run"
  env_of=(HOME="$1" XDG_RUNTIME_DIR="$1/run" XDG_CONFIG_HOME="$1/.config" KESTRINE_SERVICE_HOST="$host"
          KESTRINE_OPEN_LOG="$1/opened.txt" KESTRINE_HEARTBEAT_MS=1000)
}
console_client() {  # console_client NAME: a client on the console, signing in as computer NAME
  local dir="$work/$1"
  client_env "$dir"
  printf '%s\n%s\n%s\ny\n' "$user" "$password" "$1" |
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u http_proxy -u HTTP_PROXY "${env_of[@]}" \
      LC_ALL=C.UTF-8 LANGUAGE=zh_CN "$client" >"$dir/client.out" 2>&1 &  # the line waited for is Chinese
  pids+=($!)
  wait_for 60 grep -q "登录成功" "$dir/client.out" ||
    { echo "screenshots: $1 could not sign in" >&2; cat "$dir/client.out" >&2; exit 1; }
}

# "desktop" signs in once on the console to store its account, then stops.
console_client desktop
kill "${pids[-1]}" 2>/dev/null || true
wait "${pids[-1]}" 2>/dev/null || true
unset 'pids[-1]'

# "laptop" puts a file on the service.
console_client laptop
# A file name in the picture's language, so the English picture shows no CJK character at all.
case "$lang" in
  zh*) name="季度总结 quarterly.txt" ;;
  *) name="quarterly report.txt" ;;
esac
wait_for 30 test -d "$work/laptop/Kestrine/home"
echo "from laptop at $(date)" >"$work/laptop/Kestrine/home/$name"

# The Qt client on a display without a tray host, in the language asked for.
client_env "$work/desktop"
cat >"$work/shot.sh" <<'EOF'
#!/usr/bin/env bash
# Runs inside xvfb-run: starts the client, waits for the file and for "up to date", takes the picture.
set -u
dir="$1" out="$2" file="$3"
shift 3
xsetroot -solid '#5a6470' 2>/dev/null || true
env -u http_proxy -u HTTP_PROXY -u QT_QPA_PLATFORM "$@" >"$dir/gui.out" 2>&1 &
gui=$!
ok=0
for _ in $(seq 600); do
  [ -f "$dir/Kestrine/home/$file" ] && { ok=1; break; }
  sleep 0.1
done
[ $ok = 1 ] || echo "screenshots: the file did not come down" >&2
# The state reads "up to date" after the pass that brought it; the tooltip names the pass's end
# in the title too. Give the pass time to end, then look for the window.
sleep 4
win="$(xdotool search --onlyvisible --name "Kestrine" 2>/dev/null | head -1)"
if [ -n "$win" ]; then
  eval "$(xdotool getwindowgeometry --shell "$win")"
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out"
else
  echo "screenshots: no window appeared; the whole screen is taken" >&2
  import -window root "$out"
fi
kill "$gui" 2>/dev/null
wait "$gui" 2>/dev/null
[ $ok = 1 ] && [ -n "$win" ]
EOF
chmod +x "$work/shot.sh"
xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" "$work/shot.sh" "$work/desktop" "$out" "$name" \
  "${env_of[@]}" "${locale_env[@]}" "$client"
echo "screenshots: $out"
