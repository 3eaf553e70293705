#include "uihost/imgui_compat.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "uihost/ui_context.h"

namespace {

// The per-context data lives in a shutdown hook of the context, so it dies with the context.
constexpr ImGuiID kContextDataOwner = 0x4F52564F;  // "ORVO"

void freeContextData(ImGuiContext*, ImGuiContextHook* hook) {
  delete static_cast<UiContextData*>(hook->UserData);
  hook->UserData = nullptr;
}

}  // namespace

UiContextData* uiContextData(bool create) {
  ImGuiContext* context = ImGui::GetCurrentContext();
  if (!context) return nullptr;
  for (ImGuiContextHook& hook : context->Hooks) {
    if (hook.Owner == kContextDataOwner && hook.Type == ImGuiContextHookType_Shutdown)
      return static_cast<UiContextData*>(hook.UserData);
  }
  if (!create) return nullptr;
  ImGuiContextHook hook;
  hook.Type = ImGuiContextHookType_Shutdown;
  hook.Owner = kContextDataOwner;
  hook.Callback = freeContextData;
  hook.UserData = new UiContextData();
  ImGui::AddContextHook(context, &hook);
  return static_cast<UiContextData*>(hook.UserData);
}

ImTextureData::~ImTextureData() {
  // A texture dropped while still registered must not stay in the list as a dangling pointer.
  if (UiContextData* data = uiContextData(false)) {
    if (std::find(data->textures.begin(), data->textures.end(), this) != data->textures.end())
      ImGui::UnregisterUserTexture(this);
  }
  DestroyPixels();
}

void ImTextureData::Create(ImTextureFormat format, int width, int height) {
  DestroyPixels();
  Format = format;
  Width = width > 0 ? width : 0;
  Height = height > 0 ? height : 0;
  BytesPerPixel = format == ImTextureFormat_RGBA32 ? 4 : 1;
  const size_t bytes =
      static_cast<size_t>(Width) * static_cast<size_t>(Height) * static_cast<size_t>(BytesPerPixel);
  Pixels = static_cast<unsigned char*>(std::calloc(bytes > 0 ? bytes : 1, 1));
  Status = ImTextureStatus_WantCreate;
}

void ImTextureData::DestroyPixels() {
  std::free(Pixels);
  Pixels = nullptr;
}

namespace ImGui {

void RegisterUserTexture(ImTextureData* texture) {
  UiContextData* data = uiContextData(true);
  if (!texture || !data) return;
  if (std::find(data->textures.begin(), data->textures.end(), texture) == data->textures.end())
    data->textures.push_back(texture);
}

void UnregisterUserTexture(ImTextureData* texture) {
  UiContextData* data = uiContextData(false);
  if (!texture || !data) return;
  auto it = std::find(data->textures.begin(), data->textures.end(), texture);
  if (it == data->textures.end()) return;
  data->textures.erase(it);
  if (texture->TexID) data->texturesToDelete.push_back(texture->TexID);
  texture->TexID = nullptr;
  texture->Status = ImTextureStatus_Destroyed;
}

}  // namespace ImGui

ImFont* uiAddFontInPlace(ImFontAtlas* atlas, const ImFontConfig& config) {
  // ImFontAtlas::AddFont without the copy of the font data.
  IM_ASSERT(!atlas->Locked && config.FontData && config.FontDataSize > 0 && config.SizePixels > 0.0f);
  if (!config.MergeMode) atlas->Fonts.push_back(IM_NEW(ImFont));
  IM_ASSERT(!atlas->Fonts.empty());
  atlas->ConfigData.push_back(config);
  ImFontConfig& added = atlas->ConfigData.back();
  added.FontDataOwnedByAtlas = false;
  if (!added.DstFont) added.DstFont = atlas->Fonts.back();
  if (added.DstFont->EllipsisChar == static_cast<ImWchar>(-1))
    added.DstFont->EllipsisChar = config.EllipsisChar;
  atlas->ClearTexData();
  return added.DstFont;
}

// The two ImDrawList::AddText, wrapped at link time (--wrap); `this` comes first. The build names
// them (CMakeLists.txt): ORVO_ADDTEXT_FONT with a font and size, ORVO_ADDTEXT_PLAIN without.
static_assert(IMGUI_VERSION_NUM == 18600, "the wrapped ImDrawList::AddText signatures are Dear ImGui 1.86's");
#if !defined(ORVO_ADDTEXT_FONT) || !defined(ORVO_ADDTEXT_PLAIN)
#error "the build names the wrapped ImDrawList::AddText (CMakeLists.txt)"
#endif
#define ORVO_PASTE(a, b) a##b
#define ORVO_SYMBOL(prefix, name) ORVO_PASTE(prefix, name)
#define ORVO_REAL(name) ORVO_SYMBOL(__real_, name)
#define ORVO_WRAP(name) ORVO_SYMBOL(__wrap_, name)

extern "C" {
void ORVO_REAL(ORVO_ADDTEXT_FONT)(ImDrawList*, const ImFont*, float, const ImVec2&, ImU32, const char*,
                                  const char*, float, const ImVec4*);
void ORVO_REAL(ORVO_ADDTEXT_PLAIN)(ImDrawList*, const ImVec2&, ImU32, const char*, const char*);

void ORVO_WRAP(ORVO_ADDTEXT_FONT)(ImDrawList* list, const ImFont* font, float size, const ImVec2& pos,
                                  ImU32 colour, const char* begin, const char* end, float wrapWidth,
                                  const ImVec4* clip) {
  if (begin) uiThemeNoteText(font, begin, end ? end : begin + std::strlen(begin));
  ORVO_REAL(ORVO_ADDTEXT_FONT)(list, font, size, pos, colour, begin, end, wrapWidth, clip);
}

void ORVO_WRAP(ORVO_ADDTEXT_PLAIN)(ImDrawList* list, const ImVec2& pos, ImU32 colour, const char* begin,
                                   const char* end) {
  if (begin) uiThemeNoteText(nullptr, begin, end ? end : begin + std::strlen(begin));
  ORVO_REAL(ORVO_ADDTEXT_PLAIN)(list, pos, colour, begin, end);
}
}

bool uiProcessTextures(const UiTextureUploader& uploader, ImDrawData* drawData) {
  UiContextData* data = uiContextData(false);
  if (!data) return false;
  bool changed = !data->texturesToDelete.empty();
  for (ImTextureID id : data->texturesToDelete) uploader.destroy(uploader.user, id);
  data->texturesToDelete.clear();

  for (ImTextureData* texture : data->textures) {
    if (texture->Status == ImTextureStatus_WantDestroy) {
      if (texture->TexID) uploader.destroy(uploader.user, texture->TexID);
      texture->TexID = nullptr;
      texture->Status = ImTextureStatus_Destroyed;
      changed = true;
    } else if (texture->Status == ImTextureStatus_WantCreate && texture->Pixels && texture->Width > 0 &&
               texture->Height > 0) {
      if (texture->TexID) uploader.destroy(uploader.user, texture->TexID);
      texture->TexID = uploader.create(uploader.user, *texture);
      texture->Status = texture->TexID ? ImTextureStatus_OK : ImTextureStatus_Destroyed;
      changed = true;
    }
  }

  // Draw commands recorded before the upload name the texture object itself (see GetTexID).
  if (drawData && !data->textures.empty()) {
    for (int n = 0; n < drawData->CmdListsCount; ++n) {
      for (ImDrawCmd& cmd : drawData->CmdLists[n]->CmdBuffer) {
        for (ImTextureData* texture : data->textures) {
          if (cmd.TextureId == static_cast<ImTextureID>(texture)) {
            cmd.TextureId = texture->TexID;
            break;
          }
        }
      }
    }
  }
  return changed;
}

void uiDestroyAllTextures(const UiTextureUploader& uploader) {
  UiContextData* data = uiContextData(false);
  if (!data) return;
  for (ImTextureID id : data->texturesToDelete) uploader.destroy(uploader.user, id);
  data->texturesToDelete.clear();
  for (ImTextureData* texture : data->textures) {
    if (texture->TexID) uploader.destroy(uploader.user, texture->TexID);
    texture->TexID = nullptr;
    texture->Status = ImTextureStatus_Destroyed;
  }
}
