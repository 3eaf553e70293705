#!/usr/bin/env bash
# Usage: tests/fuzz/run.sh BUILD_DIR [SECONDS]: runs the fuzz_NAME program of every NAME.cpp here,
# found in the build folder, for SECONDS (60) each, seeded from tests/fuzz/corpus/NAME; new inputs
# and crashes go to a temporary folder. A program that is missing or ran no input fails the run.
set -euo pipefail
build_dir=$(cd "${1:?usage: run.sh BUILD_DIR [SECONDS]}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
corpus=$here/corpus
status=0
for source in "$here"/*.cpp; do
  name=fuzz_$(basename "$source" .cpp)
  target=$(find "$build_dir" -maxdepth 3 -type f -name "$name" -perm -u+x | head -n 1 || true)
  if [ -z "$target" ]; then
    echo "!! $name was not built under $build_dir" >&2
    status=1
    continue
  fi
  work=$(mktemp -d)
  seeds=()
  [ -d "$corpus/${name#fuzz_}" ] && seeds=("$corpus/${name#fuzz_}")
  echo "== $name for ${2:-60}s"
  if (cd "$work" && "$target" -max_total_time="${2:-60}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      "$work" "${seeds[@]}" >"$work/log" 2>&1); then
    grep -E '^(stat::number_of_executed_units|Done)' "$work/log" || true
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)
    if [ "${runs:-0}" -gt 0 ]; then
      rm -rf "$work"
      continue
    fi
    echo "!! $name ran no input; its output is in $work" >&2
  else
    echo "!! $name failed; its output (and any crash input) is in $work" >&2
  fi
  tail -n 40 "$work/log" >&2
  status=1
done
exit $status
