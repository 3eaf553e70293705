#!/usr/bin/env bash
# Journey 2, a parked project: signed in, no editor installed anywhere, the update server first
# failing (and a listed project whose folder is gone, which a click leaves alone); a click on a
# project shows the Installs page and starts the install, and the project opens by itself once
# the editor is installed. Later checks find the editor current, and reinstall from the kept
# package without downloading it again; the missing project leaves the list through its menu; a
# package server that declares no length shows an unknown size and counts what arrived.
source "$(dirname "$0")/lib/e2e_env.sh"
e2e_needs restore sidebar projects installs install
e2e_world

e2e_config
project=$(e2e_make_project Parked)
gone="$TEST_HOME/Projects/Gone/Gone.zelvanproj"                   # listed, but its folder is gone
e2e_settings stored-refresh-token "Ada Lovelace" ada@example.test "$project" "$gone"
e2e_control manifest_status 503
e2e_start_launcher
e2e_wait 20 e2e_requests_at_least updates.orvo.test /manifest 1 || fail "no update check at the first signed-in frame"
sleep 1
e2e_shot projects_with_missing; shot=$SHOT
e2e_expect_text "$shot" "280*s" "$(e2e_row_y 0)-20*s" "700*s" "$(e2e_row_y 0)-2*s" "Parked"
# The missing project: its name in red, its path marked, and a click on it does nothing.
[ "$(e2e_bbox "$shot" "239 68 68" 40 "280*s" "$(e2e_row_y 1)-20*s" "400*s" "$(e2e_row_y 1)-4*s")" != none ] ||
  fail "the missing project's name is not red"
e2e_expect_text "$shot" "280*s" "$(e2e_row_y 1)+2*s" "900*s" "$(e2e_row_y 1)+22*s" "Gone.zelvanproj - missing"
e2e_click_row 1
e2e_shot missing_clicked
e2e_expect_rgb "$SHOT" "190*s" "20*s" "42 42 44" 3                   # still on Projects
[ "$(e2e_requests updates.orvo.test /manifest)" -eq 1 ] || fail "a click on a missing project started an install"
# Its folder coming back, and going again, shows while the window idles: no input needed.
gone_is_red() {
  e2e_import "$TEST_TMP/gone.png"
  local box
  box=$(e2e_bbox "$TEST_TMP/gone.png" "239 68 68" 40 "280*s" "$(e2e_row_y 1)-20*s" "400*s" "$(e2e_row_y 1)-4*s")
  if [ "$1" = yes ]; then [ "$box" != none ]; else [ "$box" = none ]; fi
}
e2e_move_away
sleep 1
mkdir "$(dirname "$gone")"
e2e_wait 10 gone_is_red no || fail "an idle window did not notice the project folder come back"
rmdir "$(dirname "$gone")"
e2e_wait 10 gone_is_red yes || fail "an idle window did not notice the project folder go"

# The server recovers; the click parks the project and retries the install (the updater had failed).
# Each held answer is let go once its screens are taken; all of them are read afterwards.
e2e_control manifest_status 0
e2e_control hold_manifest true hold_package true hold_verify true
e2e_publish 1.2.0 --blob 1000000 >/dev/null
e2e_click_row 0
[ "$(e2e_editor_starts)" -eq 0 ] || fail "an editor started although none was installed"
e2e_shot installs_after_click; after_click=$SHOT
e2e_wait 20 e2e_requests_at_least updates.orvo.test /manifest 2 || fail "the click started no install"
e2e_capture_held hold_manifest installs_checking; checking=("${CAPTURED[@]}")
e2e_capture_held hold_package installs_parked_downloading; downloading=("${CAPTURED[@]}")
e2e_capture_held hold_verify installs_installing; installing=("${CAPTURED[@]}")
e2e_expect_rgb "$after_click" "190*s" "62*s" "42 42 44" 3             # Installs entry selected
e2e_expect_text "$after_click" "234*s" "16*s" "500*s" "46*s" "Installs"
CAPTURED=("${checking[@]}")
e2e_captured_text "${E2E_INSTALLS_SPINNER_TEXT[@]}" "Checking..." || fail "Checking is not shown"
e2e_expect_text "$SHOT" "${E2E_INSTALLS_STATUS[@]}" "Checking for updates"
e2e_expect_text "$SHOT" "${E2E_INSTALLS_BADGE[@]}" "Checking"
CAPTURED=("${downloading[@]}")
e2e_captured_text "${E2E_INSTALLS_STATUS[@]}" "Downloading editor 1.2.0" || fail "no download shown"
e2e_expect_rgb "$SHOT" "292*s" "176*s" "245 245 245" 3               # half of it is in: filled...
e2e_expect_rgb "$SHOT" "W-24*s-170*s" "176*s" "64 64 70" 3           # ...up to the middle
CAPTURED=("${installing[@]}")
e2e_captured_text "${E2E_INSTALLS_SPINNER_TEXT[@]}" "Installing..." || fail "Installing is not shown"
e2e_expect_text "$SHOT" "${E2E_INSTALLS_STATUS[@]}" "Installing editor 1.2.0"
e2e_expect_text "$SHOT" "${E2E_INSTALLS_BADGE[@]}" "Installing"

e2e_wait 60 e2e_editor_started 1 || fail "the parked project was not opened after the install"
grep -qxF "arg=$project" "$E2E_LOG/editor.log" || fail "editor arguments: $(cat "$E2E_LOG/editor.log")"
grep -q "^start pid=[0-9]* version=1.2.0 cwd=$LAUNCHER_DIR/editor argc=1$" "$E2E_LOG/editor.log" ||
  fail "editor: $(head -n 1 "$E2E_LOG/editor.log")"
e2e_wait 10 e2e_setting_above 'Projects%5C1%5ClastOpened' 1700000000 || fail "the opened project was not stamped"
e2e_shot installs_installed_parked
e2e_expect_text "$SHOT" "${E2E_INSTALLS_STATUS[@]}" "Installed version 1.2.0"
e2e_go_projects
e2e_shot projects_after_parked_open
e2e_expect_rgb "$SHOT" "700*s" "67*s" "26 26 26" 3                   # the install notice is gone

# "Check for updates" with the same version installed: nothing to fetch. With the editor folder
# gone, the package kept in the downloads folder is checked and installed again, not downloaded.
e2e_stop_editors
downloads=$(e2e_requests packages.orvo.test /packages/orvo-editor-1.2.0.pkg)
e2e_go_installs
e2e_click_check_updates
e2e_wait_status 20 installs_current "Installed version 1.2.0" || fail "a current editor was not recognised"
rm -rf "$LAUNCHER_DIR/editor"
e2e_click_check_updates
e2e_wait 30 test -x "$LAUNCHER_DIR/editor/editor" || fail "the kept package was not installed again"
e2e_wait_status 20 installs_reinstalled "Installed version 1.2.0" || fail "the reinstall is not shown"
[ "$(e2e_requests packages.orvo.test /packages/orvo-editor-1.2.0.pkg)" = "$downloads" ] ||
  fail "the package was downloaded again although the kept one matched its digest"

# The missing project leaves the list through its menu; the other project stays.
e2e_go_projects
e2e_move_away
e2e_click_row 1 98 3
e2e_shot missing_project_menu
e2e_click_text "$SHOT" "300*s" "$(e2e_row_y 1)" "800*s" "$(e2e_row_y 1)+150*s" Remove From List
e2e_wait 10 e2e_setting_is 'Projects%5Csize' 1 || fail "Remove From List did not remove the missing project"
[ "$(e2e_setting 'Projects%5C1%5Cpath')" = "$project" ] || fail "the wrong project was removed"
[ -f "$project" ] || fail "removing a project from the list touched the disk"

# A package server that declares no length: the bar has no fill and the size reads "unknown",
# while the bytes already received (half the package, where the server holds it) are counted.
e2e_publish 1.3.0 --blob 1000000 >/dev/null
e2e_control package_chunked true hold_package true
e2e_go_installs
e2e_click_check_updates
e2e_capture_held hold_package installs_unknown_size
e2e_captured_text "${E2E_INSTALLS_BYTES[@]}" "/ unknown" || fail "an unknown size is not shown"
e2e_expect_text "$SHOT" "${E2E_INSTALLS_STATUS[@]}" "Downloading editor 1.3.0"
e2e_expect_rgb "$SHOT" "292*s" "176*s" "64 64 70" 3
bytes_text=$(e2e_ocr "$SHOT" "${E2E_INSTALLS_BYTES[@]}")
case "${bytes_text// /}" in
  *[1-9]*KB/unknown* | *[1-9]*MB/unknown*) ;;
  *) fail "a download of unknown size does not count what it received: it reads '$bytes_text'" ;;
esac
e2e_wait_status 30 installs_unknown_size_installed "Installed version 1.3.0" || fail "a download of unknown size did not install"
e2e_close_launcher
e2e_pass
