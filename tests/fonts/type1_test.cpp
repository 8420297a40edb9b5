// Type 1: the published encryption, a small font written here to exercise
// the charstring subset, and a packaged font in its PFB and PFA forms.
#include "Type1Backend.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <tuple>

using namespace bv::fonts;

namespace {

using Bytes = std::vector<uint8_t>;

// The encryption side of the published algorithm, written out independently.
Bytes encrypt(const Bytes& plain, uint16_t key) {
    Bytes out;
    uint16_t r = key;
    for (uint8_t p : plain) {
        uint8_t c = uint8_t(p ^ (r >> 8));
        r = uint16_t((c + r) * 52845u + 22719u);
        out.push_back(c);
    }
    return out;
}

Bytes readFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Charstring numbers: small ones in one byte, up to 1131 in two.
void number(Bytes& code, int v) {
    if (v >= -107 && v <= 107) {
        code.push_back(uint8_t(v + 139));
    } else if (v > 0) {
        code.push_back(uint8_t(247 + (v - 108) / 256));
        code.push_back(uint8_t((v - 108) % 256));
    } else {
        code.push_back(uint8_t(251 + (-v - 108) / 256));
        code.push_back(uint8_t((-v - 108) % 256));
    }
}

Bytes charstring(std::initializer_list<int> items) {
    // Operators are written as -1000 - op (escapes as -2000 - op).
    Bytes code;
    for (int item : items) {
        if (item <= -2000) {
            code.push_back(12);
            code.push_back(uint8_t(-2000 - item));
        } else if (item <= -1000) {
            code.push_back(uint8_t(-1000 - item));
        } else {
            number(code, item);
        }
    }
    return code;
}

constexpr int hsbw = -1013, rmoveto = -1021, hlineto = -1006, vlineto = -1007, closepath = -1009,
              endchar = -1014, callsubr = -1010, ret = -1011, rrcurveto = -1008, hstem = -1001,
              callothersubr = -2016, pop = -2017;

const Bytes square = charstring(
    {0, 500, hsbw, 100, 100, rmoveto, 300, hlineto, 300, vlineto, -300, hlineto, closepath, endchar});

void entry(std::string& text, const std::string& head, const Bytes& code, const char* tail) {
    std::string plain = "abcd" + std::string(code.begin(), code.end()); // lenIV 4
    Bytes body = encrypt(Bytes(plain.begin(), plain.end()), charstringKey);
    text += head + " " + std::to_string(body.size()) + " RD " + std::string(body.begin(), body.end()) + " " +
            tail + "\n";
}

// A PFA font whose glyphs each test one rule of the interpreter.
Bytes testFont() {
    std::string priv = "dup /Private 8 dict dup begin\n/lenIV 4 def\n/Subrs 3 array\n";
    entry(priv, "dup 0", charstring({0, callsubr, ret}), "NP");   // calls itself
    entry(priv, "dup 1", charstring({10, 20, hstem, ret}), "NP"); // hints
    entry(priv, "dup 2", charstring({300, vlineto, ret}), "NP");
    priv += "ND\n2 index /CharStrings 8 dict dup begin\n";
    entry(priv, "/.notdef", charstring({0, 250, hsbw, endchar}), "ND");
    entry(priv, "/A", square, "ND");
    entry(priv, "/B", charstring({0, 500, hsbw, 100, 100, rmoveto, 1, 2, 3, 4, 5, 6, rrcurveto, endchar}),
          "ND");
    entry(priv, "/C", charstring({0, 500, hsbw, 0, callsubr, endchar}), "ND");
    entry(priv, "/D", charstring({0, 500, hsbw, 5, callsubr, endchar}), "ND");
    Bytes overflow = charstring({0, 500, hsbw});
    for (int i = 0; i < 25; ++i) number(overflow, i);
    entry(priv, "/E", overflow, "ND");
    entry(priv, "/F",
          charstring({0,   500,     hsbw, 1,       1, 3,        callothersubr, pop,     callsubr,  100,
                      100, rmoveto, 300,  hlineto, 2, callsubr, -300,          hlineto, closepath, endchar}),
          "ND");
    priv += "end\nend\nmark currentfile closefile\n";
    priv = "\t\t\t\t" + priv; // the four leading bytes eexec drops
    Bytes cipher = encrypt(Bytes(priv.begin(), priv.end()), eexecKey);
    std::string text = "%!PS-AdobeFont-1.0: Test\n/FontBBox {0 -250 1000 750} readonly def\n"
                       "/Encoding StandardEncoding def\ncurrentfile eexec\n";
    const char* digits = "0123456789abcdef";
    for (size_t i = 0; i < cipher.size(); ++i) {
        text += digits[cipher[i] >> 4];
        text += digits[cipher[i] & 15];
        if (i % 32 == 31) text += '\n';
    }
    text += "\n" + std::string(64, '0') + "\ncleartomark\n";
    return {text.begin(), text.end()};
}

TEST(Type1, DecryptionUndoesThePublishedEncryption) {
    Bytes plain{'/', 'l', 'e', 'n', 'I', 'V', ' ', '4', 0, 255};
    for (uint16_t key : {eexecKey, charstringKey}) {
        Bytes cipher = encrypt(plain, key);
        EXPECT_EQ(decrypt_type1(cipher.data(), cipher.size(), key, 0), plain);
        EXPECT_EQ(decrypt_type1(cipher.data(), cipher.size(), key, 4), Bytes(plain.begin() + 4, plain.end()));
    }
    Bytes cipher = encrypt(plain, charstringKey);
    EXPECT_EQ(decrypt_charstring(cipher, 0), plain);
    EXPECT_EQ(decrypt_charstring(cipher, -1), plain);
    EXPECT_EQ(decrypt_charstring(cipher, 2), Bytes(plain.begin() + 2, plain.end()));
}

TEST(Type1, CharstringSubsetDrawsLinesAndFailsTheRest) {
    Type1Backend font;
    ASSERT_TRUE(font.load(testFont()));
    EXPECT_EQ(font.ascent(), 750);
    EXPECT_EQ(font.descent(), 250);
    const double scale = 0.024;
    GlyphBitmap a = font.rasterize('A', scale);
    EXPECT_DOUBLE_EQ(a.advance, 12);
    EXPECT_EQ(a.left, 1);   // floor(2.4) - 1
    EXPECT_EQ(a.width, 10); // ceil(9.6) - floor(2.4) + 2
    EXPECT_EQ(a.top, 11);   // ceil(9.6) + 1
    EXPECT_EQ(a.coverage[size_t(4) * a.width + 4], 255);
    EXPECT_EQ(font.rasterize('F', scale).coverage, a.coverage); // hint replacement, lines in a subroutine
    for (uint32_t failing : {'B', 'C', 'D', 'E'}) {
        GlyphBitmap g = font.rasterize(failing, scale);
        EXPECT_TRUE(g.coverage.empty()) << char(failing);
        EXPECT_EQ(g.advance, 0) << char(failing);
    }
    EXPECT_EQ(font.glyph_name_for_codepoint('Z'), ".notdef");
    GlyphBitmap missing = font.rasterize('Z', scale);
    EXPECT_TRUE(missing.coverage.empty());
    EXPECT_DOUBLE_EQ(missing.advance, 6);
}

TEST(Type1, DamagedFontsDoNotLoad) {
    Bytes good = testFont(); // which loads whole, as the test above shows
    std::string text(good.begin(), good.end());
    Bytes noEexec(good.begin(), good.begin() + text.find("currentfile"));
    EXPECT_FALSE(Type1Backend().load(noEexec));
    Bytes cut(good.begin(), good.begin() + text.find("eexec") + 200);
    EXPECT_FALSE(Type1Backend().load(cut)); // no CharStrings left
    EXPECT_FALSE(Type1Backend().load(Bytes{0x80, 1, 0xFF, 0xFF, 0, 0, 'x'}));
}

TEST(Type1, PfbAndPfaOfOneFontGiveTheSameGlyphs) {
    Bytes pfb = readFile(BV_TYPE1_PFB), pfa = readFile(BV_TYPE1_PFA), packaged = readFile(BV_TYPE1_SOURCE);
    ASSERT_FALSE(pfb.empty());
    ASSERT_EQ(pfb[0], 0x80);
    ASSERT_EQ(pfa[0], '%');
    Type1Backend fromPfb, fromPfa, fromPackage;
    ASSERT_TRUE(fromPfb.load(pfb));
    ASSERT_TRUE(fromPfa.load(pfa));
    ASSERT_TRUE(fromPackage.load(packaged));
    int drawn = 0;
    for (uint32_t c = 32; c < 127; ++c) {
        GlyphBitmap b = fromPfb.rasterize(c, 0.048), a = fromPfa.rasterize(c, 0.048);
        EXPECT_EQ(std::tie(a.coverage, a.left, a.top, a.advance),
                  std::tie(b.coverage, b.left, b.top, b.advance))
            << char(c);
        EXPECT_EQ(fromPackage.rasterize(c, 0.048).coverage, b.coverage) << char(c);
        drawn += !b.coverage.empty();
    }
    EXPECT_GT(drawn, 20); // the glyphs made of lines only
    EXPECT_FALSE(fromPfb.rasterize('H', 0.048).coverage.empty());
    EXPECT_TRUE(fromPfb.rasterize('O', 0.048).coverage.empty()); // curves

    // The second segment cut short: the file does not load.
    size_t firstLength = pfb[2] | pfb[3] << 8 | pfb[4] << 16 | size_t(pfb[5]) << 24;
    Bytes cut(pfb.begin(), pfb.begin() + 6 + firstLength + 6 + 1000);
    EXPECT_FALSE(Type1Backend().load(cut));
}

} // namespace
