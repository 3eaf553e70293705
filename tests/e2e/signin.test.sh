#!/usr/bin/env bash
# Google sign-in on the real launcher: "Sign in" opens the browser on the authorization page,
# the browser's redirect reaches the loopback listener, the code is exchanged with its PKCE
# verifier, and the launcher shows the signed-in layout and stores the refresh token, name and
# e-mail. Requests no browser would send (a 1 GiB chunked POST, a 1 MiB header line, negative
# chunk sizes) neither grow the launcher's memory nor break the sign-in that follows. No sign-in
# leaves an unreaped browser process behind. A second start restores the session silently;
# "Sign out" forgets it.
source "$(dirname "$0")/lib/e2e_env.sh"
e2e_needs welcome signin restore sidebar
e2e_world
e2e_config

# The launcher process itself, found by its name.
launcher_process() {
  local comm
  for comm in /proc/[0-9]*/comm; do
    if [ "$(cat "$comm" 2>/dev/null)" = "ORVO Launcher" ]; then
      comm=${comm#/proc/}
      echo "${comm%/comm}"
      return 0
    fi
  done
  return 1
}

# Children of the launcher that ended and were never waited for.
launcher_zombies() {
  local n=0 stat launcher
  launcher=$(launcher_process) || fail "no launcher process"
  for stat in /proc/[0-9]*/stat; do
    read -r _ _ state ppid _ <"$stat" 2>/dev/null || continue
    [ "$state" = Z ] && [ "$ppid" = "$launcher" ] && n=$((n + 1))
  done
  echo "$n"
}

# The "Sign in" button: the blue rectangle in the left panel ("none" when not shown).
sign_in_button() { e2e_bbox "$1" "13 110 253" 2 0 0 "W*0.4" H; }

# --- A first start: the welcome screen; a cancelled attempt, then a completed one.
e2e_start_launcher
e2e_shot welcome
read -r bx0 by0 bx1 by1 _ <<<"$(sign_in_button "$SHOT")"
[ "$bx0" != none ] || fail "no Sign in button on the welcome screen"

touch "$E2E_LOG/browser.hold"
e2e_click "($bx0+$bx1)/2" "($by0+$by1)/2"
e2e_wait 20 grep -q '^open https://accounts.google.com/o/oauth2/v2/auth?client_id=' "$E2E_LOG/xdg-open.log" ||
  fail "Sign in did not open the browser"
e2e_shot waiting; waiting=$SHOT
[ "$(sign_in_button "$SHOT")" = none ] || fail "the Sign in button is still shown while waiting"
# "Cancel" lies under the waiting text: the only dark button of the panel (320 px with its border).
read -r cx cy cw ch _ <<<"$(e2e_rects "$SHOT" "320*s-2" 0 "$by0" "W*0.4" H | grep ' 32 32 32$' | head -n 1)"
[ -n "$cx" ] || fail "no Cancel button while waiting"
e2e_click "$cx+$cw/2" "$cy+$ch/2"
# Only once the launcher has taken the Cancel (the Sign in button is back) does the browser go on.
cancelled=""
for _ in $(seq 1 60); do
  e2e_shot cancel_taken
  if [ "$(sign_in_button "$SHOT")" != none ]; then cancelled=yes; break; fi
  sleep 0.3
done
[ -n "$cancelled" ] || fail "Cancel did not bring back the Sign in button"
rm -f "$E2E_LOG/browser.hold"
e2e_expect_text "$waiting" "$bx0" "$by0" "$bx1" "$by0+120" "Finish signing in in your browser."
# The browser answers the abandoned attempt's listener, which is closed: nothing may come of it.
e2e_wait 30 grep -q '^browser ' "$E2E_LOG/xdg-open.log" || fail "the held browser never finished"
grep -q '^browser ok' "$E2E_LOG/xdg-open.log" && fail "the cancelled attempt's listener still answered"
sleep 1
e2e_shot cancelled
[ "$(sign_in_button "$SHOT")" != none ] || fail "Cancel did not bring back the Sign in button"
[ "$(e2e_requests oauth2.googleapis.com /token)" -eq 0 ] || fail "a cancelled attempt exchanged a code"
[ -z "$(e2e_setting 'auth%2FrefreshToken')" ] || fail "a cancelled attempt stored a token"

e2e_reset_log xdg-open.log
touch "$E2E_LOG/browser.hold"
e2e_click "($bx0+$bx1)/2" "($by0+$by1)/2"
e2e_wait 20 grep -q '^open https://' "$E2E_LOG/xdg-open.log" || fail "the second Sign in did not open the browser"
port=$(sed -n 's/.*redirect_uri=http%3A%2F%2F127.0.0.1%3A\([0-9]*\)&.*/\1/p' "$E2E_LOG/xdg-open.log" | head -n 1)
[ -n "$port" ] || fail "no listener port in $(cat "$E2E_LOG/xdg-open.log")"
launcher=$(launcher_process) || fail "no launcher process"
echo 5 >"/proc/$launcher/clear_refs"  # the peak resident size counts from here
rss_before=$(sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$launcher/status")
"$E2E_PY" "$(dirname "$0")/signin_hostile_requests.py" "$port" >"$E2E_LOG/hostile.log" 2>&1 ||
  fail "the hostile requests could not be sent: $(cat "$E2E_LOG/hostile.log")"
peak=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$launcher/status")
[ -n "$rss_before" ] && [ -n "$peak" ] || fail "could not read the launcher's memory"
e2e_log "hostile requests: $(tr '\n' ';' <"$E2E_LOG/hostile.log") memory $rss_before kB -> peak $peak kB"
kill -0 "$launcher" || fail "the launcher died from the hostile requests"
[ $((peak - rss_before)) -lt 16384 ] || fail "the launcher grew by $((peak - rss_before)) kB on hostile requests"
grep -q '^chunked-post .*status=HTTP/1.1 413' "$E2E_LOG/hostile.log" || fail "the chunked POST: $(head -n 1 "$E2E_LOG/hostile.log")"
rm -f "$E2E_LOG/browser.hold"
e2e_wait 30 grep -q '^browser ok' "$E2E_LOG/xdg-open.log" ||
  fail "the browser round trip failed: $(cat "$E2E_LOG/xdg-open.log")"
grep -q '^browser fail' "$E2E_LOG/xdg-open.log" && fail "$(grep '^browser fail' "$E2E_LOG/xdg-open.log")"
e2e_wait 30 e2e_setting_set 'auth%2FrefreshToken' || fail "no refresh token was stored"
token=$(e2e_setting 'auth%2FrefreshToken')
case "$token" in refresh-*) ;; *) fail "the stored token is '$token'" ;; esac
[ "$(e2e_setting 'auth%2FuserName')" = "Ada Lovelace" ] || fail "stored name: $(e2e_setting 'auth%2FuserName')"
[ "$(e2e_setting 'auth%2FuserEmail')" = "ada@example.test" ] || fail "stored e-mail: $(e2e_setting 'auth%2FuserEmail')"
# The server accepted the exchange only with the verifier of the URL's challenge and its redirect URI.
[ "$(e2e_requests oauth2.googleapis.com /token)" -eq 1 ] || fail "expected one token request"
[ "$(e2e_requests openidconnect.googleapis.com /v1/userinfo)" -eq 1 ] || fail "expected one userinfo request"
grep -q '"body": "client_id=[^"]*&client_secret=[^"]*&code=[^"]*&code_verifier=[^"]*&grant_type=authorization_code&redirect_uri=http%3A%2F%2F127.0.0.1%3A[0-9]*"' \
  "$E2E_SRV/requests.jsonl" || fail "the code exchange form: $(grep authorization_code "$E2E_SRV/requests.jsonl" | head -n 1)"
sleep 0.5
e2e_move_away
e2e_shot signed_in
[ "$(sign_in_button "$SHOT")" = none ] || fail "the welcome screen is still shown after the sign-in"
e2e_expect_rgb "$SHOT" "194*s" "H-100*s" "26 26 28" 3                # account card
e2e_expect_text "$SHOT" "54*s" "H-104*s" "190*s" "H-82*s" "Ada Lovelace"
e2e_expect_text "$SHOT" "54*s" "H-88*s" "190*s" "H-66*s" "ada@example.test"
[ "$(launcher_zombies)" -eq 0 ] || fail "the launcher has $(launcher_zombies) unreaped children"
e2e_close_launcher

# --- A second start: signed in from the first frame, the stored token refreshed, kept.
e2e_control hold_refresh true
e2e_start_launcher
e2e_shot restoring
e2e_control hold_refresh false
[ "$(sign_in_button "$SHOT")" = none ] || fail "the welcome screen showed during the silent restore"
e2e_expect_text "$SHOT" "54*s" "H-104*s" "190*s" "H-82*s" "Ada Lovelace"
e2e_wait 20 e2e_requests_at_least openidconnect.googleapis.com /v1/userinfo 2 || fail "the restore did not finish"
grep -q "\"body\": \"client_id=[^\"]*&client_secret=[^\"]*&grant_type=refresh_token&refresh_token=$token\"" \
  "$E2E_SRV/requests.jsonl" || fail "the restore did not present the stored token"
[ "$(grep -c '^open ' "$E2E_LOG/xdg-open.log")" -eq 1 ] || fail "the restore opened a browser"
sleep 0.5
[ "$(e2e_setting 'auth%2FrefreshToken')" = "$token" ] || fail "the restore replaced the stored token"

# --- "Sign out" at the foot of the account card forgets the stored sign-in.
e2e_click "105*s" "H-38*s"
e2e_wait 10 e2e_setting_is 'auth%2FrefreshToken' "" || fail "Sign out kept the refresh token"
grep -q '^auth%2FuserName=' "$SETTINGS_FILE" && fail "Sign out kept the name"
sleep 0.5
e2e_shot signed_out
[ "$(sign_in_button "$SHOT")" != none ] || fail "Sign out did not bring back the welcome screen"
e2e_close_launcher
e2e_pass
