# Machinery of the end-to-end journeys: the unchanged launcher binary in a world of its own.
#
# Source it first thing from a journey script. The script then runs again inside new network,
# mount and process namespaces: only the loopback interface, a private /tmp (so its own lock
# file and X socket), a private /etc/hosts that sends the Google and ORVO host names to
# 127.0.0.1, where one local HTTPS server (fake_servers.py, a throwaway CA) plays them all,
# and a process table in which "editor" can only be our own test editor. Test stand-ins for
# xdg-open (the browser) and zenity come first on the launcher's PATH.
#
# Exit status 77 means skipped (namespaces unavailable, or a product piece not built yet).

E2E_LIB=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
E2E_NAME=$(basename "$0" .test.sh)

e2e_skip() {
  echo "SKIP: $*"
  exit 77
}

if [ -z "${ORVO_E2E_INSIDE:-}" ]; then
  [ "$(id -u)" -eq 0 ] || e2e_skip "the journeys need root for network, mount and process namespaces"
  command -v unshare >/dev/null || e2e_skip "unshare is not installed"
  unshare --net --mount --pid --fork --mount-proc true 2>/dev/null ||
    e2e_skip "network, mount and process namespaces are not available here"
  export ORVO_E2E_INSIDE=1
  exec unshare --net --mount --pid --fork --mount-proc --propagation private bash "$0" "$@"
fi

ip link set lo up || e2e_skip "could not bring up the loopback interface in the namespace"
# A private /tmp, unless the build or the sources live there (they must stay visible).
e2e_under_tmp() { case "$1" in /tmp | /tmp/*) return 0 ;; esac; return 1; }
if e2e_under_tmp "$(readlink -f "${ORVO_LAUNCHER_EXE:-/}")" || e2e_under_tmp "$(readlink -f "${ORVO_BINARY_DIR:-/}")" ||
  e2e_under_tmp "$E2E_LIB"; then
  echo "note: the build or the sources lie under /tmp, so this journey shares the machine's /tmp"
  E2E_SHARED_TMP=1
else
  mount -t tmpfs -o mode=1777 tmpfs /tmp || e2e_skip "could not mount a private /tmp"
  E2E_SHARED_TMP=""
fi

# shellcheck source=../../support/launcher_env.sh
source "$E2E_LIB/../../support/launcher_env.sh"

# On a failure the logs, the server's request log and the settings file join the screenshots.
e2e_cleanup() {
  local status=$?
  if [ "$status" -ne 0 ] && [ "$status" -ne 77 ] && [ -n "${E2E_SHOTS:-}" ]; then
    mkdir -p "$E2E_SHOTS/failure"
    cp -r "${E2E_LOG:-/nonexistent}" "$E2E_SHOTS/failure/log" 2>/dev/null || true
    cp "${E2E_SRV:-/nonexistent}/requests.jsonl" "${E2E_SRV:-/nonexistent}/control.json" \
      "${E2E_SRV:-/nonexistent}/holds.log" "$E2E_SHOTS/failure/" 2>/dev/null || true
    cp "${SETTINGS_FILE:-/nonexistent}" "$E2E_SHOTS/failure/" 2>/dev/null || true
    ls -laR "${LAUNCHER_DIR:-/nonexistent}" >"$E2E_SHOTS/failure/launcher_dir.txt" 2>/dev/null || true
    {
      ps -eo pid,ppid,pgid,sid,stat,comm,args
      echo "holders of the lock file:"
      local fd
      for fd in /proc/[0-9]*/fd/*; do
        case "$(readlink "$fd" 2>/dev/null || true)" in /tmp/orvo_launcher_*) echo "$fd" ;; esac
      done
    } >"$E2E_SHOTS/failure/processes.txt" 2>/dev/null || true
    echo "failure details: $E2E_SHOTS/failure (exit status $status)"
  fi
  [ -n "$E2E_SHARED_TMP" ] && [ -n "${LOCK_FILE:-}" ] && rm -f "$LOCK_FILE"
  cleanup_all
}
trap e2e_cleanup EXIT
# A command that ends the journey through set -e says where it was.
set -E
trap 'echo "FAIL: \"$BASH_COMMAND\" failed (status $?) at ${BASH_SOURCE[0]##*/}:$LINENO" >&2' ERR

# Fields of /proc/PID/stat after the command name (which may hold spaces): state is 1, pgrp 3.
e2e_proc_stat() {
  local line
  line=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  line=${line##*) }
  echo "$line" | cut -d' ' -f"$2"
}

E2E_PY=python3
[ -x /usr/bin/python3 ] && E2E_PY=/usr/bin/python3
E2E_SRC=$(cd "$E2E_LIB/../../.." && pwd)
E2E_SHOTS="${ORVO_BINARY_DIR:-$TEST_TMP}/e2e-screenshots/$E2E_NAME"
rm -rf "$E2E_SHOTS"
mkdir -p "$E2E_SHOTS"
E2E_SCALE=1
E2E_STEP=0

e2e_log() { echo "[$E2E_NAME $(date +%T)] $*"; }

# Skips the journey (status 77) unless the source tree holds the product pieces it needs:
# e2e_needs PIECE... with the pieces named below.
e2e_needs() {
  local piece what files pattern
  for piece in "$@"; do
    case $piece in
      welcome) what="the welcome screen" files=app/frame_loop.cpp pattern='drawWelcomeScreen\(' ;;
      signin) what="the sign-in token worker" files='auth/*.cpp' pattern='runTokenWorker' ;;
      restore) what="the silent restore" files='auth/*.cpp' pattern='void restoreSession' ;;
      sidebar) what="the sidebar" files=app/frame_loop.cpp pattern='drawSidebar\(' ;;
      projects) what="the Projects screen" files=app/frame_loop.cpp pattern='drawProjectsScreen\(' ;;
      installs) what="the Installs screen" files=app/frame_loop.cpp pattern='drawInstallsScreen\(' ;;
      install) what="the package install" files='updater/*.cpp' pattern='extractPackageArchive' ;;
      popups) what="the project popups" files='app/*.cpp ui/*.cpp' pattern='Cannot open project' ;;
      *) fail "unknown product piece $piece" ;;
    esac
    # shellcheck disable=SC2086
    (cd "$E2E_SRC" && grep -qsE "$pattern" $files) ||
      e2e_skip "needs $what, which is not in the tree yet ($pattern in $files)"
  done
}

# ---------------------------------------------------------------- the world around the launcher

e2e_world() {
  # The journeys read the screen's texts; without an OCR engine they would check much less.
  command -v tesseract >/dev/null || e2e_skip "tesseract-ocr is not installed (scripts/install-deps.sh installs it)"
  pick_test_user
  E2E_LOG="$TEST_TMP/log"
  E2E_BIN="$TEST_TMP/bin"
  E2E_SRV="$TEST_TMP/srv"
  E2E_PKI="$TEST_TMP/pki"
  LAUNCHER_DIR="$TEST_TMP/launcher"
  SETTINGS_FILE="$TEST_HOME/.config/ZELVAN/Launcher.conf"
  mkdir -p "$E2E_LOG" "$E2E_BIN" "$E2E_SRV/packages"
  chmod 777 "$E2E_LOG"
  cp "$E2E_LIB/bin/xdg-open" "$E2E_LIB/bin/zenity" "$E2E_BIN/"
  chmod 755 "$E2E_BIN" "$E2E_BIN"/*

  bash "$E2E_SUPPORT_DIR/make_test_pki.sh" "$E2E_PKI"
  # A certificate from the trusted test CA that names another host only.
  (cd "$E2E_PKI" &&
    openssl ecparam -name prime256v1 -genkey -noout -out wrongname.key 2>/dev/null &&
    openssl req -new -key wrongname.key -subj "/CN=elsewhere.test" -out wrongname.csr 2>/dev/null &&
    printf 'subjectAltName=DNS:elsewhere.test\nextendedKeyUsage=serverAuth\n' >wrongname.ext &&
    openssl x509 -req -in wrongname.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 3 -out wrongname.pem \
      -extfile wrongname.ext 2>/dev/null &&
    rm -f wrongname.csr wrongname.ext ca.srl) || fail "could not make the wrong-name certificate"
  chmod 755 "$E2E_PKI"
  chmod 644 "$E2E_PKI/ca.pem"
  E2E_CA="$E2E_PKI/ca.pem"

  printf '127.0.0.1 localhost\n127.0.0.1 accounts.google.com oauth2.googleapis.com openidconnect.googleapis.com\n127.0.0.1 updates.orvo.test packages.orvo.test\n' >"$TEST_TMP/hosts"
  mount --bind "$TEST_TMP/hosts" /etc/hosts
  # Any name not in hosts fails at once on loopback instead of asking a real resolver.
  printf 'nameserver 127.0.0.1\n' >"$TEST_TMP/resolv.conf"
  mount --bind "$TEST_TMP/resolv.conf" /etc/resolv.conf

  E2E_CLIENT_ID="e2e-client.apps.example"
  E2E_CLIENT_SECRET="e2e-secret"
  cat >"$E2E_SRV/control.json" <<EOF
{"client_id": "$E2E_CLIENT_ID", "client_secret": "$E2E_CLIENT_SECRET",
 "user_name": "Ada Lovelace", "user_email": "ada@example.test",
 "known_refresh_tokens": ["stored-refresh-token"],
 "manifest": null, "genuine": [], "package_dir": "$E2E_SRV/packages", "package_rate": 0}
EOF
  "$E2E_PY" "$E2E_LIB/fake_servers.py" "$E2E_SRV" "$E2E_PKI/server.pem" "$E2E_PKI/server.key" 443 \
    >"$E2E_SRV/server.log" 2>&1 &
  CLEANUP_PIDS+=("$!")
  disown "$!"
  e2e_wait 20 test -e "$E2E_SRV/ready" || fail "the local HTTPS server did not start: $(cat "$E2E_SRV/server.log")"

  e2e_start_xvfb
  make_launcher_dir "$LAUNCHER_DIR"
  chown -R "$TEST_UID" "$LAUNCHER_DIR"
}
E2E_SUPPORT_DIR="$E2E_LIB/../../support"

# Xvfb on a display of its own (the namespace has its own /tmp and abstract sockets), its
# messages kept; a start that fails is tried once more before the journey gives up. E2E_SCREEN
# sets the screen size (default 1400x900x24).
e2e_start_xvfb() {
  local try fifo number
  for try in 1 2; do
    fifo="$TEST_TMP/displayfd.$try"
    mkfifo "$fifo"
    Xvfb -displayfd 3 -ac -noreset -nolisten tcp -screen 0 "${E2E_SCREEN:-1400x900x24}" 3>"$fifo" >>"$E2E_LOG/xvfb.log" 2>&1 &
    XVFB_PID=$!
    if read -r -t 30 number <"$fifo"; then
      export DISPLAY=":$number"
      # It said it is ready; make sure a client really gets through before the launcher tries.
      e2e_wait 10 xdotool getdisplaygeometry >/dev/null && return 0
    fi
    kill "$XVFB_PID" 2>/dev/null || true
    sleep 1
  done
  fail "Xvfb did not start: $(tail -n 5 "$E2E_LOG/xvfb.log")"
}

# launcher_config.json next to the executable: e2e_config [MANIFEST_URL [DOWNLOADS_DIR]]
e2e_config() {
  local manifest=${1-https://updates.orvo.test/manifest} downloads=${2-downloads}
  cat >"$LAUNCHER_DIR/launcher_config.json" <<EOF
{
  "google_client_id": "$E2E_CLIENT_ID",
  "google_client_secret": "$E2E_CLIENT_SECRET",
  "editor_update_manifest_url": "$manifest",
  "downloads_directory": "$downloads"
}
EOF
  chown "$TEST_UID" "$LAUNCHER_DIR/launcher_config.json"
}

# Changes members of the server's control file: e2e_control KEY JSON [KEY JSON ...]
e2e_control() {
  "$E2E_PY" - "$E2E_SRV/control.json" "$@" <<'EOF'
import json, os, sys
path, args = sys.argv[1], sys.argv[2:]
with open(path) as f:
    c = json.load(f)
for k, v in zip(args[0::2], args[1::2]):
    c[k] = json.loads(v)
with open(path + ".tmp", "w") as f:
    json.dump(c, f)
os.replace(path + ".tmp", path)
EOF
}

# Builds a package and serves it with a manifest that names it:
# e2e_publish VERSION [make_package options...]; sets E2E_PKG_DIGEST (the digest the server
# calls genuine unless E2E_NOT_GENUINE=1) and E2E_PKG_FILE.
e2e_publish() {
  local version=$1
  shift
  local name="orvo-editor-$version.pkg"
  E2E_PKG_FILE="$E2E_SRV/packages/$name"
  local info
  info=$("$E2E_PY" "$E2E_LIB/make_package.py" "$E2E_PKG_FILE" "$version" "$@")
  local url=${E2E_PKG_URL:-https://packages.orvo.test/packages/$name}
  "$E2E_PY" - "$E2E_SRV/control.json" "$version" "$url" "$info" "${E2E_NOT_GENUINE:-0}" <<'EOF'
import json, os, sys
path, version, url, info, not_genuine = sys.argv[1:]
info = json.loads(info)
with open(path) as f:
    c = json.load(f)
m = {"version": version, "url": url, "sha256": info["sha256"]}
if info["key"]:
    m["plaintext_sha256"] = info["plaintext_sha256"]
    m["encryption"] = {"key": info["key"]}
c["manifest"] = m
digest = info["plaintext_sha256"] or info["sha256"]
if not_genuine != "1":
    c.setdefault("genuine", []).append(digest)
with open(path + ".tmp", "w") as f:
    json.dump(c, f)
os.replace(path + ".tmp", path)
print(digest)
EOF
}

# Puts an editor of this version in place as an earlier install would have left it.
e2e_preinstall_editor() {
  local version=$1 tmpzip="$TEST_TMP/preinstall.zip"
  "$E2E_PY" "$E2E_LIB/make_package.py" "$tmpzip" "$version" >/dev/null
  rm -rf "$LAUNCHER_DIR/editor"
  mkdir -p "$LAUNCHER_DIR/editor"
  unzip -q "$tmpzip" -d "$LAUNCHER_DIR/editor"
  chmod 755 "$LAUNCHER_DIR/editor/editor"
  printf '%s\n' "$version" >"$LAUNCHER_DIR/editor/.zelvan_editor_version"
  chown -R "$TEST_UID" "$LAUNCHER_DIR/editor"
  rm -f "$tmpzip"
}

e2e_ini_value() { printf '%s' "$1" | sed 's/%/%25/g; s/@/%40/g'; }

# A settings file as a previous run would have written it: e2e_settings TOKEN NAME EMAIL [PROJECT_PATH...]
e2e_settings() {
  local token=$1 name=$2 email=$3
  shift 3
  mkdir -p "$(dirname "$SETTINGS_FILE")"
  {
    echo "[General]"
    echo "auth%2FrefreshToken=$(e2e_ini_value "$token")"
    [ -n "$name" ] && echo "auth%2FuserName=$(e2e_ini_value "$name")"
    [ -n "$email" ] && echo "auth%2FuserEmail=$(e2e_ini_value "$email")"
    echo "install%2Fpath="
    echo "projects%2FdefaultLocation=$TEST_HOME/Projects"
    echo "projects%2FlastAddedLocation=$TEST_HOME/Projects"
    echo "Projects%5Csize=$#"
    local n=1 when=1700000000
    for p in "$@"; do
      echo "Projects%5C$n%5Cname=$(basename "$p" .zelvanproj)"
      echo "Projects%5C$n%5Cpath=$(e2e_ini_value "$p")"
      echo "Projects%5C$n%5ClastOpened=$((when - n))"
      echo "Projects%5C$n%5Cfavorite=false"
      n=$((n + 1))
    done
  } >"$SETTINGS_FILE"
  chown -R "$TEST_UID" "$TEST_HOME/.config"
}

# A project on disk as the launcher makes them: e2e_make_project NAME -> prints the file path.
e2e_make_project() {
  local dir="$TEST_HOME/Projects/$1"
  mkdir -p "$dir"
  printf 'ZelvanProject:\n  Name: %s\n  FormatVersion: 1\n' "$1" >"$dir/$1.zelvanproj"
  chown -R "$TEST_UID" "$TEST_HOME/Projects"
  echo "$dir/$1.zelvanproj"
}

# Value of one (escaped) key of the settings file, decoded, e.g. e2e_setting 'auth%2FrefreshToken'
e2e_setting() {
  local raw
  raw=$(sed -n "s/^$1=//p" "$SETTINGS_FILE" 2>/dev/null | head -n 1)
  "$E2E_PY" -c 'import sys, urllib.parse; print(urllib.parse.unquote(sys.argv[1]))' "$raw"
}
e2e_setting_is() { [ "$(e2e_setting "$1")" = "$2" ]; }
e2e_setting_set() { [ -n "$(e2e_setting "$1")" ]; }
e2e_setting_above() { [ "$(e2e_setting "$1")" -gt "$2" ]; }

# ---------------------------------------------------------------- the launcher process

e2e_start_launcher() {
  # Not through as_test_user: a function in the background is a subshell, and the pid we keep
  # must be the launcher's own (setpriv and env exec into it).
  local become=()
  [ "$TEST_UID" != "$(id -u)" ] && become=(setpriv --reuid="$TEST_UID" --regid="$TEST_UID" --clear-groups)
  "${become[@]}" env -u ZELVAN_DIR HOME="$TEST_HOME" PATH="$E2E_BIN:/usr/local/bin:/usr/bin:/bin" \
    SSL_CERT_FILE="$E2E_CA" E2E_LOG_DIR="$E2E_LOG" DISPLAY="$DISPLAY" "$LAUNCHER_DIR/orvo-launcher" \
    >>"$E2E_LOG/launcher.out" 2>&1 &
  LAUNCHER_PID=$!
  CLEANUP_PIDS+=("$LAUNCHER_PID")
  WINDOW=$(wait_for_window "ORVO Launcher" 60) || fail "the launcher window did not appear: $(tail -n 5 "$E2E_LOG/launcher.out")"
  local geometry
  geometry=$(xdotool getwindowgeometry "$WINDOW" | sed -n 's/.*Geometry: //p')
  WIN_W=${geometry%x*}
  WIN_H=${geometry#*x}
  # The host's scale is the window's content scale: Xft.dpi / 96 when the X server has it.
  local dpi
  dpi=$(xprop -root RESOURCE_MANAGER 2>/dev/null | sed -n 's/.*Xft\.dpi:[^0-9]*\([0-9.]*\).*/\1/p' | head -n 1 || true)
  E2E_SCALE=1
  [ -n "$dpi" ] && E2E_SCALE=$(awk -v d="$dpi" 'BEGIN { printf "%g", d / 96 }')
  # Wait for the first drawn frames (a loaded machine may take a while), then for the reveal
  # to end, which takes more frames the busier the machine: two screenshots in a row alike (a
  # screen with a spinner never settles; after 10 s the journey goes on).
  local end=$((SECONDS + 30))
  while :; do
    # A window not yet viewable is no failure here.
    if import -window "$WINDOW" "$TEST_TMP/first_frame.png" 2>/dev/null &&
      [ "$(colour_count "$TEST_TMP/first_frame.png" 2>/dev/null || echo 0)" -gt 20 ]; then
      break
    fi
    [ "$SECONDS" -lt "$end" ] || fail "the launcher window stayed blank"
    sleep 0.2
  done
  end=$((SECONDS + 10))
  while [ "$SECONDS" -lt "$end" ]; do
    sleep 0.3
    import -window "$WINDOW" "$TEST_TMP/next_frame.png" 2>/dev/null || continue
    compare -metric AE "$TEST_TMP/first_frame.png" "$TEST_TMP/next_frame.png" null: 2>/dev/null && break
    mv "$TEST_TMP/next_frame.png" "$TEST_TMP/first_frame.png"
  done
}

# Waits up to SECONDS for the launcher to end and sets E2E_EXIT to its status (in this shell,
# so that the status is really ours to collect).
e2e_wait_exit() {
  local timeout=$1 end=$((SECONDS + $1))
  while kill -0 "$LAUNCHER_PID" 2>/dev/null; do
    [ "$(e2e_proc_stat "$LAUNCHER_PID" 1 || true)" = Z ] && break
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.1
  done
  E2E_EXIT=0
  wait "$LAUNCHER_PID" || E2E_EXIT=$?
}

# Closes the window like a window manager does and expects status 0.
e2e_close_launcher() {
  close_window "$WINDOW"
  e2e_wait_exit 60 || fail "the launcher did not end after its window was closed"
  [ "$E2E_EXIT" -eq 0 ] || fail "the launcher exited with $E2E_EXIT: $(tail -n 5 "$E2E_LOG/launcher.out")"
}

e2e_kill_launcher() {
  kill -9 "$LAUNCHER_PID" 2>/dev/null || true
  e2e_wait_exit 30 || fail "the launcher survived SIGKILL"
}

# Ends every test editor with the rest of its process group (the intermediate child that
# started it made the group; the editor's own "sleep" is in it too).
e2e_stop_editors() {
  local pid group
  [ -f "$E2E_LOG/editor.log" ] || return 0
  for pid in $(sed -n 's/^start pid=\([0-9]*\).*/\1/p' "$E2E_LOG/editor.log"); do
    group=$(e2e_proc_stat "$pid" 3 || true)
    [ -n "$group" ] && [ "$group" -gt 1 ] && kill -9 -- "-$group" 2>/dev/null || true
    kill -9 "$pid" 2>/dev/null || true
  done
  e2e_wait 20 e2e_no_editor || fail "a test editor did not end"
}

# No live process named "editor" (a zombie waiting to be reaped does not count).
e2e_no_editor() {
  local comm
  for comm in /proc/[0-9]*/comm; do
    [ "$(cat "$comm" 2>/dev/null || true)" = editor ] || continue
    local pid=${comm#/proc/}
    [ "$(e2e_proc_stat "${pid%/comm}" 1 || true)" = Z ] && continue
    return 1
  done
  return 0
}

e2e_editor_starts() {
  if [ -f "$E2E_LOG/editor.log" ]; then grep -c '^start ' "$E2E_LOG/editor.log" || true; else echo 0; fi
}
e2e_editor_started() { [ "$(e2e_editor_starts)" -ge "${1:-1}" ]; }

# ---------------------------------------------------------------- waiting, looking, clicking

# e2e_wait SECONDS COMMAND...: polls until the command succeeds.
e2e_wait() {
  local timeout=$1
  shift
  local end=$((SECONDS + timeout))
  while [ "$SECONDS" -lt "$end" ]; do
    if "$@" 2>/dev/null; then return 0; fi
    sleep 0.25
  done
  "$@" 2>/dev/null
}

# Evaluates a layout expression in window pixels: W and H are the window size, s the scale.
e2e_px() {
  awk -v W="$WIN_W" -v H="$WIN_H" -v s="$E2E_SCALE" "BEGIN { printf \"%d\", ($1) + 0.5 }"
}

# A measured length or position against a layout expression, within a pixel (edges that fall
# between pixels are drawn anti-aliased).
e2e_near() {
  local want
  want=$(e2e_px "$2")
  [ "$1" -ge $((want - 1)) ] && [ "$1" -le $((want + 1)) ]
}

# Clicks at a layout position (expressions as for e2e_px), the way a person does: move, rest,
# press, release. BUTTON 1 is the left button, 3 the right one.
e2e_click() {
  local x y button=${3:-1}
  x=$(e2e_px "$1")
  y=$(e2e_px "$2")
  xdotool mousemove --window "$WINDOW" "$x" "$y"
  sleep 0.3
  xdotool mousedown "$button"
  sleep 0.15
  E2E_RELEASED=$(date +%s.%N)  # a button acts on its release
  xdotool mouseup "$button"
  sleep 0.4
}

e2e_move_away() {
  xdotool mousemove --window "$WINDOW" "$((WIN_W - 2))" "$((WIN_H - 2))"
  sleep 0.3
}

# Presses keys held long enough for a frame to see them (this Dear ImGui reads the key state
# once per frame, and frames come slowly on a busy machine; where the journeys press keys, a
# repeat does no harm): e2e_keys ctrl a   presses ctrl, then a, and lets go in reverse order.
e2e_keys() {
  local key
  for key in "$@"; do xdotool keydown "$key"; sleep 0.05; done
  sleep 1
  for key in $(printf '%s\n' "$@" | tac); do xdotool keyup "$key"; sleep 0.05; done
  sleep 0.2
}

e2e_type() {
  xdotool type --delay 40 "$1"
  sleep 0.3
}

# A screenshot of the window; a busy X server may refuse one now and then, so it tries again.
e2e_import() {
  local try
  for try in 1 2 3 4 5; do
    import -window "$WINDOW" "$1" 2>/dev/null && return 0
    sleep 0.3
  done
  fail "could not take a screenshot of the window"
}

# Screens of a passing state that the server holds up: e2e_capture_held HOLD NAME waits until the
# server holds the answer HOLD (hold_manifest, hold_package, ...), takes screenshots NAME for about
# two seconds, and releases the answer; CAPTURED lists them, newest last. They are read only
# afterwards (e2e_captured_text): reading them takes as long as the machine is busy, and the
# launcher's wait for the answer is bounded.
e2e_capture_held() {
  local hold=$1 name=$2 start now
  e2e_wait 30 test -e "$E2E_SRV/holding/$hold" || fail "the server never held the $hold answer"
  CAPTURED=()
  start=${EPOCHREALTIME//[.,]/}
  while :; do
    sleep 0.3
    E2E_STEP=$((E2E_STEP + 1))
    CAPTURED+=("$E2E_SHOTS/$(printf '%02d' "$E2E_STEP")_$name.png")
    e2e_import "${CAPTURED[-1]}"
    now=${EPOCHREALTIME//[.,]/}
    [ ${#CAPTURED[@]} -ge 2 ] && [ $((now - start)) -ge 2000000 ] && break
  done
  e2e_control "$hold" false
  SHOT=${CAPTURED[-1]}
  E2E_LAST_SHOT=$SHOT
}

# The newest of CAPTURED that shows the text in the region becomes SHOT:
# e2e_captured_text X0 Y0 X1 Y1 TEXT
e2e_captured_text() {
  local i
  for ((i = ${#CAPTURED[@]} - 1; i >= 0; i--)); do
    if e2e_shows_text "${CAPTURED[$i]}" "$@" >/dev/null; then
      SHOT=${CAPTURED[$i]}
      E2E_LAST_SHOT=$SHOT
      return 0
    fi
  done
  return 1
}

# Takes a screenshot NAME (numbered in the order taken); its path goes to SHOT.
e2e_shot() {
  E2E_STEP=$((E2E_STEP + 1))
  SHOT="$E2E_SHOTS/$(printf '%02d' "$E2E_STEP")_$1.png"
  sleep 0.3
  e2e_import "$SHOT"
  E2E_LAST_SHOT=$SHOT
}

e2e_rgb() { "$E2E_PY" "$E2E_LIB/e2e_image.py" rgb "$@"; }

# e2e_expect_rgb FILE X Y "R G B" [TOL] (X, Y layout expressions)
e2e_expect_rgb() {
  local file=$1 x y want=$4 tol=${5:-3} got
  x=$(e2e_px "$2")
  y=$(e2e_px "$3")
  got=$(e2e_rgb "$file" "$x" "$y")
  "$E2E_PY" - "$got" "$want" "$tol" <<'EOF' || fail "pixel ($x, $y) of $(basename "$file") is $got, expected $want"
import sys
got, want, tol = [int(v) for v in sys.argv[1].split()], [int(v) for v in sys.argv[2].split()], int(sys.argv[3])
sys.exit(0 if all(abs(a - b) <= tol for a, b in zip(got, want)) else 1)
EOF
}

# Bounding box of a colour: e2e_bbox FILE "R G B" TOL X0 Y0 X1 Y1 -> "x0 y0 x1 y1 count" or "none"
e2e_bbox() {
  local file=$1 colour=$2 tol=$3
  # shellcheck disable=SC2086
  "$E2E_PY" "$E2E_LIB/e2e_image.py" bbox "$file" $colour "$tol" "$(e2e_px "$4")" "$(e2e_px "$5")" \
    "$(e2e_px "$6")" "$(e2e_px "$7")"
}

# Flat rectangles of a width, within E2E_RECT_TOL px (default 2: a bordered button fills 2 px
# less than its width; a rounded, bordered input field 4): e2e_rects FILE WIDTH X0 Y0 X1 Y1
# -> lines "x y w h R G B"
e2e_rects() {
  "$E2E_PY" "$E2E_LIB/e2e_image.py" rects "$1" "$(e2e_px "$2")" "${E2E_RECT_TOL:-2}" "$(e2e_px "$3")" "$(e2e_px "$4")" \
    "$(e2e_px "$5")" "$(e2e_px "$6")"
}

# Text read from a region of a screenshot.
e2e_ocr() {
  "$E2E_PY" "$E2E_LIB/e2e_image.py" ocr "$1" "$(e2e_px "$2")" "$(e2e_px "$3")" "$(e2e_px "$4")" "$(e2e_px "$5")"
}

# True when the region shows the text (letters and digits compared, case folded, a close match
# accepted since small anti-aliased text reads imperfectly).
e2e_shows_text() {
  local file=$1 text=$6 seen
  seen=$(e2e_ocr "$file" "$2" "$3" "$4" "$5")
  "$E2E_PY" - "$seen" "$text" <<'EOF'
import difflib, re, sys
norm = lambda s: re.sub(r"[^a-z0-9]", "", s.lower())
seen, want = norm(sys.argv[1]), norm(sys.argv[2])
if not want:
    sys.exit(0)
best = 0.0
for i in range(0, max(1, len(seen) - len(want) + 1)):
    best = max(best, difflib.SequenceMatcher(None, seen[i:i + len(want)], want).ratio())
sys.exit(0 if best >= 0.8 else 1)
EOF
}

e2e_expect_text() {
  local file=$1
  e2e_shows_text "$@" ||
    fail "$(basename "$file") does not show '$6' in ($2, $3)-($4, $5); it reads '$(e2e_ocr "$1" "$2" "$3" "$4" "$5")'"
}

# Waits until a region shows the text, polling with screenshots; keeps the last one as NAME.
# e2e_wait_text SECONDS NAME X0 Y0 X1 Y1 TEXT
e2e_wait_text() {
  local timeout=$1 name=$2 end=$((SECONDS + $1)) status=0
  shift 2
  E2E_STEP=$((E2E_STEP + 1))
  E2E_LAST_SHOT="$E2E_SHOTS/$(printf '%02d' "$E2E_STEP")_$name.png"
  while :; do
    e2e_import "$E2E_LAST_SHOT"
    if e2e_shows_text "$E2E_LAST_SHOT" "$@" >/dev/null; then break; fi
    if [ "$SECONDS" -ge "$end" ]; then status=1; break; fi
    sleep 0.5
  done
  SHOT=$E2E_LAST_SHOT
  return $status
}

# Clicks the words where the screenshot shows them inside a region (menus laid out by Dear
# ImGui's style rather than by fixed positions): e2e_click_text FILE X0 Y0 X1 Y1 WORD...
e2e_click_text() {
  local file=$1 at
  at=$("$E2E_PY" "$E2E_LIB/e2e_image.py" find "$file" "$(e2e_px "$2")" "$(e2e_px "$3")" "$(e2e_px "$4")" \
    "$(e2e_px "$5")" "${@:6}")
  [ "$at" != none ] || fail "$(basename "$file") shows no '${*:6}' to click"
  e2e_click "${at% *}" "${at#* }"
}

# Empties one of the stand-ins' logs (they write as the test user).
e2e_reset_log() {
  : >"$E2E_LOG/$1"
  chown "$TEST_UID" "$E2E_LOG/$1"
}

# Waits for the welcome screen's blue "Sign in" button, polling with screenshots; sets BTN to
# "x0 y0 x1 y1" of it (and SHOT). e2e_wait_sign_in SECONDS NAME
e2e_wait_sign_in() {
  local end=$((SECONDS + $1)) box
  E2E_STEP=$((E2E_STEP + 1))
  SHOT="$E2E_SHOTS/$(printf '%02d' "$E2E_STEP")_$2.png"
  while :; do
    e2e_import "$SHOT"
    box=$(e2e_bbox "$SHOT" "13 110 253" 2 0 0 "W*0.4" H)
    if [ "$box" != none ]; then
      read -r bx0 by0 bx1 by1 _ <<<"$box"
      return 0
    fi
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.3
  done
}

# The "Cannot open project" popup and the other modals sit in the middle of the window.
E2E_POPUP=("W/2-400*s" "H/2-120*s" "W/2+400*s" "H/2+120*s")

# Closes the modal shown in SHOT with its 120 px button ("OK").
e2e_close_popup() {
  local ox oy ow oh
  read -r ox oy ow oh _ <<<"$(E2E_RECT_TOL=4 e2e_rects "$SHOT" "120*s" "W/2-400*s" "H/2-150*s" "W/2+400*s" \
    "H/2+150*s" | sort -n -k2 | tail -n 1)"
  [ -n "$ox" ] || fail "no OK button in the popup"
  e2e_click "$ox+$ow/2" "$oy+$oh/2"
}

# Requests the local server saw: e2e_requests HOST PATH -> count
e2e_requests() {
  "$E2E_PY" - "$E2E_SRV/requests.jsonl" "$1" "$2" <<'EOF'
import json, sys
n = 0
try:
    for line in open(sys.argv[1]):
        e = json.loads(line)
        if e["host"] == sys.argv[2] and e["path"] == sys.argv[3] and e["method"] != "CLOSED":
            n += 1
except OSError:
    pass
print(n)
EOF
}

e2e_requests_at_least() { [ "$(e2e_requests "$1" "$2")" -ge "$3" ]; }

# When the local server last logged HOST PATH with METHOD (CLOSED: the launcher closed a
# stalled connection, stall_manifest or stall_package): e2e_logged_at HOST PATH METHOD -> seconds
# since the epoch; fails when it has not.
e2e_logged_at() {
  "$E2E_PY" - "$E2E_SRV/requests.jsonl" "$@" <<'EOF'
import json, sys
times = [e["time"] for e in map(json.loads, open(sys.argv[1]))
         if e["host"] == sys.argv[2] and e["path"] == sys.argv[3] and e["method"] == sys.argv[4]]
print(times[-1]) if times else sys.exit(1)
EOF
}
e2e_closed_at() { e2e_logged_at "$1" "$2" CLOSED; }

# A stalled request is let go when the launcher is told to (a cancel, a closed window), not when
# its own time-out ends it. e2e_gives_up HOST PATH SECONDS -> the soonest that time-out could:
# SECONDS after the request. e2e_halfway START GIVES_UP -> whole seconds from now until halfway
# from START (when it was told) to then.
e2e_gives_up() {
  awk -v t="$(e2e_logged_at "$1" "$2" GET)" -v s="$3" 'BEGIN { printf "%.3f", t + s }'
}
e2e_halfway() {
  awk -v a="$1" -v g="$2" -v now="$(date +%s.%N)" 'BEGIN { w = a + (g - a) / 2 - now; print w < 1 ? 1 : int(w) + 1 }'
}
# e2e_seconds START [END] -> seconds from START to END (now by default), as date +%s.%N gives them.
e2e_seconds() { awk -v a="$1" -v b="${2:-$(date +%s.%N)}" 'BEGIN { printf "%.3f", b - a }'; }
# e2e_let_go WHAT START END GIVES_UP: how long from START to END grows with the machine's load, so
# it is reported; it fails only past halfway to GIVES_UP, where a launcher that waited for the
# stalled server would end, far beyond any load's effect.
e2e_let_go() {
  echo "$1 $(e2e_seconds "$2" "$3") s after (its own time-out $(e2e_seconds "$2" "$4") s after)"
  awk -v a="$2" -v b="$3" -v g="$4" 'BEGIN { exit !(b - a < (g - a) / 2) }' ||
    fail "$1 $(e2e_seconds "$2" "$3") s after: it waited for the stalled server"
}

e2e_pass() {
  echo "screenshots: $E2E_SHOTS"
  echo "PASS"
  exit 0
}

# ---------------------------------------------------------------- places on the screens
# Layout expressions (window pixels; W, H the window size, s the host's scale).

# Sidebar: entries 12..198 wide and 36 high from y 16, one every 42; the account card at the foot.
e2e_go_projects() { e2e_click "105*s" "34*s"; }
e2e_go_installs() { e2e_click "105*s" "76*s"; }

# Installs card K: left 234, top 64, right W-24, bottom 212; action row at yB = 168.
E2E_INSTALLS_STATUS=("288*s" "124*s" "W-30*s" "148*s")     # status line (K.top + 66)
E2E_INSTALLS_LOCATION=("288*s" "102*s" "W-30*s" "126*s")   # location line (K.top + 44)
E2E_INSTALLS_NAME=("288*s" "76*s" "700*s" "102*s")         # "ORVO <version>" (K.top + 16)
E2E_INSTALLS_BADGE=("W-280*s" "74*s" "W-38*s" "104*s")     # badge, right-aligned 20 inside
E2E_INSTALLS_BYTES=("288*s" "182*s" "W-170*s" "204*s")     # byte text under the bar
E2E_INSTALLS_SPINNER_TEXT=("W-24*s-110*s" "170*s" "W-28*s" "194*s")  # "Checking..." by the spinner
e2e_click_retry() { e2e_click "W-24*s-110*s+47*s" "168*s+15*s"; }
e2e_click_cancel_download() { e2e_click "W-24*s-152*s+68*s" "168*s+15*s"; }
E2E_CHECK_UPDATES=("W-24*s-160*s+72*s" "168*s+15*s")  # "Check for updates", where "Cancel download" shows
e2e_click_check_updates() { e2e_click "${E2E_CHECK_UPDATES[@]}"; }

# Projects page: rows from lt = 98 (no notice) or 138 (notice), 52 high, one every 60.
e2e_row_y() { echo "(${2:-98}+${1}*60+26)*s"; }   # centre line of row N (0-based)
e2e_click_row() { e2e_click "400*s" "$(e2e_row_y "$1" "${2:-98}")" "${3:-1}"; }

# The Installs page says what the updater does: waits for a status line.
e2e_wait_status() {
  e2e_wait_text "$1" "$2" "${E2E_INSTALLS_STATUS[@]}" "$3"
}

# The settings file as written whole: a [General] header first, every line key=value, the last
# line ended, and as many records as Projects%5Csize says.
e2e_settings_whole() {
  local f=$1
  [ -s "$f" ] || return 0
  [ "$(head -n 1 "$f")" = "[General]" ] || { echo "no [General] header"; return 1; }
  [ "$(tail -c 1 "$f" | od -An -c | tr -d ' ')" = '\n' ] || { echo "last line not ended"; return 1; }
  if tail -n +2 "$f" | grep -v '^[^=]*=' >/dev/null; then echo "a line without ="; return 1; fi
  local size names
  size=$(sed -n 's/^Projects%5Csize=//p' "$f")
  [ -n "$size" ] || { echo "no Projects%5Csize"; return 1; }
  names=$(grep -c '^Projects%5C[0-9]*%5Cname=' "$f" || true)
  [ "$names" -eq "$size" ] || { echo "$names records for a size of $size"; return 1; }
}
