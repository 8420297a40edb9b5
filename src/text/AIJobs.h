// Background requests: a fixed pool of worker threads takes queued requests
// in order, and the job table keeps each one's result until it is collected.
// The pool lives from the first job to the end of the process, which waits
// for the queued and running jobs before it exits.
#pragma once

#include "AIRequest.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

class AIThreadPool {
  public:
    explicit AIThreadPool(size_t workers);
    ~AIThreadPool(); // runs what is queued, then joins
    AIThreadPool(const AIThreadPool&) = delete;
    AIThreadPool& operator=(const AIThreadPool&) = delete;

    void enqueue(std::packaged_task<AIJobResult()> task);

  private:
    void work();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::packaged_task<AIJobResult()>> queue_;
    bool stop_ = false;
    std::vector<std::thread> workers_;
};

// Queues the request and returns its job id: 1 for the first job, then 2, 3...
int32_t aiSubmitJob(AIRequest request);

struct AIJobPoll {
    enum class State { Unknown, Running, Finished };
    State state = State::Unknown;
    AIJobResult result; // when finished; the job is then gone from the table
};
AIJobPoll aiPollJob(int32_t id);
