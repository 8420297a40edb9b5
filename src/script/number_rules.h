// The arithmetic and comparisons of script numbers, written once. The shared
// operator on full values and the unboxed scalar paths all compute through
// these, so that every route gives the same int wrap-around, the same float
// rounding and the same zero-divisor cases. They are forced inline: with the
// operator known where they are called, each folds to its one operation.
#pragma once

#include "parsed_line.h"

#include <cstdint>

namespace number_rules {

using Op = ExpressionNodeKind;

// Int results wrap around to the 32-bit range.
[[gnu::always_inline]] inline int32_t wrap(int64_t v) {
    return static_cast<int32_t>(static_cast<uint32_t>(v));
}

// Float results are computed in double and rounded once to the float type.
[[gnu::always_inline]] inline float floatResult(double v) {
    return static_cast<float>(v);
}

[[gnu::always_inline]] inline int32_t negate(int32_t x) {
    return wrap(-int64_t{x});
}

// `op` (Add, Subtract, Multiply, IntDivide or Modulo) on two ints; false for
// another operator or a zero divisor, which the caller reports. Division
// truncates toward zero and the remainder takes the dividend's sign.
[[gnu::always_inline]] inline bool intArithmetic(Op op, int64_t x, int64_t y, int32_t& out) {
    switch (op) {
    case Op::Add:
        out = wrap(x + y);
        return true;
    case Op::Subtract:
        out = wrap(x - y);
        return true;
    case Op::Multiply:
        out = wrap(x * y);
        return true;
    case Op::IntDivide:
        if (y == 0) return false;
        out = wrap(x / y);
        return true;
    case Op::Modulo:
        if (y == 0) return false;
        out = wrap(x % y);
        return true;
    default:
        return false;
    }
}

// `op` (Add, Subtract, Multiply or Divide) on numbers of which one is a
// float; false for another operator or a zero divisor of Divide.
[[gnu::always_inline]] inline bool floatArithmetic(Op op, double x, double y, float& out) {
    switch (op) {
    case Op::Add:
        out = floatResult(x + y);
        return true;
    case Op::Subtract:
        out = floatResult(x - y);
        return true;
    case Op::Multiply:
        out = floatResult(x * y);
        return true;
    case Op::Divide:
        if (y == 0) return false;
        out = floatResult(x / y);
        return true;
    default:
        return false;
    }
}

// The order of two numbers: -1, 0 or 1, where NaN is neither below nor above.
template <class T> [[gnu::always_inline]] inline int threeWay(T x, T y) {
    return x < y ? -1 : (x > y ? 1 : 0);
}

// Whether a comparison operator (Less to GreaterEqual) holds for an order.
[[gnu::always_inline]] inline bool orderHolds(Op op, int order) {
    switch (op) {
    case Op::Less:
        return order < 0;
    case Op::Greater:
        return order > 0;
    case Op::LessEqual:
        return order <= 0;
    default:
        return order >= 0;
    }
}

// An equality or comparison operator (Equal to GreaterEqual) on two numbers:
// orderHolds on their threeWay order, one comparison each. As NaN is neither
// below nor above, <= is "not above" and >= "not below".
template <class T> [[gnu::always_inline]] inline bool compare(Op op, T x, T y) {
    switch (op) {
    case Op::Equal:
        return x == y;
    case Op::NotEqual:
        return x != y;
    case Op::Less:
        return x < y;
    case Op::Greater:
        return x > y;
    case Op::LessEqual:
        return !(x > y);
    default:
        return !(x < y);
    }
}

[[gnu::always_inline]] constexpr bool isComparison(Op op) {
    return op >= Op::Equal && op <= Op::GreaterEqual;
}

} // namespace number_rules
