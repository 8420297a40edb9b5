// Small helpers shared by the standard library's source files.
#pragma once

#include "ScriptEngine.h"

namespace library {

// Library messages are raised as script errors carrying the exact text.
[[noreturn]] inline void fail(const char* message) {
    throw std::runtime_error(message);
}

inline void requireCount(std::span<const Variable> args, size_t count, const char* message) {
    if (args.size() != count) fail(message);
}

} // namespace library
