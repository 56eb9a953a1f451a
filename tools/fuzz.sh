#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a fixed time, over a copy of its seeds.
#   tools/fuzz.sh [--seconds N] [--jobs N] [--build DIR] [target...]
# Targets are the <name> of <build>/fuzz/<name>_fuzz (all of them by default). Each run works in
# <build>/fuzz-out/<name>/: corpus/ (the seeds plus what the run found; never the committed
# corpus) and crashes/ (the inputs that crashed, timed out or ran out of memory), with the
# fuzzer's own output in log. Prints one line per target and a summary; exits 1 when any target
# crashed or could not run, naming the crashing inputs.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
jobs=2
build=build-fuzz
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --jobs) jobs="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$build"/fuzz/*_fuzz; do
    [ -x "$f" ] && targets+=("$(basename "$f" _fuzz)")
  done
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets in $build/fuzz (configure with clang and -DKESTRINE_FUZZ=ON)" >&2
  exit 1
fi

# One target: fresh scratch corpus seeded from fuzz/corpus/<name>, then libFuzzer (niced: the
# machine is shared) for the given time. A crash ends that target's run.
run_one() {
  local name="$1" out="$build/fuzz-out/$1"
  rm -rf "$out"
  mkdir -p "$out/corpus" "$out/crashes"
  if [ -d "fuzz/corpus/$name" ]; then
    cp -r "fuzz/corpus/$name/." "$out/corpus/"
  fi
  local start end
  start=$(date +%s)
  set +e
  nice -n 10 "$build/fuzz/${name}_fuzz" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$out/crashes/" "$out/corpus" >"$out/log" 2>&1
  local rc=$?
  set -e
  end=$(date +%s)
  echo "$rc $((end - start))" >"$out/result"
}

running=0
for name in "${targets[@]}"; do
  if [ ! -x "$build/fuzz/${name}_fuzz" ]; then
    echo "missing $build/fuzz/${name}_fuzz" >&2
    continue
  fi
  echo "fuzzing $name for ${seconds}s"
  run_one "$name" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait || true

failed=0
total_execs=0
total_crashes=0
echo
printf '%-20s %8s %12s %8s  %s\n' target seconds executions crashes status
for name in "${targets[@]}"; do
  out="$build/fuzz-out/$name"
  if [ ! -f "$out/result" ]; then
    printf '%-20s %8s %12s %8s  %s\n' "$name" - - - "did not run"
    failed=1
    continue
  fi
  read -r rc secs <"$out/result"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/log" | tail -1)
  if [ -z "$execs" ]; then
    execs=$(sed -n 's/^#\([0-9][0-9]*\).*/\1/p' "$out/log" | tail -1)
  fi
  execs=${execs:-0}
  crashes=$(find "$out/crashes" -type f | wc -l)
  status=ok
  if [ "$crashes" -gt 0 ]; then
    status="CRASH: $(find "$out/crashes" -type f | tr '\n' ' ')"
    failed=1
  elif [ "$rc" -ne 0 ]; then
    status="FAILED (exit $rc, see $out/log)"
    failed=1
  fi
  printf '%-20s %8s %12s %8s  %s\n' "$name" "$secs" "$execs" "$crashes" "$status"
  total_execs=$((total_execs + execs))
  total_crashes=$((total_crashes + crashes))
done
echo "summary: ${#targets[@]} targets, ${seconds}s each, $total_execs executions, $total_crashes crashes"
if [ "$failed" -ne 0 ]; then
  echo "FUZZ FAILED: reproduce with $build/fuzz/<name>_fuzz <crash file>" >&2
  exit 1
fi
