#include "support/headless_ui.h"

#include <gtest/gtest.h>

#include <cstring>
#include <unordered_map>

#include "uihost/ui_context.h"

namespace {

constexpr float kFrameSeconds = 1.0f / 60.0f;

uint64_t uvKey(const ImVec2& uv) {
  uint32_t u = 0;
  uint32_t v = 0;
  std::memcpy(&u, &uv.x, 4);
  std::memcpy(&v, &uv.y, 4);
  return (static_cast<uint64_t>(u) << 32) | v;
}

bool sameUv(const ImVec2& a, float u, float v) {
  return a.x == u && a.y == v;
}

void appendUtf8(std::string& out, unsigned int c) {
  char buffer[5] = {};
  ImTextCharToUtf8(buffer, c);
  out += buffer;
}

std::string withoutSpaces(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') out += c;
  }
  return out;
}

}  // namespace

HeadlessUi::HeadlessUi(float width, float height, float scale)
    : scale_(scale), width_(width), height_(height) {
  previous_ = ImGui::GetCurrentContext();
  context_ = ImGui::CreateContext();
  ImGui::SetCurrentContext(context_);
  ImGuiIO& io = ImGui::GetIO();
  io.IniFilename = nullptr;
  io.LogFilename = nullptr;
  io.DisplaySize = ImVec2(width, height);
  io.DeltaTime = kFrameSeconds;
  io.BackendFlags |= ImGuiBackendFlags_RendererHasVtxOffset;
  // The named keys map onto KeysDown slots of the same number.
  for (int key = 0; key < ImGuiKey_COUNT; ++key) io.KeyMap[key] = key;
  uiThemeInitialize(nullptr);
  uiThemeSetScale(scale);
}

HeadlessUi::~HeadlessUi() {
  listPointers_.clear();
  lists_.clear();
  ImGui::DestroyContext(context_);
  if (previous_ != context_) ImGui::SetCurrentContext(previous_);
}

void HeadlessUi::newFrame() {
  ImGui::SetCurrentContext(context_);
  uiThemePrepareFrame();
  ImGuiIO& io = ImGui::GetIO();
  io.DisplaySize = ImVec2(width_, height_);
  io.DeltaTime = kFrameSeconds;
  io.MouseWheel = pendingWheel_;
  pendingWheel_ = 0.0f;
  ImGui::NewFrame();
  uiThemeSetScale(scale_);
  uiThemeTick(io.DeltaTime);
  uiThemeApplyStyle();
}

void HeadlessUi::endFrame() {
  ImGui::SetCurrentContext(context_);
  ImGui::Render();
  const ImDrawData* source = ImGui::GetDrawData();
  listPointers_.clear();
  lists_.clear();
  drawData_ = ImDrawData();
  if (source) {
    for (int n = 0; n < source->CmdListsCount; ++n) {
      auto copy = std::make_unique<ImDrawList>(nullptr);
      copy->CmdBuffer = source->CmdLists[n]->CmdBuffer;
      copy->IdxBuffer = source->CmdLists[n]->IdxBuffer;
      copy->VtxBuffer = source->CmdLists[n]->VtxBuffer;
      listPointers_.push_back(copy.get());
      lists_.push_back(std::move(copy));
    }
    drawData_.Valid = source->Valid;
    drawData_.CmdListsCount = static_cast<int>(listPointers_.size());
    drawData_.TotalIdxCount = source->TotalIdxCount;
    drawData_.TotalVtxCount = source->TotalVtxCount;
    drawData_.DisplayPos = source->DisplayPos;
    drawData_.DisplaySize = source->DisplaySize;
    drawData_.FramebufferScale = source->FramebufferScale;
    drawData_.CmdLists = listPointers_.empty() ? nullptr : listPointers_.data();
  }
  collectGlyphs();
}

void HeadlessUi::frame(const std::function<void()>& draw) {
  newFrame();
  if (draw) draw();
  endFrame();
}

void HeadlessUi::moveMouse(float x, float y) {
  ImGui::GetIO().MousePos = ImVec2(x, y);
}
void HeadlessUi::pressMouse(int button) {
  ImGui::GetIO().MouseDown[button] = true;
}
void HeadlessUi::releaseMouse(int button) {
  ImGui::GetIO().MouseDown[button] = false;
}
void HeadlessUi::pressKey(ImGuiKey key) {
  ImGui::GetIO().KeysDown[ImGui::GetIO().KeyMap[key]] = true;
}
void HeadlessUi::releaseKey(ImGuiKey key) {
  ImGui::GetIO().KeysDown[ImGui::GetIO().KeyMap[key]] = false;
}

void HeadlessUi::setModifiers(bool ctrl, bool shift, bool alt) {
  ImGuiIO& io = ImGui::GetIO();
  io.KeyCtrl = ctrl;
  io.KeyShift = shift;
  io.KeyAlt = alt;
}

void HeadlessUi::typeText(const char* text) {
  ImGui::GetIO().AddInputCharactersUTF8(text);
}
void HeadlessUi::wheel(float dy) {
  pendingWheel_ += dy;
}

void HeadlessUi::click(float x, float y, const std::function<void()>& draw) {
  moveMouse(x, y);
  frame(draw);
  pressMouse(0);
  frame(draw);
  releaseMouse(0);
  frame(draw);
}

void HeadlessUi::setScale(float scale) {
  scale_ = scale;
}

void HeadlessUi::collectGlyphs() {
  glyphs_.clear();
  runStarts_.clear();
  const ImFontAtlas* atlas = ImGui::GetIO().Fonts;
  // Every glyph of every font, by the texture corner its quad starts at.
  std::vector<const ImFontGlyph*> all;
  std::unordered_map<uint64_t, const ImFontGlyph*> byUv;
  for (const ImFont* font : atlas->Fonts) {
    for (const ImFontGlyph& glyph : font->Glyphs) {
      if (!glyph.Visible) continue;
      all.push_back(&glyph);
      byUv.emplace(uvKey(ImVec2(glyph.U0, glyph.V0)), &glyph);
    }
  }
  // Text clipped finely at a clip edge keeps a part of its glyph: find the glyph whose texture
  // rectangle holds the part.
  auto glyphHolding = [&](ImVec2 uvMin, ImVec2 uvMax) -> const ImFontGlyph* {
    auto exact = byUv.find(uvKey(uvMin));
    if (exact != byUv.end() && sameUv(uvMax, exact->second->U1, exact->second->V1)) return exact->second;
    const ImVec2 centre((uvMin.x + uvMax.x) * 0.5f, (uvMin.y + uvMax.y) * 0.5f);
    for (const ImFontGlyph* g : all) {
      if (centre.x > g->U0 && centre.x < g->U1 && centre.y > g->V0 && centre.y < g->V1 && uvMin.x >= g->U0 &&
          uvMax.x <= g->U1 && uvMin.y >= g->V0 && uvMax.y <= g->V1)
        return g;
    }
    return nullptr;
  };

  for (const ImDrawList* list : listPointers_) {
    const ImVector<ImDrawVert>& v = list->VtxBuffer;
    // Only vertices drawn with the font atlas can be text.
    std::vector<bool> fromAtlas(static_cast<size_t>(v.Size), false);
    for (const ImDrawCmd& cmd : list->CmdBuffer) {
      if (cmd.UserCallback || cmd.TextureId != atlas->TexID) continue;
      for (unsigned int k = cmd.IdxOffset;
           k < cmd.IdxOffset + cmd.ElemCount && k < static_cast<unsigned>(list->IdxBuffer.Size); ++k) {
        const unsigned int index = cmd.VtxOffset + list->IdxBuffer[static_cast<int>(k)];
        if (index < fromAtlas.size()) fromAtlas[index] = true;
      }
    }
    int previousEnd = -1;
    for (int i = 0; i + 3 < v.Size;) {
      // A glyph quad: corners clockwise from the top-left, texture corners likewise.
      const ImDrawVert* q = &v[i];
      const bool quad = fromAtlas[static_cast<size_t>(i)] && q[0].uv.x < q[1].uv.x && q[0].uv.y < q[2].uv.y &&
                        q[1].uv.y == q[0].uv.y && q[2].uv.x == q[1].uv.x && q[3].uv.y == q[2].uv.y &&
                        q[3].uv.x == q[0].uv.x && q[1].pos.y == q[0].pos.y && q[2].pos.x == q[1].pos.x &&
                        q[3].pos.y == q[2].pos.y && q[3].pos.x == q[0].pos.x;
      const ImFontGlyph* g = quad ? glyphHolding(q[0].uv, q[2].uv) : nullptr;
      if (!g) {
        ++i;
        continue;
      }
      // Back from the (possibly clipped) quad to the pen position the text was drawn at.
      const float scaleX =
          (q[2].pos.x - q[0].pos.x) / ((q[2].uv.x - q[0].uv.x) / (g->U1 - g->U0) * (g->X1 - g->X0));
      const float scaleY =
          (q[2].pos.y - q[0].pos.y) / ((q[2].uv.y - q[0].uv.y) / (g->V1 - g->V0) * (g->Y1 - g->Y0));
      const float left = q[0].pos.x - (q[0].uv.x - g->U0) / (g->U1 - g->U0) * (g->X1 - g->X0) * scaleX;
      const float top = q[0].pos.y - (q[0].uv.y - g->V0) / (g->V1 - g->V0) * (g->Y1 - g->Y0) * scaleY;
      if (i != previousEnd) runStarts_.push_back(glyphs_.size());
      glyphs_.push_back({g->Codepoint, ImVec2(left - g->X0 * scaleX, top - g->Y0 * scaleY)});
      previousEnd = i + 4;
      i += 4;
    }
  }
}

int HeadlessUi::findText(const std::string& text) const {
  const std::string needle = withoutSpaces(text);
  if (needle.empty()) return -1;
  for (size_t r = 0; r < runStarts_.size(); ++r) {
    const size_t begin = runStarts_[r];
    const size_t end = r + 1 < runStarts_.size() ? runStarts_[r + 1] : glyphs_.size();
    std::string run;
    std::vector<size_t> glyphAtByte;
    for (size_t g = begin; g < end; ++g) {
      const size_t before = run.size();
      appendUtf8(run, glyphs_[g].codepoint);
      glyphAtByte.insert(glyphAtByte.end(), run.size() - before, g);
    }
    const size_t at = run.find(needle);
    if (at != std::string::npos) return static_cast<int>(glyphAtByte[at]);
  }
  return -1;
}

bool HeadlessUi::drewText(const std::string& text) const {
  return findText(text) >= 0;
}

ImVec2 HeadlessUi::textPosition(const std::string& text) const {
  const int index = findText(text);
  if (index < 0) {
    ADD_FAILURE() << "the last frame drew no text \"" << text << "\"; it drew: " << drawnText();
    return ImVec2(-1.0f, -1.0f);
  }
  return glyphs_[static_cast<size_t>(index)].origin;
}

std::string HeadlessUi::drawnText() const {
  std::string out;
  for (size_t r = 0; r < runStarts_.size(); ++r) {
    const size_t end = r + 1 < runStarts_.size() ? runStarts_[r + 1] : glyphs_.size();
    if (r > 0) out += " | ";
    for (size_t g = runStarts_[r]; g < end; ++g) appendUtf8(out, glyphs_[g].codepoint);
  }
  return out;
}

bool HeadlessUi::drewColourIn(ImU32 colour, const ImRect& rect) const {
  for (const ImDrawList* list : listPointers_) {
    for (const ImDrawVert& vertex : list->VtxBuffer) {
      if (vertex.col == colour && rect.Contains(vertex.pos)) return true;
    }
  }
  return false;
}
