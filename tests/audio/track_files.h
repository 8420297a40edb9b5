// WAV files on disk for the player tests, removed when the test ends, and the
// bytes a device should receive for them.
#pragma once

#include "wav.h"
#include "wav_builder.h"

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace wavtest {

class TempFile {
  public:
    explicit TempFile(const std::string& name, const Bytes& bytes = {})
        : path_(std::filesystem::temp_directory_path() /
                ("bv_audio_" + std::to_string(::getpid()) + "_" + name)) {
        if (bytes.empty()) return;
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    ~TempFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const char* path() const { return path_.c_str(); }

  private:
    std::filesystem::path path_;
};

// `frames` frames of 16-bit PCM with `channels` channels, every sample different.
inline Bytes countingWav(std::uint16_t channels, std::uint32_t rate, std::size_t frames) {
    Bytes data;
    for (std::size_t i = 0; i < frames * channels; ++i) append16(data, std::uint16_t(i * 37 + 1));
    return WavBuilder().fmt(1, channels, rate, 16).data(data).bytes();
}

// The stereo 16-bit little-endian bytes a device receives for a whole file.
inline Bytes deviceBytes(const Bytes& file) {
    brume::wav::DecodedFile decoded;
    brume::wav::decode(file.data(), file.size(), &decoded, {2});
    Bytes bytes(decoded.samples.size() * 2);
    std::memcpy(bytes.data(), decoded.samples.data(), bytes.size());
    return bytes;
}

} // namespace wavtest
