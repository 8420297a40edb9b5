// TrueType loading on a font built here: composites nested to the limit and
// the damaged files a hostile font could be.
#include "TrueTypeBackend.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

using namespace bv::fonts;

namespace {

using Bytes = std::vector<uint8_t>;

// Big-endian words, as every table stores them; negative values wrap.
void put16(Bytes& b, std::initializer_list<int> words) {
    for (int v : words) b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)});
}
void put32(Bytes& b, uint32_t v) {
    put16(b, {int(v >> 16), int(v & 0xFFFF)});
}

// Glyph 0 and 1 are squares of 500 units; glyph 1 + d is a composite nesting
// glyph 1 d levels deep; 'A' + d maps to glyph 1 + d.
constexpr int chainLength = 14;

Bytes squareGlyph(int side = 500) {
    Bytes g;
    put16(g, {1, 0, 0, 0, 0, 3, 0}); // one contour, no bounds, last point 3, no instructions
    g.insert(g.end(), 4, 1);         // on curve, word coordinates
    put16(g, {0, side, 0, -side});
    put16(g, {0, 0, side, 0});
    return g;
}

// `count` copies of one component at offset 0.
Bytes compositeGlyph(uint16_t component, int count = 1) {
    Bytes g;
    put16(g, {0xFFFF, 0, 0, 0, 0}); // -1 contours
    // Word offsets, and whether more components follow.
    for (int i = 0; i < count; ++i) put16(g, {i + 1 < count ? 0x0023 : 0x0003, component, 0, 0});
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
        put16(maxp, {0, 0x5000, int(glyphs.size())});
        Bytes cmap;
        put16(cmap, {0, 1, 3, 1, 0, 12});
        put16(cmap, {4, 32, 0, 4, 4, 1, 0});
        put16(cmap, {'A' + chainLength - 1, 0xFFFF, 0}); // ends, pad
        put16(cmap, {'A', 0xFFFF});                      // starts
        put16(cmap, {1 - 'A', 1});                       // deltas
        put16(cmap, {0, 0});                             // range offsets
        const std::map<std::string, Bytes> tables = {{"glyf", glyf}, {"loca", loca}, {"head", head},
                                                     {"hhea", hhea}, {"hmtx", hmtx}, {"maxp", maxp},
                                                     {"cmap", cmap}};
        Bytes file;
        put16(file, {1, 0, int(tables.size()), 0, 0, 0});
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

// Glyphs a hostile font could hold render empty; the rest of the font still draws.
TEST(TrueType, RecursiveOrMultiplyingCompositesAndDamagedGlyphsRenderEmpty) {
    Font recursive, damaged;
    recursive.glyphs[2] = compositeGlyph(2); // itself
    recursive.glyphs[3] = compositeGlyph(1);
    // A thousand components of the glyph before, at every further level.
    for (int d = 4; d < chainLength; ++d) recursive.glyphs[d] = compositeGlyph(uint16_t(d - 1), 1000);
    damaged.glyphs[1].resize(damaged.glyphs[1].size() - 6); // coordinates cut short
    damaged.glyphs[3] = squareGlyph(20000);                 // twenty ems wide
    // Glyph 1 ends where glyph 0 starts.
    Bytes swapped = Font().build();
    for (int k = 0; k < 4; ++k) swapped[tableOffset(swapped, "loca") + 8 + k] = 0;
    const std::pair<Bytes, std::vector<std::pair<uint32_t, bool>>> cases[] = {
        // 'D' is a thousand squares on each other.
        {recursive.build(),
         {{'B', false}, {'C', true}, {'D', true}, {'E', false}, {'A' + chainLength - 1, false}}},
        {damaged.build(), {{'A', false}, {'C', false}, {'Z' + 1, true}}}, // 'Z' + 1 is glyph 0
        {swapped, {{'A', false}}}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        auto font = load(cases[i].first);
        ASSERT_TRUE(font) << i;
        for (auto [c, drawn] : cases[i].second)
            EXPECT_EQ(draws(*font, c), drawn) << "font " << i << ", " << char(c);
    }
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
