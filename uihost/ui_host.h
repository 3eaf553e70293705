// The launcher's UI host: one window, its OpenGL renderer and the Dear ImGui frame around it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct GLFWwindow;
struct UiIntegration;

struct UiHostDesc {
  const char* title = "";  // window title
  int32_t width = 0;       // the larger size pair is the initial window size...
  int32_t height = 0;
  int32_t minWidth = 0;  // ...and the smaller one the minimum
  int32_t minHeight = 0;
  const char* fontPath = "";  // TTF for every font; empty: Dear ImGui's built-in font
  uint64_t reserved = 0;      // unused, zero
  bool vsync = true;          // wait for the display's vertical blank when presenting
};

// What the host has drawn so far (benchmarks and tests read it).
struct UiHostStats {
  bool partialRedraw = false;   // the GL stack lets a changed part of the window be drawn and shown alone
  uint64_t framesRendered = 0;  // frames drawn and shown; unchanged frames are not
  uint64_t pixelsRendered = 0;  // their drawn area, summed
};

class UiHost {
 public:
  UiHost();
  ~UiHost();
  UiHost(const UiHost&) = delete;
  UiHost& operator=(const UiHost&) = delete;

  // Opens the window and the Dear ImGui context; false with one sentence in *error on failure.
  bool initialize(const UiHostDesc& desc, std::string* error);
  // Opens a Dear ImGui frame; false once the window was asked to close.
  bool beginFrame();
  float dpiScale() const;
  // Renders and shows the frame cleared with the colour; false once the window was asked to close.
  bool presentFrame(const float clearColor[4]);
  void shutdown();
  const UiHostStats& stats() const;

  // Any thread: ends beginFrame's wait for input, so a worker's published result is drawn at once.
  // Does nothing while no window is open.
  static void wake();

  // The open window's state (ui_host_internal.h); named here so the host's files and its GLFW
  // callbacks can reach it.
  struct Impl;

  UiIntegration* integration = nullptr;  // handed once to uiThemeInitialize
  float deltaTime = 0.0f;                // seconds since the previous frame, for uiThemeTick
  // While the window waits for input: called every idlePollSeconds (0: never, the wait has no
  // time-out); true draws a frame. Lets screens follow the file system without drawing to look.
  std::function<bool()> idlePoll;
  double idlePollSeconds = 0.0;

 private:
  Impl* impl_ = nullptr;
};
