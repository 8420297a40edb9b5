// What running code is made of beyond its lines: function values and the
// bytecode form of a program (its blocks as flat instruction lists).
#pragma once

#include "parsed_line.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct BytecodeProgram;

// A function value: a host function, a script function or a loaded chunk.
struct ScriptCallable {
    bool isNative = false;
    bool isVararg = false;
    bool isCoroutineEntry = false;
    bool isChunk = false;
    NativeFunction nativeFunction;
    DirectFunction directFunction; // set for library builtins that take arguments in place
    // Set for the numeric math functions, which are called through it directly.
    NumericFunction numericFunction = nullptr;
    BuiltinId builtinId = 0;
    std::string name;
    std::vector<std::string> params;
    std::vector<uint32_t> paramIds; // interned `params`
    // A script function runs its body chunk of `program`; a chunk runs the
    // whole program.
    std::shared_ptr<BytecodeProgram> program;
    uint32_t bodyChunk = 0;
    // The body lines [bodyStart, bodyEnd) of `lines`, which a coroutine walks.
    std::shared_ptr<const ParsedLines> lines;
    size_t bodyStart = 0;
    size_t bodyEnd = 0;
    // The defining script, so that paths and error reports refer to it.
    std::string scriptPath;
    std::string directory;
};

inline Variable::Variable(ScriptCallable function) : type(VarType::Function) {
    u_.function = new FunctionBox(std::move(function));
}
inline ScriptCallable* Variable::asFunction() const {
    return &u_.function->value;
}

// ---------------------------------------------------------------------------
// Bytecode: the block structure of a program as flat instruction lists.

enum class Opcode : uint8_t {
    Line = 0,
    AssignName = 1,
    If = 2,
    While = 3,
    Repeat = 4,
    NumericFor = 5,
    GenericFor = 6,
    FunctionDecl = 7,
    Return = 8,
    Break = 9,
};

struct Instruction {
    uint8_t opcode = 0;
    uint32_t operand = 0;
    uint32_t operand2 = 0;
};

struct BytecodeChunk {
    uint32_t firstInstruction = 0;
    uint32_t instructionCount = 0;
    bool needsScope = true;
};

struct BytecodeIfBranch {
    uint32_t lineIndex = 0;
    uint32_t bodyChunk = 0;
    bool isElse = false;
};

struct BytecodeIfGroup {
    std::vector<BytecodeIfBranch> branches;
};

// A loop: its header line (the `until` line for repeat) and its body chunk.
struct BytecodeForLoop {
    uint32_t lineIndex = 0;
    uint32_t bodyChunk = 0;
};
using BytecodeWhileLoop = BytecodeForLoop;
using BytecodeRepeatLoop = BytecodeForLoop;

struct BytecodeFunctionDecl {
    uint32_t lineIndex = 0;
    uint32_t bodyChunk = 0;
    uint32_t bodyFirstLine = 0;
    uint32_t bodyEndLine = 0;
    std::string scriptDirectory;
    std::string scriptPath;
};

inline constexpr uint16_t BytecodeVersion = 6;

struct BytecodeProgram {
    uint16_t version = BytecodeVersion;
    std::string scriptDirectory;
    std::string scriptPath;
    ParsedLines lines;
    std::vector<Instruction> instructions;
    std::vector<BytecodeChunk> chunks;
    std::vector<BytecodeIfGroup> ifGroups;
    std::vector<BytecodeWhileLoop> whileLoops;
    std::vector<BytecodeRepeatLoop> repeatLoops;
    std::vector<BytecodeForLoop> numericFors;
    std::vector<BytecodeForLoop> genericFors;
    std::vector<BytecodeFunctionDecl> functionDecls;
};
