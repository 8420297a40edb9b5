// Pieces shared by the executors: guards that restore the engine's stacks
// however a block or call ends, and small token helpers.
#pragma once

#include "ScriptEngine.h"

// Whether a value is still the library's native function with this id:
// scripts may rebind any name, and the fast paths must then call theirs.
inline bool isBuiltin(const Variable* value, BuiltinId id) {
    return value && value->type == VarType::Function && value->asFunction()->isNative &&
           value->asFunction()->builtinId == id;
}

// Int results wrap around to the 32-bit range.
inline int32_t wrap(int64_t v) {
    return static_cast<int32_t>(static_cast<uint32_t>(v));
}

// The token at `index`, or "EOF" past the end (the near-token of error reports).
inline std::string_view tokenAt(const ParsedScriptLine& line, size_t index) {
    return index < line.tokens.size() ? std::string_view(line.tokens[index]) : std::string_view("EOF");
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

// One block-local scope for the duration of a block run.
class LocalScopeGuard {
  public:
    explicit LocalScopeGuard(ScriptEngine& engine)
        : engine_(engine), savedCount_(engine.localScopes.count), savedBase_(engine.frameLocalBase) {
        engine.localScopes.push();
    }
    ~LocalScopeGuard() {
        engine_.localScopes.truncate(savedCount_);
        engine_.setFrameLocalBase(savedBase_);
    }
    LocalScopeGuard(const LocalScopeGuard&) = delete;
    LocalScopeGuard& operator=(const LocalScopeGuard&) = delete;

  private:
    ScriptEngine& engine_;
    size_t savedCount_;
    size_t savedBase_;
};

// Removes the frame scopes (loop variables, parameters) pushed after it.
class FrameScopeGuard {
  public:
    explicit FrameScopeGuard(ScriptEngine& engine) : engine_(engine), savedCount_(engine.frameScopes.count) {}
    ~FrameScopeGuard() { engine_.frameScopes.truncate(savedCount_); }
    FrameScopeGuard(const FrameScopeGuard&) = delete;
    FrameScopeGuard& operator=(const FrameScopeGuard&) = delete;

  private:
    ScriptEngine& engine_;
    size_t savedCount_;
};
