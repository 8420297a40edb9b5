// The BrumeScript interpreter's engine class. Its member functions are spread
// over the source files of this folder by concern (values, lexer, evaluator,
// executor, ...).
#pragma once

#include "compiled_program.h"
#include "parsed_line.h"
#include "scopes.h"
#include "script_value.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <random>
#include <regex>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

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

// One pattern text compiled once for the life of the process.
struct CompiledGsubPattern {
    std::regex regex;
    size_t groupCount = 0;
};

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
    static bool isTruthy(const Variable& v) { return truthOf(v.type, v.type == VarType::Bool && v.asBool()); }
    static bool variablesEqual(const Variable& a, const Variable& b);
    static int compareVariables(const Variable& a, const Variable& b);
    static Variable performOperation(const Variable& a, char op, const Variable& b);
    // The same for an arithmetic kind (Add to Power), which the compiled forms carry.
    static Variable performOperation(const Variable& a, ExpressionNodeKind op, const Variable& b);
    static Variable performOperation(const Variable& a, const std::string& op, const Variable& b);
    // A comparison or arithmetic operator (Add to GreaterEqual) on full values.
    static Variable applyBinaryOperator(ExpressionNodeKind op, const Variable& a, const Variable& b);
    // Unary minus of a numeric value (callers raise for any other).
    static Variable negateNumber(const Variable& v);
    static std::string keyToString(const Variable& key);
    static int32_t arrayLength(const Variable& v);
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
    static bool namedTableKey(const std::string& token, const TokenAnalysis& analysis, std::string& key);
    static void prepareParsedLines(ParsedLines& lines);
    // From now on, scripts read run on the general paths alone: no
    // precompiled values or returns, flattened scalar code or
    // direct builtin entries. A condition is still decided as a number where
    // it computes to one, by the one scalar attempt both ways share. Set
    // before any script is read; tests run every script both ways.
    static void useGeneralPathsOnly(bool on = true) { generalPathsOnly = on; }

    // Host interface.
    void pushFunction(const std::string& name, NativeFunction function);
    void pushVariable(const std::string& name, const Variable& value);
    Variable pullVariable(const std::string& name);
    static Variable makeNativeCallable(NativeFunction function, const std::string& name, BuiltinId builtinId);
    // A library builtin: callable like any native, and in place by the fast call path.
    static Variable makeDirectCallable(DirectFunction function, const std::string& name);
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

    // Compiled expressions.
    struct ScalarValue {
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
    static CompiledExpression compilePart(const ParsedScriptLine& line, size_t& index,
                                          bool scalarAttempt = !generalPathsOnly);
    static void raiseAfter(CompiledExpression& part, const char* message, size_t at);
    static void mustEndLine(CompiledExpression& part, const ParsedScriptLine& line, size_t at,
                            const char* message);
    static void compileReturnValues(ParsedScriptLine& line);
    static void compileFunctionTargetKeys(ParsedScriptLine& line);
    static void compileNumericForClause(ParsedScriptLine& line);
    static void compileForIterator(ParsedScriptLine& line);
    static void compileAssignment(ParsedScriptLine& line);
    static void compileLineExpressions(ParsedScriptLine& line);
    Variable evaluateCompiled(const CompiledExpression& expr, const ParsedScriptLine& line) {
        Variable result = evaluateNode(expr, expr.root, line);
        // Leave the error context where reading the expression would have left it.
        setErrorToken(line.tokens, expr.nodes[expr.root].errorToken);
        return result;
    }
    // A condition's truth on the fast path: a numeric zero is false there.
    static bool scalarIsTruthy(const ScalarValue& v) {
        switch (v.kind) {
        case ScalarValue::Int:
            return v.i != 0;
        case ScalarValue::Float:
            return v.f != 0.0f;
        case ScalarValue::Bool:
            return v.b != 0;
        default:
            return false;
        }
    }
    // Inlined by force, as is scalarValueOf: both run on every number the
    // compiled forms compute, and left to the compiler they went out of line
    // as the tree evaluator grew (2% more instructions on the recursive and
    // state-machine games).
    [[gnu::always_inline]] static void assignScalar(Variable& slot, const ScalarValue& v) {
        switch (v.kind) {
        case ScalarValue::Int:
            return slot.setPlain(VarType::Int, static_cast<uint32_t>(v.i));
        case ScalarValue::Float:
            return slot.setPlain(VarType::Float, std::bit_cast<uint32_t>(v.f));
        case ScalarValue::Bool:
            return slot.setPlain(VarType::Bool, v.b != 0);
        default:
            return slot.setPlain(VarType::None, 0);
        }
    }
    static Variable scalarToVariable(const ScalarValue& v) {
        Variable value;
        assignScalar(value, v);
        return value;
    }
    // Strings and containers have none; a scalar's kind is its value type.
    static bool hasScalarForm(VarType type) {
        using S = ScalarValue;
        static_assert(S::Nil == static_cast<int>(VarType::None) && S::Int == static_cast<int>(VarType::Int) &&
                      S::Float == static_cast<int>(VarType::Float) &&
                      S::Bool == static_cast<int>(VarType::Bool));
        constexpr uint32_t scalarTypes = 1u << S::Nil | 1u << S::Int | 1u << S::Float | 1u << S::Bool;
        return scalarTypes >> static_cast<uint32_t>(type) & 1;
    }
    static bool scalarFromVariable(const Variable& v, ScalarValue& out) {
        if (!hasScalarForm(v.type)) return false;
        out.kind = static_cast<ScalarValue::Kind>(v.type);
        out.i = static_cast<int32_t>(v.plainBits());
        return true;
    }

    static int classifyBinaryOperator(std::string_view token);
    static bool isStandaloneNotBoundary(std::string_view token);
    Variable getIndexedValue(const Variable& container, const Variable& key);
    static bool tryGetArrayIndex(const Variable& key, int32_t& out);

    // Variables and assignment.
    Variable* resolveVariablePtr(const std::string& name);
    void assignVariable(const std::string& name, const Variable& value, ScopeTarget target);
    // The visible variable: the innermost block-local binding, else the
    // innermost frame binding, else the defined global.
    [[gnu::always_inline]] Variable* resolveVariableId(uint32_t nameId) {
        if (Variable* bound = scopes.find(nameId)) return bound;
        if (nameId < globalDefined.size() && globalDefined[nameId]) return &globalSlots[nameId];
        return nullptr;
    }
    // The visible variable's value; none when no variable has the name.
    [[gnu::always_inline]] Variable valueOfName(uint32_t nameId) {
        const Variable* v = resolveVariableId(nameId);
        return v ? *v : Variable();
    }
    // A declaration binds the name in the innermost scope of its kind.
    template <class Value> void assignVariableId(uint32_t nameId, Value&& value, ScopeTarget target) {
        if (target == ScopeTarget::Default) return assignVisibleVariable(nameId, value);
        const Scopes::Kind kind = target == ScopeTarget::Local ? Scopes::Local : Scopes::Frame;
        if (scopes.count(kind) == 0) scopes.push(kind);
        scopes.set(kind, nameId, std::forward<Value>(value));
    }
    // Sets the visible variable, or defines a global.
    void assignVisibleVariable(uint32_t nameId, const Variable& value);
    void setIndexedValue(Variable& container, const Variable& key, const Variable& value, bool create);
    Variable& getIndexedValueMutable(Variable& container, const Variable& key, bool create);
    void executeAssignment(const ParsedScriptLine& line);

    // Bytecode.
    std::shared_ptr<BytecodeProgram> compileToBytecode(const std::string& source);
    Variable runBytecode(const BytecodeProgram& program);
    Variable runBytecodeProgram(const std::shared_ptr<BytecodeProgram>& program);
    // Runs a chunk's step list; `allowScope` lets it open the scope of its locals.
    Variable runChunk(const std::shared_ptr<BytecodeProgram>& program, uint32_t chunk, BlockSignal& signal,
                      bool allowScope);
    Variable runChunkInPlace(const std::shared_ptr<BytecodeProgram>& program, uint32_t chunk,
                             BlockSignal& signal, bool allowScope);
    std::shared_ptr<BytecodeProgram> compileScriptFile(const std::string& path);
    void saveBytecode(const BytecodeProgram& program, const std::string& path);
    std::shared_ptr<BytecodeProgram> loadBytecode(const std::string& path);
    std::shared_ptr<BytecodeProgram> loadBytecodeFromMemory(const std::string& data, const std::string& path);
    static bool isBytecode(const std::string& data);

    // Coroutines.
    Variable startCoroutine(const Variable& function, Variable* args, size_t count);
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
    // The arguments are the call's own: a script function's parameters take
    // them over, so the caller must not read them after the call.
    Variable invokeCallable(const Variable& callee, Variable* args, size_t count);
    Variable pcallFunction(std::span<const Variable> args);
    Variable errorFunction(std::span<const Variable> args);
    Variable assertFunction(std::span<const Variable> args);
    Variable selectFunction(std::span<const Variable> args);

    // The standard library.
    // Tables walk in the byte-wise order of their key strings (see TableStorage).
    // The # operator and len(): a table's cached numeric length, else arrayLength.
    int32_t lengthOf(const Variable& value);
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

  private:
    Variable varargValues() const;
    Variable bindStringMethod(const std::string& text, const std::string& method);

    // Statements.
    void enterLine(const ParsedScriptLine& line) { errorContext = {&line}; }
    // Evaluates the expression after a line's keyword, which must fill the
    // line; one that computes to a number is decided here.
    bool evaluateLineCondition(const ParsedScriptLine& line) {
        const CompiledExpression& expr = line.compiledExpression;
        if (expr.valid && expr.mayBeScalar()) {
            enterLine(line);
            ScalarValue scalar;
            scalarReadElement = false;
            try {
                if (scalarValueOf(expr, expr.root, line, scalar))
                    return scalarReadElement ? isTruthy(scalarToVariable(scalar)) : scalarIsTruthy(scalar);
            } catch (const std::exception& error) {
                rethrowAsReport(error);
            }
        }
        return evaluateGeneralCondition(line);
    }
    bool evaluateGeneralCondition(const ParsedScriptLine& line);
    // An until line must hold a condition; raises, the line entered, when it does not.
    void requireUntilCondition(const ParsedScriptLine& until);
    bool untilConditionHolds(const ParsedScriptLine& until) {
        requireUntilCondition(until);
        return evaluateLineCondition(until);
    }
    std::vector<Variable> collectForItems(const ParsedScriptLine& line, size_t t);
    // A generic for's iterator value, or the container that pairs or ipairs
    // (`byName`, else 0) walks directly.
    struct ForIterator {
        Variable value;
        uint32_t byName = 0;
    };
    ForIterator forIterator(const ParsedScriptLine& line);
    bool walksContainer(uint32_t nameId);
    bool callsStringWalker(const ParsedScriptLine& line, size_t t);
    void parseParameters(const ParsedScriptLine& line, size_t& t, ScriptCallable& function);
    static bool isBareDeclaration(const ParsedScriptLine& line);
    void checkLineSyntax(const ParsedScriptLine& line);
    bool declareWithoutValue(const ParsedScriptLine& line);
    Variable executeReturn(const ParsedScriptLine& line) {
        if (line.compiledValues.size() == 1) return evaluateCompiled(line.compiledValues[0], line);
        return returnValues(line);
    }
    // A bare `return`, or one of several values.
    Variable returnValues(const ParsedScriptLine& line);
    std::vector<Variable> evaluateParts(const std::vector<CompiledExpression>& parts,
                                        const ParsedScriptLine& line);
    // A statement that is not a block: an assignment, a declaration or a call.
    void executeSimple(const ParsedScriptLine& line) {
        const CompiledExpression& expr = line.compiledExpression;
        if (line.isCall)
            evaluateCall(expr, expr.nodes[expr.root], line);
        else if (line.storeCode < 0 || !runStoreCode(line))
            executeGeneralStatement(line);
    }
    // False, having changed nothing, when the value or target is not a scalar's.
    // A line that has met no scalar a few runs in a row (it stores tables or
    // strings) makes the attempt only once in 256 runs, in case its values
    // change kind: a failed attempt costs a third of a local's store.
    bool runStoreCode(const ParsedScriptLine& line) {
        uint8_t& misses = line.storeMisses;
        if (misses >= settledStoreMisses && ++misses != 0) return false;
        const CompiledExpression& value = line.compiledValues[0];
        const bool stored =
            runScalarCode<false>(value, line, value.scalarCode.data() + line.storeCode).kind !=
            ScalarValue::NoScalar;
        misses = stored ? 0 : misses + 1;
        return stored;
    }
    static constexpr uint8_t settledStoreMisses = 4;
    void executeGeneralStatement(const ParsedScriptLine& line);
    bool stackExhausted() const {
        const char* here = static_cast<const char*>(__builtin_frame_address(0));
        return stackBase && static_cast<size_t>(stackBase - here) > stackBudget;
    }
    [[noreturn]] static void throwStackOverflow();
    void checkStackDepth() const {
        if (stackExhausted()) throwStackOverflow();
    }

    // Bytecode.
    uint32_t compileBytecodeChunk(BytecodeProgram& program, size_t first, size_t end);
    int takenBranch(const BytecodeProgram& program, uint32_t group);
    const ParsedScriptLine& bytecodeLine(const BytecodeProgram& program, uint32_t index);
    void executeBytecodeFunctionDecl(const std::shared_ptr<BytecodeProgram>& program, uint32_t decl);
    // An open for loop: its counter and bounds, or its items (counted through
    // by index) and the scope of its names.
    struct LoopState {
        int64_t next = 0, limit = 0, step = 0;
        Variable* counter = nullptr;
        size_t scope = 0;
        std::vector<Variable> items;
        void release() { std::vector<Variable>().swap(items); }
    };
    bool enterPass(LoopState& loop);
    // Where a run of a step list stands: its next step, and the scopes and
    // loop slots it started on. A coroutine keeps its place between turns.
    struct StepPlace {
        uint32_t next = 0;
        size_t locals = 0, frames = 0, firstSlot = 0;
    };
    // Runs steps from `place`. A turn of the coroutine (`InTurn`) stops after
    // its first statement, keeping its place, and ends the coroutine (signal
    // Return) at the end of the list or at a `return`, which it does not evaluate.
    template <bool InTurn>
    Variable runSteps(const std::shared_ptr<BytecodeProgram>& program, const StepList& list, StepPlace& place,
                      BlockSignal& signal);
    // Tested in line first: most runs have no coroutine, and every return takes turns.
    void takeCoroutineTurns(uint32_t count) {
        if (!scheduledCoroutine) return;
        for (uint32_t i = 0; i < count; ++i) takeCoroutineTurn();
    }
    // The loops of the running chunks, by slot; a run takes the slots above the used ones.
    std::vector<LoopState> loopStates;
    size_t loopStatesUsed = 0;
    friend class StepRun;
    static bool isPlainNameAssignment(const ParsedScriptLine& line);
    static bool isScalarStorable(const ParsedScriptLine& line);
    bool storeScalar(const ParsedScriptLine& line, uint64_t value);
    static bool isLiteralKey(const CompiledExpression& key) {
        return key.valid && key.nodes[key.root].kind == ExpressionNodeKind::StringLiteral;
    }
    Variable* storedTableField(const ParsedScriptLine& line, const ParsedAssignmentTarget& target,
                               uint32_t nameId, bool compound);
    // The array slot or table field of `name[key] = value`; false as storeScalar.
    bool storeScalarElement(const ParsedScriptLine& line, uint64_t value);
    // `slot = value`, or `slot op= value` when `op` is an operator.
    void combineInto(Variable& slot, ExpressionNodeKind op, uint64_t value);
    void combineInPlace(Variable& slot, ExpressionNodeKind op, const Variable& value);
    [[gnu::noinline]] void operateInto(Variable& slot, ExpressionNodeKind op, const Variable& value);
    // Loop headers.
    struct NumericForClause {
        int64_t start, limit, step;
    };
    NumericForClause evaluateNumericForClause(const ParsedScriptLine& line);
    int32_t loopBound(const CompiledExpression& expr, const ParsedScriptLine& line);
    std::vector<uint32_t> parseGenericForNames(const ParsedScriptLine& line, size_t& t);
    static size_t readGenericForNames(const ParsedScriptLine& line, std::vector<uint32_t>& names);
    size_t pushLoopScope(std::span<const uint32_t> nameIds);
    void bindLoopValues(size_t loopScope, const Variable& item);
    struct FunctionHeader {
        size_t nameIndex = 0;
        std::vector<Variable> keys;
    };
    FunctionHeader parseFunctionHeader(const ParsedScriptLine& line, ScriptCallable& function);
    size_t functionTargetName(const ParsedScriptLine& line) const;
    void readFunctionParameters(const ParsedScriptLine& line, size_t nameIndex, ScriptCallable& function);
    void storeFunction(const ParsedScriptLine& line, const FunctionHeader& header, Variable function);

    // Coroutines.
    std::shared_ptr<CoroutineState> createCoroutineState(const Variable& function, Variable* args,
                                                         size_t count);
    bool executeCoroutineTurn(const ScriptCallable& function, StepPlace& place);
    void swapExecutionContext(CoroutineState& state);
    Variable scheduleCoroutine(std::shared_ptr<CoroutineState> state);
    friend struct CoroutineState;

    // Compiled expression evaluation. A node's value as an unboxed scalar comes
    // from its flattened code when it has some, else from the leaf itself;
    // false when it needs full values, which `evaluateNode` then computes
    // over the same tree.
    [[gnu::always_inline]] bool scalarValueOf(const CompiledExpression& expr, int32_t node,
                                              const ParsedScriptLine& line, ScalarValue& out) {
        const ExpressionNode& n = expr.nodes[node];
        if (n.scalarCode >= 0) {
            out = runScalarCode<false>(expr, line, expr.scalarCode.data() + n.scalarCode);
            return out.kind != ScalarValue::NoScalar;
        }
        if (n.kind == ExpressionNodeKind::IntLiteral) {
            out.kind = ScalarValue::Int, out.i = n.intValue;
            return true;
        }
        if (n.kind != ExpressionNodeKind::Variable) return false;
        const Variable* v = resolveVariableId(n.nameId);
        if (v) return scalarFromVariable(*v, out);
        out.kind = ScalarValue::Nil;
        return true;
    }
    // The value the code computes, of kind NoScalar when it meets a value
    // that has no scalar form; a store's code gives the stored value. Returned
    // whole, so that it comes back in a register. `Wide`: the run of code that
    // needs more registers than the stack's.
    template <bool Wide>
    ScalarValue runScalarCode(const CompiledExpression& expr, const ParsedScriptLine& line,
                              const ScalarInstruction* code);
    // The registers of code nested too deeply for the stack's.
    std::vector<uint64_t> wideRegisters;
    std::vector<const Variable*> wideRefs;
    bool loadScalarOperand(const CompiledExpression& expr, const uint64_t* regs, ScalarInstruction::Mode mode,
                           int32_t value, uint64_t& to);
    const Variable* scalarElement(const CompiledExpression& expr, const uint64_t* regs,
                                  const Variable* const* refs, const ScalarInstruction& in);
    template <ScalarInstruction::Operand C>
    bool loadOperandFrom(const CompiledExpression& expr, const uint64_t* regs, ScalarInstruction::Mode mode,
                         int32_t value, uint64_t& to);
    template <ExpressionNodeKind K, ScalarInstruction::Operand A, ScalarInstruction::Operand B>
    bool scalarBinaryStep(const CompiledExpression& expr, const ParsedScriptLine& line, const uint64_t* regs,
                          const ScalarInstruction& in, uint64_t& dst);
    [[gnu::noinline]] bool scalarBinaryMixed(const ExpressionNode& node, const ParsedScriptLine& line,
                                             uint64_t a, uint64_t b, uint64_t& dst);
    static void buildScalarCode(CompiledExpression& expr);
    static void buildStoreCode(ParsedScriptLine& line);
    Variable evaluateNode(const CompiledExpression& expr, int32_t node, const ParsedScriptLine& line);
    [[gnu::noinline]] Variable evaluateScalarFirst(const CompiledExpression& expr, int32_t node,
                                                   const ParsedScriptLine& line);
    Variable evaluateArrayLiteral(const CompiledExpression& expr, const ContainerLiteral& literal,
                                  const ParsedScriptLine& line);
    Variable evaluateTableLiteral(const CompiledExpression& expr, const ContainerLiteral& literal,
                                  const ParsedScriptLine& line);
    Variable evaluateNodeBoxed(const CompiledExpression& expr, const ExpressionNode& node,
                               const ParsedScriptLine& line);
    [[noreturn]] void raiseSyntaxError(const CompiledExpression& expr, const ExpressionNode& node,
                                       const ParsedScriptLine& line);
    Variable evaluateCall(const CompiledExpression& expr, const ExpressionNode& node,
                          const ParsedScriptLine& line);
    Variable scalarOrBoxed(const CompiledExpression& expr, int32_t node, const ParsedScriptLine& line);
    Variable evaluateElement(const CompiledExpression& expr, const ExpressionNode& node,
                             const ParsedScriptLine& line);
    [[gnu::noinline]] Variable evaluateElementFromValues(const CompiledExpression& expr,
                                                         const ExpressionNode& node,
                                                         const ParsedScriptLine& line);
    Variable evaluateOperand(const CompiledExpression& expr, int32_t node, const ParsedScriptLine& line);
    bool runScalarBuiltin(const CompiledExpression& expr, const ParsedScriptLine& line,
                          const ExpressionNode& node, const uint64_t* args, uint64_t& out);
    Variable negated(const Variable& operand, const ParsedScriptLine& line, const ExpressionNode& node);
    [[gnu::noinline]] uint64_t negatedScalar(uint64_t operand, const ParsedScriptLine& line,
                                             const ExpressionNode& node);
    // The callee of a call written as a name or as name['member'], read in
    // place; null for any other form.
    const Variable* peekCallee(const CompiledExpression& expr, const CallExpression& call) {
        const ExpressionNode& callee = expr.nodes[call.callee];
        if (callee.kind == ExpressionNodeKind::Variable) return resolveVariableId(callee.nameId);
        return peekMemberCallee(expr, call);
    }
    const Variable* peekTableField(const CompiledExpression& expr, const ExpressionNode& n);
    const Variable* peekMemberCallee(const CompiledExpression& expr, const CallExpression& call);
    const Variable* peekElement(const CompiledExpression& expr, const ExpressionNode& index,
                                const ParsedScriptLine& line);
    const Variable* peekOperand(const CompiledExpression& expr, int32_t node, const ParsedScriptLine& line);
    static inline const Variable missingElement{};
    // The element at a 1-based index, `missingElement` outside the array.
    static const Variable* arrayElement(const ArrayStorage& elements, int32_t index) {
        if (index < 1 || static_cast<size_t>(index) > elements.size()) return &missingElement;
        return &elements[index - 1];
    }
    // Set when a scalar evaluation read an element or a length. Such a read
    // stands in for a full evaluation (containers have no scalar form), so a
    // condition judges its result as full values are judged: 0 is true.
    bool scalarReadElement = false;
    static inline bool generalPathsOnly = false;
    [[noreturn]] void rethrowAtToken(const ParsedScriptLine& line, uint32_t token);
    void guardStack(const CompiledExpression& expr, const ParsedScriptLine& line);

    // Calls.
    Variable runScriptFunction(const ScriptCallable& function, Variable* args, size_t count);
    Variable callScriptFunction(const ScriptCallable& function, Variable* args, size_t count);
    Variable callNativeWithVector(const ScriptCallable& function, const Variable* args, size_t count);
    // The numeric math function with this builtin id; null for other ids.
    static NumericFunction numericBuiltin(BuiltinId id);
    // A library builtin runs on the arguments where they lie.
    static Variable dispatchBuiltin(const ScriptCallable& builtin, const Variable* args, size_t count) {
        if (builtin.numericFunction) return builtin.numericFunction({args, count});
        return builtin.directFunction({args, count});
    }
    void evaluateTargetKeys(const ParsedScriptLine& line, const ParsedAssignmentTarget& target,
                            Variable* keys);
    // The line's compound operator, if it has one, combines the value with
    // what the target holds.
    bool assignTableField(const ParsedScriptLine& line, const ParsedAssignmentTarget& target, uint32_t nameId,
                          const Variable& value);
    // A target is a name, with [key] suffixes or none.
    void checkAssignmentTarget(const ParsedScriptLine& line, const ParsedAssignmentTarget& target) const {
        if (!target.wellFormed) throwError("Invalid assignment target", line.tokens[target.nameIndex]);
    }
    void assignToTarget(const ParsedScriptLine& line, const ParsedAssignmentTarget& target, Variable value);

    friend class CallFrame;
    friend class CallGuard;

    struct ScriptCacheEntry {
        int64_t modifiedNs = 0;
        int64_t size = 0;
        uint64_t inode = 0;
        Variable chunk;
    };

    // Error context of the statement being run. The token is kept as its
    // place, not its text: reading the text on every statement would touch
    // the token strings, which a statement that raises no error never reads.
    struct ErrorContext {
        const ParsedScriptLine* line = nullptr;
        const std::vector<std::string>* tokens = nullptr;
        size_t tokenIndex = 0;
        std::string_view token() const {
            return tokens ? std::string_view((*tokens)[tokenIndex]) : std::string_view();
        }
    };

    Variable compileChunk(const std::string& source, const std::string& scriptPath);
    Variable makeChunk(std::shared_ptr<BytecodeProgram> program);
    static bool isErrorReport(const char* message);
    [[noreturn]] void rethrowAsReport(const std::exception& error) const;
    void setErrorToken(const std::vector<std::string>& tokens, size_t index) {
        errorContext.tokens = &tokens;
        errorContext.tokenIndex = index;
    }

    // Globals, indexed by name id.
    std::vector<Variable> globalSlots;
    std::vector<uint8_t> globalDefined;
    std::unordered_map<std::string, NativeFunction> nativeFunctions;

    std::vector<const std::string*> scriptPathStack;
    std::vector<const std::string*> directoryStack;
    // The path and the directory of the script running now; null where it has none.
    const std::string* currentScriptPath() const {
        return scriptPathStack.empty() ? nullptr : scriptPathStack.back();
    }
    const std::string* currentDirectory() const {
        return directoryStack.empty() ? nullptr : directoryStack.back();
    }
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

    Scopes scopes;
    std::vector<std::vector<Variable>> varargStack;
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

    // The standard library.
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
    Variable sortContainer(std::span<const Variable> args);

    std::mt19937 randomGenerator;
    std::chrono::steady_clock::time_point startInstant;
};
