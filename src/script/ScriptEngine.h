// The BrumeScript interpreter: the value type, the parsed-line types and the
// engine class. The engine's member functions are spread over the source files
// of this folder by concern (values, lexer, evaluator, executor, ...).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

enum class VarType : int32_t {
    None = 0,
    Int = 1,
    Float = 2,
    String = 3,
    Raw = 4,
    Bool = 5,
    Pointer = 6,
    Array = 7,
    Multi = 8,
    Table = 9,
    Function = 10,
};

struct Variable;
struct ScriptCallable;
struct MultiResult;

using ArrayStorage = std::vector<Variable>;
// Table keys hash as views, so that lookups by a key held elsewhere copy
// nothing. The call is deliberately not noexcept: the map then stores each
// key's hash beside it and compares keys only when the hashes agree.
struct TableKeyHash {
    using is_transparent = void;
    size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
};
using TableStorage = std::unordered_map<std::string, Variable, TableKeyHash, std::equal_to<>>;
using NativeFunction = std::function<Variable(const std::vector<Variable>&)>;
// A library builtin's own entry: the arguments as they lie, without a vector.
using DirectFunction = std::function<Variable(std::span<const Variable>)>;
// A numeric math function, called through a plain pointer.
using NumericFunction = Variable (*)(std::span<const Variable>);
using BuiltinId = uint16_t;

#if defined(__SANITIZE_ADDRESS__)
#define BV_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BV_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef BV_ADDRESS_SANITIZER
#define BV_ADDRESS_SANITIZER 0
#endif

// A string's or byte block's payload, shared by the values copied from one
// another and copied only when one of them is changed, so that a value stays
// three words however long its text. A value is owned by one thread, so the
// count needs no atomic operations.
template <class T> struct SharedBox {
    uint32_t refs;
    T value;

    SharedBox* share() {
        ++refs;
        return this;
    }
    void release() noexcept {
        if (--refs == 0) delete this;
    }

    // Freed boxes wait on a short list of their thread for reuse: every
    // intermediate string is a box, and the general allocator would
    // otherwise be a large part of what a string operation costs.
    static void* operator new(size_t size) {
        FreeBox* box = spare.top;
        if (!box) return ::operator new(size);
        spare.top = box->next;
        --spare.count;
        return box;
    }
    static void operator delete(void* box) noexcept {
        if (spare.count == spareLimit) return ::operator delete(box);
        spare.top = new (box) FreeBox{spare.top};
        ++spare.count;
    }
    // For a thread about to end: the list dies with it.
    static void freeSpares() noexcept {
        while (spare.top) ::operator delete(std::exchange(spare.top, spare.top->next));
        spare.count = 0;
    }

  private:
    struct FreeBox {
        FreeBox* next;
    };
    // None under AddressSanitizer, which then sees every use of a freed box.
    static constexpr uint32_t spareLimit = BV_ADDRESS_SANITIZER ? 0 : 1024;
    static inline thread_local struct {
        FreeBox* top;
        uint32_t count;
    } spare{};
};
using StringBox = SharedBox<std::string>;
using RawBox = SharedBox<std::vector<uint8_t>>;

// A script value: a kind tag and a hand-made tagged union over the ten kinds
// of payload, so that copying numbers costs no more than copying numbers.
struct Variable {
    VarType type = VarType::None;

    Variable() { u_.words[0] = 0; }
    Variable(int32_t i) : type(VarType::Int) { u_.words[0] = static_cast<uint32_t>(i); }
    Variable(float f) : type(VarType::Float) { u_.words[0] = std::bit_cast<uint32_t>(f); }
    Variable(bool b) : type(VarType::Bool) { u_.words[0] = b; }
    Variable(std::string s) : type(VarType::String) { initBox(new StringBox{1, std::move(s)}); }
    Variable(const char* s) : type(VarType::String) { initBox(new StringBox{1, s}); }
    Variable(std::shared_ptr<ArrayStorage> a) : type(VarType::Array) {
        new (&u_.array) std::shared_ptr<ArrayStorage>(std::move(a));
    }
    Variable(std::shared_ptr<TableStorage> t) : type(VarType::Table) {
        new (&u_.table) std::shared_ptr<TableStorage>(std::move(t));
    }
    Variable(std::shared_ptr<ScriptCallable> f) : type(VarType::Function) {
        new (&u_.function) std::shared_ptr<ScriptCallable>(std::move(f));
    }
    Variable(std::shared_ptr<MultiResult> m) : type(VarType::Multi) {
        new (&u_.multi) std::shared_ptr<MultiResult>(std::move(m));
    }
    static Variable raw(std::vector<uint8_t> bytes) {
        Variable v;
        v.type = VarType::Raw;
        v.initBox(new RawBox{1, std::move(bytes)});
        return v;
    }
    static Variable pointer(void* p) {
        Variable v;
        v.type = VarType::Pointer;
        v.u_.words[0] = reinterpret_cast<uintptr_t>(p);
        return v;
    }

    // Plain payloads are copied here, so that numbers never call out.
    Variable(const Variable& other) : type(other.type) {
        if (other.holdsPlainData())
            initWord(other.u_.words[0]);
        else
            copyPayload(other);
    }
    Variable(Variable&& other) noexcept : type(other.type) {
        if (other.holdsPlainData())
            initWord(other.u_.words[0]);
        else
            movePayload(other);
    }
    ~Variable() {
        if (!holdsPlainData()) destroyPayload();
    }
    Variable& operator=(const Variable& other) {
        if (this == &other) return *this;
        if (holdsPlainData() && other.holdsPlainData()) {
            type = other.type;
            copyPlainData(other);
            return *this;
        }
        // `other` may live inside what this value holds: copy it before letting go.
        Variable copy(other);
        return *this = std::move(copy);
    }
    Variable& operator=(Variable&& other) noexcept {
        if (this == &other) return *this;
        if (holdsPlainData() && other.holdsPlainData()) {
            type = other.type;
            copyPlainData(other);
            return *this;
        }
        Variable moved(std::move(other), 0);
        destroyPayload();
        type = moved.type;
        movePayload(moved);
        return *this;
    }

    bool isNone() const { return type == VarType::None; }
    bool isNumeric() const { return type == VarType::Int || type == VarType::Float || type == VarType::Bool; }

    // Unchecked payload access: callers test `type` first.
    int32_t asInt() const { return u_.i; }
    float asFloat() const { return u_.f; }
    bool asBool() const { return u_.b; }
    // A plain payload's bits: an Int's, a Float's or a Bool's value, 0 for None.
    uint32_t plainBits() const { return static_cast<uint32_t>(u_.words[0]); }
    // Becomes a plain value of kind `t` with payload bits `bits`, in place.
    void setPlain(VarType t, uint32_t bits) {
        if (!holdsPlainData()) destroyPayload();
        type = t;
        u_.words[0] = bits;
    }
    void* asPointer() const { return u_.p; }
    const std::string& asString() const { return u_.s->value; }
    // The text to change in place: first made this value's own, so that the
    // values it was copied to or from keep theirs.
    std::string& ownString() {
        if (u_.s->refs > 1) {
            StringBox* own = new StringBox{1, u_.s->value};
            u_.s->release();
            u_.s = own;
        }
        return u_.s->value;
    }
    const std::vector<uint8_t>& asRaw() const { return u_.raw->value; }
    const std::shared_ptr<ArrayStorage>& asArray() const { return u_.array; }
    const std::shared_ptr<TableStorage>& asTable() const { return u_.table; }
    const std::shared_ptr<ScriptCallable>& asFunction() const { return u_.function; }
    const std::shared_ptr<MultiResult>& asMulti() const { return u_.multi; }

    std::string toString() const;
    // The text form of a value that is not an array or table.
    std::string scalarText() const;

  private:
    // The ten payloads, in the order of their kinds' first appearance.
    union Payload {
        uint64_t words[2]; // a plain payload or a box pointer, and the word after
        int32_t i;         // Int, and None (always 0)
        float f;
        StringBox* s;
        RawBox* raw;
        bool b;
        void* p;
        std::shared_ptr<ArrayStorage> array;
        std::shared_ptr<TableStorage> table;
        std::shared_ptr<ScriptCallable> function;
        std::shared_ptr<MultiResult> multi;
        Payload() {}
        ~Payload() {}
    } u_;

    Variable(Variable&& other, int) noexcept : type(other.type) { movePayload(other); }

    // Kinds whose payload is one word that needs no construction or destruction.
    static bool isPlain(VarType t) {
        constexpr uint32_t plain =
            1u << static_cast<int>(VarType::None) | 1u << static_cast<int>(VarType::Int) |
            1u << static_cast<int>(VarType::Float) | 1u << static_cast<int>(VarType::Bool) |
            1u << static_cast<int>(VarType::Pointer);
        return plain >> static_cast<uint32_t>(t) & 1;
    }
    bool holdsPlainData() const { return isPlain(type); }
    // Plain payloads and box pointers are written as one whole word (read
    // back through the member of their kind), so a copy is one load and one
    // store that the processor can forward from the write before it.
    void copyPlainData(const Variable& other) { u_.words[0] = other.u_.words[0]; }
    // A one-word payload copied or moved into a new value, and a new box
    // pointer, also clear the word after them. Values whose kind the
    // optimiser cannot see are then written whole; otherwise GCC's flow
    // analysis finds paths on which a kind it cannot rule out reads a shared
    // pointer's second word. Numbers are made where their kind is in sight.
    void initWord(uint64_t word) {
        u_.words[0] = word;
        u_.words[1] = 0;
    }
    void initBox(void* box) { initWord(reinterpret_cast<uintptr_t>(box)); }
    // The payload must be uninitialised (or plain) when these run. Each
    // returns early for plain kinds, although its switch would take them too:
    // the optimiser's flow analysis then never sees a number's word read as a
    // string or container where these are inlined.
    void copyPayload(const Variable& other) {
        if (other.holdsPlainData()) return initWord(other.u_.words[0]);
        switch (other.type) {
        case VarType::String:
            initBox(other.u_.s->share());
            break;
        case VarType::Raw:
            initBox(other.u_.raw->share());
            break;
        case VarType::Array:
            new (&u_.array) std::shared_ptr<ArrayStorage>(other.u_.array);
            break;
        case VarType::Table:
            new (&u_.table) std::shared_ptr<TableStorage>(other.u_.table);
            break;
        case VarType::Function:
            new (&u_.function) std::shared_ptr<ScriptCallable>(other.u_.function);
            break;
        case VarType::Multi:
            new (&u_.multi) std::shared_ptr<MultiResult>(other.u_.multi);
            break;
        default:
            initWord(other.u_.words[0]);
            break;
        }
    }
    void movePayload(Variable& other) noexcept {
        if (other.holdsPlainData()) return initWord(other.u_.words[0]);
        switch (other.type) {
        case VarType::String:
        case VarType::Raw:
            // The box changes hands. The source becomes a None rather than
            // keeping the pointer, so that destroying it needs no count.
            initWord(other.u_.words[0]);
            other.type = VarType::None;
            other.u_.words[0] = 0;
            break;
        case VarType::Array:
            new (&u_.array) std::shared_ptr<ArrayStorage>(std::move(other.u_.array));
            break;
        case VarType::Table:
            new (&u_.table) std::shared_ptr<TableStorage>(std::move(other.u_.table));
            break;
        case VarType::Function:
            new (&u_.function) std::shared_ptr<ScriptCallable>(std::move(other.u_.function));
            break;
        case VarType::Multi:
            new (&u_.multi) std::shared_ptr<MultiResult>(std::move(other.u_.multi));
            break;
        default:
            initWord(other.u_.words[0]);
            break;
        }
    }
    // Drops the last reference to a non-empty array or table without
    // recursing once per level of nesting.
    void releaseLastContainer() noexcept;
    void destroyPayload() noexcept {
        if (holdsPlainData()) return;
        switch (type) {
        case VarType::String:
            u_.s->release();
            break;
        case VarType::Raw:
            u_.raw->release();
            break;
        case VarType::Array:
            if (u_.array.use_count() == 1 && !u_.array->empty()) return releaseLastContainer();
            u_.array.~shared_ptr();
            break;
        case VarType::Table:
            if (u_.table.use_count() == 1 && !u_.table->empty()) return releaseLastContainer();
            u_.table.~shared_ptr();
            break;
        case VarType::Function:
            u_.function.~shared_ptr();
            break;
        case VarType::Multi:
            u_.multi.~shared_ptr();
            break;
        default:
            break;
        }
    }
};

// Three words: arrays, tables and scopes hold many values side by side.
static_assert(sizeof(Variable) == 24);

struct MultiResult {
    std::vector<Variable> values;
};

Variable makeTable();
Variable makeArray();
Variable makeArray(std::vector<Variable> values);
Variable makeMulti(std::vector<Variable> values);

// ---------------------------------------------------------------------------
// Parsed lines

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
enum class FastExprNodeKind : uint8_t {
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
};

// Where a name was last found: valid while the engine's resolution epoch is
// the one recorded, that is while no scope, binding or global has changed.
// When the epoch has moved on (every call does that), the storage the name
// was last found in is checked first: the innermost local scope, the
// innermost frame scope or the globals, each verified by name.
struct ResolutionCache {
    enum class Hint : uint8_t { None, TopLocal, TopFrame, Global };
    mutable uint64_t epoch = 0;
    mutable Variable* slot = nullptr;
    mutable Hint hint = Hint::None;
};

struct FastExprNode {
    FastExprNodeKind kind = FastExprNodeKind::NoneLiteral;
    int32_t left = -1;
    int32_t right = -1;
    uint16_t token = 0;
    // The token the general evaluator would name in an error raised here.
    uint16_t errorToken = 0;
    bool pure = true; // no call anywhere in the subtree
    // No call in the subtree but to the numeric library functions its call
    // sites name, and no string but member names: the scalar path may try
    // it, and computing it again after a failed try changes nothing.
    bool scalarSafe = true;
    int32_t intValue = 0;
    float floatValue = 0;
    uint32_t nameId = 0;
    ResolutionCache resolved; // for variable nodes
    int16_t scalarCode = -1;  // its flattened code in the expression's scalarCodes, if any
};

// The member a callee written as name['member'] was last found as. Table
// entries keep their address until they are removed, and every removal
// counts as a table mutation, so the entry is valid while the same table has
// seen no mutation since. The table is held weakly (a table can hold the
// function whose code holds this cache), which still pins its identity.
struct MemberCache {
    mutable std::weak_ptr<TableStorage> table;
    mutable const Variable* member = nullptr;
    mutable uint64_t mutations = 0;
};

// The most arguments a numeric library call takes on the scalar path.
inline constexpr size_t maxScalarBuiltinArgs = 4;

struct FastCallExpression {
    int32_t callee = -1;
    std::vector<int32_t> args;
    BuiltinId builtinId = 0;
    MemberCache member;
};

// A fast expression flattened into register instructions for the scalar
// path: leaves are read straight from their operands, so numbers are
// computed in one loop without walking the tree.
inline constexpr size_t maxScalarRegisters = 16;

struct ScalarInstruction {
    // Besides the binary operator kinds of the tree (Add to GreaterEqual),
    // numbered on from them so that the runner's handlers form one table.
    static constexpr uint8_t Move = 25, JumpIfTruthy = 26, JumpIfFalsy = 27, Element = 28, ElementRef = 29,
                             Tree = 30, Builtin = 31, End = 32;
    static_assert(static_cast<uint8_t>(FastExprNodeKind::GreaterEqual) + 1 == Move);
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
    static constexpr uint8_t binaryEntry(FastExprNodeKind kind, Operand a, Operand b) {
        const int pair = a == Operand::Any || b == Operand::Any
                             ? operandPairs - 1
                             : static_cast<int>(a) * 3 + static_cast<int>(b);
        return static_cast<uint8_t>(
            (static_cast<int>(kind) - static_cast<int>(FastExprNodeKind::Add)) * operandPairs + pair);
    }
    static constexpr uint8_t firstOtherEntry =
        (static_cast<int>(FastExprNodeKind::GreaterEqual) - static_cast<int>(FastExprNodeKind::Add) + 1) *
        operandPairs;

    uint8_t op = Tree;
    uint8_t dst = 0;
    Mode aMode = Mode::Register, bMode = Mode::Register;
    uint8_t entry = 0;    // the handler, set from the op and modes once the code is built
    int32_t a = 0, b = 0; // register, constant (a float's bits, a string's index) or variable node;
                          // b of a jump: its target; a of a Builtin: its first argument's register
    int32_t node = 0;     // the tree node computed, for errors and the Tree fallback

    void setEntry() {
        const auto kind = static_cast<FastExprNodeKind>(op);
        entry = kind >= FastExprNodeKind::Add && kind <= FastExprNodeKind::GreaterEqual
                    ? binaryEntry(kind, operandOf(aMode), operandOf(bMode))
                    : static_cast<uint8_t>(firstOtherEntry + (op - Move));
    }
};

struct ScalarCode {
    std::vector<ScalarInstruction> instructions; // empty when the tree is walked instead
    // How the scalar path runs the code: one operand, one operator on
    // operands or one element need none of the runner's registers.
    enum class Form : uint8_t { Walk, Leaf, Binary, Element, Code };
    Form form = Form::Walk;
};

struct FastExpression {
    std::vector<FastExprNode> nodes;
    // The flattened code of the root and of each operator the scalar path may
    // try whose parent asks it for a number on its own (a call's argument,
    // an operand of an operator that computes full values), indexed by the
    // node's `scalarCode`.
    std::vector<ScalarCode> scalarCodes;
    std::vector<std::string> strings;
    std::vector<FastCallExpression> calls;
    int32_t root = -1;
    bool valid = false;
    // False when the expression holds a call that cannot give a number, or a
    // string, so trying the scalar path first would only cost time.
    bool mayBeScalar() const { return nodes[root].scalarSafe; }
};

struct ParsedAssignmentTarget {
    size_t nameIndex = 0;
    std::vector<TokenRange> indexRanges;
    std::vector<FastExpression> fastIndexes; // one per index range
    bool wellFormed = true;                  // a name followed only by [expr] suffixes
    ResolutionCache resolved;                // of the base name
};

struct ParsedScriptLine {
    std::string text;
    uint64_t lineNumber = 0;
    std::vector<std::string> tokens;
    std::vector<TokenAnalysis> tokenInfo;
    StatementKind kind = StatementKind::Empty;
    uint64_t endIndex = NoLineIndex;
    uint64_t nextBranchIndex = NoLineIndex;
    uint64_t assignOpIndex = 0;
    ScopeTarget assignScope = ScopeTarget::Default;
    std::vector<ParsedAssignmentTarget> assignmentTargets;
    std::vector<TokenRange> valueRanges;
    // Precompiled forms: the condition of if/elseif/while/until, the
    // expression of an expression statement or single-valued return, and
    // one per assignment value. Invalid where the text does not compile.
    FastExpression fastExpression;
    std::vector<FastExpression> fastValues;
    bool fastAssignable = false; // one plain name = one fast expression
    // One name or `name[key]` with `=` or a compound operator, or one
    // declared name with `=`; a value the scalar path may try, and a key free
    // of calls.
    bool scalarStorable = false;
    // A compound assignment's operator; NoneLiteral for `=`.
    FastExprNodeKind storeOperator = FastExprNodeKind::NoneLiteral;
};

using ParsedLines = std::vector<ParsedScriptLine>;

struct BytecodeProgram;

// A function value: a host function, a script function or a loaded chunk.
struct ScriptCallable {
    bool isNative = false;
    bool isVararg = false;
    bool isCoroutineEntry = false;
    bool isChunk = false;
    NativeFunction nativeFunction;
    DirectFunction directFunction; // set for library builtins that take arguments in place
    // Set for the numeric math functions, which are called through it directly.
    NumericFunction numericFunction = nullptr;
    BuiltinId builtinId = 0;
    std::string name;
    std::vector<std::string> params;
    std::vector<uint32_t> paramIds; // interned `params`
    // Functions declared in bytecode run their body chunk of `program`;
    // chunks run the whole program.
    std::shared_ptr<BytecodeProgram> program;
    uint32_t bodyChunk = 0;
    // The body lines [bodyStart, bodyEnd) of `lines`, which the line executor
    // and coroutines walk.
    std::shared_ptr<const ParsedLines> lines;
    size_t bodyStart = 0;
    size_t bodyEnd = 0;
    // The defining script, so that paths and error reports refer to it.
    std::string scriptPath;
    std::string directory;
    // Bodies of common shapes run without statement machinery: 1, a lone
    // `return`; 2, `if cond` / `error('literal')` / `end` / `return`;
    // 3, `if cond` / `return` / `end` / `return`.
    uint8_t fastBodyKind = 0;
    size_t fastConditionLine = 0;
    size_t fastErrorLine = 0;
    size_t fastReturnLine = 0;
    size_t fastGuardedReturnLine = 0;
    std::string fastErrorMessage;
};

// ---------------------------------------------------------------------------
// Bytecode: the block structure of a program as flat instruction lists.

enum class Opcode : uint8_t {
    Line = 0,
    FastAssign = 1,
    If = 2,
    While = 3,
    Repeat = 4,
    NumericFor = 5,
    GenericFor = 6,
    FunctionDecl = 7,
    Return = 8,
    Break = 9,
};

struct Instruction {
    uint8_t opcode = 0;
    uint32_t operand = 0;
    uint32_t operand2 = 0;
};

struct BytecodeChunk {
    uint32_t firstInstruction = 0;
    uint32_t instructionCount = 0;
    bool needsScope = true;
};

struct BytecodeIfBranch {
    uint32_t lineIndex = 0;
    uint32_t bodyChunk = 0;
    bool isElse = false;
};

struct BytecodeIfGroup {
    std::vector<BytecodeIfBranch> branches;
};

// A loop: its header line (the `until` line for repeat) and its body chunk.
struct BytecodeForLoop {
    uint32_t lineIndex = 0;
    uint32_t bodyChunk = 0;
};
using BytecodeWhileLoop = BytecodeForLoop;
using BytecodeRepeatLoop = BytecodeForLoop;

struct BytecodeFunctionDecl {
    uint32_t lineIndex = 0;
    uint32_t bodyChunk = 0;
    uint32_t bodyFirstLine = 0;
    uint32_t bodyEndLine = 0;
    std::string scriptDirectory;
    std::string scriptPath;
};

inline constexpr uint16_t BytecodeVersion = 6;

struct BytecodeProgram {
    uint16_t version = BytecodeVersion;
    std::string scriptDirectory;
    std::string scriptPath;
    ParsedLines lines;
    std::vector<Instruction> instructions;
    std::vector<BytecodeChunk> chunks;
    std::vector<BytecodeIfGroup> ifGroups;
    std::vector<BytecodeWhileLoop> whileLoops;
    std::vector<BytecodeRepeatLoop> repeatLoops;
    std::vector<BytecodeForLoop> numericFors;
    std::vector<BytecodeForLoop> genericFors;
    std::vector<BytecodeFunctionDecl> functionDecls;
    // Per chunk: 0 not yet known, 1 runs with scope bookkeeping, 2 runs inline.
    std::vector<uint8_t> inlineCache;
};

struct CoroutineState;

// Thrown to abandon a coroutine turn; deliberately not a std::exception so
// that protected calls and error reports let it pass.
struct CoroutineTerminated {};

// What `error` throws outside any protected call.
class RaisedScriptError : public std::exception {
  public:
    explicit RaisedScriptError(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    std::string message_;
};

// ---- standard library: types (begin) ----
#include <chrono>
#include <random>
#include <regex>

// The key orders and numeric length of one table, rebuilt only when its key set
// changed. The weak reference keeps caching from holding a table alive and
// tells a dead table's entry from the entry of a new table at the same address.
struct TableCacheEntry {
    static constexpr uint64_t NeverBuilt = ~uint64_t{0};
    std::weak_ptr<TableStorage> table;
    uint64_t version = 0;
    uint64_t sortedVersion = NeverBuilt;
    std::vector<std::string> sortedKeys;
    std::vector<Variable> sortedKeyValues;
    uint64_t iterationVersion = NeverBuilt;
    std::vector<std::string> iterationKeys;
    std::vector<Variable> iterationKeyValues;
    std::unordered_map<std::string, size_t> iterationKeyIndex;
    uint64_t lengthVersion = NeverBuilt;
    int32_t numericLength = 0;
};

// One pattern text compiled once for the life of the process.
struct CompiledGsubPattern {
    std::regex regex;
    bool isRegex = true;
    size_t groupCount = 0;
};
// ---- standard library: types (end) ----

// ---------------------------------------------------------------------------
// The interpreter

class ScriptEngine {
  public:
    ScriptEngine();
    // The scope stacks point back at the engine.
    ScriptEngine(const ScriptEngine&) = delete;
    ScriptEngine& operator=(const ScriptEngine&) = delete;

    // Value rules.
    static const char* typeName(VarType type);
    static double toDouble(const Variable& v);
    static int32_t toInt(const Variable& v);
    // Truncation toward zero that stays defined outside the int range.
    static int32_t saturatingToInt(double d);
    static bool isTruthy(const Variable& v);
    static bool variablesEqual(const Variable& a, const Variable& b);
    static int compareVariables(const Variable& a, const Variable& b);
    static Variable performOperation(const Variable& a, char op, const Variable& b);
    static Variable performOperation(const Variable& a, const std::string& op, const Variable& b);
    static std::string keyToString(const Variable& key);
    static int32_t arrayLength(const Variable& v);
    static int32_t tableSequenceLength(const TableStorage& table);
    static bool prefersArrayStorage(const Variable& key);
    static void promoteArrayVariableToTable(Variable& v);

    // Lexer and line parser.
    ParsedLines parseLines(const std::string& source);
    std::vector<std::string> tokenise(const std::string& text);
    static TokenAnalysis analyseToken(const std::string& token);
    static bool isIdentifier(std::string_view token);
    static bool isTrueToken(std::string_view token);
    static bool isFalseToken(std::string_view token);
    static bool tokenLooksNumeric(std::string_view token);
    static bool parseIntStrict(const std::string& token, int32_t& out);
    static bool parseFloatStrict(const std::string& token, float& out);
    static bool isStringToken(std::string_view token);
    static std::string decodeStringToken(const std::string& token);
    static void prepareParsedLines(ParsedLines& lines);
    static size_t findMatchingElseOrEnd(const ParsedLines& lines, size_t index, bool& foundElse);
    static size_t findMatchingEnd(const ParsedLines& lines, size_t index);
    static size_t findMatchingUntil(const ParsedLines& lines, size_t index);

    // Host interface.
    void pushFunction(const std::string& name, NativeFunction function);
    void pushVariable(const std::string& name, const Variable& value);
    Variable pullVariable(const std::string& name);
    static Variable makeNativeCallable(NativeFunction function, const std::string& name, BuiltinId builtinId);
    // A library builtin: callable like any native, and in place by the fast call path.
    static Variable makeDirectCallable(DirectFunction function, const std::string& name);
    static Variable createNativeCallable(NativeFunction function, std::string name, BuiltinId builtinId);
    void publishFunction(const std::string& name, NativeFunction function, BuiltinId builtinId);
    static BuiltinId builtinIdFromName(const std::string& name);
    // Whether the builtin with this id is a library function whose result is a number.
    static bool isNumericBuiltin(BuiltinId id);

    // Running scripts.
    Variable runScript(const std::string& source);
    Variable readScriptFile(const std::vector<Variable>& args);
    Variable loadScriptFile(const std::vector<Variable>& args);
    Variable runScriptFile(const std::vector<Variable>& args);
    Variable loadScriptChunk(std::span<const Variable> args);

    // Paths.
    static bool pathExists(const std::string& path);
    static std::string pathDirectory(const std::string& path);
    static std::string joinPath(const std::string& a, const std::string& b);
    std::string resolvePath(const std::string& path) const;
    // For hosts that run untrusted scripts: io['popen'] is refused and every
    // path a script opens names a file directly inside `folder`.
    void confineToFolder(std::string folder);

    // Errors.
    [[noreturn]] void throwError(const std::string& message, std::string_view nearToken) const;
    std::string formatErrorReport(const std::string& message, std::string_view nearToken) const;
    void raiseScriptErrorSoft(const std::string& message);
    bool shouldAbortForSoftRaisedError() const { return softErrorPending && callDepth > softErrorDepth; }
    void clearSoftRaisedError();
    // "  called from FILE:LINE" lines of the calls the last uncaught error
    // left, innermost first.
    std::string errorCallTrace() const;
    // The error reports of every syntax error in a script, found without running it.
    std::vector<std::string> checkSyntax(const std::string& source, const std::string& scriptPath);

    // Fast expressions.
    struct FastScalarValue {
        // The values of the matching value types, so that a value's type is
        // its scalar kind; a string's type stands for no scalar.
        enum Kind : uint8_t { Nil = 0, Int = 1, Float = 2, NoScalar = 3, Bool = 5 };
        Kind kind = NoScalar;
        // The payload of the kind, read by it: one word, so that a value moves
        // in one register.
        union {
            int32_t i = 0;
            float f;
            uint8_t b;
        };
    };
    static FastExpression compileFastExpressionRange(const std::vector<std::string>& tokens,
                                                     const std::vector<TokenAnalysis>& analysis, size_t first,
                                                     size_t end);
    static void compileFastForms(ParsedScriptLine& line);
    Variable evaluateFastExpression(const FastExpression& expr, const ParsedScriptLine& line) {
        Variable result = evaluateFastNode(expr, expr.root, line);
        // Leave the error context where reading the expression would have left it.
        setErrorToken(line.tokens, expr.nodes[expr.root].errorToken);
        return result;
    }
    bool tryExecuteDiscardedFastCall(const FastExpression& expr, const ParsedScriptLine& line);
    // A condition's truth on the fast path: a numeric zero is false there.
    static bool fastScalarIsTruthy(const FastScalarValue& v) {
        switch (v.kind) {
        case FastScalarValue::Int:
            return v.i != 0;
        case FastScalarValue::Float:
            return v.f != 0.0f;
        case FastScalarValue::Bool:
            return v.b != 0;
        default:
            return false;
        }
    }
    static void assignFastScalar(Variable& slot, const FastScalarValue& v) {
        switch (v.kind) {
        case FastScalarValue::Int:
            return slot.setPlain(VarType::Int, static_cast<uint32_t>(v.i));
        case FastScalarValue::Float:
            return slot.setPlain(VarType::Float, std::bit_cast<uint32_t>(v.f));
        case FastScalarValue::Bool:
            return slot.setPlain(VarType::Bool, v.b != 0);
        default:
            return slot.setPlain(VarType::None, 0);
        }
    }
    static Variable fastScalarToVariable(const FastScalarValue& v) {
        Variable value;
        assignFastScalar(value, v);
        return value;
    }
    // Strings and containers have none; a scalar's kind is its value type.
    static bool hasScalarForm(VarType type) {
        using S = FastScalarValue;
        static_assert(S::Nil == static_cast<int>(VarType::None) && S::Int == static_cast<int>(VarType::Int) &&
                      S::Float == static_cast<int>(VarType::Float) &&
                      S::Bool == static_cast<int>(VarType::Bool));
        constexpr uint32_t scalarTypes = 1u << S::Nil | 1u << S::Int | 1u << S::Float | 1u << S::Bool;
        return scalarTypes >> static_cast<uint32_t>(type) & 1;
    }
    static bool tryFastScalarFromVariable(const Variable& v, FastScalarValue& out) {
        if (!hasScalarForm(v.type)) return false;
        out.kind = static_cast<FastScalarValue::Kind>(v.type);
        out.i = static_cast<int32_t>(v.plainBits());
        return true;
    }

    // Expressions.
    Variable evaluateExpression(const std::vector<std::string>& tokens, size_t& index,
                                const std::vector<TokenAnalysis>* tokenInfo);
    void skipExpression(const std::vector<std::string>& tokens, size_t& index, int minPrecedence,
                        const std::vector<TokenAnalysis>* tokenInfo);
    bool evaluateCondition(const std::vector<std::string>& tokens, size_t& index,
                           const std::vector<TokenAnalysis>* tokenInfo);
    static int classifyBinaryOperator(std::string_view token);
    static bool isStandaloneNotBoundary(std::string_view token);
    Variable getIndexedValue(const Variable& container, const Variable& key);
    static bool tryGetArrayIndex(const Variable& key, int32_t& out);

    // Variables and assignment.
    Variable* resolveVariablePtr(const std::string& name);
    bool resolveVariable(const std::string& name, Variable& out);
    void assignVariable(const std::string& name, const Variable& value, ScopeTarget target);
    bool assignExistingVariable(const std::string& name, const Variable& value);
    Variable* resolveVariableId(uint32_t nameId);
    [[gnu::always_inline]] Variable* resolveCached(uint32_t nameId, const ResolutionCache& cache) {
        return cache.epoch == resolutionEpoch ? cache.slot : resolveHinted(nameId, cache);
    }
    Variable* resolveHinted(uint32_t nameId, const ResolutionCache& cache);
    Variable* locateVariable(uint32_t nameId, ResolutionCache::Hint& hint);
    void assignVariableId(uint32_t nameId, const Variable& value, ScopeTarget target);
    using Scope = std::vector<std::pair<uint32_t, Variable>>;
    void setIndexedValue(Variable& container, const Variable& key, const Variable& value, bool create);
    Variable& getIndexedValueMutable(Variable& container, const Variable& key, bool create);
    bool executeAssignment(const ParsedScriptLine& line, Variable& result);

    // Statements.
    Variable executeParsedBlock(const ParsedLines& lines, size_t& index, BlockSignal& signal);

    // Bytecode.
    std::shared_ptr<BytecodeProgram> compileToBytecode(const std::string& source);
    Variable runBytecode(const BytecodeProgram& program);
    Variable runBytecodeProgram(const std::shared_ptr<BytecodeProgram>& program);
    Variable executeBytecodeChunk(const std::shared_ptr<BytecodeProgram>& program, uint32_t chunk,
                                  BlockSignal& signal);
    Variable executeBytecodeChunkInternal(const std::shared_ptr<BytecodeProgram>& program, uint32_t chunk,
                                          BlockSignal& signal, bool allowScope);
    std::shared_ptr<BytecodeProgram> compileScriptFile(const std::string& path);
    void saveBytecode(const BytecodeProgram& program, const std::string& path);
    std::shared_ptr<BytecodeProgram> loadBytecode(const std::string& path);
    std::shared_ptr<BytecodeProgram> loadBytecodeFromMemory(const std::string& data, const std::string& path);
    static bool isBytecode(const std::string& data);

    // Coroutines.
    Variable startCoroutine(const std::shared_ptr<ScriptCallable>& callable, const Variable* args,
                            size_t count);
    void serviceScheduledCoroutineTurn();
    void serviceScheduledCoroutineTurnNoThrow();
    // Called when a statement has ended normally (an unwinding statement
    // takes no turn): gives the scheduled coroutine its turn, unless a turn is
    // what is running; an error from the turn waits for the next statement.
    void takeCoroutineTurn() {
        if (scheduledCoroutine && !coroutineTurnRunning) serviceScheduledCoroutineTurnNoThrow();
    }
    void rethrowPendingCoroutineException() {
        if (pendingCoroutineException) rethrowCoroutineException();
    }
    [[noreturn]] void rethrowCoroutineException();
    Variable killFunction(const std::vector<Variable>& args);

    // Calls and the error functions.
    Variable invokeCallable(const Variable& callee, const std::vector<Variable>& args);
    Variable invokeCallableFast(const Variable& callee, const Variable* args, size_t count);
    Variable pcallFunction(std::span<const Variable> args);
    Variable errorFunction(std::span<const Variable> args);
    Variable assertFunction(std::span<const Variable> args);
    Variable selectFunction(std::span<const Variable> args);

    // ---- standard library: public (begin) ----
    // Tables walk in the byte-wise order of their key strings. The orders and the
    // numeric length are cached per table; every key insertion or removal must
    // call markTableMutated so that the next walk sees it.
    static Variable keyStringToValue(const std::string& key);
    void markTableMutated(const std::shared_ptr<TableStorage>& table);
    const std::vector<std::string>& getSortedTableKeys(const std::shared_ptr<TableStorage>& table);
    const std::vector<Variable>& getSortedTableKeyValues(const std::shared_ptr<TableStorage>& table);
    const std::vector<std::string>& getIterationTableKeys(const std::shared_ptr<TableStorage>& table);
    // How many tables have walk caches (the dead ones not yet released included).
    size_t tableCacheCount() const;
    const std::vector<Variable>& getIterationTableKeyValues(const std::shared_ptr<TableStorage>& table);
    const std::unordered_map<std::string, size_t>&
    getIterationTableKeyIndex(const std::shared_ptr<TableStorage>& table);
    int32_t numericTableLength(const std::shared_ptr<TableStorage>& table);
    // The # operator and len(): a table's cached numeric length, else arrayLength.
    int32_t lengthOf(const Variable& value);
    void maybePruneDeadTableCacheEntries();
    void pruneDeadTableCacheEntries();
    // The [key, value] pairs that pairs(c) (or ipairs(c) when `byIndex`) yields.
    std::vector<Variable> containerWalk(const Variable& container, bool byIndex);

    // Patterns: Lua-style pattern texts run as cached ECMAScript expressions.
    static const CompiledGsubPattern& getCachedGsubPattern(const std::string& patternText);
    static std::string translateLuaPattern(std::string_view pattern);
    static std::string escapeRegexLiteralChar(char c);
    static bool findAsciiLuaClassRun(std::string_view s, size_t from, size_t& start, size_t& end);
    static bool findAlphaDashDigitsMatch(std::string_view s, size_t from, size_t& start1, size_t& end1,
                                         size_t& start2, size_t& end2);
    // string.gsub and the global gsub.
    static Variable gsubFunction(std::span<const Variable> args);
    // ---- standard library: public (end) ----

  private:
    // A cursor over one statement's tokens.
    struct ExpressionReader {
        const std::vector<std::string>& tokens;
        const std::vector<TokenAnalysis>* info;
        size_t& index;
        bool atEnd() const { return index >= tokens.size(); }
        const std::string& current() const { return tokens[index]; }
        bool currentIs(std::string_view t) const { return index < tokens.size() && tokens[index] == t; }
        TokenAnalysis analysis(size_t i) const { return info ? (*info)[i] : analyseToken(tokens[i]); }
    };

    // Expression grammar; with `evaluate` false it only checks and skips.
    Variable climb(ExpressionReader& r, int minPrecedence, bool evaluate);
    Variable readUnary(ExpressionReader& r, bool evaluate);
    Variable readPostfix(ExpressionReader& r, bool evaluate);
    Variable readPrimary(ExpressionReader& r, bool evaluate);
    Variable readArrayLiteral(ExpressionReader& r, bool evaluate);
    Variable readTableLiteral(ExpressionReader& r, bool evaluate);
    std::vector<Variable> readCallArguments(ExpressionReader& r, bool evaluate);
    Variable bindStringMethod(const std::string& text, const std::string& method);
    [[noreturn]] void syntaxError(const ExpressionReader& r, const std::string& message);

    // Statements.
    Variable executeStatements(const ParsedLines& lines, size_t& index, BlockSignal& signal);
    Variable executeStatement(const ParsedLines& lines, size_t& index, BlockSignal& signal);
    void enterLine(const ParsedScriptLine& line) { errorContext = {&line, {}}; }
    Variable executeIf(const ParsedLines& lines, size_t& index, BlockSignal& signal);
    Variable executeWhile(const ParsedLines& lines, size_t& index, BlockSignal& signal);
    Variable executeRepeat(const ParsedLines& lines, size_t& index, BlockSignal& signal);
    Variable executeFor(const ParsedLines& lines, size_t& index, BlockSignal& signal);
    Variable executeNumericFor(const ParsedLines& lines, size_t& index, BlockSignal& signal);
    Variable executeGenericFor(const ParsedLines& lines, size_t& index, BlockSignal& signal);
    bool runLoopBody(const ParsedLines& lines, size_t bodyStart, BlockSignal& signal, Variable& result);
    // Evaluates the expression after a line's keyword, which must fill the
    // line; one that computes to a number is decided here.
    bool evaluateLineCondition(const ParsedScriptLine& line, const char* trailingMessage) {
        const FastExpression& expr = line.fastExpression;
        if (expr.valid && expr.mayBeScalar()) {
            enterLine(line);
            FastScalarValue scalar;
            scalarReadElement = false;
            try {
                if (tryScalarAt(expr, expr.root, line, scalar))
                    return scalarReadElement ? isTruthy(fastScalarToVariable(scalar))
                                             : fastScalarIsTruthy(scalar);
            } catch (const std::exception& error) {
                rethrowAsReport(error);
            }
        }
        return evaluateGeneralCondition(line, trailingMessage);
    }
    bool evaluateGeneralCondition(const ParsedScriptLine& line, const char* trailingMessage);
    std::vector<Variable> collectForItems(const ParsedScriptLine& line, size_t t);
    bool callsStringWalker(const ParsedScriptLine& line, size_t t);
    void parseParameters(const ParsedScriptLine& line, size_t& t, ScriptCallable& function);
    static bool isBareDeclaration(const ParsedScriptLine& line);
    void checkLineSyntax(const ParsedScriptLine& line);
    bool declareWithoutValue(const ParsedScriptLine& line);
    void executeFunctionDeclaration(const ParsedLines& lines, size_t& index);
    Variable executeReturn(const ParsedScriptLine& line) {
        if (line.tokens.size() != 1 && line.fastExpression.valid)
            return evaluateFastExpression(line.fastExpression, line);
        return executeListedReturn(line);
    }
    // A bare `return`, or one whose values the fast form does not cover.
    Variable executeListedReturn(const ParsedScriptLine& line);
    // A statement that is not a block: an assignment, a declaration or a call.
    void executeSimple(const ParsedScriptLine& line) {
        if (!line.scalarStorable || !storeScalar(line)) executeGeneralStatement(line);
    }
    void executeGeneralStatement(const ParsedScriptLine& line);
    std::shared_ptr<const ParsedLines> sharedLines(const ParsedLines& lines);
    void checkStackDepth() const;

    // Bytecode.
    uint32_t compileBytecodeChunk(BytecodeProgram& program, size_t first, size_t end);
    Variable executeInstruction(const std::shared_ptr<BytecodeProgram>& program,
                                const Instruction& instruction, BlockSignal& signal);
    Variable runBytecodeBody(const std::shared_ptr<BytecodeProgram>& program, uint32_t chunk,
                             BlockSignal& signal, bool runsInline);
    void executeInlineChunk(const std::shared_ptr<BytecodeProgram>& program, uint32_t chunk,
                            BlockSignal& signal);
    void executeInlineIf(const std::shared_ptr<BytecodeProgram>& program, uint32_t group,
                         BlockSignal& signal);
    const BytecodeIfBranch* takenBranch(const BytecodeProgram& program, uint32_t group);
    bool chunkRunsInline(BytecodeProgram& program, uint32_t chunk) {
        const uint8_t cached = chunk < program.inlineCache.size() ? program.inlineCache[chunk] : 0;
        return cached != 0 ? cached == 2 : decideChunkInline(program, chunk);
    }
    bool decideChunkInline(BytecodeProgram& program, uint32_t chunk);
    const ParsedScriptLine& bytecodeLine(const BytecodeProgram& program, uint32_t index);
    Variable executeBytecodeIf(const std::shared_ptr<BytecodeProgram>& program, uint32_t group,
                               BlockSignal& signal);
    Variable executeBytecodeWhile(const std::shared_ptr<BytecodeProgram>& program, uint32_t loop,
                                  BlockSignal& signal);
    Variable executeBytecodeRepeat(const std::shared_ptr<BytecodeProgram>& program, uint32_t loop,
                                   BlockSignal& signal);
    Variable executeBytecodeNumericFor(const std::shared_ptr<BytecodeProgram>& program, uint32_t loop,
                                       BlockSignal& signal);
    Variable executeBytecodeGenericFor(const std::shared_ptr<BytecodeProgram>& program, uint32_t loop,
                                       BlockSignal& signal);
    void executeBytecodeFunctionDecl(const std::shared_ptr<BytecodeProgram>& program, uint32_t decl);
    bool stopsLoop(BlockSignal& signal);
    static bool isFastAssignment(const ParsedScriptLine& line);
    void executeFastAssign(const ParsedScriptLine& line);
    static bool runsOneStatement(const Instruction& instruction) {
        return instruction.opcode == static_cast<uint8_t>(Opcode::Line) ||
               instruction.opcode == static_cast<uint8_t>(Opcode::FastAssign);
    }
    void executeStatementInstruction(const BytecodeProgram& program, const Instruction& instruction);
    static bool isScalarStorable(const ParsedScriptLine& line);
    bool storeScalar(const ParsedScriptLine& line);
    bool storeScalarElement(const ParsedScriptLine& line, uint32_t nameId, const Variable* keyName,
                            const FastScalarValue& value);
    // `slot = value`, or `slot op= value` when `op` is an operator.
    void combineInto(Variable& slot, FastExprNodeKind op, const FastScalarValue& value) {
        if (op == FastExprNodeKind::NoneLiteral) return assignFastScalar(slot, value);
        combineNumbersOrOperate(slot, op, value);
    }
    void combineNumbersOrOperate(Variable& slot, FastExprNodeKind op, const FastScalarValue& value);
    [[gnu::noinline]] void operateInto(Variable& slot, FastExprNodeKind op, const FastScalarValue& value);
    static void prepareFastCallableBody(ScriptCallable& function);
    // Whether the function has a fast body that still means what it did when prepared.
    bool hasRunnableFastBody(const ScriptCallable& function) {
        return function.fastBodyKind == 2 ? errorIsLibraryFunction(function) : function.fastBodyKind != 0;
    }
    bool errorIsLibraryFunction(const ScriptCallable& function);
    Variable runFastCallableBody(const ScriptCallable& function);

    // Shared by both executors.
    struct NumericForClause {
        int64_t start, limit, step;
    };
    NumericForClause evaluateNumericForClause(const ParsedScriptLine& line);
    std::vector<uint32_t> parseGenericForNames(const ParsedScriptLine& line, size_t& t);
    size_t pushLoopScope(std::span<const uint32_t> nameIds);
    void bindLoopValues(size_t loopScope, const Variable& item);
    struct FunctionHeader {
        size_t nameIndex = 0;
        std::vector<Variable> keys;
    };
    FunctionHeader parseFunctionHeader(const ParsedScriptLine& line, ScriptCallable& function);
    void storeFunction(const ParsedScriptLine& line, const FunctionHeader& header, Variable function);

    // Coroutines.
    std::shared_ptr<CoroutineState> createCoroutineState(const std::shared_ptr<ScriptCallable>& callable,
                                                         const Variable* args, size_t count);
    bool executeCoroutineTurn(CoroutineState& state);
    bool executeCoroutineLine(CoroutineState& state);
    void advanceCoroutineLoop(CoroutineState& state);
    void pushCoroutineBlockFrame(CoroutineState& state, size_t first, size_t end);
    void popCoroutineBlockFrame(CoroutineState& state);
    void popCoroutineLoopFrame(CoroutineState& state);
    void swapExecutionContext(CoroutineState& state);
    friend struct CoroutineState;

    // Fast expression evaluation.
    bool tryScalarNode(const FastExpression& expr, int32_t node, const ParsedScriptLine& line,
                       FastScalarValue& out);
    bool tryScalarAt(const FastExpression& expr, int32_t node, const ParsedScriptLine& line,
                     FastScalarValue& out) {
        const int16_t index = expr.nodes[node].scalarCode;
        if (index < 0) return tryScalarNode(expr, node, line, out);
        const ScalarCode& code = expr.scalarCodes[index];
        const ScalarInstruction* first = code.instructions.data();
        switch (code.form) {
        case ScalarCode::Form::Leaf:
            return loadScalarLeaf(expr, *first, out);
        case ScalarCode::Form::Binary:
            return runScalarBinary(expr, line, *first, out);
        case ScalarCode::Form::Element:
            return loadScalarElement(expr, *first, out);
        case ScalarCode::Form::Code:
            return runScalarCode(expr, line, first, out);
        default:
            return tryScalarNode(expr, node, line, out);
        }
    }
    bool runScalarCode(const FastExpression& expr, const ParsedScriptLine& line,
                       const ScalarInstruction* code, FastScalarValue& out);
    bool loadScalarOperand(const FastExpression& expr, const uint64_t* regs, ScalarInstruction::Mode mode,
                           int32_t value, uint64_t& to);
    // An expression that is one name or constant (a constant's mode is its
    // kind), without the runner's frame.
    bool loadScalarLeaf(const FastExpression& expr, const ScalarInstruction& in, FastScalarValue& out) {
        if (in.aMode <= ScalarInstruction::Mode::BoolConst) {
            out.kind = static_cast<FastScalarValue::Kind>(in.aMode);
            out.i = in.a;
            return true;
        }
        const FastExprNode& n = expr.nodes[in.a];
        const Variable* v = resolveCached(n.nameId, n.resolved);
        if (v) return tryFastScalarFromVariable(*v, out);
        out.kind = FastScalarValue::Nil;
        out.i = 0;
        return true;
    }
    const Variable* scalarElement(const FastExpression& expr, const uint64_t* regs,
                                  const Variable* const* refs, const ScalarInstruction& in);
    bool loadScalarElement(const FastExpression& expr, const ScalarInstruction& in, FastScalarValue& out);
    // A lone operator on names and constants: one small function per
    // operator and pair of operand sources, picked by the instruction's entry.
    using LoneBinary = bool (*)(ScriptEngine& engine, const FastExpression& expr,
                                const ParsedScriptLine& line, const ScalarInstruction& in,
                                FastScalarValue& out);
    template <FastExprNodeKind K, ScalarInstruction::Operand A, ScalarInstruction::Operand B>
    static bool runLoneBinary(ScriptEngine& engine, const FastExpression& expr, const ParsedScriptLine& line,
                              const ScalarInstruction& in, FastScalarValue& out);
    static const LoneBinary loneBinaries[ScalarInstruction::firstOtherEntry];
    bool runScalarBinary(const FastExpression& expr, const ParsedScriptLine& line,
                         const ScalarInstruction& in, FastScalarValue& out) {
        return loneBinaries[in.entry](*this, expr, line, in, out);
    }
    template <ScalarInstruction::Operand C>
    bool loadOperandFrom(const FastExpression& expr, const uint64_t* regs, ScalarInstruction::Mode mode,
                         int32_t value, uint64_t& to);
    template <FastExprNodeKind K, ScalarInstruction::Operand A, ScalarInstruction::Operand B>
    bool scalarBinaryStep(const FastExpression& expr, const ParsedScriptLine& line, const uint64_t* regs,
                          const ScalarInstruction& in, uint64_t& dst);
    [[gnu::noinline]] bool scalarBinaryMixed(const FastExprNode& node, const ParsedScriptLine& line,
                                             uint64_t a, uint64_t b, uint64_t& dst);
    static void buildScalarCode(FastExpression& expr);
    inline bool tryScalarOperand(const FastExpression& expr, int32_t node, const ParsedScriptLine& line,
                                 FastScalarValue& out);
    bool tryScalarBinary(const FastExpression& expr, const FastExprNode& node, const ParsedScriptLine& line,
                         FastScalarValue& out);
    inline bool combineScalars(const FastExprNode& node, const ParsedScriptLine& line,
                               const FastScalarValue& a, const FastScalarValue& b, FastScalarValue& out);
    bool tryScalarMixed(const FastExprNode& node, const ParsedScriptLine& line, const FastScalarValue& a,
                        const FastScalarValue& b, FastScalarValue& out);
    Variable evaluateFastNode(const FastExpression& expr, int32_t node, const ParsedScriptLine& line);
    [[gnu::noinline]] Variable evaluateScalarFirst(const FastExpression& expr, int32_t node,
                                                   const ParsedScriptLine& line);
    Variable evaluateFastNodeBoxed(const FastExpression& expr, const FastExprNode& node,
                                   const ParsedScriptLine& line);
    Variable evaluateFastCall(const FastExpression& expr, const FastExprNode& node,
                              const ParsedScriptLine& line);
    Variable evaluateFastArgument(const FastExpression& expr, int32_t node, const ParsedScriptLine& line);
    Variable scalarOrBoxed(const FastExpression& expr, int32_t node, const ParsedScriptLine& line);
    Variable evaluateOperand(const FastExpression& expr, int32_t node, const ParsedScriptLine& line);
    bool runScalarBuiltin(const FastExpression& expr, const ParsedScriptLine& line, const FastExprNode& node,
                          const uint64_t* args, uint64_t& out);
    bool tryScalarBuiltin(const FastExpression& expr, const FastExprNode& node, const ParsedScriptLine& line,
                          FastScalarValue& out);
    // The callee of a call written as a name or as name['member'], read in
    // place; null for any other form.
    const Variable* peekFastCallee(const FastExpression& expr, const FastCallExpression& call) {
        const FastExprNode& callee = expr.nodes[call.callee];
        if (callee.kind == FastExprNodeKind::Variable) return resolveCached(callee.nameId, callee.resolved);
        return peekMemberCallee(expr, call);
    }
    const Variable* peekMemberCallee(const FastExpression& expr, const FastCallExpression& call);
    const Variable* peekElement(const FastExpression& expr, const FastExprNode& index,
                                const ParsedScriptLine& line);
    const Variable* peekArrayElement(const FastExpression& expr, const FastExprNode& index,
                                     const ParsedScriptLine& line);
    static inline const Variable missingElement{};
    // Set when a scalar evaluation read an element or a length. Such a read
    // stands in for a full evaluation (containers have no scalar form), so a
    // condition judges its result as full values are judged: 0 is true.
    bool scalarReadElement = false;
    [[noreturn]] void rethrowAtToken(const ParsedScriptLine& line, uint16_t token);

    // Calls.
    Variable surfaceTurnError(Variable result);
    Variable runScriptFunction(const ScriptCallable& function, const Variable* args, size_t count);
    Variable callScriptFunction(const ScriptCallable& function, const Variable* args, size_t count);
    Variable callNativeWithVector(const ScriptCallable& function, const Variable* args, size_t count);
    // The numeric math function with this builtin id; null for other ids.
    static NumericFunction numericBuiltin(BuiltinId id);
    // A library builtin runs on the arguments where they lie.
    static Variable dispatchBuiltinFast(const ScriptCallable& builtin, const Variable* args, size_t count) {
        if (builtin.numericFunction) return builtin.numericFunction({args, count});
        return builtin.directFunction({args, count});
    }
    Variable runReturnLine(const ParsedScriptLine& line);
    Variable runGuardedReturnBody(const ScriptCallable& function);
    void evaluateTargetKeys(const ParsedScriptLine& line, const ParsedAssignmentTarget& target,
                            Variable* keys);
    Variable evaluateAssignmentValue(const ParsedScriptLine& line, size_t index);
    void assignToTarget(const ParsedScriptLine& line, const ParsedAssignmentTarget& target,
                        const std::string& op, const Variable& value);

    // Scope stacks keep their popped scopes' storage for reuse, so entering a
    // block allocates nothing once the stack has grown. They count, per name,
    // the entries alive in them, so a lookup skips a stack that cannot hold
    // the name (most names are globals, never bound in a scope).
    struct ScopeStack {
        std::vector<Scope> scopes;
        size_t count = 0;
        std::vector<uint32_t> bindings;
        // The engine whose resolution epoch follows the stack while in use.
        ScriptEngine* owner = nullptr;
        // The lowest index of a scope that gained a binding since a guard
        // last looked; see EpochRestorer.
        size_t lowestAdded = SIZE_MAX;

        enum Change : uint64_t { Pushed, Added, Truncated, Called };
        void changed(uint64_t what, const void* where = nullptr) {
            if (owner) owner->stepResolutionEpoch(this, what, where);
        }
        void push() {
            open();
            changed(Pushed);
        }
        // push and add without moving the epoch, for a caller that moves it
        // once for the whole change.
        void open() {
            if (count == scopes.size()) scopes.emplace_back().reserve(4);
            ++count;
        }
        // Returns the scope's index.
        size_t bind(Scope& scope, uint32_t nameId, const Variable& value) {
            if (nameId >= bindings.size()) bindings.resize(nameId + 1, 0);
            ++bindings[nameId];
            scope.emplace_back(nameId, value);
            const auto index = static_cast<size_t>(&scope - scopes.data());
            lowestAdded = std::min(lowestAdded, index);
            return index;
        }
        void truncate(size_t newCount) {
            if (count > newCount) changed(Truncated | newCount << 8);
            unwindTo(newCount);
        }
        // Truncates without moving the epoch, for guards that settle it themselves.
        void unwindTo(size_t newCount) {
            while (count > newCount) {
                Scope& scope = scopes[--count];
                for (const auto& entry : scope) --bindings[entry.first];
                scope.clear();
            }
        }
        Scope& top() { return scopes[count - 1]; }
        bool mayHold(uint32_t nameId) const { return nameId < bindings.size() && bindings[nameId] != 0; }
        void add(Scope& scope, uint32_t nameId, const Variable& value) {
            const uint64_t index = bind(scope, nameId, value);
            // The scope's index and buffer fix where the new entry lies.
            changed(Added | uint64_t{nameId} << 8 | index << 40, scope.data());
        }
        // Overwrites the entry for the name in `scope`, or adds one.
        void set(Scope& scope, uint32_t nameId, const Variable& value) {
            for (auto& entry : scope)
                if (entry.first == nameId) {
                    entry.second = value;
                    return;
                }
            add(scope, nameId, value);
        }
    };
    friend class EpochRestorer;
    friend class LocalScopeGuard;
    friend class FrameScopeGuard;
    friend class CallGuard;

    struct ScriptCacheEntry {
        int64_t modifiedNs = 0;
        int64_t size = 0;
        uint64_t inode = 0;
        Variable chunk;
    };

    // Error context of the statement being run.
    struct ErrorContext {
        const ParsedScriptLine* line = nullptr;
        std::string_view token;
    };

    std::shared_ptr<ScriptCallable> compileChunk(const std::string& source, const std::string& scriptPath);
    std::shared_ptr<ScriptCallable> makeChunk(std::shared_ptr<BytecodeProgram> program);
    static bool isErrorReport(const char* message);
    [[noreturn]] void rethrowAsReport(const std::exception& error) const;
    void setErrorToken(const std::vector<std::string>& tokens, size_t index) {
        errorContext.token = tokens[index];
    }

    // Globals, indexed by name id: a name's slot never moves.
    std::vector<Variable> globalSlots;
    std::vector<uint8_t> globalDefined;
    std::unordered_map<std::string, NativeFunction> nativeFunctions;

    std::vector<const std::string*> scriptPathStack;
    std::vector<const std::string*> directoryStack;
    std::string confinedFolder; // empty: scripts reach every path
    ErrorContext errorContext;
    // Where the calls that the error being raised has left were made; a new
    // report starts it afresh, so it is refilled while formatting.
    mutable std::vector<std::string> errorCallSites;
    static std::string placeText(const ParsedScriptLine* line, const std::string* path);
    void noteErrorCallSite(std::string site);

    std::vector<int> protectedCallDepths;
    int callDepth = 0;
    bool softErrorPending = false;
    int softErrorDepth = 0;
    std::string softErrorMessage;

    std::unordered_map<std::string, ScriptCacheEntry> scriptFileCache;

    ScopeStack localScopes;
    size_t frameLocalBase = 0;
    ScopeStack frameScopes;
    // Changes whenever a name could resolve differently or a variable could
    // move; values are drawn from one process-wide source, so a cache filled
    // by one engine never validates in another.
    static inline uint64_t epochSource = 0;
    uint64_t resolutionEpoch = ++epochSource;
    // Counts the changes that unwinding scopes does not undo: globals defined
    // or moved, a new frame-local base, a coroutine's stacks swapped.
    uint64_t lastingScopeChanges = 0;
    void scopesChanged() {
        resolutionEpoch = ++epochSource;
        ++lastingScopeChanges;
    }
    // A change of scopes leads from one arrangement of scopes to the same
    // next one each time it is made from the same arrangement: a call
    // binding its parameters again, a loop body its local. Such a change
    // takes the epoch it took before, so the lookups remembered then hold.
    struct EpochStep {
        uint64_t from = 0;
        const ScopeStack* stack = nullptr;
        uint64_t what = 0;
        const void* where = nullptr;
        uint64_t to = 0;
    };
    static constexpr size_t epochStepSlots = 1024;
    std::vector<EpochStep> epochSteps = std::vector<EpochStep>(epochStepSlots);
    void stepResolutionEpoch(const ScopeStack* stack, uint64_t what, const void* where) {
        const size_t slot =
            (resolutionEpoch * 0x9E3779B97F4A7C15ull ^ what ^ reinterpret_cast<uintptr_t>(where) >> 4 ^
             reinterpret_cast<uintptr_t>(stack) >> 3) %
            epochStepSlots;
        EpochStep& step = epochSteps[slot];
        if (step.from == resolutionEpoch && step.stack == stack && step.what == what && step.where == where) {
            resolutionEpoch = step.to;
            return;
        }
        step = {resolutionEpoch, stack, what, where, ++epochSource};
        resolutionEpoch = step.to;
    }
    void setFrameLocalBase(size_t base) {
        if (base != frameLocalBase) scopesChanged();
        frameLocalBase = base;
    }
    std::vector<std::vector<Variable>> varargStack;
    // Line vectors of running programs, so that declared functions can share them.
    std::vector<std::shared_ptr<const ParsedLines>> runningPrograms;
    // Where the outermost script run began on the stack.
    const char* stackBase = nullptr;
    size_t stackBudget = 0; // bytes of stack beneath stackBase that calls may use
    static size_t measureStackBudget();

    // Argument vectors for native calls, one per nesting level, reused so that
    // a call allocates nothing once they have grown. A deque, because a
    // running native holds a reference to its vector while deeper calls grow
    // the pool.
    std::deque<std::vector<Variable>> nativeArgPool;
    size_t nativeArgDepth = 0;
    friend class PooledNativeArgs;

    std::shared_ptr<CoroutineState> scheduledCoroutine;
    std::shared_ptr<CoroutineState> replacementCoroutine;
    std::exception_ptr pendingCoroutineException;
    bool coroutineTurnRunning = false;
    bool coroutineReplaceRequested = false;

    // ---- standard library: private (begin) ----
    void registerCoreLibrary();
    // What each library file contributes: global functions by name, and the
    // members of the library tables by table name.
    struct LibraryParts {
        std::unordered_map<std::string, NativeFunction> globals;
        std::unordered_map<std::string, DirectFunction> directGlobals; // builtins called in place
        std::unordered_map<std::string, TableStorage> tables;
    };
    void addCoreBuiltins(LibraryParts& parts);
    void addContainerBuiltins(LibraryParts& parts);
    void addTableLibrary(LibraryParts& parts);
    void addStringBuiltins(LibraryParts& parts);
    void addPatternBuiltins(LibraryParts& parts);
    void addFormatBuiltins(LibraryParts& parts);
    void addMathBuiltins(LibraryParts& parts);
    void addIoBuiltins(LibraryParts& parts);
    TableCacheEntry& tableCacheEntry(const std::shared_ptr<TableStorage>& table);
    Variable sortContainer(std::span<const Variable> args);

    std::mt19937 randomGenerator;
    std::chrono::steady_clock::time_point startInstant;
    std::unordered_map<const TableStorage*, TableCacheEntry> tableCaches;
    uint64_t tableCacheOperations = 0;
    size_t cachedTableKeys = 0; // keys of the tables that have cache entries, when they were added
    size_t cachedTableKeysAfterPrune = 0;
    uint64_t tableMutations = 0; // any table, any change that markTableMutated hears of
    // ---- standard library: private (end) ----
};
