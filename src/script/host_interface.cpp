// How host modules publish functions and values to scripts.
#include "ScriptEngine.h"

void ScriptEngine::pushFunction(const std::string& name, NativeFunction function) {
    nativeFunctions[name] = function;
    pushVariable(name, makeNativeCallable(std::move(function), name, builtinIdFromName(name)));
}

void ScriptEngine::pushVariable(const std::string& name, const Variable& value) {
    auto [it, inserted] = globalSlotIndex.try_emplace(name, static_cast<uint32_t>(globalSlots.size()));
    if (inserted) {
        globalSlots.push_back(value);
        globalDefined.push_back(true);
        return;
    }
    if (it->second >= globalSlots.size())
        throw std::runtime_error("Internal slot error while setting variable: " + name);
    globalSlots[it->second] = value;
    globalDefined[it->second] = true;
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
