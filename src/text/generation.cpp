#include "TextModel.h"

#include <random>

namespace {

// Each thread draws from its own generator, seeded on first use.
std::mt19937& generationRandom() {
    thread_local std::mt19937 random(std::random_device("/dev/urandom")());
    return random;
}

// A double in [0, 1) from two successive outputs, the first the low half.
double unitInterval(std::mt19937& random) {
    const double low = random();
    const double high = random();
    return (high * 4294967296.0 + low) * 0x1p-64;
}

// The transition whose share of the state's total holds total * u; the
// first one when rounding leaves none.
size_t chooseTransition(std::span<const int32_t> counts, double r) {
    for (size_t t = 0; t < counts.size(); ++t) {
        if (counts[t] > r) return t;
        r -= counts[t];
    }
    return 0;
}

} // namespace

std::string aiGenerateTextImpl(bool useSeed, const std::string& seed, const AIModel& model, int32_t genLength,
                               bool useEscape, const std::string& escapeCharacter, int32_t order) {
    std::mt19937& random = generationRandom();
    const size_t k = order > 0 ? static_cast<size_t>(order) : 0;
    std::string output;
    // The state is the last stateLength bytes of window, which only ever grows
    // at its end and is cut back now and then.
    std::string window;
    if (useSeed && seed.size() >= k) {
        window = seed.substr(seed.size() - k);
        output = seed;
    } else if (model.empty()) {
        return useSeed ? seed : std::string();
    } else {
        std::uniform_int_distribution<size_t> pick(1, model.stateCount());
        window = model.state(pick(random) - 1);
        output = useSeed ? seed : window;
    }
    size_t stateLength = window.size();
    // A chosen byte is one character, so only a one-byte escape text can stop generation.
    const bool escapes = useEscape && escapeCharacter.size() == 1;
    for (int32_t step = 0; step < genLength; ++step) {
        const size_t current = model.find(std::string_view(window).substr(window.size() - stateLength));
        if (current == AIModel::npos) break;
        const std::span<const int32_t> counts = model.counts(current);
        // Summed exactly, as the doubles would be.
        int64_t total = 0;
        for (int32_t count : counts) total += count;
        if (total <= 0) break;
        const double r = static_cast<double>(total) * unitInterval(random);
        const char chosen = model.nextBytes(current)[chooseTransition(counts, r)];
        if (escapes && chosen == escapeCharacter[0]) break;
        output.push_back(chosen);
        // The state then drops its first byte once it has the order's length; with order 0 it is the byte
        // alone.
        if (order < 1) {
            stateLength = 1;
        } else if (stateLength < k) {
            ++stateLength;
        }
        if (window.size() >= 4096 + stateLength) window.erase(0, window.size() - stateLength);
        window.push_back(chosen);
    }
    return output;
}
