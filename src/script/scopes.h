// Where the variables of one line of execution live: block-local scopes
// (one per block run) and frame scopes (a call's parameters, a loop's
// variables). Lookup is dynamic: the innermost block-local binding of a name
// wins, then the innermost frame binding, whatever call made them.
#pragma once

#include "script_value.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

class Scopes {
  public:
    enum Kind { Local, Frame };

    // The variable a name finds in these scopes; null when no scope binds it.
    // One step, however deep the calls: every binding and unbinding keeps
    // each name's answer up to date, and lookups far outnumber them.
    [[gnu::always_inline]] Variable* find(uint32_t nameId) const {
        return nameId < names_ ? visible_[nameId] : nullptr;
    }

    size_t count(Kind kind) const { return stacks_[kind].count; }
    void push(Kind kind) { stacks_[kind].push(); }
    // Binds the name in the top scope of the kind. Within one scope the first
    // binding of a name is the one found; a later one only keeps its place.
    // A value given as a temporary is moved in.
    template <class Value> Variable& bind(Kind kind, uint32_t nameId, Value&& value);
    // Overwrites the name's binding in the top scope of the kind, or adds one.
    template <class Value> void set(Kind kind, uint32_t nameId, Value&& value);
    // Pops scopes of the kind until `count` remain.
    void truncate(Kind kind, size_t count);
    // The n-th binding of a frame scope, and how many it holds.
    Variable& frameBinding(size_t scope, size_t n) { return stacks_[Frame].binding(scope, n).value; }
    size_t frameScopeSize(size_t scope) const { return stacks_[Frame].size(scope); }

  private:
    struct Binding {
        Variable value;
        uint32_t nameId = 0;
        uint32_t scope = 0; // the index of the scope holding it
        Binding* shadowed = nullptr;
    };
    // Bindings live in blocks that are never freed or moved: a found variable
    // stays where it is while deeper calls bind and unbind, and a call
    // allocates nothing once the stack has grown. Bindings are taken and
    // given back at `next`, which steps to another block only at a block's
    // edge.
    struct Stack {
        size_t count = 0;           // scopes alive
        size_t used = 0;            // bindings alive
        std::vector<size_t> starts; // the first binding of each scope
        std::vector<std::unique_ptr<Binding[]>> blocks;
        Binding* next = nullptr; // where binding `used` goes

        static constexpr size_t blockSize = 256;
        Binding& at(size_t index) { return blocks[index / blockSize][index % blockSize]; }
        void push() {
            if (count == starts.size()) starts.push_back(0);
            starts[count++] = used;
        }
        Binding& take() {
            if (used % blockSize == 0) {
                if (used / blockSize == blocks.size()) grow();
                next = blocks[used / blockSize].get();
            }
            ++used;
            return *next++;
        }
        Binding& giveBack() {
            if (used % blockSize == 0) next = blocks[used / blockSize - 1].get() + blockSize;
            --used;
            return *--next;
        }
        [[gnu::noinline]] void grow() { blocks.push_back(std::make_unique<Binding[]>(blockSize)); }
        Binding& binding(size_t scope, size_t n) { return at(starts[scope] + n); }
        size_t size(size_t scope) const {
            return (scope + 1 < count ? starts[scope + 1] : used) - starts[scope];
        }
    };

    // The innermost binding of each kind, side by side: unbinding one reads
    // the other to say which is visible.
    using Innermost = std::array<Binding*, 2>;
    void reveal(uint32_t nameId) {
        const Innermost& innermost = innermost_[nameId];
        Binding* shown = innermost[Local] ? innermost[Local] : innermost[Frame];
        visible_[nameId] = shown ? &shown->value : nullptr;
    }

    [[gnu::noinline]] void growNames(uint32_t nameId) {
        const uint32_t names = std::max(nameId + 1, 2 * names_);
        auto visible = std::make_unique<Variable*[]>(names);
        std::copy_n(visible_.get(), names_, visible.get());
        visible_ = std::move(visible);
        names_ = names;
        innermost_.resize(names, Innermost{});
    }

    Stack stacks_[2];
    std::vector<Innermost> innermost_; // by name id, `names_` of them
    // By name id. An array with its length beside it, as a lookup's one
    // check reads it.
    std::unique_ptr<Variable*[]> visible_;
    uint32_t names_ = 0;
};

template <class Value> Variable& Scopes::bind(Kind kind, uint32_t nameId, Value&& value) {
    if (nameId >= names_) growNames(nameId);
    Stack& stack = stacks_[kind];
    Binding& binding = stack.take();
    // A free binding holds none, which has nothing to release.
    new (&binding.value) Variable(std::forward<Value>(value));
    binding.nameId = nameId;
    binding.scope = static_cast<uint32_t>(stack.count - 1);
    Binding*& innermost = innermost_[nameId][kind];
    binding.shadowed = innermost;
    if (!innermost || innermost->scope != binding.scope) {
        innermost = &binding;
        reveal(nameId);
    }
    return binding.value;
}

template <class Value> void Scopes::set(Kind kind, uint32_t nameId, Value&& value) {
    Binding* found = nameId < names_ ? innermost_[nameId][kind] : nullptr;
    if (found && found->scope == stacks_[kind].count - 1)
        found->value = std::forward<Value>(value);
    else
        bind(kind, nameId, std::forward<Value>(value));
}

inline void Scopes::truncate(Kind kind, size_t count) {
    Stack& stack = stacks_[kind];
    if (count >= stack.count) return;
    const size_t keep = stack.starts[count];
    while (stack.used > keep) {
        Binding& binding = stack.giveBack();
        innermost_[binding.nameId][kind] = binding.shadowed;
        reveal(binding.nameId);
        binding.value.~Variable();
        new (&binding.value) Variable();
    }
    stack.count = count;
}
