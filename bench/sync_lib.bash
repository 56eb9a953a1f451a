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

# Ends one child: SIGTERM, then SIGKILL after 30 s. It leaves sb_pids, so that the exit never
# signals a number the system may have given to another process since.
sb_stop() {
  local pid=$1 p kept=()
  for p in "${sb_pids[@]}"; do
    [ "$p" = "$pid" ] || kept+=("$p")
  done
  sb_pids=("${kept[@]}")
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# Polls the command "$@" every 0.1 s until it succeeds, for at most $1 seconds of wall clock
# (however long each try takes).
sb_wait() {
  local end=$((SECONDS + $1))
  shift
  while true; do
    "$@" && return 0
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.1
  done
}

sb_has_line() { grep -qF -- "$2" "$1" 2>/dev/null; }

# Starts the service on a fresh data folder $sb_work/${1:-server} with the account bench /
# bench-pw; sets sb_host, sb_data and sb_server_pid.
sb_start_server() {
  local data="$sb_work/${1:-server}" log="$sb_work/${1:-server}.log"
  "$sb_server" add-user --data "$data" bench bench-pw >/dev/null
  "$sb_server" serve --data "$data" --listen 127.0.0.1:0 --quiet >"$log" 2>&1 &
  sb_server_pid=$!
  sb_pids+=("$sb_server_pid")
  if ! sb_wait 30 sb_has_line "$log" "listening on"; then
    echo "bench: the service did not start" >&2
    cat "$log" >&2
    exit 1
  fi
  sb_host="$(sed -n 's/^listening on //p' "$log" | head -n 1)"
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

# The median of the numbers given as arguments.
sb_median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# The sum of the byte sizes of the files under $1.
sb_tree_bytes() { find "$1" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%d\n", s }'; }

# Writes the mixed tree of the first-sync benches under $1: 1,000 files totalling 256 MiB of
# incompressible content in 20 folders (nested two deep): one file in twenty between 2 and 6 MiB
# (one or two chunks, one of exactly 4 MiB), the rest up to 100 KiB, a few empty; the last file
# takes what is left (about 20 MiB, five chunks) so the total is exact. Exits when the tree
# written is not that.
sb_make_mixed_tree() {
  local root=$1 files=1000 total=$((256 * 1024 * 1024))
  python3 - "$root" "$files" "$total" <<'EOF'
import os, random, sys
root, n, total = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(7)
sizes = []
for i in range(n - 1):
    if i % 20 == 0:
        sizes.append(rng.randint(2 << 20, 6 << 20))
    elif i % 97 == 0:
        sizes.append(0)
    else:
        sizes.append(rng.randint(1, 100 << 10))
sizes[20] = 4 << 20
rest = total - sum(sizes)
if rest < 0:
    sys.exit("the sizes exceed the total")
sizes.append(rest)
for i, size in enumerate(sizes):
    folder = os.path.join(root, "set%02d" % (i % 20), "part%d" % (i % 3))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "file%04d.bin" % i), "wb") as f:
        f.write(os.urandom(size))
EOF
  local count bytes
  count="$(find "$root" -type f | wc -l)"
  bytes="$(sb_tree_bytes "$root")"
  if [ "$count" != "$files" ] || [ "$bytes" != "$total" ]; then
    echo "bench: the tree has $count files and $bytes bytes" >&2
    exit 1
  fi
}

# Writes $2 folders of $3 small files (0 to 8 KiB of random content each) under $1, in one
# process so that even 100,000 files take seconds.
sb_make_small_tree() {
  python3 - "$1" "$2" "$3" <<'EOF'
import os, random, sys
root, folders, per = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(11)
for d in range(folders):
    folder = os.path.join(root, "dir%03d" % d)
    os.makedirs(folder)
    for i in range(d * per, (d + 1) * per):
        with open(os.path.join(folder, "note%06d.txt" % i), "wb") as f:
            f.write(rng.randbytes(rng.randint(0, 8 << 10)))
EOF
}

# Whether the tree $1 holds $3 files whose sums equal the file $2 (from sb_tree_sums); the
# cheap count goes first, so a poll of a half-synced tree reads no content.
sb_tree_matches() {
  [ -d "$1" ] || return 1
  [ "$(find "$1" -type f | wc -l)" = "$3" ] || return 1
  diff -q "$2" <(sb_tree_sums "$1") >/dev/null
}

# Waits up to $4 seconds for the tree $1 to match ($2, $3 as for sb_tree_matches), polling every
# 0.2 s; sets sb_done_at to the $EPOCHREALTIME at the start of the try that matched, so the
# final reading of the content is not counted. Fails with the difference shown.
sb_wait_tree() {
  local dir=$1 sums=$2 count=$3 end=$((SECONDS + $4)) at
  while true; do
    at=$EPOCHREALTIME
    if sb_tree_matches "$dir" "$sums" "$count"; then
      sb_done_at=$at
      return 0
    fi
    if [ "$SECONDS" -ge "$end" ]; then
      echo "bench: $dir did not match within $4 s" >&2
      if [ -d "$dir" ]; then
        diff "$sums" <(sb_tree_sums "$dir") | head -n 10 >&2
      fi
      return 1
    fi
    sleep 0.2
  done
}

# A free TCP port on loopback (free when asked; the caller binds it soon after).
sb_free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Syncthing, the peer the benches compare against: instance $1 lives in $sb_work/st-$1 (its
# config, keys, database and log). Sets sb_st_id[$1], sb_st_port[$1] (sync), sb_st_gui[$1] (REST).
declare -A sb_st_id sb_st_port sb_st_gui sb_st_key sb_st_pid

sb_st_generate() {
  local name=$1 home="$sb_work/st-$1"
  if ! command -v syncthing >/dev/null; then
    echo "bench: syncthing is missing (make bench installs it)" >&2
    exit 1
  fi
  sb_st_id[$name]="$(HOME="$home" syncthing generate --home="$home" --no-default-folder \
    --skip-port-probing 2>&1 | sed -n 's/^.*Device ID: *//p')"
  if [ -z "${sb_st_id[$name]}" ]; then
    echo "bench: syncthing generate gave no device ID" >&2
    exit 1
  fi
  sb_st_port[$name]="$(sb_free_port)"
  sb_st_gui[$name]="$(sb_free_port)"
}

# Writes the config of instance $1: only loopback (discovery, relays, NAT, usage and crash
# reports and upgrades off), the peer $2 at its explicit address, and the send-receive folder
# "bench" at $3 shared with it, watched with a 1 s delay. Normal process priority, as the client's.
sb_st_configure() {
  local name=$1 peer=$2 folder=$3 home="$sb_work/st-$1"
  mkdir -p "$folder/.stfolder"
  python3 - "$home/config.xml" "${sb_st_id[$name]}" "${sb_st_port[$name]}" "${sb_st_gui[$name]}" \
    "${sb_st_id[$peer]}" "${sb_st_port[$peer]}" "$folder" <<'EOF'
import copy, sys
import xml.etree.ElementTree as ET
path, my_id, my_port, gui_port, peer_id, peer_port, folder = sys.argv[1:]
tree = ET.parse(path)
root = tree.getroot()
opts = root.find("options")
for key, value in {
        "listenAddress": "tcp://127.0.0.1:" + my_port,
        "globalAnnounceEnabled": "false", "localAnnounceEnabled": "false",
        "relaysEnabled": "false", "natEnabled": "false", "startBrowser": "false",
        "urAccepted": "-1", "crashReportingEnabled": "false", "autoUpgradeIntervalH": "0",
        "setLowPriority": "false"}.items():
    node = opts.find(key)
    if node is None:
        node = ET.SubElement(opts, key)
    node.text = value
root.find("gui").find("address").text = "127.0.0.1:" + gui_port
for dev in root.findall("device"):
    root.remove(dev)
defaults = root.find("defaults")
for dev_id, port in ((my_id, my_port), (peer_id, peer_port)):
    dev = copy.deepcopy(defaults.find("device"))
    dev.set("id", dev_id)
    dev.set("name", dev_id[:7])
    dev.find("address").text = "tcp://127.0.0.1:" + port
    root.append(dev)
f = copy.deepcopy(defaults.find("folder"))
f.set("id", "bench")
f.set("label", "bench")
f.set("path", folder)
f.set("type", "sendreceive")
f.set("fsWatcherEnabled", "true")
f.set("fsWatcherDelayS", "1")
for dev in f.findall("device"):
    f.remove(dev)
for dev_id in (my_id, peer_id):
    ET.SubElement(f, "device", {"id": dev_id, "introducedBy": ""}).append(
        ET.Element("encryptionPassword"))
root.append(f)
tree.write(path)
EOF
}

sb_st_start() {
  local name=$1 home="$sb_work/st-$1"
  sb_st_key[$name]="$(sed -n 's/^.*<apikey>\(.*\)<\/apikey>.*$/\1/p' "$home/config.xml")"
  HOME="$home" STNORESTART=1 STNOUPGRADE=1 syncthing serve --home="$home" --no-browser \
    --no-restart --no-upgrade --logfile=- >"$home/out.log" 2>&1 &
  sb_st_pid[$name]=$!
  sb_pids+=("$!")
}

# GET of the REST path $2 of instance $1.
sb_st_get() {
  curl -sf --max-time 5 -H "X-API-Key: ${sb_st_key[$1]}" "http://127.0.0.1:${sb_st_gui[$1]}$2"
}

# Whether instance $1 is connected to $2 and its folder is idle with nothing needed.
sb_st_ready() {
  local conns status
  conns="$(sb_st_get "$1" /rest/system/connections)" || return 1
  status="$(sb_st_get "$1" '/rest/db/status?folder=bench')" || return 1
  python3 - "$conns" "$status" "${sb_st_id[$2]}" <<'EOF'
import json, sys
conns, status, peer = json.loads(sys.argv[1]), json.loads(sys.argv[2]), sys.argv[3]
ok = conns["connections"].get(peer, {}).get("connected") and status["state"] == "idle" \
    and status["needTotalItems"] == 0
sys.exit(0 if ok else 1)
EOF
}

# Waits up to $3 seconds until instances $1 and $2 are connected and idle.
sb_st_wait_ready() {
  if ! sb_wait "$3" sb_st_ready "$1" "$2" || ! sb_wait "$3" sb_st_ready "$2" "$1"; then
    echo "bench: the Syncthing instances did not connect within $3 s" >&2
    tail -n 20 "$sb_work/st-$1/out.log" "$sb_work/st-$2/out.log" >&2
    exit 1
  fi
}

# Two Syncthing instances a and b sharing the folders $1 (a) and $2 (b), started, connected, idle.
sb_st_pair() {
  sb_st_generate a
  sb_st_generate b
  sb_st_configure a b "$1"
  sb_st_configure b a "$2"
  sb_st_start a
  sb_st_start b
  sb_st_wait_ready a b 120
}

# Stops both instances (each keeps its database otherwise, and the next pair needs fresh ones).
sb_st_stop_pair() {
  sb_stop "${sb_st_pid[a]}"
  sb_stop "${sb_st_pid[b]}"
  rm -rf "$sb_work/st-a" "$sb_work/st-b"
}
