#include "platform/dispatch/queues.h"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>

#include <algorithm>
#include <thread>

namespace dispatch {
namespace asio = boost::asio;
namespace {

// Serial queues and the concurrent queue share one pool. Its work is short and, on the hot path,
// rare: a reply's completion runs on its socket's reader, so the pool runs the completions of
// failures and refusals, and serial work that blocks only in a connect or in a socket write that
// no caller or reader finished, which the peer ends without needing this pool. Its threads sleep
// until such work comes, so their number costs no wake-ups. One thread per core keeps every core
// busy; the floor of four leaves threads to run completions while one waits for another
// completion (a caller bounded by a semaphore) and others sit in socket writes, also on one or
// two cores.
unsigned poolSize() { return std::max(4u, std::thread::hardware_concurrency()); }

struct SharedPool {
    std::unique_ptr<asio::thread_pool> pool = std::make_unique<asio::thread_pool>(poolSize());
    // At exit the pool finishes its outstanding work before its threads stop: a completion still
    // running then may wait for work it queued, and stopping first would leave that work queued
    // and the exit waiting for it forever. A pool thread that lets the last strand go cannot join
    // itself; the process is ending then, so the pool is left to end with it.
    ~SharedPool() {
        if (pool->get_executor().running_in_this_thread()) {
            static_cast<void>(pool.release());
            return;
        }
        pool->join();
    }
};

// Every strand holds the pool: a strand's destruction locks its pool's strand service, and a
// detached reader may let the last client go, and with it its strands, after exit began.
const std::shared_ptr<SharedPool>& sharedPool() {
    static const auto shared = std::make_shared<SharedPool>();
    return shared;
}

}  // namespace

struct SerialQueue::Strand {
    std::shared_ptr<SharedPool> pool = sharedPool();
    asio::strand<asio::thread_pool::executor_type> strand{asio::make_strand(pool->pool->get_executor())};
};

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), strand_(std::make_unique<Strand>()) {}
SerialQueue::~SerialQueue() = default;

void SerialQueue::async(WorkItem work) { asio::post(strand_->strand, std::move(work)); }

ConcurrentQueue& ConcurrentQueue::userInitiated() {
    static ConcurrentQueue queue;
    return queue;
}

void ConcurrentQueue::async(WorkItem work) { asio::post(sharedPool()->pool->get_executor(), std::move(work)); }

}  // namespace dispatch
