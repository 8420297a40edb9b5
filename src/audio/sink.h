// The sound device as the player sees it: something that is configured by three
// requests and then takes blocking writes of 16-bit stereo bytes. The player
// owns the rules (order of requests, what must come back, positions); a sink
// only carries them to one kind of device, so the rules are testable without one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace brume::audio {

// The configuration requests, sent in this order. Each carries a value that
// the device may change to what it grants.
enum class DspRequest { Format, Channels, Rate };

// The sample format value of a Format request: signed 16-bit little-endian.
constexpr int formatS16LE = 16;

class Sink {
  public:
    virtual ~Sink() = default; // closes the device

    // Sends one request; false when the device refused it outright. On true,
    // `value` holds what the device granted.
    virtual bool request(DspRequest request, int& value) = 0;

    // Writes up to `size` bytes, blocking while the device is busy. Returns the
    // count taken (0 is allowed) or a negated errno value.
    virtual std::ptrdiff_t write(const std::uint8_t* bytes, std::size_t size) = 0;
};

// Opens a sink for one playback; null when no device can be had.
using SinkOpener = std::function<std::unique_ptr<Sink>()>;

} // namespace brume::audio
