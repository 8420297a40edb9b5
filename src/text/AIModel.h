// The character-level Markov model: for every state (a short text) the bytes
// that followed it and how often. Everything lies in a few flat arrays, so
// that a model of millions of states costs little more than its bytes and is
// cheap to copy to and from a worker thread.
#pragma once

#include "LargeAllocator.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class AIModel {
  public:
    static constexpr size_t npos = static_cast<size_t>(-1);

    size_t stateCount() const { return starts_.size() - 1; }
    size_t transitionCount() const { return nexts_.size(); }
    bool empty() const { return stateCount() == 0; }

    // States are numbered 0 .. stateCount() - 1; that numbering is the model's order.
    std::string_view state(size_t index) const {
        return {stateBytes_.data() + starts_[index].state, starts_[index + 1].state - starts_[index].state};
    }
    // A state's transitions: one byte each in nextBytes, its count at the same place in counts.
    std::string_view nextBytes(size_t index) const {
        return {nexts_.data() + starts_[index].transition, transitionsOf(index)};
    }
    std::span<const int32_t> counts(size_t index) const {
        return {counts_.data() + starts_[index].transition, transitionsOf(index)};
    }
    // The number of `state`, or npos.
    size_t find(std::string_view state) const;

    // The bytes this model holds on the heap.
    size_t memoryBytes() const;

    // Equal models hold the same states with the same counts, in any order.
    friend bool operator==(const AIModel& a, const AIModel& b);

  private:
    friend class AIModelBuilder;

    // Where state i's bytes and transitions begin; those of i + 1 end them.
    struct Starts {
        uint32_t state;
        uint32_t transition;
    };

    size_t transitionsOf(size_t index) const {
        return starts_[index + 1].transition - starts_[index].transition;
    }
    size_t findHashed(std::string_view state, uint64_t hash) const;
    void reserveIndex(size_t states);
    void place(size_t state, uint64_t hash);

    LargeArray<char> stateBytes_; // every state's text, one after another
    LargeArray<char> nexts_;      // every state's next bytes, grouped by state
    LargeArray<int32_t> counts_;  // beside nexts_
    LargeArray<Starts> starts_{{0, 0}};
    // Open addressing: the high half of the state's hash, then its number + 1; 0 when free.
    LargeArray<uint64_t> slots_;
};

// Builds a model from counts given in any order and repeated at will: a later
// count for the same state and byte replaces the earlier one. A state keeps
// the place where it was first added, a byte the place of its first count.
class AIModelBuilder {
  public:
    // Room for this many states, bytes of state text and counts, when known.
    void reserve(size_t states, size_t stateBytes, size_t counts);
    // The number of `state`, adding it (with no transitions yet) when new.
    size_t addState(std::string_view state);
    // The same for a state the caller knows is not in the model yet.
    size_t addNewState(std::string_view state);
    void setCount(size_t state, uint8_t next, int32_t count);
    AIModel finish() &&;

  private:
    struct Count {
        uint32_t state;
        int32_t count;
        uint8_t next;
    };
    void indexPending();
    LargeArray<Count> groupedCounts();

    AIModel model_;      // states only, until finish
    size_t indexed_ = 0; // the states in model_'s index
    LargeArray<Count> counts_;
};
