#include "uihost/ui_host.h"

#define GLFW_INCLUDE_NONE
#include <GL/gl.h>
#include <GLFW/glfw3.h>
#include <backends/imgui_impl_glfw.h>
#include <backends/imgui_impl_opengl3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "uihost/ui_context.h"
#include "uihost/ui_integration.h"
#include "uihost/ui_theme.h"

namespace {

constexpr double kFrameInterval = 1.0 / 60.0;  // animation cap
constexpr double kIdleWait = 0.08;             // idle frames still run often enough to show worker results

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

// Draw data fingerprint: an unchanged frame is not rendered and swapped again.
struct FrameHasher {
  uint64_t value = 0xcbf29ce484222325ull;
  void add(const void* data, size_t size) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
      uint64_t word;
      std::memcpy(&word, bytes + i, 8);
      mix(word);
    }
    uint64_t tail = 0;
    std::memcpy(&tail, bytes + i, size - i);
    mix(tail ^ (static_cast<uint64_t>(size) << 56));
  }
  void mix(uint64_t word) {
    value ^= word;
    value *= 0x100000001b3ull;
    value ^= value >> 29;
  }
};

uint64_t hashFrame(const ImDrawData* drawData, const float clear[4], int width, int height) {
  FrameHasher hasher;
  hasher.add(clear, sizeof(float) * 4);
  const int size[2] = {width, height};
  hasher.add(size, sizeof(size));
  if (!drawData) return hasher.value;
  for (int n = 0; n < drawData->CmdListsCount; ++n) {
    const ImDrawList* list = drawData->CmdLists[n];
    hasher.add(list->VtxBuffer.Data, sizeof(ImDrawVert) * static_cast<size_t>(list->VtxBuffer.Size));
    hasher.add(list->IdxBuffer.Data, sizeof(ImDrawIdx) * static_cast<size_t>(list->IdxBuffer.Size));
    for (const ImDrawCmd& cmd : list->CmdBuffer) {
      hasher.add(&cmd.ClipRect, sizeof(cmd.ClipRect));
      hasher.add(&cmd.TextureId, sizeof(cmd.TextureId));
      const unsigned int counts[3] = {cmd.VtxOffset, cmd.IdxOffset, cmd.ElemCount};
      hasher.add(counts, sizeof(counts));
      const void* callback = reinterpret_cast<const void*>(cmd.UserCallback);
      hasher.add(&callback, sizeof(callback));
    }
  }
  return hasher.value;
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

  bool presented = false;     // a frame has been shown
  uint64_t lastHash = 0;      // fingerprint of the frame on screen
  bool forceRender = true;    // resize, expose or new textures: draw even an identical frame
  bool lastChanged = true;    // the last frame differed from the one before it
  double lastFrameStart = 0;  // glfwGetTime at the start of the last frame
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

const UiTextureUploader kGlUploader{nullptr, createGlTexture, destroyGlTexture};

}  // namespace

void UiHost::Impl::release() {
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

  IMGUI_CHECKVERSION();
  impl_->context = ImGui::CreateContext();
  ImGuiIO& io = ImGui::GetIO();
  io.IniFilename = nullptr;  // nothing of the window layout is kept between runs
  io.LogFilename = nullptr;
  if (!ImGui_ImplGlfw_InitForOpenGL(impl_->window, true))
    return fail("The launcher window could not be connected to the interface.");
  impl_->platformReady = true;
  if (!ImGui_ImplOpenGL3_Init("#version 130")) return fail("The OpenGL 3 renderer could not be started.");
  impl_->rendererReady = true;

  impl_->integration.fontPath = desc.fontPath ? desc.fontPath : "";
  impl_->integration.initialScale = scale;
  impl_->integration.renderer = static_cast<UiHostState*>(impl_);
  impl_->integration.fontAtlasChanged = fontAtlasChanged;
  integration = &impl_->integration;
  impl_->lastFrameStart = glfwGetTime() - kFrameInterval;
  return true;
}

bool UiHost::beginFrame() {
  if (!impl_ || !impl_->window || impl_->shutDown) return false;
  GLFWwindow* window = impl_->window;
  if (glfwWindowShouldClose(window)) return false;

  // Pacing: while something moves or just changed, draw at most 60 frames a second; otherwise sleep
  // until input arrives, waking often enough that worker results show promptly.
  int fbWidth = 0, fbHeight = 0;
  glfwGetFramebufferSize(window, &fbWidth, &fbHeight);
  const bool visible = fbWidth > 0 && fbHeight > 0;
  const bool busy =
      visible && (impl_->forceRender || impl_->lastChanged || uiThemeAnimating() || uiThemeFontsPending());
  if (!busy) glfwWaitEventsTimeout(kIdleWait);
  sleepUntil(impl_->lastFrameStart + kFrameInterval);
  glfwPollEvents();
  if (glfwWindowShouldClose(window)) return false;

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
  const uint64_t hash = hashFrame(drawData, clear, width, height);
  const bool changed = !impl_->presented || hash != impl_->lastHash;
  if (width > 0 && height > 0 && (changed || impl_->forceRender)) {
    glViewport(0, 0, width, height);
    glClearColor(clear[0], clear[1], clear[2], clear[3]);
    glClear(GL_COLOR_BUFFER_BIT);
    ImGui_ImplOpenGL3_RenderDrawData(drawData);
    glfwSwapBuffers(impl_->window);
    impl_->presented = true;
    impl_->lastHash = hash;
    impl_->forceRender = false;
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
