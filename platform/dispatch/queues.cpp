#include "platform/dispatch/queues.h"

#include <boost/asio/defer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>

#include <algorithm>
#include <future>
#include <thread>

namespace dispatch {
namespace asio = boost::asio;
namespace {

// Serial queues and the concurrent queue share one pool, so that work handed from one queue to
// another can run on the thread that handed it on. Serial queues may block briefly (a writer
// queue waits in connect or write) and so may completions, so the pool is wider than the machine
// to keep blocked work from starving the rest.
struct SharedPool {
    asio::thread_pool pool{std::max(12u, 3 * std::thread::hardware_concurrency())};
    // At exit the pool finishes its outstanding work before its threads stop: a completion still
    // running then may wait on a serial queue (a client's last handle disconnects), and stopping
    // first would leave that work queued and the exit waiting for it forever.
    ~SharedPool() { pool.join(); }
};

asio::thread_pool& sharedPool() {
    static SharedPool shared;
    return shared.pool;
}

}  // namespace

struct SerialQueue::Strand {
    asio::strand<asio::thread_pool::executor_type> strand{asio::make_strand(sharedPool().get_executor())};
};

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), strand_(std::make_unique<Strand>()) {}
SerialQueue::~SerialQueue() = default;

void SerialQueue::async(WorkItem work) { asio::post(strand_->strand, std::move(work)); }

void SerialQueue::handOff(WorkItem work) { asio::defer(strand_->strand, std::move(work)); }

void SerialQueue::sync(const WorkItem& work) {
    if (isCurrent()) {
        work();
        return;
    }
    std::promise<void> done;
    asio::post(strand_->strand, [&] {
        work();
        done.set_value();
    });
    done.get_future().wait();
}

bool SerialQueue::isCurrent() const { return strand_->strand.running_in_this_thread(); }

ConcurrentQueue& ConcurrentQueue::userInitiated() {
    static ConcurrentQueue queue;
    return queue;
}

void ConcurrentQueue::async(WorkItem work) { asio::post(sharedPool().get_executor(), std::move(work)); }

void ConcurrentQueue::handOff(WorkItem work) { asio::defer(sharedPool().get_executor(), std::move(work)); }

}  // namespace dispatch
