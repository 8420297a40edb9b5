// A script value: its kinds, the shared string and byte boxes, and the
// containers built of values.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class VarType : int32_t {
    None = 0,
    Int = 1,
    Float = 2,
    String = 3,
    Raw = 4,
    Bool = 5,
    Pointer = 6,
    Array = 7,
    Multi = 8,
    Table = 9,
    Function = 10,
};

// Whether a value counts as true: none is false, a boolean is its own value
// (`boolean`, read for a boolean only), and every other value is true, the
// number 0 and the empty string included.
constexpr bool truthOf(VarType type, bool boolean) {
    return type == VarType::Bool ? boolean : type != VarType::None;
}

struct Variable;
struct ScriptCallable;
struct MultiResult;

using ArrayStorage = std::vector<Variable>;
class TableStorage;
using NativeFunction = std::function<Variable(const std::vector<Variable>&)>;
// A library builtin's own entry: the arguments as they lie, without a vector.
using DirectFunction = std::function<Variable(std::span<const Variable>)>;
// A numeric math function, called through a plain pointer.
using NumericFunction = Variable (*)(std::span<const Variable>);
using BuiltinId = uint16_t;

#if defined(__SANITIZE_ADDRESS__)
#define BV_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BV_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef BV_ADDRESS_SANITIZER
#define BV_ADDRESS_SANITIZER 0
#endif

// Freed blocks of one size wait on a short list of their thread for reuse:
// every intermediate string and every table is a box, and the general
// allocator would otherwise be a large part of what making one costs.
template <class T> struct SpareBlocks {
    static void* take(size_t size) {
        FreeBlock* block = spare.top;
        if (!block) return ::operator new(size);
        spare.top = block->next;
        --spare.count;
        return block;
    }
    static void give(void* block) noexcept {
        if (spare.count == spareLimit) return ::operator delete(block);
        spare.top = new (block) FreeBlock{spare.top};
        ++spare.count;
    }
    // For a thread about to end: the list dies with it.
    static void freeAll() noexcept {
        while (spare.top) ::operator delete(std::exchange(spare.top, spare.top->next));
        spare.count = 0;
    }

  private:
    struct FreeBlock {
        FreeBlock* next;
    };
    static_assert(sizeof(T) >= sizeof(FreeBlock));
    // None under AddressSanitizer, which then sees every use of a freed block.
    static constexpr uint32_t spareLimit = BV_ADDRESS_SANITIZER ? 0 : 1024;
    static inline thread_local struct {
        FreeBlock* top;
        uint32_t count;
    } spare{};
};

// The count of the values that share one box. A value is owned by one
// thread, so the count needs no atomic operations.
struct BoxCount {
    uint32_t refs = 1;
};

// Every payload that is not a plain word: a string, a byte block, an array,
// a table, a function or a multi-value, shared by the values copied from one
// another and freed with the last of them, so that a value stays two words
// whatever it holds. Strings and byte blocks are copied only when one of
// their values is changed.
template <class T> struct SharedBox : BoxCount {
    T value;

    template <class... Args> explicit SharedBox(Args&&... args) : value(std::forward<Args>(args)...) {}
    static void* operator new(size_t size) { return SpareBlocks<SharedBox>::take(size); }
    static void operator delete(void* box) noexcept { SpareBlocks<SharedBox>::give(box); }
};
using StringBox = SharedBox<std::string>;
using RawBox = SharedBox<std::vector<uint8_t>>;

// A script value: a kind tag and one word, which is a plain payload (a
// number, a boolean, a host pointer) or a pointer to the value's shared box,
// so that copying any value is copying two words and at most counting one
// more sharer.
struct Variable {
    VarType type = VarType::None;

    Variable() { u_.word = 0; }
    Variable(int32_t i) : type(VarType::Int) { u_.word = static_cast<uint32_t>(i); }
    Variable(float f) : type(VarType::Float) { u_.word = std::bit_cast<uint32_t>(f); }
    Variable(bool b) : type(VarType::Bool) { u_.word = b; }
    Variable(std::string s) : type(VarType::String) { u_.s = new StringBox(std::move(s)); }
    Variable(const char* s) : type(VarType::String) { u_.s = new StringBox(s); }
    explicit Variable(ArrayStorage elements) : type(VarType::Array) {
        u_.array = new ArrayBox(std::move(elements));
    }
    explicit Variable(TableStorage table);
    explicit Variable(ScriptCallable function); // with the function's type, in compiled_program.h
    explicit Variable(MultiResult values);
    static Variable raw(std::vector<uint8_t> bytes) {
        Variable v;
        v.type = VarType::Raw;
        v.u_.raw = new RawBox(std::move(bytes));
        return v;
    }
    static Variable pointer(void* p) {
        Variable v;
        v.type = VarType::Pointer;
        v.u_.word = reinterpret_cast<uintptr_t>(p);
        return v;
    }

    Variable(const Variable& other) : type(other.type) {
        u_.word = other.u_.word;
        if (!holdsPlainData()) ++u_.count->refs;
    }
    // The source becomes a None, so that destroying it needs no count.
    Variable(Variable&& other) noexcept : type(other.type) {
        u_.word = other.u_.word;
        other.type = VarType::None;
        other.u_.word = 0;
    }
    ~Variable() { drop(type, u_); }
    // The old payload is let go only after the new one is held: `other` may
    // live inside what this value holds.
    Variable& operator=(const Variable& other) {
        if (!other.holdsPlainData()) ++other.u_.count->refs;
        const VarType oldType = type;
        const Payload old = u_;
        type = other.type;
        u_.word = other.u_.word;
        drop(oldType, old);
        return *this;
    }
    Variable& operator=(Variable&& other) noexcept {
        if (this == &other) return *this;
        const VarType oldType = type;
        const Payload old = u_;
        type = other.type;
        u_.word = other.u_.word;
        other.type = VarType::None;
        other.u_.word = 0;
        drop(oldType, old);
        return *this;
    }

    bool isNone() const { return type == VarType::None; }
    bool isNumeric() const { return type == VarType::Int || type == VarType::Float || type == VarType::Bool; }

    // Unchecked payload access: callers test `type` first.
    int32_t asInt() const { return u_.i; }
    float asFloat() const { return u_.f; }
    bool asBool() const { return u_.b; }
    // A plain payload's bits: an Int's, a Float's or a Bool's value, 0 for None.
    uint32_t plainBits() const { return static_cast<uint32_t>(u_.word); }
    // Becomes a plain value of kind `t` with payload bits `bits`, in place.
    void setPlain(VarType t, uint32_t bits) {
        drop(type, u_);
        type = t;
        u_.word = bits;
    }
    void* asPointer() const { return u_.p; }
    const std::string& asString() const { return u_.s->value; }
    // The text to change in place: first made this value's own, so that the
    // values it was copied to or from keep theirs.
    std::string& ownString() {
        if (u_.s->refs > 1) {
            StringBox* own = new StringBox(u_.s->value);
            --u_.s->refs;
            u_.s = own;
        }
        return u_.s->value;
    }
    const std::vector<uint8_t>& asRaw() const { return u_.raw->value; }
    ArrayStorage* asArray() const { return &u_.array->value; }
    TableStorage* asTable() const;
    ScriptCallable* asFunction() const;
    MultiResult* asMulti() const;

    std::string toString() const;
    // The text form of a value that is not an array or table.
    std::string scalarText() const;

  private:
    using ArrayBox = SharedBox<ArrayStorage>;
    using TableBox = SharedBox<TableStorage>;
    using FunctionBox = SharedBox<ScriptCallable>;
    using MultiBox = SharedBox<MultiResult>;
    // The payloads, in the order of their kinds' first appearance.
    union Payload {
        uint64_t word; // a plain payload or a box pointer, written and copied whole
        int32_t i;     // Int, and None (always 0)
        float f;
        StringBox* s;
        RawBox* raw;
        bool b;
        void* p;
        ArrayBox* array;
        TableBox* table;
        FunctionBox* function;
        MultiBox* multi;
        BoxCount* count; // any box, read for its count
    } u_;

    // Kinds whose payload is one word that needs no construction or destruction.
    static bool isPlain(VarType t) {
        constexpr uint32_t plain =
            1u << static_cast<int>(VarType::None) | 1u << static_cast<int>(VarType::Int) |
            1u << static_cast<int>(VarType::Float) | 1u << static_cast<int>(VarType::Bool) |
            1u << static_cast<int>(VarType::Pointer);
        return plain >> static_cast<uint32_t>(t) & 1;
    }
    bool holdsPlainData() const { return isPlain(type); }
    // Lets go of a payload of kind `t`.
    static void drop(VarType t, Payload payload) noexcept {
        if (!isPlain(t) && --payload.count->refs == 0) freeBox(t, payload);
    }
    // Frees a box whose last value has let go of it; a container's nested
    // containers are freed one after another, not by recursing once per
    // level of nesting.
    static void freeBox(VarType t, Payload payload) noexcept;
};

// Two words: arrays, tables and scopes hold many values side by side.
static_assert(sizeof(Variable) == 16);

struct MultiResult {
    std::vector<Variable> values;
};

inline Variable::Variable(MultiResult values) : type(VarType::Multi) {
    u_.multi = new MultiBox(std::move(values));
}
inline MultiResult* Variable::asMulti() const {
    return &u_.multi->value;
}

// A table: string keys to values, held in an open-addressed array of
// entries, so that finding a key reads the entry in the slot its hash picks
// rather than a pointer to it first. An entry moves when keys are added or
// removed; every such change takes a new stamp, which lets go of the lookups
// and the walk that point at entries. The walk order (keys sorted byte-wise)
// lives with the table and is rebuilt only after its key set changed, so it
// dies with the table.
class TableStorage {
  public:
    struct Entry {
        std::string key;
        Variable value;
        uint32_t hash = 0;         // 0 in an empty slot: no key hashes to it
        uint32_t walkPosition = 0; // its place in the walk order, while that is current
    };

    // One key's lookup, remembered where the key is written in the script:
    // it stands while the table it was made on keeps the key set it had, and
    // no two tables ever share a key set's stamp, so the stamp alone says so.
    // The key's hash is taken once, when the key is compiled.
    struct Lookup {
        uint64_t stamp = 0;
        Variable* value = nullptr;
        uint32_t hash = 0;
    };

    TableStorage() = default;
    TableStorage(const TableStorage& other);
    TableStorage(TableStorage&& other) noexcept;
    TableStorage& operator=(TableStorage other) noexcept;
    ~TableStorage();

    // Keys are short names more often than not: a word at a time, one multiply each.
    static uint32_t hashOf(std::string_view key) {
        uint64_t h = 0x9e3779b97f4a7c15ull ^ key.size();
        const char* p = key.data();
        size_t n = key.size();
        for (; n >= 8; p += 8, n -= 8) h = mix(h, word<uint64_t>(p));
        if (n) h = mix(h, load(p, n));
        return static_cast<uint32_t>(h ^ h >> 32) | 1;
    }

    const Entry* findEntry(std::string_view key) const { return findEntry(key, hashOf(key)); }
    const Entry* findEntry(std::string_view key, uint32_t hash) const {
        if (count_ == 0) return nullptr;
        for (size_t i = slotOf(hash);; i = (i + 1) & mask_) {
            const Entry& e = slots_[i];
            if (!e.hash) return nullptr;
            if (e.hash == hash && sameKey(e.key, key)) return &e;
        }
    }
    Variable* find(std::string_view key) { return find(key, hashOf(key)); }
    Variable* find(std::string_view key, uint32_t hash) {
        const Entry* e = findEntry(key, hash);
        return e ? &const_cast<Entry*>(e)->value : nullptr;
    }
    const Variable* find(std::string_view key) const { return const_cast<TableStorage*>(this)->find(key); }
    // The key is read only when the lookup no longer stands.
    Variable* find(const std::string& key, Lookup& lookup) {
        if (lookup.stamp != stamp_) lookup.stamp = stamp_, lookup.value = find(key, lookup.hash);
        return lookup.value;
    }
    bool contains(std::string_view key) const { return findEntry(key) != nullptr; }

    // The value under `key`, added as nil if the key is new (then `added` is set).
    Variable& insert(std::string_view key, bool* added = nullptr);
    Variable& operator[](std::string_view key) { return insert(key); }
    bool erase(std::string_view key);
    void clear();
    void reserve(size_t count);
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }

    // The entries in index order, which is no particular order.
    class Iterator {
      public:
        Iterator(Entry* slot, Entry* end) : slot_(slot), end_(end) { skipEmpty(); }
        Entry& operator*() const { return *slot_; }
        Entry* operator->() const { return slot_; }
        Iterator& operator++() {
            ++slot_;
            skipEmpty();
            return *this;
        }
        bool operator==(const Iterator& other) const { return slot_ == other.slot_; }

      private:
        void skipEmpty() {
            while (slot_ != end_ && !slot_->hash) ++slot_;
        }
        Entry* slot_;
        Entry* end_;
    };
    Iterator begin() const { return {slots(), slots() + slots_.size()}; }
    Iterator end() const { return {slots() + slots_.size(), slots() + slots_.size()}; }

    // The walk order: the entries sorted by key, and each key as a script value.
    const std::vector<Entry*>& walkEntries() const { return currentWalk().entries; }
    const std::vector<Variable>& walkKeys() const { return currentWalk().keys; }
    // The entry under `key` with its walk position current; null if missing.
    const Entry* walkEntry(std::string_view key) const {
        currentWalk();
        return findEntry(key);
    }
    // How many of the keys "1", "2", ... are present in a row.
    int32_t sequenceLength() const;

  private:
    struct Walk {
        uint64_t stamp = 0;
        std::vector<Entry*> entries;
        std::vector<Variable> keys;
        uint64_t lengthStamp = 0;
        int32_t sequenceLength = 0;
    };

    static uint64_t load(const char* p, size_t n) {
        uint64_t word = 0;
        for (size_t i = 0; i < n; ++i) word |= uint64_t{static_cast<unsigned char>(p[i])} << 8 * i;
        return word;
    }
    // Short keys compare in line, as two words that may overlap: a library
    // call costs more than their bytes, and a byte loop, whose length changes
    // from key to key, keeps missing its exit.
    static bool sameKey(std::string_view a, std::string_view b) {
        const size_t n = a.size();
        if (n != b.size()) return false;
        const char *p = a.data(), *q = b.data();
        if (n >= 8) {
            if (n > 16) return a == b;
            return word<uint64_t>(p) == word<uint64_t>(q) &&
                   word<uint64_t>(p + n - 8) == word<uint64_t>(q + n - 8);
        }
        if (n >= 4)
            return word<uint32_t>(p) == word<uint32_t>(q) &&
                   word<uint32_t>(p + n - 4) == word<uint32_t>(q + n - 4);
        return n == 0 || (p[0] == q[0] && p[n / 2] == q[n / 2] && p[n - 1] == q[n - 1]);
    }
    template <typename Word> static Word word(const char* p) {
        Word w;
        std::memcpy(&w, p, sizeof w);
        return w;
    }
    static uint64_t mix(uint64_t h, uint64_t word) {
        h = (h ^ word) * 0xbf58476d1ce4e5b9ull;
        return h ^ h >> 31;
    }
    // The hash's top bits pick the slot: its mixing reaches them most.
    size_t slotOf(uint32_t hash) const { return hash >> shift_; }
    Entry* slots() const { return const_cast<Entry*>(slots_.data()); }
    Entry& emptySlotFor(uint32_t hash);
    static void vacate(Entry& slot);
    void grow();
    const Walk& currentWalk() const;
    static uint64_t freshStamp();

    // What a lookup reads comes first, next to the box's count of sharers.
    // Changes with every addition and removal of a key, to a value no table has had.
    uint64_t stamp_ = freshStamp();
    size_t count_ = 0;
    uint32_t shift_ = 0; // 32 minus the bits of a slot number
    size_t mask_ = 0;
    std::vector<Entry> slots_; // a power of two of them, at most three quarters used
    mutable std::unique_ptr<Walk> walk_;
};

inline Variable::Variable(TableStorage table) : type(VarType::Table) {
    u_.table = new TableBox(std::move(table));
}
inline TableStorage* Variable::asTable() const {
    return &u_.table->value;
}

// The script value a table key's text stands for: an int or float if the
// whole text reads as one, otherwise the text.
Variable keyTextToValue(const std::string& key);

// For a thread about to end: its spare blocks of every kind die with it.
void freeSpareBlocks() noexcept;

Variable makeTable();
Variable makeArray();
Variable makeArray(std::vector<Variable> values);
Variable makeMulti(std::vector<Variable> values);
