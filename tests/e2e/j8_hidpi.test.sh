#!/usr/bin/env bash
# Journey 8, a high-density display: with Xft.dpi at 144 the host scales by 1.5, the window
# opens at 1.5 times its size, and every screen lays out in scaled pixels: the clicks land
# where the layouts put the controls, times the scale, also after the window is resized.
source "$(dirname "$0")/lib/e2e_env.sh"
e2e_needs restore sidebar projects installs install
E2E_SCREEN=2400x1600x24
e2e_world
xprop -root -f RESOURCE_MANAGER 8s -set RESOURCE_MANAGER "Xft.dpi:	144
"

e2e_config
project=$(e2e_make_project Dense)
e2e_settings stored-refresh-token "Ada Lovelace" ada@example.test "$project"
e2e_preinstall_editor 1.0.0
e2e_control offline true
e2e_start_launcher
[ "$E2E_SCALE" = 1.5 ] || fail "the display's scale reads as $E2E_SCALE"
[ "$WIN_W" -eq 1770 ] && [ "$WIN_H" -eq 1110 ] || fail "the window is ${WIN_W}x$WIN_H at scale 1.5"

e2e_move_away
e2e_shot projects_scaled
e2e_expect_rgb "$SHOT" "190*s" "20*s" "42 42 44" 3                   # Projects entry selected
e2e_expect_rgb "$SHOT" "194*s" "H-100*s" "26 26 28" 3                # account card
read -r nx0 ny0 nx1 ny1 _ <<<"$(e2e_bbox "$SHOT" "13 110 253" 2 "W/2" 0 W "100*s")"
[ "$nx0" != none ] || fail "no + New project button in the top bar"
e2e_near "$nx0" "W-24*s-126*s" || fail "+ New project starts at x $nx0"
e2e_near "$((nx1 - nx0))" "126*s" || fail "+ New project is $((nx1 - nx0)) wide"
e2e_near "$ny0" "16*s" || fail "+ New project starts at y $ny0"
e2e_near "$((ny1 - ny0))" "32*s" || fail "+ New project is $((ny1 - ny0)) high"
e2e_expect_text "$SHOT" "280*s" "$(e2e_row_y 0)-20*s" "700*s" "$(e2e_row_y 0)-2*s" "Dense"

e2e_click_row 0
e2e_wait 10 e2e_editor_started 1 || fail "a click on the scaled row did not open the project"
grep -qxF "arg=$project" "$E2E_LOG/editor.log" || fail "editor arguments: $(cat "$E2E_LOG/editor.log")"
e2e_stop_editors

# A smaller window: the page follows its new size in the next frames.
xdotool windowsize "$WINDOW" 1400 900
window_geometry() { xdotool getwindowgeometry "$WINDOW" | sed -n 's/.*Geometry: //p'; }
window_wide() { [ "$(window_geometry | cut -dx -f1)" = "$1" ]; }
e2e_wait 10 window_wide 1400 || fail "the window did not take the new size: $(window_geometry)"
geometry=$(window_geometry)
WIN_W=${geometry%x*}
WIN_H=${geometry#*x}
e2e_move_away
# The next frames lay the page out anew: as soon on a busy machine as the launcher draws them.
resized() {
  e2e_shot projects_resized
  read -r nx0 _ nx1 _ _ <<<"$(e2e_bbox "$SHOT" "13 110 253" 2 "W/2" 0 W "100*s")"
  [ "$nx0" != none ] && e2e_near "$nx0" "W-24*s-126*s"
}
e2e_wait 20 resized || fail "after the resize + New project starts at x $nx0"
e2e_expect_rgb "$SHOT" "194*s" "H-100*s" "26 26 28" 3                # the account card moved with the foot

e2e_go_installs
e2e_wait_status 30 installs_scaled "Installed (offline mode)" || fail "the scaled Installs page does not show offline mode"
e2e_rects "$SHOT" "144*s" "W-200*s" "160*s" W "210*s" | grep . >/dev/null || fail "no Check for updates button at its scaled place"
e2e_close_launcher
e2e_pass
