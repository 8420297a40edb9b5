// OSS sink: plays through an OSS character device ("/dev/dsp" for the engine).
// Supports whatever format, channel count and rate the driver grants for the
// three requests. Limits: one descriptor per playback, so tracks play at once
// only where the driver mixes them; writes block in the driver, and closing
// lets it play out what it holds. Needs only POSIX open/ioctl/write/close and
// the kernel's soundcard header, no library.
#pragma once

#include "sink.h"

namespace brume::audio {

// One ioctl-style configuration call on an open descriptor. The engine uses
// the real ioctl; tests stand a pipe in for the device and answer themselves.
using DspControl = int (*)(int fd, unsigned long request, int* value);
int deviceControl(int fd, unsigned long request, int* value);

class OssSink final : public Sink {
  public:
    // Opens `path` write-only; null when it cannot be opened.
    static std::unique_ptr<Sink> open(const char* path = "/dev/dsp", DspControl control = deviceControl);
    ~OssSink() override;

    bool request(DspRequest request, int& value) override;
    std::ptrdiff_t write(const std::uint8_t* bytes, std::size_t size) override;

  private:
    OssSink(int fd, DspControl control) : fd_(fd), control_(control) {}
    int fd_;
    DspControl control_;
};

} // namespace brume::audio
