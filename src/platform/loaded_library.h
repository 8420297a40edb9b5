// System libraries opened when a backend first needs them, so that a game that
// never opens a window or an ALSA device never loads (or pages in) either.
// Functions are bound by name with the type of their declaration; a library
// stays loaded for the life of the process, as backends' threads may use it.
#pragma once

#include <dlfcn.h>

namespace brume {

class LoadedLibrary {
  public:
    explicit LoadedLibrary(const char* soname) : handle_(dlopen(soname, RTLD_NOW | RTLD_LOCAL)) {}
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

    // Binds `function` to the library's symbol `name`; false when either is missing.
    template <class Function> bool bind(Function*& function, const char* name) const {
        function = handle_ ? reinterpret_cast<Function*>(dlsym(handle_, name)) : nullptr;
        return function != nullptr;
    }

  private:
    void* handle_;
};

// The calls of `Calls` (a struct declared by BV_LOADED_CALLS), bound once for
// the process; `prepare` runs on them once, before any other use, when they
// are complete.
template <class Calls, class Prepare> const Calls& boundCalls(Prepare prepare) {
    static const Calls bound = [&] {
        Calls calls;
        if (calls.complete) prepare(calls);
        return calls;
    }();
    return bound;
}

} // namespace brume

// Declares the struct `Name` with one pointer per function of `LIST` (a list
// macro that applies its argument to each function name), each bound from the
// library `soname` when the struct is first made; `complete` tells whether
// every one of them was found.
#define BV_LOADED_CALLS(Name, soname, LIST)                                                                  \
    struct Name {                                                                                            \
        LIST(BV_LOADED_CALL_POINTER)                                                                         \
        bool complete = true;                                                                                \
        Name() {                                                                                             \
            static const ::brume::LoadedLibrary library(soname);                                             \
            LIST(BV_LOADED_CALL_BIND)                                                                        \
        }                                                                                                    \
    }
#define BV_LOADED_CALL_POINTER(name) decltype(&::name) name = nullptr;
#define BV_LOADED_CALL_BIND(name) complete = library.bind(name, #name) && complete;
