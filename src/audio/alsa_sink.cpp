// ALSA sink over libasound; what it supports and its limits are in alsa_sink.h.
#include "alsa_sink.h"

#include <alsa/asoundlib.h>
#include <cerrno>
#include <mutex>

namespace brume::audio {

namespace {

constexpr std::size_t frameBytes = 4; // two 16-bit samples
constexpr unsigned bufferMicroseconds = 100000;

void ignoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

} // namespace

struct AlsaSink::Handles {
    snd_pcm_t* pcm = nullptr;
    snd_pcm_hw_params_t* setup = nullptr;
    ~Handles() {
        if (setup) snd_pcm_hw_params_free(setup);
        if (pcm) {
            snd_pcm_drain(pcm); // what has been written still plays, as on closing an OSS device
            snd_pcm_close(pcm);
        }
    }
};

std::unique_ptr<Sink> AlsaSink::open(const char* name) {
    static std::once_flag silenced;
    std::call_once(silenced, [] { snd_lib_error_set_handler(ignoreAlsaError); });
    auto handles = std::make_unique<Handles>();
    if (snd_pcm_open(&handles->pcm, name, SND_PCM_STREAM_PLAYBACK, 0) < 0) {
        handles->pcm = nullptr;
        return nullptr;
    }
    if (snd_pcm_hw_params_malloc(&handles->setup) < 0 ||
        snd_pcm_hw_params_any(handles->pcm, handles->setup) < 0 ||
        snd_pcm_hw_params_set_access(handles->pcm, handles->setup, SND_PCM_ACCESS_RW_INTERLEAVED) < 0)
        return nullptr;
    return std::unique_ptr<Sink>(new AlsaSink(std::move(handles)));
}

AlsaSink::AlsaSink(std::unique_ptr<Handles> handles) : handles_(std::move(handles)) {}
AlsaSink::~AlsaSink() = default;

bool AlsaSink::request(DspRequest request, int& value) {
    snd_pcm_t* pcm = handles_->pcm;
    snd_pcm_hw_params_t* setup = handles_->setup;
    switch (request) {
    case DspRequest::Format:
        return value == formatS16LE && snd_pcm_hw_params_set_format(pcm, setup, SND_PCM_FORMAT_S16_LE) == 0;
    case DspRequest::Channels: {
        if (value < 1) return false;
        unsigned channels = unsigned(value);
        if (snd_pcm_hw_params_set_channels_near(pcm, setup, &channels) < 0) return false;
        value = int(channels);
        return true;
    }
    case DspRequest::Rate: {
        if (value < 1) return false;
        unsigned rate = unsigned(value), buffer = bufferMicroseconds;
        if (snd_pcm_hw_params_set_rate_near(pcm, setup, &rate, nullptr) < 0) return false;
        snd_pcm_hw_params_set_buffer_time_near(pcm, setup, &buffer, nullptr); // a hint; any buffer serves
        if (snd_pcm_hw_params(pcm, setup) < 0) return false;
        value = int(rate);
        return true;
    }
    }
    return false;
}

std::ptrdiff_t AlsaSink::write(const std::uint8_t* bytes, std::size_t size) {
    const snd_pcm_sframes_t frames = snd_pcm_writei(handles_->pcm, bytes, size / frameBytes);
    if (frames >= 0) return std::ptrdiff_t(frames) * std::ptrdiff_t(frameBytes);
    if (frames == -EPIPE || frames == -ESTRPIPE)
        return snd_pcm_recover(handles_->pcm, int(frames), 1) == 0 ? 0 : frames;
    return frames;
}

} // namespace brume::audio
