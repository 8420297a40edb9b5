// Walking tables: keys come back in the byte-wise order of their strings.
#include "ScriptEngine.h"

#include <algorithm>

Variable ScriptEngine::keyStringToValue(const std::string& key) {
    int32_t i;
    if (parseIntStrict(key, i)) return Variable(i);
    float f;
    if (parseFloatStrict(key, f)) return Variable(f);
    return Variable(key);
}

std::vector<std::string> ScriptEngine::getIterationTableKeys(const std::shared_ptr<TableStorage>& table) {
    std::vector<std::string> keys;
    if (!table) return keys;
    keys.reserve(table->size());
    for (const auto& entry : *table) keys.push_back(entry.first);
    std::sort(keys.begin(), keys.end());
    return keys;
}

std::vector<Variable> ScriptEngine::containerWalk(const Variable& container, bool byIndex) {
    const char* const message = byIndex ? "ipairs(container) expects an array or table"
                                        : "pairs(container) expects an array or table";
    std::vector<Variable> pairs;
    if (container.type == VarType::Array) {
        const ArrayStorage& elements = *container.asArray();
        pairs.reserve(elements.size());
        for (size_t i = 0; i < elements.size(); ++i)
            pairs.push_back(makeArray({Variable(static_cast<int32_t>(i + 1)), elements[i]}));
        return pairs;
    }
    if (container.type != VarType::Table) throw std::runtime_error(message);
    const auto& table = container.asTable();
    if (byIndex) {
        int32_t length = tableSequenceLength(*table);
        for (int32_t k = 1; k <= length; ++k)
            pairs.push_back(makeArray({Variable(k), table->at(std::to_string(k))}));
        return pairs;
    }
    for (const std::string& key : getIterationTableKeys(table))
        pairs.push_back(makeArray({keyStringToValue(key), table->at(key)}));
    return pairs;
}
