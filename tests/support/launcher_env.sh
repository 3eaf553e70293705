# Shared shell machinery for tests that run the real launcher binary: a virtual display, a
# private launcher folder, a private user, screenshots. Source it; call cleanup_all at exit.
set -euo pipefail

SUPPORT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
: "${ORVO_LAUNCHER_EXE:?ORVO_LAUNCHER_EXE must name the built launcher}"
# Under AddressSanitizer the real window's graphics driver leaks a few bytes at exit from an
# unloaded module that cannot be suppressed by name; leaks are checked by the unit tests.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
# ImageMagick and tesseract would run a thread per core, each spinning for the others: on a
# machine busy with other work one small picture then takes minutes. One thread each.
export OMP_THREAD_LIMIT=1 MAGICK_THREAD_LIMIT=1
TEST_TMP=$(mktemp -d /tmp/orvo_script_test_XXXXXX)
chmod 755 "$TEST_TMP"
XVFB_PID=""
CLEANUP_PIDS=()
CLEANUP_PATHS=()  # made outside TEST_TMP

cleanup_all() {
  for pid in "${CLEANUP_PIDS[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi
  rm -rf "$TEST_TMP" "${CLEANUP_PATHS[@]}"
}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Starts Xvfb on a free display number and exports DISPLAY. Without -noreset the server resets as
# each launcher leaves, and the next one may find it closed for the while, the longer the busier.
start_xvfb() {
  local fifo="$TEST_TMP/displayfd"
  mkfifo "$fifo"
  Xvfb -displayfd 3 -ac -noreset -nolisten tcp -screen 0 1400x900x24 3>"$fifo" >/dev/null 2>&1 &
  XVFB_PID=$!
  local number
  read -r -t 30 number <"$fifo" || fail "Xvfb did not start"
  export DISPLAY=":$number"
}

# A launcher folder of its own: the executable, its font and an optional launcher_config.json.
make_launcher_dir() {
  local dir=$1
  mkdir -p "$dir"
  local build_dir
  build_dir=$(dirname "$ORVO_LAUNCHER_EXE")
  cp "$ORVO_LAUNCHER_EXE" "$dir/orvo-launcher"
  cp "$build_dir/Roboto-Medium.ttf" "$dir/" 2>/dev/null || true
  chmod -R a+rX "$dir"
}

# Runs a command as another user when we are root (so each test has its own lock file and
# cannot disturb a launcher the developer has open); as ourselves otherwise.
TEST_UID=""
pick_test_user() {
  if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
    TEST_UID=$((30000 + RANDOM % 20000))
  else
    TEST_UID=$(id -u)
  fi
  TEST_HOME="$TEST_TMP/home"
  mkdir -p "$TEST_HOME"
  chown "$TEST_UID" "$TEST_HOME" 2>/dev/null || true
  LOCK_FILE="/tmp/orvo_launcher_${TEST_UID}.lock"
}

as_test_user() {
  if [ "$TEST_UID" != "$(id -u)" ]; then
    setpriv --reuid="$TEST_UID" --regid="$TEST_UID" --clear-groups env HOME="$TEST_HOME" "$@"
  else
    env HOME="$TEST_HOME" "$@"
  fi
}

# Prints the id of the first window with this exact title, waiting up to $2 seconds.
wait_for_window() {
  local title=$1 timeout=${2:-30} waited=0 id
  while [ "$waited" -lt $((timeout * 10)) ]; do
    id=$(xdotool search --name "^${title}\$" 2>/dev/null | head -n 1 || true)
    if [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  return 1
}

close_window() {
  (cd / && python3 "$SUPPORT_DIR/x11_close_window.py" "$1")
}

# Waits up to $2 seconds for a child process of this shell to end; sets EXIT_STATUS.
# (Not in a command substitution: only this shell can collect its child's status.)
EXIT_STATUS=""
wait_for_exit() {
  local pid=$1 timeout=${2:-30} waited=0
  while kill -0 "$pid" 2>/dev/null && [ "$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)" != Z ]; do
    if [ "$waited" -ge $((timeout * 10)) ]; then return 1; fi
    sleep 0.1
    waited=$((waited + 1))
  done
  EXIT_STATUS=0
  wait "$pid" || EXIT_STATUS=$?
}

# Number of distinct colours in a picture (a blank window has one or two).
colour_count() {
  convert "$1" -format %k info:
}
