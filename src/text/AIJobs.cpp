#include "AIJobs.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>

AIThreadPool::AIThreadPool(size_t workers) {
    workers_.reserve(workers);
    for (size_t i = 0; i < workers; ++i) workers_.emplace_back([this] { work(); });
}

AIThreadPool::~AIThreadPool() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

void AIThreadPool::enqueue(std::packaged_task<AIJobResult()> task) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void AIThreadPool::work() {
    for (;;) {
        std::packaged_task<AIJobResult()> task;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (queue_.empty()) return;
            task = std::move(queue_.front());
            queue_.pop_front();
        }
        task();
    }
}

namespace {

// The pool is the last member, so that it stops and joins before the table goes.
struct JobSystem {
    std::atomic<int32_t> nextId{1};
    std::mutex jobMutex;
    std::map<int32_t, std::future<AIJobResult>> jobs;
    std::unique_ptr<AIThreadPool> pool;
};

JobSystem& jobSystem() {
    static JobSystem system;
    return system;
}

} // namespace

int32_t aiSubmitJob(AIRequest request) {
    JobSystem& system = jobSystem();
    const int32_t id = system.nextId.fetch_add(1);
    std::packaged_task<AIJobResult()> task(
        [request = std::move(request)] { return aiExecuteRequest(request); });
    std::lock_guard lock(system.jobMutex);
    if (!system.pool) {
        const unsigned hardware = std::thread::hardware_concurrency();
        system.pool = std::make_unique<AIThreadPool>(std::max(1u, hardware > 0 ? hardware - 1 : 0u));
    }
    system.jobs.emplace(id, task.get_future());
    system.pool->enqueue(std::move(task));
    return id;
}

AIJobPoll aiPollJob(int32_t id) {
    JobSystem& system = jobSystem();
    std::future<AIJobResult> finished;
    {
        std::lock_guard lock(system.jobMutex);
        const auto job = system.jobs.find(id);
        if (job == system.jobs.end()) return {};
        if (job->second.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
            return {AIJobPoll::State::Running, {}};
        finished = std::move(job->second);
        system.jobs.erase(job);
    }
    return {AIJobPoll::State::Finished, finished.get()};
}
