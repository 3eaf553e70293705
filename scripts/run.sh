#!/usr/bin/env bash
# Installs what the launcher needs, builds it and runs it. Without a display it runs the window
# on a virtual display for a few seconds and saves a screenshot.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build="$root/build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVO_TESTS=OFF >/dev/null
cmake --build "$build" --target orvo-launcher -j"$(nproc)"
exe="$build/orvo-launcher"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$exe"
fi

echo "No display here: running the launcher on a virtual display (Xvfb) for a few seconds."
tmp=$(mktemp -d)
mkfifo "$tmp/displayfd"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1400x900x24 3>"$tmp/displayfd" >/dev/null 2>&1 &
xvfb=$!
read -r -t 30 number <"$tmp/displayfd"
export DISPLAY=":$number"
"$exe" &
launcher=$!
window=""
for _ in $(seq 1 300); do
  window=$(xdotool search --name '^ORVO Launcher$' 2>/dev/null | head -n 1 || true)
  [ -n "$window" ] && break
  sleep 0.1
done
sleep 3
shot="$build/launcher-screenshot.png"
if [ -n "$window" ] && import -window "$window" "$shot" 2>/dev/null; then
  echo "Screenshot of the launcher window: $shot"
else
  echo "The launcher window did not appear."
fi
if [ -n "$window" ]; then python3 "$root/tests/support/x11_close_window.py" "$window"; fi
status=0
for _ in $(seq 1 100); do kill -0 "$launcher" 2>/dev/null || break; sleep 0.1; done
kill "$launcher" 2>/dev/null || true
wait "$launcher" || status=$?
kill "$xvfb" 2>/dev/null || true
rm -rf "$tmp"
echo "The launcher exited with status $status."
