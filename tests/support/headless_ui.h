// A Dear ImGui context without window or GPU, with the launcher's theme and fonts, driven by
// simulated input. Screens draw into it as they do in the real window; tests read the draw data.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "uihost/ui_theme.h"

class HeadlessUi {
 public:
  // Makes and selects a new context of width x height pixels at the given theme scale.
  HeadlessUi(float width, float height, float scale = 1.0f);
  ~HeadlessUi();
  HeadlessUi(const HeadlessUi&) = delete;
  HeadlessUi& operator=(const HeadlessUi&) = delete;

  // NewFrame, then the theme's per-frame calls (scale, tick, style) as the launcher makes them.
  void newFrame();
  // Render; the frame's draw data is kept for the queries below until the next endFrame.
  void endFrame();
  // newFrame, draw, endFrame.
  void frame(const std::function<void()>& draw);

  // Input, applied at the next newFrame.
  void moveMouse(float x, float y);
  void pressMouse(int button = 0);
  void releaseMouse(int button = 0);
  void pressKey(ImGuiKey key);
  void releaseKey(ImGuiKey key);
  void setModifiers(bool ctrl, bool shift = false, bool alt = false);
  void typeText(const char* text);
  void wheel(float dy);
  // The frames of a move to (x, y), a press and a release there; draw runs inside each frame.
  void click(float x, float y, const std::function<void()>& draw);

  // The theme scale the next frames use (fonts are rebuilt before the frame after the change).
  void setScale(float scale);
  float scale() const { return scale_; }
  ImGuiContext* context() const { return context_; }

  // The last rendered frame.
  const ImDrawData& drawData() const { return drawData_; }
  // True when the last frame drew the text (spaces are ignored: they draw nothing). Finds text
  // from any font of the theme, also when it is part of a longer text or wrapped over lines.
  bool drewText(const std::string& text) const;
  // The position text was drawn at (the point given to AddText); a test failure and (-1, -1) when
  // the last frame did not draw it.
  ImVec2 textPosition(const std::string& text) const;
  // Every text of the last frame, glyph runs joined without spaces, for failure messages.
  std::string drawnText() const;
  // True when some vertex of the last frame inside rect has this colour.
  bool drewColourIn(ImU32 colour, const ImRect& rect) const;

 private:
  struct Glyph {
    unsigned int codepoint;
    ImVec2 origin;  // the AddText position of the glyph's text run (floored, as drawn)
  };
  void collectGlyphs();
  int findText(const std::string& text) const;  // index into glyphs_ or -1

  ImGuiContext* context_ = nullptr;
  ImGuiContext* previous_ = nullptr;
  float scale_ = 1.0f;
  float width_ = 0.0f;
  float height_ = 0.0f;
  float pendingWheel_ = 0.0f;
  std::vector<std::unique_ptr<ImDrawList>> lists_;  // copies of the last frame's lists
  std::vector<ImDrawList*> listPointers_;
  ImDrawData drawData_;
  std::vector<Glyph> glyphs_;      // the last frame's drawn glyphs in drawing order, spaces excluded
  std::vector<size_t> runStarts_;  // glyph indices where a separately drawn text run begins
};
