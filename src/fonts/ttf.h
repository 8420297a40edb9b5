// Text rendering: the backend interface every font format implements, the
// outline builder and rasteriser they share, and the font handles that lay
// out UTF-8 text into images.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

struct TesselImage;

namespace bv::fonts {

// One rasterised glyph; coverage rows run top first, 0..255.
struct GlyphBitmap {
    int left = 0; // pixels right of the pen
    int top = 0;  // pixels above the baseline
    int width = 0;
    int height = 0;
    double advance = 0; // pixels
    std::vector<uint8_t> coverage;
};

struct Point {
    double x = 0;
    double y = 0;
};

struct LineSegment {
    double x0, y0, x1, y1;
};

// x' = xx x + xy y + dx, y' = yx x + yy y + dy.
struct AffineTransform {
    double xx = 1, xy = 0, yx = 0, yy = 1, dx = 0, dy = 0;

    Point apply(Point p) const { return {xx * p.x + xy * p.y + dx, yx * p.x + yy * p.y + dy}; }
    // The transform that applies this one first, then `outer`.
    AffineTransform then(const AffineTransform& outer) const;
};

// Collects closed contours as line segments, in pixels with y pointing up.
class OutlineBuilder {
  public:
    // More segments than any real glyph needs: a hostile outline stops here.
    static constexpr size_t maxSegments = 1 << 16;

    void move_to(Point p);
    void line_to(Point p);
    void quadratic_to(Point control, Point end); // flattened into lines
    void close_contour();

    bool contour_open() const { return open_; }
    Point current() const { return current_; }
    const std::vector<LineSegment>& segments() const { return segments_; }
    bool has_bounds() const { return hasBounds_; }
    bool overflowed() const { return overflowed_; }
    double min_x() const { return minX_; }
    double max_x() const { return maxX_; }
    double min_y() const { return minY_; }
    double max_y() const { return maxY_; }

  private:
    void addSegment(Point from, Point to);
    void widen(Point p);

    std::vector<LineSegment> segments_;
    Point start_, current_;
    bool open_ = false;
    double minX_ = 0, maxX_ = 0, minY_ = 0, maxY_ = 0;
    bool hasBounds_ = false;
    bool overflowed_ = false;
};

void flatten_quadratic_recursive(OutlineBuilder& builder, Point p0, Point p1, Point p2, int depth);

// 4 x 4 supersampled coverage under the non-zero winding rule. An empty,
// overflowed or oversized outline gives an empty bitmap with the advance only.
GlyphBitmap rasterize_outline(const OutlineBuilder& builder, double advance);
// The same for a font's glyph: an outline reaching further than a few ems
// from its origin is malformed and renders empty, so that a small hostile
// font cannot make every cached glyph huge.
GlyphBitmap rasterize_glyph(const OutlineBuilder& builder, double advance, double emPixels);

class FontBackend {
  public:
    virtual ~FontBackend() = default;
    virtual bool load(std::vector<uint8_t> bytes) = 0;
    virtual GlyphBitmap rasterize(uint32_t codepoint, double scale) = 0;
    virtual double units_per_em() const = 0;
    virtual double ascent() const = 0;
    virtual double descent() const = 0;
    virtual double line_gap() const = 0;
    // True: the layout rounds metrics half away from zero; false: it takes the ceiling.
    virtual bool metric_rounding() const = 0;
};

// The backend the file's first bytes call for, loaded; null when none takes it.
std::unique_ptr<FontBackend> loadFontBackend(std::vector<uint8_t> bytes);

// The code point starting at `pos`, which moves past it; an invalid or
// truncated sequence gives U+FFFD.
uint32_t decodeUtf8(std::string_view text, size_t& pos);

} // namespace bv::fonts

// A loaded font as scripts hold it: the backend, the pixel size and the glyphs
// drawn at that size.
struct FontHandle;

FontHandle* bv_ttf_font_load(const char* path, double size);
// The same from bytes already in memory (tests, fuzzing).
FontHandle* bv_ttf_font_open(std::vector<uint8_t> bytes, double size);
void bv_ttf_font_resize(FontHandle* handle, double size);
// A new image (not registered as live), or null for a dead handle or an
// image too large to make.
TesselImage* bv_ttf_font_render(FontHandle* handle, const char* text, int red, int green, int blue,
                                double alpha);
void bv_ttf_font_free(FontHandle* handle);
