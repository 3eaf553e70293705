#include "uihost/ui_theme.h"

#include <gtest/gtest.h>

#include "support/headless_ui.h"
#include "uihost/ui_context.h"

namespace {

void drawText(ImFont* font, ImVec2 at, const char* text, const ImVec4* clip = nullptr) {
  ImGui::GetForegroundDrawList()->AddText(font, font->LegacySize, at, 0xFFFFFFFF, text, nullptr, 0.0f, clip);
}

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
    for (ImWchar c : {ImWchar(0x2026), ImWchar(0x2014), ImWchar(0xE9)})
      EXPECT_NE(uiThemeFont(13)->FindGlyphNoFallback(c), nullptr) << c;
  }
}

TEST(ThemeFonts, ScaleChangeRebuildsBeforeTheNextFrameNotDuringOne) {
  HeadlessUi ui(800, 600, 1.0f);
  ui.frame([] {});
  ui.setScale(2.0f);
  ui.newFrame();
  EXPECT_FLOAT_EQ(uiThemeFont(16)->LegacySize, 16.0f) << "the fonts this frame uses stay valid until it ends";
  EXPECT_FLOAT_EQ(uiThemePx(8), 8.0f);
  drawText(uiThemeFont(16), ImVec2(10, 10), "Before");
  ui.endFrame();
  EXPECT_TRUE(ui.drewText("Before"));
  ui.frame([] { drawText(uiThemeFont(16), ImVec2(10, 10), "After"); });
  EXPECT_FLOAT_EQ(uiThemeFont(16)->LegacySize, 32.0f);
  EXPECT_FLOAT_EQ(uiThemePx(8), 16.0f);
  EXPECT_TRUE(ui.drewText("After"));
}

TEST(ThemeFonts, CharactersBakedOnDemandStayWithinTheAtlasBudget) {
  HeadlessUi ui(800, 600);
  const ImFontAtlas& atlas = *ImGui::GetIO().Fonts;
  const int latinArea = atlas.TexWidth * atlas.TexHeight;
  std::string cjk;  // 3,000 distinct characters in two sizes: more than the atlas takes
  for (unsigned int c = 0x4E00; c < 0x4E00 + 3000; ++c) {
    char utf8[5] = {};
    ImTextCharToUtf8(utf8, c);
    cjk += utf8;
  }
  ui.frame([&] {
    drawText(uiThemeFont(14), ImVec2(0, 0), cjk.c_str());
    drawText(uiThemeFont(12), ImVec2(0, 20), cjk.c_str());
  });
  ui.frame([] { drawText(uiThemeFont(14), ImVec2(0, 0), "\u4E00\u4E01"); });
  EXPECT_EQ(uiContextData(false)->glyphs.extraGlyphs(), 4096u);
  EXPECT_LE(atlas.TexWidth * atlas.TexHeight, 2048 * 2048);
  // Something new on a full atlas: it starts over from what was drawn since the last build.
  for (int i = 0; i < 2; ++i)
    ui.frame([] { drawText(uiThemeFont(14), ImVec2(0, 0), "\u4E00 \u041F\u0440\u043E\u0435\u043A\u0442"); });
  EXPECT_TRUE(ui.drewText("\u4E00\u041F\u0440\u043E\u0435\u043A\u0442")) << ui.drawnText();
  EXPECT_LE(uiContextData(false)->glyphs.extraGlyphs(), 10u);
  EXPECT_LT(atlas.TexWidth * atlas.TexHeight, latinArea * 11 / 10);
}

TEST(ThemeText, HeadlessFindsTextWhereItWasDrawnAlsoWhenClipped) {
  HeadlessUi ui(800, 600);
  ui.frame([] {
    drawText(uiThemeFont(16), ImVec2(120, 40), "Sign in");
    ImGui::GetForegroundDrawList()->AddRectFilled(ImVec2(0, 0), ImVec2(5, 5), 0xFF00FF00);
    drawText(uiThemeFont(16), ImVec2(300, 80.6f), "Caf\xC3\xA9 \xE2\x80\xA6");
    const ImVec4 clip(503, 0, 800, 600);  // through the first glyph, as an input box clips its text
    drawText(uiThemeFont(16), ImVec2(500, 200), "Search", &clip);
  });
  EXPECT_TRUE(ui.drewText("Signin") && ui.drewText("\xC3\xA9\xE2\x80\xA6"));
  EXPECT_FALSE(ui.drewText("inCaf")) << "separately drawn texts are not joined";
  EXPECT_TRUE(ui.textPosition("Sign in").x == 120 && ui.textPosition("Sign in").y == 40);
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
  EXPECT_TRUE(ui.textPosition("alpha").y == 100 && ui.textPosition("gamma").y == 100 + step);
  EXPECT_FLOAT_EQ(ui.textPosition("gamma").x, 50);
  EXPECT_FLOAT_EQ(ui.textPosition("second").y, 300 + step);
  EXPECT_TRUE(ui.drewText("unbreakable"));
  // Narrower than one character: one whole character per line.
  EXPECT_TRUE(ui.textPosition("\xC3\xA9").y == 100 && ui.textPosition("\xE2\x80\xA6").y == 100 + step);
  EXPECT_EQ(ui.drawnText().find("?"), std::string::npos) << ui.drawnText();
}

}  // namespace
