// Runs the brumevale-asset executable on files made here and checks its
// output, files and exit status.
#include "png.h"
#include "png_builder.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using namespace wavtest;
namespace fs = std::filesystem;

struct Result {
    int status = -1;
    std::string out, err;
};

// A 3 x 2 8-bit grey Adam7 image; the raw stream holds the non-empty passes
// 1, 4, 6 and 7 (pixels (0,0), (2,0), (1,0), then the whole second row).
Bytes interlacedGreyPng() {
    using namespace pngtest;
    return png_file(
        {ihdr(3, 2, 8, 0, 1), {"IDAT", zlib_stored({0, 10, 0, 30, 0, 20, 0, 40, 50, 60})}, iend()});
}

class AssetTool : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ =
            fs::temp_directory_path() /
            ("bv_asset_tool_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
             "_" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const char* name) const { return (dir_ / name).string(); }
    std::string write(const char* name, const Bytes& bytes) const {
        std::ofstream(dir_ / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return path(name);
    }
    template <class Contents = Bytes> static Contents read(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return Contents(std::istreambuf_iterator<char>(in), {});
    }

    // Runs the tool with already quoted arguments.
    Result run(const std::string& args) const {
        const std::string out = path("stdout.txt"), err = path("stderr.txt");
        const std::string command = "'" BV_ASSET_TOOL "' " + args + " >'" + out + "' 2>'" + err + "'";
        const int raw = std::system(command.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read<std::string>(out), read<std::string>(err)};
    }
    static std::string quoted(const std::string& s) { return "'" + s + "'"; }

    fs::path dir_;
};

TEST_F(AssetTool, UsageErrorsExitWithTwo) {
    for (const char* args : {"", "info", "info a b", "png2png a", "wav2raw a b c", "convert a b"}) {
        const Result result = run(args);
        EXPECT_EQ(result.status, 2) << args;
        EXPECT_EQ(result.err.rfind("usage: brumevale-asset ", 0), 0u) << args;
        EXPECT_EQ(result.out, "");
    }
}

// Described files go to standard output with status 0, refusals to standard error with status 1.
TEST_F(AssetTool, InfoDescribesAFileOrGivesTheReasonForARefusal) {
    const Bytes rgba = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const std::string saved = path("rgba.png");
    ASSERT_TRUE(bv::png::save_rgba8_file(saved.c_str(), rgba.data(), 3, 1));
    Bytes corrupt = interlacedGreyPng();
    corrupt[29] ^= 1; // IHDR CRC
    const std::string unreadable = "cannot read (missing, empty or not a regular file)";
    const struct {
        std::string file, text;
        int status;
    } cases[] = {
        {write("pcm.wav", WavBuilder().fmt(1, 2, 44100, 16).data(Bytes(4410 * 4 + 3, 0)).bytes()),
         "WAV 44100 Hz, 2 channels, 16-bit PCM, 4410 frames, 0.100 s", 0},
        {write("float.wav", WavBuilder().extensibleFmt(3, 1, 8000, 32).data(Bytes(16000 * 4, 0)).bytes()),
         "WAV 8000 Hz, 1 channel, 32-bit float (extensible), 16000 frames, 2.000 s", 0},
        {saved, "PNG 3x1, colour type 6 (RGBA), 8-bit, not interlaced", 0},
        {write("grey.png", interlacedGreyPng()), "PNG 3x2, colour type 0 (grey), 8-bit, Adam7 interlaced", 0},
        {write("zero.wav", WavBuilder().fmt(1, 0, 8000, 16).data(pcm16({1})).bytes()), "zero channels", 1},
        {write("adpcm.wav", WavBuilder().fmt(2, 1, 8000, 4).data(pcm16({1})).bytes()),
         "unsupported sample encoding or bit depth", 1},
        {write("riff.avi", {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '}), "not a RIFF/WAVE file", 1},
        {write("corrupt.png", corrupt), "refused by the PNG decoder (corrupt data or unsupported format)", 1},
        {write("text.txt", {'h', 'i'}), "neither a PNG nor a WAV file", 1},
        {write("empty.wav", {}), unreadable, 1},
        {path("missing.png"), unreadable, 1},
        {dir_.string(), unreadable, 1},
    };
    for (const auto& c : cases) {
        const Result result = run("info " + quoted(c.file));
        EXPECT_EQ(result.status, c.status) << c.file;
        EXPECT_EQ(c.status == 0 ? result.out : result.err, c.file + ": " + c.text + "\n");
        EXPECT_EQ(c.status == 0 ? result.err : result.out, "") << c.file;
    }
}

TEST_F(AssetTool, ConversionsWriteRgbaPngAndStereoLittleEndianRaw) {
    const std::string grey = write("grey.png", interlacedGreyPng()), png = path("out.png");
    Result result = run("png2png " + quoted(grey) + " " + quoted(png));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(run("info " + quoted(png)).out,
              png + ": PNG 3x2, colour type 6 (RGBA), 8-bit, not interlaced\n");
    bv::png::Image image;
    ASSERT_TRUE(bv::png::load_file(png.c_str(), image));
    EXPECT_EQ(image.pixels, (Bytes{10, 10, 10, 255, 20, 20, 20, 255, 30, 30, 30, 255,
                                   40, 40, 40, 255, 50, 50, 50, 255, 60, 60, 60, 255}));

    const std::string mono =
        write("mono8.wav", WavBuilder().fmt(1, 1, 8000, 8).data(pcm8({0, 128, 255})).bytes());
    const std::string raw = path("out.raw");
    result = run("wav2raw " + quoted(mono) + " " + quoted(raw));
    EXPECT_EQ(result.status, 0) << result.err;
    // -32768, 0, 32511, each twice (mono played on both channels)
    EXPECT_EQ(read(raw), (Bytes{0x00, 0x80, 0x00, 0x80, 0, 0, 0, 0, 0xFF, 0x7E, 0xFF, 0x7E}));
    // A file of more channels still comes out as two.
    const std::string quad =
        write("quad.wav", WavBuilder().fmt(1, 4, 8000, 16).data(pcm16({1, -2, 3, 4})).bytes());
    ASSERT_EQ(run("wav2raw " + quoted(quad) + " " + quoted(raw)).status, 0);
    EXPECT_EQ(read(raw), (Bytes{0x01, 0x00, 0xFE, 0xFF}));
}

// A refused input writes nothing; an output that cannot be written is named.
TEST_F(AssetTool, ConversionRefusals) {
    const std::string wav = write("a.wav", WavBuilder().fmt(1, 1, 8000, 16).data(pcm16({1})).bytes());
    const std::string shortWav =
        write("short.wav", WavBuilder().fmt(1, 2, 8000, 16).data(pcm8({1, 2})).bytes());
    const std::string grey = write("grey.png", interlacedGreyPng()), unwritable = path("no/such/dir/out.png");
    const std::string cases[][4] = {
        {"png2png", wav, path("out.png"), wav + ": not a PNG file"},
        {"png2png", grey, unwritable, unwritable + ": cannot write"},
        {"wav2raw", shortWav, path("out.raw"), shortWav + ": data shorter than one frame"},
        {"wav2raw", wav, dir_.string(), dir_.string() + ": cannot write"},
    };
    for (const auto& [command, in, out, error] : cases) {
        const Result result = run(command + " " + quoted(in) + " " + quoted(out));
        EXPECT_EQ(result.status, 1) << error;
        EXPECT_EQ(result.err, error + "\n");
        EXPECT_TRUE(out == dir_.string() || !fs::exists(out)) << out;
    }
}

} // namespace
