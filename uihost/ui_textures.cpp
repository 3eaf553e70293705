// Texture upload: the program's textures and the font atlas made into OpenGL textures.
#include <GL/gl.h>
#include <backends/imgui_impl_opengl3.h>

#include <cstdint>
#include <vector>

#include "uihost/ui_host_internal.h"

namespace {

ImTextureID createGlTexture(void*, const ImTextureData& texture) {
  std::vector<unsigned char> expanded;
  const unsigned char* pixels = texture.Pixels;
  if (texture.Format == ImTextureFormat_Alpha8) {
    // Core profiles have no alpha-only format: white with the coverage as alpha.
    expanded.resize(static_cast<size_t>(texture.Width) * static_cast<size_t>(texture.Height) * 4, 255);
    for (size_t i = 0; i < expanded.size() / 4; ++i) expanded[i * 4 + 3] = texture.Pixels[i];
    pixels = expanded.data();
  }
  GLint previous = 0;
  glGetIntegerv(GL_TEXTURE_BINDING_2D, &previous);
  GLuint name = 0;
  glGenTextures(1, &name);
  glBindTexture(GL_TEXTURE_2D, name);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, texture.Width, texture.Height, 0, GL_RGBA, GL_UNSIGNED_BYTE,
               pixels);
  glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(previous));
  return reinterpret_cast<ImTextureID>(static_cast<intptr_t>(name));
}

void destroyGlTexture(void*, ImTextureID id) {
  const GLuint name = static_cast<GLuint>(reinterpret_cast<intptr_t>(id));
  if (name) glDeleteTextures(1, &name);
}

}  // namespace

const UiTextureUploader kGlUploader{nullptr, createGlTexture, destroyGlTexture};

void fontAtlasChanged(void* renderer) {
  auto* impl = static_cast<UiHost::Impl*>(renderer);
  impl->forceRender = true;
  if (!impl->rendererObjectsMade) return;  // the first frame uploads the atlas as it is then
  ImGui_ImplOpenGL3_DestroyFontsTexture();
  ImGui_ImplOpenGL3_CreateFontsTexture();
}
