// The player's state machine over recording sinks that stand in for the device.
// Progress is driven by the test: a sink can hold a write until released, and
// the test waits for states, never for time.
#include "player.h"
#include "wav_builder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <functional>
#include <limits>

namespace {

using brume::audio::DspAudioPlayer;
using brume::audio::DspRequest;
using brume::audio::Player;
using brume::audio::Sink;
using namespace wavtest;

constexpr std::size_t noWrite = std::numeric_limits<std::size_t>::max();

// What every sink it opens does and saw; shared with the playback threads.
class RecordingDevice {
  public:
    struct Record {
        std::thread::id owner; // the playback thread that opened the sink
        std::vector<std::pair<DspRequest, int>> requests;
        std::vector<std::size_t> offered; // the size of each write attempt
        Bytes bytes;                      // what was taken, up to a bound (a loop runs on)
        bool released = false;            // its held write may go on
        bool closed = false;
    };

    // Behaviour, set while nothing plays.
    bool absent = false;
    int grantFormat = 16, grantChannels = 2, grantRate = 0; // 0 grants the rate asked for
    bool failRateRequest = false;
    std::size_t maxAccepted = SIZE_MAX; // bytes taken per write at most
    std::size_t failAt = noWrite;       // this write (counted per sink) returns an error
    std::size_t interruptAt = noWrite;  // this write is interrupted once

    // From the `n`th write of each sink on, writes wait until their sink is released.
    void holdFrom(std::size_t n) {
        std::lock_guard lock(mutex_);
        holdFrom_ = n;
    }
    // Lets the writes of the open sink of playback thread `owner` go on.
    void release(std::thread::id owner) {
        std::lock_guard lock(mutex_);
        for (auto& record : records_)
            if (record->owner == owner && !record->closed) record->released = true;
        changed_.notify_all();
    }
    // Waits until `count` writes are held, or `count` sinks have been closed.
    void waitHeld(int count) { waitFor(held_, count); }
    void waitClosed(int count) { waitFor(closed_, count); }
    // A copy of what sink `index` saw (sinks are numbered in opening order).
    Record record(std::size_t index) {
        std::lock_guard lock(mutex_);
        return *records_.at(index);
    }
    int opened() { return read(opened_); }
    int mostOpenAtOnce() { return read(mostOpen_); }

    brume::audio::SinkOpener opener() {
        return [this]() -> std::unique_ptr<Sink> {
            std::lock_guard lock(mutex_);
            if (absent) return nullptr;
            records_.push_back(std::make_shared<Record>());
            records_.back()->owner = std::this_thread::get_id();
            ++opened_;
            mostOpen_ = std::max(mostOpen_, ++open_);
            return std::make_unique<RecordingSink>(*this, records_.back());
        };
    }

  private:
    class RecordingSink final : public Sink {
      public:
        RecordingSink(RecordingDevice& device, std::shared_ptr<Record> record)
            : device_(device), record_(std::move(record)) {}
        ~RecordingSink() override {
            std::lock_guard lock(device_.mutex_);
            record_->closed = true;
            --device_.open_;
            ++device_.closed_;
            device_.changed_.notify_all();
        }
        bool request(DspRequest request, int& value) override {
            std::lock_guard lock(device_.mutex_);
            record_->requests.emplace_back(request, value);
            if (request == DspRequest::Format) value = device_.grantFormat;
            if (request == DspRequest::Channels) value = device_.grantChannels;
            if (request == DspRequest::Rate && device_.grantRate) value = device_.grantRate;
            return request != DspRequest::Rate || !device_.failRateRequest;
        }
        std::ptrdiff_t write(const std::uint8_t* bytes, std::size_t size) override {
            std::unique_lock lock(device_.mutex_);
            const std::size_t index = record_->offered.size();
            record_->offered.push_back(size);
            if (index >= device_.holdFrom_ && !record_->released) {
                ++device_.held_;
                device_.changed_.notify_all();
                device_.changed_.wait(lock, [&] { return record_->released; });
                --device_.held_;
            }
            if (index == device_.failAt) return -EIO;
            if (index == device_.interruptAt) return -EINTR;
            const std::size_t taken = std::min(size, device_.maxAccepted);
            if (record_->bytes.size() < keptBytes)
                record_->bytes.insert(record_->bytes.end(), bytes, bytes + taken);
            return std::ptrdiff_t(taken);
        }

      private:
        RecordingDevice& device_;
        std::shared_ptr<Record> record_;
    };

    void waitFor(const int& counter, int count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return counter == count; });
    }
    int read(const int& counter) {
        std::lock_guard lock(mutex_);
        return counter;
    }

    static constexpr std::size_t keptBytes = 1 << 16;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::shared_ptr<Record>> records_;
    std::size_t holdFrom_ = noWrite;
    int held_ = 0, open_ = 0, mostOpen_ = 0, opened_ = 0, closed_ = 0;
};

const auto recordOf = [](void* handle) -> DspAudioPlayer& { return *static_cast<DspAudioPlayer*>(handle); };
const auto waitUntil = [](const auto& condition) {
    while (!condition()) std::this_thread::yield();
};
const auto slice = [](const Bytes& bytes, std::size_t from, std::size_t count) {
    return Bytes(bytes.begin() + std::ptrdiff_t(from), bytes.begin() + std::ptrdiff_t(from + count));
};

// Runs a call that stops held playbacks of `tracks`: each held write is let
// through only once its track has been asked to stop, as a device write would
// return while the stop waits for it.
template <class Call> auto stopHeld(RecordingDevice& device, std::vector<void*> tracks, Call call) {
    std::vector<std::pair<void*, std::thread::id>> held; // the owners, read before the call joins them
    for (void* track : tracks) held.emplace_back(track, recordOf(track).thread.get_id());
    decltype(call()) result{};
    std::thread caller([&] { result = call(); });
    while (!held.empty()) {
        auto next = held.end();
        waitUntil([&] {
            next = std::find_if(held.begin(), held.end(),
                                [](auto& h) { return recordOf(h.first).stopRequested.load(); });
            return next != held.end();
        });
        device.release(next->second);
        held.erase(next);
    }
    caller.join();
    return result;
}

class PlayerTest : public ::testing::Test {
  protected:
    // Opens a track of `file`, kept on disk until the test ends.
    void* openTrack(const Bytes& file) {
        files_.push_back(std::make_unique<TempFile>(std::to_string(files_.size()) + ".wav", file));
        return player.open(files_.back()->path());
    }
    // Stops the held playback of `track`, returning the offset it stopped at.
    std::uint64_t stopHeldTrack(void* track) {
        return stopHeld(device, {track}, [&] { return player.stop(track); });
    }

    std::vector<std::unique_ptr<TempFile>> files_;
    RecordingDevice device;
    Player player{device.opener()};
};

TEST_F(PlayerTest, PlaysAWholeTrackAndEndsAtOffsetZero) {
    const Bytes file = countingWav(1, 8000, 3000); // 12000 device bytes: three writes
    void* track = openTrack(file);
    ASSERT_NE(track, nullptr);
    ASSERT_TRUE(player.play(track, 0, false));
    device.waitClosed(1);
    EXPECT_EQ(player.stop(track), 0u);
    const RecordingDevice::Record seen = device.record(0);
    EXPECT_EQ(seen.requests,
              (std::vector<std::pair<DspRequest, int>>{
                  {DspRequest::Format, 16}, {DspRequest::Channels, 2}, {DspRequest::Rate, 8000}}));
    EXPECT_EQ(seen.offered, (std::vector<std::size_t>{4096, 4096, 3808}));
    EXPECT_EQ(seen.bytes, deviceBytes(file)); // mono comes out as equal left and right
    EXPECT_EQ(recordOf(track).framePosition, 3000u);

    // An offset beyond the end ends at once.
    player.play(track, std::numeric_limits<std::uint64_t>::max(), false);
    device.waitClosed(2);
    EXPECT_EQ(player.stop(track), 0u);
    EXPECT_TRUE(device.record(1).offered.empty());
    EXPECT_EQ(recordOf(track).framePosition, 3000u);
}

// The device may grant another rate and take part of a write: positions count
// the frames it took, at its rate, and a stopped track resumes from the offset
// its stop returned.
TEST_F(PlayerTest, PausesAndResumesAtTheGrantedRateThroughPartialWrites) {
    const Bytes file = countingWav(2, 8000, 2000);
    void* track = openTrack(file);
    device.grantRate = 4000;
    device.maxAccepted = 1001; // writes end inside frames
    device.holdFrom(2);
    player.play(track, 250, false); // 250 ms at the device's 4000 frames a second: frame 1000
    device.waitHeld(1);
    EXPECT_EQ(recordOf(track).framePosition, 1000u + 2002 / 4);
    EXPECT_EQ(player.currentOffset(track), (1000u + 500) * 1000 / 8000); // a query uses the file's rate
    const std::uint64_t paused = stopHeldTrack(track);
    EXPECT_EQ(paused, (1000u + 750) * 1000 / 4000); // the held write still counts
    EXPECT_EQ(player.currentOffset(track), paused);

    device.holdFrom(noWrite);
    player.play(track, paused, false); // 437 ms: frame 1748, 1008 bytes before the end
    device.waitClosed(2);
    player.stop(track);
    const RecordingDevice::Record seen = device.record(1);
    EXPECT_EQ(seen.bytes, slice(deviceBytes(file), 1748 * 4, 1008));
    EXPECT_EQ(seen.offered, (std::vector<std::size_t>{1008, 1008 - 1001}));
}

TEST_F(PlayerTest, PlayWhilePlayingRestartsFromTheNewOffset) {
    const Bytes file = countingWav(2, 1000, 5000);
    void* track = openTrack(file);
    device.holdFrom(1);
    player.play(track, 0, false);
    device.waitHeld(1);
    EXPECT_TRUE(stopHeld(device, {track}, [&] { return player.play(track, 3000, true); }));
    device.waitHeld(1); // the restarted playback, at its second write
    EXPECT_EQ(device.record(0).bytes, slice(deviceBytes(file), 0, 8192));
    EXPECT_TRUE(device.record(0).closed);
    EXPECT_EQ(device.record(1).bytes, slice(deviceBytes(file), 3000 * 4, 4096));
    stopHeld(device, {track}, [&] {
        player.close(track);
        return 0;
    });
    EXPECT_EQ(device.mostOpenAtOnce(), 1);
}

TEST_F(PlayerTest, LoopsUntilStoppedAndKeepsTheOffset) {
    const Bytes file = countingWav(2, 1000, 1536); // 6144 bytes: a full write and a half one
    void* track = openTrack(file);
    device.holdFrom(4);
    player.play(track, 60000, true); // beyond the end: a loop starts over from the beginning
    device.waitHeld(1);
    const std::uint64_t stopped = stopHeldTrack(track);
    const Bytes whole = deviceBytes(file);
    Bytes expected = whole;
    expected.insert(expected.end(), whole.begin(), whole.end());
    expected.insert(expected.end(), whole.begin(), whole.begin() + 4096);
    EXPECT_EQ(device.record(0).bytes, expected);
    EXPECT_EQ(stopped, 1024u);
}

TEST_F(PlayerTest, WriteErrorsEndPlaybackAndInterruptionsRetry) {
    void* track = openTrack(countingWav(2, 1000, 3000));
    device.failAt = 2;
    device.interruptAt = 1;
    player.play(track, 0, false);
    waitUntil([&] { return !recordOf(track).playing; });
    EXPECT_EQ(device.record(0).offered, (std::vector<std::size_t>{4096, 4096, 4096}));
    EXPECT_EQ(player.stop(track), 1024u); // not reset: the track did not run to its end
}

TEST_F(PlayerTest, DevicesThatCannotPlayStereo16BitEndSilently) {
    void* track = openTrack(countingWav(2, 1000, 3000));
    const std::vector<std::function<void()>> refusals = {
        [&] { device.grantFormat = 8; }, [&] { device.grantChannels = 1; }, [&] { device.grantRate = -1; },
        [&] { device.failRateRequest = true; }, [&] { device.absent = true; }};
    for (std::size_t i = 0; i < refusals.size(); ++i) {
        device.grantFormat = 16, device.grantChannels = 2, device.grantRate = 0;
        device.failRateRequest = false;
        refusals[i]();
        EXPECT_TRUE(player.play(track, 1000, false));
        waitUntil([&] { return !recordOf(track).playing; });
        EXPECT_EQ(player.stop(track), 0u) << "refusal " << i;
    }
    ASSERT_EQ(device.opened(), 4);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(device.record(i).offered.empty());
        EXPECT_TRUE(device.record(i).closed);
    }
}

// stopAll stops every track and keeps them open; close joins a running loop,
// and the fixture's player joins the loops still running when it ends.
TEST_F(PlayerTest, SeveralTracksPlayAtOnceAndStopAllCloseAndTheEndOfThePlayerJoinThem) {
    const Bytes file = countingWav(2, 1000, 5000);
    void* tracks[3] = {openTrack(file), openTrack(file), openTrack(file)};
    device.holdFrom(1);
    for (void* track : tracks) EXPECT_TRUE(player.play(track, 0, true));
    device.waitHeld(3);
    EXPECT_EQ(device.mostOpenAtOnce(), 3);
    stopHeld(device, {tracks[0], tracks[1], tracks[2]}, [&] {
        player.stopAll();
        return 0;
    });
    for (void* track : tracks) {
        EXPECT_FALSE(recordOf(track).playing);
        EXPECT_EQ(player.stop(track), 2048u);
    }
    device.holdFrom(noWrite);
    for (void* track : tracks) EXPECT_TRUE(player.play(track, 0, true));
    player.close(tracks[0]); // most often before its playback has begun to write
    EXPECT_FALSE(player.play(tracks[0], 0, false));
    waitUntil([&] { return device.opened() == 6; });
}

TEST_F(PlayerTest, UnknownHandlesAndFilesThatDoNotOpen) {
    // Text, a WAV file of no samples, and a file that is not there (openTrack writes no empty file).
    for (const Bytes& file :
         {Bytes{'h', 'e', 'l', 'l', 'o'}, WavBuilder().fmt(1, 2, 8000, 16).data({}).bytes(), Bytes{}})
        EXPECT_EQ(openTrack(file), nullptr);
    for (const char* path : {"/", (const char*)nullptr}) EXPECT_EQ(player.open(path), nullptr);
    int notATrack = 0;
    for (void* handle : {(void*)&notATrack, (void*)nullptr}) {
        EXPECT_FALSE(player.play(handle, 0, false));
        EXPECT_EQ(player.stop(handle), 0u);
        EXPECT_EQ(player.currentOffset(handle), 0u);
        player.close(handle);
    }
    player.stopAll();
    void* track = openTrack(countingWav(6, 48000, 10));
    ASSERT_NE(track, nullptr);
    EXPECT_EQ(recordOf(track).samples.size(), 20u);
    EXPECT_EQ(recordOf(track).sampleRate, 48000u);
    EXPECT_EQ(device.opened(), 0);
}

} // namespace
