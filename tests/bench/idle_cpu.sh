#!/usr/bin/env bash
# Idle CPU of the launcher window under Xvfb: share of one core used over 10 s with nothing
# changing on screen, read from /proc. Prints the figure; fails above 2%.
source "$(dirname "$0")/../support/launcher_env.sh"
trap cleanup_all EXIT
seconds=${IDLE_SECONDS:-10}

start_xvfb
pick_test_user
launcher_dir="$TEST_TMP/launcher"
make_launcher_dir "$launcher_dir"
as_test_user "$launcher_dir/orvo-launcher" &
pid=$!
CLEANUP_PIDS+=("$pid")
window=$(wait_for_window "ORVO Launcher" 60) || fail "the launcher window did not appear"
sleep 3  # start-up and the reveal animation

ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
hz=$(getconf CLK_TCK)
before=$(ticks)
sleep "$seconds"
after=$(ticks)
percent=$(awk -v t=$((after - before)) -v hz="$hz" -v s="$seconds" 'BEGIN { printf "%.2f", 100 * t / hz / s }')
echo "idle CPU over ${seconds} s: ${percent}% of one core"
close_window "$window"
wait_for_exit "$pid" 30 || true
awk -v p="$percent" 'BEGIN { exit !(p < 2.0) }' || fail "idle CPU ${percent}% is above 2%"
