// State the UI host layer keeps per Dear ImGui context: theme, fonts and the program's textures.
// It hangs off the context itself and is freed with it, so tests can make and drop contexts freely.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "uihost/imgui_compat.h"
#include "uihost/ui_fonts.h"

struct GLFWwindow;
struct UiIntegration;

// A key or character event of the window as GLFW reports it, not yet handed to Dear ImGui.
struct UiKeyboardEvent {
  unsigned int codepoint = 0;  // a character when not 0, else a key event
  int key = 0, scancode = 0, action = 0, mods = 0;
};

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

  // Keyboard input on its way to Dear ImGui (uiHostKeyEvent)
  GLFWwindow* keyboardWindow = nullptr;
  void (*deliverKey)(GLFWwindow*, int, int, int, int) = nullptr;  // Dear ImGui's own callbacks
  void (*deliverChar)(GLFWwindow*, unsigned int) = nullptr;
  std::vector<UiKeyboardEvent> heldKeyboard;  // held for a later frame, in arrival order
  std::vector<int> keysChanged;               // keys pressed or released since the last frame ended

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

// Dear ImGui 1.86 keeps only each key's state at a frame, so a key pressed and released between
// two frames (automation, a remote desktop) would never be seen. The window's key and character
// events go through these callbacks instead of Dear ImGui's: each event is handed on in order
// until one would change a key a second time before the next frame; it and all after it wait for
// the end of that frame. uiHoldKeyboardInput installs them once Dear ImGui's are installed.
void uiHoldKeyboardInput(GLFWwindow* window);
void uiHostKeyEvent(GLFWwindow* window, int key, int scancode, int action, int mods);
void uiHostCharEvent(GLFWwindow* window, unsigned int codepoint);

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
