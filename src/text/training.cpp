// Training counts every window of order + 1 bytes once in a hash table (the
// state and its next byte together, one lookup per byte of text), then sorts
// the distinct windows so that those of one state lie side by side.
#include "TextModel.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

// A distinct window: its key, its first place in the text and how often it occurs.
struct Gram {
    uint64_t key;
    uint32_t at;
    uint32_t count;
};

// Windows of up to 8 bytes are packed into their key, first byte highest, so
// that keys compare as the windows do. Longer windows are keyed by a rolling
// hash and told apart by their bytes.
constexpr size_t packedWidth = 8;
constexpr uint64_t rollingBase = 0x100000001B3ull;

template <bool Packed> class GramCounter {
  public:
    GramCounter(std::string_view text, size_t width) : text_(text), width_(width) { resize(12); }

    void add(uint64_t key, uint32_t at) {
        for (size_t slot = (key * 0x9E3779B97F4A7C15ull) >> shift_;; slot = (slot + 1) & mask_) {
            Gram& gram = slots_[slot];
            if (gram.count == 0) {
                gram = {key, at, 1};
                if (++size_ > limit_) resize(64 - shift_ + 1);
                return;
            }
            if (gram.key == key && (Packed || sameWindow(gram.at, at))) {
                if (gram.count != std::numeric_limits<uint32_t>::max()) ++gram.count;
                return;
            }
        }
    }

    std::vector<Gram> take() {
        std::vector<Gram> grams;
        grams.reserve(size_);
        for (const Gram& gram : slots_)
            if (gram.count != 0) grams.push_back(gram);
        slots_ = {};
        return grams;
    }

  private:
    bool sameWindow(uint32_t a, uint32_t b) const {
        return std::memcmp(text_.data() + a, text_.data() + b, width_) == 0;
    }

    // Half full at most.
    void resize(size_t bits) {
        std::vector<Gram> old = std::exchange(slots_, std::vector<Gram>(size_t(1) << bits, Gram{0, 0, 0}));
        shift_ = 64 - bits;
        mask_ = slots_.size() - 1;
        limit_ = slots_.size() / 2;
        size_ = 0;
        for (const Gram& gram : old)
            if (gram.count != 0) place(gram);
    }

    void place(const Gram& gram) {
        size_t slot = (gram.key * 0x9E3779B97F4A7C15ull) >> shift_;
        while (slots_[slot].count != 0) slot = (slot + 1) & mask_;
        slots_[slot] = gram;
        ++size_;
    }

    std::string_view text_;
    size_t width_;
    std::vector<Gram> slots_;
    size_t shift_ = 0, mask_ = 0, limit_ = 0, size_ = 0;
};

std::vector<Gram> countPackedGrams(std::string_view text, size_t width) {
    GramCounter<true> counter(text, width);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const uint64_t mask = width == packedWidth ? ~uint64_t(0) : (uint64_t(1) << (8 * width)) - 1;
    uint64_t key = 0;
    for (size_t i = 0; i + 1 < width; ++i) key = key << 8 | bytes[i];
    for (size_t at = 0; at + width <= text.size(); ++at) {
        key = (key << 8 | bytes[at + width - 1]) & mask;
        counter.add(key, static_cast<uint32_t>(at));
    }
    std::vector<Gram> grams = counter.take();
    std::sort(grams.begin(), grams.end(), [](const Gram& a, const Gram& b) { return a.key < b.key; });
    return grams;
}

std::vector<Gram> countLongGrams(std::string_view text, size_t width) {
    GramCounter<false> counter(text, width);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    uint64_t hash = 0, leading = 1; // leading: the weight of a window's first byte
    for (size_t i = 0; i + 1 < width; ++i) {
        hash = hash * rollingBase + bytes[i];
        leading *= rollingBase;
    }
    for (size_t at = 0; at + width <= text.size(); ++at) {
        hash = hash * rollingBase + bytes[at + width - 1];
        counter.add(hash, static_cast<uint32_t>(at));
        hash -= bytes[at] * leading;
    }
    std::vector<Gram> grams = counter.take();
    std::sort(grams.begin(), grams.end(), [&](const Gram& a, const Gram& b) {
        return std::memcmp(text.data() + a.at, text.data() + b.at, width) < 0;
    });
    return grams;
}

} // namespace

AIModel aiTrainModel(std::string_view text, int32_t order) {
    const size_t k = order > 0 ? static_cast<size_t>(order) : 0;
    std::string extended(text);
    if (k >= 1 && !text.empty()) extended.append(text.substr(0, std::min(text.size(), k)));
    if (extended.size() <= k) return AIModel();
    if (extended.size() > std::numeric_limits<uint32_t>::max())
        throw std::length_error("text too large to train on");

    const size_t width = k + 1;
    const std::vector<Gram> grams =
        width <= packedWidth ? countPackedGrams(extended, width) : countLongGrams(extended, width);
    AIModelBuilder builder;
    size_t state = 0;
    std::string_view previous;
    for (const Gram& gram : grams) {
        const std::string_view window = std::string_view(extended).substr(gram.at, width);
        if (&gram == grams.data() || window.substr(0, k) != previous) {
            previous = window.substr(0, k);
            state = builder.addState(previous);
        }
        const uint32_t count = std::min<uint32_t>(gram.count, std::numeric_limits<int32_t>::max());
        builder.setCount(state, static_cast<uint8_t>(window[k]), static_cast<int32_t>(count));
    }
    return std::move(builder).finish();
}
