// The global functions every script can call without importing anything.
#include "ScriptEngine.h"

#include <cstdio>

namespace {

Variable printValues(const std::vector<Variable>& args) {
    std::string line;
    for (size_t i = 0; i < args.size(); ++i) {
        if (i) line += ' ';
        line += args[i].toString();
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    return Variable(int32_t{0});
}

} // namespace

ScriptEngine::ScriptEngine() {
    registerCoreLibrary();
}

void ScriptEngine::registerCoreLibrary() {
    auto member = [this](Variable (ScriptEngine::*function)(const std::vector<Variable>&)) {
        return [this, function](const std::vector<Variable>& args) { return (this->*function)(args); };
    };
    auto exactlyOne = [](const char* message, auto body) {
        return [message, body](const std::vector<Variable>& args) {
            if (args.size() != 1) throw std::runtime_error(message);
            return body(args[0]);
        };
    };
    pushFunction("print", printValues);
    pushFunction("assert", member(&ScriptEngine::assertFunction));
    pushFunction("error", member(&ScriptEngine::errorFunction));
    pushFunction("pcall", member(&ScriptEngine::pcallFunction));
    for (const char* name : {"load", "loadstring"})
        pushFunction(name, member(&ScriptEngine::loadScriptChunk));
    for (const char* name : {"loadFile", "loadfile"})
        pushFunction(name, member(&ScriptEngine::loadScriptFile));
    for (const char* name : {"runFile", "dofile"}) pushFunction(name, member(&ScriptEngine::runScriptFile));
    pushFunction("pairs",
                 exactlyOne("pairs(container) requires exactly 1 argument",
                            [this](const Variable& c) { return makeArray(containerWalk(c, false)); }));
    pushFunction("ipairs",
                 exactlyOne("ipairs(container) requires exactly 1 argument",
                            [this](const Variable& c) { return makeArray(containerWalk(c, true)); }));
    pushFunction("select", member(&ScriptEngine::selectFunction));
}
