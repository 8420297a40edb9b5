// brumevale-asset: inspects and converts the engine's PNG and WAV assets with
// the engine's own codecs, so a file behaves here exactly as in a game.
//
//   brumevale-asset info FILE        size and format, or why the file is refused
//   brumevale-asset png2png IN OUT   decode and re-encode a PNG image
//   brumevale-asset wav2raw IN OUT   decode a WAV file for playback (two channels)
//                                    to raw signed 16-bit little-endian samples
//
// Exit status: 0 done, 1 input refused or output not written, 2 usage error.
#include "png.h"
#include "wav.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr const char* kUsage = "usage: brumevale-asset info FILE | png2png IN OUT | wav2raw IN OUT";
constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr int kRefused = 1;
constexpr int kUsageError = 2;

int refuse(const char* path, std::string_view reason) {
    std::cerr << path << ": " << reason << '\n';
    return kRefused;
}

// Inputs are read whole, as the engine reads its assets.
constexpr std::string_view kUnreadable = "cannot read (missing, empty or not a regular file)";
bool readInput(const char* path, Bytes& bytes) {
    return brume::wav::detail::readFileBytes(path, &bytes);
}

bool isPng(const Bytes& bytes) {
    return bytes.size() >= 8 && std::memcmp(bytes.data(), kPngSignature, 8) == 0;
}
bool isRiff(const Bytes& bytes) {
    return bytes.size() >= 4 && std::memcmp(bytes.data(), "RIFF", 4) == 0;
}

// ---- PNG ----

// The header fields that the decoded RGBA image no longer tells.
struct PngHeader {
    std::uint32_t width = 0, height = 0;
    std::uint8_t bitDepth = 0, colourType = 0, interlace = 0;
};

std::uint32_t loadBigEndian32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// IHDR must be the first chunk: 13 bytes of body right after the signature.
bool readPngHeader(const Bytes& bytes, PngHeader& header) {
    if (bytes.size() < 8 + 8 + 13 || loadBigEndian32(&bytes[8]) != 13 ||
        std::memcmp(&bytes[12], "IHDR", 4) != 0)
        return false;
    const std::uint8_t* body = &bytes[16];
    header = {loadBigEndian32(body), loadBigEndian32(body + 4), body[8], body[9], body[12]};
    return true;
}

const char* colourTypeName(std::uint8_t type) {
    switch (type) {
    case 0:
        return "grey";
    case 2:
        return "RGB";
    case 3:
        return "palette";
    case 4:
        return "grey + alpha";
    case 6:
        return "RGBA";
    default:
        return "unknown";
    }
}

const char* interlaceName(std::uint8_t method) {
    return method == 0 ? "not interlaced" : method == 1 ? "Adam7 interlaced" : "unknown interlace";
}

// The engine's reader only says yes or no, so the reason stays general.
const char* decodePng(const Bytes& bytes, bv::png::Image& image) {
    if (!isPng(bytes)) return "not a PNG file";
    if (!bv::png::decode_memory(bytes.data(), bytes.size(), image))
        return "refused by the PNG decoder (corrupt data or unsupported format)";
    return nullptr;
}

int pngInfo(const char* path, const Bytes& bytes) {
    PngHeader header;
    if (!readPngHeader(bytes, header)) return refuse(path, "PNG without an IHDR header");
    bv::png::Image image;
    if (const char* reason = decodePng(bytes, image)) return refuse(path, reason);
    std::cout << path << ": PNG " << header.width << 'x' << header.height << ", colour type "
              << int(header.colourType) << " (" << colourTypeName(header.colourType) << "), "
              << int(header.bitDepth) << "-bit, " << interlaceName(header.interlace) << '\n';
    return 0;
}

int pngToPng(const char* in, const char* out) {
    Bytes bytes;
    if (!readInput(in, bytes)) return refuse(in, kUnreadable);
    bv::png::Image image;
    if (const char* reason = decodePng(bytes, image)) return refuse(in, reason);
    if (image.width > INT_MAX || image.height > INT_MAX) return refuse(in, "too large for the PNG writer");
    if (!bv::png::save_rgba8_file(out, image.pixels.data(), int(image.width), int(image.height)))
        return refuse(out, "cannot write");
    return 0;
}

// ---- WAV ----

int wavInfo(const char* path, const Bytes& bytes) {
    brume::wav::StreamInfo info;
    const brume::wav::Refusal refusal = brume::wav::inspect(bytes.data(), bytes.size(), &info);
    if (refusal != brume::wav::Refusal::None) return refuse(path, brume::wav::describe(refusal));
    const bool isFloat = info.encoding == brume::wav::Encoding::Float;
    std::cout << path << ": WAV " << info.sampleRate << " Hz, " << info.channels
              << (info.channels == 1 ? " channel, " : " channels, ") << info.bitsPerSample << "-bit "
              << (isFloat ? "float" : "PCM") << (info.extensible ? " (extensible)" : "") << ", "
              << info.frameCount << " frames, " << std::fixed << std::setprecision(3)
              << double(info.frameCount) / info.sampleRate << " s\n";
    return 0;
}

bool writeRawS16le(const char* path, const std::vector<std::int16_t>& samples) {
    std::vector<char> bytes;
    bytes.reserve(samples.size() * 2);
    for (std::int16_t sample : samples) {
        bytes.push_back(char(sample & 0xFF));
        bytes.push_back(char(std::uint16_t(sample) >> 8));
    }
    std::ofstream file(path, std::ios::binary);
    file.write(bytes.data(), std::streamsize(bytes.size()));
    file.close();
    return !file.fail();
}

int wavToRaw(const char* in, const char* out) {
    Bytes bytes;
    if (!readInput(in, bytes)) return refuse(in, kUnreadable);
    brume::wav::DecodedFile decoded;
    if (!brume::wav::decode(bytes.data(), bytes.size(), &decoded, {2})) {
        // decode refuses what inspect refuses, and beyond that only sample counts too large for memory.
        brume::wav::StreamInfo info;
        const brume::wav::Refusal refusal = brume::wav::inspect(bytes.data(), bytes.size(), &info);
        return refuse(in, refusal == brume::wav::Refusal::None ? "too large to decode"
                                                               : brume::wav::describe(refusal));
    }
    if (!writeRawS16le(out, decoded.samples)) return refuse(out, "cannot write");
    return 0;
}

// ---- commands ----

int info(const char* path) {
    Bytes bytes;
    if (!readInput(path, bytes)) return refuse(path, kUnreadable);
    if (isPng(bytes)) return pngInfo(path, bytes);
    if (isRiff(bytes)) return wavInfo(path, bytes);
    return refuse(path, "neither a PNG nor a WAV file");
}

int run(int argc, char** argv) {
    const std::string_view command = argc > 1 ? argv[1] : "";
    if (command == "info" && argc == 3) return info(argv[2]);
    if (command == "png2png" && argc == 4) return pngToPng(argv[2], argv[3]);
    if (command == "wav2raw" && argc == 4) return wavToRaw(argv[2], argv[3]);
    std::cerr << kUsage << '\n';
    return kUsageError;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::cerr << "brumevale-asset: out of memory\n";
        return kRefused;
    }
}
