# The common start of the picture scripts (screenshot.sh, screenshots.sh), sourced by them.
# shots_prepare NAME DEPS WORK TOOL...: checks that the tools and the built client and service
# exist (NAME names the script in messages, DEPS the make targets that install the tools), sets
# $client and $server from $build, makes the scratch folder $work (/tmp/WORK.XXXX, a name the
# pictures show) and, when the script exits, ends every process whose id is pushed on $pids and
# removes $work.
shots_prepare() {
  local name=$1 deps=$2 prefix=$3 tool
  shift 3
  client="$build/kestrine"
  server="$build/kestrine-server"
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "$name: $tool is missing ($deps)" >&2; exit 1; }
  done
  [ -x "$client" ] && [ -x "$server" ] || { echo "$name: build $build first" >&2; exit 1; }

  work="$(mktemp -d "/tmp/$prefix.XXXX")"
  pids=()
  trap shots_cleanup EXIT
}

shots_cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
