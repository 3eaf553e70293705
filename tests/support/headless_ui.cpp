#include "support/headless_ui.h"

#include <gtest/gtest.h>

#include <cctype>
#include <map>

#include "uihost/ui_context.h"

namespace {

void appendUtf8(std::string& out, unsigned int c) {
  char buffer[5] = {};
  ImTextCharToUtf8(buffer, c);
  out += buffer;
}

}  // namespace

HeadlessUi::HeadlessUi(float width, float height, float scale) : scale_(scale) {
  context_ = ImGui::CreateContext();
  ImGuiIO& io = ImGui::GetIO();
  io.IniFilename = nullptr;
  io.LogFilename = nullptr;
  io.BackendFlags |= ImGuiBackendFlags_RendererHasVtxOffset;
  io.DisplaySize = ImVec2(width, height);
  io.DeltaTime = 1.0f / 60.0f;
  for (int key = 0; key < ImGuiKey_COUNT; ++key) io.KeyMap[key] = key;  // a named key is its own slot
  uiThemeInitialize(nullptr);
  uiThemeSetScale(scale);
}

HeadlessUi::~HeadlessUi() {
  ImGui::DestroyContext(context_);
}

ImGuiIO& HeadlessUi::io() const {
  ImGui::SetCurrentContext(context_);
  return ImGui::GetIO();
}

void HeadlessUi::newFrame() {
  io();
  uiThemePrepareFrame();
  ImGui::NewFrame();
  uiThemeSetScale(scale_);
  uiThemeTick(io().DeltaTime);
  uiThemeApplyStyle();
}

void HeadlessUi::endFrame() {
  io();
  ImGui::Render();
  collectGlyphs();
}

void HeadlessUi::frame(const std::function<void()>& draw) {
  newFrame();
  if (draw) draw();
  endFrame();
}

void HeadlessUi::click(float x, float y, const std::function<void()>& draw) {
  moveMouse(x, y);
  frame(draw);
  pressMouse(0);
  frame(draw);
  releaseMouse(0);
  frame(draw);
}

const ImDrawData& HeadlessUi::drawData() const {
  io();
  return *ImGui::GetDrawData();
}

void HeadlessUi::collectGlyphs() {
  runs_.clear();
  const ImFontAtlas* atlas = ImGui::GetIO().Fonts;
  std::map<std::pair<float, float>, const ImFontGlyph*> byUv;  // by the texture corner a quad starts at
  for (const ImFont* font : atlas->Fonts)
    for (const ImFontGlyph& glyph : font->Glyphs)
      if (glyph.Visible) byUv.emplace(std::pair(glyph.U0, glyph.V0), &glyph);
  // Text clipped at a clip edge keeps a part of its glyph: the glyph whose texture rectangle holds it.
  auto glyphHolding = [&](ImVec2 uvMin, ImVec2 uvMax) -> const ImFontGlyph* {
    auto exact = byUv.find(std::pair(uvMin.x, uvMin.y));
    if (exact != byUv.end() && uvMax.x == exact->second->U1 && uvMax.y == exact->second->V1)
      return exact->second;
    for (const auto& [corner, g] : byUv)
      if (uvMin.x >= g->U0 && uvMax.x <= g->U1 && uvMin.y >= g->V0 && uvMax.y <= g->V1) return g;
    return nullptr;
  };

  const ImDrawData& data = *ImGui::GetDrawData();
  for (int n = 0; n < data.CmdListsCount; ++n) {
    const ImDrawList* list = data.CmdLists[n];
    const ImVector<ImDrawVert>& v = list->VtxBuffer;
    std::vector<bool> fromAtlas(static_cast<size_t>(v.Size), false);  // only these can be text
    for (const ImDrawCmd& cmd : list->CmdBuffer) {
      if (cmd.UserCallback || cmd.TextureId != atlas->TexID) continue;
      for (unsigned int k = cmd.IdxOffset; k < cmd.IdxOffset + cmd.ElemCount; ++k)
        fromAtlas[cmd.VtxOffset + list->IdxBuffer[static_cast<int>(k)]] = true;
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
      const float w = g->X1 - g->X0, h = g->Y1 - g->Y0, du = g->U1 - g->U0, dv = g->V1 - g->V0;
      const float scaleX = (q[2].pos.x - q[0].pos.x) / ((q[2].uv.x - q[0].uv.x) / du * w);
      const float scaleY = (q[2].pos.y - q[0].pos.y) / ((q[2].uv.y - q[0].uv.y) / dv * h);
      const float left = q[0].pos.x - (q[0].uv.x - g->U0) / du * w * scaleX;
      const float top = q[0].pos.y - (q[0].uv.y - g->V0) / dv * h * scaleY;
      if (i != previousEnd) runs_.emplace_back();
      runs_.back().push_back({g->Codepoint, ImVec2(left - g->X0 * scaleX, top - g->Y0 * scaleY)});
      previousEnd = i += 4;
    }
  }
}

const HeadlessUi::Glyph* HeadlessUi::findText(const std::string& text) const {
  std::string needle;
  for (char c : text)
    if (!std::isspace(static_cast<unsigned char>(c))) needle += c;
  for (const std::vector<Glyph>& glyphs : runs_) {
    std::string run;
    std::vector<const Glyph*> glyphAtByte;
    for (const Glyph& glyph : glyphs) {
      appendUtf8(run, glyph.codepoint);
      glyphAtByte.resize(run.size(), &glyph);
    }
    const size_t at = run.find(needle);
    if (!needle.empty() && at != std::string::npos) return glyphAtByte[at];
  }
  return nullptr;
}

bool HeadlessUi::drewText(const std::string& text) const {
  return findText(text) != nullptr;
}

ImVec2 HeadlessUi::textPosition(const std::string& text) const {
  if (const Glyph* glyph = findText(text)) return glyph->origin;
  ADD_FAILURE() << "the last frame drew no text \"" << text << "\"; it drew: " << drawnText();
  return ImVec2(-1.0f, -1.0f);
}

std::string HeadlessUi::drawnText() const {
  std::string out;
  for (const std::vector<Glyph>& glyphs : runs_) {
    if (!out.empty()) out += " | ";
    for (const Glyph& glyph : glyphs) appendUtf8(out, glyph.codepoint);
  }
  return out;
}

bool HeadlessUi::drewColourIn(ImU32 colour, const ImRect& rect) const {
  const ImDrawData& data = drawData();
  for (int n = 0; n < data.CmdListsCount; ++n)
    for (const ImDrawVert& vertex : data.CmdLists[n]->VtxBuffer)
      if (vertex.col == colour && rect.Contains(vertex.pos)) return true;
  return false;
}
