// The window's input on its way to Dear ImGui, held where a frame would read it out of order.
#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

#include <algorithm>
#include <cfloat>

#include "uihost/ui_context.h"
#include "uihost/ui_host.h"

namespace {

bool isModifier(int key) {
  switch (key) {
    case GLFW_KEY_LEFT_SHIFT:
    case GLFW_KEY_RIGHT_SHIFT:
    case GLFW_KEY_LEFT_CONTROL:
    case GLFW_KEY_RIGHT_CONTROL:
    case GLFW_KEY_LEFT_ALT:
    case GLFW_KEY_RIGHT_ALT:
    case GLFW_KEY_LEFT_SUPER:
    case GLFW_KEY_RIGHT_SUPER:
      return true;
    default:
      return false;
  }
}

// The order in which a frame reads each kind: the pointer's position and the modifiers are its
// state from the start; then the wheel; then a text field's typed characters; then keys; then
// clicks, which may take the focus from the field. A focus change stands alone.
constexpr int kStateRank = 0, kWheelRank = 1, kCharRank = 2, kKeyRank = 3, kButtonRank = 4, kFocusRank = 5;

int rankOf(const UiInputEvent& event) {
  switch (event.kind) {
    case UiInputEvent::Move:
    case UiInputEvent::Enter:
      return kStateRank;
    case UiInputEvent::Wheel:
      return kWheelRank;
    case UiInputEvent::Char:
      return kCharRank;
    case UiInputEvent::Key:
      return isModifier(event.code) ? kStateRank : kKeyRank;
    case UiInputEvent::Button:
      return kButtonRank;
    case UiInputEvent::Focus:
      return kFocusRank;
  }
  return kFocusRank;
}

// Whether the frame to come reads the event after those already handed on since the last frame,
// as it happened. Each key and button changes once (buttons are counted after the last key); a
// click shares no frame with the wheel, text or keys, nor a focus change with anything. The
// pointer may follow the wheel, which then scrolls where it went: the wheel keeps pace with it. A
// button let go waits for the frame after the pointer's last move, so a drag is read at its end
// with the button still down.
bool joinsFrame(UiContextData& data, const UiInputEvent& event) {
  if (data.inputPaused) return false;
  if (event.kind == UiInputEvent::Key && event.action == GLFW_REPEAT) return true;  // changes nothing
  const int rank = rankOf(event);
  const bool pointer = event.kind == UiInputEvent::Move || event.kind == UiInputEvent::Enter;
  if (data.frameRank >= 0) {
    if ((pointer ? kWheelRank : rank) < data.frameRank || rank == kFocusRank) return false;
    if (rank == kButtonRank && data.frameRank > kStateRank && data.frameRank < kButtonRank) return false;
    if (event.kind == UiInputEvent::Button && event.action == GLFW_RELEASE && data.frameMoved) return false;
  }
  if (event.kind == UiInputEvent::Key || event.kind == UiInputEvent::Button) {
    const int changed = event.kind == UiInputEvent::Key ? event.code : GLFW_KEY_LAST + 1 + event.code;
    std::vector<int>& list = data.changedSinceFrame;
    if (std::find(list.begin(), list.end(), changed) != list.end()) return false;
    list.push_back(changed);
  }
  data.frameRank = std::max(data.frameRank, rank);
  data.frameMoved |= event.kind == UiInputEvent::Move;
  return true;
}

template <typename Callback, typename... Args>
void call(Callback callback, Args... args) {
  if (callback) callback(args...);
}

void deliver(UiContextData& data, const UiInputEvent& event) {
  GLFWwindow* window = data.inputWindow;
  switch (event.kind) {
    case UiInputEvent::Key:
      call(data.deliverKey, window, event.code, event.scancode, event.action, event.mods);
      break;
    case UiInputEvent::Char:
      call(data.deliverChar, window, static_cast<unsigned int>(event.code));
      break;
    case UiInputEvent::Button:
      if (event.code >= 0 && event.code < static_cast<int>(std::size(data.buttonsDown)))
        data.buttonsDown[event.code] = event.action == GLFW_PRESS;
      call(data.deliverButton, window, event.code, event.action, event.mods);
      break;
    case UiInputEvent::Move:
      data.pointerKnown = true;
      data.pointerX = event.x;
      data.pointerY = event.y;
      call(data.deliverMove, window, event.x, event.y);
      break;
    case UiInputEvent::Wheel:
      call(data.deliverWheel, window, event.x, event.y);
      break;
    case UiInputEvent::Enter:
      data.pointerLeft = !event.code;
      call(data.deliverEnter, window, event.code);
      break;
    case UiInputEvent::Focus:
      call(data.deliverFocus, window, event.code);
      break;
  }
}

// Hands held events on in order, up to the first the frame to come would read out of order.
void feed(UiContextData& data) {
  size_t fed = 0;
  while (fed < data.heldInput.size() && joinsFrame(data, data.heldInput[fed]))
    deliver(data, data.heldInput[fed++]);
  data.heldInput.erase(data.heldInput.begin(), data.heldInput.begin() + static_cast<long>(fed));
}

// Dear ImGui's platform code has just read the pointer and the buttons as they are now: the frame
// sees them as handed on instead. A pointer that has left the window hovers nothing, unless a
// button held since inside drags it on.
void frameStarting(ImGuiContext*, ImGuiContextHook*) {
  UiContextData* data = uiContextData(false);
  if (!data || !data->inputWindow) return;
  ImGuiIO& io = ImGui::GetIO();
  bool held = false;
  for (size_t i = 0; i < std::size(data->buttonsDown); ++i) {
    io.MouseDown[i] = data->buttonsDown[i];
    held = held || data->buttonsDown[i];
  }
  if (data->pointerLeft && !held)
    io.MousePos = ImVec2(-FLT_MAX, -FLT_MAX);
  else if (data->pointerKnown && io.MousePos.x != -FLT_MAX)
    io.MousePos = ImVec2(static_cast<float>(data->pointerX), static_cast<float>(data->pointerY));
}

// Whether the frame just ended began a window that is hidden while it sizes itself (a dialog or
// menu the first time it appears): the next frame shows it, and input handed on now would reach a
// frame where the window is missing or blocks everything else.
bool windowAppearedHidden() {
  for (const ImGuiWindow* window : ImGui::GetCurrentContext()->Windows)
    if (window->Active && window->Appearing && window->Hidden &&
        !(window->Flags & (ImGuiWindowFlags_ChildWindow | ImGuiWindowFlags_Tooltip)))
      return true;
  return false;
}

// A frame has read its input: what was held back is handed on now (or, once, after the frame that
// shows a window that has just appeared), and the next frame is drawn without waiting for more
// input, since what was handed on or still waits is input of its own.
void frameEnded(ImGuiContext*, ImGuiContextHook*) {
  UiContextData* data = uiContextData(false);
  if (!data || !data->inputWindow) return;
  data->changedSinceFrame.clear();
  data->frameRank = -1;
  data->frameMoved = false;
  data->inputPaused = !data->inputPaused && windowAppearedHidden();
  if (data->heldInput.empty()) return;
  feed(*data);
  UiHost::wake();
}

void hold(GLFWwindow* window, const UiInputEvent& event) {
  UiContextData* data = uiContextData(false);
  if (!data || window != data->inputWindow) return;
  data->heldInput.push_back(event);
  feed(*data);
}

void addHook(ImGuiContextHookType type, ImGuiContextHookCallback callback) {
  ImGuiContextHook hook;
  hook.Type = type;
  hook.Callback = callback;
  ImGui::AddContextHook(ImGui::GetCurrentContext(), &hook);
}

}  // namespace

void uiHoldInput(GLFWwindow* window) {
  using Event = UiInputEvent;
  UiContextData* data = uiContextData(true);
  data->inputWindow = window;
  data->deliverKey = glfwSetKeyCallback(window, uiHostKeyEvent);
  data->deliverChar = glfwSetCharCallback(window, uiHostCharEvent);
  data->deliverButton =
      glfwSetMouseButtonCallback(window, [](GLFWwindow* w, int button, int action, int mods) {
        hold(w, Event{Event::Button, button, 0, action, mods});
      });
  data->deliverMove = glfwSetCursorPosCallback(window, [](GLFWwindow* w, double x, double y) {
    hold(w, Event{Event::Move, 0, 0, 0, 0, x, y});
  });
  data->deliverWheel = glfwSetScrollCallback(window, [](GLFWwindow* w, double x, double y) {
    hold(w, Event{Event::Wheel, 0, 0, 0, 0, x, y});
  });
  data->deliverEnter = glfwSetCursorEnterCallback(window, [](GLFWwindow* w, int entered) {
    hold(w, Event{Event::Enter, entered});
  });
  data->deliverFocus = glfwSetWindowFocusCallback(window, [](GLFWwindow* w, int focused) {
    hold(w, Event{Event::Focus, focused});
  });
  addHook(ImGuiContextHookType_NewFramePre, frameStarting);
  addHook(ImGuiContextHookType_EndFramePost, frameEnded);
}

void uiHostKeyEvent(GLFWwindow* window, int key, int scancode, int action, int mods) {
  hold(window, UiInputEvent{UiInputEvent::Key, key, scancode, action, mods});
}

void uiHostCharEvent(GLFWwindow* window, unsigned int codepoint) {
  hold(window, UiInputEvent{UiInputEvent::Char, static_cast<int>(codepoint)});
}
