#include "ui/installs_screen.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "app/app_state.h"
#include "projects/editor_launch.h"
#include "ui/widgets.h"
#include "uihost/ui_theme.h"
#include "updater/editor_updater.h"

namespace {

constexpr ImU32 kPageFill = 0xFF1A1A1A;
constexpr ImU32 kTitle = 0xFFF5F5F5;
constexpr ImU32 kCardFill = 0xFF222020;
constexpr ImU32 kCardBorder = 0xFF302E2E;
constexpr ImU32 kDriveIcon = 0xFFC8C8C8;
constexpr ImU32 kLocationFound = 0xFFA0A0A0;
constexpr ImU32 kLocationMissing = 0xFF3CA0EF;
constexpr ImU32 kStatusLine = 0xFF828282;
constexpr ImU32 kByteText = 0xFFA0A0A0;
constexpr ImU32 kSpinnerText = 0xFFB4B4B4;
// The action buttons take each other's place: a double click on one must not reach the next.
constexpr float kButtonSettleSeconds = 0.5f;

float px(float n) {
  return uiThemePx(n);
}

void drawText(ImDrawList* list, float size, const ImVec2& pos, ImU32 colour, const std::string& text) {
  ImFont* font = uiThemeFont(size);
  list->AddText(font, font->LegacySize, pos, colour, text.c_str());
}

struct Badge {
  const char* text;
  UiThemeBadgeStatus status;
};

Badge badgeFor(UpdateState state) {
  switch (state) {
    case UpdateState::Checking:
      return {"Checking", UiThemeBadgeStatus_InProgress};
    case UpdateState::Downloading:
      return {"Downloading", UiThemeBadgeStatus_InProgress};
    case UpdateState::Installing:
      return {"Installing", UiThemeBadgeStatus_InProgress};
    case UpdateState::Installed:
      return {"Installed", UiThemeBadgeStatus_Success};
    case UpdateState::InstalledOffline:
      return {"Installed (offline)", UiThemeBadgeStatus_Neutral};
    case UpdateState::Failed:
      return {"Failed", UiThemeBadgeStatus_Failure};
    case UpdateState::Idle:
      break;
  }
  return {"Idle", UiThemeBadgeStatus_Neutral};
}

void drawProgressRow(ImDrawList* list, EditorUpdater& updater, const ImRect& card, float rowTop,
                     int64_t received, int64_t expected) {
  const ImVec2 trackMin(card.Min.x + px(54), rowTop + px(4));
  const ImVec2 trackMax(card.Max.x - px(160), rowTop + px(12));
  const float trackHeight = trackMax.y - trackMin.y;
  uiThemeRoundedPanel(list, trackMin, trackMax, uiThemeBorderStrong(), trackHeight * 0.5f);
  const float fraction = expected > 0 ? static_cast<float>(received) / static_cast<float>(expected) : 0.0f;
  if (fraction > 0.001f) {
    const float width = std::max((trackMax.x - trackMin.x) * std::min(fraction, 1.0f), trackHeight);
    uiThemeRoundedPanel(list, trackMin, ImVec2(trackMin.x + width, trackMax.y), uiThemeForeground(),
                        trackHeight * 0.5f);
  }
  const std::string bytes =
      formatByteSize(received) + " / " + (expected > 0 ? formatByteSize(expected) : std::string("unknown"));
  drawText(list, 12, ImVec2(card.Min.x + px(54), rowTop + px(16)), kByteText, bytes);
  if (drawSecondaryButton("Cancel download", ImVec2(card.Max.x - px(152), rowTop), ImVec2(px(136), px(30)),
                          13, kButtonSettleSeconds))
    updater.requestCancel();
}

void drawSpinnerRow(ImDrawList* list, const ImRect& card, float rowTop, const char* text) {
  // The page's clock lives in the window's storage: it runs only while a spinner shows, so each
  // busy phase resumes the spinner where the last one stopped.
  float& clock = *ImGui::GetStateStorage()->GetFloatRef(ImGui::GetID("##installs_spinner_clock"), 0.0f);
  clock += ImGui::GetIO().DeltaTime;
  uiThemeSpinner(list, ImVec2(card.Max.x - px(130), rowTop + px(15)), px(12), clock,
                 uiThemeMutedForeground());
  drawText(list, 12, ImVec2(card.Max.x - px(106), rowTop + px(8)), kSpinnerText, text);
}

}  // namespace

void drawInstallsScreen(AppState& app) {
  EditorUpdater& updater = *app.updater;
  ImDrawList* list = ImGui::GetWindowDrawList();
  const ImVec2 pos = ImGui::GetWindowPos();
  const ImVec2 size = ImGui::GetWindowSize();
  const float sidebar = px(210);

  list->AddRectFilled(ImVec2(pos.x + sidebar, pos.y), ImVec2(pos.x + size.x, pos.y + size.y), kPageFill,
                      uiThemeWindowRounding(), ImDrawFlags_RoundCornersBottomRight);
  ImFont* titleFont = uiThemeFont(22);
  list->AddText(titleFont, titleFont->LegacySize, ImVec2(pos.x + sidebar + px(24), pos.y + px(16) + px(2)),
                kTitle, "Installs");

  const ImVec2 cardMin(pos.x + sidebar + px(24), pos.y + px(16) + px(48));
  const ImRect card(cardMin, ImVec2(cardMin.x + (size.x - sidebar) - px(48), cardMin.y + px(148)));
  list->AddRectFilled(card.Min, card.Max, kCardFill, px(6));
  list->AddRect(card.Min, card.Max, kCardBorder, px(6), 0, 1.0f);

  const std::string version = installedEditorVersion();
  const std::string name = version.empty() ? std::string("ORVO Editor") : "ORVO " + version;
  drawDriveIcon(list, ImVec2(card.Min.x + px(20), card.Min.y + px(22)), kDriveIcon, px(22));
  drawText(list, 16, ImVec2(card.Min.x + px(54), card.Min.y + px(16)), kTitle, name);

  const UpdateState state = updater.state();
  const std::string message = updater.statusMessage();
  const int64_t received = static_cast<int64_t>(updater.bytesReceived());
  const int64_t expected = static_cast<int64_t>(updater.bytesTotal());

  const Badge badge = badgeFor(state);
  uiThemeBadge("install_badge", list,
               ImVec2(card.Max.x - px(20) - uiThemeBadgeWidth(badge.text), card.Min.y + px(16)), badge.text,
               badge.status);

  const std::string editor = resolveEditorExecutable(app);
  drawText(list, 12, ImVec2(card.Min.x + px(54), card.Min.y + px(44)),
           editor.empty() ? kLocationMissing : kLocationFound,
           editor.empty() ? std::string("No editor installation found.") : "Location: " + editor);
  drawText(list, 12, ImVec2(card.Min.x + px(54), card.Min.y + px(66)), kStatusLine,
           message.empty() ? std::string("Channel: Stable - Linux x86_64") : message);

  const float rowTop = card.Max.y - px(44);
  switch (state) {
    case UpdateState::Downloading:
      drawProgressRow(list, updater, card, rowTop, received, expected);
      break;
    case UpdateState::Checking:
      drawSpinnerRow(list, card, rowTop, "Checking...");
      break;
    case UpdateState::Installing:
      drawSpinnerRow(list, card, rowTop, "Installing...");
      break;
    case UpdateState::Failed:
      if (drawSecondaryButton("Retry", ImVec2(card.Max.x - px(110), rowTop), ImVec2(px(94), px(30)), 13,
                              kButtonSettleSeconds))
        updater.startUpdateCheck();
      break;
    case UpdateState::Idle:
    case UpdateState::Installed:
    case UpdateState::InstalledOffline:
      if (drawSecondaryButton("Check for updates", ImVec2(card.Max.x - px(160), rowTop),
                              ImVec2(px(144), px(30)), 13, kButtonSettleSeconds))
        updater.startUpdateCheck();
      break;
  }
}
