#include "uihost/ui_theme.h"

#include <gtest/gtest.h>

#include "support/headless_ui.h"

namespace {

TEST(ThemeFonts, EveryScreenSizeIsBakedAtTheScaleAndTheStyleScalesOnce) {
  for (float scale : {1.0f, 1.25f, 2.0f}) {
    HeadlessUi ui(800, 600, scale);
    for (int frame = 0; frame < 2; ++frame) {
      ui.newFrame();
      for (float size :
           {11.0f, 11.5f, 12.0f, 12.5f, 13.0f, 13.5f, 14.0f, 15.0f, 16.0f, 16.5f, 17.0f, 20.0f, 22.0f, 28.0f})
        EXPECT_NEAR(uiThemeFont(size)->LegacySize, size * scale, 0.25f) << size << " at " << scale;
      EXPECT_EQ(ImGui::GetFont(), uiThemeFont(14)) << "Dear ImGui's own widgets use the 14 px font";
      EXPECT_NEAR(ImGui::GetStyle().FrameRounding, 6 * scale, 0.5f) << "frame " << frame;
      ui.endFrame();
    }
    EXPECT_EQ(uiThemeFont(18), uiThemeFont(17)) << "the nearest size";
    EXPECT_EQ(uiThemeFont(100), uiThemeFont(28));
    EXPECT_EQ(uiThemeFont(1), uiThemeFont(11));
    for (ImWchar c : {ImWchar(0x2026), ImWchar(0x2014), ImWchar(0xE9)})
      EXPECT_NE(uiThemeFont(13)->FindGlyphNoFallback(c), nullptr) << c;
  }
}

TEST(ThemeFonts, ScaleChangeRebuildsBeforeTheNextFrameNotDuringOne) {
  HeadlessUi ui(800, 600, 1.0f);
  ui.frame([] {});
  ui.setScale(2.0f);
  auto draw = [](const char* text) {
    ImFont* font = uiThemeFont(16);
    ImGui::GetForegroundDrawList()->AddText(font, font->LegacySize, ImVec2(10, 10), 0xFFFFFFFF, text);
  };
  ui.newFrame();
  // Fonts in use by this frame stay valid until it ends; px() matches them.
  EXPECT_FLOAT_EQ(uiThemeFont(16)->LegacySize, 16.0f);
  EXPECT_FLOAT_EQ(uiThemePx(8), 8.0f);
  draw("Before");
  ui.endFrame();
  EXPECT_TRUE(ui.drewText("Before"));
  ui.frame([&] { draw("After"); });
  EXPECT_FLOAT_EQ(uiThemeFont(16)->LegacySize, 32.0f);
  EXPECT_FLOAT_EQ(uiThemePx(8), 16.0f);
  EXPECT_TRUE(ui.drewText("After"));
}

TEST(ThemeText, HeadlessFindsTextWhereItWasDrawnAlsoWhenClipped) {
  HeadlessUi ui(800, 600);
  ui.frame([] {
    ImDrawList* list = ImGui::GetForegroundDrawList();
    ImFont* font = uiThemeFont(16);
    list->AddText(font, font->LegacySize, ImVec2(120, 40), 0xFFFFFFFF, "Sign in");
    list->AddRectFilled(ImVec2(0, 0), ImVec2(5, 5), 0xFF00FF00);  // texts apart in the lists stay apart
    list->AddText(font, font->LegacySize, ImVec2(300, 80.6f), 0xFFFFFFFF,
                  "Caf\xC3\xA9 \xE2\x80\x94 ok\xE2\x80\xA6");
    const ImVec4 clip(503, 0, 800, 600);  // through the first glyph, as an input box clips its text
    list->AddText(font, font->LegacySize, ImVec2(500, 200), 0xFFFFFFFF, "Search", nullptr, 0.0f, &clip);
  });
  EXPECT_TRUE(ui.drewText("Signin"));
  EXPECT_TRUE(ui.drewText("\xE2\x80\x94 ok\xE2\x80\xA6"));
  EXPECT_FALSE(ui.drewText("Sign out"));
  EXPECT_FALSE(ui.drewText("inCaf")) << "separately drawn texts are not joined";
  EXPECT_FLOAT_EQ(ui.textPosition("Sign in").x, 120);
  EXPECT_FLOAT_EQ(ui.textPosition("Sign in").y, 40);
  EXPECT_FLOAT_EQ(ui.textPosition("Caf").y, 80) << "text lands on whole pixels";
  EXPECT_NEAR(ui.textPosition("Search").x, 500, 0.01f);
  EXPECT_NEAR(ui.textPosition("Search").y, 200, 0.01f);
}

TEST(ThemeText, WrappedTextBreaksAtWordsAndNeverWithinACharacter) {
  HeadlessUi ui(800, 600);
  ImFont* font = uiThemeFont(14);
  ui.frame([&] {
    ImDrawList* list = ImGui::GetForegroundDrawList();
    const float wrap = font->CalcTextSizeA(font->LegacySize, FLT_MAX, 0, "alpha beta").x + 2;
    uiThemeTextWrapped(list, font, ImVec2(50, 100), 0xFFFFFFFF, "alpha beta gamma delta", wrap, 4.0f);
    uiThemeTextWrapped(list, font, ImVec2(50, 300), 0xFFFFFFFF, "first\nsecond", 1000, 4.0f);
    uiThemeTextWrapped(list, font, ImVec2(50, 400), 0xFFFFFFFF, "unbreakablewordwiderthanthewrap", 10, 4.0f);
    uiThemeTextWrapped(list, font, ImVec2(400, 100), 0xFFFFFFFF, "\xC3\xA9\xE2\x80\xA6", 1, 4.0f);
  });
  const float step = font->LegacySize + 4.0f;
  EXPECT_FLOAT_EQ(ui.textPosition("alpha").y, 100);
  EXPECT_FLOAT_EQ(ui.textPosition("gamma").y, 100 + step);
  EXPECT_FLOAT_EQ(ui.textPosition("gamma").x, 50);
  EXPECT_FLOAT_EQ(ui.textPosition("second").y, 300 + step);
  EXPECT_TRUE(ui.drewText("unbreakable"));
  // Narrower than one character: one whole character per line.
  EXPECT_FLOAT_EQ(ui.textPosition("\xC3\xA9").y, 100);
  EXPECT_FLOAT_EQ(ui.textPosition("\xE2\x80\xA6").y, 100 + step);
  EXPECT_EQ(ui.drawnText().find("?"), std::string::npos) << ui.drawnText();
}

}  // namespace
