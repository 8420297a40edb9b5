// The engine's one cooperative coroutine: a `decay function` body that
// advances one plain statement after each statement of the main program. Its
// body runs on the same step list as a call of it would, stopping after each
// statement at a place the coroutine keeps.
#include "ScriptEngine.h"

#include "engine_internal.h"

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
    std::vector<ScriptEngine::LoopState> loopStates;
    size_t loopStatesUsed = 0;
    ScriptEngine::StepPlace place; // in the body's step list
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
    std::swap(loopStates, state.loopStates);
    std::swap(loopStatesUsed, state.loopStatesUsed);
}

std::shared_ptr<CoroutineState> ScriptEngine::createCoroutineState(const Variable& function, Variable* args,
                                                                   size_t count) {
    auto state = std::make_shared<CoroutineState>();
    state->function = function;
    const ScriptCallable& callable = state->callable();
    enterCall(state->scopes, state->varargStack, callable, args, count);
    if (!callable.directory.empty()) state->directoryStack.push_back(&callable.directory);
    if (!callable.scriptPath.empty()) state->scriptPathStack.push_back(&callable.scriptPath);
    // The body's locals live in the state's first block scope.
    state->scopes.push(Scopes::Local);
    state->place.locals = state->scopes.count(Scopes::Local);
    state->place.frames = state->scopes.count(Scopes::Frame);
    return state;
}

// A turn that replaces the coroutine (or stops it, with none) ends there,
// and the replacement takes effect once the turn is over.
Variable ScriptEngine::scheduleCoroutine(std::shared_ptr<CoroutineState> state) {
    if (coroutineTurnRunning) {
        replacementCoroutine = std::move(state);
        coroutineReplaceRequested = true;
        throw CoroutineTerminated{};
    }
    scheduledCoroutine = std::move(state);
    return {};
}

Variable ScriptEngine::startCoroutine(const Variable& function, Variable* args, size_t count) {
    return scheduleCoroutine(createCoroutineState(function, args, count));
}

Variable ScriptEngine::killFunction(const std::vector<Variable>& args) {
    if (!args.empty()) throw std::runtime_error("kill() takes no arguments");
    return scheduleCoroutine(nullptr);
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
        finished = executeCoroutineTurn(state->callable(), state->place);
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
