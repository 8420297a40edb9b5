// The global namespace every script starts with: the registry of global
// functions, constants and library tables, and the small builtins that fit in
// a line or two (clock, type words, array helpers, os, package).
#include "lib_support.h"

#include <cstdio>

namespace {

using library::requireCount;

// Global functions in registration order.
// clang-format off
const char* const globalOrder[] = {
    "print", "getTimeMs", "random", "toString", "tostring", "toNumber", "tonumber", "gsub", "typeOf", "type",
    "pop", "clear", "erase", "contains", "keys", "values",
    "assert", "error", "pcall", "load", "loadstring", "loadFile", "loadfile", "runFile", "dofile",
    "pairs", "ipairs", "next", "select", "collectGarbage", "collectgarbage", "kill",
    "array", "len", "push", "reserve", "get", "set",
};
// clang-format on

const char* const tableOrder[] = {"string", "table", "math", "utf8", "io", "os", "package"};

uint32_t seedFromRandomDevice() {
    uint32_t seed = 0;
    if (std::FILE* device = std::fopen("/dev/urandom", "rb")) {
        if (std::fread(&seed, sizeof seed, 1, device) != 1) seed = 0;
        std::fclose(device);
    }
    if (seed == 0) seed = static_cast<uint32_t>(std::chrono::system_clock::now().time_since_epoch().count());
    return seed;
}

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

const char* typeWord(VarType type) {
    // In the order of the types.
    static const char* const words[] = {"not",      "number", "number", "string", "userdata", "boolean",
                                        "userdata", "table",  "table",  "table",  "function"};
    const auto index = static_cast<size_t>(type);
    return index < std::size(words) ? words[index] : "unknown";
}

int64_t nanosecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

Variable pushValue(const std::vector<Variable>& args) {
    requireCount(args, 2, "push(array, value) requires exactly 2 arguments");
    if (args[0].type != VarType::Array)
        throw std::runtime_error("push(array, value): first argument must be an array");
    ArrayStorage& elements = *args[0].asArray();
    elements.push_back(args[1]);
    return Variable(static_cast<int32_t>(elements.size()));
}

Variable reserveCapacity(const std::vector<Variable>& args) {
    requireCount(args, 2, "reserve(array, capacity) requires exactly 2 arguments");
    if (args[0].type != VarType::Array || args[1].type != VarType::Int)
        throw std::runtime_error("reserve(array, capacity) expects (array, int)");
    if (args[1].asInt() < 0) throw std::runtime_error("reserve(array, capacity): capacity must be >= 0");
    ArrayStorage& elements = *args[0].asArray();
    elements.reserve(static_cast<size_t>(args[1].asInt()));
    return Variable(static_cast<int32_t>(elements.capacity()));
}

} // namespace

ScriptEngine::ScriptEngine()
    : randomGenerator(seedFromRandomDevice()), startInstant(std::chrono::steady_clock::now()) {
    registerCoreLibrary();
}

void ScriptEngine::registerCoreLibrary() {
    LibraryParts parts;
    addCoreBuiltins(parts);
    addContainerBuiltins(parts);
    addTableLibrary(parts);
    addStringBuiltins(parts);
    addPatternBuiltins(parts);
    addFormatBuiltins(parts);
    addMathBuiltins(parts);
    addIoBuiltins(parts);
    parts.globals["kill"] = [this](const std::vector<Variable>& args) { return killFunction(args); };

    for (const char* name : globalOrder) {
        if (auto direct = parts.directGlobals.find(name); direct != parts.directGlobals.end()) {
            Variable callable = makeDirectCallable(direct->second, name);
            nativeFunctions[name] = callable.asFunction()->nativeFunction;
            pushVariable(name, callable);
            continue;
        }
        auto found = parts.globals.find(name);
        if (found == parts.globals.end()) throw std::logic_error(std::string("unregistered builtin ") + name);
        publishFunction(name, found->second, builtinIdFromName(name));
    }
    pushVariable("BRUME_VERSION", Variable(0.4f));
    pushVariable("BRUME_RELEASE", Variable("Beta"));
    pushVariable("BRUME_NAME", Variable("BrumeScript"));
    pushVariable("BRUME_AUTHOR", Variable("Brume Vale"));
    for (const char* name : tableOrder) {
        Variable table = makeTable();
        *table.asTable() = std::move(parts.tables[name]);
        pushVariable(name, table);
    }
}

void ScriptEngine::addCoreBuiltins(LibraryParts& parts) {
    auto& globals = parts.globals;
    auto member = [this](Variable (ScriptEngine::*function)(const std::vector<Variable>&)) {
        return [this, function](const std::vector<Variable>& args) { return (this->*function)(args); };
    };
    auto directMember = [this](Variable (ScriptEngine::*function)(std::span<const Variable>)) {
        return [this, function](std::span<const Variable> args) { return (this->*function)(args); };
    };
    globals["print"] = printValues;
    auto& direct = parts.directGlobals;
    direct["getTimeMs"] = [this](std::span<const Variable> args) {
        if (!args.empty()) throw std::runtime_error("getTimeMs function takes no arguments");
        return Variable(static_cast<int32_t>(nanosecondsSince(startInstant) / 1000000));
    };
    direct["toString"] = direct["tostring"] = [](std::span<const Variable> args) {
        requireCount(args, 1, "toString function requires exactly 1 argument");
        return Variable(args[0].toString());
    };
    globals["typeOf"] = globals["type"] = [](const std::vector<Variable>& args) {
        requireCount(args, 1, "typeOf(x) requires exactly 1 argument");
        return Variable(typeWord(args[0].type));
    };
    direct["assert"] = directMember(&ScriptEngine::assertFunction);
    direct["error"] = directMember(&ScriptEngine::errorFunction);
    direct["pcall"] = directMember(&ScriptEngine::pcallFunction);
    direct["load"] = direct["loadstring"] = directMember(&ScriptEngine::loadScriptChunk);
    globals["loadFile"] = globals["loadfile"] = member(&ScriptEngine::loadScriptFile);
    globals["runFile"] = globals["dofile"] = member(&ScriptEngine::runScriptFile);
    direct["select"] = directMember(&ScriptEngine::selectFunction);
    // Values are counted references and each table's walk order dies with
    // it, so there is nothing left to collect.
    globals["collectGarbage"] =
        globals["collectgarbage"] = [](const std::vector<Variable>&) { return Variable(); };
    globals["array"] = [](const std::vector<Variable>& args) {
        if (!args.empty()) throw std::runtime_error("array() takes no arguments");
        return makeArray();
    };
    direct["len"] = [this](std::span<const Variable> args) {
        requireCount(args, 1, "len(x) requires exactly 1 argument");
        return Variable(lengthOf(args[0]));
    };
    globals["push"] = pushValue;
    globals["reserve"] = reserveCapacity;
    globals["get"] = [this](const std::vector<Variable>& args) {
        if (args.size() != 2 && args.size() != 3)
            throw std::runtime_error("get(container, keyOrIndex[, defaultValue]) requires 2 or 3 arguments");
        Variable value = getIndexedValue(args[0], args[1]);
        return value.isNone() && args.size() == 3 ? args[2] : value;
    };
    globals["set"] = [this](const std::vector<Variable>& args) {
        requireCount(args, 3, "set(container, keyOrIndex, value) requires exactly 3 arguments");
        VarType kind = args[0].type;
        if (kind != VarType::String && kind != VarType::Array && kind != VarType::Table)
            throw std::runtime_error(
                "set(container, keyOrIndex, value): container must be an array, table, or string");
        // Arrays and tables are shared, so writing through a copy of the
        // variable reaches every holder; a string copy is the new value.
        Variable container = args[0];
        setIndexedValue(container, args[1], args[2], true);
        return kind == VarType::String ? container : args[2];
    };

    TableStorage& os = parts.tables["os"];
    os["clock"] = makeNativeCallable(
        [this](const std::vector<Variable>& args) {
            if (!args.empty()) throw std::runtime_error("os['clock']() takes no arguments");
            return Variable(
                static_cast<float>(static_cast<double>(nanosecondsSince(startInstant) / 1000) / 1000000.0));
        },
        "", 0);
    os["time"] = makeNativeCallable(
        [](const std::vector<Variable>& args) {
            if (!args.empty()) throw std::runtime_error("os['time']() takes no arguments");
            auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                std::chrono::system_clock::now().time_since_epoch());
            return Variable(static_cast<int32_t>(seconds.count()));
        },
        "", 0);
    TableStorage& package = parts.tables["package"];
    package["path"] = Variable("");
    package["cpath"] = Variable("");
}
