// PNG reader and writer, zlib inflate, CRC-32 and Adler-32.
//
// Reading keeps the whole file and the whole decompressed stream in memory:
// chunks are walked and checked first, the IDAT data is inflated in one go
// into a buffer of exactly the expected size, and each scanline is then
// unfiltered in place and converted straight into the RGBA output.
#include "png.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace bv::png {
namespace {

constexpr uint8_t kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};

// Adam7 pass grid.
constexpr uint32_t kAdam7StartX[7] = {0, 4, 0, 2, 0, 1, 0};
constexpr uint32_t kAdam7StartY[7] = {0, 0, 4, 0, 2, 0, 1};
constexpr uint32_t kAdam7StepX[7] = {8, 8, 4, 4, 2, 2, 1};
constexpr uint32_t kAdam7StepY[7] = {8, 8, 8, 4, 4, 2, 2};

constexpr size_t kMaxIdatChunk = 262144;
constexpr size_t kMaxStoredBlock = 65535;

// Deflate codes a 258-byte match in as little as two bits, so no stream can
// expand by more than this. It lets us refuse impossible sizes before
// allocating anything for them.
constexpr uint64_t kMaxInflateRatio = 1032;

uint32_t read_be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
uint32_t read_be16(const uint8_t* p) {
    return uint32_t(p[0]) << 8 | uint32_t(p[1]);
}

void put_be32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// Samples per pixel of each colour type; 0 for the undefined ones.
int channels_of(uint8_t colorType) {
    constexpr int kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
    return colorType < 7 ? kChannels[colorType] : 0;
}

// ---------------------------------------------------------------- checksums

// tables[0] is the classic byte-at-a-time table; tables[k] carries an entry
// through k more bytes, which lets the loop fold 16 input bytes per step
// instead of one (CRC checking is most of the reading time of a stored file).
// Built on first use; a function-local static makes that thread-safe.
using CrcTables = std::array<std::array<uint32_t, 256>, 16>;

const CrcTables& crc_tables() {
    static const CrcTables tables = [] {
        CrcTables t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][n] = c;
        }
        for (size_t k = 1; k < 16; ++k)
            for (size_t n = 0; n < 256; ++n) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
        return t;
    }();
    return tables;
}

// Compilers turn these into single loads on little-endian machines.
uint32_t read_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t read_le64(const uint8_t* p) {
    return uint64_t(read_le32(p)) | uint64_t(read_le32(p + 4)) << 32;
}

// ------------------------------------------------------------------ inflate

constexpr int kMaxCodeLength = 15;
constexpr int kFastBits = 10;

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistanceBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                        33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                        1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Canonical Huffman code: codes per length and the symbols in code order,
// plus a direct lookup for every code of at most kFastBits bits.
struct HuffmanTable {
    std::array<uint16_t, kMaxCodeLength + 1> counts{};
    std::array<uint16_t, 288> symbols{};
    int maxLength = 0;
    // Indexed by the next kFastBits input bits: (symbol << 4) | code length,
    // or 0 when the code is longer (or unused).
    std::array<uint16_t, 1 << kFastBits> fast{};

    bool build(const uint8_t* lengths, size_t count);
};

uint32_t reverse_bits(uint32_t code, int length) {
    uint32_t reversed = 0;
    for (int i = 0; i < length; ++i, code >>= 1) reversed = reversed << 1 | (code & 1);
    return reversed;
}

bool HuffmanTable::build(const uint8_t* lengths, size_t count) {
    counts.fill(0);
    for (size_t i = 0; i < count; ++i) {
        if (lengths[i] > kMaxCodeLength) return false;
        ++counts[lengths[i]];
    }
    counts[0] = 0;
    int left = 1; // codes still free at the current length
    maxLength = 0;
    for (int len = 1; len <= kMaxCodeLength; ++len) {
        left = 2 * left - counts[len];
        if (left < 0) return false; // over-subscribed
        if (counts[len]) maxLength = len;
    }
    // Incomplete codes are accepted: their unused bit patterns fail when met.
    std::array<uint16_t, kMaxCodeLength + 2> offsets{};
    for (int len = 1; len <= kMaxCodeLength; ++len) offsets[len + 1] = uint16_t(offsets[len] + counts[len]);
    for (size_t i = 0; i < count; ++i)
        if (lengths[i]) symbols[offsets[lengths[i]]++] = uint16_t(i);

    // Deflate sends Huffman codes most significant bit first into an LSB-first
    // stream, hence the bit reversal of the lookup index.
    fast.fill(0);
    uint32_t code = 0;
    size_t index = 0;
    for (int len = 1; len <= kFastBits; ++len, code <<= 1) {
        for (int n = 0; n < counts[len]; ++n, ++code) {
            const uint16_t entry = uint16_t(symbols[index++] << 4 | len);
            for (uint32_t r = reverse_bits(code, len); r < fast.size(); r += 1u << len) fast[r] = entry;
        }
    }
    return true;
}

// Reads bits least significant first. Past the end it feeds zero bits and
// counts them, so the hot loops need no bounds checks; overrun() tells
// whether any of those padding bits was consumed.
struct BitReader {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;    // next byte not yet in `bits`
    uint64_t bits = 0; // bits above `count` may hold a copy of data[pos...]: harmless, they get OR-ed again
    int count = 0;
    int padding = 0; // zero bits appended past the end

    // Leaves at least 56 bits in the buffer.
    void refill() {
        if (size - pos >= 8) {
            bits |= read_le64(data + pos) << count;
            pos += size_t(63 - count) >> 3;
            count |= 56;
            return;
        }
        for (; count < 56; count += 8) {
            if (pos < size)
                bits |= uint64_t(data[pos++]) << count;
            else
                padding += 8;
        }
    }
    uint32_t peek(int n) const { return uint32_t(bits & ((uint64_t(1) << n) - 1)); }
    void consume(int n) {
        bits >>= n;
        count -= n;
    }
    uint32_t take(int n) {
        const uint32_t v = peek(n);
        consume(n);
        return v;
    }
    bool overrun() const { return padding > count; }
};

// Codes longer than kFastBits: walks the canonical code one bit at a time.
// Returns an entry like the fast table's, or 0 for a bit pattern that an
// incomplete code does not use. Takes the bits by value so that the reader's
// state never escapes the inlined hot loop.
uint32_t decode_slow(uint64_t bits, const HuffmanTable& table) {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= table.maxLength; ++len, bits >>= 1) {
        code |= int(bits & 1);
        const int count = table.counts[len];
        if (code - first < count) return uint32_t(table.symbols[index + code - first]) << 4 | uint32_t(len);
        index += count;
        first = (first + count) << 1;
        code <<= 1;
    }
    return 0;
}

// Returns the next symbol, or -1. Leaves at least 41 bits buffered, enough
// for any extra bits that follow a symbol.
inline int decode_symbol(BitReader& in, const HuffmanTable& table) {
    in.refill();
    uint32_t entry = table.fast[in.peek(kFastBits)];
    if (!entry && !(entry = decode_slow(in.bits, table))) return -1;
    in.consume(int(entry & 15));
    return int(entry >> 4);
}

const HuffmanTable& fixed_literal_table() {
    static const HuffmanTable table = [] {
        uint8_t lengths[288];
        std::fill(lengths, lengths + 144, 8);
        std::fill(lengths + 144, lengths + 256, 9);
        std::fill(lengths + 256, lengths + 280, 7);
        std::fill(lengths + 280, lengths + 288, 8);
        HuffmanTable t;
        t.build(lengths, 288);
        return t;
    }();
    return table;
}

const HuffmanTable& fixed_distance_table() {
    static const HuffmanTable table = [] {
        uint8_t lengths[32];
        std::fill(lengths, lengths + 32, 5);
        HuffmanTable t;
        t.build(lengths, 32);
        return t;
    }();
    return table;
}

// The output grows on demand but never past `limit`.
struct OutputBuffer {
    std::vector<uint8_t>& bytes;
    size_t size;
    size_t limit;

    bool room_for(size_t n) { return n <= bytes.size() - size || grow(n); }
    bool grow(size_t n) {
        if (n > limit - size) return false;
        bytes.resize(std::max(size + n, std::min(limit, bytes.size() * 2)));
        return true;
    }
};

bool inflate_stored(BitReader& in, OutputBuffer& out) {
    in.consume(in.count & 7); // to a byte boundary
    in.refill();
    const uint32_t length = in.take(16);
    const uint32_t complement = in.take(16);
    if (in.overrun() || length != (~complement & 0xFFFF)) return false;
    // Give the bytes still buffered back to the byte stream and copy straight from it.
    const size_t pos = in.pos - size_t(in.count - in.padding) / 8;
    if (length > in.size - pos || !out.room_for(length)) return false;
    std::memcpy(out.bytes.data() + out.size, in.data + pos, length);
    out.size += length;
    in.pos = pos + length;
    in.bits = 0;
    in.count = 0;
    in.padding = 0;
    return true;
}

// Copies `length` bytes from `distance` back. `room` is the space left after
// dst: with 8 bytes to spare, copying whole words and overshooting is
// cheaper than a library call per short match.
inline void copy_match(uint8_t* dst, size_t distance, size_t length, size_t room) {
    const uint8_t* src = dst - distance;
    if (distance >= 8 && room >= length + 8) {
        for (uint8_t* end = dst + length; dst < end; dst += 8, src += 8) std::memcpy(dst, src, 8);
    } else if (distance >= length) {
        std::memcpy(dst, src, length);
    } else if (distance == 1) {
        std::memset(dst, src[0], length);
    } else {
        for (size_t i = 0; i < length; ++i) dst[i] = src[i]; // overlapping: repeats the last `distance` bytes
    }
}

bool inflate_codes(BitReader& reader, OutputBuffer& output, const HuffmanTable& literals,
                   const HuffmanTable& distances) {
    // Work on local copies: every byte stored through `out` could otherwise
    // alias the reader and the buffer fields, forcing reloads in the hot loop.
    BitReader in = reader;
    uint8_t* begin = output.bytes.data();
    uint8_t* out = begin + output.size;
    uint8_t* end = begin + output.bytes.size();
    auto room_for = [&](size_t n) {
        if (n <= size_t(end - out)) return true;
        output.size = size_t(out - begin);
        if (!output.grow(n)) return false;
        begin = output.bytes.data();
        out = begin + output.size;
        end = begin + output.bytes.size();
        return true;
    };
    bool ok = false;
    for (;;) {
        int symbol = decode_symbol(in, literals);
        if (symbol < 0 || in.overrun()) break;
        if (symbol < 256) {
            if (!room_for(1)) break;
            *out++ = uint8_t(symbol);
            continue;
        }
        if (symbol == 256) {
            ok = true;
            break;
        }
        symbol -= 257;
        if (symbol >= 29) break;
        const size_t length = kLengthBase[symbol] + in.take(kLengthExtra[symbol]);
        const int code = decode_symbol(in, distances);
        if (code < 0 || code >= 30) break;
        const size_t distance = kDistanceBase[code] + in.take(kDistanceExtra[code]);
        if (in.overrun() || distance > size_t(out - begin) || !room_for(length)) break;
        copy_match(out, distance, length, size_t(end - out));
        out += length;
    }
    reader = in;
    output.size = size_t(out - begin);
    return ok;
}

bool read_dynamic_tables(BitReader& in, HuffmanTable& literals, HuffmanTable& distances) {
    static constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                     11, 4,  12, 3, 13, 2, 14, 1, 15};
    in.refill();
    const size_t literalCount = 257 + in.take(5);
    const size_t distanceCount = 1 + in.take(5);
    const size_t codeLengthCount = 4 + in.take(4);
    uint8_t codeLengthLengths[19] = {};
    for (size_t i = 0; i < codeLengthCount; ++i) {
        in.refill();
        codeLengthLengths[kCodeLengthOrder[i]] = uint8_t(in.take(3));
    }
    HuffmanTable codeLengths;
    if (!codeLengths.build(codeLengthLengths, 19)) return false;

    // Literal/length and distance code lengths form one run-length coded sequence.
    uint8_t lengths[288 + 32] = {};
    const size_t total = literalCount + distanceCount;
    for (size_t i = 0; i < total;) {
        const int symbol = decode_symbol(in, codeLengths);
        if (symbol < 0 || in.overrun()) return false;
        if (symbol < 16) {
            lengths[i++] = uint8_t(symbol);
            continue;
        }
        uint8_t value = 0;
        size_t repeat;
        if (symbol == 16) {
            if (i == 0) return false; // nothing to repeat
            value = lengths[i - 1];
            repeat = 3 + in.take(2);
        } else if (symbol == 17) {
            repeat = 3 + in.take(3);
        } else {
            repeat = 11 + in.take(7);
        }
        if (repeat > total - i) return false;
        std::fill_n(lengths + i, repeat, value);
        i += repeat;
    }
    return !in.overrun() && literals.build(lengths, literalCount) &&
           distances.build(lengths + literalCount, distanceCount);
}

bool inflate_dynamic(BitReader& in, OutputBuffer& out) {
    HuffmanTable literals, distances;
    return read_dynamic_tables(in, literals, distances) && inflate_codes(in, out, literals, distances);
}

bool inflate_blocks(BitReader& in, OutputBuffer& out) {
    for (bool last = false; !last;) {
        in.refill();
        last = in.take(1) != 0;
        bool ok = false;
        switch (in.take(2)) {
        case 0:
            ok = inflate_stored(in, out);
            break;
        case 1:
            ok = inflate_codes(in, out, fixed_literal_table(), fixed_distance_table());
            break;
        case 2:
            ok = inflate_dynamic(in, out);
            break;
        default:
            break; // reserved block type
        }
        if (!ok || in.overrun()) return false;
    }
    return true;
}

// ------------------------------------------------------------------ decoder

struct ParsedPng {
    uint32_t width = 0, height = 0;
    uint8_t bitDepth = 0, colorType = 0, compression = 0, filterMethod = 0, interlace = 0;
    bool sawHeader = false, sawEnd = false, sawPalette = false, sawTransparency = false;
    ByteSpan palette, transparency;
    std::vector<ByteSpan> idat;
    size_t idatTotal = 0;
    std::array<uint8_t, 256 * 4> paletteRgba{};
    size_t paletteEntries = 0;
    uint16_t greyKey = 0;
    std::array<uint16_t, 3> rgbKey{};
    bool hasGreyKey = false, hasRgbKey = false;
};

bool is_chunk(const uint8_t* type, const char* name) {
    return std::memcmp(type, name, 4) == 0;
}

bool read_header(const uint8_t* body, uint32_t length, ParsedPng& png) {
    if (length != 13) return false;
    png.width = read_be32(body);
    png.height = read_be32(body + 4);
    png.bitDepth = body[8];
    png.colorType = body[9];
    png.compression = body[10];
    png.filterMethod = body[11];
    png.interlace = body[12];
    png.sawHeader = true;
    const bool depthAccepted = png.colorType == 3
                                   ? png.bitDepth == 8
                                   : channels_of(png.colorType) && (png.bitDepth == 8 || png.bitDepth == 16);
    return png.width && png.height && png.compression == 0 && png.filterMethod == 0 && png.interlace <= 1 &&
           depthAccepted;
}

bool transparency_fits(uint32_t length, const ParsedPng& png) {
    switch (png.colorType) {
    case 0:
        return length == 2;
    case 2:
        return length == 6;
    case 3:
        return length <= png.palette.size / 3; // PLTE must come first
    default:
        return false; // the image has an alpha channel already
    }
}

// Walks and checks every chunk, keeping what decoding needs.
bool read_chunks(const uint8_t* data, size_t size, ParsedPng& png) {
    if (size < 20 || std::memcmp(data, kSignature, 8) != 0) return false;
    for (size_t offset = 8; size - offset >= 12;) {
        const uint32_t length = read_be32(data + offset);
        if (length > size - offset - 12) return false;
        const uint8_t* type = data + offset + 4;
        const uint8_t* body = type + 4;
        const uint32_t crc = crc32_update(0xFFFFFFFFu, type, 4 + size_t(length)) ^ 0xFFFFFFFFu;
        if (crc != read_be32(body + length)) return false;
        offset += 12 + size_t(length);

        if (!png.sawHeader) {
            if (!is_chunk(type, "IHDR") || !read_header(body, length, png)) return false;
        } else if (is_chunk(type, "IDAT")) {
            if (length) png.idat.push_back({body, length});
            png.idatTotal += length;
        } else if (is_chunk(type, "PLTE")) {
            if (png.sawPalette || length == 0 || length > 768 || length % 3) return false;
            png.palette = {body, length};
            png.sawPalette = true;
        } else if (is_chunk(type, "tRNS")) {
            if (png.sawTransparency || !transparency_fits(length, png)) return false;
            png.transparency = {body, length};
            png.sawTransparency = true;
        } else if (is_chunk(type, "IEND")) {
            if (length != 0) return false;
            png.sawEnd = true;
            break;
        } else if (!(type[0] & 0x20)) {
            return false; // unknown critical chunk, or a second IHDR
        }
    }
    return png.sawEnd && png.idatTotal > 0;
}

// Turns the palette and tRNS bytes into the lookup tables of the conversion.
bool prepare_colors(ParsedPng& png) {
    const uint8_t* t = png.transparency.data;
    if (png.colorType == 3) {
        if (!png.sawPalette) return false;
        png.paletteEntries = png.palette.size / 3;
        for (size_t i = 0; i < png.paletteEntries; ++i) {
            std::memcpy(&png.paletteRgba[i * 4], png.palette.data + i * 3, 3);
            png.paletteRgba[i * 4 + 3] = i < png.transparency.size ? t[i] : 255;
        }
    } else if (png.colorType == 0 && png.sawTransparency) {
        png.hasGreyKey = true;
        png.greyKey = uint16_t(read_be16(t));
    } else if (png.colorType == 2 && png.sawTransparency) {
        png.hasRgbKey = true;
        for (int c = 0; c < 3; ++c) png.rgbKey[c] = uint16_t(read_be16(t + 2 * c));
    }
    return true;
}

struct Pass {
    uint32_t width, height, startX, startY, stepX, stepY;
};

// The non-empty passes: one for a plain image, up to seven for Adam7.
int make_passes(const ParsedPng& png, Pass* passes) {
    if (!png.interlace) {
        passes[0] = {png.width, png.height, 0, 0, 1, 1};
        return 1;
    }
    int count = 0;
    for (int p = 0; p < 7; ++p) {
        const uint32_t sx = kAdam7StartX[p], sy = kAdam7StartY[p], dx = kAdam7StepX[p], dy = kAdam7StepY[p];
        if (png.width <= sx || png.height <= sy) continue;
        passes[count++] = {(png.width - sx - 1) / dx + 1, (png.height - sy - 1) / dy + 1, sx, sy, dx, dy};
    }
    return count;
}

uint64_t scanline_bytes(const ParsedPng& png, uint32_t width) {
    return (uint64_t(width) * uint64_t(channels_of(png.colorType)) * png.bitDepth + 7) / 8;
}

// Size of all the filtered scanlines, or false when it exceeds `limit`.
bool stream_size(const ParsedPng& png, const Pass* passes, int passCount, uint64_t limit, uint64_t& total) {
    total = 0;
    for (int p = 0; p < passCount; ++p) {
        const uint64_t line = 1 + scanline_bytes(png, passes[p].width);
        if (passes[p].height > (limit - total) / line) return false;
        total += passes[p].height * line;
    }
    return true;
}

// round(v * 255 / 65535) in integers.
inline uint8_t reduce16(uint32_t v) {
    return uint8_t((v * 255 + 32767) / 65535);
}

template <int Depth> inline uint32_t sample(const uint8_t* p, size_t i) {
    if constexpr (Depth == 8)
        return p[i];
    else
        return read_be16(p + 2 * i);
}
template <int Depth> inline uint8_t sample8(const uint8_t* p, size_t i) {
    if constexpr (Depth == 8)
        return p[i];
    else
        return reduce16(read_be16(p + 2 * i));
}

inline void put_rgba(uint8_t* dst, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    dst[0] = r;
    dst[1] = g;
    dst[2] = b;
    dst[3] = a;
}

// Converts one unfiltered scanline of `count` pixels to RGBA8, writing every
// `step` bytes (wider than 4 for Adam7 passes). Fails on a palette index
// outside the palette.
template <int Depth>
bool convert_row(const ParsedPng& png, const uint8_t* src, uint32_t count, uint8_t* dst, size_t step) {
    switch (png.colorType) {
    case 0:
        for (uint32_t x = 0; x < count; ++x, dst += step) {
            const uint32_t v = sample<Depth>(src, x); // the key is compared at the sample's own depth
            const uint8_t g = Depth == 8 ? uint8_t(v) : reduce16(v);
            put_rgba(dst, g, g, g, png.hasGreyKey && v == png.greyKey ? 0 : 255);
        }
        return true;
    case 2:
        for (uint32_t x = 0; x < count; ++x, dst += step) {
            const uint32_t r = sample<Depth>(src, 3 * x), g = sample<Depth>(src, 3 * x + 1),
                           b = sample<Depth>(src, 3 * x + 2);
            const bool keyed =
                png.hasRgbKey && r == png.rgbKey[0] && g == png.rgbKey[1] && b == png.rgbKey[2];
            if constexpr (Depth == 8)
                put_rgba(dst, uint8_t(r), uint8_t(g), uint8_t(b), keyed ? 0 : 255);
            else
                put_rgba(dst, reduce16(r), reduce16(g), reduce16(b), keyed ? 0 : 255);
        }
        return true;
    case 3:
        for (uint32_t x = 0; x < count; ++x, dst += step) {
            if (src[x] >= png.paletteEntries) return false;
            std::memcpy(dst, &png.paletteRgba[size_t(src[x]) * 4], 4);
        }
        return true;
    case 4:
        for (uint32_t x = 0; x < count; ++x, dst += step) {
            const uint8_t g = sample8<Depth>(src, 2 * x);
            put_rgba(dst, g, g, g, sample8<Depth>(src, 2 * x + 1));
        }
        return true;
    case 6:
        for (uint32_t x = 0; x < count; ++x, dst += step)
            put_rgba(dst, sample8<Depth>(src, 4 * x), sample8<Depth>(src, 4 * x + 1),
                     sample8<Depth>(src, 4 * x + 2), sample8<Depth>(src, 4 * x + 3));
        return true;
    default:
        return false;
    }
}

// The predictor of filter 4: whichever of left, up and upper-left is closest to left + up - upper-left.
// Written as two selects rather than nested branches: the choice is
// data-dependent and mispredicts badly, while selects compile to cmov.
inline uint8_t paeth(int a, int b, int c) {
    int pa = std::abs(b - c);
    const int pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    int best = a;
    best = pb < pa ? b : best; // ties go to a, then b, then c
    pa = pb < pa ? pb : pa;
    return uint8_t(pc < pa ? c : best);
}

// Adds eight byte lanes at once, without carries between them.
inline uint64_t add_bytes(uint64_t x, uint64_t y) {
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    return ((x & ~kHigh) + (y & ~kHigh)) ^ ((x ^ y) & kHigh);
}

// Unfilters the scanlines of every pass and converts them into the image.
// `stream` holds exactly the expected number of bytes.
bool reconstruct(const ParsedPng& png, const Pass* passes, int passCount, uint8_t* stream, Image& image) {
    const size_t stride = size_t(png.width) * 4;
    if (png.colorType == 6 && png.bitDepth == 8 && !png.interlace) {
        // Unfiltered RGBA8 rows are the output rows already.
        const uint8_t* previous = nullptr;
        for (uint32_t y = 0; y < png.height; ++y, stream += 1 + stride) {
            uint8_t* out = image.pixels.data() + y * stride;
            if (!unfilter_row_to(stream[0], out, stream + 1, previous, stride, 4)) return false;
            previous = out;
        }
        return true;
    }
    const size_t bytesPerPixel =
        std::max<size_t>(1, (size_t(channels_of(png.colorType)) * png.bitDepth + 7) / 8);
    const auto convert = png.bitDepth == 8 ? &convert_row<8> : &convert_row<16>;
    for (int p = 0; p < passCount; ++p) {
        const Pass& pass = passes[p];
        const size_t lineBytes = size_t(scanline_bytes(png, pass.width));
        const uint8_t* previous = nullptr;
        for (uint32_t j = 0; j < pass.height; ++j, stream += 1 + lineBytes) {
            uint8_t* row = stream + 1;
            if (!unfilter_row_to(stream[0], row, row, previous, lineBytes, bytesPerPixel)) return false;
            const size_t y = pass.startY + size_t(j) * pass.stepY;
            uint8_t* dst = image.pixels.data() + y * stride + size_t(pass.startX) * 4;
            if (!convert(png, row, pass.width, dst, size_t(pass.stepX) * 4)) return false;
            previous = row;
        }
    }
    return true;
}

bool decode(const uint8_t* data, size_t size, Image& image) {
    ParsedPng png;
    if (!read_chunks(data, size, png) || !prepare_colors(png)) return false;

    // Refuse sizes the compressed data could never fill before allocating for them.
    Pass passes[7];
    const int passCount = make_passes(png, passes);
    const uint64_t possible = std::min<uint64_t>(
        png.idatTotal > UINT64_MAX / kMaxInflateRatio ? UINT64_MAX : png.idatTotal * kMaxInflateRatio,
        SIZE_MAX);
    uint64_t expected = 0;
    if (!stream_size(png, passes, passCount, possible, expected)) return false;
    const uint64_t pixelCount = uint64_t(png.width) * png.height;
    if (pixelCount > (uint64_t(1) << 60) || pixelCount > SIZE_MAX / 4) return false;

    image.width = png.width;
    image.height = png.height;
    image.pixels.assign(size_t(pixelCount) * 4, 0);

    Inflater inflater;
    if (!inflater.start(png.idat, size_t(expected)) || inflater.output().size() != expected) return false;
    return reconstruct(png, passes, passCount, inflater.output().data(), image);
}

// ------------------------------------------------------------------ encoder

// Reading the filtered bytes as signed values, small magnitudes mean a row
// that later recompression would shrink well.
inline uint32_t magnitude(uint8_t b) {
    return b < 128 ? b : 256u - b;
}

// Sum of magnitude(row[i] - base[i]), or of magnitude(row[i]) without a
// base. Whole 16-byte blocks have a fixed trip count, which the compiler
// vectorises.
template <bool HasBase> uint64_t filter_cost(const uint8_t* row, const uint8_t* base, size_t length) {
    auto at = [&](size_t k) { return magnitude(uint8_t(row[k] - (HasBase ? base[k] : 0))); };
    uint64_t cost = 0;
    size_t i = 0;
    for (; i + 16 <= length; i += 16) {
        uint32_t block = 0;
        for (size_t k = i; k < i + 16; ++k) block += at(k);
        cost += block;
    }
    for (; i < length; ++i) cost += at(i);
    return cost;
}

uint8_t choose_filter(const uint8_t* row, const uint8_t* previous, size_t length) {
    const size_t lead = std::min<size_t>(4, length); // the first pixel has no left neighbour
    const uint64_t none = filter_cost<false>(row, nullptr, length);
    const uint64_t sub =
        filter_cost<false>(row, nullptr, lead) + filter_cost<true>(row + lead, row, length - lead);
    if (previous) {
        const uint64_t up = filter_cost<true>(row, previous, length);
        if (up < none && up < sub) return 2;
    }
    return sub < none ? 1 : 0;
}

void filter_row(uint8_t filter, const uint8_t* row, const uint8_t* previous, size_t length, uint8_t* out) {
    switch (filter) {
    case 1:
        for (size_t i = 0; i < length; ++i) out[i] = uint8_t(row[i] - (i >= 4 ? row[i - 4] : 0));
        break;
    case 2:
        for (size_t i = 0; i < length; ++i) out[i] = uint8_t(row[i] - previous[i]);
        break;
    default:
        std::memcpy(out, row, length);
    }
}

// Filter byte + filtered row for every row.
std::vector<uint8_t> filtered_scanlines(const uint8_t* rgba, size_t stride, size_t height) {
    std::vector<uint8_t> raw((stride + 1) * height);
    uint8_t* out = raw.data();
    for (size_t y = 0; y < height; ++y, out += stride + 1) {
        const uint8_t* row = rgba + y * stride;
        const uint8_t* previous = y ? row - stride : nullptr;
        out[0] = choose_filter(row, previous, stride);
        filter_row(out[0], row, previous, stride, out + 1);
    }
    return raw;
}

// zlib stream of stored deflate blocks: no compression, but nearly free.
std::vector<uint8_t> stored_zlib_stream(const std::vector<uint8_t>& raw) {
    const size_t blocks = std::max<size_t>(1, (raw.size() + kMaxStoredBlock - 1) / kMaxStoredBlock);
    std::vector<uint8_t> z(2 + raw.size() + 5 * blocks + 4);
    uint8_t* out = z.data();
    *out++ = 0x78; // deflate, 32K window
    *out++ = 0x01; // no dictionary, fastest; 0x7801 is a multiple of 31
    size_t offset = 0;
    do {
        const size_t n = std::min(kMaxStoredBlock, raw.size() - offset);
        *out++ = offset + n == raw.size() ? 1 : 0; // BFINAL, block type 00
        out[0] = uint8_t(n);
        out[1] = uint8_t(n >> 8);
        out[2] = uint8_t(~n);
        out[3] = uint8_t(~n >> 8);
        out += 4;
        std::memcpy(out, raw.data() + offset, n);
        out += n;
        offset += n;
    } while (offset < raw.size());
    put_be32(out, adler32(raw.data(), raw.size()));
    return z;
}

bool read_whole_file(std::FILE* file, std::vector<uint8_t>& bytes) {
    if (std::fseek(file, 0, SEEK_END) != 0) return false;
    const long size = std::ftell(file);
    if (size <= 0 || std::fseek(file, 0, SEEK_SET) != 0) return false;
    // A directory opens and may claim any size; reading its first byte fails before we allocate for it.
    const int first = std::fgetc(file);
    if (first == EOF) return false;
    bytes.resize(size_t(size));
    bytes[0] = uint8_t(first);
    return std::fread(bytes.data() + 1, 1, bytes.size() - 1, file) == bytes.size() - 1;
}

} // namespace

// ------------------------------------------------------------ public pieces

uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t length) {
    const CrcTables& t = crc_tables();
    for (; length >= 16; length -= 16, data += 16) {
        const uint32_t w0 = crc ^ read_le32(data), w1 = read_le32(data + 4), w2 = read_le32(data + 8),
                       w3 = read_le32(data + 12);
        crc = t[15][w0 & 0xFF] ^ t[14][(w0 >> 8) & 0xFF] ^ t[13][(w0 >> 16) & 0xFF] ^ t[12][w0 >> 24] ^
              t[11][w1 & 0xFF] ^ t[10][(w1 >> 8) & 0xFF] ^ t[9][(w1 >> 16) & 0xFF] ^ t[8][w1 >> 24] ^
              t[7][w2 & 0xFF] ^ t[6][(w2 >> 8) & 0xFF] ^ t[5][(w2 >> 16) & 0xFF] ^ t[4][w2 >> 24] ^
              t[3][w3 & 0xFF] ^ t[2][(w3 >> 8) & 0xFF] ^ t[1][(w3 >> 16) & 0xFF] ^ t[0][w3 >> 24];
    }
    for (; length; --length) crc = t[0][(crc ^ *data++) & 0xFF] ^ (crc >> 8);
    return crc;
}

uint32_t adler32(const uint8_t* data, size_t length) {
    uint32_t a = 1, b = 0;
    while (length > 0) {
        // 5552 is the longest run whose sums cannot overflow 32 bits before the reduction.
        size_t run = std::min<size_t>(length, 5552);
        length -= run;
        // Whole 16-byte blocks as 16 independent lanes, which vectorise: per
        // lane, `sums` adds up its bytes and `prior` adds up, block by block,
        // the lane's sum before that block (what `a` carried into later b's).
        const size_t blocks = run / 16;
        if (blocks) {
            uint32_t sums[16] = {}, prior[16] = {};
            for (size_t j = 0; j < blocks; ++j, data += 16) {
                for (int i = 0; i < 16; ++i) {
                    prior[i] += sums[i];
                    sums[i] += data[i];
                }
            }
            uint64_t sum = 0, bGain = uint64_t(blocks) * 16 * a;
            for (int i = 0; i < 16; ++i) {
                sum += sums[i];
                bGain += 16 * uint64_t(prior[i]) + uint64_t(16 - i) * sums[i];
            }
            a = uint32_t((a + sum) % 65521);
            b = uint32_t((b + bGain) % 65521);
            run -= blocks * 16;
        }
        for (; run; --run) {
            a += *data++;
            b += a;
        }
        a %= 65521;
        b %= 65521;
    }
    return b << 16 | a;
}

bool write_chunk(std::FILE* file, const char* type, const uint8_t* data, size_t length) {
    if (!file || !type || uint64_t(length) > 0xFFFFFFFFu || (!data && length)) return false;
    uint8_t header[8];
    put_be32(header, uint32_t(length));
    std::memcpy(header + 4, type, 4);
    uint32_t crc = crc32_update(0xFFFFFFFFu, header + 4, 4);
    if (length) crc = crc32_update(crc, data, length);
    uint8_t trailer[4];
    put_be32(trailer, crc ^ 0xFFFFFFFFu);
    return std::fwrite(header, 1, 8, file) == 8 &&
           (!length || std::fwrite(data, 1, length, file) == length) && std::fwrite(trailer, 1, 4, file) == 4;
}

bool unfilter_row_to(uint8_t filter, uint8_t* out, const uint8_t* row, const uint8_t* previous, size_t length,
                     size_t bytesPerPixel) {
    if (filter > 4 || bytesPerPixel == 0) return false;
    const size_t bpp = bytesPerPixel, lead = std::min(bpp, length);
    if (!previous) {
        // Against a row of zeros Up is None, Paeth is Sub, Average halves the left byte.
        if (filter == 2) filter = 0;
        if (filter == 4) filter = 1;
        if (filter == 3) {
            std::memmove(out, row, lead);
            for (size_t i = bpp; i < length; ++i) out[i] = uint8_t(row[i] + (out[i - bpp] >> 1));
            return true;
        }
    }
    switch (filter) {
    case 0:
        if (out != row) std::memmove(out, row, length);
        break;
    case 1:
        std::memmove(out, row, lead);
        for (size_t i = bpp; i < length; ++i) out[i] = uint8_t(row[i] + out[i - bpp]);
        break;
    case 2: {
        // Eight bytes per step; the compiler cannot vectorise this itself as
        // `out` may alias `row`.
        size_t i = 0;
        for (; i + 8 <= length; i += 8) {
            uint64_t x, y;
            std::memcpy(&x, row + i, 8);
            std::memcpy(&y, previous + i, 8);
            x = add_bytes(x, y);
            std::memcpy(out + i, &x, 8);
        }
        for (; i < length; ++i) out[i] = uint8_t(row[i] + previous[i]);
        break;
    }
    case 3:
        for (size_t i = 0; i < lead; ++i) out[i] = uint8_t(row[i] + (previous[i] >> 1));
        for (size_t i = bpp; i < length; ++i) out[i] = uint8_t(row[i] + ((out[i - bpp] + previous[i]) >> 1));
        break;
    case 4:
        for (size_t i = 0; i < lead; ++i) out[i] = uint8_t(row[i] + previous[i]);
        for (size_t i = bpp; i < length; ++i)
            out[i] = uint8_t(row[i] + paeth(out[i - bpp], previous[i], previous[i - bpp]));
        break;
    }
    return true;
}

bool Inflater::start(const std::vector<ByteSpan>& spans, size_t maxOutput) {
    output_.clear();
    compressed_.clear();
    try {
        // One span is read in place; several are joined first.
        ByteSpan stream = spans.size() == 1 ? spans[0] : ByteSpan{};
        if (spans.size() > 1) {
            size_t total = 0;
            for (const ByteSpan& s : spans) {
                if (s.size > SIZE_MAX - total) return false;
                total += s.size;
            }
            compressed_.reserve(total);
            for (const ByteSpan& s : spans) compressed_.insert(compressed_.end(), s.data, s.data + s.size);
            stream = {compressed_.data(), compressed_.size()};
        }
        if (stream.size < 6 || !stream.data) return false;
        const uint8_t cmf = stream.data[0], flags = stream.data[1];
        if ((cmf & 15) != 8 || (flags & 0x20) || (cmf * 256u + flags) % 31) return false;

        BitReader in{stream.data + 2, stream.size - 6};
        // A known size is allocated once; otherwise start small and double.
        const uint64_t possible =
            std::min<uint64_t>(in.size, UINT64_MAX / kMaxInflateRatio) * kMaxInflateRatio;
        const uint64_t initial = maxOutput == SIZE_MAX ? std::max<uint64_t>(4 * in.size, 4096) : maxOutput;
        output_.resize(size_t(std::min(initial, possible)));
        OutputBuffer out{output_, 0, maxOutput};
        if (!inflate_blocks(in, out)) {
            output_.clear();
            return false;
        }
        output_.resize(out.size);
        if (adler32(output_.data(), output_.size()) == read_be32(stream.data + stream.size - 4)) return true;
    } catch (const std::exception&) {
        // Out of memory: a failure like any other.
    }
    output_.clear();
    return false;
}

// ---------------------------------------------------------------- top level

bool decode_memory(const uint8_t* data, size_t size, Image& image) {
    try {
        Image decoded;
        if (data && decode(data, size, decoded)) {
            image = std::move(decoded);
            return true;
        }
    } catch (const std::exception&) {
        // Out of memory: a failure like any other.
    }
    image = Image{};
    return false;
}

bool load_file(const char* path, Image& image) {
    image = Image{};
    if (!path) return false;
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return false;
    std::vector<uint8_t> bytes;
    bool ok = false;
    try {
        ok = read_whole_file(file, bytes);
    } catch (const std::exception&) {
        // Out of memory: a failure like any other.
    }
    std::fclose(file);
    return ok && decode_memory(bytes.data(), bytes.size(), image);
}

bool save_rgba8_file(const char* path, const uint8_t* rgba, int width, int height) {
    if (!path || !rgba || width < 1 || height < 1) return false;
    const size_t stride = size_t(width) * 4;
    if (size_t(height) > (SIZE_MAX / 2) / (stride + 1)) return false; // room for the raw and the zlib copy
    std::vector<uint8_t> zlib;
    try {
        zlib = stored_zlib_stream(filtered_scanlines(rgba, stride, size_t(height)));
    } catch (const std::exception&) {
        return false;
    }

    std::FILE* file = std::fopen(path, "wb");
    if (!file) return false;
    uint8_t header[13] = {};
    put_be32(header, uint32_t(width));
    put_be32(header + 4, uint32_t(height));
    header[8] = 8; // bit depth
    header[9] = 6; // RGBA; compression, filter and interlace methods stay 0
    bool ok = std::fwrite(kSignature, 1, 8, file) == 8 && write_chunk(file, "IHDR", header, 13);
    for (size_t offset = 0; ok && offset < zlib.size(); offset += kMaxIdatChunk)
        ok = write_chunk(file, "IDAT", zlib.data() + offset, std::min(kMaxIdatChunk, zlib.size() - offset));
    ok = ok && write_chunk(file, "IEND", nullptr, 0);
    return std::fclose(file) == 0 && ok;
}

} // namespace bv::png
