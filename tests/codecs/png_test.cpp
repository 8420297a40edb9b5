// Tests of the PNG reader and writer.
//
// The PngSuite images live in tests/data/pngsuite (path passed in as BV_PNGSUITE_DIR). They are (c)
// Willem van Schaik, and their LICENSE file there grants "permission to use, copy, modify and distribute
// these images for any purpose and without fee". Their expected RGBA8 pixels are kept as checksums in
// pngsuite_rgba8.txt, made by make_png_references.py.
//
// Everything else is built byte by byte, here and in png_builder.h, with the test's own CRC, Adler and
// filter code so that the codec is not checked against itself.
#include "png.h"
#include "png_builder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

using namespace pngtest;
namespace fs = std::filesystem;
using bv::png::Image;

// ------------------------------------------------------------------ helpers

uint64_t fnv1a64(const Bytes& data) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (uint8_t b : data) h = (h ^ b) * 0x100000001B3ull;
    return h;
}

// `bytes` with the byte at `at` set to `value`.
Bytes changed(Bytes bytes, size_t at, uint8_t value) {
    bytes[at] = value;
    return bytes;
}

// The payload of a zlib stream of stored blocks, which must be framed exactly as zlib_stored frames
// it: the header, full blocks before the last, LEN and NLEN, the final bit, the Adler-32.
Bytes unstore(const Bytes& z) {
    Bytes raw;
    for (size_t pos = 7; pos + 4 <= z.size(); pos += 65540)
        raw.insert(raw.end(), z.begin() + long(pos), z.begin() + long(std::min(pos + 65535, z.size() - 4)));
    EXPECT_EQ(z, zlib_stored(raw)) << "framing of " << raw.size() << " bytes";
    return raw;
}

// The chunks of a PNG file (after the signature).
std::vector<Chunk> chunks_of(const Bytes& file) {
    std::vector<Chunk> chunks;
    for (size_t pos = 8; pos + 12 <= file.size();) {
        const uint32_t n =
            uint32_t(file[pos]) << 24 | file[pos + 1] << 16 | file[pos + 2] << 8 | file[pos + 3];
        chunks.push_back({std::string(file.begin() + long(pos) + 4, file.begin() + long(pos) + 8),
                          Bytes(file.begin() + long(pos) + 8, file.begin() + long(pos) + 8 + n)});
        pos += 12 + n;
    }
    return chunks;
}

int paeth(int a, int b, int c) {
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}

// Forward filter of one scanline (`previous` null for the first).
Bytes filter_line(int filter, const uint8_t* row, const uint8_t* previous, size_t n, size_t bpp) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) {
        const int a = i >= bpp ? row[i - bpp] : 0, b = previous ? previous[i] : 0,
                  c = previous && i >= bpp ? previous[i - bpp] : 0;
        const int predictor[5] = {0, a, b, (a + b) / 2, paeth(a, b, c)};
        out[i] = uint8_t(row[i] - predictor[filter]);
    }
    return out;
}

// Filtered scanlines of `rows` (each `rowBytes` long); row y uses filter (first + y * step) % 5.
Bytes scanlines(const Bytes& rows, size_t rowBytes, size_t bpp = 1, int first = 0, int step = 0) {
    Bytes out;
    for (size_t y = 0; y * rowBytes < rows.size(); ++y) {
        const uint8_t* row = rows.data() + y * rowBytes;
        const int filter = int((size_t(first) + y * size_t(step)) % 5);
        out.push_back(uint8_t(filter));
        append(out, filter_line(filter, row, y ? row - rowBytes : nullptr, rowBytes, bpp));
    }
    return out;
}

Bytes random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out) b = uint8_t(rng());
    return out;
}

bool decodes(const Bytes& file, Image* image = nullptr) {
    Image scratch;
    return bv::png::decode_memory(file.data(), file.size(), image ? *image : scratch);
}
// The decoded pixels; empty for a refusal.
Bytes pixels_of(const Bytes& file) {
    Image image;
    decodes(file, &image);
    return image.pixels;
}

// A file of `header`, the `extra` chunks, one IDAT holding `zlib`, and IEND.
Bytes png_with(const Chunk& header, const Bytes& zlib, std::vector<Chunk> extra = {}) {
    extra.insert(extra.begin(), header);
    extra.push_back({"IDAT", zlib});
    extra.push_back(iend());
    return png_file(extra);
}

// The pixels decoded from `header`, `extra` and one IDAT of the scanlines `raw`.
Bytes decoded(const Chunk& header, const Bytes& raw, std::vector<Chunk> extra = {}) {
    return pixels_of(png_with(header, zlib_stored(raw), std::move(extra)));
}

// A small valid grey 8-bit image and its file, for the tests that break things.
struct Sample {
    Bytes pixels = random_bytes(6 * 5, 7);
    Bytes raw = scanlines(pixels, 6);
    Bytes zlib = zlib_stored(raw);
    Bytes file = png_with(ihdr(6, 5, 8, 0), zlib);
};

fs::path temp_path(const std::string& name) {
    return fs::temp_directory_path() / ("bv_png_test_" + name);
}

Bytes read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// The file that the writer makes of `pixels`; empty when it refuses. Tests
// run side by side, each in a process of its own.
Bytes saved(const Bytes& pixels, int w, int h) {
    const fs::path path = temp_path("saved_" + std::to_string(getpid()) + ".png");
    Bytes file;
    if (bv::png::save_rgba8_file(path.c_str(), pixels.data(), w, h)) file = read_file(path);
    fs::remove(path);
    return file;
}

// ----------------------------------------------------------------- PngSuite

// Every file has a reference. Accepted files decode to their reference pixels
// (the same ones for the files that hold one image in 1, 2 or 9 IDAT chunks);
// the others are refused and leave the image empty.
TEST(PngSuite, FilesDecodeToReferencePixelsOrAreRefused) {
    std::ifstream references(BV_PNG_REFERENCES);
    std::set<std::string> names;
    size_t accepted = 0;
    for (std::string line; std::getline(references, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string name, width;
        uint32_t height = 0; // stays 0 for a refused file, like the width
        uint64_t hash = 0;
        fields >> name >> width;
        const bool ok = width != "refused";
        if (ok) fields >> height >> std::hex >> hash;
        const uint32_t w = ok ? uint32_t(std::stoul(width)) : 0;
        names.insert(name);
        Image image;
        image.width = image.height = 3;
        image.pixels.assign(36, 1);
        EXPECT_EQ(bv::png::load_file((std::string(BV_PNGSUITE_DIR) + "/" + name).c_str(), image), ok) << name;
        EXPECT_EQ(std::tie(image.width, image.height), std::tuple(w, height)) << name;
        EXPECT_EQ(image.pixels.size(), size_t(w) * height * 4) << name;
        EXPECT_EQ(ok ? fnv1a64(image.pixels) : 0, hash) << name;
        accepted += ok;
    }
    ASSERT_GT(names.size(), 150u) << BV_PNG_REFERENCES;
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(BV_PNGSUITE_DIR)) {
        if (entry.path().extension() != ".png") continue;
        ++files;
        EXPECT_TRUE(names.count(entry.path().filename().string())) << entry.path();
    }
    EXPECT_EQ(files, names.size()) << "PngSuite folder: " << BV_PNGSUITE_DIR;
    EXPECT_GE(accepted, 90u);
    EXPECT_GE(names.size() - accepted, 80u);
}

TEST(PngSuite, EveryTruncationAndEveryBitFlipIsRefused) {
    std::vector<std::pair<std::string, Bytes>> files = {{"sample", Sample().file}};
    for (const char* name : {"basn6a08.png", "basi2c16.png", "tbbn3p08.png"})
        files.emplace_back(name, read_file(fs::path(BV_PNGSUITE_DIR) / name));
    for (const auto& [name, file] : files) {
        ASSERT_TRUE(decodes(file)) << name;
        for (size_t n = 0; n < file.size(); ++n)
            ASSERT_FALSE(decodes(Bytes(file.begin(), file.begin() + long(n)))) << name << " cut to " << n;
        // Every byte belongs to the signature or to a CRC-checked chunk.
        for (size_t i = 0; i < file.size(); ++i)
            ASSERT_FALSE(decodes(changed(file, i, file[i] ^ uint8_t(1u << (i % 8)))))
                << name << " byte " << i;
    }
}

// -------------------------------------------------------- checksums, chunks

TEST(PngChecksums, KnownValues) {
    auto crc = [](const Bytes& d) { return bv::png::crc32_update(0xFFFFFFFFu, d.data(), d.size()) ^ ~0u; };
    auto adler = [](const Bytes& d) { return bv::png::adler32(d.data(), d.size()); };
    EXPECT_EQ(crc(bytes_of("123456789")), 0xCBF43926u);
    EXPECT_EQ(adler(bytes_of("Wikipedia")), 0x11E60398u);
    EXPECT_EQ(bv::png::adler32(nullptr, 0), 1u);
    // Long runs of the largest byte exercise the deferred modulo; odd lengths the tails.
    const Bytes ones(100000, 0xFF);
    EXPECT_EQ(adler(ones), slow_adler32(ones));
    for (size_t n : {1, 15, 16, 17, 5551, 5552, 5553, 11104, 20001}) {
        const Bytes data = random_bytes(n, uint32_t(n));
        EXPECT_EQ(adler(data), slow_adler32(data)) << n;
        EXPECT_EQ(crc(data), slow_crc32(data.data(), n)) << n;
    }
}

// Ancillary chunks are skipped (a CRC error in one is among the bit flips of
// the PngSuite files), IDAT data may be split anywhere, even into empty chunks,
// and bytes after IEND are never looked at. The sample with one thing wrong in
// its chunks, its header, its zlib stream or the scanlines inside is refused
// (a missing IEND is one of its truncations).
TEST(PngChunks, StructureRules) {
    const Sample s;
    const Chunk header = ihdr(6, 5, 8, 0), idat{"IDAT", s.zlib}, text{"tEXt", bytes_of("a")};
    std::vector<Chunk> split = {header, {"IDAT", {}}};
    for (size_t i = 0; i < s.zlib.size(); i += 3)
        split.push_back(
            {"IDAT", Bytes(s.zlib.begin() + long(i), s.zlib.begin() + long(std::min(i + 3, s.zlib.size())))});
    split.push_back({"IDAT", {}});
    split.push_back(iend());
    Bytes rgba;
    for (uint8_t g : s.pixels) rgba.insert(rgba.end(), {g, g, g, 255});
    for (const auto& chunks :
         {std::vector<Chunk>{header, idat, iend()}, {header, text, idat, {"zzZz", {9}}, iend()}, split})
        EXPECT_EQ(pixels_of(png_file(chunks)), rgba) << chunks.size() << " chunks";
    Bytes trailing = s.file;
    append(trailing, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13});
    EXPECT_TRUE(decodes(trailing));

    Chunk shortHeader = header;
    shortHeader.data.pop_back();
    // The header with one field set to a refused value.
    auto field = [&](size_t at, uint8_t value) {
        return png_file({{"IHDR", changed(header.data, at, value)}, idat, iend()});
    };
    Bytes longer = s.raw, shorter = s.raw;
    longer.push_back(0);
    shorter.pop_back();
    const std::pair<Bytes, const char*> refused[] = {
        {png_file({header, idat, {"IEND", {0}}}), "IEND with data"},
        {png_file({text, header, idat, iend()}), "IHDR not first"},
        {png_file({header, iend()}), "no IDAT"},
        {png_file({header, {"IDAT", {}}, iend()}), "only an empty IDAT"},
        {png_file({shortHeader, idat, iend()}), "short IHDR"},
        {png_file({header, {"ZZZZ", {}}, idat, iend()}), "unknown critical chunk"},
        {png_file({header, header, idat, iend()}), "second IHDR"},
        {field(3, 0), "zero width"},
        {field(7, 0), "zero height"},
        {field(10, 1), "compression"},
        {field(11, 1), "filter method"},
        {field(12, 2), "interlace"},
        // One pixel's stream reads alike plain or interlaced: only the method itself refuses it.
        {png_with(ihdr(1, 1, 8, 0, 2), zlib_stored({0, 7})), "interlace method 2 of one pixel"},
        {png_with(header, changed(s.zlib, 0, 0x79)), "zlib method 9 with the window size bits kept"},
        {png_with(header, changed(s.zlib, s.zlib.size() - 1, s.zlib.back() ^ 0x10)), "wrong Adler-32"},
        // Five rows of six bytes, each behind its filter byte, and nothing more or less.
        {png_with(header, zlib_stored(changed(s.raw, 7, 5))), "unknown filter on the second row"},
        {png_with(header, zlib_stored(longer)), "a byte after the scanlines"},
        {png_with(header, zlib_stored(shorter)), "a byte short of the scanlines"}};
    for (const auto& [file, problem] : refused) EXPECT_FALSE(decodes(file)) << problem;
    Image image;
    EXPECT_FALSE(bv::png::decode_memory(nullptr, 0, image));
}

// ------------------------------------------------------------------ header

TEST(PngHeader, AcceptedColourTypesAndDepths) {
    for (int colour = 0; colour <= 7; ++colour) {
        for (int depth : {0, 1, 2, 3, 4, 8, 16, 32}) {
            const bool accepted = colour == 3 ? depth == 8
                                              : (colour == 0 || colour == 2 || colour == 4 || colour == 6) &&
                                                    (depth == 8 || depth == 16);
            const size_t channels = colour == 2 ? 3 : colour == 4 ? 2 : colour == 6 ? 4 : 1;
            const size_t rowBytes = std::max<size_t>(1, channels * size_t(depth) / 8) * 2;
            std::vector<Chunk> palette;
            if (colour == 3) palette.push_back({"PLTE", Bytes(6, 0)});
            EXPECT_EQ(decodes(png_with(ihdr(2, 2, uint8_t(depth), uint8_t(colour)),
                                       zlib_stored(scanlines(Bytes(rowBytes * 2, 0), rowBytes)), palette)),
                      accepted)
                << "colour " << colour << " depth " << depth;
        }
    }
}

TEST(PngHeader, HugeDimensionsAreRefusedWithoutAllocating) {
    // Sizes no small IDAT could ever fill, up to a product beyond 2^62.
    const Bytes tiny = zlib_stored(Bytes(64, 0));
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{0x80000000u, 0x80000000u},
                        {0xFFFFFFFFu, 0xFFFFFFFFu},
                        {0xFFFFFFFFu, 1},
                        {1, 0xFFFFFFFFu},
                        {100000, 100000}})
        for (uint8_t colour : {0, 6})
            for (uint8_t interlace : {0, 1}) {
                Image image;
                EXPECT_FALSE(decodes(png_with(ihdr(w, h, colour ? 16 : 8, colour, interlace), tiny), &image))
                    << w << "x" << h;
                EXPECT_TRUE(image.pixels.empty());
            }
}

// ------------------------------------------------------------- scanlines

TEST(PngFilters, EveryFilterTypeDecodesAndUnknownOnesFail) {
    // Pixels of 1 to 8 bytes, each filter on every row and then (filter 5) all mixed: rows with and
    // without one above, unfiltered in place or (RGBA 8) straight into the image.
    struct Format {
        uint8_t depth, colour;
        size_t bpp;
    };
    for (Format f : {Format{8, 0, 1}, Format{8, 4, 2}, Format{8, 2, 3}, Format{16, 4, 4}, Format{16, 6, 8},
                     Format{8, 6, 4}}) {
        const uint32_t w = 7, h = 6;
        const size_t rowBytes = w * f.bpp;
        const Bytes samples = random_bytes(rowBytes * h, 11 + f.bpp);
        const Bytes reference = decoded(ihdr(w, h, f.depth, f.colour), scanlines(samples, rowBytes));
        ASSERT_FALSE(reference.empty());
        for (int filter = 0; filter <= 5; ++filter)
            EXPECT_EQ(decoded(ihdr(w, h, f.depth, f.colour),
                              scanlines(samples, rowBytes, f.bpp, filter % 5, filter / 5)),
                      reference)
                << "filter " << filter << " bpp " << f.bpp;
    }
    // What only the function itself sees: an unknown filter, a zero pixel size.
    Bytes row(8, 1);
    EXPECT_FALSE(bv::png::unfilter_row_to(5, row.data(), row.data(), nullptr, row.size(), 2));
    EXPECT_FALSE(bv::png::unfilter_row_to(1, row.data(), row.data(), nullptr, row.size(), 0));
}

TEST(PngScanlines, Adam7MatchesThePlainImage) {
    const uint32_t sx[7] = {0, 4, 0, 2, 0, 1, 0}, sy[7] = {0, 0, 4, 0, 2, 0, 1},
                   dx[7] = {8, 8, 4, 4, 2, 2, 1}, dy[7] = {8, 8, 8, 4, 4, 2, 2};
    for (uint32_t w = 1; w <= 11; ++w) {
        for (uint32_t h = 1; h <= 11; ++h) {
            const Bytes pixels = random_bytes(size_t(w) * h * 4, w * 100 + h);
            Bytes stream;
            for (int p = 0; p < 7; ++p) {
                Bytes rows;
                size_t passWidth = 0;
                for (uint32_t y = sy[p]; y < h; y += dy[p]) {
                    passWidth = 0;
                    for (uint32_t x = sx[p]; x < w; x += dx[p], ++passWidth)
                        rows.insert(rows.end(), pixels.begin() + long((y * w + x) * 4),
                                    pixels.begin() + long((y * w + x) * 4 + 4));
                }
                if (!rows.empty()) append(stream, scanlines(rows, passWidth * 4, 4, p, 1));
            }
            EXPECT_EQ(decoded(ihdr(w, h, 8, 6, 1), stream), pixels) << w << "x" << h;
        }
    }
}

// ---------------------------------------------------------- colour rules

TEST(PngColours, SixteenBitSamplesRound) {
    const uint16_t values[] = {0,      1,      128,    129,    255,    256,   0x7F7F,
                               0x8080, 0x80FF, 0xFEFF, 0xFF7F, 0xFF80, 0xFFFF};
    Bytes samples = {0}, expected;
    for (uint16_t v : values) {
        samples.insert(samples.end(), {uint8_t(v >> 8), uint8_t(v)});
        const uint8_t grey = uint8_t(std::lround(v * 255.0 / 65535.0));
        expected.insert(expected.end(), {grey, grey, grey, 255});
    }
    EXPECT_EQ(decoded(ihdr(uint32_t(std::size(values)), 1, 16, 0), samples), expected);
}

// Keys, alpha channels, palettes and the tRNS chunk's rules; no pixels means
// the file is refused.
TEST(PngColours, KeysAlphaChannelsAndPalettes) {
    auto trns = [](Bytes key) { return Chunk{"tRNS", std::move(key)}; };
    // 0x1235 reduces to the same 8-bit grey as the key 0x1234 but stays opaque.
    EXPECT_EQ(decoded(ihdr(4, 1, 16, 0), {0, 0x12, 0x34, 0x12, 0x35, 0, 0, 0x12, 0x34}, {trns({0x12, 0x34})}),
              Bytes({18, 18, 18, 0, 18, 18, 18, 255, 0, 0, 0, 255, 18, 18, 18, 0}));
    EXPECT_EQ(decoded(ihdr(1, 1, 8, 0), {0, 7}, {trns({0, 7})}), Bytes({7, 7, 7, 0}));
    EXPECT_EQ(decoded(ihdr(1, 1, 8, 0), {0, 7}, {trns({1, 7})}), Bytes({7, 7, 7, 255})) << "key above 255";
    EXPECT_EQ(decoded(ihdr(4, 1, 8, 2), {0, 1, 2, 3, 1, 2, 4, 9, 2, 3, 1, 2, 3}, {trns({0, 1, 0, 2, 0, 3})}),
              Bytes({1, 2, 3, 0, 1, 2, 4, 255, 9, 2, 3, 255, 1, 2, 3, 0}))
        << "an RGB key needs all three samples";
    EXPECT_EQ(decoded(ihdr(2, 1, 16, 2), {0, 0xAB, 0xCD, 0, 0, 0xFF, 0xFF, 0xAB, 0xCE, 0, 0, 0xFF, 0xFF},
                      {trns({0xAB, 0xCD, 0, 0, 0xFF, 0xFF})}),
              Bytes({171, 0, 255, 0, 171, 0, 255, 255}));
    EXPECT_TRUE(decoded(ihdr(1, 1, 8, 0), {0, 0}, {trns({0})}).empty()) << "grey key of one byte";
    EXPECT_TRUE(decoded(ihdr(1, 1, 16, 2), Bytes(7, 0), {trns({0, 0})}).empty()) << "RGB key of two bytes";
    EXPECT_TRUE(decoded(ihdr(1, 1, 8, 4), Bytes(3, 0), {trns({0, 0})}).empty()) << "tRNS with grey + alpha";
    EXPECT_TRUE(decoded(ihdr(1, 1, 8, 6), Bytes(5, 0), {trns({})}).empty()) << "tRNS with RGBA";

    const Chunk plte{"PLTE", {10, 11, 12, 20, 21, 22, 30, 31, 32}};
    auto palette = [](std::vector<Chunk> extra, const Bytes& indexes = {0, 0, 1, 2}) {
        return decoded(ihdr(3, 1, 8, 3), indexes, std::move(extra));
    };
    EXPECT_EQ(palette({plte, trns({7, 8})}), Bytes({10, 11, 12, 7, 20, 21, 22, 8, 30, 31, 32, 255}));
    EXPECT_EQ(palette({plte, trns({})}), Bytes({10, 11, 12, 255, 20, 21, 22, 255, 30, 31, 32, 255}));
    EXPECT_EQ(palette({{"PLTE", Bytes(768, 1)}}), Bytes({1, 1, 1, 255, 1, 1, 1, 255, 1, 1, 1, 255}));
    EXPECT_TRUE(palette({plte}, {0, 0, 1, 3}).empty()) << "index beyond the palette";
    EXPECT_TRUE(palette({}).empty()) << "no palette";
    EXPECT_TRUE(palette({plte, trns({1, 2, 3, 4})}).empty()) << "tRNS longer than the palette";
    EXPECT_TRUE(palette({trns({1}), plte}).empty()) << "tRNS before PLTE";
    for (size_t n : {size_t(0), size_t(8), size_t(771)})
        EXPECT_TRUE(palette({{"PLTE", Bytes(n, 1)}}).empty()) << n << " palette bytes";
}

// ------------------------------------------------------------ inflate

// Packs bits least significant first; Huffman codes go most significant first.
struct BitWriter {
    Bytes out;
    size_t used = 0; // bits written
    void bits(uint32_t value, int count) {
        for (int i = 0; i < count; ++i, ++used) {
            if (used % 8 == 0) out.push_back(0);
            out.back() |= uint8_t(((value >> i) & 1) << (used % 8));
        }
    }
    void code(uint32_t code, int length) {
        for (int i = length - 1; i >= 0; --i) bits(code >> i, 1);
    }
};

// Canonical codes for a list of code lengths.
std::vector<uint32_t> canonical_codes(const std::vector<int>& lengths) {
    int counts[16] = {};
    for (int l : lengths) counts[l]++;
    counts[0] = 0;
    uint32_t next[16] = {}, code = 0;
    for (int l = 1; l < 16; ++l) next[l] = code = (code + counts[l - 1]) << 1;
    std::vector<uint32_t> codes(lengths.size());
    for (size_t s = 0; s < lengths.size(); ++s)
        if (lengths[s]) codes[s] = next[lengths[s]]++;
    return codes;
}

Bytes zlib_wrap(const Bytes& deflate, const Bytes& payload) {
    Bytes z = {0x78, 0x9C};
    append(z, deflate);
    put32(z, slow_adler32(payload));
    return z;
}

// What the zlib stream `z` inflates to; nothing when it is refused.
std::optional<Bytes> inflated(const Bytes& z) {
    bv::png::Inflater inflater;
    if (!inflater.start({{z.data(), z.size()}})) return std::nullopt;
    return inflater.output();
}

// A zlib stream, framed for `payload`, of one final block: `symbols` (literal/length
// symbol, distance code or -1), then the end of block. The block uses the fixed code
// unless `literalLengths` are given. A dynamic block's code-length code gives all 19
// symbols 5 bits (an incomplete code, so their order does not matter) and the lengths
// follow one by one; `lengthSymbols`, when given, replaces them: code-length symbols
// with their extra bits.
Bytes huffman_stream(const std::vector<std::pair<int, int>>& symbols, const Bytes& payload = {},
                     std::vector<int> literalLengths = {}, std::vector<int> distanceLengths = {},
                     const std::vector<std::pair<int, int>>& lengthSymbols = {}) {
    BitWriter w;
    w.bits(1, 1); // final
    w.bits(literalLengths.empty() ? 1 : 2, 2);
    if (literalLengths.empty()) {
        literalLengths.assign(288, 8);
        std::fill(literalLengths.begin() + 144, literalLengths.begin() + 256, 9);
        std::fill(literalLengths.begin() + 256, literalLengths.begin() + 280, 7);
        distanceLengths.assign(32, 5); // 30 and 31 included, though no stream may use them
    } else {
        w.bits(uint32_t(literalLengths.size() - 257), 5);
        w.bits(uint32_t(distanceLengths.size() - 1), 5);
        w.bits(15, 4);
        for (int i = 0; i < 19; ++i) w.bits(5, 3);
        const std::vector<uint32_t> lengthCodes = canonical_codes(std::vector<int>(19, 5));
        if (lengthSymbols.empty()) {
            for (int l : literalLengths) w.code(lengthCodes[size_t(l)], 5);
            for (int l : distanceLengths) w.code(lengthCodes[size_t(l)], 5);
        }
        for (auto [symbol, extra] : lengthSymbols) {
            w.code(lengthCodes[size_t(symbol)], 5);
            if (symbol >= 16) w.bits(uint32_t(extra), symbol == 16 ? 2 : symbol == 17 ? 3 : 7);
        }
    }
    const auto literalCodes = canonical_codes(literalLengths),
               distanceCodes = canonical_codes(distanceLengths);
    for (auto [symbol, distance] : symbols) {
        w.code(literalCodes[size_t(symbol)], literalLengths[size_t(symbol)]);
        if (distance >= 0) w.code(distanceCodes[size_t(distance)], distanceLengths[size_t(distance)]);
    }
    w.code(literalCodes[256], literalLengths[256]);
    return zlib_wrap(w.out, payload);
}

TEST(PngInflate, FixedHuffmanBlock) {
    // Length 7 (symbol 261) at distance 3 (code 2): an overlapping copy; length 3 at distance 1.
    const Bytes expected = bytes_of("abcabcabcazzzz");
    EXPECT_EQ(
        inflated(huffman_stream({{'a', -1}, {'b', -1}, {'c', -1}, {261, 2}, {'z', -1}, {257, 0}}, expected)),
        expected);
    // A distance (2, code 1) reaching before the start of the output.
    EXPECT_FALSE(inflated(huffman_stream({{'a', -1}, {257, 1}}, bytes_of("a"))));
    // Literal/length symbols 286, 287 and distance symbols 30, 31 exist in the fixed code but are invalid.
    for (int bad : {286, 287}) EXPECT_FALSE(inflated(huffman_stream({{bad, 0}}))) << bad;
    for (int bad : {30, 31}) EXPECT_FALSE(inflated(huffman_stream({{'a', -1}, {257, bad}}))) << bad;
}

TEST(PngInflate, DynamicHuffmanBlock) {
    const std::vector<int> literals(286, 9), distances(30, 5);
    // 'x', 'y', then length 4 (symbol 258) at distance 2 (code 1).
    const Bytes expected = bytes_of("xyxyxy");
    EXPECT_EQ(inflated(huffman_stream({{'x', -1}, {'y', -1}, {258, 1}}, expected, literals, distances)),
              expected);
    // Over-subscribed literal code: 286 symbols of 8 bits do not fit.
    EXPECT_FALSE(inflated(huffman_stream({}, {}, std::vector<int>(286, 8), distances)));
    // A repeat (code 16) with nothing before it, though the lengths after it are complete.
    std::vector<std::pair<int, int>> repeatFirst = {{16, 0}};
    repeatFirst.resize(1 + 283, {9, 0});
    repeatFirst.resize(1 + 283 + 30, {5, 0});
    EXPECT_FALSE(inflated(huffman_stream({}, {}, literals, distances, repeatFirst)));
    // Zero runs (code 18) going past the 316 lengths: far past, and by one after complete lengths.
    EXPECT_FALSE(inflated(huffman_stream({}, {}, literals, distances, {{18, 127}, {18, 127}, {18, 127}})));
    std::vector<std::pair<int, int>> runPast(286, {9, 0});
    runPast.resize(286 + 19, {5, 0});
    runPast.push_back({18, 1}); // 12 zeros where 11 lengths are left
    EXPECT_FALSE(inflated(huffman_stream({}, {}, literals, distances, runPast)));

    // A code length above 15 cannot be expressed; a code-length code that is over-subscribed can.
    // Final dynamic block, 257 + 1 lengths, four code-length codes of 1 bit each.
    BitWriter w;
    for (auto [value, count] :
         {std::pair{1, 1}, {2, 2}, {0, 5}, {0, 5}, {0, 4}, {1, 3}, {1, 3}, {1, 3}, {1, 3}, {0, 32}})
        w.bits(uint32_t(value), count);
    EXPECT_FALSE(inflated(zlib_wrap(w.out, {})));
}

// Spans are joined before inflating; the output bound is exact.
TEST(PngInflate, StoredBlocksSpansAndZlibFraming) {
    const Bytes payload = random_bytes(70000, 3), z = zlib_stored(payload, 1000);
    std::vector<bv::png::ByteSpan> spans;
    for (size_t i = 0; i < z.size(); i += 100)
        spans.push_back({z.data() + i, std::min<size_t>(100, z.size() - i)});
    bv::png::Inflater inflater;
    ASSERT_TRUE(inflater.start(spans));
    EXPECT_EQ(inflater.output(), payload);
    EXPECT_TRUE(inflater.start(spans, payload.size()));
    EXPECT_FALSE(inflater.start(spans, payload.size() - 1));
    EXPECT_TRUE(inflater.output().empty());
    EXPECT_EQ(inflated(zlib_stored({})), Bytes());

    const Bytes good = zlib_stored(bytes_of("hello"));
    auto broken = [&](size_t pos, uint8_t value) { return inflated(changed(good, pos, value)).has_value(); };
    EXPECT_FALSE(broken(0, 0x77)) << "compression method 7";
    EXPECT_FALSE(broken(1, 0x3F)) << "preset dictionary (0x783F is a multiple of 31)";
    EXPECT_FALSE(broken(1, 0x02)) << "header not a multiple of 31";
    EXPECT_FALSE(broken(2, 0x07)) << "block type 3";
    EXPECT_FALSE(broken(2, 0x00)) << "a block that is not final and nothing after it";
    EXPECT_FALSE(broken(5, 0x00)) << "LEN and NLEN disagree";
    EXPECT_FALSE(broken(good.size() - 1, good.back() ^ 1)) << "Adler-32";
    EXPECT_FALSE(broken(7, 'H')) << "payload changed under the Adler-32";
    for (size_t n = 0; n < good.size(); ++n) EXPECT_FALSE(bv::png::Inflater().start({{good.data(), n}})) << n;
}

// ---------------------------------------------------------------- writer

TEST(PngWriter, RoundTripsExactlyInStoredBlocksAndFullIdatChunks) {
    EXPECT_EQ(saved({1, 2, 3, 4}, 1, 1), png_with(ihdr(1, 1, 8, 6), zlib_stored({0, 1, 2, 3, 4})));
    Bytes file;
    for (auto [w, h] : {std::pair<int, int>{1, 1}, {1, 9}, {9, 1}, {3, 7}, {64, 33}, {257, 300}}) {
        const Bytes pixels = random_bytes(size_t(w) * size_t(h) * 4, uint32_t(w * 1000 + h));
        Image image;
        EXPECT_TRUE(decodes(file = saved(pixels, w, h), &image));
        EXPECT_EQ(std::tie(image.width, image.height, image.pixels),
                  std::tuple(uint32_t(w), uint32_t(h), pixels))
            << w << "x" << h;
    }
    // The last, 257 x 300: 5 stored blocks over a full IDAT chunk and part of a second.
    const auto chunks = chunks_of(file);
    ASSERT_EQ(chunks.size(), 4u);
    EXPECT_EQ(chunks[1].type + chunks[2].type, "IDATIDAT");
    EXPECT_EQ(chunks[1].data.size(), 262144u);
    Bytes zlib = chunks[1].data;
    append(zlib, chunks[2].data);
    const Bytes raw = unstore(zlib);
    ASSERT_EQ(raw.size(), 300u * 1029);
    for (size_t y = 0; y < 300; ++y) EXPECT_LE(raw[y * 1029], 2) << "Average or Paeth on row " << y;
}

TEST(PngWriter, ChoosesNoneSubOrUpPerRow) {
    const int w = 8;
    Bytes pixels;
    auto row = [&](auto value) {
        for (int i = 0; i < w * 4; ++i) pixels.push_back(uint8_t(value(i)));
    };
    row([](int) { return 0; });                   // zeros: every cost is 0, None wins ties
    row([](int i) { return 100 + (i / 4) * 3; }); // a steady ramp: Sub
    row([](int i) { return 100 + (i / 4) * 3; }); // same as above: Up
    row([](int i) { return (i * 37) % 5; });      // small values, Sub and Up larger: None
    row([](int i) { return 200 - (i / 4); });     // Sub is small (255s read as -1)
    const Bytes raw = unstore(chunks_of(saved(pixels, w, 5)).at(1).data);
    ASSERT_EQ(raw.size(), 5u * (1 + w * 4));
    std::vector<int> filters;
    for (size_t y = 0; y < 5; ++y) filters.push_back(raw[y * (1 + w * 4)]);
    EXPECT_EQ(filters, std::vector<int>({0, 1, 2, 0, 1}));
}

TEST(PngFiles, BadArgumentsAndUnreadableFiles) {
    const fs::path path = temp_path("bad.png");
    const uint8_t pixel[4] = {};
    EXPECT_FALSE(bv::png::save_rgba8_file(nullptr, pixel, 1, 1));
    EXPECT_FALSE(bv::png::save_rgba8_file(path.c_str(), nullptr, 1, 1));
    EXPECT_FALSE(bv::png::save_rgba8_file(path.c_str(), pixel, 0, 1));
    EXPECT_FALSE(bv::png::save_rgba8_file(path.c_str(), pixel, 1, -1));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(bv::png::save_rgba8_file("/nonexistent-dir/x.png", pixel, 1, 1));
    // A chunk's layout shows in the writer's one-pixel file; here only the refusals.
    std::FILE* chunks = std::tmpfile();
    ASSERT_NE(chunks, nullptr);
    EXPECT_FALSE(bv::png::write_chunk(chunks, "IDAT", nullptr, 5));
    EXPECT_FALSE(bv::png::write_chunk(chunks, "IDAT", pixel, size_t(0x100000000ull)));
    EXPECT_EQ(std::ftell(chunks), 0) << "a refused chunk writes nothing";
    std::fclose(chunks);

    Image image;
    image.width = 1;
    image.pixels.assign(4, 9);
    EXPECT_FALSE(bv::png::load_file(nullptr, image));
    EXPECT_TRUE(image.pixels.empty());
    EXPECT_FALSE(bv::png::load_file("/nonexistent-dir/x.png", image));
    EXPECT_FALSE(bv::png::load_file(fs::temp_directory_path().c_str(), image));
    EXPECT_EQ(image.width, 0u);
    const fs::path empty = temp_path("empty.png");
    std::ofstream(empty).close();
    EXPECT_FALSE(bv::png::load_file(empty.c_str(), image));
    fs::remove(empty);
}

} // namespace
