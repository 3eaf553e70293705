#include "ui/widgets.h"

#include <cfloat>
#include <cmath>
#include <cstdio>

namespace {

struct ButtonLook {
  ImU32 held;
  ImU32 hovered;
  ImU32 normal;
  ImU32 label;
  ImU32 border;  // 0: no border
};

constexpr ButtonLook kPrimaryLook{0xFFCA580A, 0xFFD75E0B, 0xFFFD6E0D, 0xFFFFFFFF, 0};
constexpr ButtonLook kSecondaryLook{0xFF303030, 0xFF2A2A2A, 0xFF202020, 0xFFDCDCDC, 0xFF3C3C3C};

// Whether a click on the button is to be ignored because the button only just appeared: a button
// that takes the place of the one just clicked would otherwise catch the second click of a
// double click. Appearing means drawn in this frame but not in the one before.
bool clickTooSoon(ImGuiWindow* window, ImGuiID id, float settleSeconds) {
  if (settleSeconds <= 0.0f) return false;
  ImGuiStorage* storage = window->DC.StateStorage;
  const ImGuiID shownKey = ImHashStr("##shown_frame", 0, id), sinceKey = ImHashStr("##shown_since", 0, id);
  const int frame = ImGui::GetFrameCount();
  const float now = static_cast<float>(ImGui::GetTime());
  if (storage->GetInt(shownKey, -2) != frame - 1) storage->SetFloat(sinceKey, now);
  storage->SetInt(shownKey, frame);
  return now - storage->GetFloat(sinceKey, now) < settleSeconds;
}

bool drawButton(const ButtonLook& look, const char* label, const ImVec2& pos, const ImVec2& size,
                float fontSize, float settleSeconds = 0.0f) {
  ImGuiWindow* window = ImGui::GetCurrentWindow();  // marks the window as written to
  if (window->SkipItems) return false;

  const ImRect rect(pos, ImVec2(pos.x + size.x, pos.y + size.y));
  const ImGuiID id = window->GetID(label);
  if (!ImGui::ItemAdd(rect, id, nullptr, 0)) return false;  // clipped

  const bool tooSoon = clickTooSoon(window, id, settleSeconds);
  bool hovered = false;
  bool held = false;
  const bool pressed = ImGui::ButtonBehavior(rect, id, &hovered, &held, 0) && !tooSoon;
  ImGui::KeepAliveID(id);

  ImDrawList* list = window->DrawList;
  const float radius = uiThemePx(6.0f);
  const ImU32 fill = held ? look.held : hovered ? look.hovered : look.normal;
  uiThemeRoundedPanel(list, rect.Min, rect.Max, fill, radius);
  if (look.border) list->AddRect(rect.Min, rect.Max, look.border, radius, 0, 1.0f);

  // Centred without rounding; a label wider than the button overflows both edges.
  ImFont* font = uiThemeFont(fontSize);
  const ImVec2 textSize = font->CalcTextSizeA(font->FontSize, FLT_MAX, 0.0f, label);
  const ImVec2 textPos(rect.Min.x + (size.x - textSize.x) * 0.5f, rect.Min.y + (size.y - textSize.y) * 0.5f);
  list->AddText(font, font->FontSize, textPos, look.label, label);
  return pressed;
}

}  // namespace

bool drawPrimaryButton(const char* label, const ImVec2& pos, const ImVec2& size, float fontSize) {
  return drawButton(kPrimaryLook, label, pos, size, fontSize);
}

bool drawSecondaryButton(const char* label, const ImVec2& pos, const ImVec2& size, float fontSize,
                         float settleSeconds) {
  return drawButton(kSecondaryLook, label, pos, size, fontSize, settleSeconds);
}

void drawStarIcon(ImDrawList* list, const ImVec2& centre, ImU32 colour, bool filled, float radius) {
  ImVec2 points[10];
  for (int k = 0; k < 10; ++k) {
    const float r = (k % 2 == 0) ? radius : radius * 0.4f;
    const float angle = (-90.0f + 36.0f * static_cast<float>(k)) * IM_PI / 180.0f;
    points[k] = ImVec2(centre.x + r * std::cos(angle), centre.y + r * std::sin(angle));
  }
  if (filled) {
    for (int k = 0; k < 10; ++k) list->AddTriangleFilled(centre, points[k], points[(k + 1) % 10], colour);
    list->AddPolyline(points, 10, colour, ImDrawFlags_Closed, 1.0f);
  } else {
    list->AddPolyline(points, 10, colour, ImDrawFlags_Closed, 1.2f);
  }
}

void drawFolderIcon(ImDrawList* list, const ImVec2& topLeft, ImU32 colour, float size) {
  const float s = size;
  const float h = 0.75f * s;
  const float x = topLeft.x;
  const float y = topLeft.y;
  list->AddRect(ImVec2(x, y + 0.28f * h), ImVec2(x + s, y + h), colour, 1.0f, 0, 1.2f);
  const ImVec2 tab[4] = {ImVec2(x, y + 0.28f * h), ImVec2(x, y), ImVec2(x + 0.38f * s, y),
                         ImVec2(x + 0.38f * s + 2.0f, y + 0.28f * h)};
  list->AddPolyline(tab, 4, colour, 0, 1.2f);
}

void drawDriveIcon(ImDrawList* list, const ImVec2& topLeft, ImU32 colour, float size) {
  const float s = size;
  const float h = 0.75f * s;
  const float x = topLeft.x;
  const float y = topLeft.y;
  list->AddRect(ImVec2(x, y), ImVec2(x + s, y + h), colour, 1.0f, 0, 1.2f);
  list->AddLine(ImVec2(x, y + 0.55f * h), ImVec2(x + s, y + 0.55f * h), colour, 1.0f);
  list->AddCircleFilled(ImVec2(x + 0.8f * s, y + 0.78f * h), 1.5f, colour, 0);
}

std::string formatByteSize(int64_t bytes) {
  if (bytes <= 0) return "0 B";
  double d = static_cast<double>(bytes);
  char buffer[32];
  if (d < 1024.0) {
    std::snprintf(buffer, sizeof(buffer), "%d B", static_cast<int32_t>(d));
    return buffer;
  }
  static constexpr const char* kUnits[] = {"KB", "MB", "GB"};
  int unit = 0;
  for (; unit < 3; ++unit) {
    d *= 0.0009765625;
    if (d < 1024.0 || unit == 2) break;
  }
  std::snprintf(buffer, sizeof(buffer), "%.1f %s", d, kUnits[unit]);
  return buffer;
}
