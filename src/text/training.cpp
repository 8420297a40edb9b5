// Training counts every window of order + 1 bytes once in a hash table (the
// state and its next byte together, one lookup per byte of text), then sorts
// the distinct windows so that those of one state lie side by side. The
// memory touched is what costs most, so the text is never copied and the
// table's entries are as small as their windows allow.
#include "LargeAllocator.h"
#include "TextModel.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

// The text followed by its own first min(length, order) bytes, without copying
// it: only the windows that run past the end are read from a short copy.
class WrappedText {
  public:
    WrappedText(std::string_view text, size_t order, size_t width)
        : text_(text), length_(text.size() + (order >= 1 ? std::min(text.size(), order) : 0)),
          tailStart_(text.size() >= width ? text.size() - width + 1 : 0) {
        tail_.assign(text.substr(tailStart_));
        tail_.append(text.substr(0, length_ - text.size()));
    }

    size_t size() const { return length_; }
    uint8_t byte(size_t at) const {
        return static_cast<uint8_t>(text_[at < text_.size() ? at : at - text_.size()]);
    }
    std::string_view window(size_t at, size_t width) const {
        return at < tailStart_ ? text_.substr(at, width)
                               : std::string_view(tail_).substr(at - tailStart_, width);
    }

  private:
    std::string_view text_;
    size_t length_;
    size_t tailStart_; // the first window that does not lie inside text_
    std::string tail_; // the text from tailStart_ on, extended
};

// Windows of up to 8 bytes are their own key, first byte highest, so that keys
// compare as the windows do; up to 4 bytes they fit a half-size entry. Longer
// windows are keyed by a rolling hash and told apart by their bytes.
template <class Key> struct PackedGram {
    Key key;
    uint32_t count;

    static PackedGram make(uint64_t key, uint32_t) { return {static_cast<Key>(key), 1}; }
    uint64_t hashKey() const { return key; }
    bool sameWindow(const WrappedText&, size_t, uint32_t) const { return true; }
};

struct LongGram {
    uint64_t key;
    uint32_t at; // where the window first occurs
    uint32_t count;

    static LongGram make(uint64_t key, uint32_t at) { return {key, at, 1}; }
    uint64_t hashKey() const { return key; }
    bool sameWindow(const WrappedText& text, size_t width, uint32_t other) const {
        return text.window(at, width) == text.window(other, width);
    }
};

constexpr size_t packedWidth = 8;
constexpr uint64_t rollingBase = 0x100000001B3ull;
// Keys are made a block at a time, then counted.
constexpr size_t blockSize = 512;

template <class Gram> using GramTable = LargeArray<Gram>;

template <class Gram> class GramCounter {
  public:
    GramCounter(const WrappedText& text, size_t width) : text_(text), width_(width) { resize(12); }

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

    // The distinct windows, in the table's own memory.
    GramTable<Gram> take() {
        std::erase_if(slots_, [](const Gram& gram) { return gram.count == 0; });
        return std::move(slots_);
    }

  private:
    size_t slotOf(uint64_t key) const { return (key * 0x9E3779B97F4A7C15ull) >> shift_; }

    void add(uint64_t key, uint32_t at) {
        for (size_t slot = slotOf(key);; slot = (slot + 1) & mask_) {
            Gram& gram = slots_[slot];
            if (gram.count == 0) {
                gram = Gram::make(key, at);
                if (++size_ > limit_) resize(64 - shift_ + 1);
                return;
            }
            if (gram.hashKey() == key && gram.sameWindow(text_, width_, at)) {
                if (gram.count != std::numeric_limits<uint32_t>::max()) ++gram.count;
                return;
            }
        }
    }

    // Half full at most. The old entries move a block at a time, their new
    // slots fetched ahead like those of new keys.
    void resize(size_t bits) {
        GramTable<Gram> old = std::exchange(slots_, GramTable<Gram>(size_t(1) << bits, Gram{}));
        shift_ = 64 - bits;
        mask_ = slots_.size() - 1;
        limit_ = slots_.size() / 2;
        constexpr size_t block = 16;
        for (size_t first = 0; first < old.size(); first += block) {
            const size_t end = std::min(old.size(), first + block);
            for (size_t i = first; i < end; ++i)
                if (old[i].count != 0) __builtin_prefetch(&slots_[slotOf(old[i].hashKey())], 1);
            for (size_t i = first; i < end; ++i) {
                if (old[i].count == 0) continue;
                size_t slot = slotOf(old[i].hashKey());
                while (slots_[slot].count != 0) slot = (slot + 1) & mask_;
                slots_[slot] = old[i];
            }
        }
    }

    const WrappedText& text_;
    size_t width_;
    GramTable<Gram> slots_;
    size_t shift_ = 0, mask_ = 0, limit_ = 0, size_ = 0;
};

template <class Gram, class NextKey>
GramTable<Gram> countGrams(const WrappedText& text, size_t width, NextKey nextKey) {
    GramCounter<Gram> counter(text, width);
    const size_t windows = text.size() - width + 1;
    uint64_t keys[blockSize];
    for (size_t first = 0; first < windows; first += blockSize) {
        const size_t count = std::min(blockSize, windows - first);
        for (size_t i = 0; i < count; ++i) keys[i] = nextKey(first + i);
        counter.add({keys, count}, static_cast<uint32_t>(first));
    }
    return counter.take();
}

// Adds the sorted windows to the model, one state after another. stateOf's
// view lasts until its next call.
template <class Gram, class SameState, class StateOf, class NextOf>
AIModel buildModel(const GramTable<Gram>& grams, SameState sameState, StateOf stateOf, NextOf nextOf) {
    size_t states = 0, stateBytes = 0;
    for (size_t g = 0; g < grams.size(); ++g) {
        if (g > 0 && sameState(grams[g], grams[g - 1])) continue;
        ++states;
        stateBytes += stateOf(grams[g]).size();
    }
    AIModelBuilder builder;
    builder.reserve(states, stateBytes, grams.size());
    size_t state = 0;
    for (size_t g = 0; g < grams.size(); ++g) {
        if (g == 0 || !sameState(grams[g], grams[g - 1])) state = builder.addNewState(stateOf(grams[g]));
        const uint32_t count = std::min<uint32_t>(grams[g].count, std::numeric_limits<int32_t>::max());
        builder.setCount(state, nextOf(grams[g]), static_cast<int32_t>(count));
    }
    return std::move(builder).finish();
}

template <class Key> AIModel trainPacked(const WrappedText& text, size_t width) {
    const uint64_t mask = width == packedWidth ? ~uint64_t(0) : (uint64_t(1) << (8 * width)) - 1;
    uint64_t key = 0;
    for (size_t i = 0; i + 1 < width; ++i) key = key << 8 | text.byte(i);
    GramTable<PackedGram<Key>> grams = countGrams<PackedGram<Key>>(
        text, width, [&](size_t at) { return key = (key << 8 | text.byte(at + width - 1)) & mask; });
    std::sort(grams.begin(), grams.end(), [](const auto& a, const auto& b) { return a.key < b.key; });

    // The state is the key without its last byte.
    using Gram = PackedGram<Key>;
    char state[packedWidth];
    auto stateOf = [&](const Gram& gram) {
        for (size_t i = 0; i + 1 < width; ++i)
            state[i] = static_cast<char>(uint64_t(gram.key) >> (8 * (width - 1 - i)));
        return std::string_view(state, width - 1);
    };
    return buildModel(
        grams, [](const Gram& a, const Gram& b) { return a.key >> 8 == b.key >> 8; }, stateOf,
        [](const Gram& gram) { return static_cast<uint8_t>(gram.key); });
}

AIModel trainLong(const WrappedText& text, size_t width) {
    uint64_t hash = 0, leading = 1; // leading: the weight of a window's first byte
    for (size_t i = 0; i + 1 < width; ++i) {
        hash = hash * rollingBase + text.byte(i);
        leading *= rollingBase;
    }
    GramTable<LongGram> grams = countGrams<LongGram>(text, width, [&](size_t at) {
        const uint64_t key = hash = hash * rollingBase + text.byte(at + width - 1);
        hash -= text.byte(at) * leading;
        return key;
    });
    std::sort(grams.begin(), grams.end(), [&](const LongGram& a, const LongGram& b) {
        return text.window(a.at, width) < text.window(b.at, width);
    });
    auto stateOf = [&](const LongGram& gram) { return text.window(gram.at, width - 1); };
    return buildModel(
        grams, [&](const LongGram& a, const LongGram& b) { return stateOf(a) == stateOf(b); }, stateOf,
        [&](const LongGram& gram) { return static_cast<uint8_t>(text.window(gram.at, width)[width - 1]); });
}

} // namespace

AIModel aiTrainModel(std::string_view text, int32_t order) {
    const size_t k = order > 0 ? static_cast<size_t>(order) : 0;
    const size_t width = k + 1;
    const WrappedText wrapped(text, k, width);
    if (wrapped.size() <= k) return AIModel();
    if (wrapped.size() > std::numeric_limits<uint32_t>::max())
        throw std::length_error("text too large to train on");
    if (width <= sizeof(uint32_t)) return trainPacked<uint32_t>(wrapped, width);
    if (width <= packedWidth) return trainPacked<uint64_t>(wrapped, width);
    return trainLong(wrapped, width);
}
