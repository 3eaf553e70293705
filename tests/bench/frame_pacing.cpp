// Frame pacing of the real window: frames drawn per second while a spinner turns, the share of the
// window each of them redraws, and the CPU the process spends then and while nothing changes (an
// idle window sleeps until woken: a thread wakes it at the end). Needs a display (Xvfb is fine).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

#include "uihost/ui_host.h"
#include "uihost/ui_theme.h"

namespace {

double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Runs the launcher's frame loop shape for a while; returns the number of frames.
int runFrames(UiHost& host, double seconds, bool spinner) {
  const double end = now() + seconds;
  int frames = 0;
  float clock = 0.0f;
  while (now() < end) {
    if (!host.beginFrame()) break;
    uiThemeSetScale(host.dpiScale());
    uiThemeTick(host.deltaTime);
    uiThemeApplyStyle();
    const ImGuiViewport* viewport = ImGui::GetMainViewport();
    ImGui::SetNextWindowPos(viewport->WorkPos);
    ImGui::SetNextWindowSize(viewport->WorkSize);
    ImGui::Begin("##pacing", nullptr, ImGuiWindowFlags_NoDecoration | ImGuiWindowFlags_NoBackground);
    ImDrawList* list = ImGui::GetWindowDrawList();
    list->AddText(uiThemeFont(16), uiThemeFont(16)->LegacySize, ImVec2(40, 40), uiThemeForeground(),
                  "Pacing");
    if (spinner) {
      clock += ImGui::GetIO().DeltaTime;
      uiThemeSpinner(list, ImVec2(200, 200), uiThemePx(18), clock, uiThemeMutedForeground());
    }
    ImGui::End();
    float clear[4];
    uiThemeBackgroundFloat(clear);
    if (!host.presentFrame(clear)) break;
    ++frames;
  }
  return frames;
}

void BM_FramePacing(benchmark::State& state) {
  if (!std::getenv("DISPLAY")) {
    state.SkipWithError("no display: run under Xvfb");
    return;
  }
  UiHost host;
  UiHostDesc desc;
  desc.title = "Frame pacing";
  desc.width = 1180;
  desc.height = 740;
  desc.minWidth = 900;
  desc.minHeight = 560;
  std::string error;
  if (!host.initialize(desc, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  uiThemeInitialize(host.integration);
  for (auto _ : state) {
    runFrames(host, 1.0, true);  // settle: first uploads
    const double animatingSeconds = 5.0;
    const UiHostStats before = host.stats();
    double cpuBefore = processCpuSeconds();
    runFrames(host, animatingSeconds, true);
    const double animatingCpu = processCpuSeconds() - cpuBefore;
    const double frames = static_cast<double>(host.stats().framesRendered - before.framesRendered);
    const double pixels = static_cast<double>(host.stats().pixelsRendered - before.pixelsRendered);
    // The spinner goes: two frames settle, then the window sleeps until the waker.
    const double idleSeconds = 5.0;
    const UiHostStats idleBefore = host.stats();
    cpuBefore = processCpuSeconds();
    std::thread waker([&] {
      std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
      UiHost::wake();
    });
    runFrames(host, idleSeconds, false);
    waker.join();
    const double idleCpu = processCpuSeconds() - cpuBefore;
    int width = 0, height = 0;
    glfwGetFramebufferSize(glfwGetCurrentContext(), &width, &height);
    state.counters["partial_redraw"] = host.stats().partialRedraw ? 1 : 0;
    state.counters["animating_fps"] = frames / animatingSeconds;
    state.counters["animating_cpu_percent"] = 100.0 * animatingCpu / animatingSeconds;
    state.counters["redrawn_share_percent"] = frames > 0 ? 100.0 * pixels / frames / (width * height) : 0;
    state.counters["idle_frames"] =
        static_cast<double>(host.stats().framesRendered - idleBefore.framesRendered);
    state.counters["idle_cpu_percent"] = 100.0 * idleCpu / idleSeconds;
  }
  host.shutdown();
}

BENCHMARK(BM_FramePacing)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
