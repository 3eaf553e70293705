// The Projects page of the signed-in layout: search, sorting, the project table and its menu.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct AppState;

// Draws the page right of the sidebar and carries out this frame's clicks.
void drawProjectsScreen(AppState& app);

// The search text's words, folded to ASCII lower case.
std::vector<std::string> projectSearchTokens(const char* searchText);
// The indices of the projects to show, in display order: those matching every token in their
// name or path, sorted when favourites-first or a sort column is active.
std::vector<int32_t> projectRows(const AppState& app, const std::vector<std::string>& tokens);
// The project's folder exists (as anything); a failing status query counts as missing.
bool projectPresent(const std::string& path);
