// Feeds arbitrary bytes to the WAV decoder under every kind of channel
// conversion and checks that an accepted file decodes to the promised size.
#include "wav.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    brume::wav::StreamInfo info;
    const bool accepted = brume::wav::inspect(data, size, &info) == brume::wav::Refusal::None;
    for (std::uint16_t channels : {0, 1, 2, 5}) {
        brume::wav::DecodedFile out;
        if (brume::wav::decode(data, size, &out, {channels}) != accepted) std::abort();
        if (!accepted) continue;
        const std::size_t perFrame = channels ? channels : info.channels;
        if (out.channels != perFrame || out.sampleRate != info.sampleRate ||
            out.samples.size() != info.frameCount * perFrame)
            std::abort();
    }
    return 0;
}
