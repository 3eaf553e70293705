#!/usr/bin/env bash
# Installs what the tests need, builds the launcher and its tests, and runs them: under
# AddressSanitizer + UndefinedBehaviorSanitizer, the threaded parts under ThreadSanitizer, the
# fuzzers for a bounded time, and last the whole suite on the plain build.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" || exit 1
jobs=$(nproc)
failed=()
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export LSAN_OPTIONS="suppressions=$root/tests/support/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

step() { echo; echo "=== $*"; }

build() {  # build DIR [cmake options...] [-- targets...]
  local dir=$1 options=() targets=()
  shift
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do options+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  for t in "$@"; do targets+=(--target "$t"); done
  cmake -S "$root" -B "$dir" "${options[@]}" >/dev/null && cmake --build "$dir" -j"$jobs" "${targets[@]}"
}

step "AddressSanitizer + UndefinedBehaviorSanitizer"
if build "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DORVO_SANITIZE=address -DORVO_BENCH=OFF; then
  (cd "$root/build-asan" && ctest -j"$jobs" --output-on-failure -LE 'e2e') || failed+=("asan")
else
  failed+=("asan build")
fi

step "ThreadSanitizer (sign-in and updater)"
if build "$root/build-tsan" -DCMAKE_BUILD_TYPE=Debug -DORVO_SANITIZE=thread -DORVO_BENCH=OFF; then
  (cd "$root/build-tsan" && ctest -j"$jobs" --output-on-failure -L 'auth|updater' -LE 'script') || failed+=("tsan")
else
  failed+=("tsan build")
fi

step "Fuzzers"
fuzzers=()
for source in "$root"/tests/fuzz/*.cpp; do fuzzers+=("fuzz_$(basename "$source" .cpp)"); done
if CC=clang CXX=clang++ build "$root/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVO_FUZZ=ON -DORVO_BENCH=OFF \
    -DORVO_TESTS=ON -- "${fuzzers[@]}"; then
  if [ -x "$root/tests/fuzz/run.sh" ]; then
    bash "$root/tests/fuzz/run.sh" "$root/build-fuzz/tests" "${FUZZ_SECONDS:-60}" || failed+=("fuzz")
  fi
else
  failed+=("fuzz build")
fi

step "Idle CPU of the window"
if build "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
  ORVO_LAUNCHER_EXE="$root/build/orvo-launcher" bash "$root/tests/bench/idle_cpu.sh" || failed+=("idle cpu")
  # Only a small package here, so the benchmark keeps working; its real figures are taken by hand.
  step "Updater benchmark, small package"
  "$root/build/tests/bench_updater_bench" --files 300 --megabytes 32 --rounds 3 || failed+=("updater bench")
  step "All tests"
  [ ${#failed[@]} -eq 0 ] || echo "Failed before: ${failed[*]}"
  cd "$root/build" || exit 1
  ctest -j"$jobs" --output-on-failure 2>&1 | tee ctest.log
  status=${PIPESTATUS[0]}
  # CTest's summary line, last, for whoever reads only the end.
  grep -E '^[0-9]+% tests passed' ctest.log | tail -n 1
else
  echo "Failed before: ${failed[*]} build"
  status=1
fi
[ ${#failed[@]} -eq 0 ] || status=1
exit $status
