// The launcher's own controls: two button styles, three line icons and the byte-count text.
#pragma once

#include <cstdint>
#include <string>

#include "uihost/ui_theme.h"

// Buttons at a screen position and size (already scaled); fontSize is the design size for
// uiThemeFont. They register an item but never move the layout cursor. True in the frame of the
// click (release over the button after a press on it). A secondary button given settleSeconds
// ignores clicks for that long after it appears (drawn in a frame but not in the one before), so
// the second click of a double click does not reach a button that took the first one's place.
bool drawPrimaryButton(const char* label, const ImVec2& pos, const ImVec2& size, float fontSize);
bool drawSecondaryButton(const char* label, const ImVec2& pos, const ImVec2& size, float fontSize,
                         float settleSeconds = 0.0f);

// A five-pointed star pointing up, filled or as an outline; radius of the outer points.
void drawStarIcon(ImDrawList* list, const ImVec2& centre, ImU32 colour, bool filled, float radius);
// Outlines in a box size wide and 0.75 * size high from the top-left point.
void drawFolderIcon(ImDrawList* list, const ImVec2& topLeft, ImU32 colour, float size);
void drawDriveIcon(ImDrawList* list, const ImVec2& topLeft, ImU32 colour, float size);

// "0 B", "1023 B", "1.5 KB", "1.0 MB", ... up to "GB", which also holds larger counts.
std::string formatByteSize(int64_t bytes);
