// The font atlas with 1,000 distinct CJK characters drawn in 1, 2 or 4 of the theme's sizes:
// the time to bake them before the next frame (finding the installed font included), the time of
// a later rebuild of the same atlas (as after a scale change or one more new character), and the
// texture's size.
#include <benchmark/benchmark.h>

#include <string>

#include "support/headless_ui.h"
#include "uihost/ui_context.h"

namespace {

constexpr float kSizes[] = {14.0f, 12.0f, 13.0f, 16.0f};  // row name, path, user, title

std::string cjkText(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    char utf8[5] = {};
    ImTextCharToUtf8(utf8, 0x4E00 + static_cast<unsigned int>(i));
    text += utf8;
  }
  return text;
}

void drawAtSizes(HeadlessUi& ui, const std::string& text, int sizes) {
  ui.frame([&] {
    for (int i = 0; i < sizes; ++i)
      ImGui::GetForegroundDrawList()->AddText(uiThemeFont(kSizes[i]), uiThemeFont(kSizes[i])->LegacySize,
                                              ImVec2(0, 20.0f * static_cast<float>(i)), 0xFFFFFFFF,
                                              text.c_str());
  });
}

void reportAtlas(benchmark::State& state) {
  const ImFontAtlas* atlas = ImGui::GetIO().Fonts;
  state.counters["tex_w"] = atlas->TexWidth;
  state.counters["tex_h"] = atlas->TexHeight;
  state.counters["rgba_MB"] = atlas->TexWidth * atlas->TexHeight * 4 / 1e6;
  state.counters["glyphs_extra"] = static_cast<double>(uiContextData(false)->glyphs.extraGlyphs());
}

void firstBake(benchmark::State& state) {
  const std::string text = cjkText(1000);
  const int sizes = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    HeadlessUi ui(1180, 740);
    drawAtSizes(ui, text, sizes);
    state.ResumeTiming();
    ui.newFrame();  // bakes what the last frame met
    state.PauseTiming();
    ui.endFrame();
    reportAtlas(state);
    state.ResumeTiming();
  }
}

void rebuild(benchmark::State& state) {
  const std::string text = cjkText(1000);
  const int sizes = static_cast<int>(state.range(0));
  HeadlessUi ui(1180, 740);
  drawAtSizes(ui, text, sizes);
  drawAtSizes(ui, text, sizes);
  float scale = 1.0f;
  for (auto _ : state) {
    state.PauseTiming();
    scale = scale == 1.0f ? 1.01f : 1.0f;
    ui.setScale(scale);
    drawAtSizes(ui, text, sizes);
    state.ResumeTiming();
    ui.newFrame();  // rebuilds the whole atlas at the new scale
    state.PauseTiming();
    ui.endFrame();
    state.ResumeTiming();
  }
  reportAtlas(state);
}

BENCHMARK(firstBake)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(rebuild)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
