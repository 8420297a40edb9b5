// The expression evaluator: precedence climbing that evaluates as it parses.
// The same grammar runs with `evaluate` false to skip the operands that a
// short-circuit operator does not need, with the same syntax checks.
#include "ScriptEngine.h"

#include "engine_internal.h"

#include <cmath>

namespace {

// The codes of the binary operator table.
enum OperatorCode {
    OpNone = 0,
    OpOr = 1,
    OpAnd = 2,
    OpEqual = 3,
    OpNotEqual = 4,
    OpLess = 5,
    OpGreater = 6,
    OpLessEqual = 7,
    OpGreaterEqual = 8,
    OpAdd = 9,
    OpSubtract = 10,
    OpMultiply = 11,
    OpDivide = 12,
    OpIntDivide = 13,
    OpModulo = 14,
    OpPower = 15,
};

} // namespace

int ScriptEngine::classifyBinaryOperator(std::string_view t) {
    if (t.empty() || t.size() > 3) return OpNone;
    switch (t[0]) {
    case 'o':
        return t == "or" ? OpOr : OpNone;
    case 'a':
        return t == "and" ? OpAnd : OpNone;
    case '|':
        return t == "||" ? OpOr : OpNone;
    case '&':
        return t == "&&" ? OpAnd : OpNone;
    case '=':
        return t == "==" ? OpEqual : OpNone;
    case '!':
        return t == "!=" ? OpNotEqual : OpNone;
    case '~':
        return t == "~=" ? OpNotEqual : OpNone;
    case '<':
        return t == "<" ? OpLess : t == "<=" ? OpLessEqual : OpNone;
    case '>':
        return t == ">" ? OpGreater : t == ">=" ? OpGreaterEqual : OpNone;
    }
    if (t.size() != 1) return OpNone;
    switch (t[0]) {
    case '+':
        return OpAdd;
    case '-':
        return OpSubtract;
    case '*':
        return OpMultiply;
    case '/':
        return OpDivide;
    case '\\':
        return OpIntDivide;
    case '%':
        return OpModulo;
    case '^':
        return OpPower;
    }
    return OpNone;
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

Variable ScriptEngine::evaluateExpression(const std::vector<std::string>& tokens, size_t& index,
                                          const std::vector<TokenAnalysis>* tokenInfo) {
    ExpressionReader r{tokens, tokenInfo, index};
    return climb(r, 1, true);
}

void ScriptEngine::skipExpression(const std::vector<std::string>& tokens, size_t& index, int minPrecedence,
                                  const std::vector<TokenAnalysis>* tokenInfo) {
    ExpressionReader r{tokens, tokenInfo, index};
    climb(r, minPrecedence, false);
}

bool ScriptEngine::evaluateCondition(const std::vector<std::string>& tokens, size_t& index,
                                     const std::vector<TokenAnalysis>* tokenInfo) {
    return isTruthy(evaluateExpression(tokens, index, tokenInfo));
}

void ScriptEngine::syntaxError(const ExpressionReader& r, const std::string& message) {
    throwError(message, r.atEnd() ? std::string_view("EOF") : std::string_view(r.current()));
}

Variable ScriptEngine::climb(ExpressionReader& r, int minPrecedence, bool evaluate) {
    if (stackExhausted()) {
        // The report names the expression that nests too deeply by its first
        // token, wherever in it the stack ran out.
        if (r.start < r.tokens.size()) setErrorToken(r.tokens, r.start);
        throwStackOverflow();
    }
    Variable value = readUnary(r, evaluate);
    while (!r.atEnd()) {
        const BinaryOperator op = binaryOperators[classifyBinaryOperator(r.current())];
        if (op.precedence == 0 || op.precedence < minPrecedence) break;
        setErrorToken(r.tokens, r.index);
        ++r.index;
        if (op.kind == ExpressionNodeKind::Or || op.kind == ExpressionNodeKind::And) {
            int rightPrecedence = op.precedence + 1;
            bool keepLeft = evaluate && (isTruthy(value) == (op.kind == ExpressionNodeKind::Or));
            if (!evaluate || keepLeft)
                climb(r, rightPrecedence, false);
            else
                value = climb(r, rightPrecedence, true);
            continue;
        }
        Variable right =
            climb(r, op.kind == ExpressionNodeKind::Power ? op.precedence : op.precedence + 1, evaluate);
        if (evaluate) value = applyBinaryOperator(op.kind, value, right);
    }
    return value;
}

Variable ScriptEngine::readUnary(ExpressionReader& r, bool evaluate) {
    if (r.atEnd()) syntaxError(r, "Unexpected end of expression");
    const std::string& t = r.current();
    if (t.size() == 1 && (t[0] == '+' || t[0] == '-' || t[0] == '#' || t[0] == '!')) {
        char op = t[0];
        size_t opIndex = r.index++;
        Variable operand = climb(r, 7, evaluate);
        if (!evaluate) return {};
        switch (op) {
        case '+':
            return operand;
        case '-':
            if (!operand.isNumeric()) throwError("Unary '-' requires a numeric value", r.tokens[opIndex]);
            return negateNumber(operand);
        case '#':
            return Variable(lengthOf(operand));
        default:
            return Variable(!isTruthy(operand));
        }
    }
    if (t == "not") {
        size_t next = r.index + 1;
        if (next >= r.tokens.size() || isStandaloneNotBoundary(r.tokens[next])) {
            // A bare `not` is the nil literal, and names itself like any other.
            setErrorToken(r.tokens, r.index);
            r.index = next;
            return {};
        }
        r.index = next;
        Variable operand = climb(r, 7, evaluate);
        return evaluate ? Variable(!isTruthy(operand)) : Variable();
    }
    return readPostfix(r, evaluate);
}

Variable ScriptEngine::readPostfix(ExpressionReader& r, bool evaluate) {
    size_t primaryIndex = r.index;
    Variable value = readPrimary(r, evaluate);
    while (!r.atEnd()) {
        if (r.current() == "[") {
            ++r.index;
            Variable key = climb(r, 1, evaluate);
            if (!r.currentIs("]")) syntaxError(r, "Expected closing bracket");
            ++r.index;
            if (evaluate) value = getIndexedValue(value, key);
        } else if (r.current() == "(") {
            std::vector<Variable> args = readCallArguments(r, evaluate);
            // Errors raised by the callee point at the called name, and so do
            // later ones whether the call ran or was skipped.
            setErrorToken(r.tokens, primaryIndex);
            if (evaluate) value = invokeCallable(value, args);
        } else {
            break;
        }
    }
    return value;
}

std::vector<Variable> ScriptEngine::readCallArguments(ExpressionReader& r, bool evaluate) {
    std::vector<Variable> args;
    ++r.index; // "("
    if (r.currentIs(")")) {
        ++r.index;
        return args;
    }
    while (true) {
        Variable arg = climb(r, 1, evaluate);
        if (evaluate) args.push_back(std::move(arg));
        if (r.currentIs(",")) {
            ++r.index;
            continue;
        }
        if (r.currentIs(")")) {
            ++r.index;
            return args;
        }
        syntaxError(r, "Expected ',' or ')' after function argument");
    }
}

Variable ScriptEngine::readPrimary(ExpressionReader& r, bool evaluate) {
    if (r.atEnd()) syntaxError(r, "Unexpected end of expression");
    setErrorToken(r.tokens, r.index);
    const std::string& t = r.current();
    if (t == "...") {
        ++r.index;
        return evaluate ? varargValues() : Variable();
    }
    if (t == "{") return readTableLiteral(r, evaluate);
    if (t == "[") return readArrayLiteral(r, evaluate);
    if (t == "(") {
        ++r.index;
        Variable inner = climb(r, 1, evaluate);
        if (!r.currentIs(")")) syntaxError(r, "Expected closing parenthesis");
        ++r.index;
        return inner;
    }
    if (isStringToken(t)) {
        ++r.index;
        return evaluate ? Variable(decodeStringToken(t)) : Variable();
    }
    if (t == "not") return readUnary(r, evaluate);

    TokenAnalysis a = r.analysis(r.index);
    ++r.index;
    if (a.isTrue) return Variable(true);
    if (a.isFalse) return Variable(false);
    if (a.isIdentifier) {
        if (!evaluate) return {};
        const Variable* found = resolveVariableId(a.nameId);
        return found ? *found : Variable();
    }
    if (a.isNumeric) {
        if (a.hasInt) return Variable(a.intValue);
        float f;
        if (!a.isFloat) {
            int32_t i;
            if (parseIntStrict(t, i)) return Variable(i);
        }
        if (parseFloatStrict(t, f)) return Variable(f);
        throwError("Invalid numeric format", t);
    }
    throwError("Unknown token: " + t, t);
}

Variable ScriptEngine::readArrayLiteral(ExpressionReader& r, bool evaluate) {
    ++r.index; // "["
    std::vector<Variable> elements;
    while (!r.currentIs("]")) {
        Variable element = climb(r, 1, evaluate);
        if (evaluate) elements.push_back(std::move(element));
        if (r.currentIs(","))
            ++r.index;
        else if (!r.currentIs("]"))
            syntaxError(r, "Expected ',' or ']' in array literal");
    }
    ++r.index;
    return evaluate ? makeArray(std::move(elements)) : Variable();
}

Variable ScriptEngine::readTableLiteral(ExpressionReader& r, bool evaluate) {
    ++r.index; // "{"
    TableLiteralBuilder table;
    while (true) {
        if (r.atEnd()) throwError("Unexpected end of table literal", "EOF");
        if (r.current() == "}") break;
        if (r.current() == "[") {
            ++r.index;
            Variable key = climb(r, 1, evaluate);
            if (!r.currentIs("]")) syntaxError(r, "Expected ']' after table key");
            ++r.index;
            if (!r.currentIs(":") && !r.currentIs("=")) syntaxError(r, "Expected ':' after table key");
            ++r.index;
            Variable value = climb(r, 1, evaluate);
            if (evaluate) table.add(keyToString(key), std::move(value));
        } else if (r.index + 1 < r.tokens.size() &&
                   (r.tokens[r.index + 1] == ":" || r.tokens[r.index + 1] == "=")) {
            std::string key;
            if (!namedTableKey(r.current(), r.analysis(r.index), key)) syntaxError(r, "Invalid table key");
            r.index += 2;
            Variable value = climb(r, 1, evaluate);
            if (evaluate) table.add(key, std::move(value));
        } else {
            Variable value = climb(r, 1, evaluate);
            if (evaluate) table.add(std::move(value));
        }
        if (r.atEnd()) throwError("Unexpected end of table literal", "EOF");
        if (r.current() == ",")
            ++r.index;
        else if (r.current() != "}")
            syntaxError(r, "Expected ',' or '}' in table literal");
    }
    ++r.index;
    return evaluate ? table.finish() : Variable();
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
            return invokeCallable(function, withSelf);
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
        const ArrayStorage& elements = *container.asArray();
        if (!tryGetArrayIndex(key, i) || i < 1 || static_cast<size_t>(i) > elements.size()) return {};
        return elements[i - 1];
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
