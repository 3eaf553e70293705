#include "uihost/ui_theme.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "support/headless_ui.h"

namespace {

constexpr float kScreenFontSizes[] = {11, 11.5f, 12, 12.5f, 13, 13.5f, 14, 15, 16, 16.5f, 17, 20, 22, 28};

TEST(ThemeFonts, EveryScreenSizeIsBakedAtTheScale) {
  for (float scale : {1.0f, 2.0f, 1.25f}) {
    HeadlessUi ui(800, 600, scale);
    ui.newFrame();
    for (float size : kScreenFontSizes) {
      ImFont* font = uiThemeFont(size);
      ASSERT_NE(font, nullptr);
      EXPECT_FLOAT_EQ(font->LegacySize, std::round(size * scale * 2.0f) / 2.0f) << size << " at " << scale;
    }
    EXPECT_FLOAT_EQ(uiThemePx(10), 10 * scale);
    EXPECT_EQ(ImGui::GetFont(), uiThemeFont(14)) << "Dear ImGui's own widgets use the 14 px font";
    ui.endFrame();
  }
}

TEST(ThemeFonts, UnknownSizesGetTheNearestAndTheFontIsRoboto) {
  HeadlessUi ui(800, 600);
  EXPECT_EQ(uiThemeFont(18), uiThemeFont(17));
  EXPECT_EQ(uiThemeFont(100), uiThemeFont(28));
  EXPECT_EQ(uiThemeFont(1), uiThemeFont(11));
  EXPECT_NE(uiThemeFont(12), uiThemeFont(12.5f));
  if (std::filesystem::exists("/usr/share/fonts/truetype/roboto/unhinted/RobotoTTF/Roboto-Medium.ttf")) {
    EXPECT_NE(std::strstr(uiThemeFont(14)->GetDebugName(), "Roboto"), nullptr);
  }
  // Typographic punctuation the screens print has real glyphs.
  for (ImWchar c : {ImWchar(0x2026), ImWchar(0x2014), ImWchar(0xE9)})
    EXPECT_NE(uiThemeFont(13)->FindGlyphNoFallback(c), nullptr) << c;
}

TEST(ThemeFonts, ScaleChangeRebuildsBeforeTheNextFrameNotDuringOne) {
  HeadlessUi ui(800, 600, 1.0f);
  ui.frame([] {});
  ui.setScale(2.0f);
  ui.newFrame();
  // Fonts in use by this frame stay valid until it ends; px() matches them.
  EXPECT_FLOAT_EQ(uiThemeFont(16)->LegacySize, 16.0f);
  EXPECT_FLOAT_EQ(uiThemePx(8), 8.0f);
  ImGui::GetForegroundDrawList()->AddText(uiThemeFont(16), 16, ImVec2(10, 10), 0xFFFFFFFF, "Before");
  ui.endFrame();
  EXPECT_TRUE(ui.drewText("Before"));

  ui.frame([] {
    ImFont* font = uiThemeFont(16);
    ImGui::GetForegroundDrawList()->AddText(font, font->LegacySize, ImVec2(10, 10), 0xFFFFFFFF, "After");
  });
  EXPECT_FLOAT_EQ(uiThemeFont(16)->LegacySize, 32.0f);
  EXPECT_FLOAT_EQ(uiThemePx(8), 16.0f);
  EXPECT_TRUE(ui.drewText("After"));
}

// Draws on the foreground list of one frame and returns what was drawn.
void drawOnce(HeadlessUi& ui, const std::function<void(ImDrawList*)>& draw) {
  ui.frame([&] { draw(ImGui::GetForegroundDrawList()); });
}

TEST(ThemeText, HeadlessFindsTextAndWhereItWasDrawn) {
  HeadlessUi ui(800, 600);
  drawOnce(ui, [](ImDrawList* list) {
    ImFont* font = uiThemeFont(16);
    list->AddText(font, font->LegacySize, ImVec2(120, 40), 0xFFFFFFFF, "Sign in");
    list->AddRectFilled(ImVec2(0, 0), ImVec2(5, 5), 0xFF00FF00);
    list->AddText(font, font->LegacySize, ImVec2(300, 80.6f), 0xFFFFFFFF,
                  "Caf\xC3\xA9 \xE2\x80\x94 ok\xE2\x80\xA6");
    // Cut through the first glyph, as an input box clips its text.
    const ImVec4 clip(503, 0, 800, 600);
    list->AddText(font, font->LegacySize, ImVec2(500, 200), 0xFFFFFFFF, "Search", nullptr, 0.0f, &clip);
  });
  EXPECT_TRUE(ui.drewText("Sign in"));
  EXPECT_TRUE(ui.drewText("Signin"));
  EXPECT_TRUE(ui.drewText("\xE2\x80\x94 ok\xE2\x80\xA6"));
  EXPECT_FALSE(ui.drewText("Sign out"));
  EXPECT_FALSE(ui.drewText("inCaf")) << "separately drawn texts are not joined";
  const ImVec2 at = ui.textPosition("Sign in");
  EXPECT_FLOAT_EQ(at.x, 120);
  EXPECT_FLOAT_EQ(at.y, 40);
  EXPECT_FLOAT_EQ(ui.textPosition("Caf").y, 80) << "text lands on whole pixels";
  EXPECT_TRUE(ui.drewText("Search"));
  EXPECT_NEAR(ui.textPosition("Search").x, 500, 0.01f);
  EXPECT_NEAR(ui.textPosition("Search").y, 200, 0.01f);
}

TEST(ThemeText, WrappedTextBreaksAtWordsWithTheLineSpacing) {
  HeadlessUi ui(800, 600);
  ImFont* font = nullptr;
  drawOnce(ui, [&](ImDrawList* list) {
    font = uiThemeFont(14);
    const float wrap = font->CalcTextSizeA(font->LegacySize, FLT_MAX, 0, "alpha beta").x + 2;
    uiThemeTextWrapped(list, font, ImVec2(50, 100), 0xFFFFFFFF, "alpha beta gamma delta", wrap, 4.0f);
    uiThemeTextWrapped(list, font, ImVec2(50, 300), 0xFFFFFFFF, "first\nsecond", 1000, 4.0f);
    uiThemeTextWrapped(list, font, ImVec2(50, 400), 0xFFFFFFFF, "unbreakablewordwiderthanthewrap", 10, 4.0f);
    uiThemeTextWrapped(list, font, ImVec2(400, 100), 0xFFFFFFFF, "\xC3\xA9\xE2\x80\xA6", 1, 4.0f);
  });
  const float step = font->LegacySize + 4.0f;
  EXPECT_FLOAT_EQ(ui.textPosition("alpha").y, 100);
  EXPECT_FLOAT_EQ(ui.textPosition("gamma").y, 100 + step);
  EXPECT_FLOAT_EQ(ui.textPosition("gamma").x, 50) << "each line starts at the left edge";
  EXPECT_FLOAT_EQ(ui.textPosition("second").y, 300 + step);
  EXPECT_TRUE(ui.drewText("unbreakable"));
  // Narrower than one character: one whole character per line, never half of one.
  EXPECT_FLOAT_EQ(ui.textPosition("\xC3\xA9").y, 100);
  EXPECT_FLOAT_EQ(ui.textPosition("\xE2\x80\xA6").y, 100 + step);
  EXPECT_EQ(ui.drawnText().find("?"), std::string::npos) << ui.drawnText();
}

TEST(ThemeText, TrackingAddsSpaceBetweenGlyphs) {
  HeadlessUi ui(800, 600, 2.0f);
  ImFont* font = nullptr;
  drawOnce(ui, [&](ImDrawList* list) {
    font = uiThemeFont(20);
    uiThemeTextTracked(list, font, ImVec2(10, 10), 0xFFFFFFFF, "WAVE", 0.0f);
    uiThemeTextTracked(list, font, ImVec2(10, 100), 0xFFFFFFFF, "WAVE", 3.0f);
  });
  ui.newFrame();
  const float plain = font->CalcTextSizeA(font->LegacySize, FLT_MAX, 0, "WAV").x;
  ui.endFrame();
  drawOnce(ui, [&](ImDrawList* list) {
    uiThemeTextTracked(list, font, ImVec2(10, 100), 0xFFFFFFFF, "WAVE", 3.0f);
  });
  const float tracked = ui.textPosition("E").x - 10;
  EXPECT_NEAR(tracked, plain + 3 * uiThemePx(3.0f), 3.0f);
}

TEST(ThemeDrawing, SpinnerAndRevealAnimateOnlyWhileDrawn) {
  HeadlessUi ui(800, 600);
  ui.frame([] { uiThemeSpinner(ImGui::GetForegroundDrawList(), ImVec2(50, 50), 12, 0.5f, 0xFFFFFFFF); });
  EXPECT_TRUE(uiThemeAnimating());
  ui.frame([] {});
  EXPECT_FALSE(uiThemeAnimating());

  // The reveal veils the window on its first frame and is gone after a short while.
  const ImRect window(0, 0, 800, 600);
  auto reveal = [&] { uiThemeReveal(ImGui::GetForegroundDrawList(), window); };
  ui.frame(reveal);
  EXPECT_TRUE(uiThemeAnimating());
  EXPECT_TRUE(ui.drewColourIn(uiThemeBackground(), window)) << "fully veiled at first";
  for (int i = 0; i < 60; ++i) ui.frame(reveal);
  EXPECT_FALSE(uiThemeAnimating());
  EXPECT_EQ(ui.drawData().TotalVtxCount, 0);
}

TEST(ThemeDrawing, BadgeWidthFitsItsTextAndStatusesLookDifferent) {
  HeadlessUi ui(800, 600, 2.0f);
  ImU32 fills[4] = {};
  for (int status = 0; status < 4; ++status) {
    drawOnce(ui, [&](ImDrawList* list) {
      uiThemeBadge("badge", list, ImVec2(100, 100), "Installed", static_cast<UiThemeBadgeStatus>(status));
      fills[status] = list->VtxBuffer.Size > 0 ? list->VtxBuffer[list->VtxBuffer.Size / 8].col : 0;
    });
    EXPECT_TRUE(ui.drewText("Installed"));
    const ImVec2 at = ui.textPosition("Installed");
    EXPECT_GT(at.x, 100);
    EXPECT_LT(at.y, 100 + uiThemePx(22));
  }
  for (int a = 0; a < 4; ++a)
    for (int b = a + 1; b < 4; ++b) EXPECT_NE(fills[a], fills[b]) << a << " " << b;
  ui.newFrame();
  ImFont* font = uiThemeFont(12);
  const float text = font->CalcTextSizeA(font->LegacySize, FLT_MAX, 0, "Installed").x;
  EXPECT_GE(uiThemeBadgeWidth("Installed"), text + uiThemePx(8));
  EXPECT_GT(uiThemeBadgeWidth("Installed (offline)"), uiThemeBadgeWidth("Installed"));
  ui.endFrame();
}

TEST(ThemeStyle, ScaledAndConsistentWithTheColours) {
  HeadlessUi ui(800, 600, 2.0f);
  ui.newFrame();
  const ImGuiStyle& style = ImGui::GetStyle();
  EXPECT_FLOAT_EQ(style.FrameRounding, 12.0f);
  EXPECT_GT(style.WindowPadding.x, 20.0f);
  float clear[4];
  uiThemeBackgroundFloat(clear);
  EXPECT_EQ(ImGui::ColorConvertFloat4ToU32(ImVec4(clear[0], clear[1], clear[2], clear[3])),
            uiThemeBackground());
  EXPECT_EQ(uiThemeWindowRounding(), uiThemePx(10));
  ui.endFrame();
  // A second frame does not compound the scaling.
  ui.newFrame();
  EXPECT_FLOAT_EQ(ImGui::GetStyle().FrameRounding, 12.0f);
  ui.endFrame();
}

}  // namespace
