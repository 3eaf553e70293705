// The left column of the signed-in layout: page navigation and the account card.
#pragma once

#include <string>

struct AppState;

// The column is this many design pixels wide; the pages start right of it.
constexpr float kSidebarWidth = 210.0f;

// Draws the column into the current window; a click on an entry switches app.page in the same
// frame, "Sign out" signs out and clears app.updateCheckStarted.
void drawSidebar(AppState& app);

// Up to two initials of the name's space-separated words, ASCII letters upper-cased; "?" when
// there is none.
std::string accountInitials(const std::string& name);
