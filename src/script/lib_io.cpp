// The `io` table: files and command pipes opened by scripts. Each open file is
// a table of three functions (read, write, close) sharing one handle; streams
// close when the last reference to them goes, and writes are flushed at once
// so nothing is lost when a script ends without closing.
#include "ScriptEngine.h"

#include <cstdio>

namespace {

using Stream = std::shared_ptr<std::FILE>;

struct FileHandle {
    Stream input;
    Stream output;
    Stream pipe;
    bool isPipe = false;
    // A C stream needs a seek between a read and a following write (writes
    // are flushed, which covers the other direction).
    bool lastWasRead = false;
};

struct FileMode {
    bool readable = false;
    bool writable = false;
    const char* fopenMode = "rb";
};

// Only "r", "w", "a" and "+" count; other letters are ignored.
FileMode parseMode(const std::string& mode) {
    auto has = [&](char c) { return mode.find(c) != std::string::npos; };
    FileMode parsed;
    parsed.writable = has('w') || has('a') || has('+');
    parsed.readable = !parsed.writable || has('r') || has('+');
    if (has('a'))
        parsed.fopenMode = parsed.readable ? "a+b" : "ab";
    else if (has('w'))
        parsed.fopenMode = parsed.readable ? "w+b" : "wb";
    else if (parsed.writable)
        parsed.fopenMode = "r+b";
    return parsed;
}

// The handle behind the first of at least `count` arguments.
FileHandle* handleOf(const std::vector<Variable>& args, const char* message, size_t count = 1) {
    if (args.size() < count || args[0].type != VarType::Pointer || !args[0].asPointer())
        throw std::runtime_error(message);
    return static_cast<FileHandle*>(args[0].asPointer());
}

Variable readAll(std::FILE* stream) {
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stream)) > 0) text.append(buffer, n);
    return Variable(std::move(text));
}

// One line without its line feed; a pipe line stops after 4095 bytes.
Variable readLine(std::FILE* stream, size_t limit) {
    std::string line;
    int c;
    while (line.size() < limit && (c = std::getc(stream)) != EOF) {
        if (c == '\n') return Variable(std::move(line));
        line += static_cast<char>(c);
    }
    if (line.empty() && std::feof(stream)) return {};
    return Variable(std::move(line));
}

Variable readFromHandle(const std::vector<Variable>& args) {
    FileHandle* handle = handleOf(args, "file['read'] requires a valid file handle");
    std::FILE* stream = handle->isPipe ? handle->pipe.get() : handle->input.get();
    if (!stream) return {};
    handle->lastWasRead = true;
    const bool whole = args.size() > 1 && args[1].type == VarType::String && args[1].asString() == "*a";
    if (whole) return readAll(stream);
    return readLine(stream, handle->isPipe ? 4095 : std::string::npos);
}

Variable writeToHandle(const std::vector<Variable>& args) {
    FileHandle* handle =
        handleOf(args, "file['write'] requires a valid file handle and at least one value", 2);
    std::FILE* stream = handle->output.get();
    if (!stream) throw std::runtime_error("file['write'] requires a writable file handle");
    if (handle->lastWasRead) std::fseek(stream, 0, SEEK_CUR);
    handle->lastWasRead = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string text = args[i].toString();
        std::fwrite(text.data(), 1, text.size(), stream);
    }
    std::fflush(stream);
    return Variable(true);
}

Variable closeHandle(const std::vector<Variable>& args) {
    FileHandle* handle = handleOf(args, "file['close'] requires a valid file handle");
    handle->input.reset();
    handle->output.reset();
    handle->pipe.reset();
    return Variable(true);
}

// The script's arguments behind the handle; a leading table is the file
// table itself (f['read'](f)) and is dropped.
NativeFunction boundToHandle(const std::shared_ptr<FileHandle>& handle,
                             Variable (*operation)(const std::vector<Variable>&)) {
    return [handle, operation](const std::vector<Variable>& args) {
        std::vector<Variable> withHandle;
        withHandle.reserve(args.size() + 1);
        withHandle.push_back(Variable::pointer(handle.get()));
        const size_t skip = !args.empty() && args[0].type == VarType::Table ? 1 : 0;
        withHandle.insert(withHandle.end(), args.begin() + static_cast<std::ptrdiff_t>(skip), args.end());
        return operation(withHandle);
    };
}

Variable fileTable(const std::shared_ptr<FileHandle>& handle) {
    Variable table = makeTable();
    TableStorage& members = *table.asTable();
    members["read"] = ScriptEngine::makeNativeCallable(boundToHandle(handle, readFromHandle), "", 0);
    members["write"] = ScriptEngine::makeNativeCallable(boundToHandle(handle, writeToHandle), "", 0);
    members["close"] = ScriptEngine::makeNativeCallable(boundToHandle(handle, closeHandle), "", 0);
    return table;
}

std::string modeArgument(const std::vector<Variable>& args) {
    return args.size() > 1 && args[1].type == VarType::String ? args[1].asString() : std::string("r");
}

Variable openPipe(const std::vector<Variable>& args) {
    if (args.empty() || args[0].type != VarType::String)
        throw std::runtime_error("io['popen'](path[, mode]) requires a path string");
    // The child shares standard output; what was printed so far goes first.
    std::fflush(stdout);
    std::FILE* pipe = ::popen(args[0].asString().c_str(), modeArgument(args).c_str());
    if (!pipe) return {};
    auto handle = std::make_shared<FileHandle>();
    handle->pipe = Stream(pipe, [](std::FILE* p) { ::pclose(p); });
    handle->isPipe = true;
    return fileTable(handle);
}

} // namespace

void ScriptEngine::addIoBuiltins(LibraryParts& parts) {
    TableStorage& io = parts.tables["io"];
    io["open"] = makeNativeCallable(
        [this](const std::vector<Variable>& args) -> Variable {
            if (args.empty() || args[0].type != VarType::String)
                throw std::runtime_error("io['open'](path[, mode]) requires a path string");
            const FileMode mode = parseMode(modeArgument(args));
            std::FILE* file = std::fopen(resolvePath(args[0].asString()).c_str(), mode.fopenMode);
            if (!file) return {};
            Stream stream(file, [](std::FILE* f) { std::fclose(f); });
            auto handle = std::make_shared<FileHandle>();
            if (mode.readable) handle->input = stream;
            if (mode.writable) handle->output = stream;
            return fileTable(handle);
        },
        "", 0);
    io["popen"] = makeNativeCallable(
        [this](const std::vector<Variable>& args) {
            if (!confinedFolder.empty()) throw std::runtime_error("io['popen'] is disabled in this host");
            return openPipe(args);
        },
        "", 0);
}
