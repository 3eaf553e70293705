#!/usr/bin/env bash
# The real launcher window under Xvfb: it opens with the not-configured card, refuses a second
# instance, closes with status 0 and leaves its lock file; without a display it fails with 1; a
# lock file planted by another user leaves it unguarded.
source "$(dirname "$0")/../support/launcher_env.sh"
trap cleanup_all EXIT

start_xvfb
pick_test_user
launcher_dir="$TEST_TMP/launcher"
make_launcher_dir "$launcher_dir"
rm -f "$LOCK_FILE"

as_test_user "$launcher_dir/orvo-launcher" 2>"$TEST_TMP/first.err" &
first=$!
CLEANUP_PIDS+=("$first")
window=$(wait_for_window "ORVO Launcher" 120) ||
  fail "the launcher window did not appear (running: $(kill -0 "$first" 2>/dev/null && echo yes || echo no);" \
    "it said: $(cat "$TEST_TMP/first.err"))"
[ -e "$LOCK_FILE" ] || fail "no lock file at $LOCK_FILE"

geometry=$(xdotool getwindowgeometry "$window" | sed -n 's/.*Geometry: //p')
[ "$geometry" = "1180x740" ] || fail "window geometry is $geometry, expected 1180x740"

# The first frames (and the reveal) come later the busier the machine: look until they are drawn.
shot="${ORVO_BINARY_DIR:-$TEST_TMP}/screenshots"
mkdir -p "$shot"
end=$((SECONDS + 60)) colours=0
while [ "$colours" -le 20 ] && [ "$SECONDS" -lt "$end" ]; do
  sleep 0.5
  import -window "$window" "$shot/not_configured.png" 2>/dev/null || continue
  colours=$(colour_count "$shot/not_configured.png")
done
[ "$colours" -gt 20 ] || fail "the window looks blank ($colours colours)"
echo "screenshot: $shot/not_configured.png ($colours colours)"

# A second start is refused at once and leaves the first one running.
status=0
as_test_user timeout 20 "$launcher_dir/orvo-launcher" 2>"$TEST_TMP/second.err" || status=$?
[ "$status" -eq 0 ] || fail "second instance exited with $status"
grep -qx "\[Launcher\] ORVO Launcher is already running." "$TEST_TMP/second.err" ||
  fail "second instance said: $(cat "$TEST_TMP/second.err")"
kill -0 "$first" 2>/dev/null || fail "the first launcher ended"

# Closing the window ends the process with 0; the lock file stays.
close_window "$window"
wait_for_exit "$first" 30 || fail "the launcher did not end after its window was closed"
[ "$EXIT_STATUS" -eq 0 ] || fail "the launcher exited with $EXIT_STATUS after close: $(cat "$TEST_TMP/first.err")"
[ -e "$LOCK_FILE" ] || fail "the lock file was removed"

# Starts the launcher, waits for its window, runs the check $2 (if any) with $1, closes it and
# expects status 0; $1 says what is tried.
open_and_close() {
  as_test_user "$launcher_dir/orvo-launcher" 2>"$TEST_TMP/run.err" &
  local pid=$!
  CLEANUP_PIDS+=("$pid")
  local id
  id=$(wait_for_window "ORVO Launcher" 60) || fail "$1: no window ($(cat "$TEST_TMP/run.err"))"
  [ -z "${2:-}" ] || "$2" "$1"
  close_window "$id"
  wait_for_exit "$pid" 30 || fail "$1: the launcher did not end"
  [ "$EXIT_STATUS" -eq 0 ] || fail "$1: the launcher exited with $EXIT_STATUS"
}

open_and_close "a lock file left behind"

# Started from a working folder that was removed since: the font is looked for there in vain.
mkdir "$TEST_TMP/gone" && cd "$TEST_TMP/gone" && rmdir "$TEST_TMP/gone"
open_and_close "a removed working folder"
cd "$TEST_TMP"

# Without a display the host says why, and the launcher ends with 1.
status=0
as_test_user env -u DISPLAY -u WAYLAND_DISPLAY "$launcher_dir/orvo-launcher" 2>"$TEST_TMP/nodisplay.err" || status=$?
[ "$status" -eq 1 ] || fail "without a display the launcher exited with $status"
line=$(head -n 1 "$TEST_TMP/nodisplay.err")
case "$line" in
  "[Launcher] UI host failed: "?*.) ;;
  *) fail "without a display it said: $line" ;;
esac
echo "no display: $line"

# Whatever another user put at the lock file's name, the launcher runs unguarded: it holds none
# of it and follows no link (one to where the settings folder belongs would make ~/.config a file).
holds_no_lock() {
  local held
  held=$(find /proc/[0-9]*/fd -lname "$LOCK_FILE" 2>/dev/null || true)
  [ -z "$held" ] || fail "$1: held by $held"
}
if [ "$(id -u)" -eq 0 ] && [ "$TEST_UID" != 0 ]; then
  for planted in "600 file" "666 file" link fifo; do
    rm -rf "$LOCK_FILE" "$TEST_HOME/.config"
    case $planted in
      *file) install -m "${planted% file}" -o root /dev/null "$LOCK_FILE" ;;
      link) ln -s "$TEST_HOME/.config" "$LOCK_FILE" ;;
      fifo) mkfifo -m 666 "$LOCK_FILE" ;;
    esac
    open_and_close "a lock file of root: $planted" holds_no_lock
    [ -d "$TEST_HOME/.config" ] || fail "a lock file of root: $planted: ~/.config is not a folder"
  done
else
  echo "skipped the lock files of another user: needs root to plant them"
fi
rm -f "$LOCK_FILE"
echo "PASS"
