#include "wav_builder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <tuple>

namespace {

using namespace brume::wav;
using namespace wavtest;
using Samples = std::vector<std::int16_t>;

// A file of one plain format chunk and one data chunk.
Bytes wav(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
          const Bytes& data) {
    return WavBuilder().fmt(tag, channels, rate, bits).data(data).bytes();
}
const auto monoPcm16 = [](const Bytes& samples) { return wav(1, 1, 44100, 16, samples); };

// Rate, channels and samples of a decoded file.
std::tuple<std::uint32_t, std::uint16_t, Samples> decoded(const Bytes& file,
                                                          std::uint16_t outputChannels = 0) {
    DecodedFile out;
    EXPECT_TRUE(decode(file.data(), file.size(), &out, {outputChannels}));
    return {out.sampleRate, out.channels, out.samples};
}
Samples samplesOf(const Bytes& file, std::uint16_t outputChannels = 0) {
    return std::get<2>(decoded(file, outputChannels));
}

// A refusal must leave the output exactly as it was.
bool refusedUntouched(const Bytes& file, std::uint16_t outputChannels = 0) {
    DecodedFile out{{7, -7, 7}, 1234, 9};
    if (decode(file.data(), file.size(), &out, {outputChannels})) return false;
    return out.samples == Samples{7, -7, 7} && out.sampleRate == 1234 && out.channels == 9;
}

Refusal refusalOf(const Bytes& file, StreamInfo* info = nullptr) {
    StreamInfo ignored;
    return inspect(file.data(), file.size(), info ? info : &ignored);
}
StreamInfo infoOf(const Bytes& file) {
    StreamInfo info;
    EXPECT_EQ(refusalOf(file, &info), Refusal::None);
    return info;
}

TEST(WavDecode, SampleValuesAndRounding) {
    const auto mono = [](std::uint16_t tag, std::uint16_t bits, const Bytes& data) {
        return samplesOf(wav(tag, 1, 44100, bits, data));
    };
    // 16-bit PCM is checked value by value below.
    EXPECT_EQ(mono(1, 8, pcm8({0, 128, 255, 1, 192, 64, 127, 129})), // unsigned
              (Samples{-32768, 0, 32511, -32512, 16384, -16384, -256, 256}));
    EXPECT_EQ(
        mono(1, 24, pcm24({0x7FFFFF, 0x800000, 0x800001, 0x400000, 0xFFFFFF, 0xFF8000, 0x80, 0x100, 0})),
        (Samples{32767, -32768, -32768, 16384, 0, -128, 0, 1, 0})); // the sign from bit 23
    EXPECT_EQ(mono(1, 32, pcm32({0x7FFFFFFF, -0x80000000LL, 0x40000000, 65536, -65536, 32768, -32768})),
              (Samples{32767, -32768, 16384, 1, -1, 0, -1}));
    // Floats are clamped, then scaled.
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(mono(3, 32, float32({1.5f, -2.0f, 1.0f, -1.0f, 0.5f, -0.5f, 0.25f, 0, nan, inf, -inf})),
              (Samples{32767, -32768, 32767, -32768, 16384, -16384, 8192, 0, 0, 32767, -32768}));
    EXPECT_EQ(mono(3, 64, float64({0.1, -0.1, 1e300, -1e300, 0.999999, -0.999999})),
              (Samples{3277, -3277, 32767, -32768, 32767, -32768}));
    // Halves round away from zero; negative values scale by a power of two, so these products are exact.
    const double belowHalf = std::nextafter(0.5, 0.0);
    EXPECT_EQ(mono(3, 64,
                   float64({-0.5 / 32768, -belowHalf / 32768, -1.5 / 32768, -(1.5 - 0x1p-40) / 32768,
                            0.5 + 0x1p-30, 0.5 - 0x1p-30})),
              (Samples{-1, 0, -2, -1, 16384, 16383}));
    EXPECT_EQ(samplesOf(WavBuilder().extensibleFmt(3, 1, 44100, 32).data(float32({0.5f, -3.0f})).bytes()),
              (Samples{16384, -32768}));
    // A longer extension is accepted too.
    EXPECT_EQ(samplesOf(WavBuilder().extensibleFmt(1, 1, 44100, 24, 30, 48).data(pcm24({0x400000})).bytes()),
              Samples{16384});
}

TEST(WavDecode, ChannelConversion) {
    EXPECT_EQ(decoded(monoPcm16(pcm16({100, -200, 300})), 2), // mono to stereo duplicates
              std::tuple(44100u, 2, Samples{100, 100, -200, -200, 300, 300}));
    EXPECT_EQ(decoded(wav(1, 2, 44100, 16, pcm16({10, 20, 30, 40})), 5), // more channels repeat the last
              std::tuple(44100u, 5, Samples{10, 20, 20, 20, 20, 30, 40, 40, 40, 40}));
    EXPECT_EQ(samplesOf(wav(1, 4, 44100, 16, pcm16({1, 2, 3, 4, 5, 6, 7, 8})), 2), (Samples{1, 2, 5, 6}));
    // Downmixes average: (0.25 + 0.5 + -0.25 + 0.5) / 4 = 0.25.
    EXPECT_EQ(samplesOf(wav(1, 4, 44100, 16, pcm16({8192, 16384, -8192, 16384})), 1), Samples{8192});
    // (-1 + 32767/32768) / 2 = -1/65536, a negative half after scaling: rounds away from zero.
    EXPECT_EQ(samplesOf(wav(1, 2, 44100, 16, pcm16({-32768, 32767, 1000, 1001})), 1), (Samples{-1, 1000}));
    // (1.0 - 0.5) / 2, not (3.0 - 0.5) / 2: each float channel is clamped first.
    EXPECT_EQ(samplesOf(wav(3, 2, 44100, 32, float32({3.0f, -0.5f})), 1), Samples{8192});
    EXPECT_EQ(samplesOf(wav(1, 2, 8000, 8, pcm8({0, 255})), 1), Samples{-128}); // (-1 + 127/128) / 2 = -1/256
}

TEST(WavDecode, ChunkWalkAndStreamInfoOfAcceptedFiles) {
    // Unknown chunks are skipped, odd bodies have a pad byte after them, and the first data chunk wins.
    EXPECT_EQ(samplesOf(WavBuilder()
                            .chunk("LIST", Bytes(10, 'x'))
                            .chunk("odd ", Bytes(3, 0x55))
                            .fmt(1, 1, 8000, 8, 17)
                            .chunk("fact", pcm32({1}))
                            .data(pcm8({1, 2, 3}))
                            .data(pcm8({4, 5}))
                            .chunk("junk", Bytes(6, 0xFF))
                            .bytes()),
              (Samples{-32512, -32256, -32000}));
    // An 18-byte format body; a zero-sized chunk of any name fits.
    EXPECT_EQ(samplesOf(WavBuilder().fmt(1, 1, 8000, 16, 18).data(pcm16({1})).raw(Bytes(8, 0)).bytes()),
              Samples{1});
    const Bytes good = monoPcm16(pcm16({7, 8}));
    Bytes resized = good;
    for (std::uint32_t size : {0u, 1u, 0xFFFFFFFFu}) { // the RIFF size field is ignored
        std::memcpy(&resized[4], &size, 4);
        EXPECT_EQ(samplesOf(resized), (Samples{7, 8})) << "RIFF size " << size;
    }
    for (std::size_t n = 1; n <= 7; ++n) { // trailing bytes shorter than a chunk header are ignored
        Bytes file = good;
        file.insert(file.end(), n, 0xEE);
        EXPECT_EQ(samplesOf(file), (Samples{7, 8})) << n << " trailing bytes";
    }
    EXPECT_EQ(decoded(wav(1, 3, 0xFFFFFFFFu, 16, pcm16({1, 2, 3}))),
              std::tuple(0xFFFFFFFFu, 3, Samples{1, 2, 3}));
    // A later format chunk replaces the earlier one.
    EXPECT_EQ(decoded(WavBuilder().fmt(1, 1, 8000, 8).data(pcm16({1000, 2000})).fmt(1, 2, 22050, 16).bytes()),
              std::tuple(22050u, 2, Samples{1000, 2000}));
    StreamInfo info =
        infoOf(WavBuilder().extensibleFmt(3, 1, 8000, 32).fmt(1, 1, 8000, 16).data(pcm16({5})).bytes());
    EXPECT_EQ(std::tie(info.extensible, info.encoding), std::tuple(false, Encoding::Pcm));

    const Bytes partial = wav(1, 2, 44100, 16, pcm16({1, 2, 3, 4, 5})); // 10 bytes: a partial last frame
    info = infoOf(partial);
    EXPECT_EQ(std::tie(info.frameCount, info.dataSize), std::tuple(2u, 10u));
    EXPECT_EQ(samplesOf(partial), (Samples{1, 2, 3, 4}));
    info = infoOf(WavBuilder().extensibleFmt(3, 2, 96000, 64).data(float64({0, 0, 0, 0, 0, 0})).bytes());
    EXPECT_EQ(std::tie(info.encoding, info.extensible, info.channels, info.sampleRate, info.bitsPerSample,
                       info.frameCount, info.dataOffset),
              std::tuple(Encoding::Float, true, 2, 96000u, 64, 3u, 12u + 8 + 40 + 8));
}

TEST(WavDecode, Pcm16EveryValue) {
    Bytes samples;
    for (int v = -32768; v <= 32767; ++v) append16(samples, std::uint16_t(v));
    const Samples out = samplesOf(monoPcm16(samples));
    ASSERT_EQ(out.size(), 65536u);
    for (int v = -32768; v <= 32767; ++v) {
        // v/32768 scaled by 32767 loses v/32768, which rounds away only past one half.
        const int expected = v < 0 ? v : v - (v > 16384 ? 1 : 0);
        ASSERT_EQ(out[std::size_t(v + 32768)], expected) << "source " << v;
    }
}

struct RefusalCase {
    std::string what;
    Bytes file;
    std::optional<Refusal> refusal = std::nullopt; // what inspect says, when checked
};

TEST(WavRefusal, RefusedFilesAndNullArgumentsGiveTheirReason) {
    const Bytes good = monoPcm16(pcm16({1}));
    Bytes rifx = good, wavf = good;
    rifx[3] = 'X';
    wavf[11] = 'F';
    const Bytes one = pcm16({1});
    const auto fmt16 = [] { return WavBuilder().fmt(1, 1, 8000, 16); };
    const auto extensible = [&](std::uint16_t subTag, std::uint16_t extensionSize = 22,
                                std::size_t size = 40) {
        return WavBuilder().extensibleFmt(subTag, 1, 8000, 16, extensionSize, size).data(one).bytes();
    };
    std::vector<RefusalCase> cases = {
        {"RIFX", rifx, Refusal::NotRiffWave},
        {"WAVF", wavf, Refusal::NotRiffWave},
        {"11 bytes", Bytes(good.begin(), good.begin() + 11), Refusal::NotRiffWave},
        {"19 bytes", WavBuilder().raw(Bytes(7, 0)).bytes(), Refusal::NoFormatChunk},
        {"missing pad byte derails the walk",
         WavBuilder().chunk("odd ", Bytes(3, 0x55), false).fmt(1, 1, 8000, 8).data(pcm8({1})).bytes()},
        {"empty first data chunk", WavBuilder().fmt(1, 1, 44100, 16).data({}).data(pcm16({3})).bytes(),
         Refusal::EmptyData},
        {"bad later format chunk", fmt16().data(one).fmt(2, 1, 8000, 4).bytes()},
        {"stray chunk past the end", fmt16().data(one).raw({'j', 'u', 'n', 'k', 1, 0, 0, 0}).bytes()},
        {"format chunk past the end", WavBuilder().raw({'f', 'm', 't', ' ', 0xFF, 0xFF, 0xFF, 0xFF}).bytes(),
         Refusal::ChunkOverrun},
        {"short format chunk", WavBuilder().fmt(1, 1, 8000, 16, 15).data(one).bytes(),
         Refusal::ShortFormatChunk},
        {"extensible extension too short", extensible(1, 22, 39), Refusal::BadExtensibleFormat},
        {"extensible size field too small", extensible(1, 21), Refusal::BadExtensibleFormat},
        {"extensible of extensible", extensible(0xFFFE), Refusal::UnsupportedEncoding},
        {"extensible adpcm", extensible(2), Refusal::UnsupportedEncoding},
        {"extensible 16-bit float", extensible(3), Refusal::UnsupportedEncoding},
        {"no format chunk", WavBuilder().data(one).bytes(), Refusal::NoFormatChunk},
        {"no data chunk", fmt16().bytes(), Refusal::NoDataChunk},
        {"empty data", fmt16().data({}).bytes(), Refusal::EmptyData},
        {"zero channels", wav(1, 0, 8000, 16, one), Refusal::ZeroChannels},
        {"zero rate", wav(1, 1, 0, 16, one), Refusal::ZeroSampleRate},
        {"shorter than one frame", wav(1, 2, 8000, 16, pcm8({1, 2, 3})), Refusal::ShorterThanOneFrame},
    };
    const std::pair<std::uint16_t, std::uint16_t> encodings[] = {
        {1, 0}, {1, 4},  {1, 12}, {1, 20}, {1, 64}, {3, 16},     {3, 24},
        {3, 8}, {2, 16}, {6, 8},  {7, 8},  {0, 16}, {0xFFFF, 16}};
    for (auto [tag, bits] : encodings)
        cases.push_back({"tag " + std::to_string(tag) + " bits " + std::to_string(bits),
                         wav(tag, 1, 8000, bits, Bytes(64, 0)), Refusal::UnsupportedEncoding});
    const Bytes file = wav(1, 2, 44100, 16, pcm16({1, 2, 3, 4}));
    for (std::size_t size = 0; size < file.size(); ++size)
        cases.push_back(
            {"prefix of " + std::to_string(size), Bytes(file.begin(), file.begin() + long(size))});
    for (const RefusalCase& c : cases) {
        EXPECT_TRUE(!c.refusal || refusalOf(c.file) == *c.refusal)
            << c.what << ": " << int(refusalOf(c.file));
        // Decode refuses whatever channels are asked for and leaves its output alone.
        EXPECT_TRUE(refusedUntouched(c.file) && refusedUntouched(c.file, 2)) << c.what;
    }

    for (int r = int(Refusal::None); r <= int(Refusal::ShorterThanOneFrame); ++r)
        EXPECT_GT(std::strlen(describe(Refusal(r))), 0u);

    DecodedFile out; // null arguments
    EXPECT_FALSE(decode(nullptr, good.size(), &out));
    EXPECT_FALSE(decode(good.data(), good.size(), nullptr));
    StreamInfo info;
    EXPECT_EQ(inspect(nullptr, 100, &info), Refusal::NotRiffWave);
    EXPECT_EQ(inspect(good.data(), good.size(), nullptr), Refusal::NotRiffWave);
}

TEST(WavFileBytes, ReadsWholeFilesAndRefusesWhatCannotBeRead) {
    using detail::readFileBytes;
    const Bytes wavFile = monoPcm16(pcm16({1, 2, 3}));
    const TempFile whole("a.wav", wavFile), empty("empty.wav"), missing("missing.wav"), one("b.wav", {1});
    std::ofstream{empty.path()}; // an empty file
    std::vector<std::uint8_t> bytes;
    ASSERT_TRUE(readFileBytes(whole.path(), &bytes));
    EXPECT_EQ(bytes, wavFile);

    bytes = {9};
    for (const char* path : {empty.path(), missing.path(), "/", (const char*)nullptr})
        EXPECT_FALSE(readFileBytes(path, &bytes)) << (path ? path : "null");
    EXPECT_FALSE(readFileBytes(one.path(), nullptr));
    EXPECT_EQ(bytes, std::vector<std::uint8_t>{9});
}

} // namespace
