#!/usr/bin/env bash
# First upload and first download of a tree of 1,000 files totalling 256 MiB, against the time of
# `rsync -a` of the same tree between two local folders, measured in the same run:
#   BENCH first_upload_vs_rsync <ratio> x     one client's passes that send the tree up
#   BENCH first_download_vs_rsync <ratio> x   a second computer's first passes that bring it down
# A pass's time is read from the client's log (its "sync start" and "sync end" lines), so process
# start and sign-in are left out. The downloaded tree must equal the original byte for byte.
# Usage: bench/sync_first.sh <build-folder>
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=SCRIPTDIR/sync_lib.bash
source "$here/sync_lib.bash"
sb_init "$(cd "${1:-build}" && pwd)"

files=1000
total=$((256 * 1024 * 1024))
tree="$sb_work/tree"

# Incompressible content in 20 folders (nested two deep): one file in twenty between 2 and 6 MiB
# (one or two chunks, one of exactly 4 MiB), the rest up to 100 KiB, a few empty; the last file
# takes what is left (about 20 MiB, five chunks) so the total is exact.
python3 - "$tree" "$files" "$total" <<'EOF'
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
count="$(find "$tree" -type f | wc -l)"
bytes="$(find "$tree" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')"
if [ "$count" != "$files" ] || [ "$bytes" != "$total" ]; then
  echo "bench: the tree has $count files and $bytes bytes" >&2
  exit 1
fi
sums="$sb_work/tree.sums"
sb_tree_sums "$tree" >"$sums"

# The baseline: a local copy that keeps times and modes.
t0=$EPOCHREALTIME
rsync -a "$tree/" "$sb_work/rsync-copy/"
t1=$EPOCHREALTIME
rsync_s="$(sb_elapsed "$t0" "$t1")"
rm -rf "$sb_work/rsync-copy"
echo "bench: rsync -a of $files files, $((total >> 20)) MiB: $rsync_s s" >&2

sb_start_server

# Up: the first computer signs in with an empty home folder (a first sign-in keeps files it finds
# there aside, as no account owns them), stops, and finds the tree there at its next start, whose
# first passes send it all.
sb_start_client up
sb_wait_pass up 300
sb_stop "$sb_pid"
mv "$tree" "$(sb_home up)/tree"
marker="$sb_work/up.start"
touch "$marker"
sb_start_client up
sb_wait_pass up 1800
up_s="$(sb_pass_seconds up "$marker")"
listed="$("$sb_server" ls --data "$sb_data" bench | awk '$2 == "file"' | wc -l)"
if [ "$listed" -lt "$files" ]; then
  echo "bench: the service lists $listed files after the upload" >&2
  exit 1
fi
echo "bench: upload: $up_s s" >&2

# Down: a second computer of the account with an empty home folder.
marker="$sb_work/down.start"
touch "$marker"
sb_start_client down
sb_wait_pass down 1800
down_s="$(sb_pass_seconds down "$marker")"
if ! diff -q "$sums" <(sb_tree_sums "$(sb_home down)/tree") >/dev/null; then
  echo "bench: the downloaded tree differs from the original" >&2
  diff "$sums" <(sb_tree_sums "$(sb_home down)/tree") | head -n 20 >&2
  exit 1
fi
echo "bench: download: $down_s s" >&2

awk -v c="$up_s" -v r="$rsync_s" 'BEGIN { printf "BENCH first_upload_vs_rsync %.1f x\n", c / r }'
awk -v c="$down_s" -v r="$rsync_s" 'BEGIN { printf "BENCH first_download_vs_rsync %.1f x\n", c / r }'
