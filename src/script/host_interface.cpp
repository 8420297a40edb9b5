// How host modules publish functions and values to scripts.
#include "ScriptEngine.h"

#include <algorithm>

// A host function is never a builtin, whatever its name: builtin ids belong
// to the callables the library registers.
void ScriptEngine::pushFunction(const std::string& name, NativeFunction function) {
    publishFunction(name, std::move(function), 0);
}

void ScriptEngine::publishFunction(const std::string& name, NativeFunction function, BuiltinId builtinId) {
    nativeFunctions[name] = function;
    pushVariable(name, makeNativeCallable(std::move(function), name, builtinId));
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
    ScriptCallable callable;
    callable.isNative = true;
    callable.nativeFunction = std::move(function);
    callable.name = name;
    callable.builtinId = builtinId;
    callable.numericFunction = numericBuiltin(builtinId);
    return Variable(std::move(callable));
}

Variable ScriptEngine::makeDirectCallable(DirectFunction function, const std::string& name) {
    Variable callable =
        makeNativeCallable([function](const std::vector<Variable>& args) { return function(args); }, name,
                           builtinIdFromName(name));
    callable.asFunction()->directFunction = std::move(function);
    return callable;
}
// The hot library functions, by the names they are registered under; the
// position in this list (from 1) is the id.
static const char* const builtinNames[] = {
    "assert",        "getTimeMs",   "toString",      "toNumber",    "error",        "pcall",
    "load",          "pairs",       "ipairs",        "next",        "select",       "collectGarbage",
    "len",           "string.len",  "string.upper",  "string.sub",  "string.find",  "string.match",
    "string.gmatch", "string.byte", "string.format", "string.gsub", "table.insert", "table.remove",
    "table.concat",  "table.sort",  "math.floor",    "math.ceil",   "math.abs",     "math.min",
    "math.max",      "math.sin",    "math.cos",      "math.rad",    "math.log",     "math.sqrt",
    "utf8.len"};

BuiltinId ScriptEngine::builtinIdFromName(const std::string& name) {
    if (name.size() < 3 || name.size() > 14) return 0;
    const auto found = std::find(std::begin(builtinNames), std::end(builtinNames), name);
    return found == std::end(builtinNames) ? 0 : static_cast<BuiltinId>(found - std::begin(builtinNames) + 1);
}
