// WAV (RIFF/WAVE) decoder: turns a whole file image into interleaved signed
// 16-bit samples. Stateless, standard library only, never throws for bad
// input: every refusal is a false result with the output left untouched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace brume::wav {

// Decoded audio: frames one after another, `channels` samples per frame.
struct DecodedFile {
    std::vector<std::int16_t> samples;
    std::uint32_t sampleRate = 0; // frames per second, as the file states it
    std::uint16_t channels = 0;   // channels per frame in `samples`
};

struct DecodeOptions {
    std::uint16_t outputChannels = 0; // 0 keeps the file's channel count
};

// Sample encoding, named by its effective format tag.
enum class Encoding : std::uint16_t { Pcm = 1, Float = 3 };

// What the header walk learns about a file before any sample is converted.
struct StreamInfo {
    Encoding encoding = Encoding::Pcm;
    bool extensible = false; // the format chunk was the extensible kind
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint16_t bitsPerSample = 0;
    std::size_t dataOffset = 0; // first byte of the first data chunk's body
    std::size_t dataSize = 0;   // body size of that chunk
    std::size_t frameCount = 0; // whole frames in it; a partial last frame is ignored
};

// Why a file is refused; None means it is accepted.
enum class Refusal {
    None,
    NotRiffWave,
    ChunkOverrun,
    ShortFormatChunk,
    BadExtensibleFormat,
    UnsupportedEncoding,
    NoFormatChunk,
    NoDataChunk,
    EmptyData,
    ZeroChannels,
    ZeroSampleRate,
    ShorterThanOneFrame,
};

// One-line English description of a refusal, for tools and diagnostics.
const char* describe(Refusal refusal);

// Walks the header and chunks of `size` bytes at `data` and fills `info`
// (only when the file is accepted). Converts no samples.
Refusal inspect(const std::uint8_t* data, std::size_t size, StreamInfo* info);

// Decodes `size` bytes at `data` into `out` by move assignment. On false,
// `out` is untouched. A sample vector too large to exist is refused; a
// failed allocation of one that could exist throws std::bad_alloc.
bool decode(const std::uint8_t* data, std::size_t size, DecodedFile* out, DecodeOptions options = {});

namespace detail {
// Reads a whole regular file into `out` (replaced only on success).
bool readFileBytes(const char* path, std::vector<std::uint8_t>* out);
} // namespace detail

} // namespace brume::wav
