// Guards that restore the engine's scope stacks however a block or call ends.
#pragma once

#include "ScriptEngine.h"

// One block-local scope for the duration of a block run.
class LocalScopeGuard {
  public:
    explicit LocalScopeGuard(ScriptEngine& engine)
        : engine_(engine), savedCount_(engine.localScopes.count), savedBase_(engine.frameLocalBase) {
        engine.localScopes.push();
    }
    ~LocalScopeGuard() {
        engine_.localScopes.truncate(savedCount_);
        engine_.frameLocalBase = savedBase_;
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
