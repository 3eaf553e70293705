#!/usr/bin/env bash
# Runs every fuzz_* program of a build folder for a bounded time each; builds nothing.
# Usage: tests/fuzz/run.sh BUILD_DIR [SECONDS]   (default 60 seconds per target)
# Seeds for fuzz_NAME are read from tests/fuzz/corpus/NAME when that folder exists.
set -euo pipefail
build_dir=$(cd "${1:?usage: run.sh BUILD_DIR [SECONDS]}" && pwd)
seconds=${2:-60}
seeds_root=$(cd "$(dirname "$0")" && pwd)/corpus
mapfile -t targets < <(find "$build_dir" -maxdepth 3 -type f -name 'fuzz_*' -perm -u+x | sort)
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz_* programs under $build_dir" >&2
  exit 1
fi
status=0
for target in "${targets[@]}"; do
  name=$(basename "$target")
  work=$(mktemp -d)
  seeds=()
  [ -d "$seeds_root/${name#fuzz_}" ] && seeds=("$seeds_root/${name#fuzz_}")
  echo "== $name for ${seconds}s"
  # New inputs and any crash input go to a folder of its own; the seeds are only read.
  if ! (cd "$work" && "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
          -print_final_stats=1 "$work" "${seeds[@]}" >"$work/log" 2>&1); then
    echo "!! $name failed; its output (and any crash input) is in $work" >&2
    tail -n 40 "$work/log" >&2
    status=1
  else
    grep -E '^(stat::number_of_executed_units|Done)' "$work/log" || true
    rm -rf "$work"
  fi
done
exit $status
