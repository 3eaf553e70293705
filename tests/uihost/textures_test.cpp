#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "support/headless_ui.h"
#include "uihost/ui_context.h"

namespace {

// Stands in for the GPU: hands out texture names and records what was created and deleted.
struct RecordingRenderer {
  intptr_t next = 100;
  std::map<intptr_t, int> live;  // name -> width
  int created = 0;
  int destroyed = 0;

  UiTextureUploader uploader() {
    UiTextureUploader u;
    u.user = this;
    u.create = [](void* user, const ImTextureData& texture) {
      auto* self = static_cast<RecordingRenderer*>(user);
      self->live[self->next] = texture.Width;
      ++self->created;
      return reinterpret_cast<ImTextureID>(self->next++);
    };
    u.destroy = [](void* user, ImTextureID id) {
      auto* self = static_cast<RecordingRenderer*>(user);
      self->live.erase(reinterpret_cast<intptr_t>(id));
      ++self->destroyed;
    };
    return u;
  }
};

TEST(Textures, CreateUploadDrawAndUnregister) {
  HeadlessUi ui(400, 300);
  RecordingRenderer renderer;
  ImTextureData texture;
  texture.Create(ImTextureFormat_RGBA32, 4, 2);
  ASSERT_NE(texture.GetPixels(), nullptr);
  EXPECT_EQ(texture.GetSizeInBytes(), 32);
  texture.GetPixels()[31] = 0xFF;
  texture.SetStatus(ImTextureStatus_WantCreate);
  ImGui::RegisterUserTexture(&texture);
  ImGui::RegisterUserTexture(&texture);  // twice is once

  // Drawn before the upload: the draw command names the texture and is pointed at the upload.
  ui.newFrame();
  ImGui::GetForegroundDrawList()->AddImage(texture.GetTexID(), ImVec2(0, 0), ImVec2(40, 20));
  ImGui::Render();
  ImDrawData* drawData = ImGui::GetDrawData();
  EXPECT_TRUE(uiProcessTextures(renderer.uploader(), drawData));
  EXPECT_EQ(renderer.created, 1);
  EXPECT_EQ(texture.Status, ImTextureStatus_OK);
  ASSERT_NE(texture.TexID, nullptr);
  EXPECT_EQ(texture.GetTexID(), texture.TexID);
  bool pointed = false;
  for (int n = 0; n < drawData->CmdListsCount; ++n)
    for (const ImDrawCmd& cmd : drawData->CmdLists[n]->CmdBuffer) pointed |= cmd.TextureId == texture.TexID;
  EXPECT_TRUE(pointed);

  EXPECT_FALSE(uiProcessTextures(renderer.uploader(), nullptr)) << "uploaded once";

  ImGui::UnregisterUserTexture(&texture);
  EXPECT_EQ(texture.TexID, nullptr);
  EXPECT_EQ(texture.Status, ImTextureStatus_Destroyed);
  EXPECT_TRUE(uiProcessTextures(renderer.uploader(), nullptr));
  EXPECT_TRUE(renderer.live.empty());
  texture.DestroyPixels();
  EXPECT_EQ(texture.GetPixels(), nullptr);
  texture.DestroyPixels();  // harmless twice
}

TEST(Textures, ReuploadOnWantCreateAndCleanUpOnDeleteOrShutdown) {
  HeadlessUi ui(400, 300);
  RecordingRenderer renderer;
  auto first = std::make_unique<ImTextureData>();
  first->Create(ImTextureFormat_RGBA32, 2, 2);
  ImGui::RegisterUserTexture(first.get());
  ImTextureData second;
  second.Create(ImTextureFormat_Alpha8, 3, 3);
  EXPECT_EQ(second.GetSizeInBytes(), 9);
  ImGui::RegisterUserTexture(&second);
  uiProcessTextures(renderer.uploader(), nullptr);
  EXPECT_EQ(renderer.live.size(), 2u);

  // New pixels: the old renderer texture is replaced.
  second.SetStatus(ImTextureStatus_WantCreate);
  uiProcessTextures(renderer.uploader(), nullptr);
  EXPECT_EQ(renderer.live.size(), 2u);
  EXPECT_EQ(renderer.created, 3);

  // Deleting a registered texture takes it out of the list; its renderer texture goes next time.
  first.reset();
  uiProcessTextures(renderer.uploader(), nullptr);
  EXPECT_EQ(renderer.live.size(), 1u);

  uiDestroyAllTextures(renderer.uploader());
  EXPECT_TRUE(renderer.live.empty());
  EXPECT_EQ(second.TexID, nullptr);
}

TEST(Textures, OutliveTheirContext) {
  auto texture = std::make_unique<ImTextureData>();
  {
    HeadlessUi ui(400, 300);
    texture->Create(ImTextureFormat_RGBA32, 1, 1);
    ImGui::RegisterUserTexture(texture.get());
  }
  EXPECT_EQ(ImGui::GetCurrentContext(), nullptr);
  ImGui::UnregisterUserTexture(texture.get());  // no context: nothing to do
  texture.reset();
}

}  // namespace
