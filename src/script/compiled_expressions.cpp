// Compiled expressions. Every expression of a line is compiled once, when the
// line is read, into a small tree; evaluating a tree first tries to stay in
// unboxed scalars, then falls back to full values over the same tree. The
// general paths run the same trees on full values only, so the two can be
// compared (conditions excepted: a scalar 0 is false here).
#include "ScriptEngine.h"

#include "engine_internal.h"
#include "number_rules.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <pthread.h>

using Kind = ExpressionNodeKind;
using Scalar = ScriptEngine::ScalarValue;

namespace {

// A node raising `message` at `token` (past the end: at "EOF") once `prefix`,
// the text read before it, has run. An empty message stands for the stack
// overflow.
int32_t addSyntaxError(CompiledExpression& expr, std::string message, uint32_t token, int32_t prefix) {
    ExpressionNode n;
    n.kind = Kind::SyntaxError;
    n.left = prefix;
    n.token = n.errorToken = token;
    n.pure = n.scalarSafe = false;
    n.intValue = static_cast<int32_t>(expr.strings.size());
    expr.strings.push_back({Variable(std::move(message)), {}});
    expr.nodes.push_back(n);
    const auto index = static_cast<int32_t>(expr.nodes.size() - 1);
    if (expr.syntaxError < 0) expr.syntaxError = index;
    return index;
}

// Bytes of this thread's stack still free beneath the caller.
size_t freeStackBytes() {
    static thread_local const char* lowest = [] {
        void* low = nullptr;
        size_t size = 0;
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            pthread_attr_getstack(&attributes, &low, &size);
            pthread_attr_destroy(&attributes);
        }
        return static_cast<const char*>(low);
    }();
    const char* here = static_cast<const char*>(__builtin_frame_address(0));
    return lowest && here > lowest ? static_cast<size_t>(here - lowest) : SIZE_MAX;
}

// Precedence climbing from one token on. A syntax error becomes a node that
// raises it when evaluation reaches it, once the text before it has run:
// a script sees the effects of what it wrote up to the error, as if it were
// read and run token by token. The steps that hold big locals are kept out
// of line, so that the recursive frames stay small: they bound how deeply
// text may nest.
class ExpressionCompiler {
  public:
    ExpressionCompiler(const std::vector<std::string>& tokens, const std::vector<TokenAnalysis>& analysis)
        : tokens_(tokens), analysis_(analysis), end_(tokens.size()) {}

    // The expression from token `index` up to the first one that cannot
    // continue it, which `index` is left at.
    CompiledExpression readFrom(size_t& index) {
        pos_ = index;
        CompiledExpression expr = read();
        index = pos_;
        return expr;
    }

  private:
    CompiledExpression read() {
        CompiledExpression expr;
        expr_ = &expr;
        expr.firstToken = static_cast<uint32_t>(pos_);
        expr.root = expression(1);
        expr.deep = deepest_ > deepNesting;
        return expr;
    }

    bool at(const char* t) const { return pos_ < end_ && tokens_[pos_] == t; }

    int32_t add(ExpressionNode node) {
        expr_->nodes.push_back(node);
        return static_cast<int32_t>(expr_->nodes.size() - 1);
    }
    ExpressionNode& node(int32_t i) { return expr_->nodes[i]; }
    bool failed() const { return expr_->syntaxError >= 0; }

    // The error `message` at the current token (past the end: at "EOF"),
    // raised once `prefix`, the operand read before it, has run. An empty
    // message stands for the stack overflow.
    [[gnu::noinline]] int32_t fail(const char* message, int32_t prefix = -1) {
        return failWith(message, prefix);
    }
    [[gnu::noinline]] int32_t failAtUnknownToken() { return failWith("Unknown token: " + tokens_[pos_], -1); }
    int32_t failWith(std::string message, int32_t prefix) {
        const uint32_t token = static_cast<uint32_t>(std::min(pos_, end_));
        return expr_->syntaxError = addSyntaxError(*expr_, std::move(message), token, prefix);
    }

    [[gnu::noinline]] int32_t leaf(Kind kind) {
        ExpressionNode n;
        n.kind = kind;
        n.token = n.errorToken = static_cast<uint32_t>(pos_);
        return add(n);
    }

    [[gnu::noinline]] int32_t withChildren(Kind kind, size_t token, int32_t left, int32_t right,
                                           uint32_t errorToken) {
        ExpressionNode n;
        n.kind = kind;
        n.left = left;
        n.right = right;
        n.token = static_cast<uint32_t>(token);
        n.errorToken = errorToken;
        n.pure = node(left).pure && (right < 0 || node(right).pure);
        auto safe = [&](int32_t child) { return child < 0 || node(child).scalarSafe; };
        // A string key names a table's member, which the scalar path reads.
        const bool memberName = kind == Kind::Index && node(right).kind == Kind::StringLiteral;
        n.scalarSafe = safe(left) && (safe(right) || memberName);
        return add(n);
    }

    int32_t expression(int minPrecedence) {
        // Text nested deeper than the stack allows raises the overflow,
        // naming the expression's first token.
        if (freeStackBytes() < stackReserve) {
            const int32_t overflow = fail("");
            node(overflow).token = node(overflow).errorToken = expr_->firstToken;
            return overflow;
        }
        deepest_ = std::max(deepest_, ++depth_);
        struct Leave {
            int& depth;
            ~Leave() { --depth; }
        } leave{depth_};
        int32_t left = unary();
        while (!failed() && pos_ < end_) {
            const auto [kind, precedence] =
                binaryOperators[ScriptEngine::classifyBinaryOperator(tokens_[pos_])];
            if (precedence == 0 || precedence < minPrecedence) break;
            size_t opToken = pos_++;
            int32_t right = expression(kind == Kind::Power ? precedence : precedence + 1);
            left = withChildren(kind, opToken, left, right, node(right).errorToken);
            // A short-circuit that skips its right side still raises the error there.
            if (kind == Kind::And || kind == Kind::Or) node(left).intValue = failed();
        }
        return left;
    }

    int32_t unary() {
        if (pos_ >= end_) return fail("Unexpected end of expression");
        const std::string& t = tokens_[pos_];
        if (t == "not") {
            if (pos_ + 1 >= end_ || ScriptEngine::isStandaloneNotBoundary(tokens_[pos_ + 1])) {
                int32_t none = leaf(Kind::NoneLiteral);
                ++pos_;
                return none;
            }
            return prefixed(Kind::Not);
        }
        if (t == "+") {
            ++pos_;
            return expression(7);
        }
        if (t == "-") return prefixed(Kind::Negate);
        if (t == "!") return prefixed(Kind::Not);
        if (t == "#") return prefixed(Kind::Length);
        return postfix();
    }

    int32_t prefixed(Kind kind) {
        size_t opToken = pos_++;
        int32_t operand = expression(7);
        if (kind == Kind::Negate && negatedLiteral(node(operand))) return operand;
        return withChildren(kind, opToken, operand, -1, node(operand).errorToken);
    }

    // A number literal under a minus becomes the literal of its negation, by
    // the rule of full values, so that `-1` costs nothing when it runs.
    static bool negatedLiteral(ExpressionNode& n) {
        if (n.kind == Kind::IntLiteral)
            n.intValue = number_rules::negate(n.intValue);
        else if (n.kind == Kind::FloatLiteral)
            n.floatValue = -n.floatValue;
        else
            return false;
        return true;
    }

    int32_t postfix() {
        const size_t primaryToken = pos_;
        int32_t value = primary();
        while (!failed() && pos_ < end_) {
            if (at("[")) {
                size_t open = pos_++;
                int32_t key = expression(1);
                if (!failed() && !at("]")) key = fail("Expected closing bracket", key);
                if (!failed()) ++pos_;
                value = withChildren(Kind::Index, open, value, key, node(key).errorToken);
            } else if (at("(")) {
                value = call(value, primaryToken);
            } else {
                break;
            }
        }
        return value;
    }

    [[gnu::noinline]] int32_t call(int32_t callee, size_t primaryToken) {
        CallExpression call;
        call.callee = callee;
        call.builtinId = builtinIdOf(callee);
        ++pos_; // "("
        if (at(")")) {
            ++pos_;
        } else {
            while (true) {
                int32_t arg = expression(1);
                if (!failed() && !at(",") && !at(")"))
                    arg = fail("Expected ',' or ')' after function argument", arg);
                call.args.push_back(arg);
                if (failed()) break;
                if (tokens_[pos_++] == ")") break;
            }
        }
        expr_->calls.push_back(std::move(call));
        ExpressionNode n;
        n.kind = Kind::Call;
        n.left = callee;
        n.right = static_cast<int32_t>(expr_->calls.size() - 1);
        n.token = n.errorToken = static_cast<uint32_t>(primaryToken);
        n.pure = false;
        const CallExpression& added = expr_->calls.back();
        n.scalarSafe = ScriptEngine::isNumericBuiltin(added.builtinId) &&
                       added.args.size() <= maxScalarBuiltinArgs &&
                       std::all_of(added.args.begin(), added.args.end(),
                                   [&](int32_t arg) { return node(arg).scalarSafe; });
        return add(n);
    }

    // The builtin a call site names: "len" for a call of the variable len,
    // "math.floor" for math['floor'](...).
    [[gnu::noinline]] BuiltinId builtinIdOf(int32_t callee) const {
        const ExpressionNode& n = expr_->nodes[callee];
        if (n.kind == Kind::Variable) return ScriptEngine::builtinIdFromName(nameOf(n.nameId));
        if (n.kind == Kind::Index && expr_->nodes[n.left].kind == Kind::Variable &&
            expr_->nodes[n.right].kind == Kind::StringLiteral)
            return ScriptEngine::builtinIdFromName(nameOf(expr_->nodes[n.left].nameId) + "." +
                                                   expr_->strings[expr_->nodes[n.right].intValue].text());
        return 0;
    }

    [[gnu::noinline]] int32_t primary() {
        if (pos_ >= end_) return fail("Unexpected end of expression");
        const std::string& t = tokens_[pos_];
        if (t == "(") {
            ++pos_;
            int32_t inner = expression(1);
            if (failed()) return inner;
            if (!at(")")) return fail("Expected closing parenthesis", inner);
            ++pos_;
            return inner;
        }
        if (ScriptEngine::isStringToken(t)) return stringToken();
        if (t == "not") return unary();
        if (t == "[") return arrayLiteral();
        if (t == "{") return tableLiteral();
        if (t == "...") {
            int32_t n = leaf(Kind::Varargs);
            node(n).scalarSafe = false;
            ++pos_;
            return n;
        }
        return atom();
    }

    // A name, number, true or false.
    [[gnu::noinline]] int32_t atom() {
        const std::string& t = tokens_[pos_];
        const TokenAnalysis& a = analysis_[pos_];
        int32_t n = -1;
        if (a.isTrue || a.isFalse) {
            n = leaf(Kind::BoolLiteral);
            node(n).intValue = a.isTrue;
        } else if (a.isIdentifier) {
            n = leaf(Kind::Variable);
            node(n).nameId = a.nameId;
        } else if (a.isNumeric) {
            int32_t i;
            float f;
            if (a.hasInt || (!a.isFloat && ScriptEngine::parseIntStrict(t, i))) {
                n = leaf(Kind::IntLiteral);
                node(n).intValue = a.hasInt ? a.intValue : i;
            } else if (ScriptEngine::parseFloatStrict(t, f)) {
                n = leaf(Kind::FloatLiteral);
                node(n).floatValue = f;
            } else {
                return fail("Invalid numeric format");
            }
        } else {
            return failAtUnknownToken();
        }
        ++pos_;
        return n;
    }

    [[gnu::noinline]] int32_t stringToken() {
        return stringLeaf(ScriptEngine::decodeStringToken(tokens_[pos_]));
    }

    // The string node of the token at the position, which it passes.
    int32_t stringLeaf(std::string text) {
        int32_t n = leaf(Kind::StringLiteral);
        node(n).scalarSafe = false;
        node(n).intValue = static_cast<int32_t>(expr_->strings.size());
        const uint32_t hash = TableStorage::hashOf(text);
        expr_->strings.push_back({Variable(std::move(text)), {.hash = hash}});
        ++pos_;
        return n;
    }

    [[gnu::noinline]] int32_t arrayLiteral() {
        const size_t open = pos_++;
        ContainerLiteral literal;
        while (!failed() && !at("]")) {
            int32_t value = expression(1);
            if (!failed() && !separated("]")) value = fail("Expected ',' or ']' in array literal", value);
            add(literal, -1, value);
        }
        if (!failed()) ++pos_;
        return addLiteral(Kind::ArrayLiteral, open, std::move(literal));
    }

    // An entry that fails is kept as a value, so that it raises in its turn.
    [[gnu::noinline]] int32_t tableLiteral() {
        const size_t open = pos_++;
        ContainerLiteral literal;
        while (!failed() && !at("}")) {
            if (pos_ >= end_) {
                add(literal, -1, fail("Unexpected end of table literal"));
                break;
            }
            int32_t key = -1;
            if (at("["))
                key = bracketedKey();
            else if (pos_ + 1 < end_ && (tokens_[pos_ + 1] == ":" || tokens_[pos_ + 1] == "="))
                key = namedKey();
            if (failed()) {
                add(literal, -1, key);
                break;
            }
            add(literal, key, expression(1));
            if (failed()) break;
            if (pos_ >= end_)
                add(literal, -1, fail("Unexpected end of table literal"));
            else if (!separated("}"))
                add(literal, -1, fail("Expected ',' or '}' in table literal"));
        }
        if (!failed()) ++pos_;
        return addLiteral(Kind::TableLiteral, open, std::move(literal));
    }

    // `key:` (or `=`), passed.
    [[gnu::noinline]] int32_t namedKey() {
        std::string text;
        if (!ScriptEngine::namedTableKey(tokens_[pos_], analysis_[pos_], text))
            return fail("Invalid table key");
        const int32_t key = stringLeaf(std::move(text));
        ++pos_;
        return key;
    }

    // `[key]:` (or `=`), passed.
    int32_t bracketedKey() {
        ++pos_;
        const int32_t key = expression(1);
        if (failed()) return key;
        if (!at("]")) return fail("Expected ']' after table key", key);
        ++pos_;
        if (!at(":") && !at("=")) return fail("Expected ':' after table key", key);
        ++pos_;
        return key;
    }

    // After a literal's entry: a "," passed, or its closing bracket next.
    bool separated(const char* close) {
        if (!at(",")) return at(close);
        ++pos_;
        return true;
    }

    void add(ContainerLiteral& literal, int32_t key, int32_t value) {
        literal.keys.push_back(key);
        literal.values.push_back(value);
    }

    // A literal's error token is where reading it last named one: its last
    // value, or its opening bracket when it is empty.
    int32_t addLiteral(Kind kind, size_t open, ContainerLiteral literal) {
        ExpressionNode n;
        n.kind = kind;
        n.right = static_cast<int32_t>(expr_->literals.size());
        n.token = static_cast<uint32_t>(open);
        n.errorToken = literal.values.empty() ? n.token : node(literal.values.back()).errorToken;
        n.scalarSafe = false;
        auto pure = [&](int32_t child) { return child < 0 || node(child).pure; };
        n.pure = std::all_of(literal.values.begin(), literal.values.end(), pure) &&
                 std::all_of(literal.keys.begin(), literal.keys.end(), pure);
        expr_->literals.push_back(std::move(literal));
        return add(n);
    }

    const std::vector<std::string>& tokens_;
    const std::vector<TokenAnalysis>& analysis_;
    size_t pos_ = 0;
    const size_t end_;
    CompiledExpression* expr_ = nullptr;
    int depth_ = 0;
    int deepest_ = 0;
    // Past this many levels of the parser, evaluating the tree guards the stack.
    static constexpr int deepNesting = 64;
    // What the compiler leaves of its thread's stack when text nests too deeply.
    static constexpr size_t stackReserve = 1u << 20;
};

} // namespace

// The expression from `index` on, as far as it reaches, and `index` left
// where it stops. A clean one is valid and gets its scalar code, except on
// the general paths, where no fast path may take it: there only a condition
// (`scalarAttempt`) keeps them, since its scalar attempt decides whether a
// number is judged as one.
CompiledExpression ScriptEngine::compilePart(const ParsedScriptLine& line, size_t& index,
                                             bool scalarAttempt) {
    CompiledExpression expr = ExpressionCompiler(line.tokens, line.tokenInfo).readFrom(index);
    expr.endToken = static_cast<uint32_t>(index);
    if (expr.syntaxError < 0 && scalarAttempt) {
        expr.valid = true;
        buildScalarCode(expr);
    } else if (generalPathsOnly) {
        for (ExpressionNode& n : expr.nodes) n.scalarSafe = false;
    }
    return expr;
}

// What running the line finds after the part: `message` at token `at`,
// raised once the part has run.
void ScriptEngine::raiseAfter(CompiledExpression& part, const char* message, size_t at) {
    part.root = addSyntaxError(part, message, static_cast<uint32_t>(at), part.root);
    part.valid = false;
}

void ScriptEngine::mustEndLine(CompiledExpression& part, const ParsedScriptLine& line, size_t at,
                               const char* message) {
    if (at != line.tokens.size()) raiseAfter(part, message, at);
}

// The values of `return a, b`, read in turn.
void ScriptEngine::compileReturnValues(ParsedScriptLine& line) {
    if (line.tokens.size() == 1) return;
    size_t t = 1;
    while (true) {
        line.compiledValues.push_back(compilePart(line, t));
        if (tokenAt(line, t) != ",") break;
        ++t;
    }
    mustEndLine(line.compiledValues.back(), line, t, "Unexpected token after return value");
}

// The keys of a declared function's target name[k1][k2]...
void ScriptEngine::compileFunctionTargetKeys(ParsedScriptLine& line) {
    if (!hasFunctionTargetName(line)) return;
    for (size_t t = functionNameIndex(line) + 1; tokenAt(line, t) == "[";) {
        CompiledExpression& key = line.compiledValues.emplace_back(compilePart(line, ++t));
        if (tokenAt(line, t) != "]") return raiseAfter(key, "Expected closing bracket in function target", t);
        ++t;
    }
}

// A numeric for's start, limit and optional step.
void ScriptEngine::compileNumericForClause(ParsedScriptLine& line) {
    auto& bounds = line.compiledValues;
    size_t t = 3;
    bounds.push_back(compilePart(line, t));
    if (tokenAt(line, t) != ",") return raiseAfter(bounds.back(), "Expected ',' after for start value", t);
    bounds.push_back(compilePart(line, ++t));
    if (tokenAt(line, t) == ",") bounds.push_back(compilePart(line, ++t));
    mustEndLine(bounds.back(), line, t, "Unexpected token after for clause");
}

// A generic for's iterator, after its names and "in".
void ScriptEngine::compileForIterator(ParsedScriptLine& line) {
    std::vector<uint32_t> names;
    size_t t = readGenericForNames(line, names);
    if (names.empty() || tokenAt(line, t) != "in") return;
    line.compiledExpression = compilePart(line, ++t);
    mustEndLine(line.compiledExpression, line, t, "Unexpected token after for iterator");
}

// An assignment's values and its targets' keys, each of which must fill its range.
void ScriptEngine::compileAssignment(ParsedScriptLine& line) {
    auto rangePart = [&](const TokenRange& range) {
        size_t t = range.first;
        CompiledExpression part = compilePart(line, t);
        if (t != range.end) raiseAfter(part, "Unexpected token in assignment expression", t);
        return part;
    };
    for (const TokenRange& range : line.valueRanges) {
        if (range.first < range.end) {
            line.compiledValues.push_back(rangePart(range));
            continue;
        }
        CompiledExpression& missing = line.compiledValues.emplace_back();
        missing.root =
            addSyntaxError(missing, "Unexpected end of expression", uint32_t(line.tokens.size()), -1);
    }
    for (ParsedAssignmentTarget& target : line.assignmentTargets)
        for (const TokenRange& range : target.indexRanges) target.compiledIndexes.push_back(rangePart(range));
    if (line.tokens[line.assignOpIndex].size() == 2)
        line.storeOperator =
            binaryOperators[classifyBinaryOperator(
                                std::string_view(line.tokens[line.assignOpIndex]).substr(0, 1))]
                .kind;
    if (isScalarStorable(line)) buildStoreCode(line);
}

// Every expression of the line, compiled once as the statement reads it. A
// part whose text does not parse raises its syntax error when it runs, after
// the text before the error has run, as reading it then would have.
void ScriptEngine::compileLineExpressions(ParsedScriptLine& line) {
    size_t t = 0;
    switch (line.kind) {
    case StatementKind::If:
    case StatementKind::ElseIf:
    case StatementKind::While:
    case StatementKind::Until:
        t = 1;
        line.compiledExpression = compilePart(line, t, true);
        mustEndLine(line.compiledExpression, line, t, conditionTrailingMessage(line.kind));
        break;
    case StatementKind::Return:
        compileReturnValues(line);
        break;
    case StatementKind::FunctionDecl:
    case StatementKind::DecayFunctionDecl:
    case StatementKind::NativeFunctionDecl:
    case StatementKind::LocalFunctionDecl:
        compileFunctionTargetKeys(line);
        break;
    case StatementKind::For:
        if (isNumericFor(line))
            compileNumericForClause(line);
        else
            compileForIterator(line);
        break;
    case StatementKind::Simple:
        if (line.assignOpIndex != 0) {
            compileAssignment(line);
        } else if (!isBareDeclaration(line)) {
            CompiledExpression& expr = line.compiledExpression = compilePart(line, t);
            mustEndLine(expr, line, t, "Unexpected trailing token");
            line.isCall = expr.valid && expr.nodes[expr.root].kind == Kind::Call;
        }
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------
// Scalars

void ScriptEngine::rethrowAtToken(const ParsedScriptLine& line, uint32_t token) {
    if (token < line.tokens.size()) setErrorToken(line.tokens, token);
    throw;
}

// A deep tree refuses to nest further once the stack runs out, and names
// its first token.
void ScriptEngine::guardStack(const CompiledExpression& expr, const ParsedScriptLine& line) {
    if (!stackExhausted()) return;
    if (expr.firstToken < line.tokens.size()) setErrorToken(line.tokens, expr.firstToken);
    throwStackOverflow();
}

namespace {

using Op = ScalarInstruction;
using Mode = ScalarInstruction::Mode;

// A scalar packed into one word, its kind in the low byte and its payload's
// bits in the high half, so that a value is always written and read whole
// (field by field, a read right after a write stalls). The flattened code
// keeps its registers in this form, and int operations work on it.
using Packed = uint64_t;

Packed pack(Scalar::Kind kind, uint32_t payload) {
    return static_cast<uint64_t>(kind) | static_cast<uint64_t>(payload) << 32;
}

Packed packInt(int32_t i) {
    return pack(Scalar::Int, static_cast<uint32_t>(i));
}

Scalar::Kind kindOf(Packed p) {
    return static_cast<Scalar::Kind>(p & 0xff);
}

uint32_t payloadOf(Packed p) {
    return static_cast<uint32_t>(p >> 32);
}

// The payload's bits land in the union whole, whichever member the kind reads.
Scalar unpack(Packed p) {
    Scalar v;
    v.kind = kindOf(p);
    v.i = static_cast<int32_t>(payloadOf(p));
    return v;
}

// False for strings and containers, which have no scalar form.
[[gnu::always_inline]] inline bool packVariable(const Variable* v, Packed& out) {
    if (!v) {
        out = pack(Scalar::Nil, 0);
        return true;
    }
    if (!ScriptEngine::hasScalarForm(v->type)) return false;
    out = pack(static_cast<Scalar::Kind>(v->type), v->plainBits());
    return true;
}

bool packedTruth(Packed v) {
    return truthOf(static_cast<VarType>(kindOf(v)), payloadOf(v) != 0);
}

Variable variableOf(Packed p) {
    Variable v;
    v.setPlain(static_cast<VarType>(kindOf(p)), payloadOf(p));
    return v;
}

// The binary operator kinds, for the switches that pick one operator's code.
#define BV_BINARY_KINDS(X)                                                                                   \
    X(Add)                                                                                                   \
    X(Subtract)                                                                                              \
    X(Multiply)                                                                                              \
    X(Divide)                                                                                                \
    X(IntDivide) X(Modulo) X(Power) X(Equal) X(NotEqual) X(Less) X(Greater) X(LessEqual) X(GreaterEqual)

// Whether operator `K` has an int form here: division and powers always go
// through the mixed path, which rounds them as the shared operator does.
template <Kind K> constexpr bool hasIntForm = !(K == Kind::Divide || K == Kind::Power);

// Int arithmetic and comparisons of operator `K`; false for any other
// operands (or a zero divisor), which the shared path then takes.
template <Kind K> [[gnu::always_inline]] inline bool combineIntsOf(Packed a, Packed b, Packed& out) {
    if (kindOf(a) != Scalar::Int || kindOf(b) != Scalar::Int) return false;
    const int64_t x = static_cast<int32_t>(payloadOf(a)), y = static_cast<int32_t>(payloadOf(b));
    if constexpr (number_rules::isComparison(K)) {
        out = pack(Scalar::Bool, number_rules::compare(K, x, y));
    } else {
        int32_t result;
        if (!number_rules::intArithmetic(K, x, y, result)) return false;
        out = packInt(result);
    }
    return true;
}

// The number `p` holds, as a double; false unless it holds an int or a float.
[[gnu::always_inline]] inline bool numberOf(Packed p, double& to) {
    if (kindOf(p) == Scalar::Float) {
        to = std::bit_cast<float>(payloadOf(p));
        return true;
    }
    to = static_cast<int32_t>(payloadOf(p));
    return kindOf(p) == Scalar::Int;
}

// The number `p` holds, a boolean counting as 1 or 0; false for nil.
bool numericOf(Packed p, double& to) {
    if (kindOf(p) != Scalar::Bool) return numberOf(p, to);
    to = payloadOf(p);
    return true;
}

template <Kind K>
constexpr bool hasFloatForm = K == Kind::Add || K == Kind::Subtract || K == Kind::Multiply ||
                              K == Kind::Divide || (K >= Kind::Equal && K <= Kind::GreaterEqual);

// Operator `K` on numbers that the int form did not take, computed in double
// and rounded to float as the mixed path does (a comparison with NaN
// included); false for other operands or a zero divisor.
template <Kind K> [[gnu::always_inline]] inline bool combineFloatsOf(Packed a, Packed b, Packed& out) {
    double x, y;
    if (!numberOf(a, x) || !numberOf(b, y)) return false;
    if constexpr (number_rules::isComparison(K)) {
        out = pack(Scalar::Bool, number_rules::compare(K, x, y));
    } else {
        float result;
        if (!number_rules::floatArithmetic(K, x, y, result)) return false;
        out = pack(Scalar::Float, std::bit_cast<uint32_t>(result));
    }
    return true;
}

// Operator `K` on two numbers by the int or the float form; false for any
// other operands, which the mixed path or the shared operator then takes.
template <Kind K> [[gnu::always_inline]] inline bool combineNumbersOf(Packed a, Packed b, Packed& out) {
    if constexpr (hasIntForm<K>)
        if (combineIntsOf<K>(a, b, out)) return true;
    if constexpr (hasFloatForm<K>)
        if (combineFloatsOf<K>(a, b, out)) return true;
    return false;
}

[[gnu::always_inline]] inline bool combineNumbers(Kind op, Packed a, Packed b, Packed& out) {
    switch (op) {
#define BV_COMBINE_CASE(K)                                                                                   \
    case Kind::K:                                                                                            \
        return combineNumbersOf<Kind::K>(a, b, out);
        BV_BINARY_KINDS(BV_COMBINE_CASE)
#undef BV_COMBINE_CASE
    default:
        return false;
    }
}

} // namespace

// `slot = value`, or `slot op= value` when `op` is an operator: numbers in
// place, anything else by the shared operator, which operateInto calls out
// of line so that the number steps do not pay for its frame.
[[gnu::always_inline]] inline void ScriptEngine::combineInto(Variable& slot, Kind op, Packed value) {
    Packed current, result = value;
    if (op != Kind::NoneLiteral &&
        (!packVariable(&slot, current) || !combineNumbers(op, current, value, result)))
        return operateInto(slot, op, variableOf(value));
    slot.setPlain(static_cast<VarType>(kindOf(result)), payloadOf(result));
}

void ScriptEngine::combineInPlace(Variable& slot, Kind op, const Variable& value) {
    Packed number;
    if (packVariable(&value, number)) return combineInto(slot, op, number);
    operateInto(slot, op, value);
}

void ScriptEngine::operateInto(Variable& slot, Kind op, const Variable& value) {
    slot = performOperation(slot, op, value);
}

// ---------------------------------------------------------------------------
// The flattened scalar form

// Reads an operand; false when it holds a string or container.
[[gnu::always_inline]] inline bool ScriptEngine::loadScalarOperand(const CompiledExpression& expr,
                                                                   const uint64_t* regs,
                                                                   ScalarInstruction::Mode mode,
                                                                   int32_t value, uint64_t& to) {
    if (mode == Mode::Register) {
        to = regs[value];
    } else if (mode <= Mode::BoolConst) {
        to = pack(static_cast<Scalar::Kind>(mode), static_cast<uint32_t>(value));
    } else if (mode == Mode::Variable) {
        const ExpressionNode& n = expr.nodes[value];
        return packVariable(resolveVariableId(n.nameId), to);
    } else {
        return false;
    }
    return true;
}

// The element an Element or ElementRef instruction names: an array's by an
// int key, a table's by a string key; null when the scalar path cannot take
// it, `missingElement` when there is none.
[[gnu::always_inline]] inline const Variable* ScriptEngine::scalarElement(const CompiledExpression& expr,
                                                                          const uint64_t* regs,
                                                                          const Variable* const* refs,
                                                                          const ScalarInstruction& in) {
    const Variable* container;
    if (in.aMode == Mode::Variable) {
        const ExpressionNode& n = expr.nodes[in.a];
        container = resolveVariableId(n.nameId);
    } else {
        container = refs[in.a];
    }
    if (!container) return nullptr;
    if (container->type == VarType::Table) {
        TableStorage& table = *container->asTable();
        const Variable* found;
        if (in.bMode == Mode::StringConst) {
            found = expr.strings[in.b].findIn(table);
        } else {
            if (in.bMode != Mode::Variable) return nullptr;
            const ExpressionNode& n = expr.nodes[in.b];
            const Variable* key = resolveVariableId(n.nameId);
            if (!key || key->type != VarType::String) return nullptr;
            found = table.find(key->asString());
        }
        return found ? found : &missingElement;
    }
    Packed key;
    if (container->type != VarType::Array || !loadScalarOperand(expr, regs, in.bMode, in.b, key) ||
        kindOf(key) != Scalar::Int)
        return nullptr;
    return arrayElement(*container->asArray(), static_cast<int32_t>(payloadOf(key)));
}

// Reads an operand known to come from source `C`.
template <ScalarInstruction::Operand C>
[[gnu::always_inline]] inline bool
ScriptEngine::loadOperandFrom(const CompiledExpression& expr, const uint64_t* regs,
                              ScalarInstruction::Mode mode, int32_t value, uint64_t& to) {
    using Operand = ScalarInstruction::Operand;
    if constexpr (C == Operand::Register) {
        to = regs[value];
        return true;
    } else if constexpr (C == Operand::Constant) {
        to = pack(static_cast<Scalar::Kind>(mode), static_cast<uint32_t>(value));
        return true;
    } else if constexpr (C == Operand::Variable) {
        const ExpressionNode& n = expr.nodes[value];
        return packVariable(resolveVariableId(n.nameId), to);
    } else {
        return loadScalarOperand(expr, regs, mode, value, to);
    }
}

// One operator on two operands from sources `A` and `B`.
template <ExpressionNodeKind K, ScalarInstruction::Operand A, ScalarInstruction::Operand B>
[[gnu::always_inline]] inline bool
ScriptEngine::scalarBinaryStep(const CompiledExpression& expr, const ParsedScriptLine& line,
                               const uint64_t* regs, const ScalarInstruction& in, uint64_t& dst) {
    Packed a, b;
    if (!loadOperandFrom<A>(expr, regs, in.aMode, in.a, a) ||
        !loadOperandFrom<B>(expr, regs, in.bMode, in.b, b))
        return false;
    return combineNumbersOf<K>(a, b, dst) || scalarBinaryMixed(expr.nodes[in.node], line, a, b, dst);
}

// Negation by the full values' rule; out of line, as a value it builds may
// not live in the threaded runner's frame.
uint64_t ScriptEngine::negatedScalar(uint64_t operand, const ParsedScriptLine& line,
                                     const ExpressionNode& n) {
    const Variable result = negated(variableOf(operand), line, n);
    Packed out = 0;
    packVariable(&result, out);
    return out;
}

// Floats, booleans and nil as operands. Float arithmetic is done in double
// and rounded to the float type, as the shared operator does; the rarer
// operators go through that operator so the results stay identical. Kept
// out of line so that the number steps do not pay for its frame.
bool ScriptEngine::scalarBinaryMixed(const ExpressionNode& n, const ParsedScriptLine& line, uint64_t a,
                                     uint64_t b, uint64_t& dst) {
    double x, y;
    if (!numericOf(a, x) || !numericOf(b, y)) {
        // Values of other kinds are equal when their kinds are; any other
        // operator on them is left to the shared one, which raises its error.
        if (n.kind != Kind::Equal && n.kind != Kind::NotEqual) return false;
        dst = pack(Scalar::Bool, (kindOf(a) == kindOf(b)) == (n.kind == Kind::Equal));
        return true;
    }
    if (number_rules::isComparison(n.kind)) {
        dst = pack(Scalar::Bool, number_rules::compare(n.kind, x, y));
        return true;
    }
    float result;
    const bool anyFloat = kindOf(a) == Scalar::Float || kindOf(b) == Scalar::Float;
    if ((anyFloat || n.kind == Kind::Divide) && number_rules::floatArithmetic(n.kind, x, y, result)) {
        dst = pack(Scalar::Float, std::bit_cast<uint32_t>(result));
        return true;
    }
    try {
        const Variable value = performOperation(variableOf(a), n.kind, variableOf(b));
        return packVariable(&value, dst);
    } catch (const std::exception&) {
        rethrowAtToken(line, n.errorToken);
    }
}

// The store of a storable line, its value computed. For a name target, a
// declaration binds it, any other store takes the visible variable; false,
// having changed nothing, when there is none, and the general path then
// defines the global. Inlined by force into the runner's Store handler.
[[gnu::always_inline]] inline bool ScriptEngine::storeScalar(const ParsedScriptLine& line, Packed value) {
    const ParsedAssignmentTarget& target = line.assignmentTargets[0];
    if (!target.indexRanges.empty()) return storeScalarElement(line, value);
    if (line.assignScope != ScopeTarget::Default) {
        assignVariableId(target.nameId, variableOf(value), line.assignScope);
        return true;
    }
    Variable* slot = resolveVariableId(target.nameId);
    if (!slot) return false;
    // A compound store to a name has combined in its code already.
    combineInto(*slot, Kind::NoneLiteral, value);
    return true;
}

// One array slot by an int key or one table field by a literal key, set to
// (or combined with) a value computed to a number, a boolean or nil. False,
// having changed nothing, when the container or key is of another kind; the
// general path then runs the statement, and computing the value again is
// harmless.
bool ScriptEngine::storeScalarElement(const ParsedScriptLine& line, Packed value) {
    const ParsedAssignmentTarget& target = line.assignmentTargets[0];
    const CompiledExpression& keyExpr = target.compiledIndexes[0];
    const Kind op = line.storeOperator;
    if (isLiteralKey(keyExpr)) {
        Variable* field = storedTableField(line, target, target.nameId, op != Kind::NoneLiteral);
        if (field) combineInto(*field, op, value);
        return field != nullptr;
    }
    Scalar key;
    if (!scalarValueOf(keyExpr, keyExpr.root, line, key) || key.kind != Scalar::Int || key.i < 1)
        return false;
    Variable* container = resolveVariableId(target.nameId);
    if (!container || container->type != VarType::Array) return false;
    ArrayStorage& elements = *container->asArray();
    const size_t index = static_cast<size_t>(key.i) - 1;
    if (index == elements.size() && op == Kind::NoneLiteral) {
        elements.push_back(variableOf(value));
        return true;
    }
    if (index >= elements.size()) return false;
    // A compound operator's report names the key, as the general path's does.
    if (op != Kind::NoneLiteral) setErrorToken(line.tokens, keyExpr.nodes[keyExpr.root].errorToken);
    combineInto(elements[index], op, value);
    return true;
}

// The pairs of operand sources a binary operator's handlers are made for, in
// the order of their entries; `Any` tests the modes as it reads. What this
// buys: with one handler per operator testing the modes instead, the
// interpreter benchmark set ran 16% slower on its geometric mean (number
// loops most: fib 1.5x, floats 1.7x, sort 1.4x).
#define BV_OPERAND_PAIRS(X, K)                                                                               \
    X(K, Register, Register)                                                                                 \
    X(K, Register, Constant)                                                                                 \
    X(K, Register, Variable)                                                                                 \
    X(K, Constant, Register)                                                                                 \
    X(K, Constant, Constant)                                                                                 \
    X(K, Constant, Variable)                                                                                 \
    X(K, Variable, Register)                                                                                 \
    X(K, Variable, Constant)                                                                                 \
    X(K, Variable, Variable)                                                                                 \
    X(K, Any, Any)

// Threaded: each instruction jumps straight to the next one's handler, so
// there is one indirect jump per instruction and no loop bound to test; the
// code ends with an End instruction.
template <bool Wide>
Scalar ScriptEngine::runScalarCode(const CompiledExpression& expr, const ParsedScriptLine& line,
                                   const ScalarInstruction* const code) {
    // clang-format off
#define BV_HANDLER(K, A, B) &&binary##K##A##B,
#define BV_OPERATOR_HANDLERS(K) BV_OPERAND_PAIRS(BV_HANDLER, K)
    static const void* const handlers[] = {BV_BINARY_KINDS(BV_OPERATOR_HANDLERS)
        &&move, &&jumpIfTruthy, &&jumpIfFalsy, &&element, &&elementRef, &&negate, &&logicalNot, &&length,
        &&builtin, &&fail, &&wide, &&store, &&end};
    // clang-format on
#undef BV_OPERATOR_HANDLERS
#undef BV_HANDLER
    static_assert(std::size(handlers) == Op::firstOtherEntry + Op::End - Op::Move + 1);
    // Wide code keeps its registers in the engine's; no code runs inside
    // other code, so one set serves.
    Packed stackRegs[Wide ? 1 : maxScalarRegisters];
    const Variable* stackRefs[Wide ? 1 : maxScalarRegisters];
    Packed* const regs = Wide ? wideRegisters.data() : stackRegs;
    const Variable** const refs = Wide ? wideRefs.data() : stackRefs;
    const ScalarInstruction* in = code + Wide;
#define BV_DISPATCH goto* handlers[in->entry]
#define BV_NEXT                                                                                              \
    ++in;                                                                                                    \
    BV_DISPATCH
    BV_DISPATCH;

#define BV_BINARY_HANDLER(K, A, B)                                                                           \
    binary##K##A##B : if (!scalarBinaryStep<Kind::K, Op::Operand::A, Op::Operand::B>(                        \
                              expr, line, regs, *in, regs[in->dst])) return {};                              \
    BV_NEXT;
#define BV_OPERATOR_HANDLERS(K) BV_OPERAND_PAIRS(BV_BINARY_HANDLER, K)
    BV_BINARY_KINDS(BV_OPERATOR_HANDLERS)
#undef BV_OPERATOR_HANDLERS
#undef BV_BINARY_HANDLER

move:
    if (!loadScalarOperand(expr, regs, in->aMode, in->a, regs[in->dst])) return {};
    BV_NEXT;
jumpIfTruthy:
    in = packedTruth(regs[in->dst]) ? in + in->b : in + 1;
    BV_DISPATCH;
jumpIfFalsy:
    in = packedTruth(regs[in->dst]) ? in + 1 : in + in->b;
    BV_DISPATCH;
element:
elementRef : {
    scalarReadElement = true;
    const Variable* found = scalarElement(expr, regs, refs, *in);
    if (!found) return {};
    if (in->op == Op::ElementRef)
        refs[in->dst] = found;
    else if (!packVariable(found == &missingElement ? nullptr : found, regs[in->dst]))
        return {};
    BV_NEXT;
}
negate : {
    Packed operand;
    if (!loadScalarOperand(expr, regs, in->aMode, in->a, operand)) return {};
    regs[in->dst] = negatedScalar(operand, line, expr.nodes[in->node]);
    BV_NEXT;
}
logicalNot : {
    Packed operand;
    if (!loadScalarOperand(expr, regs, in->aMode, in->a, operand)) return {};
    regs[in->dst] = pack(Scalar::Bool, !packedTruth(operand));
    BV_NEXT;
}
length : {
    scalarReadElement = true;
    const Variable* v =
        in->aMode == Mode::Variable ? resolveVariableId(expr.nodes[in->a].nameId) : refs[in->a];
    if (!v || (v->type != VarType::Array && v->type != VarType::String)) return {};
    regs[in->dst] = packInt(arrayLength(*v));
    BV_NEXT;
}
builtin:
    if (!runScalarBuiltin(expr, line, expr.nodes[in->node], regs + in->a, regs[in->dst])) return {};
    BV_NEXT;
fail:
    return {};
wide:
    if constexpr (!Wide) {
        if (wideRegisters.size() < static_cast<size_t>(in->a)) {
            wideRegisters.resize(in->a);
            wideRefs.resize(in->a);
        }
        return runScalarCode<true>(expr, line, code);
    }
store:
    return storeScalar(line, regs[in->dst]) ? unpack(regs[in->dst]) : Scalar();
end:
    return unpack(regs[0]);
#undef BV_NEXT
#undef BV_DISPATCH
}

template Scalar ScriptEngine::runScalarCode<false>(const CompiledExpression&, const ParsedScriptLine&,
                                                   const ScalarInstruction*);

// The value of name['key'] through the key's remembered lookup; null for any
// other form, `missingElement` when the key is absent.
[[gnu::always_inline]] inline const Variable* ScriptEngine::peekTableField(const CompiledExpression& expr,
                                                                           const ExpressionNode& n) {
    const ExpressionNode& container = expr.nodes[n.left];
    const ExpressionNode& key = expr.nodes[n.right];
    if (container.kind != Kind::Variable || key.kind != Kind::StringLiteral) return nullptr;
    const Variable* v = resolveVariableId(container.nameId);
    if (!v || v->type != VarType::Table) return nullptr;
    const Variable* found = expr.strings[key.intValue].findIn(*v->asTable());
    return found ? found : &missingElement;
}

// An element read in place, from a container that is a name or itself read
// in place: a table's under a literal key or a string, or an array's under an
// int; null for any other form, `missingElement` when the key is absent or
// lies outside the array.
const Variable* ScriptEngine::peekElement(const CompiledExpression& expr, const ExpressionNode& n,
                                          const ParsedScriptLine& line) {
    if (expr.nodes[n.right].kind == Kind::StringLiteral) return peekTableField(expr, n);
    if (!expr.nodes[n.right].pure) return nullptr;
    const Variable* container = peekOperand(expr, n.left, line);
    if (!container) return nullptr;
    if (container->type == VarType::Array) {
        Scalar key;
        if (!scalarValueOf(expr, n.right, line, key) || key.kind != Scalar::Int) return nullptr;
        return arrayElement(*container->asArray(), key.i);
    }
    if (container->type != VarType::Table) return nullptr;
    const Variable* key = peekOperand(expr, n.right, line);
    if (!key || key->type != VarType::String) return nullptr;
    const Variable* found = container->asTable()->find(key->asString());
    return found ? found : &missingElement;
}

// The value of a name or of an element read in place; null for other nodes.
const Variable* ScriptEngine::peekOperand(const CompiledExpression& expr, int32_t node,
                                          const ParsedScriptLine& line) {
    const ExpressionNode& n = expr.nodes[node];
    if (n.kind == Kind::Variable) return resolveVariableId(n.nameId);
    return n.kind == Kind::Index ? peekElement(expr, n, line) : nullptr;
}

// The callee of a call written as name['member'], read in place.
const Variable* ScriptEngine::peekMemberCallee(const CompiledExpression& expr, const CallExpression& call) {
    const ExpressionNode& callee = expr.nodes[call.callee];
    if (callee.kind != Kind::Index) return nullptr;
    const Variable* found = peekTableField(expr, callee);
    return found == &missingElement ? nullptr : found;
}

// A numeric library call on the numbers in `args`; false when the callee is
// no longer the registered function (a script may rebind it) or the result
// is not a number.
bool ScriptEngine::runScalarBuiltin(const CompiledExpression& expr, const ParsedScriptLine& line,
                                    const ExpressionNode& n, const uint64_t* args, uint64_t& out) {
    const CallExpression& call = expr.calls[n.right];
    const Variable* callee = peekCallee(expr, call);
    if (!isBuiltin(callee, call.builtinId)) return false;
    const size_t count = call.args.size();
    Variable values[maxScalarBuiltinArgs];
    for (size_t i = 0; i < count; ++i) assignScalar(values[i], unpack(args[i]));
    setErrorToken(line.tokens, n.token);
    // These functions touch no engine state, so they need none of a call's
    // bookkeeping.
    const Variable result = dispatchBuiltin(*callee->asFunction(), values, count);
    return packVariable(&result, out);
}

// ---------------------------------------------------------------------------
// Full values over the same tree

Variable ScriptEngine::evaluateNode(const CompiledExpression& expr, int32_t index,
                                    const ParsedScriptLine& line) {
    const ExpressionNode& n = expr.nodes[index];
    switch (n.kind) {
    case Kind::IntLiteral:
        return Variable(n.intValue);
    case Kind::Variable:
        return valueOfName(n.nameId);
    case Kind::Call:
        return evaluateCall(expr, n, line);
    case Kind::Index:
    case Kind::StringLiteral:
        break;
    default:
        if (n.scalarSafe) return evaluateScalarFirst(expr, index, line);
        break;
    }
    return evaluateNodeBoxed(expr, n, line);
}

// An element's value from the full values of its container and key.
Variable ScriptEngine::evaluateElementFromValues(const CompiledExpression& expr, const ExpressionNode& n,
                                                 const ParsedScriptLine& line) {
    if (expr.deep) guardStack(expr, line);
    auto element = [&](const Variable& value, const Variable& key) {
        try {
            return getIndexedValue(value, key);
        } catch (const std::exception&) {
            rethrowAtToken(line, n.errorToken);
        }
    };
    // A container held in a variable is read in place when the key cannot move it.
    const ExpressionNode& container = expr.nodes[n.left];
    if (container.kind == Kind::Variable && expr.nodes[n.right].pure) {
        const Variable key = evaluateNode(expr, n.right, line);
        const Variable* v = resolveVariableId(container.nameId);
        return element(v ? *v : missingElement, key);
    }
    const Variable value = evaluateNode(expr, n.left, line);
    return element(value, evaluateNode(expr, n.right, line));
}

// An element's value: read in place where its form allows (never on the
// general paths), else from full values.
[[gnu::always_inline]] inline Variable ScriptEngine::evaluateElement(const CompiledExpression& expr,
                                                                     const ExpressionNode& n,
                                                                     const ParsedScriptLine& line) {
    if (const Variable* element = generalPathsOnly ? nullptr : peekElement(expr, n, line))
        return element == &missingElement ? Variable() : *element;
    return evaluateElementFromValues(expr, n, line);
}

// An operator subtree the scalar path may take usually computes on numbers;
// that is tried first (on the general paths only a condition's own scalar
// attempt is made, never one inside its full value).
[[gnu::always_inline]] inline Variable
ScriptEngine::scalarOrBoxed(const CompiledExpression& expr, int32_t index, const ParsedScriptLine& line) {
    ScalarValue scalar;
    if (!generalPathsOnly && scalarValueOf(expr, index, line, scalar)) return scalarToVariable(scalar);
    return evaluateNodeBoxed(expr, expr.nodes[index], line);
}

// Kept out of line so that evaluateNode's dispatch stays small.
Variable ScriptEngine::evaluateScalarFirst(const CompiledExpression& expr, int32_t index,
                                           const ParsedScriptLine& line) {
    return scalarOrBoxed(expr, index, line);
}

// A call's argument, or an operand of an operator that computes full
// values: a call goes to the call, a name or an element (`world['px']`) is
// read, and an operator on numbers (`n - 1`) built from its scalar, in
// place, without the layers of the general dispatch.
[[gnu::always_inline]] inline Variable
ScriptEngine::evaluateOperand(const CompiledExpression& expr, int32_t index, const ParsedScriptLine& line) {
    const ExpressionNode& n = expr.nodes[index];
    if (n.kind == Kind::Call) return evaluateCall(expr, n, line);
    if (n.kind == Kind::Variable) return valueOfName(n.nameId);
    if (n.kind == Kind::Index) return evaluateElement(expr, n, line);
    if (!n.scalarSafe || n.kind < Kind::Negate) return evaluateNode(expr, index, line);
    return scalarOrBoxed(expr, index, line);
}

Variable ScriptEngine::evaluateNodeBoxed(const CompiledExpression& expr, const ExpressionNode& n,
                                         const ParsedScriptLine& line) {
    if (expr.deep) guardStack(expr, line);
    switch (n.kind) {
    case Kind::FloatLiteral:
        return Variable(n.floatValue);
    case Kind::StringLiteral:
        return expr.strings[n.intValue].value;
    case Kind::BoolLiteral:
        return Variable(n.intValue != 0);
    case Kind::NoneLiteral:
        return {};
    case Kind::Varargs:
        return varargValues();
    case Kind::ArrayLiteral:
        return evaluateArrayLiteral(expr, expr.literals[n.right], line);
    case Kind::TableLiteral:
        return evaluateTableLiteral(expr, expr.literals[n.right], line);
    case Kind::Index:
        return evaluateElement(expr, n, line);
    case Kind::Negate:
        return negated(evaluateNode(expr, n.left, line), line, n);
    case Kind::Not:
        return Variable(!isTruthy(evaluateNode(expr, n.left, line)));
    case Kind::Length: {
        Variable operand = evaluateNode(expr, n.left, line);
        try {
            return Variable(lengthOf(operand));
        } catch (const std::exception&) {
            rethrowAtToken(line, n.errorToken);
        }
    }
    case Kind::And:
    case Kind::Or: {
        Variable left = evaluateNode(expr, n.left, line);
        if (isTruthy(left) != (n.kind == Kind::Or)) return evaluateNode(expr, n.right, line);
        if (n.intValue) raiseSyntaxError(expr, expr.nodes[expr.syntaxError], line);
        return left;
    }
    case Kind::SyntaxError:
        if (n.left >= 0) evaluateNode(expr, n.left, line);
        raiseSyntaxError(expr, n, line);
    default:
        break;
    }
    Variable a = evaluateOperand(expr, n.left, line);
    Variable b = evaluateOperand(expr, n.right, line);
    // Results of calls are mostly numbers too.
    Packed x, y, result;
    if (!generalPathsOnly && a.type != VarType::None && b.type != VarType::None && packVariable(&a, x) &&
        packVariable(&b, y) &&
        (combineNumbers(n.kind, x, y, result) || scalarBinaryMixed(n, line, x, y, result)))
        return variableOf(result);
    try {
        return applyBinaryOperator(n.kind, a, b);
    } catch (const std::exception&) {
        rethrowAtToken(line, n.errorToken);
    }
}

Variable ScriptEngine::negated(const Variable& operand, const ParsedScriptLine& line,
                               const ExpressionNode& n) {
    if (!operand.isNumeric()) throwError("Unary '-' requires a numeric value", line.tokens[n.token]);
    return negateNumber(operand);
}

void ScriptEngine::raiseSyntaxError(const CompiledExpression& expr, const ExpressionNode& n,
                                    const ParsedScriptLine& line) {
    const std::string& message = expr.strings[n.intValue].text();
    const bool atEnd = n.token >= line.tokens.size();
    if (!message.empty()) throwError(message, atEnd ? std::string_view("EOF") : line.tokens[n.token]);
    if (!atEnd) setErrorToken(line.tokens, n.token);
    throwStackOverflow();
}

// Literals are kept out of line, away from the operators' dispatch.
[[gnu::noinline]] Variable ScriptEngine::evaluateArrayLiteral(const CompiledExpression& expr,
                                                              const ContainerLiteral& literal,
                                                              const ParsedScriptLine& line) {
    std::vector<Variable> elements;
    elements.reserve(literal.values.size());
    for (int32_t value : literal.values) elements.push_back(evaluateNode(expr, value, line));
    return makeArray(std::move(elements));
}

[[gnu::noinline]] Variable ScriptEngine::evaluateTableLiteral(const CompiledExpression& expr,
                                                              const ContainerLiteral& literal,
                                                              const ParsedScriptLine& line) {
    TableLiteralBuilder table(literal.values.size());
    for (size_t i = 0; i < literal.values.size(); ++i) {
        if (literal.keys[i] < 0) {
            table.add(evaluateNode(expr, literal.values[i], line));
            continue;
        }
        // A named key (or a string written in brackets) is its text.
        const ExpressionNode& keyNode = expr.nodes[literal.keys[i]];
        if (keyNode.kind == Kind::StringLiteral) {
            table.add(expr.strings[keyNode.intValue].text(), evaluateNode(expr, literal.values[i], line));
            continue;
        }
        Variable key = evaluateNode(expr, literal.keys[i], line);
        Variable value = evaluateNode(expr, literal.values[i], line);
        try {
            table.add(keyToString(key), std::move(value));
        } catch (const std::exception&) {
            rethrowAtToken(line, expr.nodes[literal.values[i]].errorToken);
        }
    }
    return table.finish();
}

Variable ScriptEngine::evaluateCall(const CompiledExpression& expr, const ExpressionNode& n,
                                    const ParsedScriptLine& line) {
    const CallExpression& call = expr.calls[n.right];
    const Variable* found = peekCallee(expr, call);
    Variable callee = found ? *found : evaluateNode(expr, call.callee, line);
    const size_t count = call.args.size();
    // Short argument lists live on the stack, built in place. Inlined by
    // force: left to the compiler it went out of line once the tree evaluator
    // grew, and every call paid 2-3% more instructions on the call-heavy games.
    auto arg = [&](size_t i) __attribute__((always_inline)) {
        return evaluateOperand(expr, call.args[i], line);
    };
    auto invoke = [&](Variable* args) {
        setErrorToken(line.tokens, n.token);
        return invokeCallable(callee, args, count);
    };
    switch (count) {
    case 0:
        return invoke(nullptr);
    case 1: {
        Variable args[1] = {arg(0)};
        return invoke(args);
    }
    case 2: {
        Variable args[2] = {arg(0), arg(1)};
        return invoke(args);
    }
    case 3: {
        Variable args[3] = {arg(0), arg(1), arg(2)};
        return invoke(args);
    }
    case 4: {
        Variable args[4] = {arg(0), arg(1), arg(2), arg(3)};
        return invoke(args);
    }
    default:
        break;
    }
    CallArgs args(count);
    for (size_t i = 0; i < count; ++i) args.data()[i] = evaluateNode(expr, call.args[i], line);
    return invoke(args.data());
}
