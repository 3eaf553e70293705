// Frame damage: comparing each frame with the one on screen, and drawing and showing only what
// changed.
#define GLFW_INCLUDE_NONE
#include <GL/gl.h>
#include <GLFW/glfw3.h>
#include <backends/imgui_impl_opengl3.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "uihost/ui_host_internal.h"

// The few GLX calls the partial present needs, declared here: the full GLX header brings X11's
// macros (None, Bool, Status...) into this file.
extern "C" {
_XDisplay* glXGetCurrentDisplay();
unsigned long glXGetCurrentDrawable();
}

namespace {

// Returns false when a draw command is a callback: such a frame is always drawn whole.
bool collectTriangles(const ImDrawData* drawData, std::vector<DrawnTriangle>& out) {
  out.clear();
  if (!drawData) return true;
  bool plain = true;
  for (int n = 0; n < drawData->CmdListsCount; ++n) {
    const ImDrawList* list = drawData->CmdLists[n];
    for (const ImDrawCmd& cmd : list->CmdBuffer) {
      if (cmd.UserCallback) {
        plain = false;
        continue;
      }
      DrawnTriangle triangle;
      triangle.clip = cmd.ClipRect;
      triangle.texture = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(cmd.TextureId));
      triangle.zero = 0;
      const ImDrawIdx* index = list->IdxBuffer.Data + cmd.IdxOffset;
      const ImDrawVert* vertices = list->VtxBuffer.Data + cmd.VtxOffset;
      for (unsigned int e = 0; e + 3 <= cmd.ElemCount; e += 3) {
        for (int j = 0; j < 3; ++j) triangle.vertex[j] = vertices[index[e + j]];
        out.push_back(triangle);
      }
    }
  }
  return plain;
}

bool sameTriangle(const DrawnTriangle& a, const DrawnTriangle& b) {
  return std::memcmp(&a, &b, sizeof(DrawnTriangle)) == 0;
}

void addTriangleBounds(const DrawnTriangle& triangle, ImRect& bounds) {
  ImRect box(triangle.vertex[0].pos, triangle.vertex[0].pos);
  box.Add(triangle.vertex[1].pos);
  box.Add(triangle.vertex[2].pos);
  box.ClipWithFull(ImRect(triangle.clip.x, triangle.clip.y, triangle.clip.z, triangle.clip.w));
  if (box.Min.x < box.Max.x && box.Min.y < box.Max.y) bounds.Add(box);
}

// Where two frames differ, in display coordinates: the bounds of the triangles between their common
// beginning and their common end, in both frames (a moving spinner: only its own square). False when
// the frames are equal; an empty rectangle when they differ only outside every clip rectangle.
bool frameDamage(const std::vector<DrawnTriangle>& before, const std::vector<DrawnTriangle>& after,
                 ImRect& damage) {
  const size_t common = std::min(before.size(), after.size());
  size_t head = 0;
  while (head < common && sameTriangle(before[head], after[head])) ++head;
  if (head == before.size() && head == after.size()) return false;
  size_t tail = 0;
  while (tail < common - head &&
         sameTriangle(before[before.size() - 1 - tail], after[after.size() - 1 - tail]))
    ++tail;
  damage = ImRect(FLT_MAX, FLT_MAX, -FLT_MAX, -FLT_MAX);
  for (size_t i = head; i < before.size() - tail; ++i) addTriangleBounds(before[i], damage);
  for (size_t i = head; i < after.size() - tail; ++i) addTriangleBounds(after[i], damage);
  return true;
}

// The framebuffer pixels to draw, x0 y0 x1 y1 from the top left.
struct PixelBox {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

// The damage in framebuffer pixels, widened by one for the rounding of the rasteriser; the draw
// commands are clipped to it.
PixelBox clipToDamage(ImDrawData* drawData, const ImRect& damage, int width, int height) {
  const ImVec2 offset = drawData->DisplayPos;
  const ImVec2 scale = drawData->FramebufferScale;
  PixelBox box;
  if (damage.Min.x > damage.Max.x) return box;  // the change is clipped away: nothing to draw
  box.x0 = std::max(0, static_cast<int>(std::floor((damage.Min.x - offset.x) * scale.x)) - 1);
  box.y0 = std::max(0, static_cast<int>(std::floor((damage.Min.y - offset.y) * scale.y)) - 1);
  box.x1 = std::min(width, static_cast<int>(std::ceil((damage.Max.x - offset.x) * scale.x)) + 1);
  box.y1 = std::min(height, static_cast<int>(std::ceil((damage.Max.y - offset.y) * scale.y)) + 1);
  const ImVec4 limit(offset.x + box.x0 / scale.x, offset.y + box.y0 / scale.y, offset.x + box.x1 / scale.x,
                     offset.y + box.y1 / scale.y);
  for (int n = 0; n < drawData->CmdListsCount; ++n) {
    for (ImDrawCmd& cmd : drawData->CmdLists[n]->CmdBuffer) {
      cmd.ClipRect = ImVec4(std::max(cmd.ClipRect.x, limit.x), std::max(cmd.ClipRect.y, limit.y),
                            std::min(cmd.ClipRect.z, limit.z), std::min(cmd.ClipRect.w, limit.w));
    }
  }
  return box;
}

}  // namespace

void presentChanges(UiHost::Impl& impl, ImDrawData* drawData, const float clear[4]) {
  int width = 0, height = 0;
  glfwGetFramebufferSize(impl.window, &width, &height);
  const bool plain = collectTriangles(drawData, impl.drawn);
  const bool sameCanvas = impl.presented && width == impl.shownWidth && height == impl.shownHeight &&
                          std::memcmp(clear, impl.shownClear, sizeof(impl.shownClear)) == 0;
  // The GL stack gives the back buffer a new window size only at a swap: a resized window is swapped
  // once, then drawn whole again into the buffer of its new size.
  const bool resized = impl.presented && (width != impl.shownWidth || height != impl.shownHeight);
  ImRect damage;
  const bool changed = !sameCanvas || !plain || frameDamage(impl.shown, impl.drawn, damage);
  const bool whole = !sameCanvas || !plain || impl.forceRender || !impl.copySubBuffer;
  if (width > 0 && height > 0 && (changed || impl.forceRender)) {
    const PixelBox box =
        whole ? PixelBox{0, 0, width, height} : clipToDamage(drawData, damage, width, height);
    const int x0 = box.x0, y0 = box.y0, x1 = box.x1, y1 = box.y1;
    if (x1 > x0 && y1 > y0) {
      glViewport(0, 0, width, height);
      glEnable(GL_SCISSOR_TEST);
      glScissor(x0, height - y1, x1 - x0, y1 - y0);
      glClearColor(clear[0], clear[1], clear[2], clear[3]);
      glClear(GL_COLOR_BUFFER_BIT);
      glDisable(GL_SCISSOR_TEST);
      ImGui_ImplOpenGL3_RenderDrawData(drawData);
      if (impl.copySubBuffer && !resized)
        impl.copySubBuffer(glXGetCurrentDisplay(), glXGetCurrentDrawable(), x0, height - y1, x1 - x0,
                           y1 - y0);
      else
        glfwSwapBuffers(impl.window);
      ++impl.stats.framesRendered;
      impl.stats.pixelsRendered += static_cast<uint64_t>(x1 - x0) * static_cast<uint64_t>(y1 - y0);
    }
    impl.presented = true;
    impl.shown.swap(impl.drawn);
    std::memcpy(impl.shownClear, clear, sizeof(impl.shownClear));
    impl.shownWidth = width;
    impl.shownHeight = height;
    impl.forceRender = resized && impl.copySubBuffer;
  }
  impl.lastChanged = changed;
}
