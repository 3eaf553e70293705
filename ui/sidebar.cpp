#include "ui/sidebar.h"

#include <cfloat>

#include "app/app_state.h"
#include "auth/auth_session.h"
#include "ui/widgets.h"
#include "uihost/ui_theme.h"

namespace {

enum SidebarIcon : int32_t { SidebarIcon_Folder = 1, SidebarIcon_Drive = 3 };

struct SidebarItem {
  const char* label;  // also the entry's identifier
  LauncherPage page;
  int32_t icon;
};

constexpr SidebarItem kNavigation[] = {
    {"Projects", Projects, SidebarIcon_Folder},
    {"Installs", Installs, SidebarIcon_Drive},
};

constexpr ImU32 kSelectedFill = 0xFF2C2A2A;
constexpr ImU32 kHoveredFill = 0xFF201E1E;
constexpr ImU32 kSelectedInk = 0xFFFFFFFF;
constexpr ImU32 kIconInk = 0xFFA0A0A0;
constexpr ImU32 kLabelInk = 0xFFB4B4B4;
constexpr ImU32 kCardFill = 0xFF1C1A1A;
constexpr ImU32 kCardBorder = 0xFF282626;
constexpr ImU32 kAvatarFill = 0xFF88940D;
constexpr ImU32 kInitialsInk = 0xFFFFFFFF;
constexpr ImU32 kNameInk = 0xFFF0F0F0;
constexpr ImU32 kEmailInk = 0xFF969696;

void drawNavigation(AppState& app, ImDrawList* list, const ImVec2& pos) {
  float y = pos.y + uiThemePx(16);
  for (const SidebarItem& item : kNavigation) {
    const ImRect rect(ImVec2(pos.x + uiThemePx(12), y),
                      ImVec2(pos.x + uiThemePx(kSidebarWidth) - uiThemePx(12), y + uiThemePx(36)));
    const LauncherPage current = app.page;
    const ImGuiID id = ImGui::GetID(item.label);
    if (ImGui::ItemAdd(rect, id, nullptr, 0)) {
      bool hovered = false;
      bool held = false;
      if (ImGui::ButtonBehavior(rect, id, &hovered, &held, 0)) app.page = item.page;
      ImGui::KeepAliveID(id);

      // The highlight follows the page as it was before this frame's click.
      const bool selected = current == item.page;
      if (selected)
        list->AddRectFilled(rect.Min, rect.Max, kSelectedFill, uiThemePx(6), ImDrawFlags_RoundCornersAll);
      else if (hovered)
        list->AddRectFilled(rect.Min, rect.Max, kHoveredFill, uiThemePx(6), ImDrawFlags_RoundCornersAll);

      const ImVec2 iconPos(rect.Min.x + uiThemePx(10), rect.Min.y + uiThemePx(10));
      const ImU32 iconInk = selected ? kSelectedInk : kIconInk;
      if (item.icon == SidebarIcon_Folder) drawFolderIcon(list, iconPos, iconInk, uiThemePx(16));
      if (item.icon == SidebarIcon_Drive) drawDriveIcon(list, iconPos, iconInk, uiThemePx(16));

      ImFont* font = uiThemeFont(13.5f);
      list->AddText(
          font, font->LegacySize,
          ImVec2(rect.Min.x + uiThemePx(36), rect.Min.y + (rect.GetHeight() - font->LegacySize) / 2),
          selected ? kSelectedInk : kLabelInk, item.label);
    }
    y += uiThemePx(42);
  }
}

void drawAccountCard(AppState& app, ImDrawList* list, const ImVec2& pos, const ImVec2& size) {
  AuthSession& session = *app.session;
  const ImRect card(ImVec2(pos.x + uiThemePx(12), pos.y + size.y - uiThemePx(96) - uiThemePx(12)),
                    ImVec2(pos.x + uiThemePx(kSidebarWidth) - uiThemePx(12), pos.y + size.y - uiThemePx(12)));
  list->AddRectFilled(card.Min, card.Max, kCardFill, uiThemePx(6), ImDrawFlags_RoundCornersAll);
  list->AddRect(card.Min, card.Max, kCardBorder, uiThemePx(6), ImDrawFlags_RoundCornersAll, 1.0f);

  const std::string name = session.userName.empty() ? "Developer" : session.userName;
  const std::string initials = accountInitials(name);

  const ImVec2 centre(card.Min.x + uiThemePx(22), card.Min.y + uiThemePx(24));
  list->AddCircleFilled(centre, uiThemePx(13), kAvatarFill, 0);
  ImFont* initialsFont = uiThemeFont(11);
  const ImVec2 initialsSize =
      initialsFont->CalcTextSizeA(initialsFont->LegacySize, FLT_MAX, 0, initials.c_str());
  list->AddText(initialsFont, initialsFont->LegacySize,
                ImVec2(centre.x - initialsSize.x / 2, centre.y - initialsSize.y / 2), kInitialsInk,
                initials.c_str());

  // Long names and addresses are cut at the card's edge.
  list->PushClipRect(ImVec2(card.Min.x + uiThemePx(40), card.Min.y + uiThemePx(6)),
                     ImVec2(card.Max.x - uiThemePx(8), card.Min.y + uiThemePx(48)), true);
  ImFont* nameFont = uiThemeFont(13);
  ImFont* emailFont = uiThemeFont(11);
  list->AddText(nameFont, nameFont->LegacySize,
                ImVec2(card.Min.x + uiThemePx(42), card.Min.y + uiThemePx(10)), kNameInk, name.c_str());
  list->AddText(emailFont, emailFont->LegacySize,
                ImVec2(card.Min.x + uiThemePx(42), card.Min.y + uiThemePx(26)), kEmailInk,
                session.userEmail.c_str());
  list->PopClipRect();

  list->AddLine(ImVec2(card.Min.x + uiThemePx(8), card.Min.y + uiThemePx(48)),
                ImVec2(card.Max.x - uiThemePx(8), card.Min.y + uiThemePx(48)), kCardBorder, 1.0f);

  if (drawSecondaryButton("Sign out", ImVec2(card.Min.x + uiThemePx(8), card.Min.y + uiThemePx(56)),
                          ImVec2(card.GetWidth() - uiThemePx(16), uiThemePx(28)), 13.0f)) {
    signOut(session);
    // The next signed-in period starts its own update check.
    app.updateCheckStarted = false;
  }
}

}  // namespace

std::string accountInitials(const std::string& name) {
  std::string initials;
  int collected = 0;
  bool wordStart = true;
  for (size_t i = 0; i < name.size() && collected < 2; ++i) {
    const char c = name[i];
    if (c == ' ') {
      wordStart = true;
      continue;
    }
    if (!wordStart) continue;
    wordStart = false;
    ++collected;
    if (c >= 'a' && c <= 'z') {
      initials += static_cast<char>(c - 'a' + 'A');
    } else {
      // A word beginning outside ASCII gives its whole first UTF-8 character, never a lone
      // lead byte the font cannot draw.
      initials += c;
      while (i + 1 < name.size() && (static_cast<unsigned char>(name[i + 1]) & 0xC0) == 0x80 &&
             (static_cast<unsigned char>(c) & 0x80))
        initials += name[++i];
    }
  }
  return initials.empty() ? "?" : initials;
}

void drawSidebar(AppState& app) {
  ImDrawList* list = ImGui::GetWindowDrawList();
  const ImVec2 pos = ImGui::GetWindowPos();
  const ImVec2 size = ImGui::GetWindowSize();
  drawNavigation(app, list, pos);
  drawAccountCard(app, list, pos, size);
}
