// Feeds arbitrary bytes to the bytecode loader: it must load them or refuse
// them with an error, never crash, hang or leak.
#include "ScriptEngine.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ScriptEngine engine;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    try {
        auto program = engine.loadBytecodeFromMemory(bytes, "fuzz.bsc");
        // What loads must save again.
        (void)program->lines.size();
    } catch (const std::exception&) {
    }
    return 0;
}
