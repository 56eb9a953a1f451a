#!/usr/bin/env bash
# The house checks CI runs before the tests: every C++ file formatted by .clang-format, and
# clang-tidy (.clang-tidy: bugprone, performance, no function over 120 lines) clean over the
# sources of client/ and server/. Exits 1 on the first check that fails.
#
# Usage: tools/check.sh [--build DIR] [--format-only] [FILE...]
#   --build        a configured build folder whose compile_commands.json clang-tidy reads
#                  (default build; configured when it has none)
#   --format-only  only the formatting check
#   FILE...        check only these files (default: every tracked file)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$here/build"
format_only=0
files=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$(realpath -m "$2")"; shift 2 ;;
    --format-only) format_only=1; shift ;;
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) files+=("$(realpath -m "$1")"); shift ;;
  esac
done
cd "$here"
jobs="$(nproc)"

if [ ${#files[@]} -eq 0 ]; then
  mapfile -t files < <(git ls-files -- '*.cpp' '*.h' | sed "s|^|$here/|")
fi

echo "check: clang-format over ${#files[@]} files"
if ! printf '%s\0' "${files[@]}" | xargs -0 -n 50 clang-format --dry-run --Werror; then
  echo "check: FAILED: files above are not formatted; 'make format' formats the tree" >&2
  exit 1
fi
[ "$format_only" = 1 ] && exit 0

if [ ! -f "$build/compile_commands.json" ]; then
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
# Only translation units of the client and the service; their headers come in through them.
mapfile -t units < <(printf '%s\n' "${files[@]}" | grep -E "^$here/(client|server)/.*\.cpp$" || true)
echo "check: clang-tidy over ${#units[@]} sources ($jobs at a time)"
[ ${#units[@]} -eq 0 ] && exit 0
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
if ! printf '%s\0' "${units[@]}" |
     xargs -0 -n 4 -P "$jobs" clang-tidy -p "$build" --quiet >"$log" 2>/dev/null; then
  grep -E -A3 "(warning|error): " "$log" >&2 || cat "$log" >&2
  echo "check: FAILED: clang-tidy findings above" >&2
  exit 1
fi
echo "check: passed"
