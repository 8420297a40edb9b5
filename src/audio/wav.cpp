#include "wav.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <utility>

namespace brume::wav {
namespace {

constexpr std::uint16_t kPcmTag = 1;
constexpr std::uint16_t kFloatTag = 3;
constexpr std::uint16_t kExtensibleTag = 0xFFFE;

// All multi-byte fields of the format are little-endian, whatever the host.
std::uint16_t load16(const std::uint8_t* p) {
    return std::uint16_t(p[0] | p[1] << 8);
}
std::uint32_t load32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
std::uint64_t load64(const std::uint8_t* p) {
    return load32(p) | std::uint64_t(load32(p + 4)) << 32;
}

bool hasId(const std::uint8_t* p, const char (&id)[5]) {
    return std::memcmp(p, id, 4) == 0;
}

bool isSupported(std::uint16_t tag, std::uint16_t bits) {
    if (tag == kPcmTag) return bits == 8 || bits == 16 || bits == 24 || bits == 32;
    if (tag == kFloatTag) return bits == 32 || bits == 64;
    return false;
}

// Reads one format chunk body into `info`, overwriting what an earlier format chunk set.
Refusal parseFormat(const std::uint8_t* body, std::uint32_t size, StreamInfo& info) {
    if (size < 16) return Refusal::ShortFormatChunk;
    std::uint16_t tag = load16(body);
    info.extensible = tag == kExtensibleTag;
    if (info.extensible) {
        // The real tag is the first two bytes of the sub-format identifier.
        if (size < 40 || load16(body + 16) < 22) return Refusal::BadExtensibleFormat;
        tag = load16(body + 24);
    }
    info.channels = load16(body + 2);
    info.sampleRate = load32(body + 4);
    info.bitsPerSample = load16(body + 14); // byte rate and block alignment are derived, not trusted
    if (!isSupported(tag, info.bitsPerSample)) return Refusal::UnsupportedEncoding;
    info.encoding = Encoding(tag);
    return Refusal::None;
}

// Sample readers, one per accepted encoding, each giving the normalised value.
double readPcm8(const std::uint8_t* p) {
    return (p[0] - 128) * (1.0 / 128);
}
double readPcm16(const std::uint8_t* p) {
    return std::int16_t(load16(p)) * (1.0 / 32768);
}
double readPcm24(const std::uint8_t* p) {
    // Shift the three bytes to the top of a 32-bit word so bit 23 becomes the sign.
    const auto value = std::int32_t(std::uint32_t(p[0] | p[1] << 8 | p[2] << 16) << 8) >> 8;
    return value * 0x1p-23;
}
double readPcm32(const std::uint8_t* p) {
    return std::int32_t(load32(p)) * 0x1p-31;
}

// Float samples may lie outside the unit range; NaN carries no level, so it is silence.
double clampUnit(double v) {
    return std::isnan(v) ? 0.0 : std::clamp(v, -1.0, 1.0);
}
double readFloat32(const std::uint8_t* p) {
    return clampUnit(std::bit_cast<float>(load32(p)));
}
double readFloat64(const std::uint8_t* p) {
    return clampUnit(std::bit_cast<double>(load64(p)));
}

// Rounds half away from zero, for |x| < 2^31. Inline, unlike std::lround,
// whose call dominated the decode time. Both steps are exact.
std::int32_t roundHalfAway(double x) {
    const auto whole = std::int32_t(x); // truncates toward zero
    const double fraction = x - whole;
    return whole + (fraction >= 0.5) - (fraction <= -0.5);
}

// Negative values scale by 32768 and the rest by 32767, so both ends of the
// unit range land exactly on the ends of the 16-bit range.
std::int16_t toPcm16(double v) {
    if (v <= -1.0) return -32768;
    if (v >= 1.0) return 32767;
    return std::int16_t(roundHalfAway(v < 0 ? v * 32768 : v * 32767));
}

using SampleReader = double (*)(const std::uint8_t*);

// A template per encoding keeps the reader inlined in the per-sample loops.
template <SampleReader read>
void convertFrames(const std::uint8_t* src, const StreamInfo& info, std::uint16_t outChannels,
                   std::int16_t* dst) {
    const std::size_t width = info.bitsPerSample / 8;
    const std::size_t channels = info.channels;
    if (outChannels == channels) {
        // Same layout in and out: one flat pass over every sample.
        for (std::size_t i = 0, n = info.frameCount * channels; i < n; ++i)
            dst[i] = toPcm16(read(src + i * width));
    } else if (outChannels == 1) {
        for (std::size_t frame = 0; frame < info.frameCount; ++frame, src += channels * width) {
            double sum = 0;
            for (std::size_t c = 0; c < channels; ++c) sum += read(src + c * width);
            *dst++ = toPcm16(sum / double(channels));
        }
    } else {
        // Missing source channels repeat the last one, so mono becomes left = right.
        for (std::size_t frame = 0; frame < info.frameCount; ++frame, src += channels * width)
            for (std::size_t c = 0; c < outChannels; ++c)
                *dst++ = toPcm16(read(src + std::min(c, channels - 1) * width));
    }
}

void convert(const std::uint8_t* frames, const StreamInfo& info, std::uint16_t outChannels,
             std::int16_t* dst) {
    if (info.encoding == Encoding::Float) {
        if (info.bitsPerSample == 32) return convertFrames<readFloat32>(frames, info, outChannels, dst);
        return convertFrames<readFloat64>(frames, info, outChannels, dst);
    }
    switch (info.bitsPerSample) {
    case 8:
        return convertFrames<readPcm8>(frames, info, outChannels, dst);
    case 16:
        return convertFrames<readPcm16>(frames, info, outChannels, dst);
    case 24:
        return convertFrames<readPcm24>(frames, info, outChannels, dst);
    default:
        return convertFrames<readPcm32>(frames, info, outChannels, dst);
    }
}

} // namespace

const char* describe(Refusal refusal) {
    switch (refusal) {
    case Refusal::None:
        return "accepted";
    case Refusal::NotRiffWave:
        return "not a RIFF/WAVE file";
    case Refusal::ChunkOverrun:
        return "a chunk runs past the end of the file";
    case Refusal::ShortFormatChunk:
        return "format chunk shorter than 16 bytes";
    case Refusal::BadExtensibleFormat:
        return "malformed extensible format chunk";
    case Refusal::UnsupportedEncoding:
        return "unsupported sample encoding or bit depth";
    case Refusal::NoFormatChunk:
        return "no format chunk";
    case Refusal::NoDataChunk:
        return "no data chunk";
    case Refusal::EmptyData:
        return "empty data chunk";
    case Refusal::ZeroChannels:
        return "zero channels";
    case Refusal::ZeroSampleRate:
        return "zero sample rate";
    case Refusal::ShorterThanOneFrame:
        return "data shorter than one frame";
    }
    return "unknown refusal";
}

Refusal inspect(const std::uint8_t* data, std::size_t size, StreamInfo* info) {
    if (!data || !info || size < 12 || !hasId(data, "RIFF") || !hasId(data + 8, "WAVE"))
        return Refusal::NotRiffWave;
    StreamInfo found;
    bool haveFormat = false, haveData = false;
    // The RIFF size field is not trusted: the buffer bounds the walk, and up to
    // 7 trailing bytes too short for a chunk header are ignored.
    for (std::size_t at = 12; at <= size - 8;) {
        const std::uint8_t* header = data + at;
        const std::uint32_t bodySize = load32(header + 4);
        const std::size_t body = at + 8;
        if (bodySize > size - body) return Refusal::ChunkOverrun;
        if (hasId(header, "fmt ")) {
            if (Refusal refusal = parseFormat(data + body, bodySize, found); refusal != Refusal::None)
                return refusal;
            haveFormat = true;
        } else if (hasId(header, "data") && !haveData) {
            found.dataOffset = body;
            found.dataSize = bodySize;
            haveData = true;
        }
        at = body + bodySize + (bodySize & 1); // odd bodies are followed by a pad byte
    }
    if (!haveFormat) return Refusal::NoFormatChunk;
    if (!haveData) return Refusal::NoDataChunk;
    if (found.dataSize == 0) return Refusal::EmptyData;
    if (found.channels == 0) return Refusal::ZeroChannels;
    if (found.sampleRate == 0) return Refusal::ZeroSampleRate;
    // Accepted depths are whole bytes of at least 8 bits, so the frame size is never 0 here.
    const std::size_t frameSize = std::size_t(found.channels) * (found.bitsPerSample / 8);
    if (found.dataSize < frameSize) return Refusal::ShorterThanOneFrame;
    found.frameCount = found.dataSize / frameSize;
    *info = found;
    return Refusal::None;
}

bool decode(const std::uint8_t* data, std::size_t size, DecodedFile* out, DecodeOptions options) {
    StreamInfo info;
    if (!out || inspect(data, size, &info) != Refusal::None) return false;
    const std::uint16_t outChannels = options.outputChannels ? options.outputChannels : info.channels;
    std::vector<std::int16_t> samples;
    if (info.frameCount > samples.max_size() / outChannels) return false; // could never be allocated
    samples.resize(info.frameCount * outChannels);
    convert(data + info.dataOffset, info, outChannels, samples.data());
    *out = DecodedFile{std::move(samples), info.sampleRate, outChannels};
    return true;
}

namespace detail {

bool readFileBytes(const char* path, std::vector<std::uint8_t>* out) {
    if (!path || !out) return false;
    // A directory opens like a file but reports a meaningless size.
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return false;
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) return false;
    const std::streamoff size = file.tellg();
    if (size <= 0 || std::uintmax_t(size) > out->max_size()) return false;
    file.seekg(0);
    try {
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
        if (!file.read(reinterpret_cast<char*>(bytes.data()), size)) return false;
        *out = std::move(bytes);
        return true;
    } catch (const std::bad_alloc&) {
        return false; // a file too large for memory is refused like an unreadable one
    }
}

} // namespace detail
} // namespace brume::wav
