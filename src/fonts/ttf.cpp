// Font handles: choosing the backend, the glyph cache, UTF-8 decoding and
// the layout of text lines into one coverage image.
#include "ttf.h"

#include "TesselImage.h"
#include "TrueTypeBackend.h"
#include "Type1Backend.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <unordered_set>

using namespace bv::fonts;

namespace {

// Text images beyond this many pixels are refused rather than allocated.
constexpr double maxImagePixels = double(1 << 24);
constexpr uint32_t replacementCharacter = 0xFFFD;

struct GlyphPlacement {
    const GlyphBitmap* glyph;
    int penX;  // whole pixels from the line's left edge
    int lineY; // the line's top row
};

struct LineLayout {
    double width = 0; // the widest line's pen travel, pixels
    int lineCount = 1;
};

std::unordered_set<const FontHandle*> liveFonts;

bool isLiveFont(const FontHandle* handle) {
    return handle && liveFonts.count(handle) != 0;
}

float pixelSize(double size) {
    return size >= 1 ? float(std::min(size, 1e9)) : 1.0f;
}

} // namespace

struct FontHandle {
    std::unique_ptr<FontBackend> backend;
    float size = 1;
    std::unordered_map<uint32_t, GlyphBitmap> cache;
    std::vector<GlyphPlacement> placements; // working memory of the last render

    FontHandle() { cache.max_load_factor(1.0f); }

    const GlyphBitmap& glyph(uint32_t codepoint, double scale) {
        auto found = cache.find(codepoint);
        if (found != cache.end()) return found->second;
        return cache.emplace(codepoint, backend->rasterize(codepoint, scale)).first->second;
    }
};

namespace {
// At exit, the fonts scripts never killed are freed with the set, so that a
// leak checker reports only handles that really went astray.
struct LiveFontsTeardown {
    ~LiveFontsTeardown() {
        for (const FontHandle* handle : liveFonts) delete handle;
        liveFonts.clear();
    }
} liveFontsTeardown;
} // namespace

namespace bv::fonts {

std::unique_ptr<FontBackend> loadFontBackend(std::vector<uint8_t> bytes) {
    std::unique_ptr<FontBackend> backend;
    bool trueType =
        bytes.size() >= 4 && ((bytes[0] == 0 && bytes[1] == 1 && bytes[2] == 0 && bytes[3] == 0) ||
                              std::equal(bytes.begin(), bytes.begin() + 4, "true"));
    if (trueType)
        backend = std::make_unique<TrueTypeBackend>();
    else if (!bytes.empty() && (bytes[0] == 0x80 || bytes[0] == '%'))
        backend = std::make_unique<Type1Backend>();
    if (!backend || !backend->load(std::move(bytes))) return nullptr;
    return backend;
}

uint32_t decodeUtf8(std::string_view text, size_t& pos) {
    uint8_t lead = uint8_t(text[pos++]);
    if (lead < 0x80) return lead;
    int continuation;
    uint32_t codepoint, smallest;
    if (lead >= 0xC2 && lead <= 0xDF) {
        continuation = 1, codepoint = lead & 0x1F, smallest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        continuation = 2, codepoint = lead & 0x0F, smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        continuation = 3, codepoint = lead & 0x07, smallest = 0x10000;
    } else {
        return replacementCharacter;
    }
    for (int i = 0; i < continuation; ++i) {
        if (pos >= text.size() || (uint8_t(text[pos]) & 0xC0) != 0x80) return replacementCharacter;
        codepoint = codepoint << 6 | (uint8_t(text[pos++]) & 0x3F);
    }
    bool surrogate = codepoint >= 0xD800 && codepoint <= 0xDFFF;
    return codepoint < smallest || codepoint > 0x10FFFF || surrogate ? replacementCharacter : codepoint;
}

} // namespace bv::fonts

namespace {

double roundOrCeil(double value, bool rounding) {
    return rounding ? std::round(value) : std::ceil(value);
}

// Fetches every glyph and places it; returns the text's extent.
LineLayout layoutText(FontHandle& font, std::string_view text, double scale, int lineHeight) {
    LineLayout layout;
    font.placements.clear();
    double pen = 0;
    for (size_t pos = 0; pos < text.size();) {
        uint32_t codepoint = decodeUtf8(text, pos);
        if (codepoint == '\n') {
            layout.width = std::max(layout.width, pen);
            pen = 0;
            ++layout.lineCount;
            continue;
        }
        const GlyphBitmap& glyph = font.glyph(codepoint, scale);
        double penX = std::clamp(std::floor(pen + 0.5), -1e9, 1e9);
        font.placements.push_back(
            {&glyph, int(penX), int(std::min(1e9, double(layout.lineCount - 1) * lineHeight))});
        pen += glyph.advance;
    }
    layout.width = std::max(layout.width, pen);
    return layout;
}

// Overlapping glyphs combine as c = c (255 - g) / 255 + g.
void drawGlyph(uint8_t* pixels, int width, int height, const GlyphPlacement& at, int baseline) {
    const GlyphBitmap& g = *at.glyph;
    int64_t x0 = int64_t(at.penX) + g.left, y0 = int64_t(at.lineY) + baseline - g.top;
    for (int row = 0; row < g.height; ++row) {
        int64_t y = y0 + row;
        if (y < 0 || y >= height) continue;
        int64_t from = std::max<int64_t>(0, -x0), to = std::min<int64_t>(g.width, width - x0);
        if (from >= to) continue;
        const uint8_t* source = &g.coverage[size_t(row) * g.width];
        uint8_t* target = pixels + (size_t(y) * width + size_t(x0 + from)) * 4 + 3;
        for (int64_t col = from; col < to; ++col, target += 4) {
            unsigned c = *target, v = source[col];
            *target = uint8_t(c * (255 - v) / 255 + v);
        }
    }
}

} // namespace

FontHandle* bv_ttf_font_open(std::vector<uint8_t> bytes, double size) {
    auto backend = loadFontBackend(std::move(bytes));
    if (!backend) return nullptr;
    auto* handle = new FontHandle;
    handle->backend = std::move(backend);
    handle->size = pixelSize(size);
    liveFonts.insert(handle);
    return handle;
}

FontHandle* bv_ttf_font_load(const char* path, double size) {
    // Only regular files: a folder or a device is no font and may never end.
    std::error_code error;
    if (!path || !std::filesystem::is_regular_file(path, error)) return nullptr;
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return nullptr;
    std::vector<uint8_t> bytes;
    uint8_t chunk[1 << 16];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
        bytes.insert(bytes.end(), chunk, chunk + got);
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    return failed ? nullptr : bv_ttf_font_open(std::move(bytes), size);
}

void bv_ttf_font_resize(FontHandle* handle, double size) {
    if (!isLiveFont(handle) || !handle->backend) return;
    handle->size = pixelSize(size);
    if (!handle->cache.empty()) handle->cache.clear();
}

TesselImage* bv_ttf_font_render(FontHandle* handle, const char* text, int red, int green, int blue,
                                double alpha) {
    if (!isLiveFont(handle) || !handle->backend || !text) return nullptr;
    const FontBackend& backend = *handle->backend;
    double scale = handle->size / backend.units_per_em();
    bool rounding = backend.metric_rounding();
    double baseline = std::max(1.0, roundOrCeil(backend.ascent() * scale, rounding));
    double lineHeight = std::max(
        1.0, roundOrCeil(scale * (backend.ascent() + backend.descent() + backend.line_gap()), rounding));
    if (!(lineHeight < maxImagePixels) || !(baseline < maxImagePixels)) return nullptr;

    LineLayout layout = layoutText(*handle, text, scale, int(lineHeight));
    double width = std::max(1.0, std::ceil(layout.width));
    double height = double(layout.lineCount) * lineHeight;
    if (!(width * height <= maxImagePixels)) return nullptr;

    auto image = std::make_unique<TesselImage>();
    image->width = int32_t(width);
    image->height = int32_t(height);
    size_t pixelCount = size_t(image->width) * image->height;
    image->pixels = std::make_unique<uint8_t[]>(pixelCount * 4);
    uint8_t* pixels = image->pixels.get();
    // The coverage plane is the alpha channel until the colour goes on.
    for (const GlyphPlacement& placement : handle->placements)
        drawGlyph(pixels, image->width, image->height, placement, int(baseline));
    uint8_t r = uint8_t(std::clamp(red, 0, 255)), g = uint8_t(std::clamp(green, 0, 255)),
            b = uint8_t(std::clamp(blue, 0, 255));
    double rounded = std::round(alpha);
    unsigned a = rounded >= 255 ? 255 : rounded > 0 ? unsigned(rounded) : 0;
    for (size_t i = 0; i < pixelCount; ++i, pixels += 4) {
        unsigned coverage = pixels[3];
        pixels[0] = r;
        pixels[1] = g;
        pixels[2] = b;
        pixels[3] = uint8_t(coverage * a / 255);
    }
    return image.release();
}

void bv_ttf_font_free(FontHandle* handle) {
    if (!isLiveFont(handle)) return;
    liveFonts.erase(handle);
    delete handle;
}
