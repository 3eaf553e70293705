#include "ui/widgets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "support/headless_ui.h"

namespace {

constexpr ImU32 kPrimaryHeld = 0xFFCA580A, kPrimaryHovered = 0xFFD75E0B, kPrimaryNormal = 0xFFFD6E0D;
const ImRect kButton(100, 100, 220, 132);

void inWindow(const std::function<void()>& body) {
  ImGui::SetNextWindowPos(ImVec2(0, 0));
  ImGui::SetNextWindowSize(ImVec2(800, 600));
  ImGui::Begin("##widgets", nullptr, ImGuiWindowFlags_NoDecoration | ImGuiWindowFlags_NoSavedSettings);
  body();
  ImGui::End();
}

TEST(Buttons, ClickOnReleaseInsideWithHoverAndHeldFills) {
  HeadlessUi ui(800, 600);
  std::vector<bool> clicks;
  auto draw = [&] {
    inWindow([&] { clicks.push_back(drawPrimaryButton("Go", kButton.Min, kButton.GetSize(), 13)); });
  };
  ui.click(150, 116, draw);
  ui.frame(draw);
  EXPECT_EQ(clicks, (std::vector<bool>{false, false, true, false})) << "on the release, in one frame only";
  EXPECT_TRUE(ui.drewColourIn(kPrimaryHovered, kButton));
  // Pressed inside, released outside: the held fill meanwhile, and no click.
  ui.pressMouse();
  ui.frame(draw);
  ui.moveMouse(400, 400);
  ui.frame(draw);
  EXPECT_TRUE(ui.drewColourIn(kPrimaryHeld, kButton) && !ui.drewColourIn(kPrimaryHovered, kButton));
  ui.releaseMouse();
  ui.frame(draw);
  EXPECT_EQ(std::count(clicks.begin(), clicks.end(), true), 1);
  EXPECT_TRUE(ui.drewColourIn(kPrimaryNormal, kButton));
}

TEST(Buttons, KeepTheCursorAndCentreTheirLabelsWhichMayOverflow) {
  HeadlessUi ui(800, 600);
  ImVec2 before, after;
  bool first = false, second = false;
  ui.click(270, 116, [&] {
    inWindow([&] {
      before = ImGui::GetCursorScreenPos();
      first |= drawSecondaryButton("Cancel", kButton.Min, kButton.GetSize(), 13);
      second |=
          drawSecondaryButton("A label much wider than its button", ImVec2(240, 100), ImVec2(60, 32), 13);
      after = ImGui::GetCursorScreenPos();
    });
  });
  EXPECT_TRUE(before.x == after.x && before.y == after.y);
  EXPECT_TRUE(second && !first);
  EXPECT_TRUE(ui.drewColourIn(0xFF3C3C3C, kButton)) << "the secondary button's border";
  EXPECT_LT(ui.textPosition("A label much wider than its button").x, 240.0f) << "overflows, not shortened";
}

TEST(Buttons, ClippedOrSkippedButtonsDrawNothingAndNeverClick) {
  HeadlessUi ui(800, 600);
  bool clicked = false;
  ui.click(150, 116, [&] {
    inWindow([&] { clicked |= drawPrimaryButton("Far", ImVec2(100, 900), kButton.GetSize(), 13); });
    ImGui::SetNextWindowCollapsed(true);
    ImGui::Begin("Collapsed", nullptr, ImGuiWindowFlags_NoSavedSettings);
    clicked |= drawPrimaryButton("Hidden", kButton.Min, kButton.GetSize(), 13);
    ImGui::End();
  });
  EXPECT_FALSE(clicked || ui.drewText("Far") || ui.drewText("Hidden"));
  EXPECT_FALSE(ui.drewColourIn(kPrimaryNormal, ImRect(0, 0, 800, 2000)) ||
               ui.drewColourIn(kPrimaryHeld, ImRect(0, 0, 800, 2000)));
}

TEST(FormatByteSize, UnitsAndRounding) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "0 B"},
      {-5, "0 B"},
      {1023, "1023 B"},
      {1024, "1.0 KB"},
      {1536, "1.5 KB"},
      {1048575, "1024.0 KB"},
      {1048576, "1.0 MB"},
      {1073741824, "1.0 GB"},
      {5 * 1099511627776, "5120.0 GB"},
      {INT64_MAX, "8589934592.0 GB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(formatByteSize(bytes), text) << bytes;
}

}  // namespace
