#!/usr/bin/env bash
# A pass with nothing to do over 10,000 and over 100,000 small files, the client's peak memory in
# each, and a second computer bringing the 100,000 files down:
#   BENCH noop_pass_10k <seconds> s            the passes of a start whose files all match the service
#   BENCH noop_pass_10k_rss <MiB> MiB          VmHWM of that client process (start, sign-in, the pass)
#   BENCH noop_pass_100k <seconds> s           the same over 100 folders of 1,000 files
#   BENCH noop_pass_100k_rss <MiB> MiB
#   BENCH noop_pass_rss_per_file <KiB> KiB     (rss100k - rss10k) / 90,000 files
#   BENCH first_download_100k_small <s> s      a new computer's first pass bringing the 100k tree down
#   BENCH first_download_100k_small_rsync <s> s   `rsync -a` of the same tree between local folders
# The files go up first (a start of their own); the measured start is a fresh process, so its
# peak is the no-op pass's, not the upload's. The download time is that of the first whole pass
# (its "sync start" to "sync end" log lines, as for first_download_vs_rsync); the tree is
# compared by content afterwards (polling 100,000 files while it comes down would take CPU from
# the client).
# Usage: bench/sync_noop.sh <build-folder>
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=SCRIPTDIR/sync_lib.bash
source "$here/sync_lib.bash"
sb_init "$(cd "${1:-build}" && pwd)"

# The no-op start of computer $1 over $2 folders of $3 files, on a service of its own (left
# running, as sb_host / sb_data, for a later computer of the account); sets pass_s and peak.
noop_case() {
  local name=$1 folders=$2 per=$3 files=$(($2 * $3))
  sb_start_server "server-$name"
  # A first sign-in with an empty home folder (files found there would be kept aside), then the
  # tree.
  sb_start_client "$name"
  sb_wait_pass "$name" 300
  sb_stop "$sb_pid"
  sb_make_small_tree "$(sb_home "$name")/tree" "$folders" "$per"

  # Up, in a start of its own.
  local marker="$sb_work/$name-up.start"
  touch "$marker"
  sb_start_client "$name"
  sb_wait_pass "$name" 3600
  local listed
  listed="$("$sb_server" ls --data "$sb_data" bench | awk '$2 == "file"' | wc -l)"
  if [ "$listed" -lt "$files" ]; then
    echo "bench: the service lists $listed files after the upload" >&2
    exit 1
  fi
  echo "bench: upload of $files files: $(sb_pass_seconds "$name" "$marker") s" >&2
  sb_stop "$sb_pid"

  # The measured start: nothing changed on either side.
  marker="$sb_work/$name-noop.start"
  touch "$marker"
  sb_start_client "$name"
  sb_wait_pass "$name" 1800
  pass_s="$(sb_pass_seconds "$name" "$marker")"
  peak="$(sb_peak_mib "$sb_pid")"
  # Nothing may travel in a no-op pass (the log names every file sent up or brought down).
  local logs moved
  logs="$(find "$sb_work/$name/Kestrine/.log" -type f -name '*.log' -newer "$marker")"
  # shellcheck disable=SC2086
  moved="$(cat $logs | grep -cE '上载文件: |下载' || true)"
  if [ "$moved" != 0 ]; then
    echo "bench: the no-op pass moved files:" >&2
    # shellcheck disable=SC2086
    cat $logs | grep -E '上载文件: |下载' | head -n 10 >&2
    exit 1
  fi
  sb_stop "$sb_pid"
}

noop_case noop10k 100 100
sb_stop "$sb_server_pid"
echo "BENCH noop_pass_10k $pass_s s"
echo "BENCH noop_pass_10k_rss $peak MiB"
peak_10k=$peak

noop_case noop100k 100 1000
echo "BENCH noop_pass_100k $pass_s s"
echo "BENCH noop_pass_100k_rss $peak MiB"
awk -v a="$peak_10k" -v b="$peak" 'BEGIN { printf "BENCH noop_pass_rss_per_file %.2f KiB\n", (b - a) * 1024 / 90000 }'

# The 100k tree, already on the service, brought down by a second computer of the account with an
# empty home folder.
tree="$(sb_home noop100k)/tree"
files="$(find "$tree" -type f | wc -l)"
sums="$sb_work/tree100k.sums"
sb_tree_sums "$tree" >"$sums"
marker="$sb_work/down100k.start"
touch "$marker"
sb_start_client down100k
sb_wait_pass down100k 3600
down_s="$(sb_pass_seconds down100k "$marker")"
sb_stop "$sb_pid"
if ! sb_tree_matches "$(sb_home down100k)/tree" "$sums" "$files"; then
  echo "bench: the downloaded 100k tree differs from the original" >&2
  diff "$sums" <(sb_tree_sums "$(sb_home down100k)/tree") | head -n 20 >&2
  exit 1
fi
echo "BENCH first_download_100k_small $down_s s"

t0=$EPOCHREALTIME
rsync -a "$tree/" "$sb_work/rsync-copy/"
t1=$EPOCHREALTIME
rm -rf "$sb_work/rsync-copy"
echo "BENCH first_download_100k_small_rsync $(sb_elapsed "$t0" "$t1") s"
