// Training counts every window of order + 1 bytes once in a hash table (the
// state and its next byte together, one lookup per byte of text), then sorts
// the distinct windows so that those of one state lie side by side.
#include "TextModel.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <span>
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
// Keys are made a block at a time, then counted.
constexpr size_t blockSize = 512;

template <bool Packed> class GramCounter {
  public:
    GramCounter(std::string_view text, size_t width) : text_(text), width_(width) { resize(12); }

    // Counts the windows starting at first, first + 1, ... with these keys. The
    // slot of a key a little ahead is fetched early, so that the table's memory
    // is waited for many keys at a time rather than one by one.
    void add(std::span<const uint64_t> keys, uint32_t first) {
        constexpr size_t ahead = 16;
        for (size_t i = 0; i < std::min(ahead, keys.size()); ++i)
            __builtin_prefetch(&slots_[slotOf(keys[i])]);
        for (size_t i = 0; i < keys.size(); ++i) {
            if (i + ahead < keys.size()) __builtin_prefetch(&slots_[slotOf(keys[i + ahead])]);
            add(keys[i], first + static_cast<uint32_t>(i));
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
    size_t slotOf(uint64_t key) const { return (key * 0x9E3779B97F4A7C15ull) >> shift_; }

    void add(uint64_t key, uint32_t at) {
        for (size_t slot = slotOf(key);; slot = (slot + 1) & mask_) {
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

    bool sameWindow(uint32_t a, uint32_t b) const {
        return std::memcmp(text_.data() + a, text_.data() + b, width_) == 0;
    }

    // Half full at most.
    void resize(size_t bits) {
        std::vector<Gram> old = std::exchange(slots_, std::vector<Gram>(size_t(1) << bits, Gram{0, 0, 0}));
        shift_ = 64 - bits;
        mask_ = slots_.size() - 1;
        limit_ = slots_.size() / 2;
        for (const Gram& gram : old) {
            if (gram.count == 0) continue;
            size_t slot = slotOf(gram.key);
            while (slots_[slot].count != 0) slot = (slot + 1) & mask_;
            slots_[slot] = gram;
        }
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
    const size_t windows = text.size() - width + 1;
    uint64_t keys[blockSize];
    uint64_t key = 0;
    for (size_t i = 0; i + 1 < width; ++i) key = key << 8 | bytes[i];
    for (size_t first = 0; first < windows; first += blockSize) {
        const size_t count = std::min(blockSize, windows - first);
        for (size_t i = 0; i < count; ++i) keys[i] = key = (key << 8 | bytes[first + i + width - 1]) & mask;
        counter.add({keys, count}, static_cast<uint32_t>(first));
    }
    std::vector<Gram> grams = counter.take();
    std::sort(grams.begin(), grams.end(), [](const Gram& a, const Gram& b) { return a.key < b.key; });
    return grams;
}

std::vector<Gram> countLongGrams(std::string_view text, size_t width) {
    GramCounter<false> counter(text, width);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const size_t windows = text.size() - width + 1;
    uint64_t keys[blockSize];
    uint64_t hash = 0, leading = 1; // leading: the weight of a window's first byte
    for (size_t i = 0; i + 1 < width; ++i) {
        hash = hash * rollingBase + bytes[i];
        leading *= rollingBase;
    }
    for (size_t first = 0; first < windows; first += blockSize) {
        const size_t count = std::min(blockSize, windows - first);
        for (size_t i = 0; i < count; ++i) {
            keys[i] = hash = hash * rollingBase + bytes[first + i + width - 1];
            hash -= bytes[first + i] * leading;
        }
        counter.add({keys, count}, static_cast<uint32_t>(first));
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
    // Sorted, the windows of one state follow each other.
    auto stateOf = [&](const Gram& gram) { return std::string_view(extended).substr(gram.at, k); };
    size_t states = 0;
    for (size_t g = 0; g < grams.size(); ++g) states += g == 0 || stateOf(grams[g]) != stateOf(grams[g - 1]);
    AIModelBuilder builder;
    builder.reserve(states, states * k, grams.size());
    size_t state = 0;
    for (size_t g = 0; g < grams.size(); ++g) {
        if (g == 0 || stateOf(grams[g]) != stateOf(grams[g - 1]))
            state = builder.addNewState(stateOf(grams[g]));
        const uint32_t count = std::min<uint32_t>(grams[g].count, std::numeric_limits<int32_t>::max());
        builder.setCount(state, static_cast<uint8_t>(extended[grams[g].at + k]), static_cast<int32_t>(count));
    }
    return std::move(builder).finish();
}
