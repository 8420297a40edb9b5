// The bytecode compiler: statements stay on their source lines; what is
// compiled is the block structure, so that running a program never searches
// for a matching `end`, `else` or `until` again.
#include "ScriptEngine.h"

#include "engine_internal.h"

namespace {

bool declaresLocal(const ParsedScriptLine& line) {
    return line.kind == StatementKind::LocalFunctionDecl ||
           (!line.tokens.empty() && line.tokens[0] == "local");
}

} // namespace

// `name = expression`, one plain name and one value with a compiled form.
bool ScriptEngine::isPlainNameAssignment(const ParsedScriptLine& line) {
    if (line.kind != StatementKind::Simple || line.assignOpIndex == 0 ||
        line.assignScope != ScopeTarget::Default || line.tokens[line.assignOpIndex] != "=" ||
        line.assignmentTargets.size() != 1 || line.valueRanges.size() != 1)
        return false;
    const ParsedAssignmentTarget& target = line.assignmentTargets[0];
    return target.wellFormed && target.indexRanges.empty() && line.compiledValues[0].valid;
}

std::shared_ptr<BytecodeProgram> ScriptEngine::compileToBytecode(const std::string& source) {
    // Compiling happens inside a running statement whose error context must survive it.
    struct RestoreContext {
        ErrorContext& context;
        ErrorContext saved;
        ~RestoreContext() { context = saved; }
    } restore{errorContext, errorContext};
    auto program = std::make_shared<BytecodeProgram>();
    if (const std::string* directory = currentDirectory()) program->scriptDirectory = *directory;
    if (const std::string* path = currentScriptPath()) program->scriptPath = *path;
    program->lines = parseLines(source);
    program->instructions.reserve(program->lines.size() * 2);
    compileBytecodeChunk(*program, 0, program->lines.size());
    return program;
}

uint32_t ScriptEngine::compileBytecodeChunk(BytecodeProgram& program, size_t first, size_t end) {
    const uint32_t chunkIndex = static_cast<uint32_t>(program.chunks.size());
    program.chunks.push_back({0, 0, true});
    const ParsedLines& lines = program.lines;
    std::vector<Instruction> code;
    bool needsScope = false;

    // Block openers must be closed inside this chunk; the report points at the opener.
    auto closerOf = [&](size_t i, const char* message) {
        uint64_t closer = lines[i].endIndex;
        if (closer == NoLineIndex || closer >= end) {
            enterLine(lines[i]);
            throwError(message, "");
        }
        return static_cast<size_t>(closer);
    };
    auto emit = [&](Opcode op, size_t operand) {
        code.push_back({static_cast<uint8_t>(op), uint32_t(operand), 0});
    };
    // A loop: its body chunk and a table entry naming the line that holds its
    // condition (the `until` line for repeat). Returns the line after it.
    auto compileLoop = [&](size_t opener, const char* missing, std::vector<BytecodeForLoop>& loops,
                           Opcode op) {
        const size_t close = closerOf(opener, missing);
        uint32_t body = compileBytecodeChunk(program, opener + 1, close);
        loops.push_back({uint32_t(op == Opcode::Repeat ? close : opener), body});
        emit(op, loops.size() - 1);
        return close + 1;
    };

    size_t i = first;
    while (i < end) {
        const ParsedScriptLine& line = lines[i];
        if (line.tokens.empty()) {
            ++i;
            continue;
        }
        needsScope = needsScope || declaresLocal(line);
        switch (line.kind) {
        case StatementKind::If: {
            const size_t chainEnd = closerOf(i, "Missing 'end' for if block");
            BytecodeIfGroup group;
            for (size_t clause = i; clause != chainEnd;) {
                if (clause >= end) {
                    enterLine(line);
                    throwError("Invalid if-chain while compiling bytecode", "");
                }
                uint64_t next = lines[clause].nextBranchIndex;
                size_t bodyEnd = next == NoLineIndex ? chainEnd : static_cast<size_t>(next);
                if (bodyEnd > chainEnd) bodyEnd = chainEnd;
                uint32_t body = compileBytecodeChunk(program, clause + 1, bodyEnd);
                group.branches.push_back({uint32_t(clause), body, lines[clause].kind == StatementKind::Else});
                clause = bodyEnd;
            }
            program.ifGroups.push_back(std::move(group));
            emit(Opcode::If, program.ifGroups.size() - 1);
            i = chainEnd + 1;
            break;
        }
        case StatementKind::While:
            i = compileLoop(i, "Missing 'end' for while block", program.whileLoops, Opcode::While);
            break;
        case StatementKind::Repeat:
            i = compileLoop(i, "Missing 'until' for repeat block", program.repeatLoops, Opcode::Repeat);
            break;
        case StatementKind::For: {
            const bool numeric = isNumericFor(line);
            i = compileLoop(i, "Missing 'end' for for block",
                            numeric ? program.numericFors : program.genericFors,
                            numeric ? Opcode::NumericFor : Opcode::GenericFor);
            break;
        }
        case StatementKind::Return:
            emit(Opcode::Return, i++);
            break;
        case StatementKind::Break:
            emit(Opcode::Break, i++);
            break;
        case StatementKind::ElseIf:
        case StatementKind::Else:
        case StatementKind::End:
        case StatementKind::Until:
            ++i;
            break;
        case StatementKind::FunctionDecl:
        case StatementKind::DecayFunctionDecl:
        case StatementKind::NativeFunctionDecl:
        case StatementKind::LocalFunctionDecl: {
            const size_t close = closerOf(i, "Missing 'end' for function block");
            uint32_t body = compileBytecodeChunk(program, i + 1, close);
            program.functionDecls.push_back({uint32_t(i), body, uint32_t(i + 1), uint32_t(close),
                                             program.scriptDirectory, program.scriptPath});
            emit(Opcode::FunctionDecl, program.functionDecls.size() - 1);
            i = close + 1;
            break;
        }
        default:
            emit(isPlainNameAssignment(line) ? Opcode::AssignName : Opcode::Line, i++);
        }
    }

    BytecodeChunk& chunk = program.chunks[chunkIndex];
    chunk.firstInstruction = static_cast<uint32_t>(program.instructions.size());
    chunk.instructionCount = static_cast<uint32_t>(code.size());
    chunk.needsScope = needsScope;
    program.instructions.insert(program.instructions.end(), code.begin(), code.end());
    return chunkIndex;
}
