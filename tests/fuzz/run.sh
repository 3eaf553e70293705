#!/usr/bin/env bash
# Usage: tests/fuzz/run.sh BUILD_DIR [SECONDS]: runs every fuzz_NAME program of the build folder for
# SECONDS (60) each, seeded from tests/fuzz/corpus/NAME; new inputs and crashes go to a temporary folder.
set -euo pipefail
build_dir=$(cd "${1:?usage: run.sh BUILD_DIR [SECONDS]}" && pwd)
corpus=$(cd "$(dirname "$0")" && pwd)/corpus
mapfile -t targets < <(find "$build_dir" -maxdepth 3 -type f -name 'fuzz_*' -perm -u+x | sort)
[ ${#targets[@]} -gt 0 ] || { echo "no fuzz_* programs under $build_dir" >&2; exit 1; }
status=0
for target in "${targets[@]}"; do
  name=$(basename "$target") work=$(mktemp -d)
  seeds=()
  [ -d "$corpus/${name#fuzz_}" ] && seeds=("$corpus/${name#fuzz_}")
  echo "== $name for ${2:-60}s"
  if (cd "$work" && "$target" -max_total_time="${2:-60}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      "$work" "${seeds[@]}" >"$work/log" 2>&1); then
    grep -E '^(stat::number_of_executed_units|Done)' "$work/log" || true
    rm -rf "$work"
  else
    echo "!! $name failed; its output (and any crash input) is in $work" >&2
    tail -n 40 "$work/log" >&2
    status=1
  fi
done
exit $status
