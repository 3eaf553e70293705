// State the UI host layer keeps per Dear ImGui context: theme, fonts and the program's textures.
// It hangs off the context itself and is freed with it, so tests can make and drop contexts freely.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "uihost/imgui_compat.h"
#include "uihost/ui_fonts.h"

struct UiIntegration;

struct UiContextData {
  // Theme
  UiIntegration* integration = nullptr;
  std::string fontPath;                          // resolved TTF path; empty: Dear ImGui's built-in font
  std::vector<unsigned char> fontFile;           // the TTF bytes, shared by every baked size
  std::vector<std::pair<float, ImFont*>> fonts;  // design size -> font baked at size * scale
  UiGlyphSet glyphs;                             // what each size carries beyond Latin-1, and from where
  float scale = 1.0f;                            // the scale the fonts and px() use
  float pendingScale = 0.0f;                     // asked for inside a frame; applied before the next one
  bool initialized = false;
  float time = 0.0f;          // seconds of theme clock (sum of ticks)
  float revealStart = -1.0f;  // theme time of the first reveal; -1 before it
  bool animating = false;     // a spinner or reveal was drawn this frame

  // Textures owned by the program
  std::vector<ImTextureData*> textures;       // registered with RegisterUserTexture
  std::vector<ImTextureID> texturesToDelete;  // renderer textures of unregistered ones
};

// The current context's data; created on first use when create is true, else null when absent.
UiContextData* uiContextData(bool create);

// Before each frame's NewFrame: applies a scale change asked for during the previous frame and
// bakes the characters it drew that the atlas lacked (the atlas is never rebuilt while a frame is
// in flight, so at most once per frame), and starts a new animation record.
void uiThemePrepareFrame();
// Every text drawn reports here (font null: the current font); characters a size lacks are baked
// before the next frame.
void uiThemeNoteText(const ImFont* font, const char* begin, const char* end);
// True when drawn characters wait to be baked: the host draws the next frame without waiting.
bool uiThemeFontsPending();

// Renderer side of the program's textures: the host uploads pixels marked WantCreate, deletes
// textures of unregistered ones and points draw commands at the uploaded textures.
struct UiTextureUploader {
  void* user = nullptr;
  ImTextureID (*create)(void* user, const ImTextureData& texture) = nullptr;
  void (*destroy)(void* user, ImTextureID id) = nullptr;
};
// Returns true when any texture was created or destroyed.
bool uiProcessTextures(const UiTextureUploader& uploader, ImDrawData* drawData);
// Deletes every renderer texture the current context knows of (host shutdown).
void uiDestroyAllTextures(const UiTextureUploader& uploader);
