// Frame pacing: when the next frame is drawn, and the waits between frames.
#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>

#include "uihost/ui_host_internal.h"
#include "uihost/ui_theme.h"

namespace {

constexpr double kFrameInterval = 1.0 / 60.0;      // frames that answer input
constexpr double kAnimationInterval = 1.0 / 30.0;  // every other frame
// Frames drawn after input or a wake whatever they show: Dear ImGui shows some changes a frame or
// two late (a click's release is read a frame after its press; a page chosen by a click is drawn
// the frame after; a new popup's first frame is hidden while it measures itself).
constexpr int kSettleFrames = 3;

// Worker threads wake the frame loop through UiHost::wake; the window they reach lives in here.
std::mutex gWakeMutex;
bool gWakeLive = false;  // a window exists: glfwPostEmptyEvent may be called
std::atomic<bool> gWoken{false};

void sleepUntil(double deadline) {
  const double remaining = deadline - glfwGetTime();
  if (remaining > 0.0) std::this_thread::sleep_for(std::chrono::duration<double>(remaining));
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
void waitForWork(UiHost::Impl& impl, const std::function<bool()>& poll, double pollSeconds) {
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

}  // namespace

void startPacing(UiHost::Impl& impl) {
  impl.lastFrameStart = glfwGetTime() - kFrameInterval;
  std::lock_guard<std::mutex> lock(gWakeMutex);
  gWakeLive = true;
}

void stopPacing() {
  std::lock_guard<std::mutex> lock(gWakeMutex);
  gWakeLive = false;
}

void UiHost::wake() {
  gWoken.store(true);
  std::lock_guard<std::mutex> lock(gWakeMutex);
  if (gWakeLive) glfwPostEmptyEvent();
}

bool paceFrame(UiHost::Impl& impl, const std::function<bool()>& idlePoll, double idlePollSeconds) {
  // Pacing: frames that answer input come at most 60 a second, all others (a spinner, a download's
  // progress, a worker's result, the frames that settle after a change) at most 30; with nothing
  // to draw the loop sleeps until input, a worker's wake or a change the idle poll finds.
  int fbWidth = 0, fbHeight = 0;
  glfwGetFramebufferSize(impl.window, &fbWidth, &fbHeight);
  const bool visible = fbWidth > 0 && fbHeight > 0;
  const bool busy = visible && (impl.forceRender || impl.lastChanged || impl.settleFrames > 0 ||
                                uiThemeAnimating() || uiThemeFontsPending());
  if (busy) {
    impl.settleFrames = std::max(0, impl.settleFrames - 1);
  } else {
    waitForWork(impl, idlePoll, idlePollSeconds);
    impl.settleFrames = kSettleFrames;
  }
  // A steady cadence: a frame is due one interval after the previous one was due, so sleeping a
  // little long does not lower the rate; after a pause the cadence starts anew.
  const double interval = impl.inputArrived ? kFrameInterval : kAnimationInterval;
  impl.inputArrived = false;
  const double now = glfwGetTime();
  double due = impl.lastFrameDue + interval;
  if (due < now - interval) due = now;
  sleepUntil(due);
  impl.lastFrameDue = due;
  glfwPollEvents();
  if (glfwWindowShouldClose(impl.window)) return false;
  if (impl.inputArrived) impl.settleFrames = kSettleFrames;
  impl.lastFrameStart = glfwGetTime();
  return true;
}
