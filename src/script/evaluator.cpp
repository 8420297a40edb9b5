// What expressions share with the rest of the engine: the operator tokens,
// table literal keys, varargs, and reading an indexed value.
#include "ScriptEngine.h"

#include "engine_internal.h"

#include <cmath>

int ScriptEngine::classifyBinaryOperator(std::string_view t) {
    // The spellings of each operator, in the order of its code (from 1).
    static constexpr std::string_view spellings[][2] = {
        {"or", "||"}, {"and", "&&"}, {"==", ""}, {"!=", "~="}, {"<", ""},  {">", ""}, {"<=", ""}, {">=", ""},
        {"+", ""},    {"-", ""},     {"*", ""},  {"/", ""},    {"\\", ""}, {"%", ""}, {"^", ""}};
    static_assert(std::size(spellings) + 1 == std::size(binaryOperators));
    if (t.empty()) return 0;
    for (size_t code = 1; code < std::size(binaryOperators); ++code)
        if (t == spellings[code - 1][0] || t == spellings[code - 1][1]) return static_cast<int>(code);
    return 0;
}

bool ScriptEngine::isStandaloneNotBoundary(std::string_view t) {
    static const std::string_view boundaries[] = {
        "",   ")", "]", "}",  ",",  "+",  "-",  "*",   "/",  "\\",  "%",    "^",      "==",   "!=",
        "~=", "<", ">", "<=", ">=", "&&", "||", "and", "or", "end", "else", "elseif", "until"};
    for (std::string_view b : boundaries)
        if (t == b) return true;
    return false;
}

bool ScriptEngine::tryGetArrayIndex(const Variable& key, int32_t& out) {
    if (key.type == VarType::Int) {
        out = key.asInt();
        return true;
    }
    if (key.type != VarType::Float) return false;
    double f = key.asFloat();
    if (!std::isfinite(f) || f != std::floor(f) || f < -2147483648.0 || f > 2147483647.0) return false;
    out = static_cast<int32_t>(f);
    return true;
}

// The key of a named entry `key: value`: a string's text, or the token as
// written for a name, a true or false spelling or a number (so 1.0 stays 1.0).
bool ScriptEngine::namedTableKey(const std::string& token, const TokenAnalysis& analysis, std::string& key) {
    if (isStringToken(token))
        key = decodeStringToken(token);
    else if (analysis.isIdentifier || analysis.isTrue || analysis.isFalse || analysis.isNumeric)
        key = token;
    else
        return false;
    return true;
}

// The varargs of the innermost running function that takes them, as copies.
Variable ScriptEngine::varargValues() const {
    return varargStack.empty() ? Variable() : makeMulti(varargStack.back());
}

// ---------------------------------------------------------------------------
// Indexing

Variable ScriptEngine::bindStringMethod(const std::string& text, const std::string& method) {
    static const uint32_t stringLibrary = internName("string");
    if (stringLibrary >= globalDefined.size() || !globalDefined[stringLibrary]) return {};
    const Variable& library = globalSlots[stringLibrary];
    if (library.type != VarType::Table) return {};
    const Variable* entry = library.asTable()->find(method);
    if (!entry || entry->type != VarType::Function) return {};
    Variable function = *entry;
    return makeNativeCallable(
        [this, function, text](const std::vector<Variable>& args) {
            std::vector<Variable> withSelf;
            withSelf.reserve(args.size() + 1);
            withSelf.emplace_back(text);
            withSelf.insert(withSelf.end(), args.begin(), args.end());
            return invokeCallable(function, withSelf.data(), withSelf.size());
        },
        method, 0);
}

Variable ScriptEngine::getIndexedValue(const Variable& container, const Variable& key) {
    switch (container.type) {
    case VarType::Table: {
        const TableStorage& table = *container.asTable();
        const Variable* found =
            key.type == VarType::String ? table.find(key.asString()) : table.find(keyToString(key));
        return found ? *found : Variable();
    }
    case VarType::Array: {
        int32_t i;
        if (!tryGetArrayIndex(key, i)) return {};
        return *arrayElement(*container.asArray(), i);
    }
    case VarType::String: {
        const std::string& text = container.asString();
        if (key.type == VarType::Int) {
            int32_t i = key.asInt();
            if (i < 1 || static_cast<size_t>(i) > text.size()) return {};
            return Variable(std::string(1, text[i - 1]));
        }
        if (key.type == VarType::String) return bindStringMethod(text, key.asString());
        throw std::runtime_error("String index must be an int or string method name");
    }
    default:
        throw std::runtime_error("Indexing requires an array, table, or string");
    }
}
