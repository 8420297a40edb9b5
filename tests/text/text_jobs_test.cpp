// Background jobs: many queued at once, failures, and collection.
#include "AIJobs.h"
#include "TextModel.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

AIJobResult awaitJob(int32_t id) {
    for (;;) {
        AIJobPoll poll = aiPollJob(id);
        EXPECT_NE(poll.state, AIJobPoll::State::Unknown);
        if (poll.state != AIJobPoll::State::Running) return std::move(poll.result);
        std::this_thread::yield();
    }
}

TEST(TextJobs, ManyJobsQueuedAtOnceAllFinishWithTheirOwnResults) {
    const AIModel cycle = aiTrainModel("abcdefg", 3);
    std::string cycles;
    while (cycles.size() < 7 + 64 * 100) cycles += "abcdefg";
    std::vector<int32_t> ids;
    AIRequest request;
    request.hasTextInput = request.skipTraining = request.hasModel = true;
    request.model = cycle;
    for (int32_t i = 0; i < 64; ++i) {
        request.textInput = cycles.substr(i % 7, 3);
        request.genLength = i * 100;
        ids.push_back(aiSubmitJob(request));
    }
    for (size_t i = 1; i < ids.size(); ++i) EXPECT_EQ(ids[i], ids[i - 1] + 1);
    for (int32_t i = 0; i < 64; ++i) {
        const AIJobResult result = awaitJob(ids[i]);
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_EQ(result.text, cycles.substr(i % 7, 3 + i * 100)) << i;
        EXPECT_EQ(result.model, cycle);
        EXPECT_EQ(aiPollJob(ids[i]).state, AIJobPoll::State::Unknown);
    }
}

TEST(TextJobs, AFailedJobReportsItsErrorAndAnUnknownIdIsUnknown) {
    AIRequest request;
    request.filePath = "/nonexistent/corpus.txt";
    const AIJobResult result = awaitJob(aiSubmitJob(request));
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "Cannot open file: /nonexistent/corpus.txt");
    EXPECT_EQ(aiPollJob(-5).state, AIJobPoll::State::Unknown);
}

} // namespace
