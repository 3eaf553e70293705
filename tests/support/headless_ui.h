// A Dear ImGui context without window or GPU, with the launcher's theme and fonts, driven by
// simulated input. Screens draw into it as they do in the real window; tests read what was drawn.
#pragma once

#include <functional>
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
  // Render, and note the glyphs drawn for the text queries below.
  void endFrame();
  void frame(const std::function<void()>& draw);  // newFrame, draw, endFrame

  // Input, applied at the next newFrame.
  void moveMouse(float x, float y) { io().MousePos = ImVec2(x, y); }
  void pressMouse(int button = 0) { io().MouseDown[button] = true; }
  void releaseMouse(int button = 0) { io().MouseDown[button] = false; }
  void pressKey(ImGuiKey key) { io().KeysDown[key] = true; }
  void releaseKey(ImGuiKey key) { io().KeysDown[key] = false; }
  void typeText(const char* text) { io().AddInputCharactersUTF8(text); }
  // The frames of a move to (x, y), a press and a release there; draw runs inside each frame.
  void click(float x, float y, const std::function<void()>& draw);
  // The theme scale of the next frames (fonts are rebuilt before the frame after the change).
  void setScale(float scale) { scale_ = scale; }

  // The last rendered frame, valid until the next newFrame.
  const ImDrawData& drawData() const;
  // True when the last frame drew the text (spaces are ignored: they draw nothing), in any font of
  // the theme, also as part of a longer text or wrapped over lines, also cut by a clip rectangle.
  bool drewText(const std::string& text) const;
  // Where text was drawn (the point given to AddText); a test failure and (-1, -1) when it was not.
  ImVec2 textPosition(const std::string& text) const;
  // Every text of the last frame, runs separated by " | ", for failure messages.
  std::string drawnText() const;
  // True when some vertex of the last frame inside rect has this colour.
  bool drewColourIn(ImU32 colour, const ImRect& rect) const;

 private:
  struct Glyph {
    unsigned int codepoint;
    ImVec2 origin;  // the AddText position of the glyph's text run (floored, as drawn)
  };
  ImGuiIO& io() const;
  void collectGlyphs();
  const Glyph* findText(const std::string& text) const;

  ImGuiContext* context_ = nullptr;
  float scale_;
  std::vector<std::vector<Glyph>> runs_;  // the last frame's separately drawn texts, spaces excluded
};
