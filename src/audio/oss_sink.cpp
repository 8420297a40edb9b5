// OSS sink over plain POSIX calls; what it supports and needs is in oss_sink.h.
#include "oss_sink.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/soundcard.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace brume::audio {

static_assert(formatS16LE == AFMT_S16_LE);
static_assert(SNDCTL_DSP_SETFMT == 0xC0045005 && SNDCTL_DSP_CHANNELS == 0xC0045006 &&
              SNDCTL_DSP_SPEED == 0xC0045002);

int deviceControl(int fd, unsigned long request, int* value) {
    return ::ioctl(fd, request, value);
}

std::unique_ptr<Sink> OssSink::open(const char* path, DspControl control) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::unique_ptr<Sink>(new OssSink(fd, control));
}

OssSink::~OssSink() {
    ::close(fd_);
}

bool OssSink::request(DspRequest request, int& value) {
    static constexpr unsigned long codes[] = {SNDCTL_DSP_SETFMT, SNDCTL_DSP_CHANNELS, SNDCTL_DSP_SPEED};
    return control_(fd_, codes[static_cast<int>(request)], &value) != -1;
}

std::ptrdiff_t OssSink::write(const std::uint8_t* bytes, std::size_t size) {
    const ssize_t written = ::write(fd_, bytes, size);
    return written < 0 ? -errno : written;
}

} // namespace brume::audio
