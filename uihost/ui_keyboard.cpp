#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

#include <algorithm>

#include "uihost/ui_context.h"
#include "uihost/ui_host.h"

namespace {

// Hands held events to Dear ImGui in order, stopping at the first that would change a key the
// frame to come has already seen change.
void feed(UiContextData& data) {
  size_t fed = 0;
  for (; fed < data.heldKeyboard.size(); ++fed) {
    const UiKeyboardEvent event = data.heldKeyboard[fed];
    if (event.codepoint) {
      data.deliverChar(data.keyboardWindow, event.codepoint);
      continue;
    }
    if (event.action != GLFW_REPEAT) {
      std::vector<int>& changed = data.keysChanged;
      if (std::find(changed.begin(), changed.end(), event.key) != changed.end()) break;
      changed.push_back(event.key);
    }
    data.deliverKey(data.keyboardWindow, event.key, event.scancode, event.action, event.mods);
  }
  data.heldKeyboard.erase(data.heldKeyboard.begin(), data.heldKeyboard.begin() + static_cast<long>(fed));
}

// A frame has read the keyboard: what was held back is handed on now, and when some of it must
// wait for yet another frame, that frame is drawn without waiting for input.
void frameEnded(ImGuiContext*, ImGuiContextHook*) {
  UiContextData* data = uiContextData(false);
  if (!data || !data->deliverKey || !data->deliverChar) return;
  data->keysChanged.clear();
  feed(*data);
  if (!data->heldKeyboard.empty()) UiHost::wake();
}

void hold(GLFWwindow* window, const UiKeyboardEvent& event) {
  UiContextData* data = uiContextData(false);
  if (!data || window != data->keyboardWindow || !data->deliverKey || !data->deliverChar) return;
  data->heldKeyboard.push_back(event);
  feed(*data);
}

}  // namespace

void uiHoldKeyboardInput(GLFWwindow* window) {
  UiContextData* data = uiContextData(true);
  data->keyboardWindow = window;
  data->deliverKey = glfwSetKeyCallback(window, uiHostKeyEvent);
  data->deliverChar = glfwSetCharCallback(window, uiHostCharEvent);
  ImGuiContextHook hook;
  hook.Type = ImGuiContextHookType_EndFramePost;
  hook.Callback = frameEnded;
  ImGui::AddContextHook(ImGui::GetCurrentContext(), &hook);
}

void uiHostKeyEvent(GLFWwindow* window, int key, int scancode, int action, int mods) {
  UiKeyboardEvent event;
  event.key = key;
  event.scancode = scancode;
  event.action = action;
  event.mods = mods;
  hold(window, event);
}

void uiHostCharEvent(GLFWwindow* window, unsigned int codepoint) {
  UiKeyboardEvent event;
  event.codepoint = codepoint;
  hold(window, event);
}
