#include <gtest/gtest.h>

#include <cstring>

#include "support/headless_ui.h"

namespace {

struct TextBox {
  char text[64] = {};
  bool focusNext = false;
  bool active = false;
  void draw() {
    ImGui::SetNextWindowPos(ImVec2(0, 0));
    ImGui::SetNextWindowSize(ImVec2(400, 300));
    ImGui::Begin("##input", nullptr, ImGuiWindowFlags_NoDecoration | ImGuiWindowFlags_NoSavedSettings);
    if (ImGui::Button("Focus", ImVec2(80, 30))) focusNext = true;
    if (focusNext) ImGui::SetKeyboardFocusHere(0);
    focusNext = false;
    ImGui::SetCursorScreenPos(ImVec2(100, 100));
    ImGui::PushItemWidth(200);
    ImGui::InputTextWithHint("##box", "Type here", text, sizeof(text));
    active = ImGui::IsItemActive();
    ImGui::PopItemWidth();
    ImGui::End();
  }
};

TEST(HeadlessInput, ClickTypeEditAndEscape) {
  HeadlessUi ui(400, 300);
  TextBox box;
  auto draw = [&] { box.draw(); };
  ui.frame(draw);
  EXPECT_TRUE(ui.drewText("Type here"));

  ui.click(150, 110, draw);
  EXPECT_TRUE(box.active);
  ui.typeText("h\xC3\xA9llo");
  ui.frame(draw);
  ui.frame(draw);  // the box shows what it took in one frame later
  EXPECT_STREQ(box.text, "h\xC3\xA9llo");
  EXPECT_TRUE(ui.drewText("h\xC3\xA9llo")) << ui.drawnText();

  ui.pressKey(ImGuiKey_Backspace);
  ui.frame(draw);
  ui.releaseKey(ImGuiKey_Backspace);
  ui.frame(draw);
  EXPECT_STREQ(box.text, "h\xC3\xA9ll");

  // Ctrl+A then typing replaces everything.
  ui.setModifiers(true);
  ui.pressKey(ImGuiKey_A);
  ui.frame(draw);
  ui.releaseKey(ImGuiKey_A);
  ui.setModifiers(false);
  ui.frame(draw);
  ui.typeText("x");
  ui.frame(draw);
  EXPECT_STREQ(box.text, "x");

  ui.pressKey(ImGuiKey_Escape);
  ui.frame(draw);
  ui.releaseKey(ImGuiKey_Escape);
  ui.frame(draw);
  EXPECT_FALSE(box.active) << "Escape leaves the box";
}

TEST(HeadlessInput, FocusFromAnotherItemThenType) {
  HeadlessUi ui(400, 300);
  TextBox box;
  auto draw = [&] { box.draw(); };
  ui.frame(draw);
  ui.click(50, 30, draw);  // the Focus button
  ui.frame(draw);
  ui.frame(draw);
  EXPECT_TRUE(box.active);
  ui.typeText("abc");
  ui.frame(draw);
  EXPECT_STREQ(box.text, "abc");
}

TEST(HeadlessInput, NamedKeysAndWheel) {
  HeadlessUi ui(400, 300);
  bool pressed = false, down = false;
  float wheel = 0;
  auto draw = [&] {
    pressed = uiIsKeyPressed(ImGuiKey_Enter, false);
    down = uiIsKeyDown(ImGuiKey_Enter);
    wheel = ImGui::GetIO().MouseWheel;
  };
  ui.pressKey(ImGuiKey_Enter);
  ui.wheel(-1);
  ui.frame(draw);
  EXPECT_TRUE(pressed);
  EXPECT_TRUE(down);
  EXPECT_FLOAT_EQ(wheel, -1);
  ui.frame(draw);
  EXPECT_FALSE(pressed) << "pressed once, not repeated";
  EXPECT_TRUE(down);
  EXPECT_FLOAT_EQ(wheel, 0) << "a wheel turn lasts one frame";
  ui.releaseKey(ImGuiKey_Enter);
  ui.frame(draw);
  EXPECT_FALSE(down);
}

}  // namespace
