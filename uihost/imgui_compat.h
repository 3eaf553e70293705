// The one place that knows which Dear ImGui is installed. Screens are written against the newer
// interface (textures owned by the program, PushFont with a size, LegacySize, named keys,
// NoDocking); this header maps that onto the Dear ImGui 1.86 we build with.
#pragma once

#include <imgui.h>
#include <imgui_internal.h>

#if IMGUI_VERSION_NUM >= 19200
#error "imgui_compat.h maps the newer interface onto Dear ImGui 1.86; drop it for 1.92 or later"
#endif

// 1.86 has no docking: there is nothing to opt out of.
constexpr ImGuiWindowFlags ImGuiWindowFlags_NoDocking = 0;

// A font's nominal size; 1.86 calls it FontSize. Lets screens write font->LegacySize.
#define LegacySize FontSize

namespace ImGui {
// 1.86 fonts are baked at one size: pushing a font at its nominal size is the only size used.
inline void PushFont(ImFont* font, float /*size*/) {
  PushFont(font);
}
}  // namespace ImGui

// 1.86 bakes every glyph before the frame and AddFont copies the whole font file for every font;
// this adds a font that reads config.FontData in place (it must outlive the atlas).
ImFont* uiAddFontInPlace(ImFontAtlas* atlas, const ImFontConfig& config);
// 1.86 cannot rasterise a glyph on demand: the link wraps ImDrawList::AddText (see CMakeLists.txt)
// so that every text drawn, by the screens or by Dear ImGui's own widgets, reports its characters
// to the theme, which bakes the missing ones before the next frame.

// Named keys: in 1.86 ImGuiKey_* index io.KeyMap, not io.KeysDown.
inline bool uiIsKeyPressed(ImGuiKey key, bool repeat = true) {
  return ImGui::IsKeyPressed(ImGui::GetKeyIndex(key), repeat);
}
inline bool uiIsKeyDown(ImGuiKey key) {
  return ImGui::IsKeyDown(ImGui::GetKeyIndex(key));
}

// Textures owned by the program and uploaded by the renderer.
enum ImTextureFormat { ImTextureFormat_RGBA32 = 0, ImTextureFormat_Alpha8 = 1 };
enum ImTextureStatus {
  ImTextureStatus_OK,
  ImTextureStatus_Destroyed,    // no renderer texture exists
  ImTextureStatus_WantCreate,   // the renderer uploads the pixels at the next present
  ImTextureStatus_WantDestroy,  // the renderer deletes its texture at the next present
};

struct ImTextureData {
  ImTextureStatus Status = ImTextureStatus_Destroyed;
  ImTextureFormat Format = ImTextureFormat_RGBA32;
  int Width = 0;
  int Height = 0;
  int BytesPerPixel = 0;
  unsigned char* Pixels = nullptr;  // owned; freed by DestroyPixels
  ImTextureID TexID = nullptr;      // the renderer's texture, null until uploaded

  ImTextureData() = default;
  ~ImTextureData();
  ImTextureData(const ImTextureData&) = delete;
  ImTextureData& operator=(const ImTextureData&) = delete;

  void Create(ImTextureFormat format, int width, int height);
  void DestroyPixels();
  unsigned char* GetPixels() { return Pixels; }
  int GetSizeInBytes() const { return Width * Height * BytesPerPixel; }
  void SetStatus(ImTextureStatus status) { Status = status; }
  // Before the renderer has uploaded it, the texture stands for itself in draw commands; the host
  // points those commands at the uploaded texture before rendering, so it shows from the first frame.
  ImTextureID GetTexID() const { return TexID ? TexID : (ImTextureID)this; }
};

namespace ImGui {
// The host uploads registered textures marked WantCreate before it renders the frame.
void RegisterUserTexture(ImTextureData* texture);
void UnregisterUserTexture(ImTextureData* texture);
}  // namespace ImGui
