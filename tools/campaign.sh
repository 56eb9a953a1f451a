#!/usr/bin/env bash
# The randomized two-computer race campaign (tests/e2e/campaign_test.cpp) over any seeds and
# rounds: builds what it needs, runs each seed in a process of its own, prints PASS or FAIL per
# seed and a summary, and exits 1 when a seed failed. Each seed's output goes to
# <keep>/seed-N.txt; a failing seed also leaves its report and both clients' whole logs in
# <keep>/seed-N/.
#
# Usage: tools/campaign.sh [--seeds LIST] [--rounds N] [--build DIR] [--keep DIR]
#   --seeds   e.g. 1,2,7 or 1-20 or 3,10-12 (default 1-10)
#   --rounds  rounds per seed (default 5)
#   --build   the build folder (default build); configured when it does not exist yet
#   --keep    where the outputs go (default <build>/campaign)
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
seeds="1-10"
rounds=5
build="$here/build"
keep=""
usage() {
  sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}
while [ $# -gt 0 ]; do
  case "$1" in
    --seeds) seeds="${2:-}"; shift 2 || usage ;;
    --rounds) rounds="${2:-}"; shift 2 || usage ;;
    --build) build="${2:-}"; shift 2 || usage ;;
    --keep) keep="${2:-}"; shift 2 || usage ;;
    -h|--help) usage ;;
    *) echo "campaign: unknown argument $1" >&2; usage ;;
  esac
done
if ! [[ "$seeds" =~ ^[0-9]+(-[0-9]+)?(,[0-9]+(-[0-9]+)?)*$ ]]; then
  echo "campaign: --seeds \"$seeds\" is not a list like 1,2,7 or 1-20" >&2
  exit 2
fi
if ! [[ "$rounds" =~ ^[1-9][0-9]*$ ]]; then
  echo "campaign: --rounds \"$rounds\" is not a positive number" >&2
  exit 2
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
fi
cmake --build "$build" --target test_e2e kestrine kestrine-server -j "$(nproc)" >/dev/null || {
  echo "campaign: the build failed; run: cmake --build $build --target test_e2e" >&2
  exit 1
}
build="$(cd "$build" && pwd)"
keep="${keep:-$build/campaign}"
mkdir -p "$keep"
keep="$(cd "$keep" && pwd)"

list=()
IFS=',' read -ra parts <<<"$seeds"
for part in "${parts[@]}"; do
  from="${part%-*}"
  to="${part#*-}"
  if [ "$to" -lt "$from" ]; then
    echo "campaign: the range $part runs backwards" >&2
    exit 2
  fi
  for ((s = from; s <= to; s++)); do list+=("$s"); done
done

echo "campaign: ${#list[@]} seed(s) x $rounds round(s); outputs in $keep"
passed=()
failed=()
start_all=$SECONDS
for s in "${list[@]}"; do
  out="$keep/seed-$s.txt"
  rm -rf "$keep/seed-$s"
  start=$SECONDS
  KESTRINE_CAMPAIGN_SEEDS="$s" KESTRINE_CAMPAIGN_ROUNDS="$rounds" KESTRINE_CAMPAIGN_KEEP="$keep" \
    "$build/tests/test_e2e" --gtest_filter='Seeds/Campaign.*' >"$out" 2>&1
  rc=$?
  took=$((SECONDS - start))
  if [ $rc -eq 0 ] && grep -q '^\[  PASSED  \] 1 test' "$out"; then
    passed+=("$s")
    echo "seed $s: PASS (${took} s)"
  else
    failed+=("$s")
    # The report's first line names the round and what broke, then one line per broken promise.
    why="$(grep -m1 -o "campaign seed $s, .*" "$out" || tail -n 1 "$out")"
    echo "seed $s: FAIL (${took} s) $why"
    grep -E '^  (lost|untouched changed|one-sided change not carried out|invented path): ' "$out" | head -n 5
    echo "  output: $out"
  fi
done
echo "campaign: ${#passed[@]} passed, ${#failed[@]} failed of ${#list[@]} seed(s) x $rounds round(s) in $((SECONDS - start_all)) s"
if [ ${#failed[@]} -gt 0 ]; then
  echo "campaign: failing seeds: ${failed[*]}"
  exit 1
fi
