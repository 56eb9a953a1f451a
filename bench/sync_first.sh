#!/usr/bin/env bash
# First upload and first download of a tree of 1,000 files totalling 256 MiB, against the time of
# `rsync -a` of the same tree between two local folders, measured in the same run:
#   BENCH first_upload_vs_rsync <ratio> x     one client's passes that send the tree up
#   BENCH first_download_vs_rsync <ratio> x   a second computer's first passes that bring it down
# Each side runs three times (each client round on a fresh service data folder and fresh homes)
# and a ratio is the median client time over the median rsync time; the single times go to
# stderr. A pass's time is read from the client's log (its "sync start" and "sync end" lines), so
# process start and sign-in are left out. The downloaded tree must equal the original byte for
# byte.
# Usage: bench/sync_first.sh <build-folder>
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=SCRIPTDIR/sync_lib.bash
source "$here/sync_lib.bash"
sb_init "$(cd "${1:-build}" && pwd)"

rounds=3
tree="$sb_work/tree"
sb_make_mixed_tree "$tree"
files="$(find "$tree" -type f | wc -l)"
sums="$sb_work/tree.sums"
sb_tree_sums "$tree" >"$sums"

# The baseline: a local copy that keeps times and modes.
rsync_runs=()
for r in $(seq "$rounds"); do
  t0=$EPOCHREALTIME
  rsync -a "$tree/" "$sb_work/rsync-copy/"
  t1=$EPOCHREALTIME
  rm -rf "$sb_work/rsync-copy"
  rsync_runs+=("$(sb_elapsed "$t0" "$t1")")
  echo "bench: rsync -a of $files files, 256 MiB, run $r: ${rsync_runs[-1]} s" >&2
done

# One client round $1: the upload and the download times in up_s and down_s.
client_round() {
  local r=$1 up="up$1" down="down$1"
  sb_start_server "server$r"
  # Up: the first computer signs in with an empty home folder (a first sign-in keeps files it
  # finds there aside, as no account owns them), stops, and finds the tree there at its next
  # start, whose first passes send it all.
  sb_start_client "$up"
  sb_wait_pass "$up" 300
  sb_stop "$sb_pid"
  cp -a "$tree" "$(sb_home "$up")/tree"
  local marker="$sb_work/$up.start"
  touch "$marker"
  sb_start_client "$up"
  sb_wait_pass "$up" 1800
  up_s="$(sb_pass_seconds "$up" "$marker")"
  sb_stop "$sb_pid"
  local listed
  listed="$("$sb_server" ls --data "$sb_data" bench | awk '$2 == "file"' | wc -l)"
  if [ "$listed" -lt "$files" ]; then
    echo "bench: the service lists $listed files after the upload" >&2
    exit 1
  fi

  # Down: a second computer of the account with an empty home folder.
  marker="$sb_work/$down.start"
  touch "$marker"
  sb_start_client "$down"
  sb_wait_pass "$down" 1800
  down_s="$(sb_pass_seconds "$down" "$marker")"
  sb_stop "$sb_pid"
  if ! diff -q "$sums" <(sb_tree_sums "$(sb_home "$down")/tree") >/dev/null; then
    echo "bench: the downloaded tree differs from the original" >&2
    diff "$sums" <(sb_tree_sums "$(sb_home "$down")/tree") | head -n 20 >&2
    exit 1
  fi
  sb_stop "$sb_server_pid"
  rm -rf "$sb_work/server$r" "$sb_work/${up:?}" "$sb_work/${down:?}"
}

up_runs=()
down_runs=()
for r in $(seq "$rounds"); do
  client_round "$r"
  up_runs+=("$up_s")
  down_runs+=("$down_s")
  echo "bench: client round $r: upload $up_s s, download $down_s s" >&2
done

rsync_s="$(sb_median "${rsync_runs[@]}")"
up_s="$(sb_median "${up_runs[@]}")"
down_s="$(sb_median "${down_runs[@]}")"
echo "bench: medians: rsync $rsync_s s, upload $up_s s, download $down_s s" >&2
awk -v c="$up_s" -v r="$rsync_s" 'BEGIN { printf "BENCH first_upload_vs_rsync %.1f x\n", c / r }'
awk -v c="$down_s" -v r="$rsync_s" 'BEGIN { printf "BENCH first_download_vs_rsync %.1f x\n", c / r }'
