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

// An input event of the window as GLFW reports it, not yet handed to Dear ImGui.
struct UiInputEvent {
  enum Kind { Move, Enter, Focus, Wheel, Char, Key, Button };
  Kind kind = Key;
  int code = 0;  // key, mouse button or character; the flag of Enter and Focus
  int scancode = 0, action = 0, mods = 0;
  double x = 0, y = 0;  // the pointer's position (Move) or the wheel's offsets (Wheel)
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

  // Input on its way to Dear ImGui (uiHoldInput)
  GLFWwindow* inputWindow = nullptr;
  // Dear ImGui's own callbacks, and the host's for the pointer's moves (Dear ImGui reads those itself)
  void (*deliverKey)(GLFWwindow*, int, int, int, int) = nullptr;
  void (*deliverChar)(GLFWwindow*, unsigned int) = nullptr;
  void (*deliverButton)(GLFWwindow*, int, int, int) = nullptr;
  void (*deliverMove)(GLFWwindow*, double, double) = nullptr;
  void (*deliverWheel)(GLFWwindow*, double, double) = nullptr;
  void (*deliverEnter)(GLFWwindow*, int) = nullptr;
  void (*deliverFocus)(GLFWwindow*, int) = nullptr;
  std::vector<UiInputEvent> heldInput;  // held for a later frame, in arrival order
  std::vector<int> changedSinceFrame;  // keys and buttons (see joinsFrame) changed since the last frame ended
  int frameRank = -1;                  // the latest kind handed on since then (see uiHoldInput); -1: none
  bool frameMoved = false;             // a move was handed on since then
  bool inputPaused = false;            // the frame to come first shows a window that just appeared: no input
  bool pointerKnown = false;           // a move was handed on: Dear ImGui sees its position
  bool pointerLeft = false;            // the pointer's leaving the window was handed on, no entry since
  double pointerX = 0, pointerY = 0;
  bool buttonsDown[5] = {};  // as handed on, which Dear ImGui sees instead of the buttons' state now

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

// Dear ImGui 1.86 reads input as the state at each frame: a key or button pressed and released
// between two frames would never be seen, and within a frame it reads the pointer and modifiers
// first, then the wheel, then typed characters, then keys and clicks, whatever order they came in.
// Automation, password managers and remote desktops send input in bursts, so the window's input
// goes through these callbacks instead of Dear ImGui's: events are handed on in order as long as
// the frame to come reads them in that order and sees each key and button change at most once; the
// first that would break this, and all after it, wait for the end of that frame. A frame that first
// shows a window that has just appeared (hidden the frame before, while it sized itself) gets no
// input. uiHoldInput installs them once Dear ImGui's are installed.
void uiHoldInput(GLFWwindow* window);
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
