#!/usr/bin/env bash
# Journey 1, a fresh user: the not-configured card; then, configured, the welcome screen, "Sign in"
# through the browser, the signed-in layout whose first frame starts the update check; the editor
# installs from an encrypted package with its progress on the Installs page; "+ New project"
# makes a project (in a folder chosen with "Browse" whose name holds quotes, a dollar sign, a
# backquote and a backslash); a click on its row starts the editor on it, and a second click at once only
# says "ORVO Editor is already open."; the row's menu shows its folder in the file manager, and
# "Add project from disk" lists and opens the project the file chooser names.
source "$(dirname "$0")/lib/e2e_env.sh"
e2e_needs welcome signin sidebar projects installs install
e2e_world

# --- Not configured: the card with the configuration's own message.
rm -f "$LAUNCHER_DIR/launcher_config.json" "$LAUNCHER_DIR/launcher_config.example.json"
e2e_start_launcher
e2e_shot not_configured_card; shot=$SHOT
e2e_expect_rgb "$shot" "100*s" "100*s" "17 17 19" 4                  # window background
e2e_expect_rgb "$shot" "W/2-250*s" "H/2" "28 28 31" 4                # the 520 x 240 card, centred
e2e_expect_rgb "$shot" "W/2-270*s" "H/2" "17 17 19" 4                # just outside it
e2e_expect_text "$shot" "W/2-232*s" "H/2-98*s" "W/2+200*s" "H/2-66*s" "Launcher not configured"
e2e_expect_text "$shot" "W/2-232*s" "H/2-58*s" "W/2+250*s" "H/2+30*s" \
  "launcher_config.json was not found next to the launcher executable."
e2e_close_launcher

# --- Configured: the welcome screen.
e2e_config
digest=$(e2e_publish 1.0.0 --encrypt --blob 1500000)
e2e_control hold_package true                                        # the download stops halfway
e2e_start_launcher
e2e_wait_sign_in 30 welcome_idle || fail "no blue Sign in button on the welcome screen"
shot=$SHOT
e2e_expect_rgb "$shot" "30*s" "30*s" "28 28 31" 4                    # sign-in panel (left 40 %)
e2e_expect_rgb "$shot" "W*0.4+60*s" "100*s" "17 17 19" 4             # no picture: background
e2e_near "$((bx1 - bx0))" "320*s" || fail "the Sign in button is $((bx1 - bx0)) wide"
e2e_near "$bx0" "(W*0.4-320*s)/2" || fail "the Sign in button starts at x $bx0"
e2e_near "$((by1 - by0))" "44*s" || fail "the Sign in button is $((by1 - by0)) high"
e2e_expect_text "$shot" "$bx0" "$by0" "$bx1" "$by1" "Sign in"
e2e_expect_text "$shot" "$bx0-8" "$by0-220" "$bx1+8" "$by0-24" "Welcome to ORVO Launcher"

# The browser waits (so the waiting screen can be seen), then answers.
touch "$E2E_LOG/browser.hold"
e2e_click "($bx0+$bx1)/2" "($by0+$by1)/2"
e2e_wait 20 grep -q '^open https://accounts.google.com/o/oauth2/v2/auth?' "$E2E_LOG/xdg-open.log" ||
  fail "Sign in did not open the browser"
e2e_shot welcome_waiting; shot=$SHOT
rm -f "$E2E_LOG/browser.hold"
[ "$(e2e_bbox "$shot" "13 110 253" 2 0 0 "W*0.4" H)" = none ] || fail "the Sign in button is still shown while waiting"
e2e_rects "$shot" "320*s" 0 "$by0" "W*0.4" H | grep ' 32 32 32$' >/dev/null || fail "no Cancel button while waiting"
e2e_expect_text "$shot" "$bx0" "$by0" "$bx1" "$by0+120" "Finish signing in in your browser."
e2e_wait 30 grep -q '^browser ok' "$E2E_LOG/xdg-open.log" ||
  fail "the browser round trip failed: $(cat "$E2E_LOG/xdg-open.log")"
grep -q '^browser fail' "$E2E_LOG/xdg-open.log" && fail "$(grep '^browser fail' "$E2E_LOG/xdg-open.log")"

# --- Signed in: the settings remember the user; the first signed-in frame asked for the manifest.
e2e_wait 30 e2e_setting_set 'auth%2FrefreshToken' || fail "no refresh token was stored"
case "$(e2e_setting 'auth%2FrefreshToken')" in refresh-*) ;; *) fail "stored token: $(e2e_setting 'auth%2FrefreshToken')" ;; esac
[ "$(e2e_setting 'auth%2FuserName')" = "Ada Lovelace" ] || fail "stored name: $(e2e_setting 'auth%2FuserName')"
[ "$(e2e_setting 'auth%2FuserEmail')" = "ada@example.test" ] || fail "stored e-mail"
[ "$(stat -c %a "$SETTINGS_FILE")" = 600 ] || fail "the settings file with the token is mode $(stat -c %a "$SETTINGS_FILE")"
e2e_wait 20 e2e_requests_at_least updates.orvo.test /manifest 1 || fail "the first signed-in frame started no update check"
grep -q '"query": "platform=linux"' "$E2E_SRV/requests.jsonl" || fail "the manifest was not asked for platform=linux"

# (The download runs meanwhile and stops halfway: the screens are read once it goes on.)
e2e_shot projects_signed_in; signed_in=$SHOT

# --- The install, watched on the Installs page.
e2e_go_installs
e2e_capture_held hold_package installs_downloading
e2e_expect_rgb "$signed_in" "190*s" "20*s" "42 42 44" 3               # Projects entry selected
e2e_expect_rgb "$signed_in" "194*s" "H-100*s" "26 26 28" 3            # account card
e2e_expect_rgb "$signed_in" "25*s" "H-108*s+24*s" "13 148 136" 3      # avatar disc
e2e_expect_text "$signed_in" "54*s" "H-104*s" "190*s" "H-82*s" "Ada Lovelace"
e2e_expect_text "$signed_in" "54*s" "H-88*s" "190*s" "H-66*s" "ada@example.test"
e2e_captured_text "${E2E_INSTALLS_STATUS[@]}" "Downloading editor 1.0.0" || fail "no download shown"
shot=$SHOT
e2e_expect_rgb "$shot" "292*s" "176*s" "245 245 245" 3               # half of it is in: filled...
e2e_expect_rgb "$shot" "W-24*s-170*s" "176*s" "64 64 70" 3           # ...the rest of the track
e2e_expect_text "$shot" "${E2E_INSTALLS_BYTES[@]}" "/ 1.4 MB"
e2e_rects "$shot" "136*s" "W-24*s-160*s" "160*s" W "210*s" | grep . >/dev/null || fail "no Cancel download button"
e2e_wait 60 test -f "$LAUNCHER_DIR/editor/.zelvan_editor_version" || fail "the editor was not installed"
e2e_wait_status 20 installs_installed "Installed version 1.0.0" || fail "Installed is not shown"
e2e_expect_text "$E2E_LAST_SHOT" "${E2E_INSTALLS_NAME[@]}" "ORVO 1.0.0"
e2e_expect_text "$E2E_LAST_SHOT" "${E2E_INSTALLS_LOCATION[@]}" "Location: $LAUNCHER_DIR/editor/editor"
[ "$(cat "$LAUNCHER_DIR/editor/.zelvan_editor_version")" = "1.0.0" ] || fail "version file"
[ -x "$LAUNCHER_DIR/editor/editor" ] || fail "the editor is not executable"
[ "$(stat -c %a "$LAUNCHER_DIR/editor/editor")" = 755 ] || fail "the editor's mode is not 755"
[ -f "$LAUNCHER_DIR/downloads/zelvan_editor_1.0.0.zip" ] || fail "the package is not kept in downloads"
ls "$LAUNCHER_DIR"/downloads/*.part "$LAUNCHER_DIR"/downloads/*.decrypted.zip 2>/dev/null && fail "leftovers in downloads"
[ -e "$LAUNCHER_DIR/editor-staging" ] && fail "the staging folder was left behind"
grep -q "\"body\": \"{\\\\\"sha256\\\\\":\\\\\"$digest\\\\\"}\"" "$E2E_SRV/requests.jsonl" ||
  fail "the verification did not send the plaintext digest"

# --- Projects: both empty states, then "+ New project".
e2e_go_projects
e2e_shot projects_empty; shot=$SHOT
e2e_expect_text "$shot" "210*s+(W-210*s)/2-150*s" "98*s+0.38*(H-110*s)+12*s" "210*s+(W-210*s)/2+150*s" \
  "98*s+0.38*(H-110*s)+44*s" "No projects"
read -r nx0 ny0 nx1 ny1 _ <<<"$(e2e_bbox "$shot" "13 110 253" 2 "210*s" "98*s" W H)"
[ "$nx0" != none ] || fail "no + New project in the no-projects state"
e2e_near "$((nx1 - nx0))" "130*s" || fail "the empty state's + New project is $((nx1 - nx0)) wide"
e2e_click "($nx0+$nx1)/2" "($ny0+$ny1)/2"
e2e_shot create_dialog; shot=$SHOT
read -r ix iy iw ih _ <<<"$(E2E_RECT_TOL=4 e2e_rects "$shot" "460*s" "W/2-300*s" "H/2-200*s" "W/2+300*s" "H/2+200*s" |
  sort -n -k4 | tail -n 1)"
[ -n "$ix" ] || fail "no 460 px name field in the create dialog"
# "Browse" asks the folder chooser, starting at the proposed location; the folder it answers
# holds every character the shell would like to interpret, and must arrive as it is.
weird="$TEST_HOME/Bob's \"Games\" \$HOME \`id\` back\\slash"
printf '%s\n' "$weird" >"$E2E_LOG/zenity.answer"
chown "$TEST_UID" "$E2E_LOG/zenity.answer"
read -r wx wy ww wh _ <<<"$(E2E_RECT_TOL=4 e2e_rects "$shot" "94*s" "W/2-300*s" "$iy" "W/2+300*s" "H/2+200*s" |
  sort -n -k2 | head -n 1)"
[ -n "$wx" ] || fail "no Browse button in the create dialog"
e2e_click "$wx+$ww/2" "$wy+$wh/2"
e2e_wait 10 test -s "$E2E_LOG/zenity.log" || fail "Browse did not run the folder chooser"
grep -qxF "zenity [--file-selection] [--directory] [--title=Choose project location] [--filename=$TEST_HOME/Documents/ORVO Projects/]" \
  "$E2E_LOG/zenity.log" || fail "the folder chooser was run as: $(cat "$E2E_LOG/zenity.log")"
read -r cx cy cw ch _ <<<"$(E2E_RECT_TOL=4 e2e_rects "$shot" "150*s" "W/2-300*s" "$iy" "W/2+300*s" "H/2+200*s" |
  sort -n -k2 | tail -n 1)"
[ -n "$cx" ] || fail "no Create project button"
# A name with a slash is refused in the dialog, which stays open; then a good name.
e2e_click "$ix+$iw/2" "$iy+$ih/2"
e2e_type "Bad/Name"
e2e_click "$cx+$cw/2" "$cy+$ch/2"
e2e_wait_text 10 create_dialog_refused "W/2-300*s" "$iy" "W/2+300*s" "H/2+200*s" \
  "The project name contains characters that are not allowed." || fail "a name with a slash was not refused"
[ ! -e "$weird/Bad" ] || fail "a refused name left a folder"
# (The error line pushed the buttons down: find Create project again.)
read -r cx cy cw ch _ <<<"$(E2E_RECT_TOL=4 e2e_rects "$SHOT" "150*s" "W/2-300*s" "$iy" "W/2+300*s" "H/2+200*s" |
  sort -n -k2 | tail -n 1)"
e2e_click "$ix+$iw/2" "$iy+$ih/2"
e2e_keys ctrl a
e2e_keys BackSpace
e2e_type "Demo"
e2e_shot create_dialog_filled; shot=$SHOT
e2e_click "$cx+$cw/2" "$cy+$ch/2"
project="$weird/Demo/Demo.zelvanproj"
e2e_wait 10 test -f "$project" || fail "the project file was not made"
[ "$(stat -c %s "$project")" -eq 47 ] || fail "the project file has $(stat -c %s "$project") bytes"
[ "$(printf 'ZelvanProject:\n  Name: Demo\n  FormatVersion: 1\n' | sha256sum)" = "$(sha256sum <"$project")" ] ||
  fail "the project file reads: $(cat "$project")"
e2e_wait 10 e2e_setting_is 'Projects%5Csize' 1 || fail "the project is not in the settings"
[ "$(e2e_setting 'Projects%5C1%5Cpath')" = "$project" ] || fail "stored path: $(e2e_setting 'Projects%5C1%5Cpath')"
[ "$(e2e_setting 'projects%2FlastAddedLocation')" = "$weird" ] || fail "last location: $(e2e_setting 'projects%2FlastAddedLocation')"

# A search that matches nothing, and "Clear search".
e2e_click "W-524*s+100*s" "32*s"
e2e_type "zzz"
e2e_shot projects_no_match; shot=$SHOT
e2e_expect_text "$shot" "210*s+(W-210*s)/2-150*s" "98*s+0.38*(H-110*s)+12*s" "210*s+(W-210*s)/2+150*s" \
  "98*s+0.38*(H-110*s)+44*s" "No matching projects"
# Input sent in bursts keeps its order: a chord lets go of its modifier before its key, and a click
# on an empty part of the page right after typing comes behind the text, which the box keeps.
xdotool key ctrl+a BackSpace
xdotool type "a                              bet"
xdotool mousemove --window "$WINDOW" "$(e2e_px "W-60*s")" "$(e2e_px "H-60*s")" click 1
search_reads_abet() {
  e2e_import "$E2E_SHOTS/search_box.png"
  SEEN=$(e2e_ocr "$E2E_SHOTS/search_box.png" "W-524*s+26*s" "16*s" "W-314*s-28*s" "48*s" | tr -cd 'a-z')
  [ "$SEEN" = abet ]
}
e2e_wait 30 search_reads_abet || fail "after a burst of keys and a click the search box reads '$SEEN'"
e2e_click "210*s+(W-210*s)/2" "98*s+0.38*(H-110*s)+76*s+17*s"      # "Clear search"

# --- Open it: the editor starts in its folder with the project as its only argument.
e2e_move_away
e2e_shot projects_rows; shot=$SHOT
e2e_expect_text "$shot" "280*s" "$(e2e_row_y 0)-20*s" "700*s" "$(e2e_row_y 0)-2*s" "Demo"
e2e_click_row 0
e2e_click_row 0
e2e_wait 10 e2e_editor_started 1 || fail "the editor did not start"
grep -qx "start pid=[0-9]* version=1.0.0 cwd=$LAUNCHER_DIR/editor argc=1" "$E2E_LOG/editor.log" ||
  fail "editor started as: $(head -n 1 "$E2E_LOG/editor.log")"
grep -qxF "arg=$project" "$E2E_LOG/editor.log" || fail "editor arguments: $(cat "$E2E_LOG/editor.log")"
# The editor inherits the single-instance lock and its standard streams, nothing else of ours.
# (Looked at from outside while the editor shell idles: its only own descriptor is its script.)
editor_pid=$(sed -n 's/^start pid=\([0-9]*\).*/\1/p' "$E2E_LOG/editor.log" | head -n 1)
sleep 0.5
descriptors=$(for fd in /proc/"$editor_pid"/fd/*; do echo "${fd##*/} $(readlink "$fd")"; done)
leaked=$(echo "$descriptors" | grep -v "^[012] \| /tmp/orvo_launcher_$TEST_UID.lock$\| $LAUNCHER_DIR/editor/editor$" || true)
[ -z "$leaked" ] || fail "the editor inherited descriptors: $leaked"
echo "$descriptors" | grep " /tmp/orvo_launcher_$TEST_UID.lock$" >/dev/null || fail "the editor does not hold the lock: $descriptors"
sleep 1.5
[ "$(e2e_editor_starts)" -eq 1 ] || fail "the second click started another editor"
e2e_move_away
e2e_shot projects_already_open; shot=$SHOT
e2e_expect_rgb "$shot" "700*s" "67*s" "60 45 15" 3                   # notice banner
e2e_expect_text "$shot" "240*s" "66*s" "700*s" "94*s" "ORVO Editor is already open."
opened=$(e2e_setting 'Projects%5C1%5ClastOpened')
[ "$opened" -ge "$(($(date +%s) - 60))" ] || fail "the project was not stamped: $opened"

# The context menu of the row (the notice moved the table down by 40).
e2e_click_row 0 138 3
e2e_shot context_menu; shot=$SHOT
e2e_expect_text "$shot" "400*s" "$(e2e_row_y 0 138)" "700*s" "$(e2e_row_y 0 138)+130*s" "Open Project"
e2e_click_text "$shot" "400*s" "$(e2e_row_y 0 138)" "700*s" "$(e2e_row_y 0 138)+130*s" Show in File Manager
e2e_wait 10 grep -qxF "open $weird/Demo" "$E2E_LOG/xdg-open.log" ||
  fail "Show in File Manager opened: $(grep -v accounts.google "$E2E_LOG/xdg-open.log")"

# --- "Add project from disk" through the file chooser: recorded first and opened.
e2e_stop_editors
sleep 2                                                              # past the launch guard
imported=$(e2e_make_project Imported)
echo "$TEST_HOME/Projects/./Imported/Imported.zelvanproj" >"$E2E_LOG/zenity.answer"
e2e_reset_log zenity.log
e2e_click "W-24*s-126*s-8*s-74*s" "32*s"
e2e_wait 10 e2e_editor_started 2 || fail "the project added from disk was not opened"
grep -qxF "zenity [--file-selection] [--file-filter=ORVO Project | *.zelvanproj] [--title=Open ORVO Project] [--filename=$weird/]" \
  "$E2E_LOG/zenity.log" || fail "the file chooser was run as: $(cat "$E2E_LOG/zenity.log")"
[ "$(tail -n 1 "$E2E_LOG/editor.log")" = "arg=$imported" ] || fail "the editor got: $(tail -n 1 "$E2E_LOG/editor.log")"
e2e_wait 10 e2e_setting_is 'Projects%5Csize' 2 || fail "the added project is not in the settings"
[ "$(e2e_setting 'Projects%5C1%5Cname')" = Imported ] || fail "the added project is not listed first"
[ "$(e2e_setting 'Projects%5C1%5Cpath')" = "$imported" ] || fail "stored path: $(e2e_setting 'Projects%5C1%5Cpath')"
[ "$(e2e_setting 'projects%2FlastAddedLocation')" = "$TEST_HOME/Projects/Imported" ] || fail "last added location"
e2e_move_away
e2e_shot projects_two_rows
e2e_expect_text "$SHOT" "280*s" "$(e2e_row_y 0)-20*s" "700*s" "$(e2e_row_y 0)-2*s" "Imported"
e2e_expect_text "$SHOT" "280*s" "$(e2e_row_y 1)-20*s" "700*s" "$(e2e_row_y 1)-2*s" "Demo"
e2e_close_launcher
e2e_stop_editors
e2e_pass
