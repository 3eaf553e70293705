#!/usr/bin/env bash
# Journey 7, hostile inputs end to end: impostor token and package hosts (certificates that are
# not to be trusted), a zip-slip package (a ".." entry, an absolute entry), a tampered container,
# a manifest that names an http:// package, a manifest answer that redirects, and a digest the
# auth server does not call genuine. Each ends Failed with its sentence and writes nothing
# outside the staging folder; a project parked for the install reports the failure in "Cannot
# open project", as it does when a genuine package brings no editor program.
source "$(dirname "$0")/lib/e2e_env.sh"
e2e_needs restore sidebar projects installs install popups
e2e_world

e2e_config
project=$(e2e_make_project Target)
e2e_settings stored-refresh-token "Ada Lovelace" ada@example.test "$project"

nothing_escaped() {
  local found
  # Other tests add and remove files in a shared /tmp as find walks it; what vanished is no fault.
  found=$({ find "$TEST_TMP" /tmp "$TEST_HOME" -name 'escaped_e2e*' 2>/dev/null || true; } | head -n 3)
  [ -z "$found" ] || fail "$1: files were written outside the staging folder: $found"
  [ ! -e "$LAUNCHER_DIR/editor" ] || fail "$1: an editor folder was installed"
  [ -z "$(find "$LAUNCHER_DIR/editor-staging" -type f 2>/dev/null)" ] || fail "$1: files were left in staging"
  [ "$(e2e_editor_starts)" -eq 0 ] || fail "$1: an editor was started"
}

# An impostor token endpoint (a certificate of the trusted CA for another host): the stored
# session is not handed to it, the restore fails as unreachable and the token stays stored.
e2e_control host_certs '{"oauth2.googleapis.com": "wrong_name"}'
e2e_start_launcher
e2e_wait_sign_in 30 impostor_token_endpoint || fail "the restore through an impostor token endpoint did not fail"
grep -q "^oauth2.googleapis.com wrong_name$" "$E2E_SRV/tls.log" || fail "the restore never reached the impostor"
[ "$(e2e_requests oauth2.googleapis.com /token)" -eq 0 ] || fail "the refresh token was sent to an impostor"
sleep 0.5
e2e_shot impostor_refused
e2e_expect_text "$SHOT" "$bx0" "$by1+6*s" "$bx1" "$by1+40*s" "Could not reach Google's token endpoint. Check your connection."
[ "$(e2e_setting 'auth%2FrefreshToken')" = stored-refresh-token ] || fail "the stored token was dropped"
e2e_close_launcher
e2e_control host_certs '{}'

# Zip slip through "..": the first run, started by the first signed-in frame.
e2e_publish 1.0.1 --evil "../escaped_e2e_dotdot.txt" >/dev/null
e2e_start_launcher
e2e_go_installs
e2e_wait_status 30 installs_zip_slip "Extracting the editor package failed." || fail "zip slip not refused"
e2e_expect_text "$SHOT" "${E2E_INSTALLS_BADGE[@]}" "Failed"
nothing_escaped "zip slip"
[ ! -e "$LAUNCHER_DIR/editor-staging" ] || fail "the staging folder stayed after a refused entry"

# An absolute entry name, while a project waits for the install: the popup tells why.
e2e_publish 1.0.2 --evil "/tmp/escaped_e2e_absolute.txt" >/dev/null
e2e_go_projects
e2e_click_row 0
e2e_wait 30 e2e_requests_at_least updates.orvo.test /manifest 2 || fail "the parked project started no install"
e2e_wait_text 30 cannot_open_popup "${E2E_POPUP[@]}" "Extracting the editor package failed." ||
  fail "the parked project's failure was not reported in a popup"
e2e_expect_text "$SHOT" "${E2E_POPUP[@]}" "Cannot open project"
nothing_escaped "absolute entry"
e2e_close_popup
e2e_shot popup_closed
[ "$(E2E_RECT_TOL=4 e2e_rects "$SHOT" "120*s" "W/2-300*s" "H/2-150*s" "W/2+300*s" "H/2+150*s")" = "" ] || fail "OK did not close the popup"

# A tampered container.
e2e_publish 1.0.3 --encrypt --tamper >/dev/null
e2e_go_installs
e2e_click_retry
e2e_wait_status 30 installs_tampered \
  "Decrypting editor package failed: Authentication tag verification failed: artifact has been tampered with or key is invalid." ||
  fail "the tampered container was not refused"
nothing_escaped "tampered container"
[ -e "$LAUNCHER_DIR/downloads/zelvan_editor_1.0.3.zip" ] || fail "the downloaded package was not kept"

# A package address over plain http.
E2E_PKG_URL="http://packages.orvo.test/packages/orvo-editor-1.0.4.pkg" e2e_publish 1.0.4 >/dev/null
before=$(e2e_requests packages.orvo.test /packages/orvo-editor-1.0.4.pkg)
e2e_click_retry
e2e_wait_status 30 installs_http_url "The package URL in the update manifest must be a valid https:// URL." ||
  fail "the http:// package address was not refused"
[ "$(e2e_requests packages.orvo.test /packages/orvo-editor-1.0.4.pkg)" = "$before" ] || fail "the http:// package was fetched"
nothing_escaped "http package address"

# A package host that is an impostor: nothing is downloaded from it.
e2e_publish 1.0.45 >/dev/null
e2e_control host_certs '{"packages.orvo.test": "untrusted"}'
e2e_click_retry
e2e_wait_status 30 installs_impostor_package_host "The editor package download failed." ||
  fail "a package host with an untrusted certificate was not refused"
grep -q "^packages.orvo.test untrusted$" "$E2E_SRV/tls.log" || fail "the download never reached the impostor"
[ "$(e2e_requests packages.orvo.test /packages/orvo-editor-1.0.45.pkg)" -eq 0 ] || fail "a package was fetched from an impostor"
nothing_escaped "impostor package host"
e2e_control host_certs '{}'

# A manifest answer that redirects elsewhere is not followed.
e2e_control manifest_status 302
e2e_click_retry
e2e_wait_status 30 installs_manifest_redirect "The update server returned HTTP 302 for the manifest." ||
  fail "a redirected manifest was not refused"
e2e_control manifest_status 0
nothing_escaped "redirected manifest"

# A digest the auth server does not call genuine.
E2E_NOT_GENUINE=1 e2e_publish 1.0.5 --encrypt >/dev/null
e2e_click_retry
e2e_wait_status 30 installs_not_genuine \
  "Artifact authenticity verification failed: Artifact SHA-256 verification failed: binary is not genuine." ||
  fail "a non-genuine package was not refused"
e2e_wait 5 e2e_requests_at_least updates.orvo.test /v1/artifacts/verify 1 || fail "no verification request"
nothing_escaped "non-genuine digest"
[ ! -e "$LAUNCHER_DIR/downloads/zelvan_editor_1.0.5.zip.decrypted.zip" ] || fail "the decrypted temporary was left"

# A genuine package with nothing to run in it, while a project waits: reported, not parked forever.
e2e_publish 1.0.6 --no-editor >/dev/null
e2e_go_projects
e2e_click_row 0
e2e_wait 30 test -f "$LAUNCHER_DIR/editor/.zelvan_editor_version" || fail "the package without an editor was not installed"
e2e_wait_text 20 installed_without_editor "${E2E_POPUP[@]}" "Cannot open project" ||
  fail "an install without an editor left the project parked without a word"
[ "$(e2e_editor_starts)" -eq 0 ] || fail "an editor was started"
e2e_close_launcher
e2e_pass
