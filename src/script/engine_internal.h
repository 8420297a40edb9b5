// Pieces shared by the engine's files: guards that restore the engine's stacks
// however a block or call ends, and small token helpers.
#pragma once

#include "ScriptEngine.h"

#include <algorithm>
#include <span>
#include <utility>

// Whether a value is still the library's native function with this id:
// scripts may rebind any name, and the fast paths must then call theirs.
inline bool isBuiltin(const Variable* value, BuiltinId id) {
    return value && value->type == VarType::Function && value->asFunction()->isNative &&
           value->asFunction()->builtinId == id;
}

// The value a single target receives: the first of several, or the value itself.
inline Variable firstValue(Variable value) {
    if (value.type != VarType::Multi) return value;
    const auto& spread = value.asMulti()->values;
    return spread.empty() ? Variable() : spread[0];
}

// A table literal's value, built entry by entry: positional values form an
// array until the first keyed entry moves them to the keys "1", "2", ...;
// later positional values take the key of their number.
class TableLiteralBuilder {
  public:
    // `entries`, when known, sizes the table once for all of them.
    explicit TableLiteralBuilder(size_t entries = 0) : entries_(entries) {}
    void add(Variable value) {
        ++positionalCount_;
        if (table_.isNone())
            positional_.push_back(std::move(value));
        else
            table()[std::to_string(positionalCount_)] = std::move(value);
    }
    void add(std::string_view key, Variable value) {
        if (table_.isNone()) {
            table_ = makeTable();
            table().reserve(entries_);
            for (size_t i = 0; i < positional_.size(); ++i)
                table()[std::to_string(i + 1)] = std::move(positional_[i]);
        }
        table()[key] = std::move(value);
    }
    Variable finish() {
        if (!table_.isNone()) return std::move(table_);
        return positional_.empty() ? makeTable() : makeArray(std::move(positional_));
    }

  private:
    TableStorage& table() { return *table_.asTable(); }
    std::vector<Variable> positional_;
    Variable table_;
    size_t entries_;
    int32_t positionalCount_ = 0;
};

// The token at `index`, or "EOF" past the end (the near-token of error reports).
inline std::string_view tokenAt(const ParsedScriptLine& line, size_t index) {
    return index < line.tokens.size() ? std::string_view(line.tokens[index]) : std::string_view("EOF");
}

// What a condition line raises when text follows its condition.
inline const char* conditionTrailingMessage(StatementKind kind) {
    switch (kind) {
    case StatementKind::While:
        return "Unexpected token after while condition";
    case StatementKind::Until:
        return "Unexpected token after until condition";
    default:
        return "Unexpected token after if condition";
    }
}

// `for name = ...`: a numeric loop; any other for line is a generic one.
inline bool isNumericFor(const ParsedScriptLine& line) {
    return line.tokens.size() >= 4 && line.tokenInfo[1].isIdentifier && line.tokens[2] == "=";
}

// Where a function declaration's target name stands, and whether a name does.
inline size_t functionNameIndex(const ParsedScriptLine& line) {
    return line.kind == StatementKind::FunctionDecl ? 1 : 2;
}
inline bool hasFunctionTargetName(const ParsedScriptLine& line) {
    const size_t t = functionNameIndex(line);
    return t < line.tokens.size() && line.tokenInfo[t].isIdentifier;
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

// Opens the frame scope of a call to `function`: each parameter takes over
// the argument at its place, or none when there are fewer. A variadic
// function's further arguments are pushed as the current vararg list;
// returns whether they were, so that the caller pops them again.
inline bool enterCall(Scopes& scopes, std::vector<std::vector<Variable>>& varargStack,
                      const ScriptCallable& function, Variable* args, size_t count) {
    scopes.push(Scopes::Frame);
    for (size_t i = 0; i < function.paramIds.size(); ++i)
        scopes.bind(Scopes::Frame, function.paramIds[i], i < count ? std::move(args[i]) : Variable());
    if (!function.isVararg) return false;
    const size_t first = std::min(function.paramIds.size(), count);
    varargStack.emplace_back(std::make_move_iterator(args + first), std::make_move_iterator(args + count));
    return true;
}

// The argument list of a call that takes its arguments over: a short one
// lives on the stack, a longer one on the heap.
class CallArgs {
  public:
    explicit CallArgs(size_t count) : count_(count), onHeap_(count > onStackCount ? count : 0) {}
    explicit CallArgs(std::span<const Variable> values) : CallArgs(values.size()) {
        std::copy(values.begin(), values.end(), data());
    }
    Variable* data() { return count_ > onStackCount ? onHeap_.data() : onStack_; }
    size_t size() const { return count_; }

  private:
    // Calls of five or six arguments are common enough in games that a heap
    // block for each of them would cost more than the unused slots.
    static constexpr size_t onStackCount = 8;
    size_t count_;
    Variable onStack_[onStackCount];
    std::vector<Variable> onHeap_;
};

// A script call's frame: its parameters' scope and its vararg list, opened
// by `enterCall` and closed however the call ends. The body's own scopes are
// closed by its run.
class CallFrame {
  public:
    CallFrame(ScriptEngine& engine, const ScriptCallable& function, Variable* args, size_t count)
        : engine_(engine), frameCount_(engine.scopes.count(Scopes::Frame)),
          popVarargs_(enterCall(engine.scopes, engine.varargStack, function, args, count)) {}
    ~CallFrame() {
        engine_.scopes.truncate(Scopes::Frame, frameCount_);
        if (popVarargs_) engine_.varargStack.pop_back();
    }
    CallFrame(const CallFrame&) = delete;
    CallFrame& operator=(const CallFrame&) = delete;

  private:
    ScriptEngine& engine_;
    size_t frameCount_;
    bool popVarargs_;
};
