#include "AIModel.h"

#include <array>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace {

// Eight bytes at a time, each word folded in with a multiply and a shift.
uint64_t hashStateBytes(std::string_view bytes) {
    uint64_t hash = 0x9E3779B97F4A7C15ull ^ bytes.size();
    size_t at = 0;
    for (; at + 8 <= bytes.size(); at += 8) {
        uint64_t word;
        std::memcpy(&word, bytes.data() + at, 8);
        hash = (hash ^ word) * 0xBF58476D1CE4E5B9ull;
        hash ^= hash >> 31;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, bytes.data() + at, bytes.size() - at);
    hash = (hash ^ tail) * 0x94D049BB133111EBull;
    return hash ^ (hash >> 29);
}

// Offsets into the flat arrays are 32-bit, which bounds a model at 4 GiB of state text.
uint32_t checkedOffset(size_t offset) {
    if (offset > std::numeric_limits<uint32_t>::max()) throw std::length_error("text model too large");
    return static_cast<uint32_t>(offset);
}

} // namespace

std::string_view AIModel::state(size_t index) const {
    return std::string_view(stateBytes_)
        .substr(stateStarts_[index], stateStarts_[index + 1] - stateStarts_[index]);
}

std::string_view AIModel::nextBytes(size_t index) const {
    const uint32_t first = transitionStarts_[index];
    return std::string_view(nexts_).substr(first, transitionStarts_[index + 1] - first);
}

std::span<const int32_t> AIModel::counts(size_t index) const {
    const uint32_t first = transitionStarts_[index];
    return std::span<const int32_t>(counts_).subspan(first, transitionStarts_[index + 1] - first);
}

size_t AIModel::find(std::string_view state) const {
    return findHashed(state, hashStateBytes(state));
}

size_t AIModel::findHashed(std::string_view wanted, uint64_t hash) const {
    if (slots_.empty()) return npos;
    const size_t mask = slots_.size() - 1;
    for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const uint32_t entry = slots_[slot];
        if (entry == 0) return npos;
        if (state(entry - 1) == wanted) return entry - 1;
    }
}

// The table stays between three eighths and three quarters full.
void AIModel::index(uint32_t number, uint64_t hash) {
    if ((stateCount() + 1) * 4 > slots_.size() * 3) growIndex();
    const size_t mask = slots_.size() - 1;
    size_t slot = hash & mask;
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = number + 1;
}

void AIModel::growIndex() {
    slots_.assign(std::max<size_t>(16, slots_.size() * 2), 0);
    const size_t mask = slots_.size() - 1;
    for (size_t number = 0; number < stateCount(); ++number) {
        size_t slot = hashStateBytes(state(number)) & mask;
        while (slots_[slot] != 0) slot = (slot + 1) & mask;
        slots_[slot] = static_cast<uint32_t>(number + 1);
    }
}

size_t AIModel::memoryBytes() const {
    return stateBytes_.capacity() + nexts_.capacity() +
           sizeof(uint32_t) * (stateStarts_.capacity() + transitionStarts_.capacity() + slots_.capacity()) +
           sizeof(int32_t) * counts_.capacity();
}

bool operator==(const AIModel& a, const AIModel& b) {
    if (a.stateCount() != b.stateCount() || a.transitionCount() != b.transitionCount()) return false;
    std::array<int64_t, 256> expected;
    constexpr int64_t absent = std::numeric_limits<int64_t>::min();
    for (size_t state = 0; state < a.stateCount(); ++state) {
        const size_t other = b.find(a.state(state));
        if (other == AIModel::npos || a.nextBytes(state).size() != b.nextBytes(other).size()) return false;
        expected.fill(absent);
        for (size_t t = 0; t < a.nextBytes(state).size(); ++t)
            expected[static_cast<uint8_t>(a.nextBytes(state)[t])] = a.counts(state)[t];
        for (size_t t = 0; t < b.nextBytes(other).size(); ++t)
            if (expected[static_cast<uint8_t>(b.nextBytes(other)[t])] != b.counts(other)[t]) return false;
    }
    return true;
}

size_t AIModelBuilder::addState(std::string_view state) {
    const uint64_t hash = hashStateBytes(state);
    const size_t known = model_.findHashed(state, hash);
    if (known != AIModel::npos) return known;
    const uint32_t number = checkedOffset(model_.stateCount());
    model_.stateBytes_.append(state);
    model_.stateStarts_.push_back(checkedOffset(model_.stateBytes_.size()));
    model_.index(number, hash);
    return number;
}

void AIModelBuilder::setCount(size_t state, uint8_t next, int32_t count) {
    counts_.push_back({static_cast<uint32_t>(state), count, next});
}

AIModel AIModelBuilder::finish() && {
    const size_t states = model_.stateCount();
    // Group the counts by state, keeping their order within each state.
    std::vector<uint32_t> groupStarts(states + 1, 0);
    for (const Count& c : counts_) ++groupStarts[c.state + 1];
    for (size_t s = 0; s < states; ++s) groupStarts[s + 1] += groupStarts[s];
    std::vector<Count> grouped(counts_.size());
    {
        std::vector<uint32_t> fill(groupStarts.begin(), groupStarts.end() - 1);
        for (const Count& c : counts_) grouped[fill[c.state]++] = c;
    }
    counts_ = {};

    AIModel model = std::move(model_);
    model.stateBytes_.shrink_to_fit();
    model.stateStarts_.shrink_to_fit();
    model.transitionStarts_.reserve(states + 1);
    model.nexts_.reserve(grouped.size());
    model.counts_.reserve(grouped.size());
    // Where each byte already sits among the current state's transitions, or -1.
    std::array<int32_t, 256> placed;
    placed.fill(-1);
    for (size_t s = 0; s < states; ++s) {
        const uint32_t first = checkedOffset(model.nexts_.size());
        for (uint32_t g = groupStarts[s]; g < groupStarts[s + 1]; ++g) {
            int32_t& at = placed[grouped[g].next];
            if (at >= 0) {
                model.counts_[first + at] = grouped[g].count;
                continue;
            }
            at = static_cast<int32_t>(model.nexts_.size() - first);
            model.nexts_.push_back(static_cast<char>(grouped[g].next));
            model.counts_.push_back(grouped[g].count);
        }
        for (size_t t = first; t < model.nexts_.size(); ++t)
            placed[static_cast<uint8_t>(model.nexts_[t])] = -1;
        model.transitionStarts_.push_back(checkedOffset(model.nexts_.size()));
    }
    model.nexts_.shrink_to_fit();
    model.counts_.shrink_to_fit();
    return model;
}
