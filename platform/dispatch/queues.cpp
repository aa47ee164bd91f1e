#include "platform/dispatch/queues.h"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>

#include <algorithm>
#include <future>
#include <thread>

namespace dispatch {
namespace asio = boost::asio;
namespace {

// Serial queues may block briefly (a writer queue waits in connect or write), so their shared
// pool is wider than the machine to keep one blocked queue from starving the others.
asio::thread_pool& serialQueuePool() {
    static asio::thread_pool pool(std::max(8u, 2 * std::thread::hardware_concurrency()));
    return pool;
}

}  // namespace

struct SerialQueue::Strand {
    asio::strand<asio::thread_pool::executor_type> strand{asio::make_strand(serialQueuePool().get_executor())};
};

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), strand_(std::make_unique<Strand>()) {}
SerialQueue::~SerialQueue() = default;

void SerialQueue::async(WorkItem work) { asio::post(strand_->strand, std::move(work)); }

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

struct ConcurrentQueue::Pool {
    explicit Pool(unsigned threads) : pool(threads) {}
    asio::thread_pool pool;
};

ConcurrentQueue::ConcurrentQueue(unsigned threads) : pool_(std::make_unique<Pool>(threads)) {}
ConcurrentQueue::~ConcurrentQueue() = default;

ConcurrentQueue& ConcurrentQueue::userInitiated() {
    static ConcurrentQueue queue(std::max(4u, std::thread::hardware_concurrency()));
    return queue;
}

void ConcurrentQueue::async(WorkItem work) { asio::post(pool_->pool, std::move(work)); }

}  // namespace dispatch
