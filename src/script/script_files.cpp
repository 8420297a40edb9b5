// Turning source texts and script files into runnable chunks.
#include "ScriptEngine.h"

#include "engine_internal.h"

#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace {

// The text of the file at a resolved path.
std::string readScriptText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    if (in) contents << in.rdbuf();
    if (!in || in.bad()) throw std::runtime_error("Failed to open script file: " + path);
    return std::move(contents).str();
}

} // namespace

Variable ScriptEngine::compileChunk(const std::string& source, const std::string& scriptPath) {
    const std::string directory = pathDirectory(scriptPath);
    // The program records the file being compiled, so its errors and paths refer to it.
    ProgramStackGuard guard(scriptPathStack, directoryStack, scriptPath, directory);
    return makeChunk(isBytecode(source) ? loadBytecodeFromMemory(source, scriptPath)
                                        : compileToBytecode(source));
}

Variable ScriptEngine::makeChunk(std::shared_ptr<BytecodeProgram> program) {
    ScriptCallable chunk;
    chunk.isChunk = true;
    chunk.name = program->scriptPath;
    chunk.scriptPath = program->scriptPath;
    chunk.directory = program->scriptDirectory;
    chunk.program = std::move(program);
    return Variable(std::move(chunk));
}

Variable ScriptEngine::runScript(const std::string& source) {
    // Kept to the end: the error context of a failure points into its lines.
    std::shared_ptr<BytecodeProgram> program;
    try {
        program = compileToBytecode(source);
        Variable result = runBytecodeProgram(program);
        rethrowPendingCoroutineException();
        return result;
    } catch (const std::exception& error) {
        if (isErrorReport(error.what())) throw;
        const std::string_view token = errorContext.token();
        throwError(error.what(), token.empty() ? std::string_view("script") : token);
    }
}

std::shared_ptr<BytecodeProgram> ScriptEngine::compileScriptFile(const std::string& path) {
    const std::string resolved = resolvePath(path);
    return compileChunk(readScriptText(resolved), resolved).asFunction()->program;
}

Variable ScriptEngine::readScriptFile(const std::vector<Variable>& args) {
    if (args.empty() || args[0].type != VarType::String)
        throw std::runtime_error("Expected a script path string");
    return Variable(readScriptText(resolvePath(args[0].asString())));
}

Variable ScriptEngine::loadScriptFile(const std::vector<Variable>& args) {
    if (args.empty() || args[0].type != VarType::String)
        throw std::runtime_error("loadFile(path) requires a script path string");
    std::string path = resolvePath(args[0].asString());
    struct stat info;
    bool exists = !path.empty() && ::stat(path.c_str(), &info) == 0;
    if (!exists) return makeMulti({Variable(), Variable("Failed to open script file: " + path)});

    ScriptCacheEntry status;
    status.modifiedNs = int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    status.size = info.st_size;
    status.inode = info.st_ino;
    auto cached = scriptFileCache.find(path);
    if (cached != scriptFileCache.end() && cached->second.modifiedNs == status.modifiedNs &&
        cached->second.size == status.size && cached->second.inode == status.inode)
        return cached->second.chunk;

    try {
        status.chunk = compileChunk(readScriptText(path), path);
    } catch (const std::exception& error) {
        return makeMulti({Variable(), Variable(error.what())});
    }
    scriptFileCache[path] = status;
    return status.chunk;
}

Variable ScriptEngine::runScriptFile(const std::vector<Variable>& args) {
    Variable loaded = loadScriptFile(args);
    if (loaded.type == VarType::Multi) {
        const auto& values = loaded.asMulti()->values;
        if (!values.empty() && values[0].isNone()) {
            if (values.size() > 1 && values[1].type == VarType::String)
                throw std::runtime_error(values[1].asString());
            throw std::runtime_error("Failed to load script file");
        }
    }
    return invokeCallable(loaded, nullptr, 0);
}

Variable ScriptEngine::loadScriptChunk(std::span<const Variable> args) {
    if (args.empty() || args[0].type != VarType::String)
        throw std::runtime_error("load(scriptText) requires a script string");
    return makeChunk(compileToBytecode(args[0].asString()));
}
