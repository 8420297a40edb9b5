// TrueType loading and glyph outlines. Every read is bounds-checked against
// the file: a malformed font fails to load or draws an empty glyph.
#include "TrueTypeBackend.h"

namespace bv::fonts {

namespace {

constexpr uint32_t tag(const char (&name)[5]) {
    return uint32_t(uint8_t(name[0])) << 24 | uint32_t(uint8_t(name[1])) << 16 |
           uint32_t(uint8_t(name[2])) << 8 | uint32_t(uint8_t(name[3]));
}

constexpr int maxCompositeDepth = 11;

// Sequential big-endian reads inside [pos, end); a read past the end clears ok.
struct Cursor {
    const std::vector<uint8_t>& bytes;
    size_t pos;
    size_t end;
    bool ok = true;

    bool take(size_t n) {
        if (!ok || pos > end || n > end - pos) {
            ok = false;
            pos = end;
            return false;
        }
        pos += n;
        return true;
    }
    uint8_t u8() { return take(1) ? bytes[pos - 1] : 0; }
    uint16_t u16() { return take(2) ? uint16_t(bytes[pos - 2] << 8 | bytes[pos - 1]) : 0; }
    int16_t s16() { return int16_t(u16()); }
    uint32_t u32() { return uint32_t(u16()) << 16 | u16(); }
    double f2dot14() { return s16() / 16384.0; }
};

Point midpoint(Point a, Point b) {
    return {(a.x + b.x) / 2, (a.y + b.y) / 2};
}

// One contour of on- and off-curve points; consecutive off-curve points imply
// an on-curve point halfway between them.
void appendContour(const std::vector<Point>& points, const std::vector<uint8_t>& flags, size_t first,
                   size_t last, OutlineBuilder& builder) {
    auto onCurve = [&](size_t i) { return (flags[i] & 1) != 0; };
    size_t count = last - first + 1;
    Point start;
    size_t skip; // points of the contour consumed by the start point
    if (onCurve(first)) {
        start = points[first];
        skip = 1;
    } else if (onCurve(last)) {
        start = points[last];
        skip = 0;
        --count;
    } else {
        start = midpoint(points[first], points[last]);
        skip = 0;
    }
    builder.move_to(start);
    bool haveControl = false;
    Point control;
    for (size_t k = skip; k < count; ++k) {
        size_t i = first + k;
        if (onCurve(i)) {
            if (haveControl)
                builder.quadratic_to(control, points[i]);
            else
                builder.line_to(points[i]);
            haveControl = false;
        } else {
            if (haveControl) builder.quadratic_to(control, midpoint(control, points[i]));
            control = points[i];
            haveControl = true;
        }
    }
    if (haveControl) builder.quadratic_to(control, start);
    builder.close_contour();
}

// Reads one coordinate array: short values (1 byte with a sign flag) or words,
// or the previous value repeated.
void readCoordinates(Cursor& c, const std::vector<uint8_t>& flags, std::vector<int32_t>& values,
                     uint8_t shortBit, uint8_t sameBit) {
    int32_t value = 0;
    for (size_t i = 0; i < flags.size(); ++i) {
        uint8_t f = flags[i];
        if (f & shortBit)
            value += (f & sameBit) ? c.u8() : -int32_t(c.u8());
        else if (!(f & sameBit))
            value += c.s16();
        values[i] = value;
    }
}

} // namespace

bool TrueTypeBackend::load(std::vector<uint8_t> bytes) {
    bytes_ = std::move(bytes);
    return readTableDirectory() && readHeaders() && readGlyphOffsets() && readCharacterMaps();
}

bool TrueTypeBackend::readTableDirectory() {
    Cursor c{bytes_, 0, bytes_.size()};
    uint32_t version = c.u32();
    if (version != 0x00010000 && version != tag("true")) return false;
    uint16_t count = c.u16();
    c.take(6);
    for (uint16_t i = 0; i < count && c.ok; ++i) {
        uint32_t name = c.u32();
        c.u32(); // checksum
        uint32_t offset = c.u32(), length = c.u32();
        if (c.ok) tables_[name] = {offset, length};
    }
    if (!c.ok) return false;
    for (uint32_t required :
         {tag("cmap"), tag("glyf"), tag("loca"), tag("head"), tag("hhea"), tag("hmtx"), tag("maxp")}) {
        auto found = tables_.find(required);
        if (found == tables_.end()) return false;
        const TableRecord& t = found->second;
        if (t.offset > bytes_.size() || t.length > bytes_.size() - t.offset) return false;
    }
    glyf_ = tables_[tag("glyf")];
    hmtx_ = tables_[tag("hmtx")];
    return true;
}

bool TrueTypeBackend::readHeaders() {
    const TableRecord head = tables_[tag("head")], hhea = tables_[tag("hhea")], maxp = tables_[tag("maxp")];
    if (head.length < 54 || hhea.length < 36 || maxp.length < 6) return false;
    Cursor c{bytes_, head.offset + 18, bytes_.size()};
    unitsPerEm_ = c.u16();
    c.pos = head.offset + 50;
    locaFormat_ = c.s16();
    c.pos = hhea.offset + 4;
    ascender_ = c.s16();
    negatedDescender_ = -double(c.s16());
    lineGap_ = c.s16();
    c.pos = hhea.offset + 34;
    horizontalMetrics_ = c.u16();
    c.pos = maxp.offset + 4;
    glyphCount_ = c.u16();
    return c.ok && unitsPerEm_ != 0 && horizontalMetrics_ != 0 && glyphCount_ != 0 &&
           (locaFormat_ == 0 || locaFormat_ == 1) && size_t(horizontalMetrics_) * 4 <= hmtx_.length;
}

bool TrueTypeBackend::readGlyphOffsets() {
    const TableRecord loca = tables_[tag("loca")];
    size_t entrySize = locaFormat_ == 0 ? 2 : 4;
    if ((size_t(glyphCount_) + 1) * entrySize > loca.length) return false;
    Cursor c{bytes_, loca.offset, size_t(loca.offset) + loca.length};
    glyphOffsets_.resize(size_t(glyphCount_) + 1);
    for (uint32_t& offset : glyphOffsets_) offset = locaFormat_ == 0 ? uint32_t(c.u16()) * 2 : c.u32();
    return c.ok;
}

bool TrueTypeBackend::readCharacterMaps() {
    const TableRecord cmap = tables_[tag("cmap")];
    size_t end = size_t(cmap.offset) + cmap.length;
    Cursor c{bytes_, cmap.offset + size_t(2), end};
    uint16_t count = c.u16();
    // The preferred subtable of each format: the first, unless a later one has
    // a full-Unicode (format 12) or Unicode BMP (format 4) encoding.
    size_t chosen12 = 0, chosen4 = 0;
    bool preferred12 = false, preferred4 = false;
    for (uint16_t i = 0; i < count && c.ok; ++i) {
        uint16_t platform = c.u16(), encoding = c.u16();
        uint32_t offset = c.u32();
        if (!c.ok || (platform != 0 && platform != 3) || offset >= cmap.length) continue;
        size_t at = cmap.offset + size_t(offset);
        Cursor format{bytes_, at, end};
        uint16_t kind = format.u16();
        if (!format.ok) continue;
        if (kind == 12 && (!chosen12 || (!preferred12 && (encoding == 10 || encoding == 4)))) {
            chosen12 = at;
            preferred12 = encoding == 10 || encoding == 4;
        } else if (kind == 4 && (!chosen4 || (!preferred4 && (encoding == 1 || encoding == 3)))) {
            chosen4 = at;
            preferred4 = encoding == 1 || encoding == 3;
        }
    }
    if (chosen12) readFormat12(chosen12, end);
    if (chosen4) readFormat4(chosen4, end);
    return !groups_.empty() || !segments_.empty();
}

void TrueTypeBackend::readFormat12(size_t offset, size_t end) {
    Cursor c{bytes_, offset + 12, end};
    uint32_t count = c.u32();
    if (!c.ok) return;
    count = uint32_t(std::min<size_t>(count, (end - c.pos) / 12));
    groups_.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        Group g{c.u32(), c.u32(), c.u32()};
        if (g.startCode <= g.endCode) groups_.push_back(g);
    }
}

void TrueTypeBackend::readFormat4(size_t offset, size_t end) {
    Cursor c{bytes_, offset + 6, end};
    size_t segmentCount = c.u16() / 2;
    size_t ends = offset + 14, starts = ends + 2 * segmentCount + 2;
    size_t deltas = starts + 2 * segmentCount, rangeOffsets = deltas + 2 * segmentCount;
    if (!c.ok || rangeOffsets + 2 * segmentCount > end) return;
    segments_.reserve(segmentCount);
    for (size_t i = 0; i < segmentCount; ++i) {
        auto word = [&](size_t array) {
            Cursor w{bytes_, array + 2 * i, end};
            return w.u16();
        };
        Segment s{word(starts), word(ends), word(deltas), word(rangeOffsets), rangeOffsets + 2 * i};
        if (s.startCode <= s.endCode) segments_.push_back(s);
    }
    cmapEnd_ = end;
}

uint32_t TrueTypeBackend::glyph_for_codepoint(uint32_t codepoint) const {
    uint32_t glyph = 0;
    bool found = false;
    for (const Group& g : groups_) {
        if (codepoint >= g.startCode && codepoint <= g.endCode) {
            glyph = g.startGlyph + (codepoint - g.startCode);
            found = true;
            break;
        }
    }
    for (size_t i = 0; !found && i < segments_.size(); ++i) {
        const Segment& s = segments_[i];
        if (codepoint < s.startCode || codepoint > s.endCode) continue;
        found = true;
        if (s.idRangeOffset == 0) {
            glyph = (codepoint + s.idDelta) & 0xFFFF;
        } else {
            Cursor c{bytes_, s.idRangeOffsetAt + s.idRangeOffset + 2 * size_t(codepoint - s.startCode),
                     cmapEnd_};
            uint16_t mapped = c.pos < cmapEnd_ ? c.u16() : 0;
            glyph = mapped ? (mapped + s.idDelta) & 0xFFFF : 0;
        }
    }
    return std::min(glyph, glyphCount_ - 1);
}

double TrueTypeBackend::advanceWidth(uint32_t glyph) const {
    uint32_t entry = std::min(glyph, horizontalMetrics_ - 1);
    Cursor c{bytes_, hmtx_.offset + size_t(entry) * 4, size_t(hmtx_.offset) + hmtx_.length};
    return c.u16();
}

GlyphBitmap TrueTypeBackend::rasterize(uint32_t codepoint, double scale) {
    uint32_t glyph = glyph_for_codepoint(codepoint);
    double advance = advanceWidth(glyph) * scale;
    OutlineBuilder builder;
    OutlineBudget budget;
    AffineTransform toPixels{scale, 0, 0, scale, 0, 0};
    if (!append_glyph_outline(glyph, toPixels, builder, 0, budget)) {
        GlyphBitmap empty;
        empty.advance = advance;
        return empty;
    }
    return rasterize_glyph(builder, advance, scale * unitsPerEm_);
}

bool TrueTypeBackend::append_glyph_outline(uint32_t glyph, const AffineTransform& transform,
                                           OutlineBuilder& builder, int depth, OutlineBudget& budget) const {
    if (depth > maxCompositeDepth || --budget.glyphsLeft < 0 || glyph >= glyphCount_ || builder.overflowed())
        return false;
    uint32_t start = glyphOffsets_[glyph], stop = glyphOffsets_[glyph + 1];
    if (stop < start || stop > glyf_.length) return false;
    if (stop == start) return true; // no outline, as for a space
    size_t at = glyf_.offset + size_t(start), end = glyf_.offset + size_t(stop);
    Cursor header{bytes_, at, end};
    int16_t contours = header.s16();
    header.take(8); // bounding box: the rasteriser measures the outline itself
    if (!header.ok) return false;
    if (contours >= 0) return appendSimpleGlyph(header.pos, end, contours, transform, builder, budget);
    return appendCompositeGlyph(header.pos, end, transform, builder, depth, budget);
}

bool TrueTypeBackend::appendSimpleGlyph(size_t at, size_t end, int contours, const AffineTransform& transform,
                                        OutlineBuilder& builder, OutlineBudget& budget) const {
    if (contours == 0) return true;
    if (size_t(contours) > budget.pointsLeft) return false;
    budget.pointsLeft -= contours;
    Cursor c{bytes_, at, end};
    std::vector<uint16_t> contourEnds(contours);
    for (int i = 0; i < contours; ++i) {
        contourEnds[i] = c.u16();
        if (i > 0 && contourEnds[i] <= contourEnds[i - 1]) return false;
    }
    c.take(c.u16()); // instructions: no hinting
    if (!c.ok) return false;
    size_t pointCount = size_t(contourEnds.back()) + 1;
    if (pointCount > budget.pointsLeft) return false;
    budget.pointsLeft -= pointCount;
    std::vector<uint8_t> flags(pointCount);
    for (size_t i = 0; i < pointCount && c.ok;) {
        uint8_t f = c.u8();
        flags[i++] = f;
        if (f & 8)
            for (uint8_t repeat = c.u8(); repeat > 0 && i < pointCount; --repeat) flags[i++] = f;
    }
    std::vector<int32_t> xs(pointCount), ys(pointCount);
    readCoordinates(c, flags, xs, 2, 16);
    readCoordinates(c, flags, ys, 4, 32);
    if (!c.ok) return false;
    std::vector<Point> points(pointCount);
    for (size_t i = 0; i < pointCount; ++i) points[i] = transform.apply({double(xs[i]), double(ys[i])});
    size_t first = 0;
    for (uint16_t last : contourEnds) {
        appendContour(points, flags, first, last, builder);
        first = size_t(last) + 1;
    }
    return !builder.overflowed();
}

bool TrueTypeBackend::appendCompositeGlyph(size_t at, size_t end, const AffineTransform& transform,
                                           OutlineBuilder& builder, int depth, OutlineBudget& budget) const {
    constexpr uint16_t argsAreWords = 1, argsAreOffsets = 2, singleScale = 8, moreComponents = 0x20,
                       separateScales = 0x40, twoByTwo = 0x80;
    Cursor c{bytes_, at, end};
    uint16_t flags;
    do {
        flags = c.u16();
        uint16_t component = c.u16();
        double first, second;
        if (flags & argsAreWords) {
            first = c.s16();
            second = c.s16();
        } else if (flags & argsAreOffsets) {
            first = int8_t(c.u8());
            second = int8_t(c.u8());
        } else {
            first = c.u8();
            second = c.u8();
        }
        AffineTransform placement;
        if (flags & argsAreOffsets) { // else point numbers to match: placed without offset
            placement.dx = first;
            placement.dy = second;
        }
        if (flags & singleScale) {
            placement.xx = placement.yy = c.f2dot14();
        } else if (flags & separateScales) {
            placement.xx = c.f2dot14();
            placement.yy = c.f2dot14();
        } else if (flags & twoByTwo) {
            placement.xx = c.f2dot14();
            placement.yx = c.f2dot14();
            placement.xy = c.f2dot14();
            placement.yy = c.f2dot14();
        }
        if (!c.ok || !append_glyph_outline(component, placement.then(transform), builder, depth + 1, budget))
            return false;
    } while (flags & moreComponents);
    return true;
}

} // namespace bv::fonts
