#include "sdk/cpp/transport/worker_pool.h"

namespace brindle::sdk {

WorkerPool::WorkerPool(size_t threads) {
    if (threads == 0) threads = 1;
    threads_.reserve(threads);
    for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_) thread.join();
}

void WorkerPool::post(uint64_t owner, std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        auto& queue = queues_[owner];
        if (queue.empty()) turns_.push_back(owner);
        queue.push_back(std::move(task));
    }
    wake_.notify_one();
}

void WorkerPool::run() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !turns_.empty(); });
            if (turns_.empty()) return;
            const uint64_t owner = turns_.front();
            turns_.pop_front();
            const auto queue = queues_.find(owner);
            task = std::move(queue->second.front());
            queue->second.pop_front();
            if (queue->second.empty()) {
                queues_.erase(queue);
            } else {
                turns_.push_back(owner);
            }
        }
        task();
    }
}

}  // namespace brindle::sdk
