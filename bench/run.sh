#!/usr/bin/env bash
# Runs every benchmark: each bench/*.sh script (given the build folder) and each program in
# <build>/bench. Every figure is printed as a line "BENCH <name> <value> <unit>".
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-build}" && pwd)"
status=0
for s in "$here"/*.sh; do
  [ "$(basename "$s")" = run.sh ] && continue
  echo "== $(basename "$s")" >&2
  bash "$s" "$build" || { echo "bench script $(basename "$s") failed" >&2; status=1; }
done
if [ -d "$build/bench" ]; then
  for b in "$build"/bench/*_bench; do
    [ -x "$b" ] || continue
    echo "== $(basename "$b")" >&2
    "$b" || { echo "bench program $(basename "$b") failed" >&2; status=1; }
  done
fi
exit $status
