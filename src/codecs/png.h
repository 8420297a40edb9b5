// PNG reader and writer.
//
// The reader is strict: it checks the CRC of every chunk, accepts grey, RGB,
// grey + alpha and RGBA at 8 or 16 bits and palette images at 8 bits, with or
// without Adam7 interlacing, and always produces 8-bit RGBA. The writer emits
// 8-bit RGBA with a per-row None/Sub/Up filter and stored (uncompressed)
// deflate blocks: it favours speed over size.
//
// Nothing here throws: every failure, including running out of memory, is a
// false result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace bv::png {

// Decoded picture: width x height pixels, RGBA8, rows top to bottom.
struct Image {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> pixels;
};

// Decodes the PNG file at `path`. On failure `image` is left empty.
bool load_file(const char* path, Image& image);

// Decodes a whole PNG file held in memory. On failure `image` is left empty.
bool decode_memory(const uint8_t* data, size_t size, Image& image);

// Writes `width` x `height` RGBA8 pixels (rows top to bottom) as a PNG file.
bool save_rgba8_file(const char* path, const uint8_t* rgba, int width, int height);

// ---- Building blocks, public so that tests and tools can reach them. ----

// A run of bytes inside a buffer owned by someone else.
struct ByteSpan {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// CRC-32 with the reflected polynomial 0xEDB88320. Pre- and post-conditioning
// (xor with 0xFFFFFFFF) are left to the caller so that runs can be chained.
uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t length);

// Adler-32 of a whole buffer, as the zlib trailer holds it.
uint32_t adler32(const uint8_t* data, size_t length);

// Writes one chunk: big-endian length, the 4 type bytes, the data and the
// CRC of type and data. Refuses lengths above 2^32 - 1 and null data with a
// non-zero length.
bool write_chunk(std::FILE* file, const char* type, const uint8_t* data, size_t length);

// Undoes one scanline filter (0 None, 1 Sub, 2 Up, 3 Average, 4 Paeth).
// `previous` null stands for a row of zeros. `out` may be `row` itself.
// Fails for an unknown filter type or a zero pixel size.
bool unfilter_row_to(uint8_t filter, uint8_t* out, const uint8_t* row, const uint8_t* previous, size_t length,
                     size_t bytesPerPixel);

// zlib stream decoder (stored, fixed and dynamic Huffman blocks).
class Inflater {
  public:
    // Inflates the concatenation of `spans`, checking the zlib header and the
    // Adler-32 trailer. A stream that would produce more than `maxOutput`
    // bytes fails as soon as it gets there, which bounds memory on hostile
    // input. A caller that knows the exact size passes it: the output is then
    // allocated once.
    bool start(const std::vector<ByteSpan>& spans, size_t maxOutput = SIZE_MAX);

    const std::vector<uint8_t>& output() const { return output_; }
    std::vector<uint8_t>& output() { return output_; }

  private:
    std::vector<uint8_t> compressed_; // only used when the stream is split over several spans
    std::vector<uint8_t> output_;
};

} // namespace bv::png
