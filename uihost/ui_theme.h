// The launcher's visual theme: scaling, fonts by design size, colours and a few drawing helpers.
// Works in any Dear ImGui context, with or without a window (tests draw screens headless).
#pragma once

#include "uihost/imgui_compat.h"

struct UiIntegration;

enum UiThemeBadgeStatus : int {
  UiThemeBadgeStatus_Neutral = 0,
  UiThemeBadgeStatus_Success = 1,
  UiThemeBadgeStatus_Failure = 2,
  UiThemeBadgeStatus_InProgress = 3,
};

// integration may be null (headless): fonts then live in the current context's atlas only.
void uiThemeInitialize(UiIntegration* integration);
void uiThemeSetScale(float scale);
void uiThemeTick(float deltaSeconds);
void uiThemeApplyStyle();

float uiThemePx(float designPixels);
ImFont* uiThemeFont(float designSize);  // draw with it at font->LegacySize
float uiThemeWindowRounding();

ImU32 uiThemeBackground();
ImU32 uiThemeCard();
ImU32 uiThemeBorder();
ImU32 uiThemeBorderStrong();
ImU32 uiThemeForeground();
ImU32 uiThemeMutedForeground();
ImU32 uiThemeDestructive();
void uiThemeBackgroundFloat(float out[4]);

void uiThemeRoundedPanel(ImDrawList* list, const ImVec2& min, const ImVec2& max, ImU32 colour,
                         float rounding);
void uiThemeBorder(ImDrawList* list, const ImRect& rect, float rounding, float thickness, ImU32 colour);
void uiThemeTextWrapped(ImDrawList* list, ImFont* font, const ImVec2& pos, ImU32 colour, const char* text,
                        float wrapWidth, float lineSpacing);
void uiThemeTextTracked(ImDrawList* list, ImFont* font, const ImVec2& pos, ImU32 colour, const char* text,
                        float tracking);
void uiThemeSpinner(ImDrawList* list, const ImVec2& centre, float radius, float time, ImU32 colour);
void uiThemeBadge(const char* id, ImDrawList* list, const ImVec2& pos, const char* text,
                  UiThemeBadgeStatus status);
float uiThemeBadgeWidth(const char* text);
void uiThemeReveal(ImDrawList* list, const ImRect& rect);

// True when something drawn this frame moves by itself (spinner, reveal): the host keeps drawing.
bool uiThemeAnimating();
