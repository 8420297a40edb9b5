// The value rules: text forms, truthiness, equality, ordering and arithmetic.
#include "ScriptEngine.h"
#include "number_rules.h"

#include "engine_internal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

Variable makeTable() {
    return Variable(TableStorage());
}

Variable makeArray() {
    return Variable(ArrayStorage());
}

Variable makeArray(std::vector<Variable> values) {
    return Variable(std::move(values));
}

Variable makeMulti(std::vector<Variable> values) {
    return Variable(MultiResult{std::move(values)});
}

void freeSpareBlocks() noexcept {
    SpareBlocks<StringBox>::freeAll();
    SpareBlocks<RawBox>::freeAll();
    SpareBlocks<SharedBox<ArrayStorage>>::freeAll();
    SpareBlocks<SharedBox<TableStorage>>::freeAll();
    SpareBlocks<SharedBox<ScriptCallable>>::freeAll();
    SpareBlocks<SharedBox<MultiResult>>::freeAll();
}

void Variable::freeBox(VarType t, Payload payload) noexcept {
    auto deleteBox = [](VarType t, Payload payload) {
        switch (t) {
        case VarType::String:
            return delete payload.s;
        case VarType::Raw:
            return delete payload.raw;
        case VarType::Array:
            return delete payload.array;
        case VarType::Table:
            return delete payload.table;
        case VarType::Function:
            return delete payload.function;
        case VarType::Multi:
            return delete payload.multi;
        default:
            return;
        }
    };
    const bool nests = (t == VarType::Array && !payload.array->value.empty()) ||
                       (t == VarType::Table && !payload.table->value.empty());
    if (!nests) return deleteBox(t, payload);
    // The containers that a release in progress on this thread still has to free.
    static thread_local std::vector<std::pair<VarType, Payload>>* pendingContainers = nullptr;
    if (pendingContainers) {
        pendingContainers->emplace_back(t, payload);
        return;
    }
    // Nested containers freed by this one queue up here instead of recursing.
    std::vector<std::pair<VarType, Payload>> pending;
    pendingContainers = &pending;
    deleteBox(t, payload);
    while (!pending.empty()) {
        const auto [kind, next] = pending.back();
        pending.pop_back();
        deleteBox(kind, next);
    }
    pendingContainers = nullptr;
}

static std::string floatText(float f) {
    char buffer[64];
    int n = std::snprintf(buffer, sizeof buffer, "%f", static_cast<double>(f));
    if (n >= 0 && n < static_cast<int>(sizeof buffer)) return std::string(buffer, n);
    // Large magnitudes need more room than the stack buffer.
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), "%f", static_cast<double>(f));
    text.pop_back();
    return text;
}

namespace {

// Deeper containers are refused like runaway recursion, before the stack runs out.
constexpr size_t deepestTextNesting = 1000;

// Writes text forms into one string. `open` holds the containers being
// written, outermost first: one met again inside itself is a cycle.
struct TextWriter {
    std::string text;
    std::vector<const void*> open;

    void append(const Variable& value) {
        switch (value.type) {
        case VarType::Array:
            return appendContainer(value.asArray(), [&] {
                const ArrayStorage& elements = *value.asArray();
                text += '[';
                for (size_t i = 0; i < elements.size(); ++i) {
                    if (i) text += ", ";
                    append(elements[i]);
                }
                text += ']';
            });
        case VarType::Table:
            return appendContainer(value.asTable(), [&] {
                text += '{';
                bool first = true;
                for (const TableStorage::Entry& entry : *value.asTable()) {
                    if (!first) text += ", ";
                    first = false;
                    text += entry.key;
                    text += ": ";
                    append(entry.value);
                }
                text += '}';
            });
        case VarType::String:
            text += value.asString();
            return;
        default:
            text += value.scalarText();
        }
    }

    template <typename Body> void appendContainer(const void* container, Body&& body) {
        if (std::find(open.begin(), open.end(), container) != open.end()) {
            text += "[cycle]";
            return;
        }
        if (open.size() == deepestTextNesting)
            throw std::runtime_error("Stack overflow: calls or expressions nested too deeply");
        open.push_back(container);
        body();
        open.pop_back();
    }
};

} // namespace

std::string Variable::toString() const {
    if (type != VarType::Array && type != VarType::Table) return scalarText();
    TextWriter writer;
    writer.append(*this);
    return std::move(writer.text);
}

std::string Variable::scalarText() const {
    switch (type) {
    case VarType::None:
        return "not";
    case VarType::Int:
        return std::to_string(asInt());
    case VarType::Float:
        return floatText(asFloat());
    case VarType::String:
        return asString();
    case VarType::Bool:
        return asBool() ? "true" : "false";
    case VarType::Function:
        return "[function]";
    case VarType::Multi:
        return "[multivalue]";
    default:
        return "[unconvertible type]";
    }
}

const char* ScriptEngine::typeName(VarType type) {
    // In the order of the types.
    static const char* const names[] = {"not",     "int",   "float",      "string", "raw",     "bool",
                                        "pointer", "array", "multivalue", "table",  "function"};
    const auto index = static_cast<size_t>(type);
    return index < std::size(names) ? names[index] : "unknown";
}

double ScriptEngine::toDouble(const Variable& v) {
    switch (v.type) {
    case VarType::Int:
        return v.asInt();
    case VarType::Float:
        return v.asFloat();
    case VarType::Bool:
        return v.asBool() ? 1.0 : 0.0;
    default:
        throw std::runtime_error("Expected a numeric value");
    }
}

int32_t ScriptEngine::saturatingToInt(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (d <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(d);
}

int32_t ScriptEngine::toInt(const Variable& v) {
    return v.type == VarType::Int ? v.asInt() : saturatingToInt(toDouble(v));
}

bool ScriptEngine::variablesEqual(const Variable& a, const Variable& b) {
    if (a.isNumeric() && b.isNumeric()) {
        if (a.type == VarType::Int && b.type == VarType::Int) return a.asInt() == b.asInt();
        return toDouble(a) == toDouble(b);
    }
    if (a.type != b.type) return false;
    switch (a.type) {
    case VarType::None:
        return true;
    case VarType::String:
        return a.asString() == b.asString();
    case VarType::Raw:
        return a.asRaw() == b.asRaw();
    case VarType::Pointer:
        return a.asPointer() == b.asPointer();
    case VarType::Array:
        return a.asArray() == b.asArray();
    case VarType::Table:
        return a.asTable() == b.asTable();
    case VarType::Function:
        return a.asFunction() == b.asFunction();
    case VarType::Multi:
        return a.asMulti() == b.asMulti();
    default:
        return false;
    }
}

int ScriptEngine::compareVariables(const Variable& a, const Variable& b) {
    if (a.isNumeric() && b.isNumeric()) {
        return number_rules::threeWay(toDouble(a), toDouble(b));
    }
    if (a.type == VarType::String && b.type == VarType::String) {
        // std::string compares chars through char_traits, which orders bytes as unsigned.
        int c = a.asString().compare(b.asString());
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    throw std::runtime_error(std::string("Cannot compare ") + typeName(a.type) + " with " + typeName(b.type));
}

// ---------------------------------------------------------------------------
// Arithmetic

[[noreturn]] static void unsupported(char op) {
    throw std::runtime_error(std::string("Unsupported operation '") + op + "' between types");
}

// Exact integer power by repeated squaring; false when it leaves the int range.
static bool integerPower(int64_t base, int64_t exponent, int32_t& out) {
    const int64_t limit = int64_t{1} << 31;
    int64_t result = 1;
    while (exponent > 0) {
        if (exponent & 1) {
            result *= base;
            if (result >= limit || result < -limit) return false;
        }
        exponent >>= 1;
        if (exponent == 0) break;
        base *= base;
        if (base >= limit) return false;
    }
    out = static_cast<int32_t>(result);
    return true;
}

static Variable power(const Variable& a, const Variable& b) {
    bool bothInt = a.type == VarType::Int && b.type == VarType::Int;
    if (bothInt && b.asInt() >= 0) {
        if (b.asInt() == 0) return Variable(int32_t{1});
        int32_t exact;
        if (integerPower(a.asInt(), b.asInt(), exact)) return Variable(exact);
    }
    double result = std::pow(ScriptEngine::toDouble(a), ScriptEngine::toDouble(b));
    if (std::isinf(result) || std::isnan(result)) throw std::runtime_error("Invalid exponentiation result");
    if (bothInt && b.asInt() >= 0) {
        double rounded = std::round(result);
        if (rounded >= -2147483648.0 && rounded <= 2147483647.0 && std::fabs(rounded - result) < 1e-6)
            return Variable(static_cast<int32_t>(rounded));
    }
    return Variable(number_rules::floatResult(result));
}

static ExpressionNodeKind arithmeticKind(char op) {
    for (int i = 0; arithmeticChars[i]; ++i)
        if (arithmeticChars[i] == op)
            return static_cast<ExpressionNodeKind>(static_cast<int>(ExpressionNodeKind::Add) + i);
    throw std::runtime_error(std::string("Unsupported operation: ") + op);
}

Variable ScriptEngine::performOperation(const Variable& a, char op, const Variable& b) {
    return performOperation(a, arithmeticKind(op), b);
}

Variable ScriptEngine::performOperation(const Variable& a, ExpressionNodeKind kind, const Variable& b) {
    using Op = ExpressionNodeKind;
    if (kind == Op::Add && (a.type == VarType::String || b.type == VarType::String))
        return Variable(a.toString() + b.toString());
    if (!a.isNumeric() || !b.isNumeric()) unsupported(arithmeticChar(kind));
    const bool anyFloat = a.type == VarType::Float || b.type == VarType::Float;
    float f;
    int32_t i;
    switch (kind) {
    case Op::Power:
        return power(a, b);
    case Op::IntDivide: // of the operands truncated, floats included
        if (number_rules::intArithmetic(kind, toInt(a), toInt(b), i)) return Variable(i);
        break;
    case Op::Modulo:
        if (anyFloat) {
            const double x = static_cast<float>(toDouble(a)), y = static_cast<float>(toDouble(b));
            if (y != 0) return Variable(number_rules::floatResult(std::fmod(x, y)));
        } else if (number_rules::intArithmetic(kind, toInt(a), toInt(b), i)) {
            return Variable(i);
        }
        break;
    default: // + - * and /, which always divides as floats
        if (!anyFloat && kind != Op::Divide && number_rules::intArithmetic(kind, toInt(a), toInt(b), i))
            return Variable(i);
        if (number_rules::floatArithmetic(kind, toDouble(a), toDouble(b), f)) return Variable(f);
        break;
    }
    throw std::runtime_error("Division by zero");
}

Variable ScriptEngine::applyBinaryOperator(ExpressionNodeKind op, const Variable& a, const Variable& b) {
    switch (op) {
    case ExpressionNodeKind::Equal:
        return Variable(variablesEqual(a, b));
    case ExpressionNodeKind::NotEqual:
        return Variable(!variablesEqual(a, b));
    case ExpressionNodeKind::Less:
    case ExpressionNodeKind::Greater:
    case ExpressionNodeKind::LessEqual:
    case ExpressionNodeKind::GreaterEqual:
        return Variable(number_rules::orderHolds(op, compareVariables(a, b)));
    default:
        return performOperation(a, op, b);
    }
}

Variable ScriptEngine::negateNumber(const Variable& v) {
    switch (v.type) {
    case VarType::Int:
        return Variable(number_rules::negate(v.asInt()));
    case VarType::Float:
        return Variable(-v.asFloat());
    default:
        return Variable(int32_t{v.asBool() ? -1 : 0});
    }
}

Variable ScriptEngine::performOperation(const Variable& a, const std::string& op, const Variable& b) {
    if (op.size() != 1) throw std::runtime_error("Unsupported operation: " + op);
    return performOperation(a, op[0], b);
}

// ---------------------------------------------------------------------------
// Keys and lengths

std::string ScriptEngine::keyToString(const Variable& key) {
    if (!key.isNumeric() && key.type != VarType::String)
        throw std::runtime_error("Table key must be string, number, or bool");
    return key.scalarText();
}

int32_t ScriptEngine::arrayLength(const Variable& v) {
    switch (v.type) {
    case VarType::String:
        return static_cast<int32_t>(v.asString().size());
    case VarType::Array:
        return static_cast<int32_t>(v.asArray()->size());
    case VarType::Table:
        return v.asTable()->sequenceLength();
    default:
        throw std::runtime_error("len(x) expects an array, table, or string");
    }
}

void ScriptEngine::promoteArrayVariableToTable(Variable& v) {
    if (v.type != VarType::Array) return;
    Variable table = makeTable();
    TableStorage& entries = *table.asTable();
    const ArrayStorage& elements = *v.asArray();
    entries.reserve(elements.size());
    for (size_t i = 0; i < elements.size(); ++i) entries[std::to_string(i + 1)] = elements[i];
    v = std::move(table);
}
