// ALSA sink over libasound; what it supports and its limits are in alsa_sink.h.
#include "alsa_sink.h"

#include "loaded_library.h"

#include <alsa/asoundlib.h>
#include <cerrno>

namespace brume::audio {

namespace {

constexpr std::size_t frameBytes = 4; // two 16-bit samples
constexpr unsigned bufferMicroseconds = 100000;

void ignoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

#define BV_ALSA_CALLS(X)                                                                                     \
    X(snd_lib_error_set_handler)                                                                             \
    X(snd_pcm_open)                                                                                          \
    X(snd_pcm_close)                                                                                         \
    X(snd_pcm_drain)                                                                                         \
    X(snd_pcm_hw_params_malloc)                                                                              \
    X(snd_pcm_hw_params_free)                                                                                \
    X(snd_pcm_hw_params_any)                                                                                 \
    X(snd_pcm_hw_params_set_access)                                                                          \
    X(snd_pcm_hw_params_set_format)                                                                          \
    X(snd_pcm_hw_params_set_channels_near)                                                                   \
    X(snd_pcm_hw_params_set_rate_near)                                                                       \
    X(snd_pcm_hw_params_set_buffer_time_near)                                                                \
    X(snd_pcm_hw_params)                                                                                     \
    X(snd_pcm_writei)                                                                                        \
    X(snd_pcm_recover)

// The libasound calls the sink makes, bound when the first sink opens.
BV_LOADED_CALLS(AlsaCalls, "libasound.so.2", BV_ALSA_CALLS);

// Incomplete when libasound or one of its calls is missing: no sink opens then.
const AlsaCalls& calls() {
    // ALSA prints its own errors, and a missing device is an expected outcome.
    return boundCalls<AlsaCalls>(
        [](const AlsaCalls& calls) { calls.snd_lib_error_set_handler(ignoreAlsaError); });
}

} // namespace

struct AlsaSink::Handles {
    snd_pcm_t* pcm = nullptr;
    snd_pcm_hw_params_t* setup = nullptr;
    ~Handles() {
        if (setup) calls().snd_pcm_hw_params_free(setup);
        if (pcm) {
            calls().snd_pcm_drain(pcm); // what has been written still plays, as on closing an OSS device
            calls().snd_pcm_close(pcm);
        }
    }
};

std::unique_ptr<Sink> AlsaSink::open(const char* name) {
    if (!calls().complete) return nullptr;
    auto handles = std::make_unique<Handles>();
    if (calls().snd_pcm_open(&handles->pcm, name, SND_PCM_STREAM_PLAYBACK, 0) < 0) {
        handles->pcm = nullptr;
        return nullptr;
    }
    if (calls().snd_pcm_hw_params_malloc(&handles->setup) < 0 ||
        calls().snd_pcm_hw_params_any(handles->pcm, handles->setup) < 0 ||
        calls().snd_pcm_hw_params_set_access(handles->pcm, handles->setup, SND_PCM_ACCESS_RW_INTERLEAVED) < 0)
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
        return value == formatS16LE &&
               calls().snd_pcm_hw_params_set_format(pcm, setup, SND_PCM_FORMAT_S16_LE) == 0;
    case DspRequest::Channels: {
        if (value < 1) return false;
        unsigned channels = unsigned(value);
        if (calls().snd_pcm_hw_params_set_channels_near(pcm, setup, &channels) < 0) return false;
        value = int(channels);
        return true;
    }
    case DspRequest::Rate: {
        if (value < 1) return false;
        unsigned rate = unsigned(value), buffer = bufferMicroseconds;
        if (calls().snd_pcm_hw_params_set_rate_near(pcm, setup, &rate, nullptr) < 0) return false;
        calls().snd_pcm_hw_params_set_buffer_time_near(pcm, setup, &buffer,
                                                       nullptr); // a hint; any buffer serves
        if (calls().snd_pcm_hw_params(pcm, setup) < 0) return false;
        value = int(rate);
        return true;
    }
    }
    return false;
}

std::ptrdiff_t AlsaSink::write(const std::uint8_t* bytes, std::size_t size) {
    const snd_pcm_sframes_t frames = calls().snd_pcm_writei(handles_->pcm, bytes, size / frameBytes);
    if (frames >= 0) return std::ptrdiff_t(frames) * std::ptrdiff_t(frameBytes);
    if (frames == -EPIPE || frames == -ESTRPIPE)
        return calls().snd_pcm_recover(handles_->pcm, int(frames), 1) == 0 ? 0 : frames;
    return frames;
}

} // namespace brume::audio
