// What the window host's files share: the state of the open window, which the GLFW callbacks also
// reach (through the window's user pointer), and the steps of a frame each file provides.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "uihost/imgui_compat.h"
#include "uihost/ui_context.h"
#include "uihost/ui_host.h"
#include "uihost/ui_integration.h"

struct _XDisplay;

using CopySubBufferFn = void (*)(_XDisplay* display, unsigned long drawable, int x, int y, int width,
                                 int height);

// One drawn triangle as the renderer sees it. Frames are compared triangle by triangle: equal
// frames are not drawn again, and a changed one is redrawn only where its triangles changed.
struct DrawnTriangle {
  ImVec4 clip;  // clip rectangle, display coordinates
  uint64_t texture;
  ImDrawVert vertex[3];
  uint32_t zero;  // fills the tail, so memcmp compares every byte
};
static_assert(sizeof(DrawnTriangle) == 16 + 8 + 3 * sizeof(ImDrawVert) + 4, "no padding");

struct UiHost::Impl {
  GLFWwindow* window = nullptr;
  ImGuiContext* context = nullptr;
  bool glfwReady = false;
  bool platformReady = false;
  bool rendererReady = false;
  bool rendererObjectsMade = false;  // the renderer made its font texture at the first frame
  bool shutDown = false;
  UiIntegration integration;

  bool presented = false;               // a frame has been shown
  std::vector<DrawnTriangle> shown;     // the triangles of the frame on screen
  std::vector<DrawnTriangle> drawn;     // this frame's, swapped with shown once presented
  float shownClear[4] = {0, 0, 0, 0};   // clear colour of the frame on screen
  int shownWidth = 0, shownHeight = 0;  // framebuffer size of the frame on screen
  bool forceRender = true;              // resize, expose or new textures: draw the whole window
  bool lastChanged = true;              // the last frame differed from the one before it
  bool inputArrived = false;            // a GLFW input callback ran since the last events were read
  int settleFrames = 0;                 // frames still to draw after input or a wake (kSettleFrames)
  double lastFrameStart = 0;            // glfwGetTime at the start of the last frame
  double lastFrameDue = 0;              // when the last frame was due (see paceFrame)
  // Presenting a sub-rectangle (GLX_MESA_copy_sub_buffer): the back buffer is never swapped, so it
  // keeps the last frame and only the changed part is drawn and copied to the window. Null: every
  // changed frame is drawn whole and swapped.
  CopySubBufferFn copySubBuffer = nullptr;
  UiHostStats stats;

  void release();
};

// Frame pacing (ui_frame_pacing.cpp).
// The window exists from startPacing until stopPacing: only then may a worker's wake post to it.
void startPacing(UiHost::Impl& impl);
void stopPacing();
// Waits until the next frame is due (input, a wake, an expose, a caret's blink, an idle poll that
// reports a change, or the animation of the last frames) and reads the window's events; false once
// the window was asked to close.
bool paceFrame(UiHost::Impl& impl, const std::function<bool()>& idlePoll, double idlePollSeconds);

// Frame damage (ui_frame_damage.cpp).
// Draws and shows the rendered frame where it differs from the one on screen (all of it when the
// window was damaged or no partial present is available); nothing when it is unchanged.
void presentChanges(UiHost::Impl& impl, ImDrawData* drawData, const float clear[4]);

// Texture upload (ui_textures.cpp).
extern const UiTextureUploader kGlUploader;
// The theme rebuilt the font atlas: upload it again and draw the whole window.
void fontAtlasChanged(void* renderer);
