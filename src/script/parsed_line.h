// A script line as the engine keeps it once read: its tokens and their
// analysis, its statement kind and block links, and the expressions
// precompiled from its token ranges.
#pragma once

#include "script_value.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class StatementKind : uint8_t {
    Empty = 0,
    Simple = 1,
    If = 2,
    ElseIf = 3,
    Else = 4,
    End = 5,
    While = 6,
    Repeat = 7,
    Until = 8,
    For = 9,
    FunctionDecl = 10,
    DecayFunctionDecl = 11,
    NativeFunctionDecl = 12,
    LocalFunctionDecl = 13,
    Return = 14,
    Break = 15,
};

// Where an assignment defines a name that it does not find.
enum class ScopeTarget : uint8_t { Default = 0, Frame = 1, Local = 2 };

enum class BlockSignal : uint8_t { Normal = 0, Return = 1, Break = 2 };

inline constexpr uint64_t NoLineIndex = ~uint64_t{0};

// Interned identifiers: every name the engine meets gets a small, stable id
// (never 0), so that scopes and globals compare and index names as integers.
uint32_t internName(std::string_view name);
const std::string& nameOf(uint32_t id);

struct TokenAnalysis {
    uint32_t nameId = 0; // the interned name of an identifier token, else 0
    bool isIdentifier = false;
    bool isTrue = false;
    bool isFalse = false;
    bool isNumeric = false;
    bool isFloat = false;
    bool hasInt = false;
    int32_t intValue = 0;
};

// A half-open range [first, end) of token indexes.
struct TokenRange {
    size_t first = 0;
    size_t end = 0;
};

// A precompiled expression: a tree over one token range, evaluated without
// re-reading tokens and, for numbers, without boxing.
enum class ExpressionNodeKind : uint8_t {
    IntLiteral = 1,
    FloatLiteral = 2,
    StringLiteral = 3,
    BoolLiteral = 4,
    NoneLiteral = 5,
    Variable = 6,
    Index = 7,
    Call = 8,
    Negate = 9,
    Not = 10,
    Length = 11,
    Add = 12,
    Subtract = 13,
    Multiply = 14,
    Divide = 15,
    IntDivide = 16,
    Modulo = 17,
    Power = 18,
    Equal = 19,
    NotEqual = 20,
    Less = 21,
    Greater = 22,
    LessEqual = 23,
    GreaterEqual = 24,
    And = 25,
    Or = 26,
    ArrayLiteral = 27,
    TableLiteral = 28,
    Varargs = 29,
    // Raises the syntax error of the text at its token, after its operand
    // (left), the text read before it, has run.
    SyntaxError = 30,
};

// The binary operators of both expression parsers, indexed by the code that
// `ScriptEngine::classifyBinaryOperator` gives a token (0: no operator): the
// node kind and the precedence (higher binds tighter; all but `^` associate
// to the left).
struct BinaryOperator {
    ExpressionNodeKind kind;
    int precedence;
};
inline constexpr BinaryOperator binaryOperators[] = {
    {ExpressionNodeKind::NoneLiteral, 0},  {ExpressionNodeKind::Or, 1},
    {ExpressionNodeKind::And, 2},          {ExpressionNodeKind::Equal, 3},
    {ExpressionNodeKind::NotEqual, 3},     {ExpressionNodeKind::Less, 4},
    {ExpressionNodeKind::Greater, 4},      {ExpressionNodeKind::LessEqual, 4},
    {ExpressionNodeKind::GreaterEqual, 4}, {ExpressionNodeKind::Add, 5},
    {ExpressionNodeKind::Subtract, 5},     {ExpressionNodeKind::Multiply, 6},
    {ExpressionNodeKind::Divide, 6},       {ExpressionNodeKind::IntDivide, 6},
    {ExpressionNodeKind::Modulo, 6},       {ExpressionNodeKind::Power, 7}};

// The characters `performOperation` takes for the arithmetic kinds, in kind order (Add to Power).
inline constexpr char arithmeticChars[] = "+-*/\\%^";
inline char arithmeticChar(ExpressionNodeKind kind) {
    return arithmeticChars[static_cast<int>(kind) - static_cast<int>(ExpressionNodeKind::Add)];
}

// Two to a cache line: a running program reads many of them.
struct ExpressionNode {
    ExpressionNodeKind kind = ExpressionNodeKind::NoneLiteral;
    bool pure = true; // no call anywhere in the subtree
    // No call in the subtree but to the numeric library functions its call
    // sites name, and no string but member names: the scalar path may try
    // it, and computing it again after a failed try changes nothing.
    bool scalarSafe = true;
    int32_t left = -1;
    int32_t right = -1;
    uint32_t token = 0;
    // The token an error raised here names: where reading the text had got to.
    uint32_t errorToken = 0;
    // A float literal's value is its float; every other kind's is its int.
    union {
        int32_t intValue = 0;
        float floatValue;
    };
    uint32_t nameId = 0;
    int32_t scalarCode = -1; // where its flattened code starts in the expression's scalarCode, if it has one
};
static_assert(sizeof(ExpressionNode) == 32);

// The most arguments a numeric library call takes on the scalar path.
inline constexpr size_t maxScalarBuiltinArgs = 4;

// The entries of an array or table literal, in the order written: each
// value's node, and its key's node (-1 for a positional value; a named key
// is a string node holding the key as written).
struct ContainerLiteral {
    std::vector<int32_t> values;
    std::vector<int32_t> keys;
};

struct CallExpression {
    int32_t callee = -1;
    BuiltinId builtinId = 0;
    std::vector<int32_t> args;
};

// A compiled expression flattened into register instructions for the
// scalar path: leaves are read straight from their operands, so numbers are
// computed in one loop without walking the tree. Code using no more than
// this many registers keeps them on the stack.
inline constexpr size_t maxScalarRegisters = 16;

struct ScalarInstruction {
    // Besides the binary operator kinds of the tree (Add to GreaterEqual),
    // numbered on from them so that the runner's handlers form one table.
    static constexpr uint8_t Move = 25, JumpIfTruthy = 26, JumpIfFalsy = 27, Element = 28, ElementRef = 29,
                             Negate = 30, Not = 31, Length = 32, Builtin = 33, Fail = 34, Wide = 35,
                             Store = 36, End = 37;
    static_assert(static_cast<uint8_t>(ExpressionNodeKind::GreaterEqual) + 1 == Move);
    // The constant modes have the values of their scalar kinds (those of the
    // value types), so that a constant operand packs without a table; the
    // other modes follow them.
    enum class Mode : uint8_t {
        NilConst = static_cast<uint8_t>(VarType::None),
        IntConst = static_cast<uint8_t>(VarType::Int),
        FloatConst = static_cast<uint8_t>(VarType::Float),
        BoolConst = static_cast<uint8_t>(VarType::Bool),
        Register,
        Variable,
        StringConst
    };
    // Where a binary operator's operand comes from, for the handler that
    // reads it without testing its mode (`Any` tests it).
    enum class Operand : uint8_t { Register, Constant, Variable, Any };
    static constexpr int operandPairs = 10; // the nine pairs of the first three, then Any with Any
    static constexpr Operand operandOf(Mode mode) {
        return mode == Mode::Register    ? Operand::Register
               : mode <= Mode::BoolConst ? Operand::Constant
               : mode == Mode::Variable  ? Operand::Variable
                                         : Operand::Any;
    }
    // The runner's handlers: each binary operator with each pair of operand
    // sources, then the other instructions in the order of their ops.
    static constexpr uint8_t binaryEntry(ExpressionNodeKind kind, Operand a, Operand b) {
        const int pair = a == Operand::Any || b == Operand::Any
                             ? operandPairs - 1
                             : static_cast<int>(a) * 3 + static_cast<int>(b);
        return static_cast<uint8_t>(
            (static_cast<int>(kind) - static_cast<int>(ExpressionNodeKind::Add)) * operandPairs + pair);
    }
    static constexpr uint8_t firstOtherEntry =
        (static_cast<int>(ExpressionNodeKind::GreaterEqual) - static_cast<int>(ExpressionNodeKind::Add) + 1) *
        operandPairs;

    uint8_t op = Fail;
    Mode aMode = Mode::Register, bMode = Mode::Register;
    uint8_t entry = 0; // the handler, set from the op and modes once the code is built
    uint32_t dst = 0;
    // Each a register, constant (a float's bits, a string's index) or
    // variable node; b of a jump: how far on its target is; a of a Builtin:
    // its first argument's register.
    int32_t a = 0, b = 0;
    int32_t node = 0; // the tree node computed, for errors

    void setEntry() {
        const auto kind = static_cast<ExpressionNodeKind>(op);
        entry = kind >= ExpressionNodeKind::Add && kind <= ExpressionNodeKind::GreaterEqual
                    ? binaryEntry(kind, operandOf(aMode), operandOf(bMode))
                    : static_cast<uint8_t>(firstOtherEntry + (op - Move));
    }
};

// A string of an expression as a script value, made once: a literal's
// every evaluation shares it. With its lookup for when it is used as a
// table key.
struct StringConstant {
    Variable value;
    mutable TableStorage::Lookup lookup;

    const std::string& text() const { return value.asString(); }
    Variable* findIn(TableStorage& table) const { return table.find(text(), lookup); }
};

// What running reads comes first and starts a cache line: a short
// expression's run finds its nodes and code from there.
struct alignas(64) CompiledExpression {
    int32_t root = -1;
    // Compiled from clean text that fills its place: the fast paths may take
    // it. Never set on the general paths but for conditions.
    bool valid = false;
    bool deep = false; // nested deeply enough that evaluating it guards the stack
    std::vector<ExpressionNode> nodes;
    // The flattened code of the root and of each operator the scalar path may
    // try whose parent asks it for a number on its own (a call's argument,
    // an operand of an operator that computes full values), one after
    // another, each from the node's `scalarCode` on. Each ends with an End
    // instruction; one needing more registers than the stack's starts with a
    // Wide instruction, `a` of which is how many.
    std::vector<ScalarInstruction> scalarCode;
    std::vector<StringConstant> strings;
    // The node raising the first syntax error of the text, if it has one. An
    // And or Or node whose right side holds it has intValue 1: skipping that
    // side raises the error too.
    int32_t syntaxError = -1;
    uint32_t endToken = 0; // where reading the text stopped
    std::vector<CallExpression> calls;
    std::vector<ContainerLiteral> literals;
    uint32_t firstToken = 0;
    // False when the expression holds a call that cannot give a number, or a
    // string, so trying the scalar path first would only cost time.
    bool mayBeScalar() const { return nodes[root].scalarSafe; }
};

struct alignas(64) ParsedAssignmentTarget {
    size_t nameIndex = 0;
    // Its name's id, 0 when it does not start with a name: a running
    // assignment reads it here rather than from the token analysis.
    uint32_t nameId = 0;
    bool wellFormed = true; // a name followed only by [expr] suffixes
    std::vector<TokenRange> indexRanges;
    std::vector<CompiledExpression> compiledIndexes; // one per index range
};

// What a running statement reads comes first and starts a cache line; the
// text and tokens, read for errors and declarations, come last.
struct alignas(64) ParsedScriptLine {
    StatementKind kind = StatementKind::Empty;
    ScopeTarget assignScope = ScopeTarget::Default;
    // A compound assignment's operator; NoneLiteral for `=`.
    ExpressionNodeKind storeOperator = ExpressionNodeKind::NoneLiteral;
    // For one name or `name[key]` with `=` or a compound operator, or one
    // declared name with `=`, a value the scalar path may try and a key free
    // of calls: where the code starts, in the value's scalar code, that
    // computes the value and ends by storing it (a Store in place of the
    // End). -1 for any other line.
    int32_t storeCode = -1;
    // The runs in a row whose store code met a value without a scalar form.
    mutable uint8_t storeMisses = 0;
    // An expression statement that is one call, which its step makes straight.
    bool isCall = false;
    uint64_t assignOpIndex = 0;
    std::vector<ParsedAssignmentTarget> assignmentTargets;
    // Compiled forms: the condition of if/elseif/while/until, the iterator
    // of a generic for, the expression of an expression statement; one per
    // assignment value, return value, numeric for bound or function target
    // key. Where the text does not parse, the form raises the error when run.
    std::vector<CompiledExpression> compiledValues;
    CompiledExpression compiledExpression;
    std::vector<TokenRange> valueRanges;
    uint64_t endIndex = NoLineIndex;
    uint64_t nextBranchIndex = NoLineIndex;
    uint64_t lineNumber = 0;
    std::string text;
    std::vector<std::string> tokens;
    std::vector<TokenAnalysis> tokenInfo;
};

using ParsedLines = std::vector<ParsedScriptLine>;
