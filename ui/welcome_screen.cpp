#include "ui/welcome_screen.h"

#include <cfloat>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "app/app_state.h"
#include "auth/auth_session.h"
#include "platform/desktop.h"
#include "ui/widgets.h"
#include "uihost/ui_theme.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wall"
#pragma GCC diagnostic ignored "-Wextra"
#define STB_IMAGE_IMPLEMENTATION
#define STBI_NO_STDIO
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

namespace {

constexpr ImU32 kPictureTint = 0xFFFFFFFF;
constexpr ImU32 kPictureVeil = 0x28000000;
constexpr ImU32 kCaptionTitle = 0xF5FAFAFA;
constexpr ImU32 kCaptionSubtitle = 0xDCC3BEBE;

ImVec2 textSize(ImFont* font, const char* text, float wrapWidth) {
  return font->CalcTextSizeA(font->LegacySize, FLT_MAX, wrapWidth, text);
}

bool readWholeFile(const std::string& path, std::vector<unsigned char>& bytes) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec) || ec) return false;
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  const std::streamoff size = in.tellg();
  if (size <= 0) return false;
  bytes.resize(static_cast<size_t>(size));
  in.seekg(0);
  return static_cast<bool>(in.read(reinterpret_cast<char*>(bytes.data()), size));
}

// The screen's own clock: seconds this screen has been drawn, kept in the window's storage so it
// lives as long as the Dear ImGui context and is never reset.
float& welcomeClock() {
  return *ImGui::GetStateStorage()->GetFloatRef(ImGui::GetID("##WelcomeClock"), 0.0f);
}

void drawPicture(const AppState& app, ImDrawList* list, const ImVec2& min, const ImVec2& max) {
  ImTextureData* texture = app.welcomeTexture;
  if (!texture) return;
  // The renderer uploads the pixels before its first frame with them; until then there is
  // nothing to sample.
  if (texture->GetTexID()) {
    ImVec2 uv0, uv1;
    welcomeCoverUv(max.x - min.x, max.y - min.y, static_cast<float>(texture->Width),
                   static_cast<float>(texture->Height), uv0, uv1);
    list->AddImageRounded(texture->GetTexID(), min, max, uv0, uv1, kPictureTint, uiThemeWindowRounding(),
                          ImDrawFlags_RoundCornersBottomRight);
  }
  list->AddRectFilled(min, max, kPictureVeil, uiThemeWindowRounding(), ImDrawFlags_RoundCornersBottomRight);

  ImFont* titleFont = uiThemeFont(20);
  ImFont* subtitleFont = uiThemeFont(15);
  const char* title = "Marrowfen";
  const char* subtitle = "Made with ORVO";
  const ImVec2 q(max.x - uiThemePx(72), max.y - uiThemePx(68));
  list->AddText(titleFont, titleFont->LegacySize, ImVec2(q.x - textSize(titleFont, title, 0).x, q.y),
                kCaptionTitle, title);
  list->AddText(subtitleFont, subtitleFont->LegacySize,
                ImVec2(q.x - textSize(subtitleFont, subtitle, 0).x, q.y + uiThemePx(24)), kCaptionSubtitle,
                subtitle);
}

// "Support": hover feedback only; it opens nothing.
void drawSupportLabel(ImDrawList* list, const ImVec2& pos, const ImVec2& size, float panelWidth) {
  ImFont* font = uiThemeFont(16);
  const char* label = "Support";
  const ImVec2 text = textSize(font, label, 0);
  const float arrow = uiThemePx(7);
  const float gap = uiThemePx(6);
  const float width = text.x + gap + arrow;
  const float x = pos.x + (panelWidth - width) / 2;
  const float y = pos.y + size.y - uiThemePx(64);

  const ImVec2 mouse = ImGui::GetIO().MousePos;
  const bool hovered = mouse.x >= x - uiThemePx(6) && mouse.x < x + width + uiThemePx(6) &&
                       mouse.y >= y - uiThemePx(4) && mouse.y < y + text.y + uiThemePx(4);
  if (hovered) ImGui::SetMouseCursor(ImGuiMouseCursor_Hand);
  const ImU32 colour = hovered ? uiThemeForeground() : uiThemeMutedForeground();

  list->AddText(font, font->LegacySize, ImVec2(x, y), colour, label);
  const ImVec2 a0(x + text.x + gap, y + text.y / 2 + uiThemePx(2));
  const ImVec2 a1(a0.x + arrow, a0.y - arrow);
  list->AddLine(a0, a1, colour, 1.6f);
  list->AddLine(a1, ImVec2(a1.x - uiThemePx(5), a1.y), colour, 1.6f);
  list->AddLine(a1, ImVec2(a1.x, a1.y + uiThemePx(5)), colour, 1.6f);
}

}  // namespace

void welcomeCoverUv(float w, float h, float tw, float th, ImVec2& uv0, ImVec2& uv1) {
  uv0 = ImVec2(0, 0);
  uv1 = ImVec2(1, 1);
  if (w <= 0 || h <= 0 || tw <= 0 || th <= 0) return;
  const float areaAspect = w / h;
  const float pictureAspect = tw / th;
  if (areaAspect > pictureAspect) {
    const float k = pictureAspect / areaAspect;
    uv0.y = (1 - k) / 2;
    uv1.y = 1 - uv0.y;
  } else {
    // The picture's point of interest sits right of its centre: end the slice at 82 % of the
    // width when the slice is narrow enough.
    const float k = areaAspect / pictureAspect;
    const float right = k <= 0.82f ? 0.82f : 1.0f;
    uv0.x = right - k > 0 ? right - k : 0;
    uv1.x = uv0.x + k;
  }
}

ImTextureData* loadWelcomePicture(const std::vector<std::string>& candidates) {
  for (const std::string& path : candidates) {
    std::vector<unsigned char> bytes;
    if (!readWholeFile(path, bytes)) continue;
    int width = 0, height = 0, channels = 0;
    stbi_uc* pixels =
        stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), &width, &height, &channels, 4);
    if (!pixels || width <= 0 || height <= 0) {
      if (pixels) stbi_image_free(pixels);
      continue;
    }
    ImTextureData* texture = new ImTextureData();
    texture->Create(ImTextureFormat_RGBA32, width, height);
    std::memcpy(texture->GetPixels(), pixels, static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
    stbi_image_free(pixels);
    texture->SetStatus(ImTextureStatus_WantCreate);
    ImGui::RegisterUserTexture(texture);
    return texture;
  }
  return nullptr;
}

void drawWelcomeScreen(AppState& app) {
  if (!app.welcomeImageTried) {
    app.welcomeImageTried = true;
    const std::string folder = executableDirectory();
    if (!folder.empty()) app.welcomeTexture = loadWelcomePicture({folder + "/background.png"});
  }

  AuthSession& session = *app.session;
  ImDrawList* list = ImGui::GetWindowDrawList();
  const ImVec2 pos = ImGui::GetWindowPos();
  const ImVec2 size = ImGui::GetWindowSize();
  const float panelWidth = 0.4f * size.x;

  list->AddRectFilled(pos, ImVec2(pos.x + panelWidth, pos.y + size.y), uiThemeCard(), uiThemeWindowRounding(),
                      ImDrawFlags_RoundCornersBottomLeft);
  list->AddLine(ImVec2(pos.x + panelWidth, pos.y), ImVec2(pos.x + panelWidth, pos.y + size.y),
                uiThemeBorder(), 1.0f);
  drawPicture(app, list, ImVec2(pos.x + panelWidth, pos.y), ImVec2(pos.x + size.x, pos.y + size.y));

  const float margin = ImMax(0.16f * panelWidth, uiThemePx(56));
  const float columnWidth = ImMin(panelWidth - 2 * margin, uiThemePx(320));
  const float x = pos.x + (panelWidth - columnWidth) / 2;

  ImFont* headingFont = uiThemeFont(28);
  ImFont* lineFont = uiThemeFont(16);
  const char* heading = "Welcome to ORVO Launcher";
  const char* line = "Manage all your projects and editor installations in one app.";
  const float headingHeight = textSize(headingFont, heading, columnWidth).y;
  const float lineHeight = textSize(lineFont, line, columnWidth).y;

  float& clock = welcomeClock();
  clock += ImGui::GetIO().DeltaTime;

  const AuthState state = session.state;
  const bool idle = state == AuthState::SignedOut;
  const float block = idle ? uiThemePx(24) + uiThemePx(44) : uiThemePx(140);
  const float total = headingHeight + uiThemePx(16) + lineHeight + block;
  const float top = pos.y + 0.44f * (size.y - total);

  uiThemeTextWrapped(list, headingFont, ImVec2(x, top), uiThemeForeground(), heading, columnWidth, 4.0f);
  uiThemeTextWrapped(list, lineFont, ImVec2(x, top + headingHeight + uiThemePx(16)), uiThemeMutedForeground(),
                     line, columnWidth, 4.0f);
  const float y1 = top + headingHeight + uiThemePx(16) + lineHeight;

  if (idle) {
    if (drawPrimaryButton("Sign in", ImVec2(x, y1 + uiThemePx(24)), ImVec2(columnWidth, uiThemePx(44)),
                          16.5f))
      beginBrowserSignIn(session);
    // Read after the click, so a start that fails shows its sentence in the same frame.
    if (!session.errorMessage.empty())
      uiThemeTextWrapped(list, uiThemeFont(13), ImVec2(x, y1 + uiThemePx(24) + uiThemePx(44) + uiThemePx(12)),
                         uiThemeDestructive(), session.errorMessage.c_str(), columnWidth, 4.0f);
  } else {
    uiThemeSpinner(list, ImVec2(x + columnWidth / 2, y1 + uiThemePx(36)), uiThemePx(18), clock,
                   uiThemeMutedForeground());
    ImFont* waitFont = uiThemeFont(16);
    const char* waiting = "Finish signing in in your browser.";
    const ImVec2 waitingSize = textSize(waitFont, waiting, columnWidth);
    uiThemeTextWrapped(list, waitFont,
                       ImVec2(x + (columnWidth - waitingSize.x) / 2, y1 + uiThemePx(36) + uiThemePx(28)),
                       uiThemeMutedForeground(), waiting, columnWidth, 4.0f);
    const float cancelY = y1 + uiThemePx(36) + uiThemePx(28) + waitingSize.y + uiThemePx(20);
    if (drawSecondaryButton("Cancel", ImVec2(x, cancelY), ImVec2(columnWidth, uiThemePx(44)), 15.0f))
      cancelBrowserSignIn(session);
  }

  drawSupportLabel(list, pos, size, panelWidth);
}
