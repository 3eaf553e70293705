#include "ui/widgets.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "support/headless_ui.h"

namespace {

constexpr ImU32 kPrimaryHeld = 0xFFCA580A;
constexpr ImU32 kPrimaryHovered = 0xFFD75E0B;
constexpr ImU32 kPrimaryNormal = 0xFFFD6E0D;
constexpr ImU32 kSecondaryNormal = 0xFF202020;
constexpr ImU32 kSecondaryBorder = 0xFF3C3C3C;
constexpr ImU32 kSecondaryLabel = 0xFFDCDCDC;

const ImVec2 kButtonPos(100, 100);
const ImVec2 kButtonSize(120, 32);
const ImRect kButtonRect(kButtonPos, ImVec2(220, 132));

// A plain full-screen window like the launcher's main window.
void inWindow(const std::function<void()>& body, ImGuiWindowFlags extra = 0) {
  ImGui::SetNextWindowPos(ImVec2(0, 0));
  ImGui::SetNextWindowSize(ImVec2(800, 600));
  ImGui::Begin("##widgets", nullptr,
               ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove |
                   ImGuiWindowFlags_NoSavedSettings | extra);
  body();
  ImGui::End();
}

// Runs frames with a primary button and records what it returned in each.
struct PrimaryButtonProbe {
  std::vector<bool> results;
  std::function<void()> draw() {
    return [this] {
      inWindow([this] { results.push_back(drawPrimaryButton("Go", kButtonPos, kButtonSize, 13)); });
    };
  }
};

TEST(Buttons, ClickCountsOnReleaseInsideOnly) {
  HeadlessUi ui(800, 600);
  PrimaryButtonProbe probe;
  ui.click(150, 116, probe.draw());
  ASSERT_EQ(probe.results.size(), 3u);
  EXPECT_FALSE(probe.results[0]);  // hover
  EXPECT_FALSE(probe.results[1]);  // press
  EXPECT_TRUE(probe.results[2]);   // release over the button

  ui.frame(probe.draw());
  EXPECT_FALSE(probe.results.back()) << "a click is reported in one frame only";
}

TEST(Buttons, ReleasedOutsideIsNoClickButShowsHeldFillMeanwhile) {
  HeadlessUi ui(800, 600);
  PrimaryButtonProbe probe;
  ui.moveMouse(150, 116);
  ui.frame(probe.draw());
  ui.pressMouse();
  ui.frame(probe.draw());
  EXPECT_TRUE(ui.drewColourIn(kPrimaryHeld, kButtonRect)) << "held wins over hovered";
  EXPECT_FALSE(ui.drewColourIn(kPrimaryHovered, kButtonRect));
  ui.moveMouse(400, 400);
  ui.frame(probe.draw());
  EXPECT_TRUE(ui.drewColourIn(kPrimaryHeld, kButtonRect)) << "held fill while the pointer is outside";
  EXPECT_FALSE(ui.drewColourIn(kPrimaryHovered, kButtonRect));
  ui.releaseMouse();
  ui.frame(probe.draw());
  for (bool clicked : probe.results) EXPECT_FALSE(clicked);
  EXPECT_TRUE(ui.drewColourIn(kPrimaryNormal, kButtonRect));
}

TEST(Buttons, FillFollowsHover) {
  HeadlessUi ui(800, 600);
  PrimaryButtonProbe probe;
  ui.moveMouse(10, 10);
  ui.frame(probe.draw());
  EXPECT_TRUE(ui.drewColourIn(kPrimaryNormal, kButtonRect));
  ui.moveMouse(150, 116);
  ui.frame(probe.draw());
  ui.frame(probe.draw());
  EXPECT_TRUE(ui.drewColourIn(kPrimaryHovered, kButtonRect));
  EXPECT_FALSE(ui.drewColourIn(kPrimaryNormal, kButtonRect));
}

TEST(Buttons, DoNotMoveTheLayoutCursorAndSitWhereTheyAreTold) {
  HeadlessUi ui(800, 600);
  ImVec2 before, after;
  bool firstClicked = false, secondClicked = false;
  auto draw = [&] {
    inWindow([&] {
      before = ImGui::GetCursorScreenPos();
      firstClicked |= drawSecondaryButton("First", ImVec2(20, 300), ImVec2(100, 30), 13);
      secondClicked |= drawSecondaryButton("Second", ImVec2(140, 300), ImVec2(100, 30), 13);
      after = ImGui::GetCursorScreenPos();
    });
  };
  ui.click(190, 315, draw);
  EXPECT_EQ(before.x, after.x);
  EXPECT_EQ(before.y, after.y);
  EXPECT_FALSE(firstClicked);
  EXPECT_TRUE(secondClicked);
  // Both labels on the same row, where the buttons were placed.
  EXPECT_NEAR(ui.textPosition("First").y, ui.textPosition("Second").y, 0.5f);
  EXPECT_GT(ui.textPosition("First").x, 20.0f);
  EXPECT_GT(ui.textPosition("Second").x, 140.0f);
}

TEST(Buttons, SecondaryHasBorderAndCentredLabelThatMayOverflow) {
  HeadlessUi ui(800, 600);
  ui.frame([] {
    inWindow([] {
      drawSecondaryButton("Cancel", kButtonPos, kButtonSize, 13);
      drawSecondaryButton("A label much wider than its button", ImVec2(100, 200), ImVec2(60, 30), 13);
    });
  });
  EXPECT_TRUE(ui.drewColourIn(kSecondaryNormal, kButtonRect));
  EXPECT_TRUE(ui.drewColourIn(kSecondaryBorder, kButtonRect));
  EXPECT_TRUE(ui.drewColourIn(kSecondaryLabel, kButtonRect));

  ImFont* font = uiThemeFont(13);
  const ImVec2 size = font->CalcTextSizeA(font->LegacySize, FLT_MAX, 0.0f, "Cancel");
  const ImVec2 at = ui.textPosition("Cancel");
  EXPECT_NEAR(at.x + size.x * 0.5f, kButtonRect.GetCenter().x, 1.0f);
  EXPECT_NEAR(at.y + size.y * 0.5f, kButtonRect.GetCenter().y, 1.0f);

  const ImVec2 wide = ui.textPosition("A label much wider");
  EXPECT_LT(wide.x, 100.0f) << "overflows on the left";
  EXPECT_TRUE(ui.drewText("than its button")) << "and is not shortened";
}

TEST(Buttons, ClippedOrSkippedButtonsDrawNothingAndNeverClick) {
  HeadlessUi ui(800, 600);
  std::vector<bool> results;
  // Below the window's clip rectangle.
  auto clipped = [&] {
    inWindow([&] { results.push_back(drawPrimaryButton("Far", ImVec2(100, 900), kButtonSize, 13)); });
  };
  ui.frame(clipped);
  EXPECT_FALSE(ui.drewColourIn(kPrimaryNormal, ImRect(0, 0, 800, 2000)));
  EXPECT_FALSE(ui.drewText("Far"));

  // A collapsed window skips its items.
  auto collapsed = [&] {
    ImGui::SetNextWindowCollapsed(true);
    ImGui::Begin("Collapsed", nullptr, ImGuiWindowFlags_NoSavedSettings);
    results.push_back(drawPrimaryButton("Hidden", kButtonPos, kButtonSize, 13));
    ImGui::End();
  };
  ui.click(150, 116, collapsed);
  EXPECT_FALSE(ui.drewColourIn(kPrimaryHeld, ImRect(0, 0, 800, 600)));
  EXPECT_FALSE(ui.drewColourIn(kPrimaryNormal, ImRect(0, 0, 800, 600)));
  EXPECT_FALSE(ui.drewText("Hidden"));
  for (bool clicked : results) EXPECT_FALSE(clicked);
}

// Shapes drawn without anti-aliasing keep their exact corner points as vertices.
std::vector<ImVec2> shapeVertices(const std::function<void(ImDrawList*)>& draw) {
  std::vector<ImVec2> points;
  HeadlessUi ui(400, 400);
  ui.frame([&] {
    ImDrawList list(ImGui::GetDrawListSharedData());
    list._ResetForNewFrame();
    list.PushClipRectFullScreen();
    list.Flags = ImDrawListFlags_None;
    draw(&list);
    for (const ImDrawVert& v : list.VtxBuffer) points.push_back(v.pos);
  });
  return points;
}

bool hasPoint(const std::vector<ImVec2>& points, ImVec2 p) {
  for (const ImVec2& q : points)
    if (std::fabs(q.x - p.x) < 0.01f && std::fabs(q.y - p.y) < 0.01f) return true;
  return false;
}

TEST(Icons, StarPointsUpAndRunsClockwise) {
  const ImVec2 c(200, 200);
  const float r = 10;
  const std::vector<ImVec2> filled =
      shapeVertices([&](ImDrawList* l) { drawStarIcon(l, c, 0xFFFFFFFF, true, r); });
  EXPECT_TRUE(hasPoint(filled, ImVec2(c.x, c.y - r))) << "first outer point straight above";
  EXPECT_TRUE(hasPoint(filled, ImVec2(c.x, c.y + 0.4f * r))) << "lowest inner point straight below";
  EXPECT_TRUE(hasPoint(filled, c)) << "filled from the centre";
  // P1 is the inner point to the right of the top.
  const float a1 = (-90.0f + 36.0f) * IM_PI / 180.0f;
  EXPECT_TRUE(hasPoint(filled, ImVec2(c.x + 0.4f * r * std::cos(a1), c.y + 0.4f * r * std::sin(a1))));
  float minY = 1e9f, maxY = -1e9f;
  for (const ImVec2& p : filled) {
    minY = std::min(minY, p.y);
    maxY = std::max(maxY, p.y);
  }
  EXPECT_NEAR(maxY, c.y + r * std::sin(54.0f * IM_PI / 180.0f), 1.0f);
  EXPECT_GE(minY, c.y - r - 1.0f);

  const std::vector<ImVec2> outline =
      shapeVertices([&](ImDrawList* l) { drawStarIcon(l, c, 0xFFFFFFFF, false, r); });
  EXPECT_FALSE(outline.empty());
  EXPECT_FALSE(hasPoint(outline, c)) << "the outline has no fill";
}

TEST(Icons, FolderAndDriveStayInTheirBox) {
  const ImVec2 at(50, 60);
  const float s = 16, h = 12;
  for (int kind = 0; kind < 2; ++kind) {
    const std::vector<ImVec2> points = shapeVertices([&](ImDrawList* l) {
      if (kind == 0)
        drawFolderIcon(l, at, 0xFFFFFFFF, s);
      else
        drawDriveIcon(l, at, 0xFFFFFFFF, s);
    });
    ASSERT_FALSE(points.empty());
    ImRect box(points[0], points[0]);
    for (const ImVec2& p : points) box.Add(p);
    // Lines 1.2 px thick straddle the outline; the folder tab leans 2 px further right.
    EXPECT_NEAR(box.Min.x, at.x, 1.0f) << kind;
    EXPECT_NEAR(box.Min.y, at.y, 1.0f) << kind;
    EXPECT_NEAR(box.Max.y, at.y + h, 1.0f) << kind;
    EXPECT_NEAR(box.Max.x, at.x + s, 1.0f) << kind;
  }
}

TEST(FormatByteSize, UnitsAndRounding) {
  EXPECT_EQ(formatByteSize(0), "0 B");
  EXPECT_EQ(formatByteSize(-5), "0 B");
  EXPECT_EQ(formatByteSize(1), "1 B");
  EXPECT_EQ(formatByteSize(1023), "1023 B");
  EXPECT_EQ(formatByteSize(1024), "1.0 KB");
  EXPECT_EQ(formatByteSize(1536), "1.5 KB");
  EXPECT_EQ(formatByteSize(1048575), "1024.0 KB");
  EXPECT_EQ(formatByteSize(1048576), "1.0 MB");
  EXPECT_EQ(formatByteSize(1073741824), "1.0 GB");
  EXPECT_EQ(formatByteSize(1099511627776), "1024.0 GB");
  EXPECT_EQ(formatByteSize(5 * 1099511627776), "5120.0 GB");
  EXPECT_EQ(formatByteSize(INT64_MAX), "8589934592.0 GB");
}

}  // namespace
