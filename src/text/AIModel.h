// The character-level Markov model: for every state (a short text) the bytes
// that followed it and how often. Everything lies in a few flat arrays, so
// that a model of millions of states costs little more than its bytes and is
// cheap to copy to and from a worker thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class AIModel {
  public:
    static constexpr size_t npos = static_cast<size_t>(-1);

    size_t stateCount() const { return stateStarts_.size() - 1; }
    size_t transitionCount() const { return nexts_.size(); }
    bool empty() const { return stateCount() == 0; }

    // States are numbered 0 .. stateCount() - 1; that numbering is the model's order.
    std::string_view state(size_t index) const;
    // A state's transitions: one byte each in nextBytes, its count at the same place in counts.
    std::string_view nextBytes(size_t index) const;
    std::span<const int32_t> counts(size_t index) const;
    // The number of `state`, or npos.
    size_t find(std::string_view state) const;

    // The bytes this model holds on the heap.
    size_t memoryBytes() const;

    // Equal models hold the same states with the same counts, in any order.
    friend bool operator==(const AIModel& a, const AIModel& b);

  private:
    friend class AIModelBuilder;

    size_t findHashed(std::string_view state, uint64_t hash) const;
    void index(uint32_t state, uint64_t hash);
    void growIndex();

    std::string stateBytes_;                    // every state's text, one after another
    std::vector<uint32_t> stateStarts_{0};      // state i is [stateStarts_[i], stateStarts_[i + 1])
    std::string nexts_;                         // every state's next bytes, grouped by state
    std::vector<int32_t> counts_;               // beside nexts_
    std::vector<uint32_t> transitionStarts_{0}; // state i's transitions, as for states
    std::vector<uint32_t> slots_;               // open addressing: state number + 1, or 0 when free
};

// Builds a model from counts given in any order and repeated at will: a later
// count for the same state and byte replaces the earlier one. A state keeps
// the place where it was first added, a byte the place of its first count.
class AIModelBuilder {
  public:
    // The number of `state`, adding it (with no transitions yet) when new.
    size_t addState(std::string_view state);
    void setCount(size_t state, uint8_t next, int32_t count);
    AIModel finish() &&;

  private:
    struct Count {
        uint32_t state;
        int32_t count;
        uint8_t next;
    };
    AIModel model_; // states only, until finish
    std::vector<Count> counts_;
};
