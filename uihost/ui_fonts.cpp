#include "uihost/ui_fonts.h"

#include <fcntl.h>
#include <fontconfig/fontconfig.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// Dear ImGui bakes with the system's stb_truetype: asking the same library tells beforehand whether
// a face will load, since a face that fails to load stops the whole atlas build.
#include <stb_truetype.h>

#include <algorithm>
#include <bitset>
#include <cstdint>
#include <cstring>

namespace {

// Glyphs baked beyond the base ranges, all sizes together. A screenful of text needs far fewer;
// past this the set starts over from the glyphs drawn since the last build.
constexpr size_t kMaxExtraGlyphs = 4096;
constexpr size_t kMaxFallbackFaces = 16;  // installed fonts merged under the primary one
constexpr size_t kCodepoints = 0x10000;   // this Dear ImGui's characters are 16 bits wide

using Bits = std::bitset<kCodepoints>;

// Em size per unit of the pixel height Dear ImGui bakes at (which spans ascent to descent).
float emPerPixelHeight(const stbtt_fontinfo& info) {
  const float em = stbtt_ScaleForMappingEmToPixels(&info, 1.0f);
  return em > 0.0f ? stbtt_ScaleForPixelHeight(&info, 1.0f) / em : 1.0f;
}

struct Face {
  UiFontFace view;
  std::string key;  // path and face index
  size_t mappedBytes = 0;
  stbtt_fontinfo info{};
};

struct SizeGlyphs {
  Bits known;  // baked, waiting, or in no installed font
  Bits used;   // drawn since the last build
  std::vector<ImWchar> extras;
  std::vector<ImWchar> waiting;
  std::vector<ImWchar> ranges;
};

}  // namespace

struct UiGlyphSet::Impl {
  bool primaryFromFile = false;  // else Dear ImGui's own font: Latin-1
  stbtt_fontinfo primary{};
  float primaryEm = 1.0f;
  std::vector<ImWchar> base;  // every character of the base ranges
  std::vector<SizeGlyphs> sizes;
  std::vector<Face> faces;
  std::vector<UiFontFace> views;
  std::vector<std::string> unreadable;  // faces fontconfig offered that stb_truetype cannot read
  Bits inNoFont;
  FcConfig* config = nullptr;
  bool configTried = false;
  size_t extraCount = 0;

  ~Impl() {
    for (Face& face : faces) munmap(const_cast<unsigned char*>(face.view.data), face.mappedBytes);
    if (config) FcConfigDestroy(config);
  }

  bool has(unsigned int c) const {
    if (primaryFromFile ? stbtt_FindGlyphIndex(&primary, static_cast<int>(c)) != 0 : (c >= 0x20 && c <= 0xFF))
      return true;
    for (const Face& face : faces)
      if (stbtt_FindGlyphIndex(&face.info, static_cast<int>(c)) != 0) return true;
    return false;
  }

  // The installed face fontconfig prefers for c, by file and face index.
  bool askFontconfig(unsigned int c, std::string* path, int* index) {
    if (!configTried) {
      configTried = true;
      config = FcInitLoadConfigAndFonts();
    }
    if (!config) return false;
    FcPattern* pattern = FcPatternCreate();
    FcCharSet* wanted = FcCharSetCreate();
    FcCharSetAddChar(wanted, c);
    FcPatternAddCharSet(pattern, FC_CHARSET, wanted);
    FcCharSetDestroy(wanted);
    FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
    FcPatternAddBool(pattern, FC_COLOR, FcFalse);  // stb_truetype draws outlines only
    FcPatternAddInteger(pattern, FC_WEIGHT, FC_WEIGHT_MEDIUM);
    FcConfigSubstitute(config, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(config, pattern, &result);
    FcPatternDestroy(pattern);
    bool found = false;
    if (match) {
      FcChar8* file = nullptr;
      FcChar8* format = nullptr;
      FcCharSet* charset = nullptr;
      FcBool colour = FcFalse;
      *index = 0;
      FcPatternGetInteger(match, FC_INDEX, 0, index);
      FcPatternGetBool(match, FC_COLOR, 0, &colour);
      found = FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch &&
              FcPatternGetCharSet(match, FC_CHARSET, 0, &charset) == FcResultMatch &&
              FcCharSetHasChar(charset, c) && !colour &&
              FcPatternGetString(match, FC_FONTFORMAT, 0, &format) == FcResultMatch &&
              (std::strcmp(reinterpret_cast<const char*>(format), "TrueType") == 0 ||
               std::strcmp(reinterpret_cast<const char*>(format), "CFF") == 0);
      if (found) *path = reinterpret_cast<const char*>(file);
      FcPatternDestroy(match);
    }
    return found;
  }

  // Adds the installed face that has c; false when there is none (or no room for another).
  bool addFaceFor(unsigned int c) {
    std::string path;
    int index = 0;
    if (faces.size() >= kMaxFallbackFaces || !askFontconfig(c, &path, &index) || index < 0) return false;
    const std::string key = path + "#" + std::to_string(index);
    if (std::find(unreadable.begin(), unreadable.end(), key) != unreadable.end()) return false;
    for (const Face& face : faces)
      if (face.key == key) return false;  // already merged, and stb_truetype does not find c in it

    Face face;
    face.key = key;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    void* mapped = MAP_FAILED;
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
        info.st_size < INT32_MAX)
      mapped = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (fd >= 0) close(fd);
    if (mapped == MAP_FAILED) {
      unreadable.push_back(key);
      return false;
    }
    face.mappedBytes = static_cast<size_t>(info.st_size);
    face.view.data = static_cast<const unsigned char*>(mapped);
    face.view.size = static_cast<int>(info.st_size);
    face.view.index = index;
    const int offset = stbtt_GetFontOffsetForIndex(face.view.data, index);
    if (offset < 0 || !stbtt_InitFont(&face.info, face.view.data, offset) ||
        stbtt_FindGlyphIndex(&face.info, static_cast<int>(c)) == 0) {
      munmap(mapped, face.mappedBytes);
      unreadable.push_back(key);
      return false;
    }
    if (primaryFromFile)
      face.view.sizeScale = std::clamp(primaryEm / emPerPixelHeight(face.info), 0.5f, 2.0f);
    faces.push_back(face);
    views.push_back(face.view);
    return true;
  }

  void makeRanges(SizeGlyphs& size) {
    std::vector<ImWchar> chars = base;
    chars.insert(chars.end(), size.extras.begin(), size.extras.end());
    std::sort(chars.begin(), chars.end());
    chars.erase(std::unique(chars.begin(), chars.end()), chars.end());
    size.ranges.clear();
    for (size_t i = 0; i < chars.size();) {
      size_t j = i;
      while (j + 1 < chars.size() && chars[j + 1] == chars[j] + 1) ++j;
      size.ranges.push_back(chars[i]);
      size.ranges.push_back(chars[j]);
      i = j + 1;
    }
    size.ranges.push_back(0);
  }

  // Forgets the extras not drawn since the last build, so the set fits its budget again.
  void startOver() {
    extraCount = 0;
    for (SizeGlyphs& size : sizes) {
      std::erase_if(size.extras, [&](ImWchar c) { return !size.used[c]; });
      size.known = inNoFont;
      for (ImWchar c : base) size.known[c] = true;
      for (ImWchar c : size.extras) size.known[c] = true;
      for (ImWchar c : size.waiting) size.known[c] = true;
      extraCount += size.extras.size();
    }
  }
};

UiGlyphSet::UiGlyphSet() : impl_(new Impl()) {}
UiGlyphSet::~UiGlyphSet() = default;

void UiGlyphSet::reset(const std::vector<unsigned char>& primary, size_t sizeCount, const ImWchar* base) {
  std::unique_ptr<Impl> fresh(new Impl());
  Impl& impl = *fresh;
  if (!primary.empty()) {
    const int offset = stbtt_GetFontOffsetForIndex(primary.data(), 0);
    impl.primaryFromFile = offset >= 0 && stbtt_InitFont(&impl.primary, primary.data(), offset);
    if (impl.primaryFromFile) impl.primaryEm = emPerPixelHeight(impl.primary);
  }
  for (const ImWchar* range = base; range && range[0] && range[1]; range += 2)
    for (unsigned int c = range[0]; c <= range[1]; ++c) impl.base.push_back(static_cast<ImWchar>(c));
  impl.sizes.resize(sizeCount);
  for (SizeGlyphs& size : impl.sizes) {
    for (ImWchar c : impl.base) size.known[c] = true;
    impl.makeRanges(size);
  }
  // Fonts already found stay useful: keep the fontconfig set loaded.
  std::swap(impl.config, impl_->config);
  std::swap(impl.configTried, impl_->configTried);
  impl_ = std::move(fresh);
}

void UiGlyphSet::noteText(size_t sizeIndex, const char* begin, const char* end) {
  if (sizeIndex >= impl_->sizes.size() || !begin) return;
  SizeGlyphs& size = impl_->sizes[sizeIndex];
  for (const char* s = begin; s < end;) {
    if (static_cast<unsigned char>(*s) < 0x80) {  // ASCII is always baked
      ++s;
      continue;
    }
    unsigned int c = 0;
    s += ImTextCharFromUtf8(&c, s, end);  // as Dear ImGui reads it: beyond 16 bits becomes U+FFFD
    if (c >= kCodepoints) continue;
    if (!size.known[c]) {
      size.known[c] = true;
      size.waiting.push_back(static_cast<ImWchar>(c));
    }
    size.used[c] = true;
  }
}

bool UiGlyphSet::pending() const {
  for (const SizeGlyphs& size : impl_->sizes)
    if (!size.waiting.empty()) return true;
  return false;
}

bool UiGlyphSet::resolve() {
  Impl& impl = *impl_;
  size_t waiting = 0;
  for (const SizeGlyphs& size : impl.sizes) waiting += size.waiting.size();
  if (waiting == 0) return false;
  bool changed = false;
  if (impl.extraCount + waiting > kMaxExtraGlyphs) {
    const size_t before = impl.extraCount;
    impl.startOver();
    changed = impl.extraCount != before;
  }
  for (SizeGlyphs& size : impl.sizes) {
    for (ImWchar c : size.waiting) {
      if (impl.inNoFont[c]) continue;
      if (!impl.has(c) && !impl.addFaceFor(c)) {
        impl.inNoFont[c] = true;
        continue;
      }
      // Over budget even after starting over: drawn with the fallback glyph until the next start.
      if (impl.extraCount >= kMaxExtraGlyphs) continue;
      size.extras.push_back(c);
      ++impl.extraCount;
      changed = true;
    }
    size.waiting.clear();
  }
  for (SizeGlyphs& size : impl.sizes) {
    size.used.reset();
    if (changed) impl.makeRanges(size);
  }
  return changed;
}

const ImWchar* UiGlyphSet::ranges(size_t sizeIndex) const {
  return sizeIndex < impl_->sizes.size() ? impl_->sizes[sizeIndex].ranges.data() : nullptr;
}

const std::vector<UiFontFace>& UiGlyphSet::fallbacks() const {
  return impl_->views;
}

size_t UiGlyphSet::extraGlyphs() const {
  return impl_->extraCount;
}
