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

// Filled rectangle with all corners rounded.
void uiThemeRoundedPanel(ImDrawList* list, const ImVec2& min, const ImVec2& max, ImU32 colour,
                         float rounding);
// Outline of rect: corner rounding and line thickness in pixels.
void uiThemeBorder(ImDrawList* list, const ImRect& rect, float rounding, float thickness, ImU32 colour);
// Text broken at words to wrapWidth pixels (0: only at line feeds), drawn line by line with
// lineSpacing design pixels between lines.
void uiThemeTextWrapped(ImDrawList* list, ImFont* font, const ImVec2& pos, ImU32 colour, const char* text,
                        float wrapWidth, float lineSpacing);
// One line of text with tracking design pixels added after each glyph (negative: tighter).
void uiThemeTextTracked(ImDrawList* list, ImFont* font, const ImVec2& pos, ImU32 colour, const char* text,
                        float tracking);
// A turning arc; time in seconds sets its angle. Counts as animating.
void uiThemeSpinner(ImDrawList* list, const ImVec2& centre, float radius, float time, ImU32 colour);
// A pill with the text, coloured by status; uiThemeBadgeWidth gives its width for right alignment.
void uiThemeBadge(const char* id, ImDrawList* list, const ImVec2& pos, const char* text,
                  UiThemeBadgeStatus status);
float uiThemeBadgeWidth(const char* text);
// Once per frame over the main window: fades the window in when it first appears.
void uiThemeReveal(ImDrawList* list, const ImRect& rect);

// True when something drawn this frame moves by itself (spinner, reveal): the host keeps drawing.
bool uiThemeAnimating();
