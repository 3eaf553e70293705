// One Projects frame (the screen's own time), headless, with 10,000 projects, a search term and a sort
// active: the screen rebuilds its row list every frame and stats every visible row. Also the cost of looking
// for a running editor in this machine's process table.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/app_state.h"
#include "config/launcher_config.h"
#include "config/settings.h"
#include "projects/editor_launch.h"
#include "support/headless_ui.h"
#include "support/temp_launcher.h"
#include "ui/projects_screen.h"

namespace {

// 10,000 projects in 100 folders on disk; one in ten is missing. Names share a common word so
// the search keeps a tenth of them.
void fillProjects(TempLauncher& launcher, int count) {
  std::vector<ProjectRecord>& projects = launcher.app.settings->projects;
  for (int i = 0; i < count; ++i) {
    ProjectRecord record;
    const std::string folder = launcher.path("p/" + std::to_string(i % 100) + "/Project" + std::to_string(i));
    if (i % 10 != 9) std::filesystem::create_directories(folder);
    record.name = (i % 10 == 3 ? "Racing Game " : "Puzzle Level ") + std::to_string(count - i);
    record.path = folder + "/Project" + std::to_string(i) + ".zelvanproj";
    record.lastOpened = 1700000000 - i;
    record.favorite = i % 7 == 0;
    if (i % 3 == 0) record.targetPlatform = "Linux x86_64";
    projects.push_back(record);
  }
}

// Draws one frame; returns the seconds spent in the screen itself (the headless context's own
// bookkeeping of the drawn text is left out).
double drawPage(HeadlessUi& ui, AppState& app) {
  double seconds = 0.0;
  ui.frame([&] {
    const ImGuiViewport* viewport = ImGui::GetMainViewport();
    ImGui::SetNextWindowPos(viewport->WorkPos);
    ImGui::SetNextWindowSize(viewport->WorkSize);
    ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(0, 0));
    ImGui::Begin("##bench", nullptr, ImGuiWindowFlags_NoDecoration | ImGuiWindowFlags_NoBackground);
    ImGui::PopStyleVar();
    const auto start = std::chrono::steady_clock::now();
    drawProjectsScreen(app);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ImGui::End();
  });
  return seconds;
}

void projectsFrame(benchmark::State& state, const char* search, int sortColumn, bool favoritesFirst) {
  HeadlessUi ui(1180, 740, 1.0f);
  TempLauncher launcher;
  AppState& app = launcher.app;
  fillProjects(launcher, static_cast<int>(state.range(0)));
  std::snprintf(app.searchText, sizeof(app.searchText), "%s", search);
  app.sortColumn = sortColumn;
  app.sortAscending = false;
  app.favoritesFirst = favoritesFirst;
  drawPage(ui, app);
  for (auto _ : state) state.SetIterationTime(drawPage(ui, app));
  state.counters["shown"] = static_cast<double>(projectRows(app, projectSearchTokens(app.searchText)).size());
}

void BM_ProjectsFrameSearchAndSortByName(benchmark::State& state) {
  projectsFrame(state, "racing", 1, true);
}
void BM_ProjectsFrameSortByNameNoSearch(benchmark::State& state) {
  projectsFrame(state, "", 1, false);
}
void BM_ProjectsFrameSearchOnly(benchmark::State& state) {
  projectsFrame(state, "game racing", 0, false);
}

void BM_IsEditorRunning(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(isEditorRunning());
  int processes = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec))
    if (it->path().filename().string().find_first_not_of("0123456789") == std::string::npos) ++processes;
  state.counters["processes"] = processes;
}

}  // namespace

BENCHMARK(BM_ProjectsFrameSearchAndSortByName)->Arg(10000)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProjectsFrameSortByNameNoSearch)->Arg(10000)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProjectsFrameSearchOnly)->Arg(10000)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProjectsFrameSearchOnly)->Arg(0)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IsEditorRunning)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
