// TrueType loading on a font built here: composites nested to the limit and
// the damaged files a hostile font could be.
#include "TrueTypeBackend.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>

using namespace bv::fonts;

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, uint32_t v) {
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}
void put32(Bytes& b, uint32_t v) {
    put16(b, v >> 16);
    put16(b, v & 0xFFFF);
}

// Glyph 0 and 1 are squares of 500 units; glyph 1 + d is a composite nesting
// glyph 1 d levels deep; 'A' + d maps to glyph 1 + d.
constexpr int chainLength = 14;

Bytes squareGlyph(int side = 500) {
    Bytes g;
    put16(g, 1); // one contour
    for (int i = 0; i < 4; ++i) put16(g, 0);
    put16(g, 3);                                // last point
    put16(g, 0);                                // no instructions
    for (int i = 0; i < 4; ++i) g.push_back(1); // on curve, word coordinates
    for (int x : {0, side, 0, -side}) put16(g, uint16_t(int16_t(x)));
    for (int y : {0, 0, side, 0}) put16(g, uint16_t(int16_t(y)));
    return g;
}

// `count` copies of one component at offset 0.
Bytes compositeGlyph(uint16_t component, int count = 1) {
    Bytes g;
    put16(g, 0xFFFF); // -1 contours
    for (int i = 0; i < 4; ++i) put16(g, 0);
    for (int i = 0; i < count; ++i) {
        put16(g, i + 1 < count ? 0x0023 : 0x0003); // word offsets, more to come
        put16(g, component);
        put16(g, 0);
        put16(g, 0);
    }
    return g;
}

struct Font {
    std::vector<Bytes> glyphs;

    Font() {
        glyphs.push_back(squareGlyph());
        glyphs.push_back(squareGlyph());
        for (int d = 1; d < chainLength; ++d) glyphs.push_back(compositeGlyph(uint16_t(d)));
    }

    Bytes build() const {
        Bytes glyf, loca;
        for (const Bytes& g : glyphs) {
            put32(loca, uint32_t(glyf.size()));
            glyf.insert(glyf.end(), g.begin(), g.end());
        }
        put32(loca, uint32_t(glyf.size()));
        Bytes head(54, 0);
        head[18] = 1000 >> 8, head[19] = 1000 & 0xFF, head[51] = 1; // long offsets
        Bytes hhea(36, 0);
        hhea[4] = 800 >> 8, hhea[5] = 800 & 0xFF;
        hhea[6] = 0xFF, hhea[7] = 0x38; // -200
        hhea[35] = uint8_t(glyphs.size());
        Bytes hmtx;
        for (size_t i = 0; i < glyphs.size(); ++i) put32(hmtx, 600u << 16);
        Bytes maxp;
        put32(maxp, 0x00005000);
        put16(maxp, uint16_t(glyphs.size()));
        Bytes cmap;
        put16(cmap, 0), put16(cmap, 1), put16(cmap, 3), put16(cmap, 1), put32(cmap, 12);
        put16(cmap, 4), put16(cmap, 32), put16(cmap, 0), put16(cmap, 4), put16(cmap, 4), put16(cmap, 1),
            put16(cmap, 0);
        put16(cmap, 'A' + chainLength - 1), put16(cmap, 0xFFFF), put16(cmap, 0); // ends, pad
        put16(cmap, 'A'), put16(cmap, 0xFFFF);                                   // starts
        put16(cmap, uint16_t(1 - 'A')), put16(cmap, 1);                          // deltas
        put16(cmap, 0), put16(cmap, 0);                                          // range offsets
        const std::map<std::string, Bytes> tables = {{"glyf", glyf}, {"loca", loca}, {"head", head},
                                                     {"hhea", hhea}, {"hmtx", hmtx}, {"maxp", maxp},
                                                     {"cmap", cmap}};
        Bytes file;
        put32(file, 0x00010000);
        put16(file, uint16_t(tables.size()));
        put16(file, 0), put16(file, 0), put16(file, 0);
        uint32_t offset = uint32_t(12 + 16 * tables.size());
        for (const auto& [name, data] : tables) {
            file.insert(file.end(), name.begin(), name.end());
            put32(file, 0);
            put32(file, offset);
            put32(file, uint32_t(data.size()));
            offset += uint32_t(data.size());
        }
        for (const auto& entry : tables) file.insert(file.end(), entry.second.begin(), entry.second.end());
        return file;
    }
};

// Where the table directory's entry for `name` starts, and where the table does.
size_t tableEntry(const Bytes& file, const std::string& name) {
    size_t i = 12;
    while (i + 16 <= file.size() && std::string(file.begin() + long(i), file.begin() + long(i) + 4) != name)
        i += 16;
    return i;
}
size_t tableOffset(const Bytes& file, const std::string& name) {
    const size_t i = tableEntry(file, name) + 8;
    return size_t(file[i]) << 24 | file[i + 1] << 16 | file[i + 2] << 8 | file[i + 3];
}

std::unique_ptr<TrueTypeBackend> load(const Bytes& file) {
    auto font = std::make_unique<TrueTypeBackend>();
    if (!font->load(file)) return nullptr;
    return font;
}

bool draws(TrueTypeBackend& font, uint32_t codepoint) {
    return !font.rasterize(codepoint, 0.024).coverage.empty();
}

TEST(TrueType, CompositesRenderUpToElevenLevelsDeep) {
    auto font = load(Font().build());
    ASSERT_TRUE(font);
    EXPECT_EQ(std::tuple(font->units_per_em(), font->ascent(), font->descent()),
              std::tuple(1000.0, 800.0, 200.0));
    GlyphBitmap plain = font->rasterize('A', 0.024);
    EXPECT_EQ(plain.width, 14); // 12 px square and its border
    EXPECT_DOUBLE_EQ(plain.advance, 14.4);
    EXPECT_EQ(font->rasterize('A' + 11, 0.024).coverage, plain.coverage);
    GlyphBitmap tooDeep = font->rasterize('A' + 12, 0.024);
    EXPECT_TRUE(tooDeep.coverage.empty());
    EXPECT_DOUBLE_EQ(tooDeep.advance, 14.4);
    EXPECT_EQ(font->glyph_for_codepoint('Z' + 100), 0u); // unmapped
}

TEST(TrueType, CompositesThatRecurseOrMultiplyRenderEmpty) {
    Font f;
    f.glyphs[2] = compositeGlyph(2); // itself
    f.glyphs[3] = compositeGlyph(1);
    // A thousand components of the glyph before, at every further level.
    for (int d = 4; d < chainLength; ++d) f.glyphs[d] = compositeGlyph(uint16_t(d - 1), 1000);
    auto font = load(f.build());
    ASSERT_TRUE(font);
    EXPECT_FALSE(draws(*font, 'B'));
    EXPECT_TRUE(draws(*font, 'C'));
    EXPECT_TRUE(draws(*font, 'D')); // a thousand squares on each other
    EXPECT_FALSE(draws(*font, 'E'));
    EXPECT_FALSE(draws(*font, 'A' + chainLength - 1));
}

TEST(TrueType, DamagedGlyphDataAndLocaOutOfOrderRenderEmpty) {
    Font f;
    f.glyphs[1].resize(f.glyphs[1].size() - 6); // coordinates cut short
    f.glyphs[3] = squareGlyph(20000);           // twenty ems wide
    auto font = load(f.build());
    ASSERT_TRUE(font);
    EXPECT_FALSE(draws(*font, 'A'));
    EXPECT_FALSE(draws(*font, 'C'));
    EXPECT_TRUE(draws(*font, 'Z' + 1)); // glyph 0

    // Glyph 1 ends where glyph 0 starts.
    Bytes file = Font().build();
    size_t loca = tableOffset(file, "loca");
    for (int k = 0; k < 4; ++k) file[loca + 8 + k] = 0;
    auto swapped = load(file);
    ASSERT_TRUE(swapped);
    EXPECT_FALSE(draws(*swapped, 'A'));
}

TEST(TrueType, TruncatedOrIncompleteFilesDoNotLoad) {
    Bytes file = Font().build();
    for (size_t size : {size_t(0), size_t(4), size_t(12), size_t(100), file.size() / 2, file.size() - 1})
        EXPECT_FALSE(load(Bytes(file.begin(), file.begin() + size))) << size;
    Bytes noMap = file, zeroEm = file, pastTheEnd = file;
    noMap[tableEntry(file, "cmap")] = 'x';
    zeroEm[tableOffset(file, "head") + 18] = zeroEm[tableOffset(file, "head") + 19] = 0;
    pastTheEnd[tableEntry(file, "head") + 8] = 0x7F; // the table's offset
    EXPECT_FALSE(load(noMap));
    EXPECT_FALSE(load(zeroEm));
    EXPECT_FALSE(load(pastTheEnd));
}

} // namespace
