// Lays a chunk out as a step list: its instructions and those of the blocks
// nested in it, in order, with the jumps and scope steps between them.
#include "compiled_program.h"

#include <algorithm>
#include <stdexcept>

namespace {

// Why chunk `chunk` of a program cannot run, a StepFailure; -1 when it can.
int chunkFailure(const BytecodeProgram& program, uint32_t chunk) {
    if (chunk >= program.chunks.size()) return BadChunk;
    const BytecodeChunk& c = program.chunks[chunk];
    const bool inside = uint64_t(c.firstInstruction) + c.instructionCount <= program.instructions.size();
    return inside ? -1 : int(BadChunkRange);
}

// Why an instruction cannot run, a StepFailure: it names a line or an entry
// the program does not hold; -1 when it can. Checked once, as the steps are
// laid out, so that running them reads the program without checks.
int instructionFailure(const BytecodeProgram& program, const Instruction& instruction) {
    const uint32_t operand = instruction.operand;
    auto lineFailure = [&](uint32_t line) { return line < program.lines.size() ? -1 : int(BadLine); };
    auto entryFailure = [&](const auto& entries, StepFailure failure) {
        return operand < entries.size() ? lineFailure(entries[operand].lineIndex) : int(failure);
    };
    switch (static_cast<Opcode>(instruction.opcode)) {
    case Opcode::Line:
    case Opcode::AssignName:
    case Opcode::Return:
    case Opcode::Break:
        return lineFailure(operand);
    case Opcode::If:
        if (operand >= program.ifGroups.size()) return BadIfGroup;
        for (const BytecodeIfBranch& branch : program.ifGroups[operand].branches)
            if (lineFailure(branch.lineIndex) >= 0) return BadLine;
        return -1;
    case Opcode::While:
        return entryFailure(program.whileLoops, BadWhileLoop);
    case Opcode::Repeat:
        return entryFailure(program.repeatLoops, BadRepeatLoop);
    case Opcode::NumericFor:
        return entryFailure(program.numericFors, BadNumericFor);
    case Opcode::GenericFor:
        return entryFailure(program.genericFors, BadGenericFor);
    case Opcode::FunctionDecl:
        return entryFailure(program.functionDecls, BadFunctionDecl);
    }
    return -1;
}

class StepBuilder {
  public:
    StepBuilder(const BytecodeProgram& program, std::vector<bool>& laidOut, StepList& list)
        : program_(program), laidOut_(laidOut), list_(list) {}

    void layOutRoot(uint32_t chunk) {
        list_.needsScope = program_.chunks[chunk].needsScope;
        layOutInstructions(program_.chunks[chunk]);
        closeBlock(emit(StepOp::End));
    }

  private:
    struct Block {
        std::vector<uint32_t> starts; // the steps that begin its instructions
    };
    struct Loop {
        std::vector<uint32_t> breaks; // the steps that leave it
    };

    uint32_t here() const { return static_cast<uint32_t>(list_.steps.size()); }

    uint32_t emit(StepOp op, uint32_t a = 0, uint32_t b = 0, uint32_t c = 0) {
        list_.steps.push_back({op, level_, a, b, c, 0, locals_, frames_});
        return here() - 1;
    }

    // Opens a block with the instructions of a chunk at the current level;
    // its end is the step the caller closes it with.
    void layOutInstructions(const BytecodeChunk& chunk) {
        blocks_.emplace_back();
        for (uint32_t i = 0; i < chunk.instructionCount; ++i) {
            const Instruction& instruction = program_.instructions[chunk.firstInstruction + i];
            blocks_.back().starts.push_back(here());
            layOutInstruction(instruction);
        }
    }

    // Points the instruction starts of the innermost open block at `end`.
    void closeBlock(uint32_t end) {
        for (uint32_t start : blocks_.back().starts) list_.steps[start].blockEnd = end;
        blocks_.pop_back();
    }

    void layOutInstruction(const Instruction& instruction) {
        if (const int failure = instructionFailure(program_, instruction); failure >= 0) {
            emit(StepOp::Invalid, static_cast<uint32_t>(failure));
            return;
        }
        const uint32_t operand = instruction.operand;
        switch (static_cast<Opcode>(instruction.opcode)) {
        // An assignment of one name is a statement like any other: its value
        // is computed, and a number stored, as every statement's is.
        case Opcode::Line:
        case Opcode::AssignName:
            emit(StepOp::Line, operand);
            return;
        case Opcode::If:
            return layOutIf(operand);
        case Opcode::While:
            return layOutWhile(operand);
        case Opcode::Repeat:
            return layOutRepeat(operand);
        case Opcode::NumericFor:
            return layOutFor(StepOp::NumericFor, program_.numericFors, operand);
        case Opcode::GenericFor:
            return layOutFor(StepOp::GenericFor, program_.genericFors, operand);
        case Opcode::FunctionDecl:
            emit(StepOp::FunctionDecl, operand);
            return;
        case Opcode::Return:
            emit(StepOp::Return, operand);
            return;
        case Opcode::Break:
            emit(StepOp::Break, operand, 0, exitToPatch());
            return;
        }
        emit(StepOp::Nothing);
    }

    // A body block one level in. A chunk the program does not hold fails
    // where its run would begin; one laid out already runs on its own.
    void layOutBody(uint32_t chunkIndex, bool allowScope) {
        ++level_;
        if (const int failure = chunkFailure(program_, chunkIndex); failure >= 0) {
            emit(StepOp::Fail, static_cast<uint32_t>(failure));
        } else if (laidOut_[chunkIndex]) {
            emit(StepOp::RunChunk, chunkIndex, allowScope, exitToPatch());
        } else {
            laidOut_[chunkIndex] = true;
            const bool scoped = allowScope && program_.chunks[chunkIndex].needsScope;
            if (scoped) {
                emit(StepOp::PushScope);
                ++locals_;
            }
            layOutInstructions(program_.chunks[chunkIndex]);
            if (scoped) --locals_;
            closeBlock(scoped ? emit(StepOp::PopScope) : here());
        }
        --level_;
    }

    // The exit of the innermost loop for the step about to be emitted, NoStep
    // outside loops: a placeholder, patched to the loop's last step when the
    // loop is closed.
    uint32_t exitToPatch() {
        if (loops_.empty()) return NoStep;
        loops_.back().breaks.push_back(here());
        return 0;
    }
    void closeLoop(uint32_t exit) {
        for (uint32_t step : loops_.back().breaks) list_.steps[step].c = exit;
        loops_.pop_back();
    }

    void layOutIf(uint32_t groupIndex) {
        const uint32_t start = emit(StepOp::If, groupIndex, static_cast<uint32_t>(list_.bodies.size()));
        std::vector<uint32_t> jumps;
        const auto& branches = program_.ifGroups[groupIndex].branches;
        const size_t first = list_.bodies.size();
        list_.bodies.resize(first + branches.size());
        for (size_t i = 0; i < branches.size(); ++i) {
            list_.bodies[first + i] = here();
            layOutBody(branches[i].bodyChunk, true);
            jumps.push_back(emit(StepOp::Jump));
        }
        const uint32_t done = emit(StepOp::Done);
        list_.steps[start].c = done;
        for (uint32_t jump : jumps) list_.steps[jump].a = done;
    }

    void layOutWhile(uint32_t loopIndex) {
        emit(StepOp::While, loopIndex);
        loops_.emplace_back();
        const BytecodeWhileLoop& loop = program_.whileLoops[loopIndex];
        const uint32_t test = emit(StepOp::WhileTest, loop.lineIndex);
        layOutBody(loop.bodyChunk, true);
        const uint32_t back = emit(StepOp::LoopBack, test);
        const uint32_t done = emit(StepOp::Done);
        list_.steps[test].c = list_.steps[back].c = done;
        closeLoop(done);
    }

    void layOutRepeat(uint32_t loopIndex) {
        emit(StepOp::Repeat, loopIndex);
        loops_.emplace_back();
        const BytecodeRepeatLoop& loop = program_.repeatLoops[loopIndex];
        const uint32_t scope = emit(StepOp::RepeatScope);
        ++locals_;
        layOutBody(loop.bodyChunk, false);
        --locals_;
        const uint32_t until = emit(StepOp::RepeatUntil, loop.lineIndex, scope);
        const uint32_t done = emit(StepOp::Done);
        list_.steps[until].c = done;
        closeLoop(done);
    }

    void layOutFor(StepOp op, const std::vector<BytecodeForLoop>& loops, uint32_t loopIndex) {
        const uint32_t slot = forDepth_++;
        list_.loopSlots = std::max(list_.loopSlots, forDepth_);
        const uint32_t start = emit(op, loopIndex, slot);
        loops_.emplace_back();
        ++frames_;
        const uint32_t body = here();
        layOutBody(loops[loopIndex].bodyChunk, true);
        const uint32_t nextStep = emit(StepOp::ForNext, body, slot);
        --frames_;
        const uint32_t exit = emit(StepOp::LoopExit, 0, slot);
        list_.steps[start].c = list_.steps[nextStep].c = exit;
        closeLoop(exit);
        --forDepth_;
    }

    const BytecodeProgram& program_;
    std::vector<bool>& laidOut_;
    StepList& list_;
    std::vector<Block> blocks_;
    std::vector<Loop> loops_;
    uint32_t level_ = 0, locals_ = 0, frames_ = 0, forDepth_ = 0;
};

} // namespace

const StepList& StepLists::layOut(const BytecodeProgram& program, uint32_t chunk) {
    if (const int failure = chunkFailure(program, chunk); failure >= 0)
        throw std::runtime_error(StepFailures[failure]);
    if (lists_.size() < program.chunks.size()) {
        lists_.resize(program.chunks.size());
        laidOut_.resize(program.chunks.size());
    }
    auto list = std::make_unique<StepList>();
    StepBuilder(program, laidOut_, *list).layOutRoot(chunk);
    lists_[chunk] = std::move(list);
    return *lists_[chunk];
}
