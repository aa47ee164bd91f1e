#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace brindle::sdk {

// A fixed set of threads that run requests; a slow one occupies one thread, never the others.
// Each owner (a connection) has its own queue, and free threads take from the owners in turn, so
// that one owner's many queued requests never keep another's waiting behind all of them.
class WorkerPool {
public:
    explicit WorkerPool(size_t threads);
    // Runs every task already posted, then joins the threads.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void post(uint64_t owner, std::function<void()> task);

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::unordered_map<uint64_t, std::deque<std::function<void()>>> queues_;  // only owners with tasks
    std::deque<uint64_t> turns_;  // each owner with queued tasks once, the next to be served first
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace brindle::sdk
