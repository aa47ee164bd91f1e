#pragma once

#include <functional>
#include <memory>
#include <string>

// Dispatch queues: serial queues that run one work item at a time in order, and the global
// concurrent queue on which completions that no reader runs are run.
namespace dispatch {

using WorkItem = std::function<void()>;

// A serial queue (a strand over a pool shared by all serial queues). Work items never overlap
// and run in the order they were submitted.
class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }
    void async(WorkItem work);

private:
    struct Strand;
    std::string label_;
    std::unique_ptr<Strand> strand_;
};

// A global concurrent queue: work items run on the pool the serial queues share (as many threads
// as the machine has cores, and never fewer than four), in no fixed order.
class ConcurrentQueue {
public:
    // User-initiated quality of service: the queue of every completion not run by a socket's reader.
    static ConcurrentQueue& userInitiated();
    void async(WorkItem work);

    ConcurrentQueue(const ConcurrentQueue&) = delete;
    ConcurrentQueue& operator=(const ConcurrentQueue&) = delete;

private:
    ConcurrentQueue() = default;
};

}  // namespace dispatch
