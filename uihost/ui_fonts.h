// The characters each baked font size carries, and the installed fonts that draw the ones the
// launcher's own font lacks. Dear ImGui 1.86 draws only glyphs baked ahead of time, so every text
// drawn reports its characters here (see imgui_compat.cpp), and the theme rebuilds the atlas with
// the new ones before the next frame.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "uihost/imgui_compat.h"

// A face the atlas reads in place; its bytes live as long as the glyph set.
struct UiFontFace {
  const unsigned char* data = nullptr;  // the whole font file
  int size = 0;                         // bytes
  int index = 0;                        // face within a collection
  float sizeScale = 1.0f;               // times the primary font's pixel size, so both have the same em size
};

class UiGlyphSet {
 public:
  UiGlyphSet();
  ~UiGlyphSet();
  UiGlyphSet(const UiGlyphSet&) = delete;
  UiGlyphSet& operator=(const UiGlyphSet&) = delete;

  // Starts over for sizeCount sizes of the primary font (empty bytes: Dear ImGui's own font);
  // every size carries base, a zero-terminated Dear ImGui range list.
  void reset(const std::vector<unsigned char>& primary, size_t sizeCount, const ImWchar* base);
  // Notes the characters of a text drawn in a size; the ones not yet baked wait for resolve().
  void noteText(size_t sizeIndex, const char* begin, const char* end);
  bool pending() const;
  // Finds installed fonts for the waiting characters and adds each to its size's ranges, within
  // the glyph budget; true when the ranges changed (the atlas must be built again).
  bool resolve();

  const ImWchar* ranges(size_t sizeIndex) const;  // for ImFontConfig::GlyphRanges
  const std::vector<UiFontFace>& fallbacks() const;
  size_t extraGlyphs() const;  // glyphs baked beyond the base ranges, all sizes together

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
