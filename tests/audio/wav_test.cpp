#include "wav.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

namespace {

using brume::wav::decode;
using brume::wav::DecodedFile;
using brume::wav::DecodeOptions;
using brume::wav::Encoding;
using brume::wav::inspect;
using brume::wav::Refusal;
using brume::wav::StreamInfo;
using namespace wavtest;
using Samples = std::vector<std::int16_t>;

Bytes monoPcm16(const Bytes& samples, std::uint32_t rate = 44100) {
    return WavBuilder().fmt(1, 1, rate, 16).data(samples).bytes();
}

DecodedFile decodeOk(const Bytes& file, std::uint16_t outputChannels = 0) {
    DecodedFile out;
    EXPECT_TRUE(decode(file.data(), file.size(), &out, {outputChannels}));
    return out;
}

Samples samplesOf(const Bytes& file, std::uint16_t outputChannels = 0) {
    return decodeOk(file, outputChannels).samples;
}

// A refusal must leave the output exactly as it was.
bool refusedUntouched(const Bytes& file, std::uint16_t outputChannels = 0) {
    DecodedFile out{{7, -7, 7}, 1234, 9};
    if (decode(file.data(), file.size(), &out, {outputChannels})) return false;
    return out.samples == Samples{7, -7, 7} && out.sampleRate == 1234 && out.channels == 9;
}

Refusal refusalOf(const Bytes& file) {
    StreamInfo info;
    return inspect(file.data(), file.size(), &info);
}

// ---- sample values and rounding ----

TEST(WavDecode, Pcm16UsesAsymmetricScale) {
    EXPECT_EQ(samplesOf(monoPcm16(pcm16({32767, -32768, 16384, 16385, 0, 1, -1, -16384, 16383}))),
              (Samples{32766, -32768, 16384, 16384, 0, 1, -1, -16384, 16383}));
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

TEST(WavDecode, Pcm8IsUnsignedAroundMidpoint) {
    const Bytes file =
        WavBuilder().fmt(1, 1, 8000, 8).data(pcm8({0, 128, 255, 1, 192, 64, 127, 129})).bytes();
    EXPECT_EQ(samplesOf(file), (Samples{-32768, 0, 32511, -32512, 16384, -16384, -256, 256}));
}

TEST(WavDecode, Pcm24TakesSignFromBit23) {
    const Bytes file =
        WavBuilder()
            .fmt(1, 1, 48000, 24)
            .data(pcm24({0x7FFFFF, 0x800000, 0x800001, 0x400000, 0xFFFFFF, 0xFF8000, 0x000080, 0x000100, 0}))
            .bytes();
    EXPECT_EQ(samplesOf(file), (Samples{32767, -32768, -32768, 16384, 0, -128, 0, 1, 0}));
}

TEST(WavDecode, Pcm32) {
    const Bytes file = WavBuilder()
                           .fmt(1, 1, 48000, 32)
                           .data(pcm32({0x7FFFFFFF, -0x80000000LL, 0x40000000, 65536, -65536, 32768, -32768}))
                           .bytes();
    EXPECT_EQ(samplesOf(file), (Samples{32767, -32768, 16384, 1, -1, 0, -1}));
}

TEST(WavDecode, Float32IsClampedThenScaled) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const Bytes file =
        WavBuilder()
            .fmt(3, 1, 44100, 32)
            .data(float32({1.5f, -2.0f, 1.0f, -1.0f, 0.5f, -0.5f, 0.25f, 0.0f, nan, inf, -inf}))
            .bytes();
    EXPECT_EQ(samplesOf(file),
              (Samples{32767, -32768, 32767, -32768, 16384, -16384, 8192, 0, 0, 32767, -32768}));
}

TEST(WavDecode, Float64) {
    const Bytes file = WavBuilder()
                           .fmt(3, 1, 44100, 64)
                           .data(float64({0.1, -0.1, 1e300, -1e300, 0.999999, -0.999999}))
                           .bytes();
    EXPECT_EQ(samplesOf(file), (Samples{3277, -3277, 32767, -32768, 32767, -32768}));
}

TEST(WavDecode, RoundsHalvesAwayFromZeroExactly) {
    // Negative values scale by a power of two, so these products are exact.
    const double belowHalf = std::nextafter(0.5, 0.0);
    const Bytes file = WavBuilder()
                           .fmt(3, 1, 44100, 64)
                           .data(float64({-0.5 / 32768, -belowHalf / 32768, -1.5 / 32768,
                                          -(1.5 - 0x1p-40) / 32768, 0.5 + 0x1p-30, 0.5 - 0x1p-30}))
                           .bytes();
    EXPECT_EQ(samplesOf(file), (Samples{-1, 0, -2, -1, 16384, 16383}));
}

TEST(WavDecode, ExtensibleFormat) {
    const Bytes pcm = WavBuilder().extensibleFmt(1, 1, 44100, 16).data(pcm16({32767, -32768})).bytes();
    EXPECT_EQ(samplesOf(pcm), (Samples{32766, -32768}));
    const Bytes flt = WavBuilder().extensibleFmt(3, 1, 44100, 32).data(float32({0.5f, -3.0f})).bytes();
    EXPECT_EQ(samplesOf(flt), (Samples{16384, -32768}));
    const Bytes longer = WavBuilder().extensibleFmt(1, 1, 44100, 24, 30, 48).data(pcm24({0x400000})).bytes();
    EXPECT_EQ(samplesOf(longer), Samples{16384});
}

TEST(WavDecode, KeepsRateAndFileChannels) {
    const DecodedFile out = decodeOk(WavBuilder().fmt(1, 3, 0xFFFFFFFFu, 16).data(pcm16({1, 2, 3})).bytes());
    EXPECT_EQ(out.sampleRate, 0xFFFFFFFFu);
    EXPECT_EQ(out.channels, 3);
    EXPECT_EQ(out.samples, (Samples{1, 2, 3}));
}

// ---- channel conversion ----

TEST(WavChannels, MonoToStereoDuplicates) {
    const DecodedFile out = decodeOk(monoPcm16(pcm16({100, -200, 300})), 2);
    EXPECT_EQ(out.channels, 2);
    EXPECT_EQ(out.samples, (Samples{100, 100, -200, -200, 300, 300}));
}

TEST(WavChannels, FourToStereoKeepsFirstTwo) {
    const Bytes file = WavBuilder().fmt(1, 4, 44100, 16).data(pcm16({1, 2, 3, 4, 5, 6, 7, 8})).bytes();
    EXPECT_EQ(samplesOf(file, 2), (Samples{1, 2, 5, 6}));
}

TEST(WavChannels, DownmixToMonoAverages) {
    // (0.25 + 0.5 + -0.25 + 0.5) / 4 = 0.25
    const Bytes four = WavBuilder().fmt(1, 4, 44100, 16).data(pcm16({8192, 16384, -8192, 16384})).bytes();
    EXPECT_EQ(samplesOf(four, 1), Samples{8192});
    // (-1 + 32767/32768) / 2 = -1/65536, a negative half after scaling: rounds away from zero.
    const Bytes stereo = WavBuilder().fmt(1, 2, 44100, 16).data(pcm16({-32768, 32767, 1000, 1001})).bytes();
    EXPECT_EQ(samplesOf(stereo, 1), (Samples{-1, 1000}));
}

TEST(WavChannels, FloatDownmixClampsEachChannelFirst) {
    const Bytes file = WavBuilder().fmt(3, 2, 44100, 32).data(float32({3.0f, -0.5f})).bytes();
    EXPECT_EQ(samplesOf(file, 1), Samples{8192}); // (1.0 - 0.5) / 2, not (3.0 - 0.5) / 2
}

TEST(WavChannels, MoreOutputChannelsRepeatTheLast) {
    const Bytes stereo = WavBuilder().fmt(1, 2, 44100, 16).data(pcm16({10, 20, 30, 40})).bytes();
    const DecodedFile out = decodeOk(stereo, 5);
    EXPECT_EQ(out.channels, 5);
    EXPECT_EQ(out.samples, (Samples{10, 20, 20, 20, 20, 30, 40, 40, 40, 40}));
    const Bytes three = WavBuilder().fmt(1, 3, 44100, 16).data(pcm16({1, 2, 3})).bytes();
    EXPECT_EQ(samplesOf(three, 3), (Samples{1, 2, 3}));
    EXPECT_EQ(samplesOf(three, 4), (Samples{1, 2, 3, 3}));
    EXPECT_EQ(samplesOf(monoPcm16(pcm16({5})), 1), Samples{5});
}

TEST(WavChannels, Pcm8StereoToMono) {
    const Bytes file = WavBuilder().fmt(1, 2, 8000, 8).data(pcm8({0, 255})).bytes();
    // (-1 + 127/128) / 2 = -1/256 -> -128
    EXPECT_EQ(samplesOf(file, 1), Samples{-128});
}

// ---- frames ----

TEST(WavFrames, PartialLastFrameIsIgnored) {
    const Bytes file = WavBuilder().fmt(1, 2, 44100, 16).data(pcm16({1, 2, 3, 4, 5})).bytes(); // 10 bytes
    const DecodedFile out = decodeOk(file);
    EXPECT_EQ(out.samples, (Samples{1, 2, 3, 4}));
    StreamInfo info;
    ASSERT_EQ(inspect(file.data(), file.size(), &info), Refusal::None);
    EXPECT_EQ(info.frameCount, 2u);
    EXPECT_EQ(info.dataSize, 10u);
}

TEST(WavFrames, InspectReportsTheFormat) {
    const Bytes file = WavBuilder().extensibleFmt(3, 2, 96000, 64).data(float64({0, 0, 0, 0, 0, 0})).bytes();
    StreamInfo info;
    ASSERT_EQ(inspect(file.data(), file.size(), &info), Refusal::None);
    EXPECT_EQ(info.encoding, Encoding::Float);
    EXPECT_TRUE(info.extensible);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.sampleRate, 96000u);
    EXPECT_EQ(info.bitsPerSample, 64);
    EXPECT_EQ(info.frameCount, 3u);
    EXPECT_EQ(info.dataOffset, 12u + 8 + 40 + 8);
}

// ---- chunk walk ----

TEST(WavChunks, UnknownChunksAreSkipped) {
    const Bytes file = WavBuilder()
                           .chunk("LIST", Bytes(10, 'x'))
                           .fmt(1, 1, 44100, 16)
                           .chunk("fact", pcm32({1}))
                           .data(pcm16({42}))
                           .chunk("junk", Bytes(6, 0xFF))
                           .bytes();
    EXPECT_EQ(samplesOf(file), Samples{42});
}

TEST(WavChunks, OddChunksArePadded) {
    const Bytes file = WavBuilder()
                           .chunk("odd ", Bytes(3, 0x55))
                           .fmt(1, 1, 8000, 8, 17) // odd format body, pad byte follows
                           .data(pcm8({1, 2, 3}))  // odd data body, pad byte follows
                           .chunk("LIST", Bytes(4, 0))
                           .bytes();
    EXPECT_EQ(samplesOf(file), (Samples{-32512, -32256, -32000}));
}

TEST(WavChunks, MissingPadByteDerailsTheWalk) {
    const Bytes file =
        WavBuilder().chunk("odd ", Bytes(3, 0x55), false).fmt(1, 1, 8000, 8).data(pcm8({1})).bytes();
    EXPECT_TRUE(refusedUntouched(file));
}

TEST(WavChunks, FirstDataChunkWins) {
    const Bytes file = WavBuilder().fmt(1, 1, 44100, 16).data(pcm16({1, 2})).data(pcm16({3, 4, 5})).bytes();
    EXPECT_EQ(samplesOf(file), (Samples{1, 2}));
    const Bytes emptyFirst = WavBuilder().fmt(1, 1, 44100, 16).data({}).data(pcm16({3})).bytes();
    EXPECT_EQ(refusalOf(emptyFirst), Refusal::EmptyData);
}

TEST(WavChunks, LaterFormatChunkReplacesEarlier) {
    const Bytes file = WavBuilder().fmt(1, 1, 8000, 8).data(pcm16({1000, 2000})).fmt(1, 2, 22050, 16).bytes();
    const DecodedFile out = decodeOk(file);
    EXPECT_EQ(out.sampleRate, 22050u);
    EXPECT_EQ(out.channels, 2);
    EXPECT_EQ(out.samples, (Samples{1000, 2000}));
    const Bytes extensibleThenPlain =
        WavBuilder().extensibleFmt(3, 1, 8000, 32).fmt(1, 1, 8000, 16).data(pcm16({5})).bytes();
    StreamInfo info;
    ASSERT_EQ(inspect(extensibleThenPlain.data(), extensibleThenPlain.size(), &info), Refusal::None);
    EXPECT_FALSE(info.extensible);
    EXPECT_EQ(info.encoding, Encoding::Pcm);
}

TEST(WavChunks, BadLaterFormatChunkRejects) {
    EXPECT_TRUE(
        refusedUntouched(WavBuilder().fmt(1, 1, 8000, 16).data(pcm16({1})).fmt(2, 1, 8000, 4).bytes()));
}

TEST(WavChunks, RiffSizeFieldIsIgnored) {
    Bytes file = monoPcm16(pcm16({7, 8}));
    for (std::uint32_t size : {0u, 1u, 0xFFFFFFFFu}) {
        std::memcpy(&file[4], &size, 4);
        EXPECT_EQ(samplesOf(file), (Samples{7, 8}));
    }
}

TEST(WavChunks, TrailingBytesShorterThanAHeaderAreIgnored) {
    const Bytes good = monoPcm16(pcm16({7, 8}));
    for (std::size_t n = 1; n <= 7; ++n) {
        Bytes file = good;
        file.insert(file.end(), n, 0xEE);
        EXPECT_EQ(samplesOf(file), (Samples{7, 8})) << n << " trailing bytes";
    }
}

TEST(WavChunks, StrayChunkRunningPastTheEndRejectsTheFile) {
    EXPECT_TRUE(refusedUntouched(
        WavBuilder().fmt(1, 1, 8000, 16).data(pcm16({1})).raw({'j', 'u', 'n', 'k', 1, 0, 0, 0}).bytes()));
    const Bytes emptyStray = WavBuilder().fmt(1, 1, 8000, 16).data(pcm16({1})).raw(Bytes(8, 0)).bytes();
    EXPECT_EQ(samplesOf(emptyStray), Samples{1}); // a zero-sized chunk of any name fits
    EXPECT_EQ(refusalOf(WavBuilder().raw({'f', 'm', 't', ' ', 0xFF, 0xFF, 0xFF, 0xFF}).bytes()),
              Refusal::ChunkOverrun);
}

TEST(WavChunks, EveryTruncationIsRefused) {
    const Bytes file = WavBuilder().fmt(1, 2, 44100, 16).data(pcm16({1, 2, 3, 4})).bytes();
    for (std::size_t size = 0; size < file.size(); ++size) {
        const Bytes prefix(file.begin(), file.begin() + std::ptrdiff_t(size));
        EXPECT_TRUE(refusedUntouched(prefix)) << "prefix of " << size << " bytes";
    }
}

// ---- refusals ----

TEST(WavRefusal, HeaderMustBeRiffWave) {
    const Bytes good = monoPcm16(pcm16({1}));
    Bytes rifx = good;
    rifx[3] = 'X';
    Bytes wavf = good;
    wavf[11] = 'F';
    EXPECT_EQ(refusalOf(rifx), Refusal::NotRiffWave);
    EXPECT_EQ(refusalOf(wavf), Refusal::NotRiffWave);
    EXPECT_EQ(refusalOf(Bytes(good.begin(), good.begin() + 11)), Refusal::NotRiffWave);
    EXPECT_EQ(refusalOf(WavBuilder().raw(Bytes(7, 0)).bytes()), Refusal::NoFormatChunk); // 19 bytes
    EXPECT_TRUE(refusedUntouched(rifx));
}

TEST(WavRefusal, NullArguments) {
    const Bytes good = monoPcm16(pcm16({1}));
    DecodedFile out;
    EXPECT_FALSE(decode(nullptr, good.size(), &out));
    EXPECT_FALSE(decode(good.data(), good.size(), nullptr));
    StreamInfo info;
    EXPECT_EQ(inspect(nullptr, 100, &info), Refusal::NotRiffWave);
    EXPECT_EQ(inspect(good.data(), good.size(), nullptr), Refusal::NotRiffWave);
}

TEST(WavRefusal, UnsupportedEncodings) {
    const struct {
        std::uint16_t tag, bits;
    } cases[] = {{1, 0}, {1, 4},  {1, 12}, {1, 20}, {1, 64}, {3, 16},     {3, 24},
                 {3, 8}, {2, 16}, {6, 8},  {7, 8},  {0, 16}, {0xFFFF, 16}};
    for (const auto& c : cases) {
        const Bytes file = WavBuilder().fmt(c.tag, 1, 8000, c.bits).data(Bytes(64, 0)).bytes();
        EXPECT_EQ(refusalOf(file), Refusal::UnsupportedEncoding) << "tag " << c.tag << " bits " << c.bits;
        EXPECT_TRUE(refusedUntouched(file));
    }
}

TEST(WavRefusal, ShortFormatChunk) {
    EXPECT_EQ(refusalOf(WavBuilder().fmt(1, 1, 8000, 16, 15).data(pcm16({1})).bytes()),
              Refusal::ShortFormatChunk);
    EXPECT_EQ(samplesOf(WavBuilder().fmt(1, 1, 8000, 16, 18).data(pcm16({1})).bytes()), Samples{1});
}

TEST(WavRefusal, MalformedExtensibleFormat) {
    const Bytes samples = pcm16({1});
    EXPECT_EQ(refusalOf(WavBuilder().extensibleFmt(1, 1, 8000, 16, 22, 39).data(samples).bytes()),
              Refusal::BadExtensibleFormat);
    EXPECT_EQ(refusalOf(WavBuilder().extensibleFmt(1, 1, 8000, 16, 21).data(samples).bytes()),
              Refusal::BadExtensibleFormat);
    EXPECT_EQ(refusalOf(WavBuilder().extensibleFmt(0xFFFE, 1, 8000, 16).data(samples).bytes()),
              Refusal::UnsupportedEncoding);
    EXPECT_EQ(refusalOf(WavBuilder().extensibleFmt(2, 1, 8000, 16).data(samples).bytes()),
              Refusal::UnsupportedEncoding);
    EXPECT_EQ(refusalOf(WavBuilder().extensibleFmt(3, 1, 8000, 16).data(samples).bytes()),
              Refusal::UnsupportedEncoding);
    EXPECT_TRUE(refusedUntouched(WavBuilder().extensibleFmt(1, 1, 8000, 16, 21).data(samples).bytes()));
}

TEST(WavRefusal, MissingOrEmptyParts) {
    EXPECT_EQ(refusalOf(WavBuilder().data(pcm16({1})).bytes()), Refusal::NoFormatChunk);
    EXPECT_EQ(refusalOf(WavBuilder().fmt(1, 1, 8000, 16).bytes()), Refusal::NoDataChunk);
    EXPECT_EQ(refusalOf(WavBuilder().fmt(1, 1, 8000, 16).data({}).bytes()), Refusal::EmptyData);
    EXPECT_EQ(refusalOf(WavBuilder().fmt(1, 0, 8000, 16).data(pcm16({1})).bytes()), Refusal::ZeroChannels);
    EXPECT_EQ(refusalOf(WavBuilder().fmt(1, 1, 0, 16).data(pcm16({1})).bytes()), Refusal::ZeroSampleRate);
    EXPECT_EQ(refusalOf(WavBuilder().fmt(1, 2, 8000, 16).data(pcm8({1, 2, 3})).bytes()),
              Refusal::ShorterThanOneFrame);
    EXPECT_TRUE(refusedUntouched(WavBuilder().fmt(1, 0, 8000, 16).data(pcm16({1})).bytes(), 2));
    EXPECT_TRUE(refusedUntouched(WavBuilder().fmt(1, 2, 8000, 16).data(pcm8({1, 2, 3})).bytes()));
}

TEST(WavRefusal, EveryRefusalHasADescription) {
    for (int r = int(Refusal::None); r <= int(Refusal::ShorterThanOneFrame); ++r)
        EXPECT_GT(std::strlen(brume::wav::describe(Refusal(r))), 0u);
}

// ---- reading files ----

class WavFileBytes : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ =
            std::filesystem::temp_directory_path() /
            ("bv_wav_test_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
             "_" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string write(const char* name, const Bytes& bytes) {
        const auto path = dir_ / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return path.string();
    }
    std::filesystem::path dir_;
};

TEST_F(WavFileBytes, ReadsTheWholeFile) {
    const Bytes wav = monoPcm16(pcm16({1, 2, 3}));
    std::vector<std::uint8_t> bytes;
    ASSERT_TRUE(brume::wav::detail::readFileBytes(write("a.wav", wav).c_str(), &bytes));
    EXPECT_EQ(bytes, wav);
    DecodedFile out;
    EXPECT_TRUE(decode(bytes.data(), bytes.size(), &out, {2}));
    EXPECT_EQ(out.samples, (Samples{1, 1, 2, 2, 3, 3}));
}

TEST_F(WavFileBytes, RefusesWhatCannotBeRead) {
    std::vector<std::uint8_t> bytes{9};
    using brume::wav::detail::readFileBytes;
    EXPECT_FALSE(readFileBytes(write("empty.wav", {}).c_str(), &bytes));
    EXPECT_FALSE(readFileBytes((dir_ / "missing.wav").c_str(), &bytes));
    EXPECT_FALSE(readFileBytes(dir_.c_str(), &bytes));
    EXPECT_FALSE(readFileBytes(nullptr, &bytes));
    EXPECT_FALSE(readFileBytes(write("b.wav", {1}).c_str(), nullptr));
    EXPECT_EQ(bytes, std::vector<std::uint8_t>{9});
}

} // namespace
