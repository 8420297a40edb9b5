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
// What a call reads comes first, so that a call touches one or two of its
// cache lines rather than three.
struct ScriptCallable {
    bool isNative = false;
    bool isVararg = false;
    bool isCoroutineEntry = false;
    bool isChunk = false;
    BuiltinId builtinId = 0;
    // A script function runs its body chunk of `program`; a chunk runs the
    // whole program.
    uint32_t bodyChunk = 0;
    std::shared_ptr<BytecodeProgram> program;
    std::vector<uint32_t> paramIds; // the parameters' interned names
    // Set for the numeric math functions, which are called through it directly.
    NumericFunction numericFunction = nullptr;
    DirectFunction directFunction; // set for library builtins that take arguments in place
    NativeFunction nativeFunction;
    std::string name;
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

// ---------------------------------------------------------------------------
// Steps: how a chunk runs. A chunk and the blocks nested in it are laid out as
// one list of steps joined by jumps, so that a function body with its ifs and
// loops runs in one loop rather than a call per block. The list of a chunk is
// made when the chunk first runs; the chunks stay the program's saved form.

enum class StepOp : uint8_t {
    // The steps that begin an instruction; a pending coroutine error or a
    // raised error's unwinding is taken up before each.
    Line,         // a statement; a = its line
    Nothing,      // an instruction of no known kind
    If,           // a = if-group, b = its first body in `bodies`, c = its Done
    While,        // a = loop
    Repeat,       // a = loop
    NumericFor,   // a = loop, b = its state slot, c = its LoopExit
    GenericFor,   // as NumericFor
    FunctionDecl, // a = declaration
    Return,       // a = its line
    Invalid,      // an instruction naming an entry the program does not hold; a = its StepFailure
    Break,        // a = its line; c = the LoopExit or Done of the loop it leaves, or NoStep
    // The steps between them.
    WhileTest,   // a = the loop's line; c = its Done
    LoopBack,    // a = the loop's WhileTest; c = its Done
    RepeatScope, // opens the scope a repeat body shares with its until
    RepeatUntil, // a = the until line, b = the loop's RepeatScope; c = its Done
    ForNext,     // a = the body's first step, b and c as for NumericFor
    LoopExit,    // the end of a for loop, which releases its state and scope; b = slot
    Done,        // the end of an if, while or repeat
    PushScope,   // the scope of a block that declares locals
    PopScope,
    Jump,     // a = where to
    RunChunk, // runs chunk a in a run of its own (b: may it open a scope); c as for Break
    Fail,     // a block the program does not hold; a = its StepFailure
    End,
};

inline constexpr uint32_t NoStep = ~uint32_t{0};
// Why a step list cannot run an instruction or a block, by the message of
// each in `StepFailures`.
enum StepFailure : uint32_t {
    BadChunk,
    BadChunkRange,
    BadLine,
    BadIfGroup,
    BadWhileLoop,
    BadRepeatLoop,
    BadNumericFor,
    BadGenericFor,
    BadFunctionDecl
};
inline constexpr const char* StepFailures[] = {"Invalid bytecode chunk index",
                                               "Bytecode chunk range is out of bounds",
                                               "Bytecode line index out of range",
                                               "Bytecode if-group index out of range",
                                               "Bytecode while-loop index out of range",
                                               "Bytecode repeat-loop index out of range",
                                               "Bytecode numeric-for index out of range",
                                               "Bytecode generic-for index out of range",
                                               "Bytecode function-declaration index out of range"};
static_assert(std::size(StepFailures) == BadFunctionDecl + 1, "one message per StepFailure");

struct Step {
    StepOp op = StepOp::End;
    uint32_t level = 0; // the blocks around the instruction it belongs to
    uint32_t a = 0, b = 0, c = 0;
    // Where the block holding the instruction stops, when a raised error
    // unwinds the run to its protected call.
    uint32_t blockEnd = 0;
    // The scopes the run has opened where the step stands.
    uint32_t locals = 0, frames = 0;
};

struct StepList {
    std::vector<Step> steps;
    std::vector<uint32_t> bodies; // each if-branch's first step, by group
    uint32_t loopSlots = 0;       // the deepest nesting of for loops
    bool needsScope = false;      // as its chunk's
};

struct BytecodeProgram;
// The step lists of a program's chunks, each made on its first run, so a
// program is not changed once it has run. A chunk is laid out inside one list
// at most; another block that names it (only a hand-made program does) runs
// it as a list of its own.
class StepLists {
  public:
    StepLists() = default;
    // A copy of a program makes its own lists.
    StepLists(const StepLists&) {}
    StepLists& operator=(const StepLists&) {
        lists_.clear();
        laidOut_.clear();
        return *this;
    }
    // A chunk the program does not hold fails here, as its list is laid out.
    const StepList& of(const BytecodeProgram& program, uint32_t chunk) {
        return chunk < lists_.size() && lists_[chunk] ? *lists_[chunk] : layOut(program, chunk);
    }

  private:
    const StepList& layOut(const BytecodeProgram& program, uint32_t chunk);
    std::vector<std::unique_ptr<StepList>> lists_;
    std::vector<bool> laidOut_;
};

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
    mutable StepLists steps;
};
