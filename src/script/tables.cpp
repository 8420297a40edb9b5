// Walking containers. Every table walk follows the byte-wise order of the key
// strings, which each table keeps until its key set changes.
#include "ScriptEngine.h"

int32_t ScriptEngine::lengthOf(const Variable& value) {
    return value.type == VarType::Table ? value.asTable()->sequenceLength() : arrayLength(value);
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
    TableStorage* table = container.asTable();
    if (byIndex) {
        const int32_t length = table->sequenceLength();
        pairs.reserve(static_cast<size_t>(length));
        for (int32_t k = 1; k <= length; ++k)
            pairs.push_back(makeArray({Variable(k), *table->find(std::to_string(k))}));
        return pairs;
    }
    const std::vector<TableStorage::Entry*>& entries = table->walkEntries();
    const std::vector<Variable>& keys = table->walkKeys();
    pairs.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) pairs.push_back(makeArray({keys[i], entries[i]->value}));
    return pairs;
}
