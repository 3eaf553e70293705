// The window and its OpenGL context, and the Dear ImGui frame around them; the frame's pacing,
// damage and textures are in files of their own beside this one.
#include "uihost/ui_host.h"

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#include <backends/imgui_impl_glfw.h>
#include <backends/imgui_impl_opengl3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "uihost/ui_host_internal.h"
#include "uihost/ui_theme.h"

namespace {

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

void onWindowDamaged(GLFWwindow* window) {
  if (auto* impl = static_cast<UiHost::Impl*>(glfwGetWindowUserPointer(window))) impl->forceRender = true;
}
void onFramebufferSize(GLFWwindow* window, int, int) {
  onWindowDamaged(window);
}
void onContentScale(GLFWwindow* window, float, float) {
  onWindowDamaged(window);
}

// Input ends a wait for work; Dear ImGui's callbacks, installed after these, call them first.
void onInput(GLFWwindow* window) {
  if (auto* impl = static_cast<UiHost::Impl*>(glfwGetWindowUserPointer(window))) impl->inputArrived = true;
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

}  // namespace

void UiHost::Impl::release() {
  stopPacing();
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
  glfwSetWindowUserPointer(impl_->window, impl_);
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
  uiHoldInput(impl_->window);
  if (!ImGui_ImplOpenGL3_Init("#version 130")) return fail("The OpenGL 3 renderer could not be started.");
  impl_->rendererReady = true;

  impl_->integration.fontPath = desc.fontPath ? desc.fontPath : "";
  impl_->integration.initialScale = scale;
  impl_->integration.renderer = impl_;
  impl_->integration.fontAtlasChanged = fontAtlasChanged;
  integration = &impl_->integration;
  startPacing(*impl_);
  return true;
}

const UiHostStats& UiHost::stats() const {
  static const UiHostStats none;
  return impl_ ? impl_->stats : none;
}

bool UiHost::beginFrame() {
  if (!impl_ || !impl_->window || impl_->shutDown) return false;
  GLFWwindow* window = impl_->window;
  if (glfwWindowShouldClose(window)) return false;

  if (!paceFrame(*impl_, idlePoll, idlePollSeconds)) return false;
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

  static constexpr float kBlack[4] = {0, 0, 0, 1};
  presentChanges(*impl_, drawData, clearColor ? clearColor : kBlack);
  return !glfwWindowShouldClose(impl_->window);
}

void UiHost::shutdown() {
  if (!impl_ || impl_->shutDown) return;
  impl_->release();
  impl_->shutDown = true;
  integration = nullptr;
}
