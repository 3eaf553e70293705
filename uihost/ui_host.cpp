#include "uihost/ui_host.h"

#define GLFW_INCLUDE_NONE
#include <GL/gl.h>
#include <GLFW/glfw3.h>
#include <backends/imgui_impl_glfw.h>
#include <backends/imgui_impl_opengl3.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "uihost/ui_context.h"
#include "uihost/ui_integration.h"
#include "uihost/ui_theme.h"

// The few GLX calls the partial present needs, declared here: the full GLX header brings X11's
// macros (None, Bool, Status...) into this file.
extern "C" {
struct _XDisplay;
_XDisplay* glXGetCurrentDisplay();
unsigned long glXGetCurrentDrawable();
}

namespace {

constexpr double kFrameInterval = 1.0 / 60.0;      // frames that answer input
constexpr double kAnimationInterval = 1.0 / 30.0;  // every other frame
// Frames drawn after input or a wake whatever they show: Dear ImGui shows some changes a frame or
// two late (a click's release is read a frame after its press; a page chosen by a click is drawn
// the frame after; a new popup's first frame is hidden while it measures itself).
constexpr int kSettleFrames = 3;

using CopySubBufferFn = void (*)(_XDisplay* display, unsigned long drawable, int x, int y, int width,
                                 int height);

// Worker threads wake the frame loop through UiHost::wake; the window they reach lives in here.
std::mutex gWakeMutex;
bool gWakeLive = false;  // a window exists: glfwPostEmptyEvent may be called
std::atomic<bool> gWoken{false};

std::string glfwErrorText() {
  const char* description = nullptr;
  glfwGetError(&description);
  std::string text = description ? description : "";
  while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
  return text;
}

std::string sentenceWithCause(const char* sentence, const std::string& cause) {
  std::string text = sentence;
  if (!cause.empty()) text += " (" + cause + ")";
  return text + ".";
}

// One drawn triangle as the renderer sees it. Frames are compared triangle by triangle: equal
// frames are not drawn again, and a changed one is redrawn only where its triangles changed.
struct DrawnTriangle {
  ImVec4 clip;  // clip rectangle, display coordinates
  uint64_t texture;
  ImDrawVert vertex[3];
  uint32_t zero;  // fills the tail, so memcmp compares every byte
};
static_assert(sizeof(DrawnTriangle) == 16 + 8 + 3 * sizeof(ImDrawVert) + 4, "no padding");

// Returns false when a draw command is a callback: such a frame is always drawn whole.
bool collectTriangles(const ImDrawData* drawData, std::vector<DrawnTriangle>& out) {
  out.clear();
  if (!drawData) return true;
  bool plain = true;
  for (int n = 0; n < drawData->CmdListsCount; ++n) {
    const ImDrawList* list = drawData->CmdLists[n];
    for (const ImDrawCmd& cmd : list->CmdBuffer) {
      if (cmd.UserCallback) {
        plain = false;
        continue;
      }
      DrawnTriangle triangle;
      triangle.clip = cmd.ClipRect;
      triangle.texture = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(cmd.TextureId));
      triangle.zero = 0;
      const ImDrawIdx* index = list->IdxBuffer.Data + cmd.IdxOffset;
      const ImDrawVert* vertices = list->VtxBuffer.Data + cmd.VtxOffset;
      for (unsigned int e = 0; e + 3 <= cmd.ElemCount; e += 3) {
        for (int j = 0; j < 3; ++j) triangle.vertex[j] = vertices[index[e + j]];
        out.push_back(triangle);
      }
    }
  }
  return plain;
}

bool sameTriangle(const DrawnTriangle& a, const DrawnTriangle& b) {
  return std::memcmp(&a, &b, sizeof(DrawnTriangle)) == 0;
}

void addTriangleBounds(const DrawnTriangle& triangle, ImRect& bounds) {
  ImRect box(triangle.vertex[0].pos, triangle.vertex[0].pos);
  box.Add(triangle.vertex[1].pos);
  box.Add(triangle.vertex[2].pos);
  box.ClipWithFull(ImRect(triangle.clip.x, triangle.clip.y, triangle.clip.z, triangle.clip.w));
  if (box.Min.x < box.Max.x && box.Min.y < box.Max.y) bounds.Add(box);
}

// Where two frames differ, in display coordinates: the bounds of the triangles between their common
// beginning and their common end, in both frames (a moving spinner: only its own square). False when
// the frames are equal; an empty rectangle when they differ only outside every clip rectangle.
bool frameDamage(const std::vector<DrawnTriangle>& before, const std::vector<DrawnTriangle>& after,
                 ImRect& damage) {
  const size_t common = std::min(before.size(), after.size());
  size_t head = 0;
  while (head < common && sameTriangle(before[head], after[head])) ++head;
  if (head == before.size() && head == after.size()) return false;
  size_t tail = 0;
  while (tail < common - head &&
         sameTriangle(before[before.size() - 1 - tail], after[after.size() - 1 - tail]))
    ++tail;
  damage = ImRect(FLT_MAX, FLT_MAX, -FLT_MAX, -FLT_MAX);
  for (size_t i = head; i < before.size() - tail; ++i) addTriangleBounds(before[i], damage);
  for (size_t i = head; i < after.size() - tail; ++i) addTriangleBounds(after[i], damage);
  return true;
}

void sleepUntil(double deadline) {
  const double remaining = deadline - glfwGetTime();
  if (remaining > 0.0) std::this_thread::sleep_for(std::chrono::duration<double>(remaining));
}

ImTextureID createGlTexture(void*, const ImTextureData& texture) {
  std::vector<unsigned char> expanded;
  const unsigned char* pixels = texture.Pixels;
  if (texture.Format == ImTextureFormat_Alpha8) {
    // Core profiles have no alpha-only format: white with the coverage as alpha.
    expanded.resize(static_cast<size_t>(texture.Width) * static_cast<size_t>(texture.Height) * 4, 255);
    for (size_t i = 0; i < expanded.size() / 4; ++i) expanded[i * 4 + 3] = texture.Pixels[i];
    pixels = expanded.data();
  }
  GLint previous = 0;
  glGetIntegerv(GL_TEXTURE_BINDING_2D, &previous);
  GLuint name = 0;
  glGenTextures(1, &name);
  glBindTexture(GL_TEXTURE_2D, name);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, texture.Width, texture.Height, 0, GL_RGBA, GL_UNSIGNED_BYTE,
               pixels);
  glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(previous));
  return reinterpret_cast<ImTextureID>(static_cast<intptr_t>(name));
}

void destroyGlTexture(void*, ImTextureID id) {
  const GLuint name = static_cast<GLuint>(reinterpret_cast<intptr_t>(id));
  if (name) glDeleteTextures(1, &name);
}

}  // namespace

// Window state the GLFW callbacks also reach (through the window's user pointer).
struct UiHostState {
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
  double lastFrameDue = 0;              // when the last frame was due (see beginFrame)
  // Presenting a sub-rectangle (GLX_MESA_copy_sub_buffer): the back buffer is never swapped, so it
  // keeps the last frame and only the changed part is drawn and copied to the window. Null: every
  // changed frame is drawn whole and swapped.
  CopySubBufferFn copySubBuffer = nullptr;
  UiHostStats stats;
};

struct UiHost::Impl : UiHostState {
  void release();
};

namespace {

void fontAtlasChanged(void* renderer) {
  auto* impl = static_cast<UiHostState*>(renderer);
  impl->forceRender = true;
  if (!impl->rendererObjectsMade) return;  // the first frame uploads the atlas as it is then
  ImGui_ImplOpenGL3_DestroyFontsTexture();
  ImGui_ImplOpenGL3_CreateFontsTexture();
}

void onWindowDamaged(GLFWwindow* window) {
  if (auto* impl = static_cast<UiHostState*>(glfwGetWindowUserPointer(window))) impl->forceRender = true;
}
void onFramebufferSize(GLFWwindow* window, int, int) {
  onWindowDamaged(window);
}
void onContentScale(GLFWwindow* window, float, float) {
  onWindowDamaged(window);
}

// Input ends a wait for work; Dear ImGui's callbacks, installed after these, call them first.
void onInput(GLFWwindow* window) {
  if (auto* impl = static_cast<UiHostState*>(glfwGetWindowUserPointer(window))) impl->inputArrived = true;
}
void installInputCallbacks(GLFWwindow* window) {
  glfwSetCursorPosCallback(window, [](GLFWwindow* w, double, double) { onInput(w); });
  glfwSetCursorEnterCallback(window, [](GLFWwindow* w, int) { onInput(w); });
  glfwSetWindowFocusCallback(window, [](GLFWwindow* w, int) { onInput(w); });
  glfwSetMouseButtonCallback(window, [](GLFWwindow* w, int, int, int) { onInput(w); });
  glfwSetScrollCallback(window, [](GLFWwindow* w, double, double) { onInput(w); });
  glfwSetKeyCallback(window, [](GLFWwindow* w, int, int, int, int) { onInput(w); });
  glfwSetCharCallback(window, [](GLFWwindow* w, unsigned int) { onInput(w); });
}

// When the caret of a focused text field next blinks, as Dear ImGui draws it (on while its timer
// is below 0 or its phase within a 1.2 s period is at most 0.8 s); DBL_MAX when no caret blinks.
double nextCaretBlink(double lastFrameStart) {
  const ImGuiContext* g = ImGui::GetCurrentContext();
  if (!g || !g->IO.ConfigInputTextCursorBlink || !g->IO.WantTextInput || g->ActiveId == 0 ||
      g->InputTextState.ID != g->ActiveId)
    return DBL_MAX;
  const double timer = g->InputTextState.CursorAnim;
  const double phase = std::fmod(timer, 1.2);
  const double wait = timer < 0.0 ? 0.8 - timer : phase <= 0.8 ? 0.8 - phase : 1.2 - phase;
  return lastFrameStart + wait + 0.01;
}

// Sleeps until there is something to draw: input, a wake from a worker, an expose, a caret's blink,
// or an idle poll that reports a change. Otherwise it waits without a time-out.
void waitForWork(UiHostState& impl, const std::function<bool()>& poll, double pollSeconds) {
  const bool polling = poll && pollSeconds > 0.0;
  double nextPoll = impl.lastFrameStart + pollSeconds;
  const double caretBlink = nextCaretBlink(impl.lastFrameStart);
  for (;;) {
    if (gWoken.exchange(false) || glfwWindowShouldClose(impl.window)) return;
    const double now = glfwGetTime();
    if (now >= caretBlink) return;
    if (polling && now >= nextPoll) {
      nextPoll = now + pollSeconds;
      if (poll()) return;
      continue;
    }
    const double until = std::min(caretBlink, polling ? nextPoll : DBL_MAX);
    if (until == DBL_MAX)
      glfwWaitEvents();
    else
      glfwWaitEventsTimeout(until - now);
    if (impl.inputArrived || impl.forceRender) return;
  }
}

const UiTextureUploader kGlUploader{nullptr, createGlTexture, destroyGlTexture};

}  // namespace

void UiHost::Impl::release() {
  {
    std::lock_guard<std::mutex> lock(gWakeMutex);
    gWakeLive = false;
  }
  if (context) {
    ImGui::SetCurrentContext(context);
    if (rendererReady) {
      uiDestroyAllTextures(kGlUploader);
      ImGui_ImplOpenGL3_Shutdown();
    }
    if (platformReady) ImGui_ImplGlfw_Shutdown();
    ImGui::DestroyContext(context);
    context = nullptr;
  }
  rendererReady = platformReady = false;
  if (window) glfwDestroyWindow(window);
  window = nullptr;
  if (glfwReady) glfwTerminate();
  glfwReady = false;
}

UiHost::UiHost() = default;

UiHost::~UiHost() {
  if (impl_) impl_->release();
  delete impl_;
}

bool UiHost::initialize(const UiHostDesc& desc, std::string* error) {
  auto fail = [&](const std::string& message) {
    if (error) *error = message;
    impl_->release();
    delete impl_;
    impl_ = nullptr;
    integration = nullptr;
    return false;
  };
  if (impl_) {
    if (error) *error = "The launcher window is already open.";
    return false;
  }
  impl_ = new Impl();

  if (!glfwInit())
    return fail(sentenceWithCause("No display is available to open the launcher window", glfwErrorText()));
  impl_->glfwReady = true;

  // The larger size pair opens the window, the smaller one is its minimum.
  int width = desc.width, height = desc.height, minWidth = desc.minWidth, minHeight = desc.minHeight;
  if (static_cast<int64_t>(minWidth) * minHeight > static_cast<int64_t>(width) * height) {
    std::swap(width, minWidth);
    std::swap(height, minHeight);
  }
  if (width <= 0 || height <= 0) return fail("The launcher window size is not valid.");

  glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
  glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 0);
  glfwWindowHint(GLFW_SCALE_TO_MONITOR, GLFW_TRUE);
  impl_->window = glfwCreateWindow(width, height, desc.title ? desc.title : "", nullptr, nullptr);
  if (!impl_->window)
    return fail(sentenceWithCause("The launcher window could not be created with OpenGL 3", glfwErrorText()));
  glfwSetWindowUserPointer(impl_->window, static_cast<UiHostState*>(impl_));
  glfwMakeContextCurrent(impl_->window);
  glfwSwapInterval(desc.vsync ? 1 : 0);

  const float scale = dpiScale();
  if (minWidth > 0 && minHeight > 0) {
    glfwSetWindowSizeLimits(impl_->window, static_cast<int>(std::lround(minWidth * scale)),
                            static_cast<int>(std::lround(minHeight * scale)), GLFW_DONT_CARE, GLFW_DONT_CARE);
  }
  glfwSetFramebufferSizeCallback(impl_->window, onFramebufferSize);
  glfwSetWindowRefreshCallback(impl_->window, onWindowDamaged);
  glfwSetWindowContentScaleCallback(impl_->window, onContentScale);
  installInputCallbacks(impl_->window);
  if (glfwExtensionSupported("GLX_MESA_copy_sub_buffer"))
    impl_->copySubBuffer = reinterpret_cast<CopySubBufferFn>(glfwGetProcAddress("glXCopySubBufferMESA"));
  impl_->stats.partialRedraw = impl_->copySubBuffer != nullptr;

  IMGUI_CHECKVERSION();
  impl_->context = ImGui::CreateContext();
  ImGuiIO& io = ImGui::GetIO();
  io.IniFilename = nullptr;  // nothing of the window layout is kept between runs
  io.LogFilename = nullptr;
  if (!ImGui_ImplGlfw_InitForOpenGL(impl_->window, true))
    return fail("The launcher window could not be connected to the interface.");
  impl_->platformReady = true;
  uiHoldKeyboardInput(impl_->window);
  if (!ImGui_ImplOpenGL3_Init("#version 130")) return fail("The OpenGL 3 renderer could not be started.");
  impl_->rendererReady = true;

  impl_->integration.fontPath = desc.fontPath ? desc.fontPath : "";
  impl_->integration.initialScale = scale;
  impl_->integration.renderer = static_cast<UiHostState*>(impl_);
  impl_->integration.fontAtlasChanged = fontAtlasChanged;
  integration = &impl_->integration;
  impl_->lastFrameStart = glfwGetTime() - kFrameInterval;
  {
    std::lock_guard<std::mutex> lock(gWakeMutex);
    gWakeLive = true;
  }
  return true;
}

void UiHost::wake() {
  gWoken.store(true);
  std::lock_guard<std::mutex> lock(gWakeMutex);
  if (gWakeLive) glfwPostEmptyEvent();
}

const UiHostStats& UiHost::stats() const {
  static const UiHostStats none;
  return impl_ ? impl_->stats : none;
}

bool UiHost::beginFrame() {
  if (!impl_ || !impl_->window || impl_->shutDown) return false;
  GLFWwindow* window = impl_->window;
  if (glfwWindowShouldClose(window)) return false;

  // Pacing: frames that answer input come at most 60 a second, all others (a spinner, a download's
  // progress, a worker's result, the frames that settle after a change) at most 30; with nothing
  // to draw the loop sleeps until input, a worker's wake or a change the idle poll finds.
  int fbWidth = 0, fbHeight = 0;
  glfwGetFramebufferSize(window, &fbWidth, &fbHeight);
  const bool visible = fbWidth > 0 && fbHeight > 0;
  const bool busy = visible && (impl_->forceRender || impl_->lastChanged || impl_->settleFrames > 0 ||
                                uiThemeAnimating() || uiThemeFontsPending());
  if (busy) {
    impl_->settleFrames = std::max(0, impl_->settleFrames - 1);
  } else {
    waitForWork(*impl_, idlePoll, idlePollSeconds);
    impl_->settleFrames = kSettleFrames;
  }
  // A steady cadence: a frame is due one interval after the previous one was due, so sleeping a
  // little long does not lower the rate; after a pause the cadence starts anew.
  const double interval = impl_->inputArrived ? kFrameInterval : kAnimationInterval;
  impl_->inputArrived = false;
  const double now = glfwGetTime();
  double due = impl_->lastFrameDue + interval;
  if (due < now - interval) due = now;
  sleepUntil(due);
  impl_->lastFrameDue = due;
  glfwPollEvents();
  if (glfwWindowShouldClose(window)) return false;
  if (impl_->inputArrived) impl_->settleFrames = kSettleFrames;

  impl_->lastFrameStart = glfwGetTime();
  uiThemePrepareFrame();
  ImGui_ImplOpenGL3_NewFrame();
  impl_->rendererObjectsMade = true;
  ImGui_ImplGlfw_NewFrame();
  ImGui::NewFrame();
  deltaTime = ImGui::GetIO().DeltaTime;
  return true;
}

float UiHost::dpiScale() const {
  if (!impl_ || !impl_->window) return 1.0f;
  float x = 1.0f, y = 1.0f;
  glfwGetWindowContentScale(impl_->window, &x, &y);
  const float scale = std::max(x, y);
  if (!std::isfinite(scale) || scale <= 0.0f) return 1.0f;
  return std::clamp(scale, 0.5f, 4.0f);
}

bool UiHost::presentFrame(const float clearColor[4]) {
  if (!impl_ || !impl_->window || impl_->shutDown) return false;
  ImGuiContext* context = ImGui::GetCurrentContext();
  if (!context || !context->WithinFrameScope) return !glfwWindowShouldClose(impl_->window);

  ImGui::Render();
  ImDrawData* drawData = ImGui::GetDrawData();
  if (uiProcessTextures(kGlUploader, drawData)) impl_->forceRender = true;

  int width = 0, height = 0;
  glfwGetFramebufferSize(impl_->window, &width, &height);
  static constexpr float kBlack[4] = {0, 0, 0, 1};
  const float* clear = clearColor ? clearColor : kBlack;
  const bool plain = collectTriangles(drawData, impl_->drawn);
  const bool sameCanvas = impl_->presented && width == impl_->shownWidth && height == impl_->shownHeight &&
                          std::memcmp(clear, impl_->shownClear, sizeof(impl_->shownClear)) == 0;
  // The GL stack gives the back buffer a new window size only at a swap: a resized window is swapped
  // once, then drawn whole again into the buffer of its new size.
  const bool resized = impl_->presented && (width != impl_->shownWidth || height != impl_->shownHeight);
  ImRect damage;
  const bool changed = !sameCanvas || !plain || frameDamage(impl_->shown, impl_->drawn, damage);
  const bool whole = !sameCanvas || !plain || impl_->forceRender || !impl_->copySubBuffer;
  if (width > 0 && height > 0 && (changed || impl_->forceRender)) {
    // The damage in framebuffer pixels, widened by one for the rounding of the rasteriser.
    const ImVec2 offset = drawData->DisplayPos;
    const ImVec2 scale = drawData->FramebufferScale;
    int x0 = 0, y0 = 0, x1 = width, y1 = height;
    if (!whole && damage.Min.x > damage.Max.x) {
      x1 = x0;  // the change is clipped away: nothing to draw
    } else if (!whole) {
      x0 = std::max(0, static_cast<int>(std::floor((damage.Min.x - offset.x) * scale.x)) - 1);
      y0 = std::max(0, static_cast<int>(std::floor((damage.Min.y - offset.y) * scale.y)) - 1);
      x1 = std::min(width, static_cast<int>(std::ceil((damage.Max.x - offset.x) * scale.x)) + 1);
      y1 = std::min(height, static_cast<int>(std::ceil((damage.Max.y - offset.y) * scale.y)) + 1);
      const ImVec4 limit(offset.x + x0 / scale.x, offset.y + y0 / scale.y, offset.x + x1 / scale.x,
                         offset.y + y1 / scale.y);
      for (int n = 0; n < drawData->CmdListsCount; ++n) {
        for (ImDrawCmd& cmd : drawData->CmdLists[n]->CmdBuffer) {
          cmd.ClipRect = ImVec4(std::max(cmd.ClipRect.x, limit.x), std::max(cmd.ClipRect.y, limit.y),
                                std::min(cmd.ClipRect.z, limit.z), std::min(cmd.ClipRect.w, limit.w));
        }
      }
    }
    if (x1 > x0 && y1 > y0) {
      glViewport(0, 0, width, height);
      glEnable(GL_SCISSOR_TEST);
      glScissor(x0, height - y1, x1 - x0, y1 - y0);
      glClearColor(clear[0], clear[1], clear[2], clear[3]);
      glClear(GL_COLOR_BUFFER_BIT);
      glDisable(GL_SCISSOR_TEST);
      ImGui_ImplOpenGL3_RenderDrawData(drawData);
      if (impl_->copySubBuffer && !resized)
        impl_->copySubBuffer(glXGetCurrentDisplay(), glXGetCurrentDrawable(), x0, height - y1, x1 - x0,
                             y1 - y0);
      else
        glfwSwapBuffers(impl_->window);
      ++impl_->stats.framesRendered;
      impl_->stats.pixelsRendered += static_cast<uint64_t>(x1 - x0) * static_cast<uint64_t>(y1 - y0);
    }
    impl_->presented = true;
    impl_->shown.swap(impl_->drawn);
    std::memcpy(impl_->shownClear, clear, sizeof(impl_->shownClear));
    impl_->shownWidth = width;
    impl_->shownHeight = height;
    impl_->forceRender = resized && impl_->copySubBuffer;
  }
  impl_->lastChanged = changed;
  return !glfwWindowShouldClose(impl_->window);
}

void UiHost::shutdown() {
  if (!impl_ || impl_->shutDown) return;
  impl_->release();
  impl_->shutDown = true;
  integration = nullptr;
}
