// The bytecode executor: walks a chunk's instructions; statements on source
// lines run through the ordinary statement machinery.
#include "ScriptEngine.h"

#include "engine_internal.h"

namespace {

template <typename Table> const auto& entryAt(const Table& table, uint32_t index, const char* message) {
    if (index >= table.size()) throw std::runtime_error(message);
    return table[index];
}

} // namespace

Variable ScriptEngine::runBytecode(const BytecodeProgram& program) {
    return runBytecodeProgram(std::make_shared<BytecodeProgram>(program));
}

Variable ScriptEngine::runBytecodeProgram(const std::shared_ptr<BytecodeProgram>& program) {
    BlockSignal signal = BlockSignal::Normal;
    Variable result;
    {
        ProgramStackGuard stacks(scriptPathStack, directoryStack, program->scriptPath,
                                 program->scriptDirectory);
        result = executeBytecodeChunkInternal(program, 0, signal, true);
        rethrowPendingCoroutineException();
    }
    if (signal == BlockSignal::Break) throw std::runtime_error("break used outside a loop");
    return signal == BlockSignal::Return ? result : Variable();
}

Variable ScriptEngine::executeBytecodeChunk(const std::shared_ptr<BytecodeProgram>& program, uint32_t chunk,
                                            BlockSignal& signal) {
    return executeBytecodeChunkInternal(program, chunk, signal, true);
}

// Out of line, so that the bodies without locals, which are most, run
// without a guard's frame.
Variable ScriptEngine::runChunkInScope(const std::shared_ptr<BytecodeProgram>& program,
                                       const BytecodeChunk& chunk, BlockSignal& signal) {
    LocalScopeGuard scope(*this);
    return runChunkInstructions(program, chunk, signal);
}

Variable ScriptEngine::runChunkInstructions(const std::shared_ptr<BytecodeProgram>& program,
                                            const BytecodeChunk& chunk, BlockSignal& signal) {
    signal = BlockSignal::Normal;
    const Instruction* code = program->instructions.data() + chunk.firstInstruction;
    Variable result; // a control instruction's value, which counts only when it ends the chunk
    for (uint32_t i = 0; i < chunk.instructionCount; ++i) {
        rethrowPendingCoroutineException();
        if (shouldAbortForSoftRaisedError()) return {};
        if (runsOneStatement(code[i]))
            executeStatementInstruction(*program, code[i]);
        else
            result = executeInstruction(program, code[i], signal);
        takeCoroutineTurn();
        if (signal != BlockSignal::Normal) return result;
    }
    return {};
}

const ParsedScriptLine& ScriptEngine::bytecodeLine(const BytecodeProgram& program, uint32_t index) {
    const ParsedScriptLine& line = entryAt(program.lines, index, "Bytecode line index out of range");
    enterLine(line);
    return line;
}

Variable ScriptEngine::executeInstruction(const std::shared_ptr<BytecodeProgram>& program,
                                          const Instruction& instruction, BlockSignal& signal) {
    try {
        switch (static_cast<Opcode>(instruction.opcode)) {
        case Opcode::Line:
        case Opcode::AssignName:
            break;
        case Opcode::If:
            return executeBytecodeIf(program, instruction.operand, signal);
        case Opcode::While:
            return executeBytecodeWhile(program, instruction.operand, signal);
        case Opcode::Repeat:
            return executeBytecodeRepeat(program, instruction.operand, signal);
        case Opcode::NumericFor:
            return executeBytecodeNumericFor(program, instruction.operand, signal);
        case Opcode::GenericFor:
            return executeBytecodeGenericFor(program, instruction.operand, signal);
        case Opcode::FunctionDecl:
            executeBytecodeFunctionDecl(program, instruction.operand);
            return {};
        case Opcode::Return: {
            Variable value = executeReturn(bytecodeLine(*program, instruction.operand));
            signal = BlockSignal::Return;
            return value;
        }
        case Opcode::Break:
            bytecodeLine(*program, instruction.operand);
            signal = BlockSignal::Break;
            return {};
        }
    } catch (const std::exception& error) {
        rethrowAsReport(error);
    }
    return {}; // opcodes above the last one do nothing
}

// A `Line` or `AssignName`: one statement, which yields no value.
[[gnu::always_inline]] inline void ScriptEngine::executeStatementInstruction(const BytecodeProgram& program,
                                                                             const Instruction& instruction) {
    try {
        const ParsedScriptLine& line = bytecodeLine(program, instruction.operand);
        if (instruction.opcode == static_cast<uint8_t>(Opcode::AssignName))
            executePlainNameAssignment(line);
        else
            executeSimple(line);
    } catch (const std::exception& error) {
        rethrowAsReport(error);
    }
}

// The branch of an if-group whose body runs, found by evaluating the
// conditions in turn; null when none holds.
[[gnu::always_inline]] inline const BytecodeIfBranch*
ScriptEngine::takenBranch(const BytecodeProgram& program, uint32_t groupIndex) {
    const BytecodeIfGroup& group =
        entryAt(program.ifGroups, groupIndex, "Bytecode if-group index out of range");
    for (const BytecodeIfBranch& branch : group.branches) {
        // Evaluating the condition enters its line.
        const ParsedScriptLine& line =
            entryAt(program.lines, branch.lineIndex, "Bytecode line index out of range");
        if (branch.isElse) enterLine(line);
        if (branch.isElse || evaluateLineCondition(line)) return &branch;
    }
    return nullptr;
}

// After a loop body: true when the loop must stop. A break is consumed here.
bool ScriptEngine::stopsLoop(BlockSignal& signal) {
    if (signal == BlockSignal::Break) {
        signal = BlockSignal::Normal;
        return true;
    }
    return signal == BlockSignal::Return || shouldAbortForSoftRaisedError();
}

// ---------------------------------------------------------------------------
// Control structures

// Inlined by force into the instruction dispatch, as ifs are most of the
// control instructions that run.
[[gnu::always_inline]] inline Variable
ScriptEngine::executeBytecodeIf(const std::shared_ptr<BytecodeProgram>& program, uint32_t groupIndex,
                                BlockSignal& signal) {
    const BytecodeIfBranch* branch = takenBranch(*program, groupIndex);
    if (!branch) return {};
    return executeBytecodeChunkInternal(program, branch->bodyChunk, signal, true);
}

Variable ScriptEngine::executeBytecodeWhile(const std::shared_ptr<BytecodeProgram>& program,
                                            uint32_t loopIndex, BlockSignal& signal) {
    const BytecodeWhileLoop& loop =
        entryAt(program->whileLoops, loopIndex, "Bytecode while-loop index out of range");
    const ParsedScriptLine& line = bytecodeLine(*program, loop.lineIndex);
    while (evaluateLineCondition(line)) {
        Variable result = executeBytecodeChunkInternal(program, loop.bodyChunk, signal, true);
        if (stopsLoop(signal)) return result;
    }
    return {};
}

Variable ScriptEngine::executeBytecodeRepeat(const std::shared_ptr<BytecodeProgram>& program,
                                             uint32_t loopIndex, BlockSignal& signal) {
    const BytecodeRepeatLoop& loop =
        entryAt(program->repeatLoops, loopIndex, "Bytecode repeat-loop index out of range");
    const ParsedScriptLine& until = bytecodeLine(*program, loop.lineIndex);
    if (until.kind != StatementKind::Until)
        throw std::runtime_error("repeat block did not terminate at matching until");
    while (true) {
        // The body's scope stays open while the condition runs, so it can read the body's locals.
        LocalScopeGuard scope(*this);
        Variable result = executeBytecodeChunkInternal(program, loop.bodyChunk, signal, false);
        if (stopsLoop(signal)) return result;
        if (untilConditionHolds(until)) return {};
    }
}

Variable ScriptEngine::executeBytecodeNumericFor(const std::shared_ptr<BytecodeProgram>& program,
                                                 uint32_t loopIndex, BlockSignal& signal) {
    const BytecodeForLoop& loop =
        entryAt(program->numericFors, loopIndex, "Bytecode numeric-for index out of range");
    const ParsedScriptLine& line = bytecodeLine(*program, loop.lineIndex);
    const NumericForClause clause = evaluateNumericForClause(line);
    FrameScopeGuard frame(*this);
    Variable& counter = scopes.frameBinding(pushLoopScope({&line.tokenInfo[1].nameId, 1}), 0);
    for (int64_t i = clause.start; clause.step > 0 ? i <= clause.limit : i >= clause.limit;
         i += clause.step) {
        counter.setPlain(VarType::Int, static_cast<uint32_t>(i));
        Variable result = executeBytecodeChunkInternal(program, loop.bodyChunk, signal, true);
        if (stopsLoop(signal)) return result;
    }
    return {};
}

Variable ScriptEngine::executeBytecodeGenericFor(const std::shared_ptr<BytecodeProgram>& program,
                                                 uint32_t loopIndex, BlockSignal& signal) {
    const BytecodeForLoop& loop =
        entryAt(program->genericFors, loopIndex, "Bytecode generic-for index out of range");
    const ParsedScriptLine& line = bytecodeLine(*program, loop.lineIndex);
    size_t t;
    std::vector<uint32_t> names = parseGenericForNames(line, t);
    std::vector<Variable> items = collectForItems(line, t);
    FrameScopeGuard frame(*this);
    const size_t loopScope = pushLoopScope(names);
    for (const Variable& item : items) {
        bindLoopValues(loopScope, item);
        Variable result = executeBytecodeChunkInternal(program, loop.bodyChunk, signal, true);
        if (stopsLoop(signal)) return result;
    }
    return {};
}

void ScriptEngine::executeBytecodeFunctionDecl(const std::shared_ptr<BytecodeProgram>& program,
                                               uint32_t index) {
    const BytecodeFunctionDecl& decl =
        entryAt(program->functionDecls, index, "Bytecode function-declaration index out of range");
    const ParsedScriptLine& line = bytecodeLine(*program, decl.lineIndex);
    ScriptCallable function;
    FunctionHeader header = parseFunctionHeader(line, function);
    function.program = program;
    function.bodyChunk = decl.bodyChunk;
    // The body lines share the program's lifetime; coroutines walk them.
    function.lines = std::shared_ptr<const ParsedLines>(program, &program->lines);
    function.bodyStart = decl.bodyFirstLine;
    function.bodyEnd = decl.bodyEndLine;
    function.scriptPath = decl.scriptPath;
    function.directory = decl.scriptDirectory;
    storeFunction(line, header, Variable(std::move(function)));
}

// A number is computed without boxing and written in place; any other value
// is computed in full.
void ScriptEngine::executePlainNameAssignment(const ParsedScriptLine& line) {
    if (!line.plainNameAssignment) return executeSimple(line);
    const CompiledExpression& value = line.compiledValues[0];
    const ParsedAssignmentTarget& assigned = line.assignmentTargets[0];
    const uint32_t nameId = line.tokenInfo[assigned.nameIndex].nameId;
    ScalarValue scalar;
    if (value.mayBeScalar() && scalarValueOf(value, value.root, line, scalar)) {
        setErrorToken(line.tokens, value.nodes[value.root].errorToken);
        if (Variable* target = resolveVariableId(nameId)) return assignScalar(*target, scalar);
        return assignVariableId(nameId, scalarToVariable(scalar), ScopeTarget::Default);
    }
    Variable result = firstValue(evaluateNode(value, value.root, line));
    setErrorToken(line.tokens, value.nodes[value.root].errorToken);
    if (Variable* target = resolveVariableId(nameId))
        *target = std::move(result);
    else
        assignVariableId(nameId, result, ScopeTarget::Default);
}
