// The bytecode executor: runs a chunk's step list in one loop; statements on
// source lines run through the ordinary statement machinery. A call of a
// script function runs its body's steps here too, in the call's own frame.
#include "ScriptEngine.h"

#include "engine_internal.h"

Variable ScriptEngine::runBytecode(const BytecodeProgram& program) {
    return runBytecodeProgram(std::make_shared<BytecodeProgram>(program));
}

Variable ScriptEngine::runBytecodeProgram(const std::shared_ptr<BytecodeProgram>& program) {
    // An outermost run, from a script text or from a host's program, measures
    // the stack its calls may use from where it starts.
    if (callDepth == 0) {
        static const size_t budget = measureStackBudget(); // after main has raised the limit
        stackBase = static_cast<const char*>(__builtin_frame_address(0));
        stackBudget = budget;
    }
    BlockSignal signal = BlockSignal::Normal;
    Variable result;
    {
        ProgramStackGuard stacks(scriptPathStack, directoryStack, program->scriptPath,
                                 program->scriptDirectory);
        result = runChunk(program, 0, signal, true);
        rethrowPendingCoroutineException();
    }
    if (signal == BlockSignal::Break) throw std::runtime_error("break used outside a loop");
    return signal == BlockSignal::Return ? result : Variable();
}

// The indexes a step holds were checked as its list was laid out.
const ParsedScriptLine& ScriptEngine::bytecodeLine(const BytecodeProgram& program, uint32_t index) {
    const ParsedScriptLine& line = program.lines[index];
    enterLine(line);
    return line;
}

// The place in its group of the if-branch whose body runs, found by
// evaluating the conditions in turn; -1 when none holds. Inlined by force
// into the step loop, as ifs are most of the control steps that run.
[[gnu::always_inline]] inline int ScriptEngine::takenBranch(const BytecodeProgram& program,
                                                            uint32_t groupIndex) {
    const std::vector<BytecodeIfBranch>& branches = program.ifGroups[groupIndex].branches;
    for (const BytecodeIfBranch& branch : branches) {
        // Evaluating the condition enters its line.
        const ParsedScriptLine& line = program.lines[branch.lineIndex];
        if (branch.isElse) enterLine(line);
        if (branch.isElse || evaluateLineCondition(line)) return static_cast<int>(&branch - branches.data());
    }
    return -1;
}

// What a run opened, closed however it ends: its loops' state slots and the
// scopes its blocks and loops pushed.
class StepRun {
  public:
    StepRun(ScriptEngine& engine, uint32_t slots)
        : engine_(engine), locals_(engine.scopes.count(Scopes::Local)),
          frames_(engine.scopes.count(Scopes::Frame)), firstSlot_(engine.loopStatesUsed), slots_(slots) {
        engine.loopStatesUsed += slots;
        if (engine.loopStates.size() < engine.loopStatesUsed) engine.loopStates.resize(engine.loopStatesUsed);
    }
    ~StepRun() {
        for (size_t i = 0; i < slots_; ++i) engine_.loopStates[firstSlot_ + i].release();
        engine_.loopStatesUsed = firstSlot_;
        engine_.scopes.truncate(Scopes::Local, locals_);
        engine_.scopes.truncate(Scopes::Frame, frames_);
    }
    StepRun(const StepRun&) = delete;
    StepRun& operator=(const StepRun&) = delete;
    size_t firstSlot() const { return firstSlot_; }

  private:
    ScriptEngine& engine_;
    size_t locals_, frames_, firstSlot_, slots_;
};

// Starts a for loop's pass `next`, when the loop has it: the counter, or the
// loop names from the item, take its value. Inlined by force, as every pass
// of every for loop runs it.
[[gnu::always_inline]] inline bool ScriptEngine::enterPass(LoopState& loop) {
    if (loop.step > 0 ? loop.next > loop.limit : loop.next < loop.limit) return false;
    if (loop.counter)
        loop.counter->setPlain(VarType::Int, static_cast<uint32_t>(loop.next));
    else
        bindLoopValues(loop.scope, loop.items[static_cast<size_t>(loop.next)]);
    return true;
}

// Each instruction ends with a coroutine turn, a block's end counting as the
// end of the instruction that holds it; so an instruction leaving blocks
// takes one turn for each. An error is reported at the instruction it came
// from, except a pending coroutine error taken up between the chunk's own
// instructions, which its caller reports. Inlined by force into the chunk
// run, so that a call's body runs in the call's own frame.
template <bool InTurn>
[[gnu::always_inline]] inline Variable ScriptEngine::runSteps(const std::shared_ptr<BytecodeProgram>& program,
                                                              const StepList& list, StepPlace& place,
                                                              BlockSignal& signal) {
    const size_t locals = place.locals, frames = place.frames;
    auto slot = [&](uint32_t n) -> LoopState& { return loopStates[place.firstSlot + n]; };
    const Step* const steps = list.steps.data();
    // Closes the scopes opened after the place of `step`.
    auto closeScopesTo = [&](const Step& step) {
        scopes.truncate(Scopes::Local, locals + step.locals);
        scopes.truncate(Scopes::Frame, frames + step.frames);
    };
    // Leaves a loop for the step after it, taking the turns of the blocks left.
    auto leaveLoop = [&](uint32_t turns, uint32_t exit) {
        takeCoroutineTurns(turns);
        closeScopesTo(steps[exit]);
        return steps + exit;
    };
    signal = BlockSignal::Normal;
    bool reported = true;
    try {
        for (const Step* s = steps + place.next;;) {
            if (s->op <= StepOp::Break) {
                if (pendingCoroutineException) {
                    reported = s->level > 0;
                    rethrowCoroutineException();
                }
                if (shouldAbortForSoftRaisedError()) {
                    s = steps + s->blockEnd;
                    continue;
                }
            }
            switch (s->op) {
            case StepOp::Line: {
                executeSimple(bytecodeLine(*program, s->a));
                if constexpr (InTurn) {
                    place.next = static_cast<uint32_t>(s + 1 - steps);
                    return {};
                }
                takeCoroutineTurn();
                ++s;
                break;
            }
            case StepOp::Nothing:
            case StepOp::Done:
                takeCoroutineTurn();
                ++s;
                break;
            case StepOp::If: {
                const int branch = takenBranch(*program, s->a);
                s = steps + (branch < 0 ? s->c : list.bodies[s->b + branch]);
                break;
            }
            case StepOp::While:
                bytecodeLine(*program, program->whileLoops[s->a].lineIndex);
                ++s;
                break;
            case StepOp::WhileTest:
                s = evaluateLineCondition(program->lines[s->a]) ? s + 1 : steps + s->c;
                break;
            case StepOp::LoopBack:
                s = steps + (shouldAbortForSoftRaisedError() ? s->c : s->a);
                break;
            case StepOp::Repeat: {
                const ParsedScriptLine& until = bytecodeLine(*program, program->repeatLoops[s->a].lineIndex);
                if (until.kind != StatementKind::Until)
                    throw std::runtime_error("repeat block did not terminate at matching until");
                ++s;
                break;
            }
            case StepOp::RepeatScope:
            case StepOp::PushScope:
                scopes.push(Scopes::Local);
                ++s;
                break;
            case StepOp::RepeatUntil: {
                // The body's scope stays open while the condition runs, so it can read the body's locals.
                const bool stop =
                    shouldAbortForSoftRaisedError() || untilConditionHolds(program->lines[s->a]);
                scopes.truncate(Scopes::Local, locals + s->locals);
                s = steps + (stop ? s->c : s->b);
                break;
            }
            case StepOp::NumericFor: {
                const ParsedScriptLine& line = bytecodeLine(*program, program->numericFors[s->a].lineIndex);
                const NumericForClause clause = evaluateNumericForClause(line);
                LoopState& loop = slot(s->b);
                loop.counter = &scopes.frameBinding(pushLoopScope({&line.tokenInfo[1].nameId, 1}), 0);
                loop.next = clause.start;
                loop.limit = clause.limit;
                loop.step = clause.step;
                s = enterPass(loop) ? s + 1 : steps + s->c;
                break;
            }
            case StepOp::GenericFor: {
                const ParsedScriptLine& line = bytecodeLine(*program, program->genericFors[s->a].lineIndex);
                size_t t;
                const std::vector<uint32_t> names = parseGenericForNames(line, t);
                std::vector<Variable> items = collectForItems(line, t);
                LoopState& loop = slot(s->b);
                loop.scope = pushLoopScope(names);
                loop.items = std::move(items);
                loop.next = 0;
                loop.limit = static_cast<int64_t>(loop.items.size()) - 1;
                loop.step = 1;
                loop.counter = nullptr;
                s = enterPass(loop) ? s + 1 : steps + s->c;
                break;
            }
            case StepOp::ForNext: {
                if (shouldAbortForSoftRaisedError()) {
                    s = steps + s->c;
                    break;
                }
                LoopState& loop = slot(s->b);
                loop.next += loop.step;
                s = enterPass(loop) ? steps + s->a : steps + s->c;
                break;
            }
            case StepOp::LoopExit:
                slot(s->b).release();
                closeScopesTo(*s);
                takeCoroutineTurn();
                ++s;
                break;
            case StepOp::FunctionDecl:
                executeBytecodeFunctionDecl(program, s->a);
                takeCoroutineTurn();
                ++s;
                break;
            case StepOp::Return: {
                if constexpr (InTurn) {
                    signal = BlockSignal::Return;
                    return {};
                }
                Variable value = executeReturn(bytecodeLine(*program, s->a));
                signal = BlockSignal::Return;
                takeCoroutineTurns(s->level + 1);
                return value;
            }
            case StepOp::Break:
                bytecodeLine(*program, s->a);
                if (s->c != NoStep) {
                    s = leaveLoop(s->level - steps[s->c].level, s->c);
                    break;
                }
                if constexpr (InTurn) throw std::runtime_error("break used outside a loop");
                signal = BlockSignal::Break;
                takeCoroutineTurns(s->level + 1);
                return {};
            case StepOp::PopScope:
                scopes.truncate(Scopes::Local, locals + s->locals);
                ++s;
                break;
            case StepOp::Jump:
                s = steps + s->a;
                break;
            case StepOp::RunChunk: {
                // Its own run took the turn of its last instruction.
                checkStackDepth();
                BlockSignal inner;
                Variable value = runChunk(program, s->a, inner, s->b != 0);
                if (inner == BlockSignal::Normal) {
                    ++s;
                    break;
                }
                if (inner == BlockSignal::Break && s->c != NoStep) {
                    s = leaveLoop(s->level - 1 - steps[s->c].level, s->c);
                    break;
                }
                signal = inner;
                takeCoroutineTurns(s->level);
                return value;
            }
            case StepOp::Invalid:
            case StepOp::Fail:
                throw std::runtime_error(StepFailures[s->a]);
            case StepOp::End:
                if constexpr (InTurn) signal = BlockSignal::Return;
                return {};
            }
        }
    } catch (const std::exception& error) {
        if (!reported) throw;
        rethrowAsReport(error);
    }
}

// Inlined by force into the calls of script functions, which then need one
// frame less (5% off the recursive game's time), and into runChunk for the
// other runs.
[[gnu::always_inline]] inline Variable
ScriptEngine::runChunkInPlace(const std::shared_ptr<BytecodeProgram>& program, uint32_t chunkIndex,
                              BlockSignal& signal, bool allowScope) {
    if (!program) throw std::runtime_error(StepFailures[BadChunk]);
    const StepList& list = program->steps.of(*program, chunkIndex);
    const StepRun run(*this, list.loopSlots);
    if (allowScope && list.needsScope) scopes.push(Scopes::Local);
    StepPlace place{0, scopes.count(Scopes::Local), scopes.count(Scopes::Frame), run.firstSlot()};
    return runSteps<false>(program, list, place, signal);
}

Variable ScriptEngine::runChunk(const std::shared_ptr<BytecodeProgram>& program, uint32_t chunkIndex,
                                BlockSignal& signal, bool allowScope) {
    return runChunkInPlace(program, chunkIndex, signal, allowScope);
}

// Everything a call changes in the engine, restored on every exit.
class CallGuard {
  public:
    explicit CallGuard(ScriptEngine& engine) : engine_(engine), savedContext_(engine.errorContext) {
        ++engine.callDepth;
    }
    ~CallGuard() {
        --engine_.callDepth;
        engine_.errorContext = savedContext_;
    }
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;

  private:
    ScriptEngine& engine_;
    ScriptEngine::ErrorContext savedContext_;
};

// Inlined by force into the call dispatch, its one caller.
[[gnu::always_inline]] inline Variable ScriptEngine::callScriptFunction(const ScriptCallable& function,
                                                                        Variable* args, size_t count) {
    // The caller's place, for the call list of an error that leaves this call.
    // Its path is read when the error has unwound the call's own paths.
    const ParsedScriptLine* const callerLine = errorContext.line;
    try {
        return runScriptFunction(function, args, count);
    } catch (const std::exception&) {
        noteErrorCallSite(placeText(callerLine, currentScriptPath()));
        throw;
    }
}

// Inlined by force into its one caller, whose frame it then shares.
[[gnu::always_inline]] inline Variable ScriptEngine::runScriptFunction(const ScriptCallable& function,
                                                                       Variable* args, size_t count) {
    const CallFrame frame(*this, function, args, count);
    // The body's locals live in a scope of their own and die with the call.
    BlockSignal signal = BlockSignal::Normal;
    // Only a return leaves a value.
    Variable result = runChunkInPlace(function.program, function.bodyChunk, signal, true);
    if (signal == BlockSignal::Break) throw std::runtime_error("break used outside a loop");
    // An error raised by a coroutine turn taken inside the call surfaces when
    // the call returns, so that a pcall around the call catches it.
    rethrowPendingCoroutineException();
    return result;
}

Variable ScriptEngine::invokeCallable(const Variable& callee, Variable* args, size_t count) {
    CallGuard guard(*this);
    checkStackDepth();
    if (callee.type != VarType::Function)
        throw std::runtime_error(std::string("Attempted to call a non-function value of type ") +
                                 typeName(callee.type));
    const ScriptCallable* function = callee.asFunction();
    if (function->isCoroutineEntry) return startCoroutine(callee, args, count);
    if (function->isNative) {
        Variable result = function->directFunction && !generalPathsOnly
                              ? dispatchBuiltin(*function, args, count)
                              : callNativeWithVector(*function, args, count);
        if (shouldAbortForSoftRaisedError()) return {};
        return result;
    }
    if (function->isChunk) {
        if (count > 0) throw std::runtime_error("Loaded script chunks do not accept call arguments");
        return runBytecodeProgram(function->program);
    }
    return callScriptFunction(*function, args, count);
}

// One turn of the coroutine whose body is `function`'s, from `place`; true
// when the coroutine has ended. Its context is the engine's for the turn,
// loop slots included.
bool ScriptEngine::executeCoroutineTurn(const ScriptCallable& function, StepPlace& place) {
    const std::shared_ptr<BytecodeProgram>& program = function.program;
    const StepList& list = program->steps.of(*program, function.bodyChunk);
    loopStatesUsed = list.loopSlots;
    if (loopStates.size() < loopStatesUsed) loopStates.resize(loopStatesUsed);
    BlockSignal signal;
    runSteps<true>(program, list, place, signal);
    return signal == BlockSignal::Return || shouldAbortForSoftRaisedError();
}

void ScriptEngine::executeBytecodeFunctionDecl(const std::shared_ptr<BytecodeProgram>& program,
                                               uint32_t index) {
    const BytecodeFunctionDecl& decl = program->functionDecls[index];
    const ParsedScriptLine& line = bytecodeLine(*program, decl.lineIndex);
    ScriptCallable function;
    FunctionHeader header = parseFunctionHeader(line, function);
    function.program = program;
    function.bodyChunk = decl.bodyChunk;
    function.scriptPath = decl.scriptPath;
    function.directory = decl.scriptDirectory;
    storeFunction(line, header, Variable(std::move(function)));
}
