#!/usr/bin/env bash
# A pass with nothing to do over 10,000 files, and the client's peak memory:
#   BENCH noop_pass_10k <seconds> s      the passes of a start whose files all match the service
#   BENCH noop_pass_10k_rss <MiB> MiB    VmHWM of that client process (start, sign-in, the pass)
# The files go up first (a start of their own); the measured start is a fresh process, so its
# peak is the no-op pass's, not the upload's.
# Usage: bench/sync_noop.sh <build-folder>
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=SCRIPTDIR/sync_lib.bash
source "$here/sync_lib.bash"
sb_init "$(cd "${1:-build}" && pwd)"

files=10000
sb_start_server

# A first sign-in with an empty home folder (files found there would be kept aside), then the
# tree: 100 folders of 100 files, 0 to 8 KiB each.
sb_start_client noop
sb_wait_pass noop 300
sb_stop "$sb_pid"
python3 - "$(sb_home noop)/tree" "$files" <<'EOF'
import os, random, sys
root, n = sys.argv[1], int(sys.argv[2])
rng = random.Random(11)
for i in range(n):
    folder = os.path.join(root, "dir%03d" % (i // 100))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "note%05d.txt" % i), "wb") as f:
        f.write(rng.randbytes(rng.randint(0, 8 << 10)))
EOF

# Up, in a start of its own.
marker="$sb_work/up.start"
touch "$marker"
sb_start_client noop
sb_wait_pass noop 1800
listed="$("$sb_server" ls --data "$sb_data" bench | awk '$2 == "file"' | wc -l)"
if [ "$listed" -lt "$files" ]; then
  echo "bench: the service lists $listed files after the upload" >&2
  exit 1
fi
echo "bench: upload of $files files: $(sb_pass_seconds noop "$marker") s" >&2
sb_stop "$sb_pid"

# The measured start: nothing changed on either side.
marker="$sb_work/noop.start"
touch "$marker"
sb_start_client noop
sb_wait_pass noop 600
pass_s="$(sb_pass_seconds noop "$marker")"
peak="$(sb_peak_mib "$sb_pid")"
# Nothing may travel in a no-op pass (the log names every file sent up or brought down).
logs="$(find "$sb_work/noop/Kestrine/.log" -type f -name '*.log' -newer "$marker")"
# shellcheck disable=SC2086
moved="$(cat $logs | grep -cE '上载文件: |下载' || true)"
if [ "$moved" != 0 ]; then
  echo "bench: the no-op pass moved files:" >&2
  # shellcheck disable=SC2086
  cat $logs | grep -E '上载文件: |下载' | head -n 10 >&2
  exit 1
fi
echo "BENCH noop_pass_10k $pass_s s"
echo "BENCH noop_pass_10k_rss $peak MiB"
