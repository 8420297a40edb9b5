// Statement assembly, tokens, token rules and block links.
#include "ScriptEngine.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using E = ScriptEngine;
using Tokens = std::vector<std::string>;

// Statements split at semicolons outside brackets; open brackets and strings
// join physical lines, and each statement keeps the line it starts on. Comments
// end at "@@" outside strings; blank and comment lines stay as empty statements.
TEST(Lexer, StatementsCommentsAndTheirLines) {
    ScriptEngine engine;
    using Statements = std::vector<std::pair<std::string, size_t>>;
    Statements statements;
    for (const auto& line : engine.parseLines("a = 1; b = 2\nf(1;2)\nx = [1,\n   2]\ny = 'a\n\t b'\nz = 1"))
        statements.emplace_back(line.text, line.lineNumber);
    EXPECT_EQ(
        statements,
        (Statements{
            {"a = 1", 0}, {"b = 2", 0}, {"f(1;2)", 1}, {"x = [1, 2]", 2}, {"y = 'a b'", 4}, {"z = 1", 6}}));

    ParsedLines lines = engine.parseLines("s = '@@' @@ note\n\n@@ whole line\n   \n  @@ indented\nx = 1");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].tokens, (Tokens{"s", "=", "'@@'"}));
    EXPECT_EQ(lines[1].kind, StatementKind::Empty);
    EXPECT_EQ(lines[2].kind, StatementKind::Empty);
    EXPECT_EQ(lines[2].lineNumber, 2u);
    EXPECT_EQ(lines[3].lineNumber, 5u);

    EXPECT_EQ(errorOf([&] { engine.parseLines("\nx = 'abc"); }),
              "BrumeScript error: Unterminated string literal\n"
              "  at line 2, near token ''abc'\n"
              "  x = 'abc\n"
              "      ^~~~\n"
              "  hint: check spelling, operators, parentheses, and quote matching\n");
}

TEST(Lexer, Tokens) {
    // clang-format off
    const std::pair<const char*, Tokens> cases[] = {
        {"a<=b", {"a", "<=", "b"}}, {"a=-1", {"a", "=", "-", "1"}}, {"t.x=1", {"t.x", "=", "1"}},
        {"x\\=2 ^ 3", {"x", "\\=", "2", "^", "3"}}, {"a & b|c ~d", {"a", "&", "b|c", "~d"}},
        {"a&&b||c~=d!=e", {"a", "&&", "b", "||", "c", "~=", "d", "!=", "e"}},
        {"f(...) #t{1:2}", {"f", "(", "...", ")", "#", "t", "{", "1", ":", "2", "}"}},
        {"s = \"a\\\"b\" @@ c", {"s", "=", "\"a\\\"b\""}}, {"x.y.z 1.5 -5", {"x.y.z", "1.5", "-", "5"}}};
    // clang-format on
    ScriptEngine engine;
    for (const auto& [text, tokens] : cases) EXPECT_EQ(engine.tokenise(text), tokens) << text;
}

TEST(Lexer, TokenRulesAndStringDecoding) {
    EXPECT_TRUE(E::isIdentifier("_a$1"));
    for (const char* t : {"1a", "a.b"}) EXPECT_FALSE(E::isIdentifier(t)) << t;
    for (const char* t : {"true", "ture", "tre", "tue"}) EXPECT_TRUE(E::isTrueToken(t)) << t;
    for (const char* t : {"false", "flase", "fasle", "flse"}) EXPECT_TRUE(E::isFalseToken(t)) << t;
    EXPECT_FALSE(E::isTrueToken("True"));
    for (const char* t : {"1.", ".5", "007", "-3", "+2.5"}) EXPECT_TRUE(E::tokenLooksNumeric(t)) << t;
    for (const char* t : {"1e5", "0x10", "1.2.3", ".", "-"}) EXPECT_FALSE(E::tokenLooksNumeric(t)) << t;

    int32_t i = 0;
    EXPECT_TRUE(E::parseIntStrict("-2147483648", i));
    EXPECT_EQ(i, -2147483647 - 1);
    EXPECT_FALSE(E::parseIntStrict("2147483648", i));
    EXPECT_FALSE(E::parseIntStrict("+5", i));
    float f = 0;
    EXPECT_TRUE(E::parseFloatStrict("1.", f));
    EXPECT_FALSE(E::parseFloatStrict("1e99", f));

    const TokenAnalysis octal = E::analyseToken("007"), huge = E::analyseToken("99999999999"),
                        fraction = E::analyseToken("2.5");
    EXPECT_TRUE(octal.hasInt && octal.intValue == 7);
    EXPECT_TRUE(huge.isNumeric && !huge.hasInt);
    EXPECT_TRUE(fraction.isFloat && !fraction.hasInt);

    // A lone trailing backslash stays; mismatched quotes leave the text as it is.
    const std::pair<const char*, const char*> strings[] = {{"'a\\nb\\tc\\r'", "a\nb\tc\r"},
                                                           {"\"q\\\"\\\\\\z\"", "q\"\\z"},
                                                           {"'end\\'", "end\\"},
                                                           {"'mixed\"", "'mixed\""},
                                                           {"plain", "plain"}};
    for (const auto& [token, text] : strings) EXPECT_EQ(E::decodeStringToken(token), text) << token;
}

TEST(Lexer, StatementKinds) {
    using enum StatementKind;
    // clang-format off
    const std::pair<const char*, StatementKind> statements[] = {
        {"if a", If}, {"elseif b", ElseIf}, {"else", Else}, {"end", End}, {"while x", While}, {"end", End},
        {"repeat", Repeat}, {"until y", Until}, {"for i = 1, 2", For}, {"end", End},
        {"function f()", FunctionDecl}, {"end", End}, {"decay function g()", DecayFunctionDecl}, {"end", End},
        {"native function h()", NativeFunctionDecl}, {"end", End},
        {"local function k()", LocalFunctionDecl}, {"end", End}, {"local x = 1", Simple},
        {"return", Return}, {"break", Break}, {"decay = 1", Simple}};
    // clang-format on
    std::string source;
    for (const auto& [text, kind] : statements) source += std::string(text) + "\n";
    ScriptEngine engine;
    const ParsedLines lines = engine.parseLines(source);
    ASSERT_EQ(lines.size(), std::size(statements));
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].kind, statements[i].second) << statements[i].first;
}

// Each block opener and branch links to its end and next branch, past nested blocks.
TEST(Lexer, BlockLinks) {
    ScriptEngine engine;
    ParsedLines lines =
        engine.parseLines("if a\n while b\n end\nelseif c\nelse\nend\nrepeat\nuntil d\nend\nuntil e");
    // clang-format off
    const std::tuple<size_t, size_t, size_t> links[] = {   // line, end, next branch
        {0, 5, 3}, {1, 2, NoLineIndex}, {3, 5, 4}, {4, 5, NoLineIndex}, {6, 7, NoLineIndex}};
    // clang-format on
    for (const auto& [line, end, next] : links) {
        EXPECT_EQ(lines[line].endIndex, end) << line;
        EXPECT_EQ(lines[line].nextBranchIndex, next) << line;
    }

    ParsedLines open = engine.parseLines("if a\nwhile b\nrepeat");
    EXPECT_EQ(open[0].endIndex, NoLineIndex);
}

// Targets with index chains, value lists split at top-level commas, compound
// operators, and `==` that is a comparison rather than an assignment.
TEST(Lexer, AssignmentSplit) {
    ScriptEngine engine;
    ParsedLines lines = engine.parseLines("local a, t[i + 1][2] = f(x, y), 3\nx += 1\nf(a == b)\nu = v == w");
    const ParsedScriptLine& first = lines[0];
    EXPECT_EQ(first.assignScope, ScopeTarget::Local);
    EXPECT_EQ(first.tokens[first.assignOpIndex], "=");
    ASSERT_EQ(first.assignmentTargets.size(), 2u);
    EXPECT_EQ(first.tokens[first.assignmentTargets[1].nameIndex], "t");
    ASSERT_EQ(first.assignmentTargets[1].indexRanges.size(), 2u);
    EXPECT_EQ(first.assignmentTargets[1].indexRanges[0].end - first.assignmentTargets[1].indexRanges[0].first,
              3u);
    ASSERT_EQ(first.valueRanges.size(), 2u);
    EXPECT_EQ(first.tokens[first.valueRanges[1].first], "3");
    EXPECT_EQ(lines[1].tokens[lines[1].assignOpIndex], "+=");
    EXPECT_EQ(lines[2].assignOpIndex, 0u);
    EXPECT_EQ(lines[3].assignOpIndex, 1u);
}

} // namespace
