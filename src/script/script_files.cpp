// Turning source texts and script files into runnable chunks.
#include "ScriptEngine.h"

#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace {

bool readWholeFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream contents;
    contents << in.rdbuf();
    if (in.bad()) return false;
    text = std::move(contents).str();
    return true;
}

// Pushes a program's path and directory (when it has them, so that text
// chunks run in the context of their caller) and pops them however the run ends.
class ProgramStackGuard {
  public:
    ProgramStackGuard(std::vector<const std::string*>& paths, std::vector<const std::string*>& directories,
                      const std::string& path, const std::string& directory)
        : paths_(paths), directories_(directories), pushedPath_(!path.empty()),
          pushedDirectory_(!directory.empty()) {
        if (pushedPath_) paths_.push_back(&path);
        if (pushedDirectory_) directories_.push_back(&directory);
    }
    ~ProgramStackGuard() {
        if (pushedPath_) paths_.pop_back();
        if (pushedDirectory_) directories_.pop_back();
    }
    ProgramStackGuard(const ProgramStackGuard&) = delete;
    ProgramStackGuard& operator=(const ProgramStackGuard&) = delete;

  private:
    std::vector<const std::string*>& paths_;
    std::vector<const std::string*>& directories_;
    bool pushedPath_, pushedDirectory_;
};

} // namespace

std::shared_ptr<ScriptCallable> ScriptEngine::compileChunk(const std::string& source,
                                                           const std::string& scriptPath) {
    auto chunk = std::make_shared<ScriptCallable>();
    chunk->isChunk = true;
    chunk->name = scriptPath;
    chunk->scriptPath = scriptPath;
    chunk->directory = pathDirectory(scriptPath);
    // Parse errors name the file being compiled, not the one that asked for it.
    ProgramStackGuard guard(scriptPathStack, directoryStack, chunk->scriptPath, chunk->directory);
    chunk->lines = std::make_shared<const ParsedLines>(parseLines(source));
    return chunk;
}

Variable ScriptEngine::runChunk(const ScriptCallable& chunk) {
    ProgramStackGuard guard(scriptPathStack, directoryStack, chunk.scriptPath, chunk.directory);
    runningPrograms.push_back(chunk.lines);
    struct PopProgram {
        std::vector<std::shared_ptr<const ParsedLines>>& programs;
        ~PopProgram() { programs.pop_back(); }
    } popProgram{runningPrograms};
    size_t index = 0;
    BlockSignal signal = BlockSignal::Normal;
    Variable result = executeParsedBlock(*chunk.lines, index, signal);
    if (signal == BlockSignal::Break) throw std::runtime_error("break used outside a loop");
    return signal == BlockSignal::Return ? result : Variable();
}

Variable ScriptEngine::runScript(const std::string& source) {
    if (callDepth == 0) stackBase = static_cast<const char*>(__builtin_frame_address(0));
    try {
        std::shared_ptr<ScriptCallable> program = compileChunk(source, "");
        return runChunk(*program);
    } catch (const std::exception& error) {
        if (isErrorReport(error.what())) throw;
        throwError(error.what(),
                   errorContext.token.empty() ? std::string_view("script") : errorContext.token);
    }
}

Variable ScriptEngine::readScriptFile(const std::vector<Variable>& args) {
    if (args.empty() || args[0].type != VarType::String)
        throw std::runtime_error("Expected a script path string");
    std::string path = resolvePath(args[0].asString());
    std::string text;
    if (!readWholeFile(path, text)) throw std::runtime_error("Failed to open script file: " + path);
    return Variable(std::move(text));
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

    std::string text;
    if (!readWholeFile(path, text))
        return makeMulti({Variable(), Variable("Failed to open script file: " + path)});
    try {
        status.chunk = Variable(compileChunk(text, path));
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
    return invokeCallableFast(loaded, nullptr, 0);
}

Variable ScriptEngine::loadScriptChunk(const std::vector<Variable>& args) {
    if (args.empty() || args[0].type != VarType::String)
        throw std::runtime_error("load(scriptText) requires a script string");
    return Variable(compileChunk(args[0].asString(), ""));
}
