// Runs generated and mutated scripts through the engine: whatever a script
// does, the engine must finish it or raise an error, never crash or hang.
// Input whose first byte is odd is a script text; otherwise its bytes pick
// tokens from a vocabulary, which reaches deeper than mutated text does.
// The engine runs confined: io['popen'] is refused and every file a script
// opens lies in a scratch folder.
#include "ScriptEngine.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

const char* const vocabulary[] = {
    "\n",
    "\n",
    "\n",
    "x",
    "y",
    "t",
    "a",
    "f",
    "g",
    "=",
    "+",
    "-",
    "*",
    "/",
    "\\",
    "%",
    "^",
    "..",
    "==",
    "~=",
    "<",
    ">=",
    "and",
    "or",
    "not",
    "(",
    ")",
    "[",
    "]",
    "{",
    "}",
    ",",
    ":",
    ";",
    "1",
    "0",
    "-1",
    "2.5",
    "2147483647",
    "'s'",
    "'%d+'",
    "'(a*)*b'",
    "true",
    "false",
    "if",
    "elseif",
    "else",
    "end",
    "function",
    "decay function",
    "local",
    "return",
    "break",
    "repeat",
    "until",
    "t = [t]",
    "t = {k: t}",
    "pcall",
    "error",
    "print",
    "tostring",
    "kill()",
    "...",
    "select",
    "string['rep']",
    "string['find']",
    "string['gsub']",
    "string['format']",
    "table['insert']",
    "table['sort']",
    "table['concat']",
    "math['floor']",
    "keys",
    "next",
    "ipairs",
    "load",
    "io['open']('f', 'w')",
    "io['popen']('ls')",
    "runFile('x.bs')",
    "#",
};

// Loops are left out: a script with one can run for as long as it likes.
bool mayLoop(const std::string& text) {
    return text.find("while") != std::string::npos || text.find("for") != std::string::npos ||
           text.find("repeat") != std::string::npos;
}

std::string generatedScript(const uint8_t* data, size_t size) {
    std::string text;
    constexpr size_t words = sizeof vocabulary / sizeof vocabulary[0];
    for (size_t i = 0; i < size; ++i) {
        text += vocabulary[data[i] % words];
        text += ' ';
    }
    return text;
}

ScriptEngine& confinedEngine() {
    static ScriptEngine* engine = [] {
        char folder[] = "/tmp/fuzz_script_XXXXXX";
        if (!::mkdtemp(folder)) std::abort();
        auto* made = new ScriptEngine;
        made->confineToFolder(folder);
        return made;
    }();
    return *engine;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 4096) return 0;
    const std::string script = data[0] & 1 ? std::string(reinterpret_cast<const char*>(data) + 1, size - 1)
                                           : generatedScript(data + 1, size - 1);
    if (mayLoop(script)) return 0;
    ScriptEngine& engine = confinedEngine();
    try {
        engine.checkSyntax(script, "fuzz.bs");
        engine.runScript(script);
    } catch (const std::exception&) {
    }
    return 0;
}
