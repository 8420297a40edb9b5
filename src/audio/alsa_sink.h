// ALSA sink: the stand-in for machines without "/dev/dsp". Plays through an
// ALSA PCM (the engine uses "default") in signed 16-bit little-endian
// interleaved frames; the rate is the nearest the PCM grants, the channel
// count likewise. The three requests are collected and the hardware setup is
// committed by the Rate request, so they must come in the player's order.
// Writes are whole frames only (the player's positions always are, on this
// sink); an underrun is recovered and counts as a write of 0 bytes. ALSA's own
// error printing is silenced, since a missing device is an expected outcome.
// Needs libasound.so.2, loaded when the first sink opens; without it none opens.
#pragma once

#include "sink.h"

namespace brume::audio {

class AlsaSink final : public Sink {
  public:
    // Opens the PCM `name` for blocking playback; null when it cannot be opened.
    static std::unique_ptr<Sink> open(const char* name = "default");
    ~AlsaSink() override;

    bool request(DspRequest request, int& value) override;
    std::ptrdiff_t write(const std::uint8_t* bytes, std::size_t size) override;

  private:
    struct Handles;
    explicit AlsaSink(std::unique_ptr<Handles> handles);
    std::unique_ptr<Handles> handles_;
};

} // namespace brume::audio
