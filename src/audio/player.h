// The track player: decoded WAV tracks kept in memory, each played on a thread
// of its own that opens a sound device for itself. Handles are the records'
// addresses; a handle the player does not hold is ignored by every operation.
// Calls come from one thread (the script's); only the playback threads run
// beside it, sharing a record's atomics with it.
#pragma once

#include "sink.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace brume::audio {

// One opened track.
struct DspAudioPlayer {
    std::vector<std::int16_t> samples; // interleaved left, right; fixed once opened
    std::uint32_t sampleRate = 0;      // the file's frames per second
    std::thread thread;                // the current or last playback
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> playing{false};            // from the start of a playback until its thread ends
    std::atomic<std::uint64_t> framePosition{0}; // frames handed to the device
    std::atomic<std::uint64_t> offsetMs{0};      // the same position in milliseconds
};

// The thread body of one playback from `startMs`, over a sink from `openSink`.
void playbackMain(DspAudioPlayer* track, std::uint64_t startMs, bool loop, const SinkOpener& openSink);

class Player {
  public:
    explicit Player(SinkOpener openSink);
    // Stops every playback and releases every track: no thread outlives the player.
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    // A handle for the WAV file at `path`, decoded to two channels; null on any failure.
    void* open(const char* path);
    // Restarts the track from `startMs`; false for an unknown handle.
    bool play(void* handle, std::uint64_t startMs, bool loop);
    // Stops the track and returns its position in milliseconds (0 when unknown).
    std::uint64_t stop(void* handle);
    void stopAll();
    // Stops the track and releases it; the handle is invalid afterwards.
    void close(void* handle);
    std::uint64_t currentOffset(void* handle);

  private:
    DspAudioPlayer* find(void* handle);

    SinkOpener openSink_;
    std::unordered_map<void*, std::unique_ptr<DspAudioPlayer>> players;
    std::mutex playersMutex; // guards `players` only; never held while joining
};

// The engine's device: "/dev/dsp" when it opens, else ALSA's default PCM.
std::unique_ptr<Sink> openDevice();

// The engine's own player, on openDevice.
void* OpenMP3File(const char* path);
bool Play(void* handle, std::uint64_t startMs, bool loop);
std::uint64_t Stop(void* handle);
void StopAll();
void Close(void* handle);
std::uint64_t GetCurrentOffset(void* handle);

} // namespace brume::audio
