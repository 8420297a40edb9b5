// The native side of calls and the stack budget of all calls, and the error
// functions that raise and catch errors.
#include "ScriptEngine.h"

#include "engine_internal.h"

#include <sys/resource.h>

// Lends a native call its argument vector from the engine's pool.
class PooledNativeArgs {
  public:
    PooledNativeArgs(ScriptEngine& engine, const Variable* args, size_t count) : engine_(engine) {
        if (engine.nativeArgDepth == engine.nativeArgPool.size()) engine.nativeArgPool.emplace_back();
        vector_ = &engine.nativeArgPool[engine.nativeArgDepth++];
        vector_->assign(args, args + count);
    }
    ~PooledNativeArgs() {
        vector_->clear();
        --engine_.nativeArgDepth;
    }
    PooledNativeArgs(const PooledNativeArgs&) = delete;
    PooledNativeArgs& operator=(const PooledNativeArgs&) = delete;
    const std::vector<Variable>& vector() const { return *vector_; }

  private:
    ScriptEngine& engine_;
    std::vector<Variable>* vector_;
};

// How much of the thread's stack the interpreter may use before a runaway
// recursion is refused with a script error instead of a crash.
size_t ScriptEngine::measureStackBudget() {
    struct rlimit limit;
    size_t size = 8u << 20;
    if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) size = limit.rlim_cur;
    const size_t reserve = 512u << 10;
    return size > 2 * reserve ? size - reserve : size / 2;
}

void ScriptEngine::throwStackOverflow() {
    throw std::runtime_error("Stack overflow: calls or expressions nested too deeply");
}

Variable ScriptEngine::callNativeWithVector(const ScriptCallable& function, const Variable* args,
                                            size_t count) {
    PooledNativeArgs pooled(*this, args, count);
    return function.nativeFunction(pooled.vector());
}

// ---------------------------------------------------------------------------
// pcall, error, assert, select

Variable ScriptEngine::pcallFunction(std::span<const Variable> args) {
    if (args.empty() || args[0].type != VarType::Function)
        throw std::runtime_error("pcall requires a callable value");
    protectedCallDepths.push_back(callDepth);
    struct PopProtection {
        std::vector<int>& depths;
        ~PopProtection() { depths.pop_back(); }
    } pop{protectedCallDepths};

    const int myDepth = callDepth;
    Variable result;
    try {
        CallArgs copies(args.subspan(1));
        result = invokeCallable(args[0], copies.data(), copies.size());
    } catch (const std::exception& error) {
        errorCallSites.clear();
        if (softErrorPending && softErrorDepth == myDepth) clearSoftRaisedError();
        return makeMulti({Variable(false), Variable(error.what())});
    }
    if (softErrorPending && softErrorDepth == myDepth) {
        Variable message(softErrorMessage);
        clearSoftRaisedError();
        return makeMulti({Variable(false), std::move(message)});
    }
    std::vector<Variable> values{Variable(true)};
    if (result.type == VarType::Multi) {
        const auto& spread = result.asMulti()->values;
        values.insert(values.end(), spread.begin(), spread.end());
    } else {
        values.push_back(std::move(result));
    }
    return makeMulti(std::move(values));
}

Variable ScriptEngine::errorFunction(std::span<const Variable> args) {
    raiseScriptErrorSoft(args.empty() ? std::string("error") : args[0].toString());
    return {};
}

Variable ScriptEngine::assertFunction(std::span<const Variable> args) {
    if (args.empty()) throw std::runtime_error("assert requires at least 1 argument");
    if (isTruthy(args[0])) return args.size() == 1 ? args[0] : makeMulti({args.begin(), args.end()});
    raiseScriptErrorSoft(args.size() > 1 ? args[1].toString() : std::string("assertion failed!"));
    return {};
}

Variable ScriptEngine::selectFunction(std::span<const Variable> args) {
    if (args.size() < 2) throw std::runtime_error("select(index, values...) requires at least 2 arguments");
    if (args[0].type != VarType::Int)
        throw std::runtime_error("select(index, values...) requires an integer index");
    int32_t index = args[0].asInt();
    if (index < 1) throw std::runtime_error("select index must be >= 1");
    const Variable* values = args.data() + 1;
    size_t count = args.size() - 1;
    if (count == 1 && (values[0].type == VarType::Array || values[0].type == VarType::Multi)) {
        const auto& inner =
            values[0].type == VarType::Array ? *values[0].asArray() : values[0].asMulti()->values;
        values = inner.data();
        count = inner.size();
    }
    if (static_cast<size_t>(index) > count) return {};
    if (static_cast<size_t>(index) == count) return values[index - 1];
    return makeMulti(std::vector<Variable>(values + index - 1, values + count));
}
