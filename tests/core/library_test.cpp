// The standard library's inner pieces: the pattern translator and cache, the
// hand-written matchers, and the table store.
#include "ScriptEngine.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <malloc.h>
#include <map>
#include <random>

namespace {

std::string gsub(const std::string& s, const std::string& pattern, const std::string& replacement) {
    const Variable args[] = {Variable(s), Variable(pattern), Variable(replacement)};
    return ScriptEngine::gsubFunction(args).asString();
}

// Classes outside and inside sets, escapes and special bytes, and '?' as
// optional only after a single item.
TEST(PatternTranslation, PatternsBecomeRegexes) {
    // clang-format off
    const char* const cases[][2] = {
        {"%a%d%l%u%s%w%x", "[A-Za-z]\\d[a-z][A-Z]\\s\\w[A-Fa-f0-9]"},
        {"%A%D%L%U%S%W%X", "[^A-Za-z]\\D[^a-z][^A-Z]\\S\\W[^A-Fa-f0-9]"},
        {"[%a%d_]", "[A-Za-z\\d_]"}, {"%p", "[!-/:-@\\[-`\\{-~]"}, {"[%P]", "[^!-/:-@\\[-`\\{-~]"},
        {"%.%-%%%", "\\.-%%"}, {"a-", "a*?"}, {"^(a*)+.$", "^(a*)+.$"}, {"{x}|\\", "\\{x\\}\\|\\\\"},
        {"%b%f%c", "bfc"}, {"[^^\\]", "[^\\^\\\\]"},
        {"colou?r", "colou?r"}, {"%d?[ab]?.?x??", "\\d?[ab]?.?x?\\?"}, {"?a", "\\?a"}, {"(a)?", "(a)\\?"},
        {"a*?", "a*\\?"}, {"a??", "a?\\?"}, {"[?]", "[?]"},
    };
    // clang-format on
    for (const auto& [lua, regex] : cases) EXPECT_EQ(ScriptEngine::translateLuaPattern(lua), regex) << lua;
    EXPECT_EQ(ScriptEngine::escapeRegexLiteralChar('a'), "a");
    for (char c : std::string("$()*+.?[\\]^{|}"))
        EXPECT_EQ(ScriptEngine::escapeRegexLiteralChar(c), std::string("\\") + c) << c;
}

// Good patterns compile once per text; bad ones fail every time, not only the
// first. The script tests pin the messages of bad flags.
TEST(PatternCache, CompilesOncePerTextAndBadPatternsFailEveryTime) {
    const CompiledGsubPattern& first = ScriptEngine::getCachedGsubPattern("(%a)(%d)");
    EXPECT_EQ(&first, &ScriptEngine::getCachedGsubPattern("(%a)(%d)"));
    EXPECT_EQ(first.groupCount, 2u);
    const std::string message = errorOf([] { ScriptEngine::getCachedGsubPattern("re:(ab"); });
    EXPECT_EQ(message.rfind("gsub: invalid regex pattern '(ab': ", 0), 0u) << message;
    EXPECT_EQ(errorOf([] { ScriptEngine::getCachedGsubPattern("re:(ab"); }), message);
    for (const char* bad : {"[%a", "re:a{2,1}"})
        EXPECT_NE(errorOf([&] { ScriptEngine::getCachedGsubPattern(bad); }), "no error") << bad;
}

// The hand-written matchers: a run of digits from a start, and "(%a+)%-(%d+)"
// against the regex on random texts.
TEST(PatternMatchers, HandWrittenMatchersAgreeWithTheRegexPath) {
    size_t start = 0, end = 0;
    EXPECT_TRUE(ScriptEngine::findAsciiLuaClassRun("ab12c345", 0, start, end));
    EXPECT_EQ(std::pair(start, end), (std::pair<size_t, size_t>(2, 4)));
    EXPECT_TRUE(ScriptEngine::findAsciiLuaClassRun("ab12c345", 3, start, end));
    EXPECT_EQ(std::pair(start, end), (std::pair<size_t, size_t>(3, 4)));
    EXPECT_FALSE(ScriptEngine::findAsciiLuaClassRun("ab12", 4, start, end));

    const std::regex& regex = ScriptEngine::getCachedGsubPattern("(%a+)%-(%d+)").regex;
    std::mt19937 random(1);
    const std::string alphabet = "ab-1 2Z";
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        const size_t length = random() % 12;
        for (size_t i = 0; i < length; ++i) text += alphabet[random() % alphabet.size()];
        size_t s1, e1, s2, e2;
        std::smatch match;
        const bool expected = std::regex_search(text, match, regex);
        ASSERT_EQ(ScriptEngine::findAlphaDashDigitsMatch(text, 0, s1, e1, s2, e2), expected) << text;
        if (!expected) continue;
        EXPECT_EQ(text.substr(s1, e1 - s1), match.str(1)) << text;
        EXPECT_EQ(text.substr(s2, e2 - s2), match.str(2)) << text;
    }
}

TEST(PatternMatching, LongTextsDoNotExhaustTheStack) {
    const std::string text(300000, 'a');
    EXPECT_EQ(gsub(text, ".*", "x"), "xx");
    EXPECT_EQ(gsub(text + "b", "re:(a|b)+", "y"), "y");
    EXPECT_EQ(gsub(text, "a", ""), "");
}

// ---------------------------------------------------------------------------
// The table store

// A remembered lookup stays right while entries move as keys come and go.
TEST(TableStore, AgreesWithAnOrderedMapAndKeepsLookupsCurrent) {
    TableStorage table;
    std::map<std::string, int> reference;
    std::mt19937 random(7);
    const std::string anchor = "anchor";
    table[anchor] = Variable(-1);
    TableStorage::Lookup lookup{.hash = TableStorage::hashOf(anchor)};
    for (int step = 0; step < 20000; ++step) {
        // Few distinct keys, so that erasing meets long runs of taken slots.
        const std::string key = "k" + std::to_string(random() % 300);
        if (random() % 3 == 0) {
            ASSERT_EQ(table.erase(key), reference.erase(key) == 1);
        } else {
            table[key] = Variable(step);
            reference[key] = step;
        }
        ASSERT_EQ(table.size(), reference.size() + 1);
        ASSERT_EQ(table.find(anchor, lookup)->asInt(), -1);
    }
    table.erase(anchor);
    EXPECT_EQ(table.find(anchor, lookup), nullptr);
    const std::vector<TableStorage::Entry*>& walk = table.walkEntries();
    ASSERT_EQ(walk.size(), reference.size());
    auto expected = reference.begin();
    for (const TableStorage::Entry* entry : walk) {
        EXPECT_EQ(entry->key, expected->first);
        EXPECT_EQ(entry->value.asInt(), expected->second);
        EXPECT_EQ(table.find(expected->first), &entry->value);
        ++expected;
    }
    TableStorage copy = table;
    EXPECT_EQ(copy.size(), table.size());
    EXPECT_EQ(copy.find(walk[0]->key)->asInt(), walk[0]->value.asInt());
}

// Keys whose hashes agree are still told apart by every byte, at every
// short length (looked up under the stored key's hash, as a collision would).
TEST(TableStore, KeysWithTheSameHashDifferInAnyByte) {
    TableStorage table;
    const std::string letters = "abcdefghijklmnopqrstu";
    for (size_t length = 0; length <= letters.size(); ++length) {
        const std::string key = letters.substr(0, length);
        table[key] = Variable(static_cast<int32_t>(length));
        const uint32_t hash = TableStorage::hashOf(key);
        ASSERT_NE(table.find(key, hash), nullptr);
        for (size_t i = 0; i < length; ++i) {
            std::string other = key;
            other[i] = 'Z';
            EXPECT_EQ(table.find(other, hash), nullptr) << other;
        }
    }
}

// A frame loop that makes and walks a big table each frame: the walk orders
// die with their tables.
TEST(TableStore, FrameLoopsThatWalkTablesKeepMemoryFlat) {
    ScriptEngine engine;
    auto frames = [&](int count) {
        engine.runScript("for frame = 1, " + std::to_string(count) +
                         "\n  t = {}\n  for i = 1, 2000\n    t[i] = i\n  end\n"
                         "  for k, v in pairs(t)\n  end\nend");
        return mallinfo2().uordblks;
    };
    const size_t afterFew = frames(10);
    EXPECT_LT(frames(160), afterFew + (1u << 20));
}

} // namespace
