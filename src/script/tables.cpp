// Walking tables. Every walk follows the byte-wise order of the key strings;
// the sorted orders and the numeric length of each table are cached and only
// rebuilt after its key set changed (markTableMutated), so repeated walks of an
// unchanged table cost no sorting.
#include "ScriptEngine.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>

namespace {

// Pruning of dead tables' entries is amortised over this many cache operations
// and only worth it once the map holds a fair number of entries.
constexpr uint64_t PruneInterval = 64;
constexpr size_t PruneThreshold = 256;
// Key lists of dead tables up to this many keys may wait for a prune.
constexpr size_t PrunedKeyFloor = 4096;

// A base-10 integer with an optional "-", digits only, fitting 32 bits.
bool parseDecimalInt(const std::string& text, int32_t& out) {
    size_t i = text.size() > 0 && text[0] == '-' ? 1 : 0;
    if (i == text.size()) return false;
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
        if (value > int64_t{1} << 31) return false;
    }
    if (text[0] == '-') value = -value;
    if (value > std::numeric_limits<int32_t>::max()) return false;
    out = static_cast<int32_t>(value);
    return true;
}

// strtof over the whole non-empty text, without a range error.
bool parseWholeFloat(const std::string& text, float& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    float value = std::strtof(text.c_str(), &end);
    if (errno == ERANGE || end != text.c_str() + text.size()) return false;
    out = value;
    return true;
}

const std::vector<std::string> noKeys;
const std::vector<Variable> noKeyValues;
const std::unordered_map<std::string, size_t> noKeyIndex;

// Fills `keys` with the table's key strings in walking order and `values` with
// the same keys as script values.
void buildKeyOrder(const TableStorage& table, std::vector<std::string>& keys, std::vector<Variable>& values) {
    keys.clear();
    keys.reserve(table.size());
    for (const auto& entry : table) keys.push_back(entry.first);
    // std::string orders through char_traits<char>, which compares bytes as unsigned.
    std::sort(keys.begin(), keys.end());
    values.clear();
    values.reserve(keys.size());
    for (const std::string& key : keys) values.push_back(ScriptEngine::keyStringToValue(key));
}

// Both return how many keys they listed afresh (0 when the cache held).
size_t ensureSortedKeys(TableCacheEntry& entry, const TableStorage& table) {
    if (entry.sortedVersion == entry.version) return 0;
    buildKeyOrder(table, entry.sortedKeys, entry.sortedKeyValues);
    entry.sortedVersion = entry.version;
    return entry.sortedKeys.size();
}

// The iteration order also carries the key -> position index that next() uses.
size_t ensureIterationKeys(TableCacheEntry& entry, const TableStorage& table) {
    if (entry.iterationVersion == entry.version) return 0;
    buildKeyOrder(table, entry.iterationKeys, entry.iterationKeyValues);
    entry.iterationKeyIndex.clear();
    entry.iterationKeyIndex.reserve(entry.iterationKeys.size());
    for (size_t i = 0; i < entry.iterationKeys.size(); ++i)
        entry.iterationKeyIndex.emplace(entry.iterationKeys[i], i);
    entry.iterationVersion = entry.version;
    return entry.iterationKeys.size();
}

} // namespace

Variable ScriptEngine::keyStringToValue(const std::string& key) {
    int32_t i;
    if (parseDecimalInt(key, i)) return Variable(i);
    float f;
    if (parseWholeFloat(key, f)) return Variable(f);
    return Variable(key);
}

void ScriptEngine::maybePruneDeadTableCacheEntries() {
    const bool manyEntries =
        ++tableCacheOperations % PruneInterval == 0 && tableCaches.size() >= PruneThreshold;
    // Dead tables' key lists are dropped once they could outweigh the live ones,
    // so a frame loop that makes and walks big tables keeps flat memory.
    const bool manyKeys = cachedTableKeys > std::max(PrunedKeyFloor, 2 * cachedTableKeysAfterPrune);
    if (manyEntries || manyKeys) pruneDeadTableCacheEntries();
}

void ScriptEngine::pruneDeadTableCacheEntries() {
    std::erase_if(tableCaches, [](const auto& entry) { return entry.second.table.expired(); });
    cachedTableKeys = 0;
    for (const auto& [storage, entry] : tableCaches) cachedTableKeys += storage->size();
    cachedTableKeysAfterPrune = cachedTableKeys;
}

size_t ScriptEngine::tableCacheCount() const {
    return tableCaches.size();
}

TableCacheEntry& ScriptEngine::tableCacheEntry(const std::shared_ptr<TableStorage>& table) {
    maybePruneDeadTableCacheEntries();
    TableCacheEntry& entry = tableCaches[table.get()];
    // A new entry, or one left by a dead table whose address was reused.
    if (entry.table.expired()) {
        entry = TableCacheEntry();
        entry.table = table;
    }
    return entry;
}

void ScriptEngine::markTableMutated(const std::shared_ptr<TableStorage>& table) {
    if (!table) return;
    ++tableMutations;
    ++tableCacheEntry(table).version;
}

const std::vector<std::string>& ScriptEngine::getSortedTableKeys(const std::shared_ptr<TableStorage>& table) {
    if (!table) return noKeys;
    TableCacheEntry& entry = tableCacheEntry(table);
    cachedTableKeys += ensureSortedKeys(entry, *table);
    return entry.sortedKeys;
}

const std::vector<Variable>&
ScriptEngine::getSortedTableKeyValues(const std::shared_ptr<TableStorage>& table) {
    if (!table) return noKeyValues;
    TableCacheEntry& entry = tableCacheEntry(table);
    cachedTableKeys += ensureSortedKeys(entry, *table);
    return entry.sortedKeyValues;
}

const std::vector<std::string>&
ScriptEngine::getIterationTableKeys(const std::shared_ptr<TableStorage>& table) {
    if (!table) return noKeys;
    TableCacheEntry& entry = tableCacheEntry(table);
    cachedTableKeys += ensureIterationKeys(entry, *table);
    return entry.iterationKeys;
}

const std::vector<Variable>&
ScriptEngine::getIterationTableKeyValues(const std::shared_ptr<TableStorage>& table) {
    if (!table) return noKeyValues;
    TableCacheEntry& entry = tableCacheEntry(table);
    cachedTableKeys += ensureIterationKeys(entry, *table);
    return entry.iterationKeyValues;
}

const std::unordered_map<std::string, size_t>&
ScriptEngine::getIterationTableKeyIndex(const std::shared_ptr<TableStorage>& table) {
    if (!table) return noKeyIndex;
    TableCacheEntry& entry = tableCacheEntry(table);
    cachedTableKeys += ensureIterationKeys(entry, *table);
    return entry.iterationKeyIndex;
}

int32_t ScriptEngine::lengthOf(const Variable& value) {
    return value.type == VarType::Table ? numericTableLength(value.asTable()) : arrayLength(value);
}

int32_t ScriptEngine::numericTableLength(const std::shared_ptr<TableStorage>& table) {
    if (!table) return 0;
    TableCacheEntry& entry = tableCacheEntry(table);
    if (entry.lengthVersion != entry.version) {
        entry.numericLength = tableSequenceLength(*table);
        entry.lengthVersion = entry.version;
    }
    return entry.numericLength;
}

std::vector<Variable> ScriptEngine::containerWalk(const Variable& container, bool byIndex) {
    std::vector<Variable> pairs;
    if (container.type == VarType::Array) {
        const ArrayStorage& elements = *container.asArray();
        pairs.reserve(elements.size());
        for (size_t i = 0; i < elements.size(); ++i)
            pairs.push_back(makeArray({Variable(static_cast<int32_t>(i + 1)), elements[i]}));
        return pairs;
    }
    if (container.type != VarType::Table)
        throw std::runtime_error(byIndex ? "ipairs(container) expects an array or table"
                                         : "pairs(container) expects an array or table");
    const auto& table = container.asTable();
    if (byIndex) {
        const int32_t length = numericTableLength(table);
        pairs.reserve(static_cast<size_t>(length));
        for (int32_t k = 1; k <= length; ++k) {
            auto found = table->find(std::to_string(k));
            if (found == table->end()) break; // a key removal that skipped markTableMutated
            pairs.push_back(makeArray({Variable(k), found->second}));
        }
        return pairs;
    }
    const std::vector<std::string>& keys = getIterationTableKeys(table);
    const std::vector<Variable>& keyValues = getIterationTableKeyValues(table);
    pairs.reserve(keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
        auto found = table->find(keys[i]);
        if (found != table->end()) pairs.push_back(makeArray({keyValues[i], found->second}));
    }
    return pairs;
}
