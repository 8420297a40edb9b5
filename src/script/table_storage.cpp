// The table store: adding, removing and copying entries, growing the index,
// and the walk order.
#include "ScriptEngine.h"

#include <algorithm>
#include <atomic>
#include <limits>

constexpr size_t smallestIndex = 4;

// A key reads back as the number it was written from, by the rules of number tokens.
Variable keyTextToValue(const std::string& key) {
    int32_t i;
    if (ScriptEngine::parseIntStrict(key, i)) return Variable(i);
    float f;
    if (ScriptEngine::parseFloatStrict(key, f)) return Variable(f);
    return Variable(key);
}

// Stamps come from one counter for the whole process, taken by each thread in
// blocks so that changing a key set costs no atomic operation; 0 is never issued.
uint64_t TableStorage::freshStamp() {
    constexpr uint64_t block = 4096;
    static std::atomic<uint64_t> nextBlock{block};
    thread_local uint64_t next = 0, end = 0;
    if (next == end) {
        next = nextBlock.fetch_add(block, std::memory_order_relaxed);
        end = next + block;
    }
    return next++;
}

TableStorage::TableStorage(const TableStorage& other)
    : count_(other.count_), shift_(other.shift_), mask_(other.mask_), slots_(other.slots_) {}

TableStorage::TableStorage(TableStorage&& other) noexcept
    : stamp_(std::exchange(other.stamp_, freshStamp())), count_(std::exchange(other.count_, 0)),
      shift_(std::exchange(other.shift_, 0)), mask_(std::exchange(other.mask_, 0)),
      slots_(std::move(other.slots_)), walk_(std::move(other.walk_)) {}

TableStorage& TableStorage::operator=(TableStorage other) noexcept {
    std::swap(slots_, other.slots_);
    std::swap(mask_, other.mask_);
    std::swap(shift_, other.shift_);
    std::swap(count_, other.count_);
    std::swap(walk_, other.walk_);
    // Both key sets changed: neither may match a walk or lookup taken before.
    stamp_ = freshStamp();
    other.stamp_ = freshStamp();
    return *this;
}

TableStorage::~TableStorage() = default;

TableStorage::Entry& TableStorage::emptySlotFor(uint32_t hash) {
    size_t i = slotOf(hash);
    while (slots_[i].hash) i = (i + 1) & mask_;
    return slots_[i];
}

// A slot let go of keeps no key text or value alive.
void TableStorage::vacate(Entry& slot) {
    slot.key = std::string();
    slot.value = Variable();
    slot.hash = 0;
}

void TableStorage::reserve(size_t count) {
    size_t capacity = smallestIndex;
    while (capacity - capacity / 4 < count) capacity *= 2;
    if (capacity <= slots_.size()) return;
    std::vector<Entry> old(capacity);
    old.swap(slots_);
    mask_ = capacity - 1;
    shift_ = 32 - static_cast<uint32_t>(std::countr_zero(capacity));
    for (Entry& entry : old)
        if (entry.hash) emptySlotFor(entry.hash) = std::move(entry);
    // The entries moved.
    stamp_ = freshStamp();
}

void TableStorage::grow() {
    reserve(std::max(count_ + 1, slots_.size()));
}

Variable& TableStorage::insert(std::string_view key, bool* added) {
    const uint32_t hash = hashOf(key);
    if (Variable* value = find(key, hash)) {
        if (added) *added = false;
        return *value;
    }
    if (count_ + 1 > slots_.size() - slots_.size() / 4) grow();
    Entry& entry = emptySlotFor(hash);
    entry.key = key;
    entry.hash = hash;
    ++count_;
    stamp_ = freshStamp();
    if (added) *added = true;
    return entry.value;
}

bool TableStorage::erase(std::string_view key) {
    if (count_ == 0) return false;
    const uint32_t hash = hashOf(key);
    size_t i = slotOf(hash);
    for (;; i = (i + 1) & mask_) {
        if (!slots_[i].hash) return false;
        if (slots_[i].hash == hash && sameKey(slots_[i].key, key)) break;
    }
    vacate(slots_[i]);
    // Entries after the hole that belong at or before it move back into it,
    // so that every probe still meets its entry before an empty slot.
    for (size_t j = (i + 1) & mask_; slots_[j].hash; j = (j + 1) & mask_) {
        const size_t home = slotOf(slots_[j].hash);
        const bool homeInHole = i <= j ? home <= i || home > j : home <= i && home > j;
        if (!homeInHole) continue;
        slots_[i] = std::move(slots_[j]);
        vacate(slots_[j]);
        i = j;
    }
    --count_;
    stamp_ = freshStamp();
    return true;
}

void TableStorage::clear() {
    for (Entry& slot : slots_)
        if (slot.hash) vacate(slot);
    count_ = 0;
    stamp_ = freshStamp();
}

const TableStorage::Walk& TableStorage::currentWalk() const {
    if (!walk_) walk_ = std::make_unique<Walk>();
    Walk& walk = *walk_;
    if (walk.stamp == stamp_) return walk;
    walk.entries.clear();
    walk.entries.reserve(count_);
    for (Entry& entry : *this) walk.entries.push_back(&entry);
    // std::string orders through char_traits<char>, which compares bytes as unsigned.
    std::sort(walk.entries.begin(), walk.entries.end(),
              [](const Entry* a, const Entry* b) { return a->key < b->key; });
    walk.keys.clear();
    walk.keys.reserve(count_);
    for (size_t i = 0; i < walk.entries.size(); ++i) {
        walk.entries[i]->walkPosition = static_cast<uint32_t>(i);
        walk.keys.push_back(keyTextToValue(walk.entries[i]->key));
    }
    walk.stamp = stamp_;
    return walk;
}

int32_t TableStorage::sequenceLength() const {
    if (!walk_) walk_ = std::make_unique<Walk>();
    Walk& walk = *walk_;
    if (walk.lengthStamp == stamp_) return walk.sequenceLength;
    int32_t n = 0;
    while (n < std::numeric_limits<int32_t>::max() && contains(std::to_string(n + 1))) ++n;
    walk.sequenceLength = n;
    walk.lengthStamp = stamp_;
    return n;
}
