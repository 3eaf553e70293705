#!/usr/bin/env bash
# Journey 5, cancel: "Cancel download" while the package server has stalled ends the download
# with "Download cancelled.", no ".part" file is left, and the editor installed before still runs
# projects (one that cannot be executed is reported in "Cannot open project"; the row's star marks
# a favourite without opening anything); closing the window during a stalled download, and during
# a manifest that never comes, ends the launcher with status 0, again without a ".part" file, and
# the next start is not refused; a double click does not cancel the update it starts, and ten
# updates in a row show without input. The cancel and the closes let go of the stalled server at
# once: how long they take is reported, and judged against the launcher's own time-outs for the
# stalled request (the manifest's read time-out, 30 s; a package's stall limit, 120 s).
source "$(dirname "$0")/lib/e2e_env.sh"
e2e_needs restore sidebar projects installs install
e2e_world

e2e_config
project=$(e2e_make_project Keeper)
e2e_settings stored-refresh-token "Ada Lovelace" ada@example.test "$project"
e2e_preinstall_editor 1.0.0
e2e_publish 2.0.0 --encrypt --blob 3000000 >/dev/null
e2e_control stall_package true                                       # it stops halfway
e2e_start_launcher
e2e_go_installs
e2e_wait 30 sh -c "ls '$LAUNCHER_DIR'/downloads/*.part" >/dev/null || fail "no .part file while downloading"
e2e_wait_status 30 installs_slow_download "Downloading editor 2.0.0" || fail "no download shown"
pkg=/packages/orvo-editor-2.0.0.pkg
gives_up=$(e2e_gives_up packages.orvo.test "$pkg" 120)
e2e_click_cancel_download
e2e_wait "$(e2e_halfway "$E2E_RELEASED" "$gives_up")" e2e_closed_at packages.orvo.test "$pkg" >/dev/null ||
  fail "the cancel waited for the stalled download: not ended $(e2e_seconds "$E2E_RELEASED") s after the click"
e2e_let_go "cancel: the stalled download ended" "$E2E_RELEASED" "$(e2e_closed_at packages.orvo.test "$pkg")" "$gives_up"
e2e_wait_status 20 installs_cancelled "Download cancelled." || fail "the cancel is not shown"
e2e_expect_text "$SHOT" "${E2E_INSTALLS_BADGE[@]}" "Failed"
e2e_rects "$SHOT" "94*s" "W-200*s" "160*s" W "210*s" | grep . >/dev/null || fail "no Retry button after the cancel"
e2e_wait 10 sh -c "! ls '$LAUNCHER_DIR'/downloads/*.part" 2>/dev/null || fail "a .part file was left: $(ls "$LAUNCHER_DIR/downloads")"
[ -e "$LAUNCHER_DIR/downloads/zelvan_editor_2.0.0.zip" ] && fail "a cancelled package was kept"
[ "$(cat "$LAUNCHER_DIR/editor/.zelvan_editor_version")" = 1.0.0 ] || fail "the installed version changed"
[ "$("$LAUNCHER_DIR/editor/editor" --version)" = 1.0.0 ] || fail "the previous editor does not run"

# The previous editor still opens projects.
e2e_go_projects
e2e_click_row 0
e2e_wait 10 e2e_editor_started 1 || fail "the previous editor did not start"
grep -q "^start pid=[0-9]* version=1.0.0 " "$E2E_LOG/editor.log" || fail "editor: $(head -n 1 "$E2E_LOG/editor.log")"
grep -qxF "arg=$project" "$E2E_LOG/editor.log" || fail "editor arguments: $(cat "$E2E_LOG/editor.log")"
e2e_stop_editors

# The star inside the row marks the project a favourite (saved at once) and opens nothing.
sleep 1.5
e2e_click "226*s+22*s" "$(e2e_row_y 0)"
e2e_wait 10 e2e_setting_is 'Projects%5C1%5Cfavorite' true || fail "the star did not make the project a favourite"
e2e_move_away
e2e_shot favourite
[ "$(e2e_bbox "$SHOT" "251 191 36" 12 "226*s+12*s" "$(e2e_row_y 0)-10*s" "226*s+32*s" "$(e2e_row_y 0)+10*s")" != none ] ||
  fail "the favourite's star is not drawn in amber"
[ "$(e2e_editor_starts)" -eq 1 ] || fail "a click on the star opened the project"

# An editor that cannot be executed: the click says why in "Cannot open project".
chmod 644 "$LAUNCHER_DIR/editor/editor"
sleep 2                                                              # past the launch guard
e2e_click_row 0
e2e_wait_text 20 editor_not_executable "${E2E_POPUP[@]}" \
  "The editor process failed to start (check the executable and its permissions)." ||
  fail "a failed editor start was not reported"
[ "$(e2e_editor_starts)" -eq 1 ] || fail "a non-executable editor ran"
e2e_close_popup
chmod 755 "$LAUNCHER_DIR/editor/editor"

# Closes the window while HOST PATH stalls, SECONDS being the launcher's own time-out for it:
# close_while_stalled WHAT HOST PATH SECONDS; the launcher ends with status 0.
close_while_stalled() {
  local start gives_up
  gives_up=$(e2e_gives_up "$2" "$3" "$4")
  start=$(date +%s.%N)
  close_window "$WINDOW"
  e2e_wait_exit "$(e2e_halfway "$start" "$gives_up")" ||
    fail "closing $1 waited for the stalled server: not ended $(e2e_seconds "$start") s after"
  e2e_let_go "close $1: the launcher ended" "$start" "$(date +%s.%N)" "$gives_up"
  [ "$E2E_EXIT" -eq 0 ] || fail "closing $1 ended the launcher with $E2E_EXIT"
}

# Closing the window in the middle of a stalled download ends the launcher at once and leaves
# no .part.
e2e_go_installs
e2e_click_retry
e2e_wait 30 sh -c "ls '$LAUNCHER_DIR'/downloads/*.part" >/dev/null || fail "Retry started no download"
close_while_stalled "during a download" packages.orvo.test "$pkg" 120
[ -z "$(ls "$LAUNCHER_DIR"/downloads/*.part 2>/dev/null)" ] || fail "closing during a download left a .part file"
[ "$(cat "$LAUNCHER_DIR/editor/.zelvan_editor_version")" = 1.0.0 ] || fail "the installed version changed"

# So does closing it while the manifest never comes; the next start is not refused.
e2e_control stall_package false stall_manifest true
asked=$(e2e_requests updates.orvo.test /manifest)
e2e_start_launcher
e2e_wait 30 e2e_requests_at_least updates.orvo.test /manifest $((asked + 1)) || fail "no update check started"
close_while_stalled "during a stalled manifest" updates.orvo.test /manifest 30
e2e_control stall_manifest false
e2e_start_launcher
grep -q "already running" "$E2E_LOG/launcher.out" && fail "the next start was refused as already running"

# A double click on "Check for updates" leaves its update running ("Cancel download", taking the
# button's place, ignores the second click); ten updates in a row, each shown with no input, and
# only the current version's package stays.
e2e_go_installs
e2e_wait_status 60 installs_current "Installed version 2.0.0" || fail "the start's update is not shown"
for i in 1 2 3 4 5 6 7 8 9 10; do
  e2e_publish "2.1.$i" --blob 1024 >/dev/null
  # The button shows again as each update ends and ignores clicks for half a second: e2e_click
  # rests before it presses. The first update is started by a double click.
  if [ "$i" -gt 1 ]; then
    e2e_click_check_updates
  else
    xdotool mousemove --window "$WINDOW" "$(e2e_px "${E2E_CHECK_UPDATES[0]}")" "$(e2e_px "${E2E_CHECK_UPDATES[1]}")" \
      click --repeat 2 --delay 250 1
  fi
  e2e_wait 30 grep -qx "2.1.$i" "$LAUNCHER_DIR/editor/.zelvan_editor_version" || fail "update 2.1.$i was not installed"
  e2e_wait_status 30 "update_2.1.$i" "Installed version 2.1.$i" || fail "update 2.1.$i is not shown"
done
[ "$(ls -A "$LAUNCHER_DIR/downloads")" = zelvan_editor_2.1.10.zip ] ||
  fail "other versions' packages are kept: $(ls -A "$LAUNCHER_DIR/downloads")"
e2e_close_launcher
e2e_pass
