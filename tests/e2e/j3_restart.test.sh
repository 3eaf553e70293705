#!/usr/bin/env bash
# Journey 3, a restart: the stored refresh token restores the session silently (the signed-in
# layout from the first frame, the identity refreshed from userinfo, also when Google answers
# slowly); a refresh the server rejects falls back to the welcome screen (with its picture,
# cropped by the cover rule) and "The stored session is no longer valid.", and keeps the token;
# each signed-in period starts one update check; projects named in Cyrillic and Japanese draw
# with the installed fonts' glyphs; a refused consent and a forged state end on the
# welcome screen with their sentences; closing the window while the browser never answers ends
# the launcher at once.
source "$(dirname "$0")/lib/e2e_env.sh"
e2e_needs welcome restore sidebar
e2e_world

e2e_config
e2e_settings stored-refresh-token "Old Name" old@example.test \
  "$(e2e_make_project "Проект Альфа")" "$(e2e_make_project "日本語のゲーム")"

# Signed in from the first frame, with the stored identity while the refresh is under way.
e2e_control hold_refresh true
e2e_start_launcher
e2e_shot restoring; restoring=$SHOT
[ "$(e2e_requests oauth2.googleapis.com /token)" -ge 1 ] || fail "no refresh was started at start-up"
# Google may take its time: an answer 8 s after the request still restores the session (the
# token worker waits for answers as long as its read time-out, 300 s). The screen of the
# restore is read once the answer has gone.
asked=$("$E2E_PY" -c 'import json, sys; print(int(next(json.loads(l)["time"] for l in open(sys.argv[1]) if "/token" in l)))' \
  "$E2E_SRV/requests.jsonl")
while [ "$(date +%s)" -lt $((asked + 8)) ]; do sleep 0.2; done
e2e_control hold_refresh false
[ "$(e2e_bbox "$restoring" "13 110 253" 2 0 0 "W*0.4" H)" = none ] || fail "the welcome screen showed during the restore"
e2e_expect_rgb "$restoring" "194*s" "H-100*s" "26 26 28" 3           # the account card
e2e_expect_text "$restoring" "54*s" "H-104*s" "190*s" "H-82*s" "Old Name"
if ! e2e_wait 20 e2e_setting_is 'auth%2FuserName' "Ada Lovelace"; then
  e2e_shot slow_token_answer
  e2e_shows_text "$SHOT" 0 0 "W*0.4" H "Could not reach Google's token endpoint" >/dev/null &&
    fail "the restore gave up on a token answer that took 8 s (the token client's read time-out is too short)"
  fail "the identity was not refreshed"
fi
[ "$(e2e_setting 'auth%2FuserEmail')" = "ada@example.test" ] || fail "e-mail not refreshed"
[ "$(e2e_setting 'auth%2FrefreshToken')" = "stored-refresh-token" ] || fail "the stored token changed"
grep -q 'grant_type=refresh_token' "$E2E_SRV/requests.jsonl" || fail "no refresh grant was sent"
grep -q '"body": "client_id=[^"]*&client_secret=[^"]*&grant_type=refresh_token&refresh_token=stored-refresh-token"' \
  "$E2E_SRV/requests.jsonl" || fail "the refresh form: $(grep refresh_token "$E2E_SRV/requests.jsonl" | head -n 1)"
sleep 0.5
e2e_shot restored
e2e_expect_text "$SHOT" "54*s" "H-104*s" "190*s" "H-82*s" "Ada Lovelace"
# Seven CJK characters are about 84 px wide at scale 1; as fallback "?" glyphs they would be 40.
read -r x0 _ x1 _ <<<"$(e2e_bbox "$SHOT" "240 240 240" 60 "280*s" "$(e2e_row_y 1)-18*s" "700*s" "$(e2e_row_y 1)")"
[ "$((x1 - x0))" -ge "$(e2e_px "70*s")" ] || fail "the Japanese project name is $((x1 - x0)) px wide: not drawn in its own glyphs"
e2e_close_launcher

# The server no longer accepts the token (and says so only once the restoring layout has shown
# and started this period's update check). This time a welcome picture lies beside the launcher:
# 1920 x 1080, red on its left half and blue on its right half.
convert -size 960x1080 xc:'#ff0000' -size 960x1080 xc:'#0000ff' +append "$LAUNCHER_DIR/background.png"
chown "$TEST_UID" "$LAUNCHER_DIR/background.png"
e2e_control refresh_status 400 hold_refresh true
e2e_start_launcher
e2e_wait 30 e2e_requests_at_least updates.orvo.test /manifest 2 ||
  fail "the restoring layout of the second start started no update check"
e2e_control hold_refresh false
e2e_wait_sign_in 30 restore_rejected || fail "a rejected refresh did not lead to the welcome screen"
sleep 0.5
e2e_shot welcome_session_invalid
e2e_expect_text "$SHOT" "$bx0" "$by1+6*s" "$bx1" "$by1+40*s" "The stored session is no longer valid."
# The picture covers the right 60 %: its visible slice runs from 28.2 % to 82 % of its width,
# so the red-blue edge at its middle falls 40.5 % into the area; a 40/255 black veil lies over it.
e2e_expect_rgb "$SHOT" "W*0.4+0.6*W*0.405-12" "H/2" "215 0 0" 6
e2e_expect_rgb "$SHOT" "W*0.4+0.6*W*0.405+12" "H/2" "0 0 215" 6
e2e_expect_rgb "$SHOT" "W-4" "20" "0 0 215" 6
e2e_expect_text "$SHOT" "W-72*s-300*s" "H-68*s-4*s" "W-72*s+4*s" "H-68*s+24*s" "Marrowfen"
e2e_expect_text "$SHOT" "W-72*s-300*s" "H-68*s+22*s" "W-72*s+4*s" "H-68*s+44*s" "Made with ORVO"
[ "$(e2e_setting 'auth%2FrefreshToken')" = "stored-refresh-token" ] || fail "the rejected token was not kept"

# One update check per signed-in period: the failed restore's period already had its check,
# so the sign-in that follows starts none; a sign-out and a new sign-in start the next one.
manifests=$(e2e_requests updates.orvo.test /manifest)
sign_in_through_browser() {
  e2e_reset_log xdg-open.log
  e2e_click "($bx0+$bx1)/2" "($by0+$by1)/2"
  e2e_wait 30 grep -q '^browser ok' "$E2E_LOG/xdg-open.log" || fail "the browser sign-in failed: $(cat "$E2E_LOG/xdg-open.log")"
  e2e_wait 20 e2e_setting_is 'auth%2FuserEmail' ada@example.test || fail "the sign-in was not stored"
}
e2e_settings_token_gone() { [ -z "$(e2e_setting 'auth%2FrefreshToken')" ]; }
sign_in_through_browser
sleep 1.5
[ "$(e2e_requests updates.orvo.test /manifest)" -eq "$manifests" ] ||
  fail "a sign-in after a failed restore started a second update check in the same period"
e2e_click "105*s" "H-38*s"                                          # "Sign out"
e2e_wait 10 e2e_settings_token_gone || fail "Sign out kept the refresh token"
sleep 0.5
e2e_shot signed_out
[ "$(e2e_bbox "$SHOT" "13 110 253" 2 0 0 "W*0.4" H)" != none ] || fail "Sign out did not show the welcome screen"
sign_in_through_browser
e2e_wait 10 e2e_requests_at_least updates.orvo.test /manifest $((manifests + 1)) ||
  fail "the signed-in period after a sign-out started no update check"
e2e_click "105*s" "H-38*s"
e2e_wait 10 e2e_settings_token_gone || fail "the second Sign out kept the refresh token"
sleep 0.5

# The user refuses consent, then a redirect carries a state this launcher never sent: each ends
# on the welcome screen with its sentence, and no code is exchanged.
tokens=$(e2e_requests oauth2.googleapis.com /token)
for case in deny forge_state; do
  e2e_control "$case" true
  e2e_reset_log xdg-open.log
  e2e_click "($bx0+$bx1)/2" "($by0+$by1)/2"
  e2e_wait 30 grep -q '^browser shown: not completed' "$E2E_LOG/xdg-open.log" ||
    fail "the browser was not told the sign-in did not complete ($case): $(tail -n 1 "$E2E_LOG/xdg-open.log")"
  case $case in
    deny) sentence="Google sign-in was not completed (access_denied)." ;;
    forge_state) sentence="The sign-in response did not match this launcher session." ;;
  esac
  e2e_wait_text 20 "welcome_$case" "$bx0" "$by1+6*s" "$bx1" "$by1+40*s" "$sentence" || fail "no '$sentence'"
  e2e_control "$case" false
done
[ "$(e2e_requests oauth2.googleapis.com /token)" -eq "$tokens" ] || fail "a refused or forged answer was exchanged"

# A browser that never answers: closing the window while waiting ends the launcher at once.
touch "$E2E_LOG/browser.off"
e2e_click "($bx0+$bx1)/2" "($by0+$by1)/2"
e2e_wait 20 grep -q '^open https://accounts.google.com' "$E2E_LOG/xdg-open.log" || fail "Sign in did not open the browser"
e2e_shot waiting_for_browser
[ "$(e2e_bbox "$SHOT" "13 110 253" 2 0 0 "W*0.4" H)" = none ] || fail "not waiting for the browser"
closed=$(date +%s.%N)
close_window "$WINDOW"
# A launcher that waited for the browser would never end; the time the load stretches is reported.
e2e_wait_exit 60 || fail "the launcher did not end after closing while waiting for the browser"
echo "close while waiting for the browser: the launcher ended $(e2e_seconds "$closed") s after"
[ "$E2E_EXIT" -eq 0 ] || fail "closing while waiting ended the launcher with $E2E_EXIT"
e2e_pass
