#include "player.h"

#include "alsa_sink.h"
#include "oss_sink.h"
#include "wav.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <system_error>

namespace brume::audio {

// Samples go to the device as they lie in memory, which must be its byte order.
static_assert(std::endian::native == std::endian::little);

namespace {

constexpr std::size_t frameBytes = 4; // two 16-bit samples
constexpr std::size_t maxWriteBytes = 4096;

// a × b ÷ c rounded down, without overflow for any 64-bit a and 32-bit b.
std::uint64_t scaleDown(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(std::min<unsigned __int128>(product / c, UINT64_MAX));
}

void moveTo(DspAudioPlayer& track, std::uint64_t frame, std::uint32_t deviceRate) {
    track.framePosition = frame;
    track.offsetMs = frame * 1000 / deviceRate;
}

// Sends the three requests in order; the rate the device grants, or 0 when it
// cannot play 16-bit stereo.
std::uint32_t configure(Sink& sink, std::uint32_t sampleRate) {
    int format = formatS16LE, channels = 2, rate = static_cast<int>(sampleRate);
    if (!sink.request(DspRequest::Format, format) || format != formatS16LE) return 0;
    if (!sink.request(DspRequest::Channels, channels) || channels != 2) return 0;
    if (!sink.request(DspRequest::Rate, rate) || rate < 1) return 0;
    return static_cast<std::uint32_t>(rate);
}

enum class Ending { NoDevice, Stopped, WriteFailed, ReachedEnd };

Ending stream(DspAudioPlayer& track, Sink& sink, std::uint64_t startMs, bool loop, std::uint32_t deviceRate) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(track.samples.data());
    const std::size_t totalBytes = track.samples.size() * sizeof(std::int16_t);
    const std::uint64_t totalFrames = totalBytes / frameBytes;
    const std::uint64_t startFrame = std::min(totalFrames, scaleDown(startMs, deviceRate, 1000));
    moveTo(track, startFrame, deviceRate);
    std::size_t position = startFrame * frameBytes;
    if (track.stopRequested) return Ending::Stopped;
    do {
        if (position < totalBytes) {
            const std::ptrdiff_t written =
                sink.write(bytes + position, std::min(maxWriteBytes, totalBytes - position));
            if (written == -EINTR) continue;
            if (written < 0) return Ending::WriteFailed;
            position += static_cast<std::size_t>(written);
            moveTo(track, std::min<std::uint64_t>(totalFrames, position / frameBytes), deviceRate);
        } else if (!loop) {
            return Ending::ReachedEnd;
        } else {
            position = 0;
            moveTo(track, 0, deviceRate);
        }
    } while (!track.stopRequested);
    return Ending::Stopped;
}

// Asks a playback to end and waits for its thread; also reaps a thread that
// ended by itself.
void stopTrack(DspAudioPlayer& track) {
    if (track.playing) track.stopRequested = true;
    if (track.thread.joinable()) track.thread.join();
    track.playing = false;
}

} // namespace

void playbackMain(DspAudioPlayer* track, std::uint64_t startMs, bool loop, const SinkOpener& openSink) {
    Ending ending = Ending::NoDevice;
    if (!track->samples.empty() && track->sampleRate != 0) {
        if (std::unique_ptr<Sink> sink = openSink()) {
            if (const std::uint32_t deviceRate = configure(*sink, track->sampleRate))
                ending = stream(*track, *sink, startMs, loop, deviceRate);
        }
    }
    // By now the sink is closed: a track seen idle holds no device.
    if (ending == Ending::ReachedEnd) track->offsetMs = 0;
    track->playing = false;
}

Player::Player(SinkOpener openSink) : openSink_(std::move(openSink)) {
    players.max_load_factor(1.0f);
}

Player::~Player() {
    std::unordered_map<void*, std::unique_ptr<DspAudioPlayer>> tracks;
    {
        std::lock_guard lock(playersMutex);
        tracks.swap(players);
    }
    for (auto& [handle, track] : tracks) stopTrack(*track);
}

void* Player::open(const char* path) {
    if (!path) return nullptr;
    wav::DecodedFile decoded;
    {
        std::vector<std::uint8_t> bytes;
        if (!wav::detail::readFileBytes(path, &bytes) ||
            !wav::decode(bytes.data(), bytes.size(), &decoded, wav::DecodeOptions{2}))
            return nullptr;
    }
    if (decoded.channels != 2 || decoded.samples.empty() || decoded.sampleRate == 0) return nullptr;
    auto track = std::make_unique<DspAudioPlayer>();
    track->samples = std::move(decoded.samples);
    track->sampleRate = decoded.sampleRate;
    void* handle = track.get();
    std::lock_guard lock(playersMutex);
    players.emplace(handle, std::move(track));
    return handle;
}

DspAudioPlayer* Player::find(void* handle) {
    std::lock_guard lock(playersMutex);
    const auto it = players.find(handle);
    return it == players.end() ? nullptr : it->second.get();
}

bool Player::play(void* handle, std::uint64_t startMs, bool loop) {
    DspAudioPlayer* track = find(handle);
    if (!track) return false;
    stopTrack(*track);
    track->stopRequested = false;
    track->playing = true;
    try {
        track->thread = std::thread(playbackMain, track, startMs, loop, std::cref(openSink_));
    } catch (const std::system_error& error) {
        track->playing = false;
        throw std::system_error(error.code(), "thread constructor failed");
    }
    return true;
}

std::uint64_t Player::stop(void* handle) {
    DspAudioPlayer* track = find(handle);
    if (!track) return 0;
    stopTrack(*track);
    return track->offsetMs;
}

void Player::stopAll() {
    std::vector<DspAudioPlayer*> tracks;
    {
        std::lock_guard lock(playersMutex);
        tracks.reserve(players.size());
        for (const auto& [handle, track] : players) tracks.push_back(track.get());
    }
    for (DspAudioPlayer* track : tracks) stopTrack(*track);
}

void Player::close(void* handle) {
    std::unique_ptr<DspAudioPlayer> track;
    {
        std::lock_guard lock(playersMutex);
        const auto it = players.find(handle);
        if (it == players.end()) return;
        track = std::move(it->second);
        players.erase(it);
    }
    stopTrack(*track);
}

std::uint64_t Player::currentOffset(void* handle) {
    std::lock_guard lock(playersMutex);
    const auto it = players.find(handle);
    if (it == players.end()) return 0;
    const DspAudioPlayer& track = *it->second;
    if (track.playing && track.sampleRate != 0) return track.framePosition * 1000 / track.sampleRate;
    return track.offsetMs;
}

std::unique_ptr<Sink> openDevice() {
    if (auto oss = OssSink::open("/dev/dsp")) return oss;
    return AlsaSink::open("default");
}

namespace {
// Created before the program starts; at exit it stops every playback.
Player enginePlayer(openDevice);
} // namespace

void* OpenMP3File(const char* path) {
    return enginePlayer.open(path);
}
bool Play(void* handle, std::uint64_t startMs, bool loop) {
    return enginePlayer.play(handle, startMs, loop);
}
std::uint64_t Stop(void* handle) {
    return enginePlayer.stop(handle);
}
void StopAll() {
    enginePlayer.stopAll();
}
void Close(void* handle) {
    enginePlayer.close(handle);
}
std::uint64_t GetCurrentOffset(void* handle) {
    return enginePlayer.currentOffset(handle);
}

} // namespace brume::audio
