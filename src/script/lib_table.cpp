// The container builtins (pairs, ipairs, next, keys, values, contains, erase,
// clear, pop) and the `table` library.
#include "lib_support.h"

#include <algorithm>
#include <bit>
#include <charconv>

namespace {

using library::requireCount;

bool isContainer(const Variable& v) {
    return v.type == VarType::Array || v.type == VarType::Table;
}

Variable& tableValue(TableStorage& table, int32_t key) {
    return table[std::to_string(key)];
}

// Calls `use` with the text form of a value; the common kinds skip the
// temporary string.
template <typename Use> auto withText(const Variable& value, Use use) {
    switch (value.type) {
    case VarType::Int: {
        char digits[16];
        const char* end = std::to_chars(digits, digits + sizeof digits, value.asInt()).ptr;
        return use(std::string_view(digits, end));
    }
    case VarType::Bool:
        return use(std::string_view(value.asBool() ? "true" : "false"));
    case VarType::String:
        return use(std::string_view(value.asString()));
    default:
        return use(std::string_view(value.toString()));
    }
}

// ---------------------------------------------------------------------------
// Sorting. A script comparator need not be a consistent ordering (one that
// says "less" for every pair is legal), so the sorts below never rely on it
// to stop a scan: every index stays within the range whatever it answers.

using Less = std::function<bool(const Variable&, const Variable&)>;

// Stable: an element moves left only past elements that compare greater.
void insertionSort(std::vector<Variable>& items, size_t first, size_t last, const Less& less) {
    for (size_t i = first + 1; i < last; ++i) {
        Variable item = std::move(items[i]);
        size_t j = i;
        while (j > first && less(item, items[j - 1])) {
            items[j] = std::move(items[j - 1]);
            --j;
        }
        items[j] = std::move(item);
    }
}

void siftDown(std::vector<Variable>& items, size_t first, size_t root, size_t count, const Less& less) {
    while (true) {
        size_t child = 2 * root + 1;
        if (child >= count) return;
        if (child + 1 < count && less(items[first + child], items[first + child + 1])) ++child;
        if (!less(items[first + root], items[first + child])) return;
        std::swap(items[first + root], items[first + child]);
        root = child;
    }
}

void heapSort(std::vector<Variable>& items, size_t first, size_t last, const Less& less) {
    const size_t count = last - first;
    for (size_t i = count / 2; i-- > 0;) siftDown(items, first, i, count, less);
    for (size_t end = count; end-- > 1;) {
        std::swap(items[first], items[first + end]);
        siftDown(items, first, 0, end, less);
    }
}

// Quicksort with a median-of-three pivot that falls back to heap sort when the
// recursion gets too deep, and finishes short ranges by insertion.
void introSort(std::vector<Variable>& items, size_t first, size_t last, int depthBudget, const Less& less) {
    constexpr size_t shortRange = 16;
    while (last - first > shortRange) {
        if (depthBudget-- == 0) return heapSort(items, first, last, less);
        const size_t middle = first + (last - first) / 2;
        if (less(items[middle], items[first])) std::swap(items[middle], items[first]);
        if (less(items[last - 1], items[middle])) std::swap(items[last - 1], items[middle]);
        if (less(items[middle], items[first])) std::swap(items[middle], items[first]);
        std::swap(items[middle], items[last - 1]);
        const Variable& pivot = items[last - 1];
        size_t store = first;
        for (size_t i = first; i + 1 < last; ++i)
            if (less(items[i], pivot)) std::swap(items[i], items[store++]);
        std::swap(items[store], items[last - 1]);
        // Recurse into the smaller side and loop on the larger one.
        if (store - first < last - store - 1) {
            introSort(items, first, store, depthBudget, less);
            first = store + 1;
        } else {
            introSort(items, store + 1, last, depthBudget, less);
            last = store;
        }
    }
    insertionSort(items, first, last, less);
}

} // namespace

void ScriptEngine::addContainerBuiltins(LibraryParts& parts) {
    auto& globals = parts.globals;
    auto& direct = parts.directGlobals;
    direct["pairs"] = [this](std::span<const Variable> args) {
        requireCount(args, 1, "pairs(container) requires exactly 1 argument");
        return makeArray(containerWalk(args[0], false));
    };
    direct["ipairs"] = [this](std::span<const Variable> args) {
        requireCount(args, 1, "ipairs(container) requires exactly 1 argument");
        return makeArray(containerWalk(args[0], true));
    };
    direct["next"] = [](std::span<const Variable> args) -> Variable {
        if (args.size() != 1 && args.size() != 2)
            throw std::runtime_error("next(container[, key]) requires 1 or 2 arguments");
        const Variable& container = args[0];
        const bool fromStart = args.size() == 1 || args[1].isNone();
        if (container.type == VarType::Array) {
            const ArrayStorage& elements = *container.asArray();
            int64_t position = 1;
            if (!fromStart) {
                if (args[1].type != VarType::Int || args[1].asInt() < 0) return {};
                position = int64_t{args[1].asInt()} + 1;
            }
            if (position > static_cast<int64_t>(elements.size())) return {};
            return makeMulti({Variable(static_cast<int32_t>(position)), elements[position - 1]});
        }
        if (container.type != VarType::Table)
            throw std::runtime_error("next(container[, key]) expects an array or table");
        TableStorage* table = container.asTable();
        if (table->empty()) return {};
        size_t position = 0;
        if (!fromStart) {
            const TableStorage::Entry* previous = table->walkEntry(keyToString(args[1]));
            if (!previous) return {};
            position = previous->walkPosition + 1;
        }
        const std::vector<TableStorage::Entry*>& entries = table->walkEntries();
        if (position >= entries.size()) return {};
        return makeMulti({table->walkKeys()[position], entries[position]->value});
    };
    globals["keys"] = [](const std::vector<Variable>& args) {
        if (args.size() != 1 || args[0].type != VarType::Table)
            throw std::runtime_error("keys(table) requires exactly 1 table argument");
        std::vector<Variable> keys;
        keys.reserve(args[0].asTable()->size());
        for (const TableStorage::Entry* entry : args[0].asTable()->walkEntries())
            keys.emplace_back(entry->key);
        return makeArray(std::move(keys));
    };
    globals["values"] = [](const std::vector<Variable>& args) {
        requireCount(args, 1, "values(container) requires exactly 1 argument");
        if (args[0].type == VarType::Array) return args[0];
        if (args[0].type != VarType::Table)
            throw std::runtime_error("values(container): container must be an array or table");
        std::vector<Variable> values;
        values.reserve(args[0].asTable()->size());
        for (const auto& entry : *args[0].asTable()) values.push_back(entry.value);
        return makeArray(std::move(values));
    };
    globals["contains"] = [](const std::vector<Variable>& args) {
        requireCount(args, 2, "contains(container, valueOrKey) requires exactly 2 arguments");
        if (args[0].type == VarType::Table)
            return Variable(args[0].asTable()->contains(keyToString(args[1])));
        if (args[0].type != VarType::Array)
            throw std::runtime_error("contains(container, valueOrKey): container must be an array or table");
        const ArrayStorage& elements = *args[0].asArray();
        return Variable(std::any_of(elements.begin(), elements.end(), [&](const Variable& element) {
            return variablesEqual(element, args[1]);
        }));
    };
    globals["erase"] = [](const std::vector<Variable>& args) {
        requireCount(args, 2, "erase(container, keyOrIndex) requires exactly 2 arguments");
        if (args[0].type == VarType::Table) return Variable(args[0].asTable()->erase(keyToString(args[1])));
        if (args[0].type != VarType::Array)
            throw std::runtime_error("erase(container, keyOrIndex): container must be an array or table");
        if (args[1].type != VarType::Int)
            throw std::runtime_error("erase(array, index): index must be an int");
        ArrayStorage& elements = *args[0].asArray();
        const int32_t index = args[1].asInt();
        if (index < 1 || static_cast<size_t>(index) > elements.size()) return Variable(false);
        elements.erase(elements.begin() + (index - 1));
        return Variable(true);
    };
    globals["clear"] = [](const std::vector<Variable>& args) {
        requireCount(args, 1, "clear(container) requires exactly 1 argument");
        if (args[0].type == VarType::Array) {
            args[0].asArray()->clear();
        } else if (args[0].type == VarType::Table) {
            args[0].asTable()->clear();
        } else {
            throw std::runtime_error("clear(container): container must be an array or table");
        }
        return Variable(int32_t{0});
    };
    globals["pop"] = [](const std::vector<Variable>& args) {
        requireCount(args, 1, "pop(array) requires exactly 1 argument");
        if (args[0].type != VarType::Array) throw std::runtime_error("pop(array): argument must be an array");
        ArrayStorage& elements = *args[0].asArray();
        if (elements.empty()) throw std::runtime_error("pop(array): array is empty");
        Variable last = std::move(elements.back());
        elements.pop_back();
        return last;
    };
}

void ScriptEngine::addTableLibrary(LibraryParts& parts) {
    TableStorage& library = parts.tables["table"];
    library["insert"] = makeDirectCallable(
        [](std::span<const Variable> args) {
            if ((args.size() != 2 && args.size() != 3) || !isContainer(args[0]))
                throw std::runtime_error("table['insert'](table[, pos], value) requires an array or table");
            const Variable& value = args.back();
            if (args[0].type == VarType::Array) {
                ArrayStorage& elements = *args[0].asArray();
                const int64_t length = static_cast<int64_t>(elements.size());
                const int64_t position =
                    args.size() == 2 ? length + 1 : std::clamp<int64_t>(toInt(args[1]), 1, length + 1);
                elements.insert(elements.begin() + (position - 1), value);
                return Variable(static_cast<int32_t>(elements.size()));
            }
            TableStorage* table = args[0].asTable();
            const int32_t length = table->sequenceLength();
            const int32_t position =
                args.size() == 2 ? length + 1 : std::clamp(toInt(args[1]), 1, length + 1);
            // Each value is copied out first: adding its new key may move the entries.
            for (int32_t i = length; i >= position; --i) {
                const Variable moved = tableValue(*table, i);
                tableValue(*table, i + 1) = moved;
            }
            tableValue(*table, position) = value;
            return Variable(length + 1);
        },
        "table.insert");
    library["remove"] = makeDirectCallable(
        [](std::span<const Variable> args) -> Variable {
            if ((args.size() != 1 && args.size() != 2) || !isContainer(args[0]))
                throw std::runtime_error("table['remove'](table[, pos]) requires an array or table");
            if (args[0].type == VarType::Array) {
                ArrayStorage& elements = *args[0].asArray();
                const int64_t length = static_cast<int64_t>(elements.size());
                const int64_t position = args.size() == 2 ? toInt(args[1]) : length;
                if (position < 1 || position > length) return {};
                Variable removed = std::move(elements[position - 1]);
                elements.erase(elements.begin() + (position - 1));
                return removed;
            }
            TableStorage* table = args[0].asTable();
            const int32_t length = table->sequenceLength();
            if (length < 1) return {};
            const int32_t position = args.size() == 2 ? toInt(args[1]) : length;
            if (position < 1 || position > length) return {};
            Variable removed = tableValue(*table, position);
            for (int32_t i = position; i < length; ++i) tableValue(*table, i) = tableValue(*table, i + 1);
            table->erase(std::to_string(length));
            return removed;
        },
        "table.remove");
    library["sort"] = makeDirectCallable(
        [this](std::span<const Variable> args) { return sortContainer(args); }, "table.sort");
    library["concat"] = makeDirectCallable(
        [](std::span<const Variable> args) {
            if (args.empty() || !isContainer(args[0]))
                throw std::runtime_error(
                    "table['concat'](table[, sep[, i[, j]]]) requires an array or table");
            const std::string separator = args.size() > 1 ? args[1].toString() : std::string();
            const bool isArray = args[0].type == VarType::Array;
            const int32_t length = isArray ? static_cast<int32_t>(args[0].asArray()->size())
                                           : args[0].asTable()->sequenceLength();
            const int32_t first = std::max(args.size() > 2 ? toInt(args[2]) : 1, 1);
            const int32_t last = std::min(args.size() > 3 ? toInt(args[3]) : length, length);
            if (last < first) return Variable("");

            // The elements of i..j; table entries are looked up once.
            std::vector<const Variable*> items;
            items.reserve(static_cast<size_t>(last - first + 1));
            for (int32_t k = first; k <= last; ++k) {
                if (isArray) {
                    items.push_back(&(*args[0].asArray())[k - 1]);
                } else {
                    if (const Variable* found = args[0].asTable()->find(std::to_string(k)))
                        items.push_back(found);
                }
            }
            size_t total = items.empty() ? 0 : separator.size() * (items.size() - 1);
            for (const Variable* item : items)
                total += withText(*item, [](std::string_view t) { return t.size(); });
            std::string joined;
            joined.reserve(total);
            for (size_t i = 0; i < items.size(); ++i) {
                if (i) joined += separator;
                withText(*items[i], [&](std::string_view t) { joined += t; });
            }
            return Variable(std::move(joined));
        },
        "table.concat");
}

Variable ScriptEngine::sortContainer(std::span<const Variable> args) {
    if ((args.size() != 1 && args.size() != 2) || !isContainer(args[0]))
        throw std::runtime_error("table['sort'](table[, comp]) requires an array or table");
    const Variable& container = args[0];
    std::vector<Variable> items;
    int32_t tableLength = 0;
    if (container.type == VarType::Array) {
        items = *container.asArray();
    } else {
        tableLength = container.asTable()->sequenceLength();
        items.reserve(static_cast<size_t>(tableLength));
        for (int32_t k = 1; k <= tableLength; ++k)
            items.push_back(*container.asTable()->find(std::to_string(k)));
    }
    if (items.size() < 2) return container;

    const bool hasComparator = args.size() == 2 && args[1].type == VarType::Function;
    const bool allInts =
        std::all_of(items.begin(), items.end(), [](const Variable& v) { return v.type == VarType::Int; });
    if (!hasComparator && (args.size() == 1 || args[1].isNone()) && allInts) {
        std::sort(items.begin(), items.end(),
                  [](const Variable& a, const Variable& b) { return a.asInt() < b.asInt(); });
    } else {
        // An error raised inside a protected call leaves the comparator
        // answering nothing; the sort then stops asking and changes nothing.
        bool abandoned = false;
        Less less = [&](const Variable& a, const Variable& b) {
            if (abandoned) return false;
            if (!hasComparator) return compareVariables(a, b) < 0;
            Variable pair[2] = {a, b};
            bool result = isTruthy(invokeCallable(args[1], pair, 2));
            if (shouldAbortForSoftRaisedError()) abandoned = true;
            return result && !abandoned;
        };
        constexpr size_t stableLimit = 8;
        if (items.size() <= stableLimit)
            insertionSort(items, 0, items.size(), less);
        else
            introSort(items, 0, items.size(), 2 * std::bit_width(items.size()), less);
        if (abandoned) return {};
    }

    if (container.type == VarType::Array) {
        *container.asArray() = std::move(items);
    } else {
        TableStorage& table = *container.asTable();
        for (int32_t k = 1; k <= tableLength; ++k) tableValue(table, k) = std::move(items[k - 1]);
    }
    return container;
}
