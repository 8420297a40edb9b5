// Tests of the PNG reader and writer.
//
// The PngSuite images live in tests/data/pngsuite (path passed in
// as BV_PNGSUITE_DIR). They are (c) Willem van Schaik, and their LICENSE file
// there grants "permission to use, copy, modify and distribute these images for
// any purpose and without fee". Their expected RGBA8 pixels are kept as
// checksums in pngsuite_rgba8.txt, made by make_png_references.py.
//
// Everything else is built byte by byte, here and in png_builder.h, with the
// test's own CRC, Adler and filter code so that the codec is not checked
// against itself.
#include "png.h"
#include "png_builder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
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

uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

// The payload of a zlib stream of stored blocks, checking its framing on the
// way: the header, full blocks before the last, LEN against NLEN, the Adler-32.
Bytes unstore(const Bytes& z) {
    Bytes raw;
    EXPECT_TRUE(z.size() >= 6 && z[0] == 0x78 && z[1] == 0x01) << "zlib header";
    size_t pos = 2;
    for (bool last = false; !last && pos + 5 <= z.size();) {
        last = z[pos] & 1;
        const size_t n = z[pos + 1] | z[pos + 2] << 8;
        EXPECT_EQ(z[pos] >> 1, 0) << "stored block expected";
        EXPECT_EQ(n ^ 0xFFFF, size_t(z[pos + 3] | z[pos + 4] << 8));
        EXPECT_TRUE(last || n == 65535u) << "a block of " << n << " bytes before the last";
        pos += 5;
        raw.insert(raw.end(), z.begin() + long(pos), z.begin() + long(std::min(pos + n, z.size())));
        pos += n;
    }
    EXPECT_EQ(pos + 4, z.size()) << "the Adler-32 ends the stream";
    EXPECT_EQ(pos + 4 <= z.size() ? get32(z.data() + pos) : 0u, slow_adler32(raw));
    return raw;
}

// The chunks of a PNG file (after the signature).
std::vector<Chunk> chunks_of(const Bytes& file) {
    std::vector<Chunk> chunks;
    for (size_t pos = 8; pos + 12 <= file.size();) {
        const uint32_t n = get32(&file[pos]);
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

// Filtered scanlines of `rows` (each `rowBytes` long); row y uses filter pick(y).
template <class Pick> Bytes scanlines(const Bytes& rows, size_t rowBytes, size_t bpp, Pick pick) {
    Bytes out;
    for (size_t y = 0; y * rowBytes < rows.size(); ++y) {
        const uint8_t* row = rows.data() + y * rowBytes;
        const int f = pick(y);
        Bytes line = filter_line(f, row, y ? row - rowBytes : nullptr, rowBytes, bpp);
        out.push_back(uint8_t(f));
        out.insert(out.end(), line.begin(), line.end());
    }
    return out;
}
Bytes unfiltered_scanlines(const Bytes& rows, size_t rowBytes) {
    return scanlines(rows, rowBytes, 1, [](size_t) { return 0; });
}

Bytes random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out) b = uint8_t(rng());
    return out;
}

bool decodes(const Bytes& file, Image& image) {
    return bv::png::decode_memory(file.data(), file.size(), image);
}
bool decodes(const Bytes& file) {
    Image image;
    return decodes(file, image);
}
// The decoded pixels; empty for a refusal.
Bytes pixels_of(const Bytes& file) {
    Image image;
    decodes(file, image);
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
    Bytes raw = unfiltered_scanlines(pixels, 6);
    Bytes zlib = zlib_stored(raw);
    Bytes file = png_with(ihdr(6, 5, 8, 0), zlib);
};

Bytes grey_to_rgba(const Bytes& grey) {
    Bytes out;
    for (uint8_t g : grey) out.insert(out.end(), {g, g, g, 255});
    return out;
}

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

struct Reference {
    bool accepted = false;
    uint32_t width = 0, height = 0;
    uint64_t hash = 0;
};

std::map<std::string, Reference> load_references() {
    std::map<std::string, Reference> refs;
    std::ifstream in(BV_PNG_REFERENCES);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string name, second;
        fields >> name >> second;
        Reference r;
        if (second != "refused") {
            r.accepted = true;
            r.width = uint32_t(std::stoul(second));
            fields >> r.height >> std::hex >> r.hash;
        }
        refs[name] = r;
    }
    return refs;
}

// Every file has a reference. Accepted files decode to their reference pixels
// (the same ones for the files that hold one image in 1, 2 or 9 IDAT chunks);
// the others are refused and leave the image empty.
TEST(PngSuite, FilesDecodeToReferencePixelsOrAreRefused) {
    const auto refs = load_references();
    ASSERT_GT(refs.size(), 150u) << BV_PNG_REFERENCES;
    size_t files = 0, accepted = 0;
    for (const auto& entry : fs::directory_iterator(BV_PNGSUITE_DIR)) {
        if (entry.path().extension() != ".png") continue;
        ++files;
        EXPECT_TRUE(refs.count(entry.path().filename().string())) << entry.path();
    }
    EXPECT_EQ(files, refs.size()) << "PngSuite folder: " << BV_PNGSUITE_DIR;
    for (const auto& [name, ref] : refs) {
        const std::string path = std::string(BV_PNGSUITE_DIR) + "/" + name;
        Image image;
        image.width = image.height = 3;
        image.pixels.assign(36, 1);
        EXPECT_EQ(bv::png::load_file(path.c_str(), image), ref.accepted) << name;
        EXPECT_EQ(image.width, ref.width) << name; // 0 for a refused file
        EXPECT_EQ(image.height, ref.height) << name;
        EXPECT_EQ(image.pixels.size(), size_t(ref.width) * ref.height * 4) << name;
        if (ref.accepted) {
            EXPECT_EQ(fnv1a64(image.pixels), ref.hash) << name;
        }
        accepted += ref.accepted;
    }
    EXPECT_GE(accepted, 90u);
    EXPECT_GE(refs.size() - accepted, 80u);
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
        Bytes broken = file;
        for (size_t i = 0; i < file.size(); ++i) {
            broken[i] ^= uint8_t(1u << (i % 8));
            ASSERT_FALSE(decodes(broken)) << name << " byte " << i;
            broken[i] = file[i];
        }
    }
}

// -------------------------------------------------------- checksums, chunks

TEST(PngChecksums, KnownValues) {
    const Bytes digits = bytes_of("123456789");
    EXPECT_EQ(bv::png::crc32_update(0xFFFFFFFFu, digits.data(), digits.size()) ^ 0xFFFFFFFFu, 0xCBF43926u);
    const Bytes word = bytes_of("Wikipedia");
    EXPECT_EQ(bv::png::adler32(word.data(), word.size()), 0x11E60398u);
    EXPECT_EQ(bv::png::adler32(nullptr, 0), 1u);
    // Long runs of the largest byte exercise the deferred modulo; odd lengths the tails.
    const Bytes ones(100000, 0xFF);
    EXPECT_EQ(bv::png::adler32(ones.data(), ones.size()), slow_adler32(ones));
    for (size_t n : {1, 15, 16, 17, 5551, 5552, 5553, 11104, 20001}) {
        const Bytes data = random_bytes(n, uint32_t(n));
        EXPECT_EQ(bv::png::adler32(data.data(), n), slow_adler32(data)) << n;
        EXPECT_EQ(bv::png::crc32_update(0xFFFFFFFFu, data.data(), n) ^ 0xFFFFFFFFu,
                  slow_crc32(data.data(), n))
            << n;
    }
}

TEST(PngChunks, WriteChunkLayoutAndRefusals) {
    const fs::path path = temp_path("chunk.bin");
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_TRUE(bv::png::write_chunk(file, "IEND", nullptr, 0));
    EXPECT_TRUE(bv::png::write_chunk(file, "abCD", data, 3));
    EXPECT_FALSE(bv::png::write_chunk(file, "IDAT", nullptr, 5));
    EXPECT_FALSE(bv::png::write_chunk(file, "IDAT", data, size_t(0x100000000ull)));
    std::fclose(file);
    Bytes expected = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    Bytes second = chunk_bytes({"abCD", {1, 2, 3}});
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(read_file(path), expected);
    fs::remove(path);
}

// Ancillary chunks are skipped (a CRC error in one is among the bit flips of
// the PngSuite files), IDAT data may be split anywhere, even into empty chunks,
// and bytes after IEND are never looked at.
TEST(PngChunks, StructureRules) {
    const Sample s;
    const Chunk header = ihdr(6, 5, 8, 0), idat{"IDAT", s.zlib}, text{"tEXt", bytes_of("a")};
    std::vector<Chunk> split = {header, {"IDAT", {}}};
    for (size_t i = 0; i < s.zlib.size(); i += 3)
        split.push_back(
            {"IDAT", Bytes(s.zlib.begin() + long(i), s.zlib.begin() + long(std::min(i + 3, s.zlib.size())))});
    split.push_back({"IDAT", {}});
    split.push_back(iend());
    for (const auto& chunks :
         {std::vector<Chunk>{header, idat, iend()}, {header, text, idat, {"zzZz", {9}}, iend()}, split})
        EXPECT_EQ(pixels_of(png_file(chunks)), grey_to_rgba(s.pixels)) << chunks.size() << " chunks";
    Bytes trailing = s.file;
    trailing.insert(trailing.end(), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13});
    EXPECT_TRUE(decodes(trailing));

    Chunk shortHeader = header;
    shortHeader.data.pop_back();
    const std::pair<std::vector<Chunk>, const char*> refused[] = {
        {{header, idat}, "no IEND"},
        {{header, idat, {"IEND", {0}}}, "IEND with data"},
        {{text, header, idat, iend()}, "IHDR not first"},
        {{header, iend()}, "no IDAT"},
        {{header, {"IDAT", {}}, iend()}, "only an empty IDAT"},
        {{shortHeader, idat, iend()}, "short IHDR"},
        {{header, {"ZZZZ", {}}, idat, iend()}, "unknown critical chunk"},
        {{header, header, idat, iend()}, "second IHDR"}};
    for (const auto& [chunks, problem] : refused) EXPECT_FALSE(decodes(png_file(chunks))) << problem;
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
                                       zlib_stored(unfiltered_scanlines(Bytes(rowBytes * 2, 0), rowBytes)),
                                       palette)),
                      accepted)
                << "colour " << colour << " depth " << depth;
        }
    }
}

// Fields of the sample's header (6 x 5, grey, 8-bit) set to a refused value.
TEST(PngHeader, ZeroSizesAndUnknownMethodsAreRefused) {
    const Sample s;
    const std::tuple<size_t, uint8_t, const char*> fields[] = {{3, 0, "zero width"},
                                                               {7, 0, "zero height"},
                                                               {10, 1, "compression"},
                                                               {11, 1, "filter method"},
                                                               {12, 2, "interlace"}};
    for (const auto& [field, value, what] : fields) {
        Chunk h = ihdr(6, 5, 8, 0);
        h.data[field] = value;
        EXPECT_FALSE(decodes(png_with(h, s.zlib))) << what;
    }
}

TEST(PngHeader, HugeDimensionsAreRefusedWithoutAllocating) {
    // Sizes no small IDAT could ever fill, up to a product beyond 2^62.
    const Bytes tiny = zlib_stored(Bytes(64, 0));
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{0x80000000u, 0x80000000u},
                        {0xFFFFFFFFu, 0xFFFFFFFFu},
                        {0xFFFFFFFFu, 1},
                        {1, 0xFFFFFFFFu},
                        {100000, 100000}}) {
        for (uint8_t colour : {0, 6}) {
            for (uint8_t interlace : {0, 1}) {
                Image image;
                EXPECT_FALSE(decodes(png_with(ihdr(w, h, colour ? 16 : 8, colour, interlace), tiny), image))
                    << w << "x" << h;
                EXPECT_TRUE(image.pixels.empty());
            }
        }
    }
}

// ------------------------------------------------------------- scanlines

TEST(PngFilters, EveryFilterTypeDecodes) {
    // bpp 1 (grey 8), 3 (RGB 8), 4 (grey+alpha 16) and 8 (RGBA 16) with each filter on every row,
    // then all filters mixed, first row included.
    struct Format {
        uint8_t depth, colour;
        size_t bpp;
    };
    for (Format f : {Format{8, 0, 1}, Format{8, 2, 3}, Format{16, 4, 4}, Format{16, 6, 8}, Format{8, 6, 4}}) {
        const uint32_t w = 7, h = 6;
        const size_t rowBytes = w * f.bpp;
        const Bytes samples = random_bytes(rowBytes * h, 11 + f.bpp);
        const Bytes reference =
            decoded(ihdr(w, h, f.depth, f.colour), unfiltered_scanlines(samples, rowBytes));
        ASSERT_FALSE(reference.empty());
        for (int filter = 0; filter <= 5; ++filter) {
            auto pick = [filter](size_t y) { return filter == 5 ? int(y % 5) : filter; };
            EXPECT_EQ(decoded(ihdr(w, h, f.depth, f.colour), scanlines(samples, rowBytes, f.bpp, pick)),
                      reference)
                << "filter " << filter << " bpp " << f.bpp;
        }
    }
}

TEST(PngFilters, UnfilterRowDirectly) {
    const Bytes row = {10, 20, 30, 40, 250, 5};
    const Bytes previous = {1, 2, 3, 200, 100, 7};
    for (int filter = 0; filter <= 4; ++filter) {
        for (const Bytes* prev : {&previous, static_cast<const Bytes*>(nullptr)}) {
            const Bytes filtered =
                filter_line(filter, row.data(), prev ? prev->data() : nullptr, row.size(), 2);
            Bytes out(row.size());
            ASSERT_TRUE(bv::png::unfilter_row_to(uint8_t(filter), out.data(), filtered.data(),
                                                 prev ? prev->data() : nullptr, row.size(), 2));
            EXPECT_EQ(out, row) << "filter " << filter << (prev ? "" : " first row");
            Bytes inPlace = filtered;
            ASSERT_TRUE(bv::png::unfilter_row_to(uint8_t(filter), inPlace.data(), inPlace.data(),
                                                 prev ? prev->data() : nullptr, row.size(), 2));
            EXPECT_EQ(inPlace, row) << "in place, filter " << filter;
        }
    }
    Bytes out(row.size());
    EXPECT_FALSE(bv::png::unfilter_row_to(5, out.data(), row.data(), nullptr, row.size(), 2));
    EXPECT_FALSE(bv::png::unfilter_row_to(1, out.data(), row.data(), nullptr, row.size(), 0));
}

// Five rows of six bytes, each behind its filter byte, and nothing more or less.
TEST(PngScanlines, StreamMustHoldExactlyTheScanlinesWithKnownFilters) {
    const Sample s;
    Bytes unknownFilter = s.raw, longer = s.raw, shorter = s.raw;
    unknownFilter[7] = 5; // filter byte of the second row
    longer.push_back(0);
    shorter.pop_back();
    for (const Bytes* raw : {&unknownFilter, &longer, &shorter})
        EXPECT_TRUE(decoded(ihdr(6, 5, 8, 0), *raw).empty()) << raw->size();
}

TEST(PngScanlines, Adam7MatchesThePlainImage) {
    for (uint32_t w = 1; w <= 11; ++w) {
        for (uint32_t h = 1; h <= 11; ++h) {
            const Bytes pixels = random_bytes(size_t(w) * h * 4, w * 100 + h);
            Bytes stream;
            for (int p = 0; p < 7; ++p) {
                static const uint32_t sx[7] = {0, 4, 0, 2, 0, 1, 0}, sy[7] = {0, 0, 4, 0, 2, 0, 1},
                                      dx[7] = {8, 8, 4, 4, 2, 2, 1}, dy[7] = {8, 8, 8, 4, 4, 2, 2};
                Bytes rows;
                size_t passWidth = 0;
                for (uint32_t y = sy[p]; y < h; y += dy[p]) {
                    passWidth = 0;
                    for (uint32_t x = sx[p]; x < w; x += dx[p], ++passWidth)
                        rows.insert(rows.end(), pixels.begin() + long((y * w + x) * 4),
                                    pixels.begin() + long((y * w + x) * 4 + 4));
                }
                if (passWidth == 0 || rows.empty()) continue;
                Bytes lines = scanlines(rows, passWidth * 4, 4, [p](size_t y) { return int((y + p) % 5); });
                stream.insert(stream.end(), lines.begin(), lines.end());
            }
            EXPECT_EQ(decoded(ihdr(w, h, 8, 6, 1), stream), pixels) << w << "x" << h;
        }
    }
    // One by one: only the first pass has a pixel.
    EXPECT_EQ(decoded(ihdr(1, 1, 8, 2, 1), {0, 9, 8, 7}), Bytes({9, 8, 7, 255}));
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
    EXPECT_EQ(decoded(ihdr(2, 1, 8, 4), {0, 10, 20, 30, 40}), Bytes({10, 10, 10, 20, 30, 30, 30, 40}));
    EXPECT_EQ(decoded(ihdr(1, 1, 16, 6), {0, 0xFF, 0xFF, 0, 0, 0x80, 0x80, 0x01, 0x00}),
              Bytes({255, 0, 128, 1}));
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
    int used = 8;
    void bits(uint32_t value, int count) {
        for (int i = 0; i < count; ++i) {
            if (used == 8) {
                out.push_back(0);
                used = 0;
            }
            out.back() |= uint8_t(((value >> i) & 1) << used++);
        }
    }
    void code(uint32_t code, int length) {
        for (int i = length - 1; i >= 0; --i) bits((code >> i) & 1, 1);
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
    z.insert(z.end(), deflate.begin(), deflate.end());
    put32(z, slow_adler32(payload));
    return z;
}

bool inflate(const Bytes& z, Bytes& out) {
    bv::png::Inflater inflater;
    const bool ok = inflater.start({{z.data(), z.size()}});
    out = inflater.output();
    return ok;
}
// Whether a raw deflate stream, framed for `payload`, inflates.
bool inflates(const Bytes& deflate, const Bytes& payload = {}) {
    Bytes out;
    return inflate(zlib_wrap(deflate, payload), out);
}

// One final block of the fixed code: `symbols` are (literal/length symbol,
// 5-bit distance code or -1), then the end of block.
Bytes fixed_block(const std::vector<std::pair<int, int>>& symbols) {
    BitWriter w;
    w.bits(1, 1); // final
    w.bits(1, 2); // fixed
    auto literal = [&w](int symbol) {
        if (symbol < 144)
            w.code(0x30 + symbol, 8);
        else if (symbol < 256)
            w.code(0x190 + symbol - 144, 9);
        else if (symbol < 280)
            w.code(symbol - 256, 7);
        else
            w.code(0xC0 + symbol - 280, 8);
    };
    for (auto [symbol, distance] : symbols) {
        literal(symbol);
        if (distance >= 0) w.code(uint32_t(distance), 5);
    }
    literal(256);
    return w.out;
}

TEST(PngInflate, FixedHuffmanBlock) {
    // Length 7 (symbol 261) at distance 3 (code 2): an overlapping copy; length 3 at distance 1.
    const Bytes expected = bytes_of("abcabcabcazzzz");
    Bytes out;
    ASSERT_TRUE(inflate(
        zlib_wrap(fixed_block({{'a', -1}, {'b', -1}, {'c', -1}, {261, 2}, {'z', -1}, {257, 0}}), expected),
        out));
    EXPECT_EQ(out, expected);
    // A distance (2, code 1) reaching before the start of the output.
    EXPECT_FALSE(inflates(fixed_block({{'a', -1}, {257, 1}}), bytes_of("a")));
    // Literal/length symbols 286, 287 and distance symbols 30, 31 exist in the fixed code but are invalid.
    for (int bad : {286, 287}) EXPECT_FALSE(inflates(fixed_block({{bad, 0}}))) << bad;
    for (int bad : {30, 31}) EXPECT_FALSE(inflates(fixed_block({{'a', -1}, {257, bad}}))) << bad;
}

// One dynamic block: the code-length code gives all 19 symbols 5 bits (an
// incomplete code, so their order does not matter), the lengths follow one
// by one, then `symbols` (literal/length symbol, distance code or -1).
// `lengthSymbols`, when given, replaces the lengths: code-length symbols with
// their extra bits.
Bytes dynamic_block(const std::vector<int>& literalLengths, const std::vector<int>& distanceLengths,
                    const std::vector<std::pair<int, int>>& symbols,
                    const std::vector<std::pair<int, int>>& lengthSymbols = {}) {
    BitWriter w;
    w.bits(1, 1);
    w.bits(2, 2);
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
    const auto literalCodes = canonical_codes(literalLengths),
               distanceCodes = canonical_codes(distanceLengths);
    for (auto [symbol, distance] : symbols) {
        w.code(literalCodes[size_t(symbol)], literalLengths[size_t(symbol)]);
        if (distance >= 0) w.code(distanceCodes[size_t(distance)], distanceLengths[size_t(distance)]);
    }
    return w.out;
}

TEST(PngInflate, DynamicHuffmanBlock) {
    std::vector<int> literals(286, 9), distances(30, 5);
    // Symbols: 'x', 'y', then length 4 (symbol 258) at distance 2 (code 1), end of block.
    const Bytes block = dynamic_block(literals, distances, {{'x', -1}, {'y', -1}, {258, 1}, {256, -1}});
    const Bytes expected = bytes_of("xyxyxy");
    Bytes out;
    ASSERT_TRUE(inflate(zlib_wrap(block, expected), out));
    EXPECT_EQ(out, expected);

    // Over-subscribed literal code: 286 symbols of 8 bits do not fit.
    EXPECT_FALSE(inflates(dynamic_block(std::vector<int>(286, 8), distances, {{256, -1}})));

    // A repeat (code 16) with nothing before it.
    EXPECT_FALSE(inflates(dynamic_block(literals, distances, {}, {{16, 0}})));

    // Zero runs (code 18) going past the 316 lengths.
    EXPECT_FALSE(inflates(dynamic_block(literals, distances, {}, {{18, 127}, {18, 127}, {18, 127}})));

    // A code length above 15 cannot be expressed; a code-length code that is over-subscribed can.
    // Final dynamic block, 257 + 1 lengths, four code-length codes of 1 bit each.
    BitWriter w;
    for (auto [value, count] :
         {std::pair{1, 1}, {2, 2}, {0, 5}, {0, 5}, {0, 4}, {1, 3}, {1, 3}, {1, 3}, {1, 3}, {0, 32}})
        w.bits(uint32_t(value), count);
    EXPECT_FALSE(inflates(w.out));
}

TEST(PngInflate, StoredBlocksAndZlibFraming) {
    const Bytes payload = random_bytes(70000, 3);
    Bytes out;
    ASSERT_TRUE(inflate(zlib_stored(payload, 1000), out));
    EXPECT_EQ(out, payload);
    ASSERT_TRUE(inflate(zlib_stored({}), out));
    EXPECT_TRUE(out.empty());

    const Bytes good = zlib_stored(bytes_of("hello"));
    auto broken = [&](size_t pos, uint8_t value) {
        Bytes z = good;
        z[pos] = value;
        return inflate(z, out);
    };
    EXPECT_FALSE(broken(0, 0x77)) << "compression method 7";
    EXPECT_FALSE(broken(1, 0x3F)) << "preset dictionary (0x783F is a multiple of 31)";
    EXPECT_FALSE(broken(1, 0x02)) << "header not a multiple of 31";
    EXPECT_FALSE(broken(2, 0x07)) << "block type 3";
    EXPECT_FALSE(broken(2, 0x00)) << "a block that is not final and nothing after it";
    EXPECT_FALSE(broken(5, 0x00)) << "LEN and NLEN disagree";
    EXPECT_FALSE(broken(good.size() - 1, good.back() ^ 1)) << "Adler-32";
    EXPECT_FALSE(broken(7, 'H')) << "payload changed under the Adler-32";

    for (size_t n = 0; n < good.size(); ++n) {
        bv::png::Inflater inflater;
        EXPECT_FALSE(inflater.start({{good.data(), n}})) << n;
    }

    // Inside a PNG: a method of 9 with the window size bits kept, and a wrong Adler-32.
    const Sample s;
    Bytes z = s.zlib;
    z[0] = 0x79;
    EXPECT_FALSE(decodes(png_with(ihdr(6, 5, 8, 0), z)));
    z = s.zlib;
    z.back() ^= 0x10;
    EXPECT_FALSE(decodes(png_with(ihdr(6, 5, 8, 0), z)));
}

TEST(PngInflate, SpansAreJoinedAndOutputIsBounded) {
    const Bytes payload = random_bytes(5000, 4);
    const Bytes z = zlib_stored(payload, 777);
    std::vector<bv::png::ByteSpan> spans;
    for (size_t i = 0; i < z.size(); i += 100)
        spans.push_back({z.data() + i, std::min<size_t>(100, z.size() - i)});
    bv::png::Inflater inflater;
    ASSERT_TRUE(inflater.start(spans));
    EXPECT_EQ(inflater.output(), payload);
    EXPECT_TRUE(inflater.start(spans, payload.size()));
    EXPECT_FALSE(inflater.start(spans, payload.size() - 1));
    EXPECT_TRUE(inflater.output().empty());
}

// ---------------------------------------------------------------- writer

TEST(PngWriter, OneByOneLayoutAndExactRoundTrips) {
    Bytes zlib = {0x78, 0x01, 0x01, 0x05, 0x00, 0xFA, 0xFF, 0, 1, 2, 3, 4};
    put32(zlib, slow_adler32({0, 1, 2, 3, 4}));
    EXPECT_EQ(saved({1, 2, 3, 4}, 1, 1), png_with(ihdr(1, 1, 8, 6), zlib));

    for (auto [w, h] : {std::pair<int, int>{1, 1}, {1, 9}, {9, 1}, {3, 7}, {64, 33}, {257, 300}}) {
        const Bytes pixels = random_bytes(size_t(w) * size_t(h) * 4, uint32_t(w * 1000 + h));
        Image image;
        EXPECT_TRUE(decodes(saved(pixels, w, h), image));
        EXPECT_EQ(std::tie(image.width, image.height, image.pixels),
                  std::tuple(uint32_t(w), uint32_t(h), pixels))
            << w << "x" << h;
    }
}

TEST(PngWriter, LargeImagesSplitIntoStoredBlocksAndIdatChunks) {
    const int w = 300, h = 300; // 360300 raw bytes: 6 stored blocks, 2 IDAT chunks
    const Bytes pixels = random_bytes(size_t(w) * h * 4, 5);
    const auto chunks = chunks_of(saved(pixels, w, h));
    std::string types;
    for (const Chunk& c : chunks) types += c.type;
    ASSERT_EQ(types, "IHDRIDATIDATIEND");
    EXPECT_EQ(chunks[1].data.size(), 262144u);
    Bytes zlib = chunks[1].data;
    zlib.insert(zlib.end(), chunks[2].data.begin(), chunks[2].data.end());
    EXPECT_EQ(zlib.size(), 2 + 360300 + 6 * 5 + 4u);
    EXPECT_EQ(unstore(zlib).size(), 360300u);
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
    // Average and Paeth never appear, whatever the picture.
    const Bytes noiseRaw = unstore(chunks_of(saved(random_bytes(40 * 40 * 4, 9), 40, 40)).at(1).data);
    for (size_t y = 0; y < 40; ++y) EXPECT_LE(noiseRaw[y * 161], 2);
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
