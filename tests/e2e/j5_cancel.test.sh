#!/usr/bin/env bash
# Journey 5, cancel: "Cancel download" during a slow download ends with "Download cancelled.",
# no ".part" file is left, and the editor installed before still runs projects (one that cannot
# be executed is reported in "Cannot open project"; the row's star marks a favourite without
# opening anything); closing the window during a download ends the launcher promptly, again
# without a ".part" file.
source "$(dirname "$0")/lib/e2e_env.sh"
e2e_needs restore sidebar projects installs install
e2e_world

e2e_config
project=$(e2e_make_project Keeper)
e2e_settings stored-refresh-token "Ada Lovelace" ada@example.test "$project"
e2e_preinstall_editor 1.0.0
e2e_publish 2.0.0 --encrypt --blob 3000000 >/dev/null
e2e_control package_rate 20000                                       # a download of minutes
e2e_start_launcher
e2e_go_installs
e2e_wait 30 sh -c "ls '$LAUNCHER_DIR'/downloads/*.part" >/dev/null || fail "no .part file while downloading"
e2e_wait_status 30 installs_slow_download "Downloading editor 2.0.0" || fail "no download shown"
e2e_click_cancel_download
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
sleep 1.5
e2e_click_row 0
e2e_wait_text 20 editor_not_executable "${E2E_POPUP[@]}" \
  "The editor process failed to start (check the executable and its permissions)." ||
  fail "a failed editor start was not reported"
[ "$(e2e_editor_starts)" -eq 1 ] || fail "a non-executable editor ran"
e2e_close_popup
chmod 755 "$LAUNCHER_DIR/editor/editor"

# Closing the window in the middle of a download ends the launcher at once and leaves no .part.
e2e_go_installs
e2e_click_retry
e2e_wait 30 sh -c "ls '$LAUNCHER_DIR'/downloads/*.part" >/dev/null || fail "Retry started no download"
close_window "$WINDOW"
e2e_wait_exit 15 || fail "the launcher did not end within 15 s of closing during a download"
[ "$E2E_EXIT" -eq 0 ] || fail "closing during a download ended the launcher with $E2E_EXIT"
[ -z "$(ls "$LAUNCHER_DIR"/downloads/*.part 2>/dev/null)" ] || fail "closing during a download left a .part file"
[ "$(cat "$LAUNCHER_DIR/editor/.zelvan_editor_version")" = 1.0.0 ] || fail "the installed version changed"
e2e_pass
