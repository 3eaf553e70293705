#include "ui/projects_screen.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "app/app_state.h"
#include "config/settings.h"
#include "platform/desktop.h"
#include "projects/project_operations.h"
#include "projects/project_record.h"
#include "ui/widgets.h"
#include "uihost/ui_theme.h"

namespace fs = std::filesystem;

namespace {

float px(float n) {
  return uiThemePx(n);
}

bool containsPoint(const ImVec2& min, const ImVec2& max, const ImVec2& p) {
  return p.x >= min.x && p.x < max.x && p.y >= min.y && p.y < max.y;
}

void drawText(ImDrawList* list, float size, const ImVec2& pos, ImU32 colour, const char* text) {
  ImFont* font = uiThemeFont(size);
  list->AddText(font, font->LegacySize, pos, colour, text);
}

// tolower in the process's default locale, which the launcher never changes: only A to Z fold,
// every other byte, those of UTF-8 sequences included, stays as it is. Inline, as it runs over
// every project's name and path every frame.
void foldInto(const std::string& text, std::string& out) {
  out.assign(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

std::string platformLabel(const ProjectRecord& record) {
  return record.targetPlatform.empty() ? std::string("Linux x86_64") : record.targetPlatform;
}

// A shown row with its folded sort key, computed once per frame rather than in every comparison.
struct SortRow {
  int32_t index;
  std::string key;
};

// A before B: favourites first when asked, then the folded column key in the chosen direction
// (byte order, a proper prefix first), then the later lastOpened whatever the direction.
bool compareProjectRows(const AppState& app, const SortRow& a, const SortRow& b) {
  const ProjectRecord& pa = app.settings->projects[static_cast<size_t>(a.index)];
  const ProjectRecord& pb = app.settings->projects[static_cast<size_t>(b.index)];
  if (app.favoritesFirst && pa.favorite != pb.favorite) return pa.favorite;
  const int order = a.key.compare(b.key);
  if (order != 0) return app.sortAscending ? order < 0 : order > 0;
  return pa.lastOpened > pb.lastOpened;
}

void toggleFavorite(AppState& app, const std::string& path) {
  for (ProjectRecord& record : app.settings->projects) {
    if (record.path == path) {
      record.favorite = !record.favorite;
      break;
    }
  }
  saveSettings(*app.settings);
}

// Geometry the column titles share with the table header.
struct HeaderLayout {
  ImDrawList* list;
  ImFont* font;
  float top;
  float height;
  float textTop;
  float centreY;
};

void drawSortHeader(AppState& app, const HeaderLayout& header, const char* label, int32_t column, float x) {
  const float labelWidth = header.font->CalcTextSizeA(header.font->LegacySize, FLT_MAX, 0.0f, label).x;
  const ImRect hit(ImVec2(x, header.top), ImVec2(x + labelWidth + px(14), header.top + header.height));
  const ImGuiID id = ImGui::GetID(label);
  bool hovered = false;
  bool held = false;
  if (ImGui::ItemAdd(hit, id)) {
    if (ImGui::ButtonBehavior(hit, id, &hovered, &held, 0)) {
      if (app.sortColumn == column) {
        app.sortAscending = !app.sortAscending;
      } else {
        app.sortColumn = column;
        app.sortAscending = true;
      }
    }
  }
  ImGui::KeepAliveID(id);
  if (hovered) ImGui::SetMouseCursor(ImGuiMouseCursor_Hand);
  const bool active = app.sortColumn == column;
  const ImU32 colour = active    ? IM_COL32(245, 245, 245, 255)
                       : hovered ? IM_COL32(210, 210, 210, 255)
                                 : IM_COL32(160, 160, 160, 255);
  header.list->AddText(header.font, header.font->LegacySize, ImVec2(x, header.textTop), colour, label);
  if (!active) return;
  const float a = px(3.0f);
  const float left = x + labelWidth + px(4);
  const float cy = header.centreY;
  if (app.sortAscending)
    header.list->AddTriangleFilled(ImVec2(left, cy + 0.6f * a), ImVec2(left + 2 * a, cy + 0.6f * a),
                                   ImVec2(left + a, cy - 0.8f * a), colour);
  else
    header.list->AddTriangleFilled(ImVec2(left, cy - 0.6f * a), ImVec2(left + 2 * a, cy - 0.6f * a),
                                   ImVec2(left + a, cy + 0.8f * a), colour);
}

void drawSearchBox(AppState& app, ImDrawList* list, float sx, float yt) {
  const ImVec2 min(sx, yt);
  const ImVec2 max(sx + px(210), yt + px(32));
  list->AddRectFilled(min, max, IM_COL32(20, 20, 20, 255), px(6));
  const bool hadText = app.searchText[0] != '\0';

  const ImVec2 mouse = ImGui::GetIO().MousePos;
  const float inputWidth = hadText ? px(210) - px(52) : px(210) - px(38);
  // Over the margins and the magnifier the box is an item of its own (never a tab stop), so that
  // this Dear ImGui does not take a click there for one on the window's empty space, which would
  // drop the focus request below. Over the input the input takes the click itself.
  const bool overInput =
      containsPoint(ImVec2(min.x + px(30), min.y), ImVec2(min.x + px(30) + inputWidth, max.y), mouse);
  if (containsPoint(min, max, mouse) && !overInput) {
    const ImRect box(min, max);
    const ImGuiID boxId = ImGui::GetID("##search_box");
    ImGui::PushItemFlag(ImGuiItemFlags_NoTabStop | ImGuiItemFlags_NoNav, true);
    if (ImGui::ItemAdd(box, boxId)) ImGui::ItemHoverable(box, boxId);
    ImGui::PopItemFlag();
  }

  bool boxHovered = false;
  bool clearHovered = false;
  bool clearClicked = false;
  if (hadText && containsPoint(ImVec2(max.x - px(26), min.y), ImVec2(max.x - px(4), max.y), mouse)) {
    boxHovered = clearHovered = true;
    clearClicked = ImGui::IsMouseClicked(0, false);
  } else if (containsPoint(min, max, mouse)) {
    boxHovered = true;
    if (ImGui::IsMouseClicked(0, false)) ImGui::SetKeyboardFocusHere(0);
  }

  const ImVec2 c(min.x + px(15), min.y + px(32) / 2);
  const float r = px(5.5f);
  const ImVec2 lens(c.x - 0.25f * r, c.y - 0.25f * r);
  list->AddCircle(lens, 0.65f * r, IM_COL32(130, 130, 130, 255), 16, 1.3f);
  list->AddLine(ImVec2(lens.x + 0.45f * r, lens.y + 0.45f * r), ImVec2(c.x + 0.85f * r, c.y + 0.85f * r),
                IM_COL32(130, 130, 130, 255), 1.6f);

  ImFont* font = uiThemeFont(13);
  ImGui::PushFont(font, font->LegacySize);
  const float padding = (px(32) - ImGui::GetFontSize()) / 2;
  ImGui::SetCursorScreenPos(ImVec2(min.x + px(30), min.y));
  ImGui::PushItemWidth(inputWidth);
  ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(px(0), padding));
  ImGui::PushStyleColor(ImGuiCol_FrameBg, IM_COL32(0, 0, 0, 0));
  ImGui::PushStyleColor(ImGuiCol_FrameBgHovered, IM_COL32(0, 0, 0, 0));
  ImGui::PushStyleColor(ImGuiCol_FrameBgActive, IM_COL32(0, 0, 0, 0));
  ImGui::PushStyleColor(ImGuiCol_Border, IM_COL32(0, 0, 0, 0));
  ImGui::InputTextWithHint("##ProjectSearch", "Search", app.searchText, sizeof(app.searchText));
  const bool active = ImGui::IsItemActive();
  // This Dear ImGui lets go of the input inside the call on Escape, so the frame it was let go
  // counts as active too.
  const bool escapeWhileTyping = (active || ImGui::IsItemDeactivated()) && uiIsKeyPressed(ImGuiKey_Escape);
  ImGui::PopStyleColor(4);
  ImGui::PopStyleVar();
  ImGui::PopItemWidth();
  ImGui::PopFont();
  // Emptied after the input has seen the click: an input that was still active would otherwise
  // write its own copy of the text back as it lets go.
  if (escapeWhileTyping || clearClicked) app.searchText[0] = '\0';

  if (hadText) {
    const ImVec2 x(max.x - px(15), min.y + px(32) / 2);
    const float h = px(3.5f);
    const ImU32 colour = clearHovered ? IM_COL32(220, 220, 220, 255) : IM_COL32(140, 140, 140, 255);
    list->AddLine(ImVec2(x.x - h, x.y - h), ImVec2(x.x + h, x.y + h), colour, 1.2f);
    list->AddLine(ImVec2(x.x - h, x.y + h), ImVec2(x.x + h, x.y - h), colour, 1.2f);
  }
  const ImU32 border = active       ? IM_COL32(90, 90, 95, 255)
                       : boxHovered ? IM_COL32(65, 65, 70, 255)
                                    : IM_COL32(48, 48, 48, 255);
  list->AddRect(min, max, border, px(6), 0, 1.0f);
}

void drawEmptyState(AppState& app, ImDrawList* list, float x0, float w, float lt, float lh) {
  ImGui::PushID("empty_projects");
  const float cx = x0 + w / 2;
  const float ce = lt + 0.38f * lh;

  const float r = px(30);
  const ImVec2 centre(cx, ce - px(28));
  const ImVec2 top(centre.x, centre.y - r);
  const ImVec2 upperRight(centre.x + 0.866f * r, centre.y - 0.5f * r);
  const ImVec2 lowerRight(centre.x + 0.866f * r, centre.y + 0.5f * r);
  const ImVec2 bottom(centre.x, centre.y + r);
  const ImVec2 lowerLeft(centre.x - 0.866f * r, centre.y + 0.5f * r);
  const ImVec2 upperLeft(centre.x - 0.866f * r, centre.y - 0.5f * r);
  const ImU32 iconColour = IM_COL32(140, 140, 140, 255);
  const ImVec2 outline[] = {top, upperRight, lowerRight, bottom, lowerLeft, upperLeft, top};
  for (int k = 0; k < 6; ++k) list->AddLine(outline[k], outline[k + 1], iconColour, 1.5f);
  list->AddLine(centre, top, iconColour, 1.5f);
  list->AddLine(centre, lowerLeft, iconColour, 1.5f);
  list->AddLine(centre, lowerRight, iconColour, 1.5f);

  const bool noProjects = app.settings->projects.empty();
  const char* title = noProjects ? "No projects" : "No matching projects";
  const char* subtitle = noProjects ? "Create a new project or select your projects folder to get started."
                                    : "No project matches your search criteria. Try a different search.";
  ImFont* titleFont = uiThemeFont(17);
  const float titleWidth = titleFont->CalcTextSizeA(titleFont->LegacySize, FLT_MAX, 0.0f, title).x;
  list->AddText(titleFont, titleFont->LegacySize, ImVec2(cx - titleWidth / 2, ce + px(20)),
                IM_COL32(230, 230, 230, 255), title);
  ImFont* subtitleFont = uiThemeFont(13);
  const float subtitleWidth =
      subtitleFont->CalcTextSizeA(subtitleFont->LegacySize, FLT_MAX, 0.0f, subtitle).x;
  list->AddText(subtitleFont, subtitleFont->LegacySize, ImVec2(cx - subtitleWidth / 2, ce + px(44)),
                IM_COL32(150, 150, 150, 255), subtitle);

  const float buttonTop = ce + px(76);
  if (noProjects) {
    const float left = cx - (px(148) + px(12) + px(130)) / 2;
    const bool import =
        drawSecondaryButton("Import projects", ImVec2(left, buttonTop), ImVec2(px(148), px(34)), 13.0f);
    drawFolderIcon(list, ImVec2(left + px(14), buttonTop + px(10)), IM_COL32(200, 200, 200, 255), px(14));
    const bool create = drawPrimaryButton("+ New project", ImVec2(left + px(148) + px(12), buttonTop),
                                          ImVec2(px(130), px(34)), 13.5f);
    if (import) addProjectFromDisk(app);
    if (create) openNewProjectDialog(app);
  } else if (drawSecondaryButton("Clear search", ImVec2(cx - px(120) / 2, buttonTop), ImVec2(px(120), px(34)),
                                 13.0f)) {
    app.searchText[0] = '\0';
  }
  ImGui::PopID();
}

// Whether every index still names the record it named before an action.
bool sameRecordOrder(const std::vector<ProjectRecord>& before, const std::vector<ProjectRecord>& after) {
  return std::equal(
      before.begin(), before.end(), after.begin(), after.end(),
      [](const ProjectRecord& a, const ProjectRecord& b) { return a.path == b.path && a.name == b.name; });
}

// Opens the project; true when that reordered the list (a launch re-sorts it; a refused or failed
// open leaves it as it was).
bool openProjectRow(AppState& app, int32_t index) {
  const std::vector<ProjectRecord> before = app.settings->projects;
  openProjectAt(app, index);
  return !sameRecordOrder(before, app.settings->projects);
}

// One row of the table. Returns true when an action changed the list's order or length, after
// which the indices of the rows still to draw this frame are stale.
bool drawProjectRow(AppState& app, int32_t index) {
  ImDrawList* list = ImGui::GetWindowDrawList();
  const ImVec2 p = ImGui::GetCursorScreenPos();
  const float aw = ImGui::GetContentRegionAvail().x;
  const ImRect row(p, ImVec2(p.x + aw, p.y + px(52)));
  const float cy = row.Min.y + px(52) / 2;

  ImGui::PushID(index);
  const ImGuiID rowId = ImGui::GetID("##project_row");
  ImGui::ItemSize(ImVec2(aw, px(52)), -1.0f);
  if (!ImGui::ItemAdd(row, rowId)) {
    ImGui::PopID();
    return false;
  }
  // A copy: the actions below may reorder or shorten the list.
  const ProjectRecord project = app.settings->projects[static_cast<size_t>(index)];
  bool listChanged = false;

  const ImVec2 mouse = ImGui::GetIO().MousePos;
  const ImVec2 starCentre(row.Min.x + px(22), cy);
  const ImRect star(ImVec2(starCentre.x - px(12), cy - px(12)), ImVec2(starCentre.x + px(12), cy + px(12)));
  const float dx = row.Max.x - px(28);
  const ImRect dots(ImVec2(dx - px(14), cy - px(14)), ImVec2(dx + px(14), cy + px(14)));
  const bool overStar = containsPoint(star.Min, star.Max, mouse);
  const bool overDots = containsPoint(dots.Min, dots.Max, mouse);

  const ImGuiID starId = ImGui::GetID("##star_toggle");
  bool starHovered = false, starHeld = false, starPressed = false;
  if (ImGui::ItemAdd(star, starId))
    starPressed = ImGui::ButtonBehavior(star, starId, &starHovered, &starHeld, 0);
  else
    ImGui::KeepAliveID(starId);
  const ImGuiID dotsId = ImGui::GetID("##dots_menu");
  bool dotsHovered = false, dotsHeld = false, dotsPressed = false;
  if (ImGui::ItemAdd(dots, dotsId))
    dotsPressed = ImGui::ButtonBehavior(dots, dotsId, &dotsHovered, &dotsHeld, 0);
  else
    ImGui::KeepAliveID(dotsId);

  bool rowHovered = false, rowHeld = false, rowPressed = false;
  if (overStar || overDots || starHeld || dotsHeld)
    rowHovered = containsPoint(row.Min, row.Max, mouse);
  else
    rowPressed = ImGui::ButtonBehavior(row, rowId, &rowHovered, &rowHeld, 0);
  ImGui::KeepAliveID(rowId);

  if (rowHovered || rowHeld || starHovered || dotsHovered)
    list->AddRectFilled(row.Min, row.Max, IM_COL32(36, 36, 38, 255), px(6));
  list->AddLine(ImVec2(row.Min.x + px(8), row.Max.y), ImVec2(row.Max.x - px(8), row.Max.y),
                IM_COL32(34, 34, 34, 255), 1.0f);

  bool favorite = project.favorite;
  if (starPressed) {
    toggleFavorite(app, project.path);
    favorite = !favorite;
  }
  const ImU32 starColour = favorite      ? IM_COL32(251, 191, 36, 255)
                           : starHovered ? IM_COL32(200, 200, 200, 255)
                                         : IM_COL32(100, 100, 100, 255);
  drawStarIcon(list, starCentre, starColour, favorite, px(6.5f));

  const bool present = projectPresent(project.path);
  app.shownProjectFolders.emplace_back(project.path, present);
  const float nx = row.Min.x + px(54);
  const float pc = row.Min.x + 0.58f * aw;
  const float ec = row.Min.x + 0.76f * aw;
  list->PushClipRect(ImVec2(nx, row.Min.y), ImVec2(pc - px(16), row.Max.y), true);
  drawText(list, 14, ImVec2(nx, row.Min.y + px(8)),
           present ? IM_COL32(240, 240, 240, 255) : IM_COL32(239, 68, 68, 255), project.name.c_str());
  const std::string pathLine = present ? project.path : project.path + " - missing";
  drawText(list, 11.5f, ImVec2(nx, row.Min.y + px(28)),
           present ? IM_COL32(140, 140, 140, 255) : IM_COL32(239, 120, 120, 255), pathLine.c_str());
  list->PopClipRect();

  ImFont* columnFont = uiThemeFont(12.5f);
  const float columnTop = cy - columnFont->LegacySize / 2;
  list->AddText(columnFont, columnFont->LegacySize, ImVec2(pc, columnTop), IM_COL32(180, 180, 180, 255),
                platformLabel(project).c_str());
  list->AddText(columnFont, columnFont->LegacySize, ImVec2(ec, columnTop), IM_COL32(180, 180, 180, 255),
                editorLabelForProject(app, project).c_str());

  const ImU32 dotsColour = dotsHovered ? IM_COL32(255, 255, 255, 255) : IM_COL32(140, 140, 140, 255);
  for (float offset : {-px(6), 0.0f, px(6)}) list->AddCircleFilled(ImVec2(dx + offset, cy), 1.5f, dotsColour);

  if (dotsPressed)
    ImGui::OpenPopup("##project_context_menu");
  else if (rowHovered && ImGui::IsMouseClicked(1, false))
    ImGui::OpenPopup("##project_context_menu");

  if (rowPressed && present) listChanged = openProjectRow(app, index);

  // After the list changed this frame the index may name another record: the menu waits a frame.
  if (!listChanged && ImGui::BeginPopup("##project_context_menu", 0)) {
    if (ImGui::MenuItem("Open Project", nullptr, false, present)) listChanged = openProjectRow(app, index);
    if (ImGui::MenuItem(favorite ? "Remove from Favorites" : "Add to Favorites", nullptr, false, true))
      toggleFavorite(app, project.path);
    if (ImGui::MenuItem("Show in File Manager", nullptr, false, present))
      openFolderInFileManager(projectFolderFromPath(project.path));
    ImGui::Separator();
    if (ImGui::MenuItem("Remove From List", nullptr, false, true)) {
      std::vector<ProjectRecord> projects = app.settings->projects;
      if (index >= 0 && static_cast<size_t>(index) < projects.size()) {
        // A project parked for the install leaves with its record: the install goes on, but
        // nothing is opened after it.
        if (projects[static_cast<size_t>(index)].path == app.pendingProjectPath) {
          app.pendingProjectPath.clear();
          app.notice.clear();
        }
        projects.erase(projects.begin() + index);
        app.settings->projects = projects;
        saveSettings(*app.settings);
        listChanged = true;
      }
    }
    ImGui::EndPopup();
  }
  ImGui::PopID();
  return listChanged;
}

}  // namespace

bool projectPresent(const std::string& path) {
  std::error_code ec;
  const fs::file_status status = fs::status(projectFolderFromPath(path), ec);
  return !ec && status.type() != fs::file_type::none && status.type() != fs::file_type::not_found;
}

std::vector<std::string> projectSearchTokens(const char* searchText) {
  std::vector<std::string> tokens;
  const std::string text = searchText;
  size_t begin = 0;
  while (begin < text.size()) {
    begin = text.find_first_not_of(" \t", begin);
    if (begin == std::string::npos) break;
    size_t end = text.find_first_of(" \t", begin);
    if (end == std::string::npos) end = text.size();
    tokens.emplace_back();
    foldInto(text.substr(begin, end - begin), tokens.back());
    begin = end;
  }
  return tokens;
}

std::vector<int32_t> projectRows(const AppState& app, const std::vector<std::string>& tokens) {
  const std::vector<ProjectRecord>& projects = app.settings->projects;
  std::vector<int32_t> rows;
  rows.reserve(projects.size());
  std::string name;
  std::string path;
  for (size_t i = 0; i < projects.size(); ++i) {
    bool shown = true;
    if (!tokens.empty()) {
      foldInto(projects[i].name, name);
      bool pathFolded = false;
      for (const std::string& token : tokens) {
        if (name.find(token) != std::string::npos) continue;
        if (!pathFolded) {
          foldInto(projects[i].path, path);
          pathFolded = true;
        }
        if (path.find(token) == std::string::npos) {
          shown = false;
          break;
        }
      }
    }
    if (shown) rows.push_back(static_cast<int32_t>(i));
  }
  if (!app.favoritesFirst && app.sortColumn == 0) return rows;

  // The label of a project without a stored editor version is the same for all of them.
  const std::string installedLabel = app.sortColumn == 3 ? editorLabelForProject(app, ProjectRecord()) : "";
  std::vector<SortRow> sorted(rows.size());
  for (size_t r = 0; r < rows.size(); ++r) {
    const ProjectRecord& record = projects[static_cast<size_t>(rows[r])];
    sorted[r].index = rows[r];
    if (app.sortColumn == 1)
      foldInto(record.name, sorted[r].key);
    else if (app.sortColumn == 2)
      foldInto(platformLabel(record), sorted[r].key);
    else if (app.sortColumn == 3)
      foldInto(record.editorVersion.empty() ? installedLabel : record.editorVersion, sorted[r].key);
  }
  std::stable_sort(sorted.begin(), sorted.end(),
                   [&app](const SortRow& a, const SortRow& b) { return compareProjectRows(app, a, b); });
  for (size_t r = 0; r < sorted.size(); ++r) rows[r] = sorted[r].index;
  return rows;
}

void drawProjectsScreen(AppState& app) {
  ImDrawList* list = ImGui::GetWindowDrawList();
  const ImVec2 windowPos = ImGui::GetWindowPos();
  const ImVec2 windowSize = ImGui::GetWindowSize();
  const float x0 = windowPos.x + px(210);
  const float x1 = windowPos.x + windowSize.x;
  const float y0 = windowPos.y;
  const float y1 = windowPos.y + windowSize.y;
  const float w = x1 - x0;

  list->AddRectFilled(ImVec2(x0, y0), ImVec2(x1, y1), IM_COL32(26, 26, 26, 255), uiThemeWindowRounding(),
                      ImDrawFlags_RoundCornersBottomRight);
  drawText(list, 22, ImVec2(x0 + px(24), y0 + px(16) + px(2)), IM_COL32(245, 245, 245, 255), "Projects");

  const float yt = y0 + px(16);
  const float sx = x1 - px(24) - px(126) - px(8) - px(148) - px(8) - px(210);
  drawSearchBox(app, list, sx, yt);
  if (drawSecondaryButton("Add project from disk", ImVec2(sx + px(210) + px(8), yt), ImVec2(px(148), px(32)),
                          13.0f))
    addProjectFromDisk(app);
  if (drawPrimaryButton("+ New project", ImVec2(x1 - px(24) - px(126), yt), ImVec2(px(126), px(32)), 13.5f))
    openNewProjectDialog(app);

  float y = yt + px(32) + px(16);
  if (!app.notice.empty()) {
    const ImVec2 min(x0 + px(24), y);
    const ImVec2 max(x1 - px(24), y + px(32));
    list->AddRectFilled(min, max, IM_COL32(60, 45, 15, 255), px(6));
    list->AddRect(min, max, IM_COL32(180, 130, 40, 255), px(6), 0, 1.0f);
    drawText(list, 12, ImVec2(min.x + px(12), min.y + px(8)), IM_COL32(251, 191, 36, 255),
             app.notice.c_str());
    y += px(40);
  }

  HeaderLayout header;
  header.list = list;
  header.font = uiThemeFont(12.5f);
  header.top = y;
  header.height = px(30);
  header.centreY = y + px(30) / 2;
  header.textTop = header.centreY - header.font->LegacySize / 2;
  {
    const ImVec2 c(x0 + px(16) + px(22), header.centreY);
    const ImRect hit(ImVec2(c.x - px(12), c.y - px(12)), ImVec2(c.x + px(12), c.y + px(12)));
    const ImGuiID id = ImGui::GetID("##header_star_sort");
    if (ImGui::ItemAdd(hit, id)) {
      bool hovered = false;
      bool held = false;
      if (ImGui::ButtonBehavior(hit, id, &hovered, &held, 0)) app.favoritesFirst = !app.favoritesFirst;
      ImGui::KeepAliveID(id);
      const ImU32 colour = app.favoritesFirst ? IM_COL32(251, 191, 36, 255)
                           : hovered          ? IM_COL32(220, 220, 220, 255)
                                              : IM_COL32(130, 130, 130, 255);
      drawStarIcon(list, c, colour, app.favoritesFirst, px(6.5f));
    }
  }
  const float inner = w - px(32);
  drawSortHeader(app, header, "Name", 1, x0 + px(16) + px(54));
  drawSortHeader(app, header, "Platform", 2, x0 + px(16) + 0.58f * inner);
  drawSortHeader(app, header, "Editor version", 3, x0 + px(16) + 0.76f * inner);
  list->AddLine(ImVec2(x0 + px(20), y + px(30)), ImVec2(x1 - px(20), y + px(30)), IM_COL32(40, 40, 40, 255),
                1.0f);

  const std::vector<int32_t> rows = projectRows(app, projectSearchTokens(app.searchText));
  const float lt = y + px(30) + px(4);
  const float lh = y1 - lt - px(12);
  if (rows.empty()) {
    drawEmptyState(app, list, x0, w, lt, lh);
    return;
  }
  ImGui::SetCursorScreenPos(ImVec2(x0 + px(16), lt));
  ImGui::BeginChild("##ProjectsTableList", ImVec2(w - px(32), lh), false, ImGuiWindowFlags_NoBackground);
  bool stale = false;
  for (int32_t index : rows) {
    // Rows after a removal or re-sort this frame would name other records, or none: they are
    // drawn again from the new list next frame. Their room stays taken, or the shorter content
    // would pull the scroll position back.
    if (stale)
      ImGui::ItemSize(ImVec2(0, px(52)), -1.0f);
    else
      stale = drawProjectRow(app, index);
  }
  ImGui::EndChild();
}
