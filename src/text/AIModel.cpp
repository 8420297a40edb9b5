#include "AIModel.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

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
    if (at < bytes.size()) std::memcpy(&tail, bytes.data() + at, bytes.size() - at);
    hash = (hash ^ tail) * 0x94D049BB133111EBull;
    return hash ^ (hash >> 29);
}

// A slot's tag is the high half of the hash, its place in the table the low bits.
uint64_t slotTag(uint64_t hash) {
    return hash & 0xFFFFFFFF00000000ull;
}

// Offsets into the flat arrays are 32-bit, which bounds a model at 4 GiB of state text.
uint32_t checkedOffset(size_t offset) {
    if (offset > std::numeric_limits<uint32_t>::max()) throw std::length_error("text model too large");
    return static_cast<uint32_t>(offset);
}

// Short states are compared inline; the call to the library's compare would cost more.
bool sameBytes(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    if (a.size() > 16) return std::memcmp(a.data(), b.data(), a.size()) == 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

} // namespace

size_t AIModel::find(std::string_view state) const {
    return findHashed(state, hashStateBytes(state));
}

size_t AIModel::findHashed(std::string_view wanted, uint64_t hash) const {
    if (slots_.empty()) return npos;
    const size_t mask = slots_.size() - 1;
    const uint64_t tag = slotTag(hash);
    for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const uint64_t entry = slots_[slot];
        if (entry == 0) return npos;
        const size_t number = static_cast<uint32_t>(entry) - 1;
        if (slotTag(entry) == tag && sameBytes(state(number), wanted)) return number;
    }
}

void AIModel::place(size_t number, uint64_t hash) {
    const size_t mask = slots_.size() - 1;
    size_t slot = hash & mask;
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = slotTag(hash) | (number + 1);
}

// The table is kept at most three quarters full.
void AIModel::reserveIndex(size_t states) {
    size_t size = 16;
    while (states * 4 > size * 3) size *= 2;
    if (size <= slots_.size()) return;
    const LargeArray<uint64_t> old = std::exchange(slots_, LargeArray<uint64_t>(size, 0));
    for (uint64_t entry : old)
        if (entry != 0)
            place(static_cast<uint32_t>(entry) - 1, hashStateBytes(state(static_cast<uint32_t>(entry) - 1)));
}

size_t AIModel::memoryBytes() const {
    return stateBytes_.capacity() + nexts_.capacity() + sizeof(int32_t) * counts_.capacity() +
           sizeof(Starts) * starts_.capacity() + sizeof(uint64_t) * slots_.capacity();
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

void AIModelBuilder::reserve(size_t states, size_t stateBytes, size_t counts) {
    model_.stateBytes_.reserve(stateBytes);
    model_.starts_.reserve(states + 1);
    model_.reserveIndex(states);
    counts_.reserve(counts);
}

size_t AIModelBuilder::addState(std::string_view state) {
    indexPending();
    const uint64_t hash = hashStateBytes(state);
    const size_t known = model_.findHashed(state, hash);
    if (known != AIModel::npos) return known;
    const size_t number = addNewState(state);
    model_.reserveIndex(model_.stateCount());
    model_.place(number, hash);
    indexed_ = model_.stateCount();
    return number;
}

size_t AIModelBuilder::addNewState(std::string_view state) {
    const size_t number = checkedOffset(model_.stateCount() + 1) - 1; // number + 1 fits a slot
    model_.stateBytes_.insert(model_.stateBytes_.end(), state.begin(), state.end());
    model_.starts_.push_back({checkedOffset(model_.stateBytes_.size()), 0});
    return number;
}

// States added as new are indexed a block at a time, each block's slots
// fetched from memory together.
void AIModelBuilder::indexPending() {
    const size_t states = model_.stateCount();
    if (indexed_ == states) return;
    model_.reserveIndex(states);
    constexpr size_t block = 64;
    uint64_t hashes[block];
    for (size_t first = indexed_; first < states; first += block) {
        const size_t count = std::min(block, states - first);
        for (size_t i = 0; i < count; ++i) {
            hashes[i] = hashStateBytes(model_.state(first + i));
            __builtin_prefetch(&model_.slots_[hashes[i] & (model_.slots_.size() - 1)]);
        }
        for (size_t i = 0; i < count; ++i) model_.place(first + i, hashes[i]);
    }
    indexed_ = states;
}

void AIModelBuilder::setCount(size_t state, uint8_t next, int32_t count) {
    counts_.push_back({static_cast<uint32_t>(state), count, next});
}

// The counts grouped by state, each state's in the order given.
LargeArray<AIModelBuilder::Count> AIModelBuilder::groupedCounts() {
    if (std::is_sorted(counts_.begin(), counts_.end(),
                       [](const Count& a, const Count& b) { return a.state < b.state; }))
        return std::move(counts_);
    std::vector<uint32_t> fill(model_.stateCount() + 1, 0);
    for (const Count& c : counts_) ++fill[c.state + 1];
    for (size_t s = 1; s < fill.size(); ++s) fill[s] += fill[s - 1];
    LargeArray<Count> grouped(counts_.size());
    for (const Count& c : counts_) grouped[fill[c.state]++] = c;
    counts_ = {};
    return grouped;
}

AIModel AIModelBuilder::finish() && {
    indexPending();
    const LargeArray<Count> grouped = groupedCounts();
    AIModel model = std::move(model_);
    model.stateBytes_.shrink_to_fit();
    model.starts_.shrink_to_fit();
    model.nexts_.reserve(grouped.size());
    model.counts_.reserve(grouped.size());
    // Where each byte already sits among the current state's transitions, or -1.
    std::array<int32_t, 256> placed;
    placed.fill(-1);
    size_t g = 0;
    for (size_t s = 0; s < model.stateCount(); ++s) {
        const uint32_t first = checkedOffset(model.nexts_.size());
        for (; g < grouped.size() && grouped[g].state == s; ++g) {
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
        model.starts_[s + 1].transition = checkedOffset(model.nexts_.size());
    }
    model.nexts_.shrink_to_fit();
    model.counts_.shrink_to_fit();
    return model;
}
