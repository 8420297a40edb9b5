// Where variables live, how names are found, and the assignment statement.
// Lookup is dynamic: a running function sees the locals, parameters and loop
// variables of every block and call still active beneath it.
#include "ScriptEngine.h"

#include "engine_internal.h"

namespace {

// The process-wide name table. Ids start at 1 so that 0 can mean "no name".
struct NameTable {
    std::unordered_map<std::string, uint32_t> ids;
    std::vector<std::string> names{""};
};

NameTable& nameTable() {
    static NameTable table;
    return table;
}

} // namespace

uint32_t internName(std::string_view name) {
    NameTable& table = nameTable();
    auto [it, inserted] = table.ids.try_emplace(std::string(name), static_cast<uint32_t>(table.names.size()));
    if (inserted) table.names.emplace_back(name);
    return it->second;
}

const std::string& nameOf(uint32_t id) {
    return nameTable().names.at(id);
}

Variable* ScriptEngine::resolveVariablePtr(const std::string& name) {
    return resolveVariableId(internName(name));
}

void ScriptEngine::assignVisibleVariable(uint32_t nameId, const Variable& value) {
    if (Variable* existing = resolveVariableId(nameId))
        *existing = value;
    else
        pushVariable(nameOf(nameId), value);
}

void ScriptEngine::assignVariable(const std::string& name, const Variable& value, ScopeTarget target) {
    assignVariableId(internName(name), value, target);
}

// ---------------------------------------------------------------------------
// Containers

Variable& ScriptEngine::getIndexedValueMutable(Variable& container, const Variable& key, bool create) {
    if (container.type == VarType::Array) {
        int32_t i;
        bool integral = tryGetArrayIndex(key, i);
        ArrayStorage& elements = *container.asArray();
        if (integral && i >= 1) {
            if (static_cast<size_t>(i) > elements.size()) {
                if (!create) throw std::runtime_error("Array index out of range");
                elements.resize(static_cast<size_t>(i));
            }
            return elements[i - 1];
        }
        if (!create)
            throw std::runtime_error(integral ? "Array index must be >= 1" : "Array index must be an int");
        promoteArrayVariableToTable(container);
    }
    if (container.type == VarType::Table) {
        TableStorage& table = *container.asTable();
        if (key.type == VarType::String) {
            if (Variable* found = table.find(key.asString())) return *found;
        }
        std::string keyText = keyToString(key);
        if (create) return table.insert(keyText);
        Variable* found = table.find(keyText);
        if (!found) throw std::runtime_error("Table key not found: " + keyText);
        return *found;
    }
    throw std::runtime_error("Indexing requires an array or table");
}

void ScriptEngine::setIndexedValue(Variable& container, const Variable& key, const Variable& value,
                                   bool create) {
    if (container.type == VarType::String) {
        if (key.type != VarType::Int) throw std::runtime_error("String index must be an int");
        int32_t i = key.asInt();
        if (i < 1 || static_cast<size_t>(i) > container.asString().size())
            throw std::runtime_error("String index out of range");
        if (value.type != VarType::String)
            throw std::runtime_error("String element assignment requires a string value");
        if (value.asString().size() != 1)
            throw std::runtime_error("String element assignment requires a single-character string");
        container.ownString()[i - 1] = value.asString()[0];
        return;
    }
    if (container.type != VarType::Array && container.type != VarType::Table)
        throw std::runtime_error("Indexing requires an array, table, or string");
    getIndexedValueMutable(container, key, create) = value;
}

// ---------------------------------------------------------------------------
// The assignment statement

void ScriptEngine::evaluateTargetKeys(const ParsedScriptLine& line, const ParsedAssignmentTarget& target,
                                      Variable* keys) {
    for (size_t k = 0; k < target.compiledIndexes.size(); ++k)
        keys[k] = evaluateCompiled(target.compiledIndexes[k], line);
}

void ScriptEngine::assignToTarget(const ParsedScriptLine& line, const ParsedAssignmentTarget& target,
                                  Variable value) {
    checkAssignmentTarget(line, target);
    const uint32_t nameId = target.nameId;
    const ExpressionNodeKind op = line.storeOperator;
    const bool compound = op != ExpressionNodeKind::NoneLiteral;
    if (target.indexRanges.empty()) {
        if (!compound && line.assignScope != ScopeTarget::Default)
            return assignVariableId(nameId, std::move(value), line.assignScope);
        Variable* existing = resolveVariableId(nameId);
        if (!compound) {
            if (!existing) return assignVariableId(nameId, std::move(value), line.assignScope);
            *existing = std::move(value);
            return;
        }
        if (existing) return combineInPlace(*existing, op, value);
        return assignVariableId(nameId, performOperation(Variable(), op, value), line.assignScope);
    }
    const size_t keyCount = target.indexRanges.size();
    if (keyCount == 1 && assignTableField(line, target, nameId, value)) return;
    // Keys first: evaluating them may run code that moves variable storage.
    Variable singleKey;
    std::vector<Variable> manyKeys(keyCount > 1 ? keyCount : 0);
    Variable* keys = keyCount > 1 ? manyKeys.data() : &singleKey;
    evaluateTargetKeys(line, target, keys);
    Variable* container = resolveVariableId(nameId);
    if (!container) throw std::runtime_error("Indexing requires an array, table, or string");
    for (size_t i = 0; i + 1 < keyCount; ++i) container = &getIndexedValueMutable(*container, keys[i], true);
    const Variable& key = keys[keyCount - 1];
    if (!compound) return setIndexedValue(*container, key, value, true);
    Variable current = container->type == VarType::Array || container->type == VarType::Table ||
                               container->type == VarType::String
                           ? getIndexedValue(*container, key)
                           : Variable();
    setIndexedValue(*container, key, performOperation(current, op, value), false);
}

// The field that `name['key'] = value` or its compound form on a table
// stores to, found through the key's remembered lookup, and added when the
// store is plain and the key new. Null, having changed nothing, for any other
// form and for a compound operator on a missing key, whose error the general
// path raises.
Variable* ScriptEngine::storedTableField(const ParsedScriptLine& line, const ParsedAssignmentTarget& target,
                                         uint32_t nameId, bool compound) {
    const CompiledExpression& key = target.compiledIndexes[0];
    if (!isLiteralKey(key)) return nullptr;
    Variable* container = resolveVariableId(nameId);
    if (!container || container->type != VarType::Table) return nullptr;
    TableStorage& table = *container->asTable();
    const int32_t keyString = key.nodes[key.root].intValue;
    Variable* field = key.strings[keyString].findIn(table);
    if (!field) {
        if (compound) return nullptr;
        field = &table.insert(key.strings[keyString].text());
    }
    // A compound operator's report names the key, as the general path's does.
    setErrorToken(line.tokens, key.nodes[key.root].errorToken);
    return field;
}

bool ScriptEngine::assignTableField(const ParsedScriptLine& line, const ParsedAssignmentTarget& target,
                                    uint32_t nameId, const Variable& value) {
    const bool compound = line.storeOperator != ExpressionNodeKind::NoneLiteral;
    Variable* field = storedTableField(line, target, nameId, compound);
    if (!field) return false;
    if (compound)
        combineInPlace(*field, line.storeOperator, value);
    else
        *field = value;
    return true;
}

// `name = value`, `name[key] = value` and their compound forms, and
// `local name = value` or `native name = value`; the value free of calls but
// to the numeric library functions, and the key of any call: the statements
// whose value's code ends by storing it.
bool ScriptEngine::isScalarStorable(const ParsedScriptLine& line) {
    if (line.kind != StatementKind::Simple || line.assignOpIndex == 0 || line.assignmentTargets.size() != 1 ||
        line.valueRanges.size() != 1)
        return false;
    const ParsedAssignmentTarget& target = line.assignmentTargets[0];
    const bool declares = line.assignScope != ScopeTarget::Default;
    if (declares && (!target.indexRanges.empty() || line.storeOperator != ExpressionNodeKind::NoneLiteral))
        return false;
    auto scalarSafe = [](const CompiledExpression& expr) {
        return expr.valid && expr.nodes[expr.root].scalarSafe;
    };
    auto pureKey = [](const CompiledExpression& key) { return key.valid && key.nodes[key.root].pure; };
    return target.wellFormed && target.indexRanges.size() <= 1 && scalarSafe(line.compiledValues[0]) &&
           (target.indexRanges.empty() || pureKey(target.compiledIndexes[0]));
}

void ScriptEngine::executeAssignment(const ParsedScriptLine& line) {
    const auto& targets = line.assignmentTargets;
    // One compiled value per value written: the count is read from the
    // compiled forms, which the statement reads next, not from the ranges.
    if (targets.size() == 1 && line.compiledValues.size() == 1) {
        return assignToTarget(line, targets[0], firstValue(evaluateCompiled(line.compiledValues[0], line)));
    }
    std::vector<Variable> values = evaluateParts(line.compiledValues, line);
    if (targets.size() == 1) {
        if (!values.empty() && values[0].type == VarType::Multi) values[0] = firstValue(values[0]);
    } else if (values.size() == 1 && values[0].type == VarType::Multi) {
        std::vector<Variable> spread = values[0].asMulti()->values;
        values = std::move(spread);
    }
    for (size_t i = 0; i < targets.size(); ++i)
        assignToTarget(line, targets[i], i < values.size() ? values[i] : Variable());
}
