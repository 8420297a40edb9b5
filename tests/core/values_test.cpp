// Value rules: text forms, truthiness, equality, ordering and arithmetic.
// Results that scripts print directly are pinned by the script tests; these
// are the edges they cannot reach.
#include "ScriptEngine.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

namespace {

using E = ScriptEngine;
using V = Variable;

TEST(Values, TextFormsAndTruthiness) {
    EXPECT_STREQ(E::typeName(VarType::None), "not");
    EXPECT_STREQ(E::typeName(static_cast<VarType>(42)), "unknown");
    // clang-format off
    const std::pair<Variable, const char*> forms[] = {
        {V(-0.25f), "-0.250000"}, {V(1e30f), "1000000015047466219876688855040.000000"},
        {makeArray({V(1), makeArray({V("a")})}), "[1, [a]]"},
        {Variable::pointer(nullptr), "[unconvertible type]"}, {Variable::raw({1, 2}), "[unconvertible type]"},
    };
    // clang-format on
    for (const auto& [value, text] : forms) EXPECT_EQ(value.toString(), text);

    EXPECT_FALSE(E::isTruthy(Variable()));
    EXPECT_FALSE(E::isTruthy(Variable(false)));
    for (const Variable& v : {Variable(0), Variable(0.0f), Variable(""), makeArray()})
        EXPECT_TRUE(E::isTruthy(v));
}

// Arrays are equal only to themselves; NaN to nothing.
TEST(Values, EqualityAndOrdering) {
    Variable a = makeArray({Variable(1)}), nan(std::nanf(""));
    // clang-format off
    const std::tuple<Variable, Variable, bool> equal[] = {
        {V(1), V(1.0f), true}, {V(true), V(1), true}, {V("1"), V(1), false},
        {V(), V(), true}, {nan, nan, false}, {a, makeArray({V(1)}), false}, {a, a, true}};
    const std::tuple<Variable, Variable, int> order[] = {
        {V("abc"), V("abd"), -1}, {V("ab"), V("abc"), -1},
        {V("\xff"), V("a"), 1}, {V(2), V(1.5f), 1}, {nan, V(1), 0}};
    // clang-format on
    for (const auto& [x, y, same] : equal) EXPECT_EQ(E::variablesEqual(x, y), same) << x.toString();
    for (const auto& [x, y, sign] : order) EXPECT_EQ(E::compareVariables(x, y), sign) << x.toString();
    EXPECT_EQ(errorOf([] { E::compareVariables(Variable(1), Variable("2")); }),
              "Cannot compare int with string");
}

// Each result with its type, and each error with its message.
TEST(Values, ArithmeticAndPower) {
    const int32_t min = -2147483647 - 1;
    // clang-format off
    const std::tuple<Variable, char, Variable, Variable> cases[] = {
        {V(min), '\\', V(-1), V(min)}, {V(min), '%', V(-1), V(0)}, {V(2.0f), '^', V(2), V(4.0f)},
        {V(2), '^', V(40), V(1099511627776.0f)},
    };
    const std::tuple<Variable, char, Variable, const char*> errors[] = {
        {V(5), '/', V(0.0f), "Division by zero"},
        {V(5), '%', V(0), "Division by zero"},
        {V(5), '\\', V(0.5f), "Division by zero"},
        {V(), '+', V(1), "Unsupported operation '+' between types"},
        {V("a"), '-', V(1), "Unsupported operation '-' between types"},
        {makeArray(), '*', V(1), "Unsupported operation '*' between types"},
        {V(1), '\\', V("2"), "Unsupported operation '\\' between types"},
        {V(1), '&', V(2), "Unsupported operation: &"},
        {V(0), '^', V(-1), "Invalid exponentiation result"},
    };
    // clang-format on
    for (const auto& [a, o, b, expected] : cases) {
        const Variable result = E::performOperation(a, o, b);
        EXPECT_EQ(result.type, expected.type) << a.toString() << o << b.toString();
        EXPECT_EQ(result.toString(), expected.toString()) << a.toString() << o << b.toString();
    }
    for (const auto& [a, o, b, message] : errors)
        EXPECT_EQ(errorOf([&] { E::performOperation(a, o, b); }), message);
    EXPECT_EQ(errorOf([] { E::performOperation(Variable(1), std::string("+="), Variable(2)); }),
              "Unsupported operation: +=");
}

// A table's length is its run of keys "1", "2", ... in their plain forms only.
TEST(Values, LengthsKeysStorageAndNumericViews) {
    Variable t = makeTable();
    for (const char* k : {"1", "2", "4", "01"}) (*t.asTable())[k] = Variable(1);
    EXPECT_EQ(E::arrayLength(t), 2);
    EXPECT_EQ(E::keyToString(Variable(false)), "false"); // true, numbers and bad keys show in scripts

    EXPECT_EQ(E::toInt(Variable(-2.7f)), -2);
    EXPECT_EQ(E::toInt(Variable(true)), 1);
    EXPECT_DOUBLE_EQ(E::toDouble(Variable(false)), 0.0);
    EXPECT_THROW(E::toDouble(Variable("1")), std::runtime_error);
}

// Copies share storage until one is changed; promoting an array to a table
// leaves other holders of the array alone.
TEST(Values, SharedStorageSplitsOnChange) {
    Variable a("text"), b = a;
    b.ownString()[0] = 'n';
    EXPECT_EQ(a.asString(), "text");
    EXPECT_EQ(b.asString(), "next");
    Variable moved = std::move(b);
    EXPECT_EQ(moved.asString(), "next");
    EXPECT_TRUE(b.isNone());
    Variable bytes = Variable::raw({1, 2}), kept = bytes;
    bytes = a;
    EXPECT_EQ(kept.asRaw(), (std::vector<uint8_t>{1, 2}));
    Variable list = makeArray({a});
    list = list.asArray()->at(0);
    EXPECT_EQ(list.asString(), "text");

    Variable array = makeArray({Variable(10), Variable(20)}), shared = array;
    E::promoteArrayVariableToTable(array);
    ASSERT_EQ(array.type, VarType::Table);
    EXPECT_EQ(array.asTable()->find("2")->asInt(), 20);
    ASSERT_EQ(shared.type, VarType::Array);
    EXPECT_EQ(shared.asArray()->size(), 2u);
    Variable n(5);
    E::promoteArrayVariableToTable(n);
    EXPECT_EQ(n.type, VarType::Int);
}

} // namespace
