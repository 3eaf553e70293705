// What the window host hands the theme: the font file, the first scale and a way to tell the
// renderer that the font atlas was rebuilt. The theme works without one (headless drawing).
#pragma once

#include <string>

struct UiIntegration {
  std::string fontPath;       // TTF for every font; empty: the system's Roboto, else Dear ImGui's own font
  float initialScale = 1.0f;  // content scale of the window when it opened
  void* renderer = nullptr;   // passed back to fontAtlasChanged
  // Called after the theme rebuilt the font atlas (outside a frame): re-upload the font texture.
  void (*fontAtlasChanged)(void* renderer) = nullptr;
};
