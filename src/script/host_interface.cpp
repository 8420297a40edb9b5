// How host modules publish functions and values to scripts.
#include "ScriptEngine.h"

void ScriptEngine::pushFunction(const std::string& name, NativeFunction function) {
    nativeFunctions[name] = function;
    pushVariable(name, makeNativeCallable(std::move(function), name, builtinIdFromName(name)));
}

void ScriptEngine::pushVariable(const std::string& name, const Variable& value) {
    uint32_t id = internName(name);
    if (id >= globalSlots.size()) {
        globalSlots.resize(id + 1);
        globalDefined.resize(id + 1, 0);
    }
    globalSlots[id] = value;
    globalDefined[id] = 1;
}

Variable ScriptEngine::pullVariable(const std::string& name) {
    const Variable* found = resolveVariablePtr(name);
    if (!found) throw std::runtime_error("Variable not found: " + name);
    return *found;
}

Variable ScriptEngine::makeNativeCallable(NativeFunction function, const std::string& name,
                                          BuiltinId builtinId) {
    auto callable = std::make_shared<ScriptCallable>();
    callable->isNative = true;
    callable->nativeFunction = std::move(function);
    callable->name = name;
    callable->builtinId = builtinId;
    return Variable(std::move(callable));
}

Variable ScriptEngine::createNativeCallable(NativeFunction function, std::string name, BuiltinId builtinId) {
    return makeNativeCallable(std::move(function), name, builtinId);
}
BuiltinId ScriptEngine::builtinIdFromName(const std::string&) {
    return 0;
}
