#!/usr/bin/env bash
# The demo: the reference service on 127.0.0.1:8089 with a demo account, and two clients signed in
# to it as two computers ("laptop" and "desktop") of that account, each with a home of its own
# under demo/ (demo/laptop, demo/desktop), so the user's real ~/Kestrine and settings stay
# untouched. Drop a file into one home folder and watch it appear in the other. Ctrl+C stops all
# three. A second run reuses the demo folders (account, both computers, their files).
#
# Usage: tools/demo.sh [--check] [build-folder]      (make run builds first, then calls this)
#   --check   the same start in a fresh temporary folder on a free port, then one file put into
#             one home must arrive in the other; everything is stopped again. Exit 0 when it did.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
check=0
if [ "${1:-}" = "--check" ]; then
  check=1
  shift
fi
build="$(cd "${1:-$here/build}" && pwd)"
client="$build/kestrine"
server="$build/kestrine-server"
for p in "$client" "$server"; do
  if [ ! -x "$p" ]; then
    echo "demo: $p is missing; run 'make build' first" >&2
    exit 1
  fi
done

user=demo
password="demo-pass"
computers=(laptop desktop)
if [ $check = 1 ]; then
  demo="$(mktemp -d "${TMPDIR:-/tmp}/kestrine-demo-check.XXXXXX")"
  listen=127.0.0.1:0
  # The check keeps the clients off the display, in a UTF-8 locale whatever the machine's, and
  # asks the service for changes every second.
  unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
  export LC_ALL=C.UTF-8 KESTRINE_HEARTBEAT_MS=1000
else
  demo="$here/demo"
  listen=127.0.0.1:8089
fi
mkdir -p "$demo"

pids=()
stopping=0
unclean=0
# Stops the clients first (they sign off from a running service), then the service; a child that
# does not end within 15 s is killed. A child that did not end with status 0 sets unclean.
stop_all() {
  [ $stopping = 1 ] && return
  stopping=1
  trap '' INT TERM
  local i pid
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid=${pids[$i]}
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 150); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || unclean=1
  done
  if [ $check = 1 ]; then
    rm -rf "$demo"
  fi
}
trap 'stop_all; exit 130' INT
trap 'stop_all; exit 143' TERM
trap 'stop_all' EXIT

# Waits up to $2 seconds for the file $1 to hold the text $3.
wait_for_text() {
  local file=$1 seconds=$2 text=$3
  for _ in $(seq $((seconds * 10))); do
    grep -qF -- "$text" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# --- the service
data="$demo/server"
if [ ! -f "$data/kestrine.db" ]; then
  "$server" add-user --data "$data" "$user" "$password" >/dev/null
fi
"$server" serve --data "$data" --listen "$listen" --quiet >"$demo/server.log" 2>&1 &
pids+=($!)
if ! wait_for_text "$demo/server.log" 15 "listening on"; then
  echo "demo: the service did not start:" >&2
  cat "$demo/server.log" >&2
  exit 1
fi
host="$(sed -n 's/^listening on //p' "$demo/server.log" | head -n 1)"
echo "demo: service on http://$host (data in $data), account \"$user\", password \"$password\""
token="$(sed -n 's/^control token: //p' "$demo/server.log" | head -n 1)"
echo "demo: fault injection (server/README.md) with -H 'X-Kestrine-Control-Token: $token'"

# --- the clients
# With a display the clients show their tray icons (the Qt front end) and open folders with
# xdg-open. The demo homes hide the user's display credentials and session bus, so they are named
# explicitly. Without a display: the console front end, and folders a client would open are listed
# in its opened.txt instead.
desktop_env() {
  local dir=$1
  desktop=()
  console=()
  if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    [ -z "${XAUTHORITY:-}" ] && [ -f "$HOME/.Xauthority" ] && desktop+=(XAUTHORITY="$HOME/.Xauthority")
    if [ -n "${WAYLAND_DISPLAY:-}" ] && [ "${WAYLAND_DISPLAY#/}" = "$WAYLAND_DISPLAY" ] && [ -n "${XDG_RUNTIME_DIR:-}" ]; then
      desktop+=(WAYLAND_DISPLAY="$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY")
    fi
    if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ] && [ -S "${XDG_RUNTIME_DIR:-/nonexistent}/bus" ]; then
      desktop+=(DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus")
    fi
  else
    # A Qt platform named without a display (offscreen) would still take the client off the
    # console, where the script signs it in.
    console=(-u QT_QPA_PLATFORM)
    desktop+=(KESTRINE_OPEN_LOG="$dir/opened.txt")
  fi
}

# The client of one computer, in its own home, runtime and settings folders, talking to the demo
# service. Its output lines go to the terminal prefixed with the computer's name, and to
# <home>/client.out.
start_client() {
  local name=$1 dir="$demo/$1"
  mkdir -p "$dir/run" "$dir/.config"
  chmod 700 "$dir/run"
  local base=(HOME="$dir" XDG_RUNTIME_DIR="$dir/run" XDG_CONFIG_HOME="$dir/.config"
              KESTRINE_SERVICE_HOST="$host")
  # The service is on this machine: a proxy of the environment would only stand in the way.
  local direct=(-u http_proxy -u HTTP_PROXY)
  # The console login reads the account, the password, the computer name and "remember" from
  # standard input; a client with a remembered account signs in by itself and reads nothing.
  local answers
  answers="$(printf '%s\n%s\n%s\ny\n' "$user" "$password" "$name")"
  if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ ! -f "$dir/.signed-in" ]; then
    # The tray front end signs in through its dialog; the first sign-in is done here on the
    # console instead, so the tray client finds a remembered account.
    : >"$dir/client.out"
    env "${direct[@]}" -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "${base[@]}" \
      KESTRINE_OPEN_LOG="$dir/opened.txt" "$client" <<<"$answers" >>"$dir/client.out" 2>&1 &
    local first=$!
    if ! wait_for_text "$dir/client.out" 60 "登录成功"; then
      kill -TERM $first 2>/dev/null || true
      wait $first 2>/dev/null || true
      echo "demo: $name could not sign in:" >&2
      cat "$dir/client.out" >&2
      exit 1
    fi
    kill -TERM $first 2>/dev/null || true
    wait $first 2>/dev/null || true
  fi
  desktop_env "$dir"
  : >"$dir/client.out"
  touch "$dir/.started"
  env "${direct[@]}" "${console[@]}" "${base[@]}" "${desktop[@]}" "$client" <<<"$answers" \
    > >(tee -a "$dir/client.out" | sed -u "s/^/[$name] /") 2>&1 &
  pids+=($!)
}

for c in "${computers[@]}"; do
  start_client "$c"
done
# Signed in: the start's log (written after the marker) shows the watch on the home folder, which
# begins once the sign-in has succeeded; this holds for both front ends and a remembered account.
signed_in() {
  local dir=$1 f
  [ -d "$dir/Kestrine/.log" ] || return 1
  while IFS= read -r f; do
    grep -qF "Mointor root:" "$f" && return 0
  done < <(find "$dir/Kestrine/.log" -type f -name '*.log' -newer "$dir/.started")
  return 1
}
for c in "${computers[@]}"; do
  ok=0
  for _ in $(seq 600); do
    if signed_in "$demo/$c"; then
      ok=1
      break
    fi
    sleep 0.1
  done
  if [ $ok = 0 ]; then
    echo "demo: $c did not sign in; see $demo/$c/client.out and $demo/$c/Kestrine/.log" >&2
    # The check's folder goes with it: show what the client said.
    [ $check = 1 ] && cat "$demo/$c/client.out" >&2
    exit 1
  fi
  touch "$demo/$c/.signed-in"
done

a="$demo/${computers[0]}/Kestrine/home"
b="$demo/${computers[1]}/Kestrine/home"
if [ $check = 1 ]; then
  name="demo-check $(date +%s%N).txt"
  text="from ${computers[0]} at $(date)"
  printf '%s\n' "$text" >"$a/$name"
  for _ in $(seq 600); do
    if [ -f "$b/$name" ] && [ "$(cat "$b/$name")" = "$text" ]; then
      # A client that crashed or failed its sanitizer on the way out fails the check too.
      stop_all
      if [ $unclean = 1 ]; then
        echo "demo: check failed: a client or the service did not end cleanly" >&2
        exit 1
      fi
      echo "demo: check passed: \"$name\" went from ${computers[0]} to ${computers[1]}"
      exit 0
    fi
    sleep 0.1
  done
  echo "demo: check failed: \"$name\" did not reach $b" >&2
  for c in "${computers[@]}"; do
    echo "--- $c" >&2
    cat "$demo/$c/client.out" >&2
  done
  exit 1
fi

echo
echo "demo: two computers of account \"$user\" are signed in. Their home folders:"
echo "  ${computers[0]}:  $a"
echo "  ${computers[1]}: $b"
echo "demo: drop a file into one and watch it appear in the other. Logs: <computer>/Kestrine/.log"
echo "demo: Ctrl+C stops both clients and the service"
wait "${pids[0]}" || true
