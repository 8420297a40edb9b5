// The real sinks: the OSS one writing into a FIFO that the test reads, and the
// ALSA one through ALSA's file plugin, set up by this test's own configuration.
#include "alsa_sink.h"
#include "oss_sink.h"
#include "player.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace {

using brume::audio::AlsaSink;
using brume::audio::OssSink;
using brume::audio::Player;
using namespace wavtest;

// Written by the playback thread; read once it has been joined.
std::vector<std::pair<unsigned long, int>> controlCalls;

int answerControl(int, unsigned long request, int* value) {
    controlCalls.emplace_back(request, *value);
    if (request == 0xC0045002) *value = 11025; // a rate other than the file's
    return 0;
}

// Plays `file` to its end through an OSS sink on a FIFO whose requests `control`
// answers, and returns what the FIFO received.
Bytes playedThroughFifo(const Bytes& file, brume::audio::DspControl control) {
    TempFile fifo("dsp"), wav("oss.wav", file);
    EXPECT_EQ(::mkfifo(fifo.path(), 0600), 0);
    const std::string path = fifo.path();
    Player player([&path, control] { return OssSink::open(path.c_str(), control); });
    void* track = player.open(wav.path());
    Bytes bytes;
    std::thread reader([&] {
        const int fd = ::open(path.c_str(), O_RDONLY);
        std::uint8_t buffer[1000];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
            bytes.insert(bytes.end(), buffer, buffer + n);
        ::close(fd);
    });
    const bool played = player.play(track, 0, false);
    EXPECT_TRUE(played);
    if (!played) ::close(::open(path.c_str(), O_WRONLY)); // lets the reader finish
    reader.join();
    EXPECT_EQ(player.stop(track), 0u);
    return bytes;
}

TEST(OssSink, WritesTheTrackIntoTheDevice) {
    const Bytes file = countingWav(1, 8000, 4);
    EXPECT_EQ(playedThroughFifo(file, answerControl), deviceBytes(file));
    EXPECT_EQ(controlCalls, (std::vector<std::pair<unsigned long, int>>{
                                {0xC0045005, 16}, {0xC0045006, 2}, {0xC0045002, 8000}}));
}

TEST(OssSink, AFileThatIsNoDeviceGetsNothing) {
    EXPECT_EQ(OssSink::open("/nonexistent/dsp"), nullptr);
    // A FIFO refuses the real requests.
    EXPECT_TRUE(playedThroughFifo(countingWav(2, 8000, 100), brume::audio::deviceControl).empty());
}

// The engine's own device choice: without "/dev/dsp" it is ALSA's default PCM.
TEST(AlsaSink, PlaysThroughTheDefaultPcm) {
    if (::access("/dev/dsp", F_OK) == 0) GTEST_SKIP() << "this machine has an OSS device";
    TempFile output("alsa.raw"), config("alsa.conf");
    {
        std::ofstream conf(config.path());
        conf << "pcm.!default { type file slave.pcm \"quiet\" file \"" << output.path()
             << "\" format \"raw\" }\n"
             << "pcm.quiet { type null }\n";
    }
    ASSERT_EQ(::setenv("ALSA_CONFIG_PATH", config.path(), 1), 0);
    EXPECT_EQ(AlsaSink::open("no_such_pcm"), nullptr);

    const Bytes file = countingWav(2, 22050, 3000);
    Player player(brume::audio::openDevice);
    TempFile wav("alsa.wav", file);
    void* track = player.open(wav.path());
    ASSERT_TRUE(player.play(track, 0, false));
    while (static_cast<brume::audio::DspAudioPlayer*>(track)->playing) std::this_thread::yield();
    EXPECT_EQ(player.stop(track), 0u);
    std::ifstream raw(output.path(), std::ios::binary);
    const Bytes written((std::istreambuf_iterator<char>(raw)), std::istreambuf_iterator<char>());
    EXPECT_EQ(written, deviceBytes(file));
}

} // namespace
