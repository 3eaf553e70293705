// The launcher's UI host: one window, its OpenGL renderer and the Dear ImGui frame around it.
#pragma once

#include <cstdint>
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

  UiIntegration* integration = nullptr;  // handed once to uiThemeInitialize
  float deltaTime = 0.0f;                // seconds since the previous frame, for uiThemeTick

 private:
  struct Impl;
  Impl* impl_ = nullptr;
};
