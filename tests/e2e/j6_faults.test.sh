#!/usr/bin/env bash
# Journey 6, faults: the launcher killed (SIGKILL) at random moments of a sign-in, an install and
# a project launch, then started again: the settings file is always whole, the editor folder is
# the old or the new one and runs, and a new start succeeds once no child holds the lock (while
# the editor it started runs, a start says the launcher is already running). Then the disk: a
# full downloads folder ("The editor package download failed.", nothing half-installed), a full
# launcher folder during the extraction (the editor installed before stays whole), and a
# downloads folder the user may not write to.
source "$(dirname "$0")/lib/e2e_env.sh"
e2e_needs welcome signin restore sidebar projects installs install
e2e_world

e2e_config
project=$(e2e_make_project Survivor)
versions=" "
check_after_kill() {
  local why
  why=$(e2e_settings_whole "$SETTINGS_FILE") || fail "after a kill the settings file is broken ($why): $(cat "$SETTINGS_FILE")"
  if [ -d "$LAUNCHER_DIR/editor" ]; then
    local v
    v=$("$LAUNCHER_DIR/editor/editor" --version) || fail "after a kill the editor folder holds no runnable editor"
    case "$versions" in *" $v "*) ;; *) fail "after a kill the editor is version '$v', not one of$versions" ;; esac
  fi
  e2e_stop_editors
  # Once no child of the killed launcher holds it, the lock is free for the next start.
  e2e_wait 30 flock -n "$LOCK_FILE" true || fail "the lock stayed taken after the kill"
}

# A new seed every run (E2E_SEED repeats one); $$ is 1 inside the process namespace.
seed=${E2E_SEED:-$(date +%N | sed 's/^0*//')}
e2e_log "random seed $seed"
RANDOM=$((seed % 32768))
for round in 1 2 3 4 5 6; do
  version="1.$round.0"
  versions="$versions$version "
  e2e_publish "$version" --encrypt --blob 600000 >/dev/null
  e2e_control package_rate 400000
  if [ $((round % 3)) -eq 1 ]; then
    # A sign-in from scratch, killed around the moment its result is saved.
    e2e_settings "" "" "" "$project"
    e2e_start_launcher
    e2e_wait_sign_in 30 "round${round}_welcome" || fail "round $round: no Sign in button"
    e2e_click "($bx0+$bx1)/2" "($by0+$by1)/2"
  else
    # A restored session: an install, and a click on the project that parks or opens it.
    e2e_start_launcher
    sleep "0.$((RANDOM % 10))"
    e2e_click_row 0
  fi
  delay="$((RANDOM % 4)).$((RANDOM % 10))"
  e2e_log "round $round: killing the launcher after $delay s"
  sleep "$delay"
  e2e_kill_launcher
  check_after_kill
done

# After all that, a normal start still signs in, installs and opens the project.
e2e_settings stored-refresh-token "Ada Lovelace" ada@example.test "$project"
e2e_publish 2.0.0 --encrypt >/dev/null
e2e_control package_rate 0
e2e_start_launcher
e2e_wait 60 grep -qx 2.0.0 "$LAUNCHER_DIR/editor/.zelvan_editor_version" || fail "the final install did not finish"
e2e_click_row 0
e2e_wait 20 e2e_editor_started 1 || fail "the project did not open after the faults"
grep -q "^start pid=[0-9]* version=2.0.0 " "$E2E_LOG/editor.log" || fail "editor: $(cat "$E2E_LOG/editor.log")"

# Killed while the editor it started runs: the editor holds the single-instance lock, so a new
# start says the launcher is running and ends with 0; once the editor ends, a start succeeds.
e2e_kill_launcher
status=0
as_test_user env DISPLAY="$DISPLAY" timeout 30 "$LAUNCHER_DIR/orvo-launcher" 2>"$E2E_LOG/second.err" || status=$?
[ "$status" -eq 0 ] || fail "a start beside the running editor ended with $status"
grep -qx "\[Launcher\] ORVO Launcher is already running." "$E2E_LOG/second.err" ||
  fail "a start beside the running editor said: $(cat "$E2E_LOG/second.err")"
e2e_stop_editors
e2e_start_launcher
e2e_close_launcher

# A full disk under the downloads folder.
rm -rf "$LAUNCHER_DIR/editor" "$LAUNCHER_DIR/downloads"
small="$TEST_TMP/small-disk"
mkdir -p "$small"
mount -t tmpfs -o "size=256k,uid=$TEST_UID,mode=0755" tmpfs "$small" || e2e_skip "could not mount a small tmpfs"
e2e_config https://updates.orvo.test/manifest "$small/downloads"
e2e_publish 3.0.0 --blob 1000000 >/dev/null
e2e_start_launcher
e2e_go_installs
e2e_wait_status 60 installs_disk_full "The editor package download failed." || fail "the full disk is not reported"
e2e_expect_text "$SHOT" "${E2E_INSTALLS_BADGE[@]}" "Failed"
[ -z "$(find "$small" -name '*.part')" ] || fail "a .part file was left on the full disk"
[ ! -e "$LAUNCHER_DIR/editor" ] || fail "an editor folder appeared after the failed download"
[ -z "$(ls -A "$LAUNCHER_DIR/editor-staging" 2>/dev/null)" ] || fail "files were left in the staging folder"
e2e_close_launcher
umount "$small"

# A downloads folder the user may not write to.
locked="$TEST_TMP/locked-downloads"
mkdir -p "$locked"
chmod 755 "$locked"
e2e_config https://updates.orvo.test/manifest "$locked"
e2e_start_launcher
e2e_go_installs
e2e_wait_status 60 installs_downloads_locked "Could not write to the downloads directory." ||
  fail "an unwritable downloads folder is not reported"
[ -z "$(ls -A "$locked")" ] || fail "something was written to the locked downloads folder"
e2e_close_launcher

# A full disk under the launcher's own folder while the package is extracted: the install fails,
# the staging folder goes, and the editor installed before stays whole and runs.
e2e_config https://updates.orvo.test/manifest "$TEST_TMP/downloads"
mkdir -p "$TEST_TMP/downloads"
chown "$TEST_UID" "$TEST_TMP/downloads"
e2e_preinstall_editor 2.5.0
cp -a "$LAUNCHER_DIR" "$TEST_TMP/launcher-copy"
used=$(du -sk "$LAUNCHER_DIR" | cut -f1)
mount -t tmpfs -o "size=$((used + 400))k,mode=0755" tmpfs "$LAUNCHER_DIR" || e2e_skip "could not mount a small tmpfs"
cp -a "$TEST_TMP/launcher-copy/." "$LAUNCHER_DIR/"
chown -R "$TEST_UID" "$LAUNCHER_DIR"
e2e_publish 3.1.0 --blob 1500000 >/dev/null
e2e_start_launcher
e2e_go_installs
e2e_wait_status 60 installs_disk_full_extracting "Extracting the editor package failed." ||
  fail "a full disk during the extraction is not reported"
[ ! -e "$LAUNCHER_DIR/editor-staging" ] || fail "the staging folder stayed after the failed extraction"
[ "$(cat "$LAUNCHER_DIR/editor/.zelvan_editor_version")" = 2.5.0 ] || fail "the installed version changed"
[ "$("$LAUNCHER_DIR/editor/editor" --version)" = 2.5.0 ] || fail "the editor installed before does not run"
e2e_close_launcher
umount "$LAUNCHER_DIR"
e2e_pass
