#include "RowBands.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

int32_t AllowedThreads = 6;
int32_t step = 4;

int32_t hardwareThreads() {
    static const int32_t count = std::max(1u, std::thread::hardware_concurrency());
    return count;
}

RowBand ceilingBand(int32_t rows, int32_t count, int32_t i) {
    int32_t length = (rows + count - 1) / count;
    int64_t begin = int64_t(i) * length;
    return {int32_t(std::min<int64_t>(begin, rows)), int32_t(std::min<int64_t>(begin + length, rows))};
}

RowBand evenBand(int32_t rows, int32_t count, int32_t i) {
    int32_t base = rows / count, remainder = rows % count;
    int32_t begin = i * base + std::min(i, remainder);
    return {begin, begin + base + (i < remainder ? 1 : 0)};
}

int32_t ceilingBandCount(int32_t rows) {
    int32_t n = std::min(rows, AllowedThreads);
    return n < 2 ? 1 : n;
}

namespace {

// A fixed set of sleeping workers; a job's bands are claimed one at a time
// from a shared counter, so any number of bands runs on a bounded pool.
class BandPool {
  public:
    ~BandPool() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& worker : workers_) worker.join();
    }

    void run(int32_t count, const std::function<void(int32_t)>& work) {
        std::unique_lock lock(mutex_);
        grow(std::min(count - 1, maxWorkers));
        work_ = &work;
        count_ = count;
        next_.store(0);
        pending_ = count;
        ++generation_;
        lock.unlock();
        wake_.notify_all();
        runClaimed(work, count);
        lock.lock();
        // Workers that woke late must leave before the counter can be reset.
        done_.wait(lock, [this] { return pending_ == 0 && active_ == 0; });
        work_ = nullptr;
    }

  private:
    static constexpr int32_t maxWorkers = 31;

    void grow(int32_t wanted) {
        while (int32_t(workers_.size()) < wanted) workers_.emplace_back([this] { serve(); });
    }

    void runClaimed(const std::function<void(int32_t)>& work, int32_t count) {
        insideBand = true;
        int32_t finished = 0;
        for (int32_t i; (i = next_.fetch_add(1)) < count; ++finished) work(i);
        insideBand = false;
        if (finished == 0) return;
        std::lock_guard lock(mutex_);
        pending_ -= finished;
        if (pending_ == 0) done_.notify_all();
    }

    void serve() {
        uint64_t seen = 0;
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || (work_ && generation_ != seen); });
            if (stopping_) return;
            seen = generation_;
            const std::function<void(int32_t)>* work = work_;
            int32_t count = count_;
            ++active_;
            lock.unlock();
            runClaimed(*work, count);
            lock.lock();
            if (--active_ == 0) done_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::vector<std::thread> workers_;
    const std::function<void(int32_t)>* work_ = nullptr;
    int32_t count_ = 0;
    int32_t pending_ = 0;
    int32_t active_ = 0;
    std::atomic<int32_t> next_{0};
    uint64_t generation_ = 0;
    bool stopping_ = false;

  public:
    static inline thread_local bool insideBand = false;
};

// One job at a time: host operations run on the script thread.
std::mutex jobMutex;

} // namespace

void runBands(int32_t count, const std::function<void(int32_t)>& work) {
    if (count <= 1 || BandPool::insideBand) {
        for (int32_t i = 0; i < count; ++i) work(i);
        return;
    }
    static BandPool pool;
    std::lock_guard lock(jobMutex);
    pool.run(count, work);
}
