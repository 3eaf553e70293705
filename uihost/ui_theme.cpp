#include "uihost/ui_theme.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "uihost/ui_context.h"
#include "uihost/ui_integration.h"

namespace {

// Every size the screens ask for; other sizes get the nearest of these.
constexpr float kFontSizes[] = {11.0f, 11.5f, 12.0f, 12.5f, 13.0f, 13.5f, 14.0f,
                                15.0f, 16.0f, 16.5f, 17.0f, 20.0f, 22.0f, 28.0f};
constexpr float kDefaultFontSize = 14.0f;  // Dear ImGui's own widgets (popups, inputs, menus)

// Latin-1 plus the typographic punctuation the texts use (dashes, quotes, ellipsis, bullet).
constexpr ImWchar kGlyphRanges[] = {0x0020, 0x00FF, 0x2013, 0x2014, 0x2018, 0x201D, 0x2022,
                                    0x2022, 0x2026, 0x2026, 0x2190, 0x2193, 0};

constexpr char kSystemFont[] = "/usr/share/fonts/truetype/roboto/unhinted/RobotoTTF/Roboto-Medium.ttf";

constexpr float kRevealSeconds = 0.35f;

// Theme colours.
constexpr ImU32 kBackground = IM_COL32(17, 17, 19, 255);
constexpr ImU32 kCard = IM_COL32(28, 28, 31, 255);
constexpr ImU32 kBorder = IM_COL32(48, 48, 52, 255);
constexpr ImU32 kBorderStrong = IM_COL32(64, 64, 70, 255);
constexpr ImU32 kForeground = IM_COL32(245, 245, 245, 255);
constexpr ImU32 kMutedForeground = IM_COL32(150, 150, 156, 255);
constexpr ImU32 kDestructive = IM_COL32(239, 68, 68, 255);

UiContextData* themeData() {
  UiContextData* data = uiContextData(false);
  return data && data->initialized ? data : nullptr;
}

bool isRegularFile(const std::string& path) {
  if (path.empty()) return false;
  std::error_code ec;
  return std::filesystem::is_regular_file(std::filesystem::status(path, ec));
}

std::vector<unsigned char> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void buildFonts(UiContextData& data, float scale) {
  ImGuiIO& io = ImGui::GetIO();
  io.Fonts->Clear();
  // As tall as the glyphs need: a few more characters must not double the texture.
  io.Fonts->Flags |= ImFontAtlasFlags_NoPowerOfTwoHeight;
  data.fonts.clear();
  data.scale = scale;
  data.pendingScale = 0.0f;
  for (size_t i = 0; i < std::size(kFontSizes); ++i) {
    const float size = kFontSizes[i];
    ImFontConfig config;
    config.OversampleH = 2;
    config.OversampleV = 1;
    config.SizePixels = std::round(size * scale * 2.0f) / 2.0f;
    config.GlyphRanges = data.glyphs.ranges(i);
    ImFont* font = nullptr;
    if (!data.fontFile.empty()) {
      ImFormatString(config.Name, IM_ARRAYSIZE(config.Name), "Roboto Medium %.1f", size);
      config.FontData = data.fontFile.data();
      config.FontDataSize = static_cast<int>(data.fontFile.size());
      font = uiAddFontInPlace(io.Fonts, config);
    } else {
      font = io.Fonts->AddFontDefault(&config);
    }
    // What the primary font lacks, from installed fonts, at the same em size; no oversampling:
    // these are mostly dense scripts, where it doubles the atlas for little gain.
    for (const UiFontFace& face : data.glyphs.fallbacks()) {
      ImFontConfig merged = config;
      merged.MergeMode = true;
      merged.DstFont = font;
      merged.FontData = const_cast<unsigned char*>(face.data);
      merged.FontDataSize = face.size;
      merged.FontNo = face.index;
      merged.SizePixels = config.SizePixels * face.sizeScale;
      merged.OversampleH = 1;
      uiAddFontInPlace(io.Fonts, merged);
    }
    data.fonts.emplace_back(size, font);
  }
  unsigned char* pixels = nullptr;
  int width = 0;
  int height = 0;
  io.Fonts->GetTexDataAsRGBA32(&pixels, &width, &height);
  io.FontDefault = uiThemeFont(kDefaultFontSize);
  if (data.integration && data.integration->fontAtlasChanged)
    data.integration->fontAtlasChanged(data.integration->renderer);
}

bool insideFrame() {
  ImGuiContext* context = ImGui::GetCurrentContext();
  return context && context->WithinFrameScope;
}

ImU32 withAlpha(ImU32 colour, float alpha) {
  const float a = static_cast<float>((colour >> IM_COL32_A_SHIFT) & 0xFF) * std::clamp(alpha, 0.0f, 1.0f);
  return (colour & ~IM_COL32_A_MASK) | (static_cast<ImU32>(a + 0.5f) << IM_COL32_A_SHIFT);
}

struct BadgeColours {
  ImU32 fill;
  ImU32 border;
  ImU32 text;
};

BadgeColours badgeColours(UiThemeBadgeStatus status) {
  switch (status) {
    case UiThemeBadgeStatus_Success:
      return {IM_COL32(20, 60, 38, 255), IM_COL32(32, 96, 58, 255), IM_COL32(110, 231, 150, 255)};
    case UiThemeBadgeStatus_Failure:
      return {IM_COL32(72, 24, 24, 255), IM_COL32(112, 36, 36, 255), IM_COL32(252, 140, 140, 255)};
    case UiThemeBadgeStatus_InProgress:
      return {IM_COL32(22, 44, 84, 255), IM_COL32(36, 70, 130, 255), IM_COL32(147, 197, 253, 255)};
    case UiThemeBadgeStatus_Neutral:
    default:
      return {IM_COL32(40, 40, 44, 255), IM_COL32(62, 62, 68, 255), IM_COL32(200, 200, 205, 255)};
  }
}

constexpr float kBadgeHeight = 22.0f;
constexpr float kBadgePadding = 10.0f;
constexpr float kBadgeFontSize = 12.0f;

}  // namespace

void uiThemeInitialize(UiIntegration* integration) {
  UiContextData* data = uiContextData(true);
  if (!data) return;
  data->integration = integration;
  data->fontPath.clear();
  // The path the window host was given, else the system's Roboto, else Dear ImGui's built-in font.
  if (integration && isRegularFile(integration->fontPath)) {
    data->fontPath = integration->fontPath;
  } else if (isRegularFile(kSystemFont)) {
    data->fontPath = kSystemFont;
  }
  data->fontFile = data->fontPath.empty() ? std::vector<unsigned char>() : readFile(data->fontPath);
  data->glyphs.reset(data->fontFile, std::size(kFontSizes), kGlyphRanges);
  data->initialized = true;
  data->time = 0.0f;
  data->revealStart = -1.0f;
  data->animating = false;
  const float scale = integration ? std::clamp(integration->initialScale, 0.5f, 4.0f) : 1.0f;
  if (insideFrame()) {
    // Fonts cannot change under a frame; draw this one with whatever the atlas has.
    data->pendingScale = scale;
  } else {
    buildFonts(*data, scale);
  }
}

void uiThemePrepareFrame() {
  UiContextData* data = themeData();
  if (!data) return;
  data->animating = false;
  const bool newGlyphs = data->glyphs.resolve();
  if (data->pendingScale > 0.0f || data->fonts.empty() || newGlyphs)
    buildFonts(*data, data->pendingScale > 0.0f ? data->pendingScale : data->scale);
}

void uiThemeNoteText(const ImFont* font, const char* begin, const char* end) {
  UiContextData* data = themeData();
  if (!data) return;
  if (!font) font = ImGui::GetFont();
  for (size_t i = 0; i < data->fonts.size(); ++i) {
    if (data->fonts[i].second == font) {
      data->glyphs.noteText(i, begin, end);
      return;
    }
  }
}

bool uiThemeFontsPending() {
  const UiContextData* data = themeData();
  return data && data->glyphs.pending();
}

void uiThemeSetScale(float scale) {
  UiContextData* data = themeData();
  if (!data || !std::isfinite(scale)) return;
  scale = std::clamp(scale, 0.5f, 4.0f);
  if (std::fabs(scale - data->scale) < 0.001f && !data->fonts.empty()) {
    data->pendingScale = 0.0f;
    return;
  }
  if (insideFrame()) {
    data->pendingScale = scale;
  } else {
    buildFonts(*data, scale);
  }
}

void uiThemeTick(float deltaSeconds) {
  UiContextData* data = themeData();
  if (!data || !std::isfinite(deltaSeconds)) return;
  // A long stall (first frame, a blocking dialog) must not skip animations to their end.
  data->time += std::clamp(deltaSeconds, 0.0f, 0.1f);
}

void uiThemeApplyStyle() {
  if (!ImGui::GetCurrentContext()) return;
  ImGuiStyle style;
  style.WindowPadding = ImVec2(16, 16);
  style.WindowRounding = 8;
  style.WindowBorderSize = 1;
  style.ChildRounding = 6;
  style.PopupRounding = 6;
  style.PopupBorderSize = 1;
  style.FramePadding = ImVec2(10, 6);
  style.FrameRounding = 6;
  style.FrameBorderSize = 1;
  style.ItemSpacing = ImVec2(8, 8);
  style.ItemInnerSpacing = ImVec2(6, 6);
  style.ScrollbarSize = 12;
  style.ScrollbarRounding = 6;
  style.GrabRounding = 4;
  style.TabRounding = 6;
  style.WindowTitleAlign = ImVec2(0.0f, 0.5f);
  style.ScaleAllSizes(uiThemePx(1.0f));

  ImVec4* c = style.Colors;
  auto rgb = [](int r, int g, int b, float a = 1.0f) {
    return ImVec4(r / 255.0f, g / 255.0f, b / 255.0f, a);
  };
  c[ImGuiCol_Text] = rgb(235, 235, 235);
  c[ImGuiCol_TextDisabled] = rgb(130, 130, 136);
  c[ImGuiCol_WindowBg] = rgb(28, 28, 31);
  c[ImGuiCol_ChildBg] = rgb(0, 0, 0, 0);
  c[ImGuiCol_PopupBg] = rgb(30, 30, 33);
  c[ImGuiCol_Border] = rgb(60, 60, 60);
  c[ImGuiCol_BorderShadow] = rgb(0, 0, 0, 0);
  c[ImGuiCol_FrameBg] = rgb(22, 22, 24);
  c[ImGuiCol_FrameBgHovered] = rgb(30, 30, 33);
  c[ImGuiCol_FrameBgActive] = rgb(34, 34, 38);
  c[ImGuiCol_TitleBg] = rgb(28, 28, 31);
  c[ImGuiCol_TitleBgActive] = rgb(34, 34, 38);
  c[ImGuiCol_TitleBgCollapsed] = rgb(28, 28, 31);
  c[ImGuiCol_MenuBarBg] = rgb(28, 28, 31);
  c[ImGuiCol_ScrollbarBg] = rgb(0, 0, 0, 0);
  c[ImGuiCol_ScrollbarGrab] = rgb(60, 60, 64);
  c[ImGuiCol_ScrollbarGrabHovered] = rgb(76, 76, 82);
  c[ImGuiCol_ScrollbarGrabActive] = rgb(90, 90, 96);
  c[ImGuiCol_CheckMark] = rgb(13, 110, 253);
  c[ImGuiCol_SliderGrab] = rgb(13, 110, 253);
  c[ImGuiCol_SliderGrabActive] = rgb(11, 94, 215);
  c[ImGuiCol_Button] = rgb(32, 32, 32);
  c[ImGuiCol_ButtonHovered] = rgb(42, 42, 42);
  c[ImGuiCol_ButtonActive] = rgb(48, 48, 48);
  c[ImGuiCol_Header] = rgb(42, 42, 44);
  c[ImGuiCol_HeaderHovered] = rgb(42, 42, 44);
  c[ImGuiCol_HeaderActive] = rgb(52, 52, 56);
  c[ImGuiCol_Separator] = rgb(48, 48, 52);
  c[ImGuiCol_SeparatorHovered] = rgb(64, 64, 70);
  c[ImGuiCol_SeparatorActive] = rgb(80, 80, 88);
  c[ImGuiCol_ResizeGrip] = rgb(0, 0, 0, 0);
  c[ImGuiCol_ResizeGripHovered] = rgb(64, 64, 70);
  c[ImGuiCol_ResizeGripActive] = rgb(80, 80, 88);
  c[ImGuiCol_Tab] = rgb(32, 32, 34);
  c[ImGuiCol_TabHovered] = rgb(48, 48, 52);
  c[ImGuiCol_TabActive] = rgb(42, 42, 44);
  c[ImGuiCol_TabUnfocused] = rgb(32, 32, 34);
  c[ImGuiCol_TabUnfocusedActive] = rgb(42, 42, 44);
  c[ImGuiCol_TextSelectedBg] = rgb(13, 110, 253, 0.40f);
  c[ImGuiCol_DragDropTarget] = rgb(13, 110, 253);
  c[ImGuiCol_NavHighlight] = rgb(13, 110, 253);
  c[ImGuiCol_NavWindowingHighlight] = rgb(255, 255, 255, 0.7f);
  c[ImGuiCol_NavWindowingDimBg] = rgb(0, 0, 0, 0.5f);
  c[ImGuiCol_ModalWindowDimBg] = rgb(0, 0, 0, 0.55f);
  ImGui::GetStyle() = style;
}

float uiThemePx(float designPixels) {
  const UiContextData* data = themeData();
  return designPixels * (data ? data->scale : 1.0f);
}

ImFont* uiThemeFont(float designSize) {
  const UiContextData* data = themeData();
  if (!data || data->fonts.empty()) return ImGui::GetCurrentContext() ? ImGui::GetFont() : nullptr;
  ImFont* best = data->fonts.front().second;
  float bestDistance = FLT_MAX;
  for (const auto& [size, font] : data->fonts) {
    const float distance = std::fabs(size - designSize);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = font;
    }
  }
  return best;
}

float uiThemeWindowRounding() {
  return uiThemePx(10.0f);
}

ImU32 uiThemeBackground() {
  return kBackground;
}
ImU32 uiThemeCard() {
  return kCard;
}
ImU32 uiThemeBorder() {
  return kBorder;
}
ImU32 uiThemeBorderStrong() {
  return kBorderStrong;
}
ImU32 uiThemeForeground() {
  return kForeground;
}
ImU32 uiThemeMutedForeground() {
  return kMutedForeground;
}
ImU32 uiThemeDestructive() {
  return kDestructive;
}

void uiThemeBackgroundFloat(float out[4]) {
  const ImVec4 colour = ImGui::ColorConvertU32ToFloat4(kBackground);
  out[0] = colour.x;
  out[1] = colour.y;
  out[2] = colour.z;
  out[3] = colour.w;
}

void uiThemeRoundedPanel(ImDrawList* list, const ImVec2& min, const ImVec2& max, ImU32 colour,
                         float rounding) {
  if (!list) return;
  list->AddRectFilled(min, max, colour, rounding, ImDrawFlags_RoundCornersAll);
}

void uiThemeBorder(ImDrawList* list, const ImRect& rect, float rounding, float thickness, ImU32 colour) {
  if (!list) return;
  list->AddRect(rect.Min, rect.Max, colour, rounding, ImDrawFlags_RoundCornersAll, thickness);
}

void uiThemeTextWrapped(ImDrawList* list, ImFont* font, const ImVec2& pos, ImU32 colour, const char* text,
                        float wrapWidth, float lineSpacing) {
  if (!list || !font || !text) return;
  const float size = font->FontSize;
  const float lineStep = size + uiThemePx(lineSpacing);
  const char* end = text + std::strlen(text);
  const char* s = text;
  float y = pos.y;
  // Line by line, so the spacing between lines is ours and each line lands on whole pixels.
  while (s < end) {
    const char* lineEnd = wrapWidth > 0.0f ? font->CalcWordWrapPositionA(1.0f, s, end, wrapWidth) : end;
    const char* newline = static_cast<const char*>(std::memchr(s, '\n', static_cast<size_t>(end - s)));
    if (newline && newline < lineEnd) lineEnd = newline;
    if (lineEnd == s && newline != s) {
      // Not even one character fits: take one whole character so the text always advances.
      unsigned int c = 0;
      lineEnd += ImTextCharFromUtf8(&c, s, end);
    }
    const char* drawEnd = lineEnd;
    while (drawEnd > s && (drawEnd[-1] == ' ' || drawEnd[-1] == '\t' || drawEnd[-1] == '\r')) --drawEnd;
    if (drawEnd > s) list->AddText(font, size, ImVec2(pos.x, y), colour, s, drawEnd);
    y += lineStep;
    s = lineEnd;
    if (s < end && *s == '\n') {
      ++s;
    } else {
      while (s < end && (*s == ' ' || *s == '\t')) ++s;
      if (s < end && *s == '\r') ++s;
      if (s < end && *s == '\n') ++s;
    }
  }
}

void uiThemeTextTracked(ImDrawList* list, ImFont* font, const ImVec2& pos, ImU32 colour, const char* text,
                        float tracking) {
  if (!list || !font || !text) return;
  const float size = font->FontSize;
  const float extra = uiThemePx(tracking);
  float x = pos.x;
  const char* s = text;
  const char* end = text + std::strlen(text);
  while (s < end) {
    unsigned int c = 0;
    const int bytes = ImTextCharFromUtf8(&c, s, end);
    if (bytes <= 0) break;
    if (c == '\n') break;  // one line only
    list->AddText(font, size, ImVec2(x, pos.y), colour, s, s + bytes);
    x += font->GetCharAdvance(static_cast<ImWchar>(c)) + extra;
    s += bytes;
  }
}

void uiThemeSpinner(ImDrawList* list, const ImVec2& centre, float radius, float time, ImU32 colour) {
  if (UiContextData* data = themeData()) data->animating = true;
  if (!list || radius <= 0.0f) return;
  const float thickness = std::max(1.5f, radius * 0.16f);
  const float r = radius - thickness * 0.5f;
  list->AddCircle(centre, r, withAlpha(colour, 0.22f), 0, thickness);
  // A three-quarter arc turning a little faster than once a second.
  const float start = time * 2.0f * IM_PI * 1.15f;
  list->PathClear();
  list->PathArcTo(centre, r, start, start + IM_PI * 1.5f, 0);
  list->PathStroke(colour, ImDrawFlags_None, thickness);
}

float uiThemeBadgeWidth(const char* text) {
  ImFont* font = uiThemeFont(kBadgeFontSize);
  if (!font || !text) return uiThemePx(2.0f * kBadgePadding);
  const ImVec2 size = font->CalcTextSizeA(font->FontSize, FLT_MAX, 0.0f, text);
  return std::ceil(size.x) + uiThemePx(2.0f * kBadgePadding);
}

void uiThemeBadge(const char* id, ImDrawList* list, const ImVec2& pos, const char* text,
                  UiThemeBadgeStatus status) {
  (void)id;  // badges only draw; nothing about them is interactive
  if (!list || !text) return;
  ImFont* font = uiThemeFont(kBadgeFontSize);
  const BadgeColours colours = badgeColours(status);
  const float width = uiThemeBadgeWidth(text);
  const float height = uiThemePx(kBadgeHeight);
  const ImVec2 max(pos.x + width, pos.y + height);
  list->AddRectFilled(pos, max, colours.fill, height * 0.5f);
  list->AddRect(pos, max, colours.border, height * 0.5f, ImDrawFlags_RoundCornersAll, 1.0f);
  if (!font) return;
  const float textY = pos.y + std::floor((height - font->FontSize) * 0.5f);
  list->AddText(font, font->FontSize, ImVec2(pos.x + uiThemePx(kBadgePadding), textY), colours.text, text);
}

void uiThemeReveal(ImDrawList* list, const ImRect& rect) {
  UiContextData* data = themeData();
  if (!data || !list) return;
  if (data->revealStart < 0.0f) data->revealStart = data->time;
  const float t = (data->time - data->revealStart) / kRevealSeconds;
  if (t >= 1.0f) return;
  data->animating = true;
  // Ease out: the veil of background colour lifts quickly at first, then settles.
  const float veil = (1.0f - t) * (1.0f - t);
  list->AddRectFilled(rect.Min, rect.Max, withAlpha(kBackground, veil));
}

bool uiThemeAnimating() {
  const UiContextData* data = themeData();
  return data && data->animating;
}
