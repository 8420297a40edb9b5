// The message of what a piece of code throws, for the core tests.
#pragma once

#include <exception>
#include <functional>
#include <string>

// The message `f` throws, or "no error" when it throws nothing.
inline std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "no error";
}
