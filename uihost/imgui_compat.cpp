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
