// Training against a plain reference over every kind of window, the model
// file's round trip, and the builder's rules.
#include "TextModel.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <tuple>

namespace {

using Counts = std::map<std::string, std::map<char, int32_t>>;

// The training rule written as plainly as possible.
Counts referenceTraining(std::string text, int32_t order) {
    const size_t k = order > 0 ? order : 0;
    if (k >= 1 && !text.empty()) text += text.substr(0, std::min(text.size(), k));
    Counts counts;
    for (size_t i = 0; i + k < text.size(); ++i) ++counts[text.substr(i, k)][text[i + k]];
    return counts;
}

Counts countsOf(const AIModel& model) {
    Counts counts;
    for (size_t s = 0; s < model.stateCount(); ++s) {
        auto& transitions = counts[std::string(model.state(s))];
        for (size_t t = 0; t < model.nextBytes(s).size(); ++t)
            transitions[model.nextBytes(s)[t]] = model.counts(s)[t];
        EXPECT_EQ(model.find(model.state(s)), s);
    }
    return counts;
}

std::string randomText(std::mt19937& random, size_t length, const std::string& alphabet) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text += alphabet[random() % alphabet.size()];
    return text;
}

TEST(TextTraining, MatchesThePlainRuleForEveryOrderAndLength) {
    std::mt19937 random(7);
    const std::string alphabets[] = {"ab", "abc d\n", std::string("\0\xff|,:x", 6)};
    for (const std::string& alphabet : alphabets) {
        for (size_t length : {0, 1, 2, 3, 5, 9, 17, 2000}) {
            const std::string text = randomText(random, length, alphabet);
            for (int32_t order : {-1, 0, 1, 2, 3, 4, 5, 7, 8, 9, 12, 30}) {
                const AIModel model = aiTrainModel(text, order);
                EXPECT_EQ(countsOf(model), referenceTraining(text, order))
                    << "order " << order << ", length " << length;
                EXPECT_EQ(model.find("never a state of these texts"), AIModel::npos);
            }
        }
    }
}

TEST(TextTraining, EqualModelsCompareEqualInAnyOrder) {
    const AIModel trained = aiTrainModel("the cat sat on the mat", 2);
    AIModelBuilder reversed;
    for (size_t s = trained.stateCount(); s-- > 0;) {
        const size_t state = reversed.addState(trained.state(s));
        for (size_t t = trained.nextBytes(s).size(); t-- > 0;)
            reversed.setCount(state, trained.nextBytes(s)[t], trained.counts(s)[t]);
    }
    const AIModel built = std::move(reversed).finish();
    EXPECT_EQ(built, trained);
    EXPECT_FALSE(built == aiTrainModel("the cat sat on the hat", 2));
}

TEST(TextModelBuilder, LaterCountsReplaceEarlierOnesAndStatesKeepTheirFirstPlace) {
    AIModelBuilder builder;
    const size_t a = builder.addState("a");
    const size_t b = builder.addState("bb");
    builder.setCount(a, 'x', 1);
    builder.setCount(b, 'y', 2);
    builder.setCount(builder.addState("a"), 'z', 3);
    builder.setCount(a, 'x', 4);
    builder.addState("");
    const AIModel model = std::move(builder).finish();
    ASSERT_EQ(model.stateCount(), 3u);
    EXPECT_EQ(std::tuple(model.state(0), model.state(1), model.state(2), model.nextBytes(0)),
              std::tuple("a", "bb", "", "xz"));
    EXPECT_EQ(countsOf(model), (Counts{{"a", {{'x', 4}, {'z', 3}}}, {"bb", {{'y', 2}}}, {"", {}}}));
}

TEST(TextModelFile, ModelsOfPlainTextComeBackFromTheirFileText) {
    std::mt19937 random(11);
    for (int32_t order : {1, 3, 6, 10}) {
        const AIModel model = aiTrainModel(randomText(random, 3000, "abcde fgh;"), order);
        const std::string text = aiModelText(model);
        EXPECT_EQ(aiModelFromText(text), model);
        EXPECT_EQ(aiModelText(aiModelFromText(text)), text);
    }
    EXPECT_EQ(aiModelText(AIModel()), "");
    EXPECT_EQ(aiModelText(aiModelFromText("ab|c:2,d:10\nx|y:0")), "ab|c:2,d:10\nx|y:0");
}

TEST(TextModelFile, AFileThatCannotBeReadLeavesTheModelAlone) {
    AIModel model = aiTrainModel("abc", 1);
    EXPECT_FALSE(aiLoadModelFromPath(model, "/nonexistent/model.txt"));
    EXPECT_FALSE(aiLoadModelFromPath(model, "/"));
    EXPECT_EQ(model, aiTrainModel("abc", 1));
    EXPECT_FALSE(aiSaveModelToPath(model, "/nonexistent/model.txt"));
}

} // namespace
