// TrueType outlines: the sfnt tables a renderer without hinting needs.
#pragma once

#include "ttf.h"

#include <algorithm>

namespace bv::fonts {

class TrueTypeBackend : public FontBackend {
  public:
    bool load(std::vector<uint8_t> bytes) override;
    GlyphBitmap rasterize(uint32_t codepoint, double scale) override;
    double units_per_em() const override { return unitsPerEm_; }
    double ascent() const override { return ascender_; }
    double descent() const override { return std::max(0.0, negatedDescender_); }
    double line_gap() const override { return std::max(0.0, lineGap_); }
    bool metric_rounding() const override { return false; }

    uint32_t glyph_for_codepoint(uint32_t codepoint) const;

  private:
    struct TableRecord {
        uint32_t offset = 0;
        uint32_t length = 0;
    };
    struct Group { // cmap format 12
        uint32_t startCode, endCode, startGlyph;
    };
    struct Segment { // cmap format 4
        uint16_t startCode, endCode;
        uint16_t idDelta, idRangeOffset;
        size_t idRangeOffsetAt; // file offset of the segment's idRangeOffset word
    };
    // Against composites that multiply their components: the glyphs visited
    // and the points read for one outline.
    struct OutlineBudget {
        int glyphsLeft = 4096;
        size_t pointsLeft = 1 << 20;
    };

    bool readTableDirectory();
    bool readHeaders();
    bool readGlyphOffsets();
    bool readCharacterMaps();
    void readFormat12(size_t offset, size_t end);
    void readFormat4(size_t offset, size_t end);
    double advanceWidth(uint32_t glyph) const;
    bool append_glyph_outline(uint32_t glyph, const AffineTransform& transform, OutlineBuilder& builder,
                              int depth, OutlineBudget& budget) const;
    bool appendSimpleGlyph(size_t at, size_t end, int contours, const AffineTransform& transform,
                           OutlineBuilder& builder, OutlineBudget& budget) const;
    bool appendCompositeGlyph(size_t at, size_t end, const AffineTransform& transform,
                              OutlineBuilder& builder, int depth, OutlineBudget& budget) const;

    std::vector<uint8_t> bytes_;
    std::unordered_map<uint32_t, TableRecord> tables_;
    TableRecord glyf_, hmtx_;
    double unitsPerEm_ = 0;
    int locaFormat_ = 0;
    double ascender_ = 0, negatedDescender_ = 0, lineGap_ = 0;
    uint32_t horizontalMetrics_ = 0;
    uint32_t glyphCount_ = 0;
    std::vector<uint32_t> glyphOffsets_; // glyphCount_ + 1 offsets into glyf
    std::vector<Group> groups_;
    std::vector<Segment> segments_;
    size_t cmapEnd_ = 0;
};

} // namespace bv::fonts
