// Value rules: text forms, truthiness, equality, ordering and arithmetic.
#include "ScriptEngine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

namespace {

using E = ScriptEngine;

Variable op(const Variable& a, char o, const Variable& b) {
    return E::performOperation(a, o, b);
}

std::string failure(const Variable& a, char o, const Variable& b) {
    try {
        op(a, o, b);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no error";
}

void expectInt(const Variable& v, int32_t expected) {
    ASSERT_EQ(v.type, VarType::Int);
    EXPECT_EQ(v.asInt(), expected);
}

void expectFloat(const Variable& v, float expected) {
    ASSERT_EQ(v.type, VarType::Float);
    EXPECT_FLOAT_EQ(v.asFloat(), expected);
}

TEST(Values, TextFormsAndTruthiness) {
    EXPECT_STREQ(E::typeName(VarType::None), "not");
    EXPECT_STREQ(E::typeName(static_cast<VarType>(42)), "unknown");
    // clang-format off
    const std::pair<Variable, const char*> forms[] = {
        {Variable(), "not"}, {Variable(-12), "-12"}, {Variable(1.5f), "1.500000"},
        {Variable(-0.25f), "-0.250000"}, {Variable(2.0f), "2.000000"},
        {Variable(1e30f), "1000000015047466219876688855040.000000"},
        {Variable(true), "true"}, {makeArray(), "[]"}, {makeTable(), "{}"},
        {makeArray({Variable(1), makeArray({Variable("a")})}), "[1, [a]]"}, {makeMulti({}), "[multivalue]"},
        {Variable::pointer(nullptr), "[unconvertible type]"}, {Variable::raw({1, 2}), "[unconvertible type]"},
    };
    // clang-format on
    for (const auto& [value, text] : forms) EXPECT_EQ(value.toString(), text);

    EXPECT_FALSE(E::isTruthy(Variable()));
    EXPECT_FALSE(E::isTruthy(Variable(false)));
    for (const Variable& v : {Variable(0), Variable(0.0f), Variable(""), makeArray()})
        EXPECT_TRUE(E::isTruthy(v));
}

TEST(Values, Equality) {
    EXPECT_TRUE(E::variablesEqual(Variable(1), Variable(1.0f)));
    EXPECT_TRUE(E::variablesEqual(Variable(true), Variable(1)));
    EXPECT_FALSE(E::variablesEqual(Variable("1"), Variable(1)));
    EXPECT_TRUE(E::variablesEqual(Variable(), Variable()));
    EXPECT_FALSE(E::variablesEqual(Variable(std::nanf("")), Variable(std::nanf(""))));
    Variable a = makeArray({Variable(1)}), b = makeArray({Variable(1)});
    EXPECT_FALSE(E::variablesEqual(a, b));
    EXPECT_TRUE(E::variablesEqual(a, a));
}

TEST(Values, Ordering) {
    EXPECT_EQ(E::compareVariables(Variable("abc"), Variable("abd")), -1);
    EXPECT_EQ(E::compareVariables(Variable("ab"), Variable("abc")), -1);
    EXPECT_EQ(E::compareVariables(Variable("\xff"), Variable("a")), 1);
    EXPECT_EQ(E::compareVariables(Variable(2), Variable(1.5f)), 1);
    EXPECT_EQ(E::compareVariables(Variable(std::nanf("")), Variable(1)), 0);
    try {
        E::compareVariables(Variable(1), Variable("2"));
        FAIL();
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Cannot compare int with string");
    }
}

TEST(Values, Arithmetic) {
    expectFloat(op(Variable(7), '/', Variable(2)), 3.5f);
    expectInt(op(Variable(7), '\\', Variable(2)), 3);
    expectInt(op(Variable(-7), '\\', Variable(2)), -3);
    expectInt(op(Variable(-7), '%', Variable(3)), -1);
    expectFloat(op(Variable(7.5f), '%', Variable(2)), 1.5f);
    expectInt(op(Variable(2147483647), '+', Variable(1)), -2147483648);
    expectInt(op(Variable(-2147483647 - 1), '\\', Variable(-1)), -2147483647 - 1);
    expectInt(op(Variable(-2147483647 - 1), '%', Variable(-1)), 0);
    expectInt(op(Variable(true), '+', Variable(true)), 2);
    expectFloat(op(Variable(1), '+', Variable(0.5f)), 1.5f);
    EXPECT_EQ(op(Variable("n="), '+', Variable(5)).asString(), "n=5");
    EXPECT_EQ(op(Variable(1.5f), '+', Variable("x")).asString(), "1.500000x");
    EXPECT_EQ(op(Variable("a"), '+', Variable(true)).asString(), "atrue");
}

TEST(Values, Power) {
    expectInt(op(Variable(2), '^', Variable(10)), 1024);
    expectInt(op(Variable(5), '^', Variable(0)), 1);
    expectInt(op(Variable(-3), '^', Variable(3)), -27);
    expectFloat(op(Variable(2), '^', Variable(-1)), 0.5f);
    expectFloat(op(Variable(2), '^', Variable(40)), 1099511627776.0f);
    expectFloat(op(Variable(2.0f), '^', Variable(2)), 4.0f);
    EXPECT_EQ(failure(Variable(0), '^', Variable(-1)), "Invalid exponentiation result");
}

TEST(Values, ArithmeticErrors) {
    // clang-format off
    const std::tuple<Variable, char, Variable, const char*> cases[] = {
        {Variable(5), '/', Variable(0.0f), "Division by zero"},
        {Variable(5), '%', Variable(0), "Division by zero"},
        {Variable(5), '\\', Variable(0.5f), "Division by zero"},
        {Variable(), '+', Variable(1), "Unsupported operation '+' between types"},
        {Variable("a"), '-', Variable(1), "Unsupported operation '-' between types"},
        {makeArray(), '*', Variable(1), "Unsupported operation '*' between types"},
        {Variable(1), '\\', Variable("2"), "Unsupported operation '\\' between types"},
        {Variable(1), '&', Variable(2), "Unsupported operation: &"},
    };
    // clang-format on
    for (const auto& [a, o, b, message] : cases) EXPECT_EQ(failure(a, o, b), message);
    try {
        E::performOperation(Variable(1), std::string("+="), Variable(2));
        FAIL();
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Unsupported operation: +=");
    }
}

TEST(Values, KeysAndLengths) {
    EXPECT_EQ(E::keyToString(Variable(3)), "3");
    EXPECT_EQ(E::keyToString(Variable("3")), "3");
    EXPECT_EQ(E::keyToString(Variable(3.0f)), "3.000000");
    EXPECT_EQ(E::keyToString(Variable(false)), "false");
    EXPECT_THROW(E::keyToString(makeArray()), std::runtime_error);

    Variable t = makeTable();
    for (const char* k : {"1", "2", "4", "01"}) (*t.asTable())[k] = Variable(1);
    EXPECT_EQ(E::arrayLength(t), 2);
    EXPECT_EQ(E::arrayLength(Variable("abc")), 3);
    EXPECT_EQ(E::arrayLength(makeArray({Variable(), Variable()})), 2);
    EXPECT_THROW(E::arrayLength(Variable(1)), std::runtime_error);

    EXPECT_TRUE(E::prefersArrayStorage(Variable(1)));
    EXPECT_FALSE(E::prefersArrayStorage(Variable(0)));
    EXPECT_TRUE(E::prefersArrayStorage(Variable(2.0f)));
    EXPECT_FALSE(E::prefersArrayStorage(Variable(2.5f)));
    EXPECT_FALSE(E::prefersArrayStorage(Variable(3e9f)));
    EXPECT_FALSE(E::prefersArrayStorage(Variable("1")));
}

TEST(Values, PromotionLeavesSharedArrayAlone) {
    Variable a = makeArray({Variable(10), Variable(20)});
    Variable shared = a;
    E::promoteArrayVariableToTable(a);
    ASSERT_EQ(a.type, VarType::Table);
    EXPECT_EQ(a.asTable()->find("2")->asInt(), 20);
    ASSERT_EQ(shared.type, VarType::Array);
    EXPECT_EQ(shared.asArray()->size(), 2u);
    Variable n(5);
    E::promoteArrayVariableToTable(n);
    EXPECT_EQ(n.type, VarType::Int);
}

TEST(Values, CopiesShareTextUntilOneChanges) {
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
}

TEST(Values, NumericViews) {
    EXPECT_EQ(E::toInt(Variable(-2.7f)), -2);
    EXPECT_EQ(E::toInt(Variable(true)), 1);
    EXPECT_DOUBLE_EQ(E::toDouble(Variable(false)), 0.0);
    EXPECT_THROW(E::toDouble(Variable("1")), std::runtime_error);
}

} // namespace
