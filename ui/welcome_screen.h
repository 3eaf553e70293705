// The welcome screen: what a configured launcher shows while nobody is signed in.
#pragma once

#include <string>
#include <vector>

struct AppState;
struct ImTextureData;
struct ImVec2;

// Draws the sign-in panel and the picture into the current window; "Sign in" and "Cancel" start
// and abandon the browser sign-in. Loads the picture at its first call.
void drawWelcomeScreen(AppState& app);

// The texture coordinates that make a tw x th picture cover a w x h area (see the cover rule).
void welcomeCoverUv(float w, float h, float tw, float th, ImVec2& uv0, ImVec2& uv1);
// The first candidate file that decodes, as a registered texture wanting creation; null when none.
ImTextureData* loadWelcomePicture(const std::vector<std::string>& candidates);
