#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "support/headless_ui.h"
#include "uihost/ui_context.h"

namespace {

// Stands in for the GPU: hands out texture names and keeps the live ones.
struct RecordingRenderer {
  intptr_t next = 100;
  std::map<intptr_t, int> live;  // name -> width

  UiTextureUploader uploader() {
    UiTextureUploader u;
    u.user = this;
    u.create = [](void* user, const ImTextureData& texture) {
      auto* self = static_cast<RecordingRenderer*>(user);
      self->live[self->next] = texture.Width;
      return reinterpret_cast<ImTextureID>(self->next++);
    };
    u.destroy = [](void* user, ImTextureID id) {
      static_cast<RecordingRenderer*>(user)->live.erase(reinterpret_cast<intptr_t>(id));
    };
    return u;
  }
};

TEST(Textures, UploadedForTheirFirstDrawReplacedDeletedUnregisteredAndOutliveTheContext) {
  RecordingRenderer renderer;
  auto kept = std::make_unique<ImTextureData>();
  {
    HeadlessUi ui(400, 300);
    ImTextureData texture;
    texture.Create(ImTextureFormat_RGBA32, 4, 2);
    ASSERT_EQ(texture.GetSizeInBytes(), 32);
    ImGui::RegisterUserTexture(&texture);
    ImGui::RegisterUserTexture(&texture);  // twice is once
    auto other = std::make_unique<ImTextureData>();
    other->Create(ImTextureFormat_Alpha8, 3, 3);
    ImGui::RegisterUserTexture(other.get());

    // Drawn before its upload: the draw command is pointed at the uploaded texture.
    ui.newFrame();
    ImGui::GetForegroundDrawList()->AddImage(texture.GetTexID(), ImVec2(0, 0), ImVec2(40, 20));
    ImGui::Render();
    EXPECT_TRUE(uiProcessTextures(renderer.uploader(), ImGui::GetDrawData()));
    EXPECT_EQ(renderer.next, 102);
    ASSERT_NE(texture.TexID, nullptr);
    bool pointed = false;
    for (int n = 0; n < ImGui::GetDrawData()->CmdListsCount; ++n)
      for (const ImDrawCmd& cmd : ImGui::GetDrawData()->CmdLists[n]->CmdBuffer)
        pointed |= cmd.TextureId == texture.TexID;
    EXPECT_TRUE(pointed);
    EXPECT_FALSE(uiProcessTextures(renderer.uploader(), nullptr)) << "uploaded once";

    // New pixels replace the renderer's texture; a deleted texture's goes on the next pass.
    other->SetStatus(ImTextureStatus_WantCreate);
    uiProcessTextures(renderer.uploader(), nullptr);
    EXPECT_EQ(renderer.next, 103);
    EXPECT_EQ(renderer.live.size(), 2u);
    other.reset();
    uiProcessTextures(renderer.uploader(), nullptr);
    EXPECT_EQ(renderer.live.size(), 1u);
    ImGui::UnregisterUserTexture(&texture);
    EXPECT_EQ(texture.Status, ImTextureStatus_Destroyed);
    EXPECT_TRUE(uiProcessTextures(renderer.uploader(), nullptr));
    EXPECT_TRUE(renderer.live.empty());
    texture.DestroyPixels();
    texture.DestroyPixels();  // harmless twice

    kept->Create(ImTextureFormat_RGBA32, 1, 1);
    ImGui::RegisterUserTexture(kept.get());
    uiProcessTextures(renderer.uploader(), nullptr);
    uiDestroyAllTextures(renderer.uploader());  // at shutdown
    EXPECT_TRUE(renderer.live.empty());
    EXPECT_EQ(kept->TexID, nullptr);
  }
  ImGui::UnregisterUserTexture(kept.get());  // no context: nothing to do
}

}  // namespace
