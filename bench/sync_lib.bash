# Helpers of the sync benches (bench/sync_*.sh), sourced, never run by bench/run.sh: the reference
# service on a free loopback port and client processes of the build tree, each with its own HOME,
# signed in through standard input, and the timing of their passes read from their logs.
# Every wait is bounded; everything started is stopped on exit.

sb_pids=()
sb_work=""

sb_init() {
  local build=$1
  sb_client="$build/kestrine"
  sb_server="$build/kestrine-server"
  local p
  for p in "$sb_client" "$sb_server"; do
    if [ ! -x "$p" ]; then
      echo "bench: $p is missing" >&2
      exit 1
    fi
  done
  sb_work="$(mktemp -d "${TMPDIR:-/tmp}/kestrine-bench.XXXXXX")"
  trap sb_cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

sb_cleanup() {
  local i
  for ((i = ${#sb_pids[@]} - 1; i >= 0; i--)); do
    sb_stop "${sb_pids[$i]}"
  done
  [ -n "$sb_work" ] && rm -rf "$sb_work"
}

# Ends one child: SIGTERM, then SIGKILL after 30 s.
sb_stop() {
  local pid=$1
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# Polls the command "$@" every 0.1 s for at most $1 seconds.
sb_wait() {
  local seconds=$1
  shift
  for _ in $(seq $((seconds * 10))); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

sb_has_line() { grep -qF -- "$2" "$1" 2>/dev/null; }

# Starts the service on a fresh data folder with the account bench / bench-pw; sets sb_host.
sb_start_server() {
  local data="$sb_work/server"
  "$sb_server" add-user --data "$data" bench bench-pw >/dev/null
  "$sb_server" serve --data "$data" --listen 127.0.0.1:0 --quiet >"$sb_work/server.log" 2>&1 &
  sb_pids+=($!)
  if ! sb_wait 30 sb_has_line "$sb_work/server.log" "listening on"; then
    echo "bench: the service did not start" >&2
    cat "$sb_work/server.log" >&2
    exit 1
  fi
  sb_host="$(sed -n 's/^listening on //p' "$sb_work/server.log" | head -n 1)"
  sb_data="$data"
}

sb_home() { echo "$sb_work/$1/Kestrine/home"; }

# Starts the client of computer $1 (the console front end); its first start answers the console
# login, later ones sign in with the remembered account. Sets sb_pid; its console lines go to
# $sb_work/$1/client.out (emptied at each start).
sb_start_client() {
  local name=$1 dir="$sb_work/$1"
  mkdir -p "$dir/run" "$dir/.config"
  chmod 700 "$dir/run"
  : >"$dir/client.out"
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u http_proxy -u HTTP_PROXY \
    HOME="$dir" XDG_RUNTIME_DIR="$dir/run" XDG_CONFIG_HOME="$dir/.config" LC_ALL=C.UTF-8 \
    KESTRINE_SERVICE_HOST="$sb_host" KESTRINE_OPEN_LOG="$dir/opened.txt" \
    "$sb_client" <<<"$(printf 'bench\nbench-pw\n%s\ny\n' "$name")" >"$dir/client.out" 2>&1 &
  sb_pid=$!
  sb_pids+=("$sb_pid")
}

# Waits up to $2 seconds for the first pass series of computer $1's current start to end; fails
# (with the console shown) when it ended unfinished or not at all.
sb_wait_pass() {
  local name=$1 seconds=$2 out="$sb_work/$1/client.out"
  if ! sb_wait "$seconds" grep -qE 'Sync finished|Sync unfinished|同步未完成' "$out"; then
    echo "bench: $name: no pass ended within $seconds s" >&2
    tail -n 20 "$out" >&2
    return 1
  fi
  if ! grep -qF "Sync finished" "$out"; then
    echo "bench: $name: the pass ended unfinished" >&2
    tail -n 20 "$out" >&2
    return 1
  fi
}

# The milliseconds of the day of a log line's "[YYYY/MM/DD hh:mm:ss:mmm]" stamp.
sb_stamp_ms() {
  sed -n 's/^.*\[[0-9]*\/[0-9]*\/[0-9]* \([0-9]*\):\([0-9]*\):\([0-9]*\):\([0-9]*\)\].*$/\1 \2 \3 \4/p' |
    head -n 1 | awk '{ printf "%d\n", (($1 * 60 + $2) * 60 + $3) * 1000 + $4 }'
}

# Seconds from the first "sync start" to the first "sync end" in the logs of computer $1 written
# since the file $2 was touched: the first whole pass of one start (a pass that fails logs no
# "sync end", so the time runs on to the end of the next), without process start and sign-in,
# and without the short pass the client's own writes ask for after a pass that wrote files.
sb_pass_seconds() {
  local dir="$sb_work/$1/Kestrine/.log" since=$2 logs
  logs="$(find "$dir" -type f -name '*.log' -newer "$since" | sort)"
  if [ -z "$logs" ]; then
    echo "bench: $1 wrote no log" >&2
    return 1
  fi
  local start end
  # shellcheck disable=SC2086
  start="$(cat $logs | grep -F 'sync start' | head -n 1 | sb_stamp_ms)"
  # shellcheck disable=SC2086
  end="$(cat $logs | grep -F 'sync end' | head -n 1 | sb_stamp_ms)"
  if [ -z "$start" ] || [ -z "$end" ]; then
    echo "bench: $1: no whole pass in its log" >&2
    return 1
  fi
  awk -v s="$start" -v e="$end" 'BEGIN { d = e - s; if (d < 0) d += 86400000; printf "%.3f\n", d / 1000 }'
}

# Peak resident memory (VmHWM) of process $1 in MiB.
sb_peak_mib() {
  awk '/^VmHWM:/ { printf "%.1f\n", $2 / 1024 }' "/proc/$1/status"
}

# "<md5>  <path>" of every file under $1, sorted by path, for comparing two trees.
sb_tree_sums() {
  (cd "$1" && find . -type f -print0 | sort -z | xargs -0 -r md5sum | sort -k2)
}

# Seconds as a decimal, from two $EPOCHREALTIME readings.
sb_elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f\n", b - a }'; }
