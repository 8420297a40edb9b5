// Flattens a compiled expression's tree into register instructions for the
// scalar path. Operators, and/or, elements and numeric library calls become
// instructions; a subtree the scalar path cannot take becomes a Fail
// instruction, which ends the attempt only when it is reached, so every
// tree flattens.
#include "ScriptEngine.h"

#include <bit>

namespace {

using Kind = ExpressionNodeKind;
using Op = ScalarInstruction;
using Mode = ScalarInstruction::Mode;

bool isBinaryOperator(Kind kind) {
    return kind >= Kind::Add && kind <= Kind::GreaterEqual;
}

class ScalarCodeBuilder {
  public:
    explicit ScalarCodeBuilder(const CompiledExpression& expr) : expr_(expr) {}

    // The code leaving node `top`'s scalar in register 0, ended by `last`.
    std::vector<ScalarInstruction> build(int32_t top, ScalarInstruction last = {.op = Op::End}) {
        computeInto(top, 0);
        code_.push_back(last);
        // Jumps are relative, so the Wide instruction can go in front.
        if (registersUsed_ > maxScalarRegisters)
            code_.insert(code_.begin(), ScalarInstruction{.op = Op::Wide, .a = int32_t(registersUsed_)});
        for (ScalarInstruction& in : code_) in.setEntry();
        return std::move(code_);
    }

  private:
    bool isLeaf(const ExpressionNode& n) const {
        return n.kind == Kind::Variable || n.kind == Kind::IntLiteral || n.kind == Kind::FloatLiteral ||
               n.kind == Kind::BoolLiteral || n.kind == Kind::NoneLiteral;
    }

    void setOperand(int32_t index, Mode& mode, int32_t& value) const {
        const ExpressionNode& n = expr_.nodes[index];
        if (n.kind == Kind::Variable) {
            mode = Mode::Variable, value = index;
        } else if (n.kind == Kind::IntLiteral) {
            mode = Mode::IntConst, value = n.intValue;
        } else if (n.kind == Kind::BoolLiteral) {
            mode = Mode::BoolConst, value = n.intValue != 0;
        } else if (n.kind == Kind::NoneLiteral) {
            mode = Mode::NilConst, value = 0;
        } else {
            mode = Mode::FloatConst, value = std::bit_cast<int32_t>(n.floatValue);
        }
    }

    ScalarInstruction instruction(uint8_t op, size_t dst, int32_t node) {
        registersUsed_ = std::max(registersUsed_, dst + 1);
        ScalarInstruction in;
        in.op = op;
        in.dst = static_cast<uint32_t>(dst);
        in.node = node;
        return in;
    }

    // An operand: a leaf is read in place, anything else is computed into `reg`.
    void operand(int32_t index, size_t reg, Mode& mode, int32_t& value) {
        if (isLeaf(expr_.nodes[index])) return setOperand(index, mode, value);
        compute(index, reg);
        mode = Mode::Register, value = static_cast<int32_t>(reg);
    }

    // Emits the code that leaves node `index`'s scalar in register `reg`;
    // registers above `reg` are free for its operands.
    void compute(int32_t index, size_t reg) {
        const ExpressionNode& n = expr_.nodes[index];
        if (isBinaryOperator(n.kind)) {
            ScalarInstruction in = instruction(static_cast<uint8_t>(n.kind), reg, index);
            operand(n.left, reg, in.aMode, in.a);
            operand(n.right, reg + 1, in.bMode, in.b);
            code_.push_back(in);
        } else if (n.kind == Kind::And || n.kind == Kind::Or) {
            computeInto(n.left, reg);
            const size_t jump = code_.size();
            code_.push_back(instruction(n.kind == Kind::Or ? Op::JumpIfTruthy : Op::JumpIfFalsy, reg, index));
            computeInto(n.right, reg);
            code_[jump].b = static_cast<int32_t>(code_.size() - jump);
        } else if (n.kind == Kind::Not || n.kind == Kind::Negate) {
            ScalarInstruction in = instruction(n.kind == Kind::Not ? Op::Not : Op::Negate, reg, index);
            operand(n.left, reg, in.aMode, in.a);
            code_.push_back(in);
        } else if (n.kind == Kind::Length) {
            length(index, reg);
        } else if (n.kind == Kind::Index && expr_.nodes[n.right].pure) {
            element(index, reg, Op::Element);
        } else if (n.kind == Kind::Call && n.scalarSafe) {
            builtin(index, reg);
        } else {
            code_.push_back(instruction(Op::Fail, reg, index));
        }
    }

    void computeInto(int32_t index, size_t reg) {
        if (!isLeaf(expr_.nodes[index])) return compute(index, reg);
        ScalarInstruction move = instruction(Op::Move, reg, index);
        setOperand(index, move.aMode, move.a);
        code_.push_back(move);
    }

    // A numeric library call: its arguments go to the registers from `reg` on.
    void builtin(int32_t index, size_t reg) {
        const std::vector<int32_t>& args = expr_.calls[expr_.nodes[index].right].args;
        for (size_t i = 0; i < args.size(); ++i) computeInto(args[i], reg + i);
        ScalarInstruction in = instruction(Op::Builtin, reg, index);
        in.a = static_cast<int32_t>(reg);
        code_.push_back(in);
    }

    // The length of a string or array held in a variable or an element.
    void length(int32_t index, size_t reg) {
        const int32_t operand = expr_.nodes[index].left;
        ScalarInstruction in = instruction(Op::Length, reg, index);
        if (expr_.nodes[operand].kind == Kind::Variable) {
            in.aMode = Mode::Variable, in.a = operand;
        } else if (expr_.nodes[operand].kind == Kind::Index && expr_.nodes[expr_.nodes[operand].right].pure) {
            element(operand, reg, Op::ElementRef);
            in.aMode = Mode::Register, in.a = static_cast<int32_t>(reg);
        } else {
            in.op = Op::Fail;
        }
        code_.push_back(in);
    }

    // The container is found before the key is computed, as the tree does;
    // the key is pure, so computing it cannot move the container.
    void element(int32_t index, size_t reg, uint8_t op) {
        const ExpressionNode& n = expr_.nodes[index];
        const ExpressionNode& container = expr_.nodes[n.left];
        ScalarInstruction in = instruction(op, reg, index);
        if (container.kind == Kind::Variable) {
            in.aMode = Mode::Variable, in.a = n.left;
        } else if (container.kind == Kind::Index && expr_.nodes[container.right].pure) {
            element(n.left, reg, Op::ElementRef);
            in.aMode = Mode::Register, in.a = static_cast<int32_t>(reg);
        } else {
            code_.push_back(instruction(Op::Fail, reg, index));
            return;
        }
        const ExpressionNode& key = expr_.nodes[n.right];
        if (key.kind == Kind::StringLiteral)
            in.bMode = Mode::StringConst, in.b = key.intValue;
        else
            operand(n.right, reg + 1, in.bMode, in.b);
        code_.push_back(in);
    }

    const CompiledExpression& expr_;
    std::vector<ScalarInstruction> code_;
    size_t registersUsed_ = 0;
};

// The nodes that get code of their own: the root, unless it is a name or an
// int, which are read more cheaply without; and each operation the scalar
// path may try whose parent asks it for a number on its own: a call's
// argument, an operand of an operator that computes full values, or the key
// of an element read in place.
std::vector<int32_t> nodesWithCode(const CompiledExpression& expr) {
    std::vector<bool> parentNeedsValues(expr.nodes.size(), false);
    auto mark = [&](int32_t child) {
        if (child >= 0) parentNeedsValues[child] = true;
    };
    for (const ExpressionNode& n : expr.nodes) {
        if (n.kind == Kind::Call) {
            for (int32_t arg : expr.calls[n.right].args) mark(arg);
        } else if (n.kind == Kind::ArrayLiteral || n.kind == Kind::TableLiteral) {
            for (int32_t value : expr.literals[n.right].values) mark(value);
            for (int32_t key : expr.literals[n.right].keys) mark(key);
        } else if (!n.scalarSafe) {
            mark(n.left);
            mark(n.right);
        } else if (n.kind == Kind::Index) {
            mark(n.right);
        }
    }
    const Kind rootKind = expr.nodes[expr.root].kind;
    std::vector<int32_t> tops;
    if (rootKind != Kind::Variable && rootKind != Kind::IntLiteral) tops.push_back(expr.root);
    for (size_t i = 0; i < expr.nodes.size(); ++i) {
        const ExpressionNode& n = expr.nodes[i];
        const bool operation = n.kind >= Kind::Negate && n.kind <= Kind::Or;
        if (static_cast<int32_t>(i) != expr.root && parentNeedsValues[i] && n.scalarSafe && operation)
            tops.push_back(static_cast<int32_t>(i));
    }
    return tops;
}

void appendCode(CompiledExpression& expr, const std::vector<ScalarInstruction>& code) {
    expr.scalarCode.insert(expr.scalarCode.end(), code.begin(), code.end());
}

} // namespace

void ScriptEngine::buildScalarCode(CompiledExpression& expr) {
    expr.scalarCode.clear();
    if (!expr.valid) return;
    // Tops nest (an argument inside an argument), so their codes together
    // could grow with the square of the tree; past a budget linear in its
    // size, the further tops are left to full values, which only costs time.
    const size_t budget = 4 * expr.nodes.size() + 64;
    for (int32_t top : nodesWithCode(expr)) {
        if (expr.scalarCode.size() > budget) break;
        expr.nodes[top].scalarCode = static_cast<int32_t>(expr.scalarCode.size());
        appendCode(expr, ScalarCodeBuilder(expr).build(top));
    }
}

// A compound store to a name computes `name op value` as the operator
// would, through nodes added to the value's tree that its root never
// reaches; the Store then takes the result as a plain store does. One to an
// element or field combines the value with it there.
void ScriptEngine::buildStoreCode(ParsedScriptLine& line) {
    const ParsedAssignmentTarget& target = line.assignmentTargets[0];
    CompiledExpression& value = line.compiledValues[0];
    int32_t top = value.root;
    if (line.storeOperator != Kind::NoneLiteral && target.indexRanges.empty()) {
        ExpressionNode name, combined = value.nodes[value.root];
        name.kind = Kind::Variable;
        name.nameId = target.nameId;
        combined.kind = line.storeOperator;
        combined.left = static_cast<int32_t>(value.nodes.size());
        combined.right = value.root;
        combined.scalarCode = -1;
        value.nodes.push_back(name);
        value.nodes.push_back(combined);
        top = combined.left + 1;
    }
    line.storeCode = static_cast<int32_t>(value.scalarCode.size());
    appendCode(value, ScalarCodeBuilder(value).build(top, {.op = Op::Store}));
}
