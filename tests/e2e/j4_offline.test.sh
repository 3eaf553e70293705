#!/usr/bin/env bash
# Journey 4, offline: the update server unreachable (refused, or behind a certificate that is
# not to be trusted) with an editor present gives "Installed (offline mode)"; without one, the failure sentence and "Retry", which installs once the
# server answers again; with no update server, Idle, and the system's own /bin/editor is no editor.
source "$(dirname "$0")/lib/e2e_env.sh"
e2e_needs restore sidebar installs install
e2e_world

e2e_config
e2e_settings stored-refresh-token "Ada Lovelace" ada@example.test
e2e_preinstall_editor 0.9.0
e2e_control offline true
e2e_start_launcher
e2e_go_installs
e2e_wait_status 30 installs_offline "Installed (offline mode)" || fail "offline mode is not shown"
e2e_expect_text "$SHOT" "${E2E_INSTALLS_BADGE[@]}" "Installed (offline)"
e2e_expect_text "$SHOT" "${E2E_INSTALLS_NAME[@]}" "ORVO 0.9.0"
e2e_rects "$SHOT" "144*s" "W-200*s" "160*s" W "210*s" | grep . >/dev/null || fail "no Check for updates button"

# An update server whose certificate is not to be trusted is no update server: a self-signed
# one, and one of the trusted CA that names another host. Nothing is asked of either.
e2e_control offline false
e2e_publish 1.0.0 >/dev/null
for cert in untrusted wrong_name; do
  e2e_control host_certs "{\"updates.orvo.test\": \"$cert\"}"
  before=$(e2e_requests updates.orvo.test /manifest)
  e2e_click_check_updates
  # The page showed offline mode before the click too: first the check must reach the server.
  e2e_wait 30 grep -q "^updates.orvo.test $cert\$" "$E2E_SRV/tls.log" ||
    fail "the check never reached the server with the $cert certificate"
  e2e_wait_status 30 "installs_cert_$cert" "Installed (offline mode)" || fail "a $cert certificate was not refused"
  [ "$(e2e_requests updates.orvo.test /manifest)" = "$before" ] || fail "a manifest was fetched over a $cert certificate"
  [ "$(cat "$LAUNCHER_DIR/editor/.zelvan_editor_version")" = 0.9.0 ] || fail "an install ran over a $cert certificate"
done
e2e_control host_certs '{}' offline true
e2e_close_launcher

# No editor at all: the failure, and Retry.
rm -rf "$LAUNCHER_DIR/editor"
e2e_start_launcher
e2e_go_installs
e2e_wait_status 30 installs_offline_failed "Could not reach the update server, and no local editor was found." ||
  fail "the offline failure is not shown"
e2e_expect_text "$SHOT" "${E2E_INSTALLS_BADGE[@]}" "Failed"
e2e_expect_text "$SHOT" "${E2E_INSTALLS_LOCATION[@]}" "No editor installation found."
[ "$(e2e_bbox "$SHOT" "239 160 60" 24 "${E2E_INSTALLS_LOCATION[@]}")" != none ] || fail "the location line is not amber"
e2e_rects "$SHOT" "94*s" "W-200*s" "160*s" W "210*s" | grep . >/dev/null || fail "no Retry button"
e2e_control offline false
e2e_publish 1.0.0 --encrypt >/dev/null
e2e_click_retry
e2e_wait 60 test -f "$LAUNCHER_DIR/editor/.zelvan_editor_version" || fail "Retry did not install the editor"
manifests=$(e2e_requests updates.orvo.test /manifest)
e2e_wait_status 20 installs_after_retry "Installed version 1.0.0" || fail "Installed is not shown after Retry"
e2e_expect_text "$SHOT" "${E2E_INSTALLS_BADGE[@]}" "Installed"
e2e_close_launcher

# No update server configured and no editor: Idle, with the reason. The launcher now lies in a
# folder just below /tmp, so its grandparent is "/", whose bin/editor (the system's text editor,
# or a stand-in where the machine has none) must not count as the ORVO Editor.
if [ ! -f /bin/editor ]; then
  mkdir -p "$TEST_TMP/system_bin"
  printf '#!/bin/sh\n' >"$TEST_TMP/system_bin/editor"
  chmod 755 "$TEST_TMP/system_bin/editor"
  mount -t overlay overlay -o "lowerdir=$TEST_TMP/system_bin:$(readlink -f /bin)" "$(readlink -f /bin)" ||
    fail "could not put an editor into /bin in this namespace"
fi
LAUNCHER_DIR=$(mktemp -d /tmp/orvo_top_XXXXXX)
CLEANUP_PATHS+=("$LAUNCHER_DIR")
make_launcher_dir "$LAUNCHER_DIR"
chown -R "$TEST_UID" "$LAUNCHER_DIR"
e2e_config ""
e2e_start_launcher
e2e_go_installs
e2e_wait_status 20 installs_idle_not_configured "Update server not configured. Please locate or install ORVO Editor." ||
  fail "the unconfigured update server is not shown"
e2e_expect_text "$SHOT" "${E2E_INSTALLS_BADGE[@]}" "Idle"
e2e_expect_text "$SHOT" "${E2E_INSTALLS_LOCATION[@]}" "No editor installation found."
[ "$(e2e_requests updates.orvo.test /manifest)" -eq "$manifests" ] || fail "an unconfigured launcher asked for a manifest"
e2e_close_launcher
e2e_pass
