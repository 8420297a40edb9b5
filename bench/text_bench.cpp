// Training and generation speed of the text model, as a game uses it: read a
// corpus, train at some order, then ask for a long run of text.
//
//   text_bench CORPUS [ORDER...]     (orders 3 and 6 by default)
//
// One line per measurement, "name key=value ...", for bench/run-text-bench.sh.
// Every time is the processor time of the best of three runs, which a machine
// shared with other work disturbs less than the time on the clock.
#include "TextModel.h"

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr int runs = 3;
constexpr int32_t generatedBytes = 1000000;

double processorSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec * 1e-9;
}

template <class Work> double bestSeconds(Work&& work) {
    double best = 1e30;
    for (int run = 0; run < runs; ++run) {
        const double start = processorSeconds();
        work();
        best = std::min(best, processorSeconds() - start);
    }
    return best;
}

// What the model needs at the least: every state's bytes, and a byte and a count per transition.
size_t payloadBytes(const AIModel& model) {
    size_t bytes = model.transitionCount() * (1 + sizeof(int32_t));
    for (size_t s = 0; s < model.stateCount(); ++s) bytes += model.state(s).size();
    return bytes;
}

void measure(const std::string& corpus, int32_t order) {
    AIModel model;
    const double trainSeconds = bestSeconds([&] { model = aiTrainModel(corpus, order); });
    std::printf("train order=%d bytes=%zu seconds=%.4f mbps=%.2f states=%zu transitions=%zu model_bytes=%zu "
                "payload_bytes=%zu\n",
                order, corpus.size(), trainSeconds, corpus.size() / trainSeconds / 1e6, model.stateCount(),
                model.transitionCount(), model.memoryBytes(), payloadBytes(model));
    size_t produced = 0;
    const double generateSeconds = bestSeconds(
        [&] { produced = aiGenerateTextImpl(false, "", model, generatedBytes, false, "", order).size(); });
    std::printf("generate order=%d bytes=%zu seconds=%.4f mbps=%.2f\n", order, produced, generateSeconds,
                produced / generateSeconds / 1e6);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: text_bench CORPUS [ORDER...]\n");
        return 2;
    }
    std::string corpus;
    if (!aiReadFile(argv[1], corpus)) {
        std::fprintf(stderr, "text_bench: cannot read %s\n", argv[1]);
        return 1;
    }
    std::vector<int32_t> orders;
    for (int i = 2; i < argc; ++i) orders.push_back(std::atoi(argv[i]));
    if (orders.empty()) orders = {3, 6};
    for (int32_t order : orders) measure(corpus, order);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak rss_kb=%ld\n", usage.ru_maxrss);
}
