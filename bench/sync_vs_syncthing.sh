#!/usr/bin/env bash
# Two computers kept in sync, against Syncthing doing the same between two instances on loopback:
# a tree dropped into computer A's home folder while A's client runs (it watches the folder), timed
# by wall clock from the drop until computer B's home folder holds every file with its content.
#   BENCH small_files_10k_vs_syncthing <ratio> x   10,000 files of 0 to 8 KiB in 100 folders
#   BENCH small_files_10k_kestrine <s> s, BENCH small_files_10k_syncthing <s> s
#   BENCH first_sync_256m_vs_syncthing <ratio> x   the 1,000-file 256 MiB tree of sync_first.sh
#   BENCH first_sync_256m_kestrine <s> s, BENCH first_sync_256m_syncthing <s> s
# A ratio is the client's time over Syncthing's. The tree is written beforehand in a folder on the
# same file system and moved in with one rename, the same way for both; B is polled every 0.2 s
# (its file count, then the content of every file).
# Usage: bench/sync_vs_syncthing.sh <build-folder>
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=SCRIPTDIR/sync_lib.bash
source "$here/sync_lib.bash"
sb_init "$(cd "${1:-build}" && pwd)"

# The client's time for the tree $2 (its sums in $3, $4 files): a fresh service, computers $1-a
# and $1-b signed in with empty home folders and through their first passes, then the drop into
# A's home folder. Sets took.
kestrine_case() {
  local name=$1 tree=$2 sums=$3 files=$4
  sb_start_server "server-$name"
  sb_start_client "$name-a"
  local a=$sb_pid
  sb_start_client "$name-b"
  local b=$sb_pid
  sb_wait_pass "$name-a" 300
  sb_wait_pass "$name-b" 300
  cp -a "$tree" "$sb_work/drop"
  local t0=$EPOCHREALTIME
  mv "$sb_work/drop" "$(sb_home "$name-a")/tree"
  sb_wait_tree "$(sb_home "$name-b")/tree" "$sums" "$files" 1800
  took="$(sb_elapsed "$t0" "$sb_done_at")"
  sb_stop "$b"
  sb_stop "$a"
  sb_stop "$sb_server_pid"
  rm -rf "$sb_work/$name-a" "$sb_work/$name-b" "$sb_work/server-$name"
}

# Syncthing's time for the same: a fresh pair, connected and idle, then the drop into A's folder.
syncthing_case() {
  local tree=$1 sums=$2 files=$3
  local fa="$sb_work/st-folder-a" fb="$sb_work/st-folder-b"
  sb_st_pair "$fa" "$fb"
  cp -a "$tree" "$sb_work/drop"
  local t0=$EPOCHREALTIME
  mv "$sb_work/drop" "$fa/tree"
  sb_wait_tree "$fb/tree" "$sums" "$files" 1800
  took="$(sb_elapsed "$t0" "$sb_done_at")"
  sb_st_stop_pair
  rm -rf "$fa" "$fb"
}

# Runs both sides on the tree $2 and prints the figures named $1.
compare() {
  local label=$1 tree=$2 sums="$sb_work/$1.sums" files
  sb_tree_sums "$tree" >"$sums"
  files="$(wc -l <"$sums")"
  kestrine_case "$label" "$tree" "$sums" "$files"
  local k=$took
  syncthing_case "$tree" "$sums" "$files"
  local s=$took
  echo "BENCH ${label}_kestrine $k s"
  echo "BENCH ${label}_syncthing $s s"
  awk -v k="$k" -v s="$s" -v n="$label" 'BEGIN { printf "BENCH %s_vs_syncthing %.2f x\n", n, k / s }'
}

sb_make_small_tree "$sb_work/small" 100 100
compare small_files_10k "$sb_work/small"
rm -rf "$sb_work/small"

sb_make_mixed_tree "$sb_work/mixed"
compare first_sync_256m "$sb_work/mixed"
