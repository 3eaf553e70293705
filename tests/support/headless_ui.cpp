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
  // Every glyph of every font, by the texture corner its quad starts at.
  std::unordered_map<uint64_t, std::pair<const ImFont*, const ImFontGlyph*>> byUv;
  for (const ImFont* font : ImGui::GetIO().Fonts->Fonts) {
    for (const ImFontGlyph& glyph : font->Glyphs) {
      if (glyph.Visible) byUv.emplace(uvKey(ImVec2(glyph.U0, glyph.V0)), std::make_pair(font, &glyph));
    }
  }
  for (const ImDrawList* list : listPointers_) {
    const ImVector<ImDrawVert>& v = list->VtxBuffer;
    int previousEnd = -1;
    for (int i = 0; i + 3 < v.Size;) {
      auto found = byUv.find(uvKey(v[i].uv));
      if (found != byUv.end()) {
        const ImFontGlyph& g = *found->second.second;
        // A glyph quad: corners clockwise from the top-left, with the glyph's texture corners.
        if (sameUv(v[i + 1].uv, g.U1, g.V0) && sameUv(v[i + 2].uv, g.U1, g.V1) &&
            sameUv(v[i + 3].uv, g.U0, g.V1)) {
          const float scale = (v[i + 1].pos.x - v[i].pos.x) / (g.X1 - g.X0 != 0.0f ? g.X1 - g.X0 : 1.0f);
          if (i != previousEnd) runStarts_.push_back(glyphs_.size());
          glyphs_.push_back({g.Codepoint, ImVec2(v[i].pos.x - g.X0 * scale, v[i].pos.y - g.Y0 * scale)});
          previousEnd = i + 4;
          i += 4;
          continue;
        }
      }
      ++i;
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
