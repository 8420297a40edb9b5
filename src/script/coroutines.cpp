// The engine's one cooperative coroutine: a `decay function` body that
// advances one plain statement after each statement of the main program.
#include "ScriptEngine.h"

#include "engine_internal.h"

// One level of structured execution inside the coroutine.
struct CoroutineFrame {
    enum Kind : uint8_t { Block, While, Repeat, NumericFor, GenericFor };
    Kind kind = Block;
    size_t line = 0; // block: next line to run; loop: its header (or until) line
    size_t end = 0;  // block: one past its last line; loop: its closing line
    size_t scopeDepth = 0;
    bool ownsScope = false;
    // A repeat body's block evaluates the until line before its scope goes.
    size_t untilLine = ~size_t{0};
    // Loop state.
    bool started = false;
    bool untilMet = false;
    int64_t counter = 0, limit = 0, step = 0;
    size_t loopScopeDepth = 0;
    std::vector<Variable> rows;
    size_t row = 0;
};

// The coroutine's own copy of every per-execution stack of the engine,
// swapped in for the length of a turn.
struct CoroutineState {
    Variable function; // the coroutine function, held for as long as the state lives
    const ScriptCallable& callable() const { return *function.asFunction(); }
    Scopes scopes;
    std::vector<const std::string*> scriptPathStack;
    std::vector<const std::string*> directoryStack;
    std::vector<std::vector<Variable>> varargStack;
    std::vector<int> protectedCallDepths;
    int callDepth = 0;
    bool softErrorPending = false;
    int softErrorDepth = 0;
    std::string softErrorMessage;
    std::vector<CoroutineFrame> frames;
};

void ScriptEngine::swapExecutionContext(CoroutineState& state) {
    std::swap(scopes, state.scopes);
    std::swap(scriptPathStack, state.scriptPathStack);
    std::swap(directoryStack, state.directoryStack);
    std::swap(varargStack, state.varargStack);
    std::swap(protectedCallDepths, state.protectedCallDepths);
    std::swap(callDepth, state.callDepth);
    std::swap(softErrorPending, state.softErrorPending);
    std::swap(softErrorDepth, state.softErrorDepth);
    std::swap(softErrorMessage, state.softErrorMessage);
}

std::shared_ptr<CoroutineState> ScriptEngine::createCoroutineState(const Variable& function,
                                                                   const Variable* args, size_t count) {
    auto state = std::make_shared<CoroutineState>();
    state->function = function;
    const ScriptCallable& callable = state->callable();
    enterCall(state->scopes, state->varargStack, callable, args, count);
    if (!callable.directory.empty()) state->directoryStack.push_back(&callable.directory);
    if (!callable.scriptPath.empty()) state->scriptPathStack.push_back(&callable.scriptPath);
    // The body's frame owns the state's first block scope.
    state->frames.push_back({});
    CoroutineFrame& body = state->frames.back();
    body.line = callable.bodyStart;
    body.end = callable.bodyEnd;
    body.ownsScope = true;
    state->scopes.push(Scopes::Local);
    return state;
}

Variable ScriptEngine::startCoroutine(const Variable& function, const Variable* args, size_t count) {
    std::shared_ptr<CoroutineState> state = createCoroutineState(function, args, count);
    if (coroutineTurnRunning) {
        replacementCoroutine = std::move(state);
        coroutineReplaceRequested = true;
        throw CoroutineTerminated{};
    }
    scheduledCoroutine = std::move(state);
    return {};
}

Variable ScriptEngine::killFunction(const std::vector<Variable>& args) {
    if (!args.empty()) throw std::runtime_error("kill() takes no arguments");
    if (coroutineTurnRunning) {
        replacementCoroutine.reset();
        coroutineReplaceRequested = true;
        throw CoroutineTerminated{};
    }
    scheduledCoroutine.reset();
    return {};
}

void ScriptEngine::rethrowCoroutineException() {
    std::exception_ptr pending = std::move(pendingCoroutineException);
    pendingCoroutineException = nullptr;
    std::rethrow_exception(pending);
}

void ScriptEngine::serviceScheduledCoroutineTurnNoThrow() {
    if (coroutineTurnRunning || !scheduledCoroutine || pendingCoroutineException) return;
    try {
        serviceScheduledCoroutineTurn();
    } catch (...) {
        if (!pendingCoroutineException) pendingCoroutineException = std::current_exception();
    }
}

void ScriptEngine::serviceScheduledCoroutineTurn() {
    if (!scheduledCoroutine) return;
    std::shared_ptr<CoroutineState> state = scheduledCoroutine;
    coroutineTurnRunning = true;
    coroutineReplaceRequested = false;
    replacementCoroutine.reset();
    const ErrorContext savedContext = errorContext;
    errorContext = {};
    swapExecutionContext(*state);
    auto restore = [&] {
        swapExecutionContext(*state);
        errorContext = savedContext;
        coroutineTurnRunning = false;
    };

    bool finished = false;
    try {
        finished = executeCoroutineTurn(*state);
    } catch (const CoroutineTerminated&) {
        coroutineReplaceRequested = true;
    } catch (...) {
        restore();
        replacementCoroutine.reset();
        if (scheduledCoroutine == state) scheduledCoroutine.reset();
        throw;
    }
    restore();
    if (coroutineReplaceRequested) {
        if (replacementCoroutine)
            scheduledCoroutine = std::move(replacementCoroutine);
        else if (scheduledCoroutine == state)
            scheduledCoroutine.reset();
    } else if (finished && scheduledCoroutine == state) {
        scheduledCoroutine.reset();
    }
    coroutineReplaceRequested = false;
    replacementCoroutine.reset();
}

// ---------------------------------------------------------------------------
// Frames

void ScriptEngine::pushCoroutineBlockFrame(CoroutineState& state, size_t first, size_t end) {
    CoroutineFrame frame;
    frame.line = first;
    frame.end = end;
    frame.scopeDepth = scopes.count(Scopes::Local);
    frame.ownsScope = true;
    scopes.push(Scopes::Local);
    state.frames.push_back(std::move(frame));
}

void ScriptEngine::popCoroutineBlockFrame(CoroutineState& state) {
    if (state.frames.empty()) return;
    const CoroutineFrame& frame = state.frames.back();
    if (frame.ownsScope) scopes.truncate(Scopes::Local, frame.scopeDepth);
    state.frames.pop_back();
}

void ScriptEngine::popCoroutineLoopFrame(CoroutineState& state) {
    if (state.frames.empty()) return;
    scopes.truncate(Scopes::Frame, state.frames.back().loopScopeDepth);
    popCoroutineBlockFrame(state);
}

// ---------------------------------------------------------------------------
// Turns: the swapped-in context is the coroutine's during all of these.

bool ScriptEngine::executeCoroutineTurn(CoroutineState& state) {
    while (!state.frames.empty()) {
        CoroutineFrame& frame = state.frames.back();
        if (frame.kind != CoroutineFrame::Block) {
            advanceCoroutineLoop(state);
            continue;
        }
        if (frame.line < frame.end) {
            if (executeCoroutineLine(state)) return state.frames.empty();
            continue;
        }
        if (frame.untilLine != ~size_t{0}) {
            const ParsedScriptLine& until = (*state.callable().lines)[frame.untilLine];
            state.frames[state.frames.size() - 2].untilMet = untilConditionHolds(until);
        }
        popCoroutineBlockFrame(state);
    }
    return true;
}

// Re-evaluates the loop on top once its body block has ended (or before the
// first pass), entering the body again or leaving the loop.
void ScriptEngine::advanceCoroutineLoop(CoroutineState& state) {
    CoroutineFrame& loop = state.frames.back();
    const ParsedLines& lines = *state.callable().lines;
    bool again = false;
    size_t bodyFirst = loop.line + 1, bodyEnd = loop.end, untilLine = ~size_t{0};
    switch (loop.kind) {
    case CoroutineFrame::While:
        again = evaluateLineCondition(lines[loop.line]);
        break;
    case CoroutineFrame::Repeat:
        again = !loop.started || !loop.untilMet;
        loop.started = true;
        untilLine = loop.end;
        bodyFirst = loop.line;
        break;
    case CoroutineFrame::NumericFor:
        if (scopes.count(Scopes::Frame) <= loop.loopScopeDepth)
            throwError("numeric for loop scope is missing", "");
        again = loop.step > 0 ? loop.counter <= loop.limit : loop.counter >= loop.limit;
        if (again) {
            scopes.frameBinding(loop.loopScopeDepth, 0) = Variable(static_cast<int32_t>(loop.counter));
            loop.counter += loop.step;
        }
        break;
    case CoroutineFrame::GenericFor:
        if (scopes.count(Scopes::Frame) <= loop.loopScopeDepth)
            throwError("generic for loop scope is missing", "");
        again = loop.row < loop.rows.size();
        if (again) bindLoopValues(loop.loopScopeDepth, loop.rows[loop.row++]);
        break;
    default:
        break;
    }
    if (!again) return popCoroutineLoopFrame(state);
    pushCoroutineBlockFrame(state, bodyFirst, bodyEnd);
    state.frames.back().untilLine = untilLine;
}

// Declares the function at line `index` of the coroutine's program, as the
// program itself would; returns the line of its `end`.
size_t ScriptEngine::declareCoroutineFunction(const std::shared_ptr<BytecodeProgram>& program, size_t index) {
    const auto& decls = program->functionDecls;
    const auto decl = std::find_if(decls.begin(), decls.end(),
                                   [&](const BytecodeFunctionDecl& d) { return d.lineIndex == index; });
    if (decl == decls.end()) throw std::runtime_error("Coroutine function declaration is not in its program");
    executeBytecodeFunctionDecl(program, static_cast<uint32_t>(decl - decls.begin()));
    return decl->bodyEndLine;
}

// Runs the line at the top block frame. True when the turn ends: a plain
// statement ran, or the coroutine finished.
bool ScriptEngine::executeCoroutineLine(CoroutineState& state) {
    CoroutineFrame& frame = state.frames.back();
    const ParsedLines& lines = *state.callable().lines;
    if (frame.line >= lines.size()) throwError("Coroutine line index out of range", "");
    const size_t index = frame.line;
    const ParsedScriptLine& line = lines[index];
    if (line.kind == StatementKind::Empty) {
        ++frame.line;
        return false;
    }
    enterLine(line);
    try {
        auto enterLoop = [&](CoroutineFrame::Kind kind, size_t header, size_t close) {
            frame.line = close + 1;
            CoroutineFrame loop;
            loop.kind = kind;
            loop.line = header;
            loop.end = close;
            loop.scopeDepth = scopes.count(Scopes::Local);
            loop.loopScopeDepth = scopes.count(Scopes::Frame);
            state.frames.push_back(std::move(loop));
            return &state.frames.back();
        };
        switch (line.kind) {
        case StatementKind::ElseIf:
        case StatementKind::Else:
        case StatementKind::End:
        case StatementKind::Until:
            ++frame.line;
            return false;
        case StatementKind::If: {
            if (line.endIndex == NoLineIndex) throw std::runtime_error("Missing 'end' for if block");
            const size_t chainEnd = line.endIndex;
            size_t clause = index;
            while (clause != NoLineIndex && clause < chainEnd) {
                const ParsedScriptLine& branch = lines[clause];
                if (branch.kind == StatementKind::Else || evaluateLineCondition(branch)) break;
                clause = branch.nextBranchIndex;
            }
            frame.line = chainEnd + 1;
            if (clause == NoLineIndex || clause >= chainEnd) return false;
            uint64_t next = lines[clause].nextBranchIndex;
            size_t bodyEnd = next == NoLineIndex || next > chainEnd ? chainEnd : static_cast<size_t>(next);
            if (clause + 1 < bodyEnd) pushCoroutineBlockFrame(state, clause + 1, bodyEnd);
            return false;
        }
        case StatementKind::While:
            enterLoop(CoroutineFrame::While, index, findMatchingEnd(lines, index + 1));
            return false;
        case StatementKind::Repeat: {
            size_t until = findMatchingUntil(lines, index + 1);
            if (lines[until].kind != StatementKind::Until)
                throw std::runtime_error("repeat block did not terminate at matching until");
            enterLoop(CoroutineFrame::Repeat, index + 1, until);
            return false;
        }
        case StatementKind::For: {
            if (isNumericFor(line)) {
                NumericForClause clause = evaluateNumericForClause(line);
                CoroutineFrame* loop =
                    enterLoop(CoroutineFrame::NumericFor, index, findMatchingEnd(lines, index + 1));
                loop->counter = clause.start;
                loop->limit = clause.limit;
                loop->step = clause.step;
                pushLoopScope({&line.tokenInfo[1].nameId, 1});
            } else {
                size_t t;
                std::vector<uint32_t> names = parseGenericForNames(line, t);
                size_t close = findMatchingEnd(lines, index + 1);
                std::vector<Variable> rows = collectForItems(line, t);
                CoroutineFrame* loop = enterLoop(CoroutineFrame::GenericFor, index, close);
                loop->rows = std::move(rows);
                pushLoopScope(names);
            }
            return false;
        }
        case StatementKind::FunctionDecl:
        case StatementKind::DecayFunctionDecl:
        case StatementKind::NativeFunctionDecl:
        case StatementKind::LocalFunctionDecl:
            frame.line = declareCoroutineFunction(state.callable().program, index) + 1;
            return false;
        case StatementKind::Return:
            state.frames.clear();
            return true;
        case StatementKind::Break: {
            while (!state.frames.empty() && state.frames.back().kind == CoroutineFrame::Block)
                popCoroutineBlockFrame(state);
            if (state.frames.empty()) throw std::runtime_error("break used outside a loop");
            popCoroutineLoopFrame(state);
            return false;
        }
        default:
            executeSimple(line);
            if (shouldAbortForSoftRaisedError()) {
                state.frames.clear();
                return true;
            }
            ++state.frames.back().line;
            return true;
        }
    } catch (const std::exception& error) {
        rethrowAsReport(error);
    }
}
