#include "module/BrindleSessionDescriptor.h"
#include "module/rpc/BrindleRPCClient.h"
#include "platform/foundation/json.h"
#include "protocol/framing.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <future>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr size_t kReadSize = 1 << 20;

// A minimal server on a Unix socket: accepts one client, accepts its handshake, answers pings
// with {"ok":true} and reads with kReadSize bytes of payload.
class BenchServer {
public:
    BenchServer() : path_("/tmp/brindle-bench-" + std::to_string(::getpid()) + ".sock") {
        ::unlink(path_.c_str());
        listenFD_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof address.sun_path - 1);
        if (::bind(listenFD_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listenFD_, 4) != 0) {
            std::abort();
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~BenchServer() {
        thread_.join();
        ::close(listenFD_);
        ::unlink(path_.c_str());
    }
    const std::string& path() const { return path_; }

private:
    void serve() {
        const int fd = ::accept(listenFD_, nullptr, nullptr);
        int size = 4 << 20;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        const std::string data(kReadSize, 'd');
        for (;;) {
            auto frame = brindle::framing::readFramedMessage(fd, nullptr);
            if (!frame) break;
            auto& request = frame.value().response;
            const auto method = request.at("method").as_string();
            boost::json::object reply{{"ok", true}, {"request_id", request.at("request_id")}};
            if (method == "handshake") reply["session_id"] = "bench";
            const std::string json = foundation::json::serialize(reply);
            brindle::framing::writeFramedData(json, method == "read" ? std::string_view(data) : std::string_view(), fd);
        }
        ::close(fd);
    }

    std::string path_;
    int listenFD_ = -1;
    std::thread thread_;
};

struct Connected {
    Connected() {
        brindle::SessionFields fields;
        fields.sessionID = "bench";
        fields.socketPath = server.path();
        fields.authToken = "token";
        client = brindle::BrindleRPCClient::initWithSession(std::make_shared<brindle::BrindleSessionDescriptor>(
            foundation::URL::fileURLWithPath("/tmp/bench-session.json"), fields));
        std::promise<bool> ready;
        client->connectAndHandshakeWithReply([&](bool ok, std::optional<foundation::Error>) { ready.set_value(ok); });
        if (!ready.get_future().get()) std::abort();
    }
    BenchServer server;
    std::shared_ptr<brindle::BrindleRPCClient> client;
};

// Context switches of the whole process (client, its pools and the bench server), per call.
class SwitchCount {
public:
    SwitchCount() : start_(now()) {}
    void report(benchmark::State& state, int64_t calls) const {
        // Threads of one benchmark each see the whole process: their figures are averaged, not summed.
        state.counters["switches_per_call"] = benchmark::Counter(
            static_cast<double>(now() - start_) / static_cast<double>(calls), benchmark::Counter::kAvgThreads);
    }

private:
    static long now() {
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        return usage.ru_nvcsw + usage.ru_nivcsw;
    }
    long start_;
};

// Counts completions down and wakes the benchmark thread at zero.
class Countdown {
public:
    void reset(int n) {
        std::lock_guard lock(mutex_);
        left_ = n;
    }
    void done() {
        std::lock_guard lock(mutex_);
        if (--left_ == 0) zero_.notify_one();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        zero_.wait(lock, [&] { return left_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable zero_;
    int left_ = 0;
};

void pings(benchmark::State& state) {
    Connected connected;
    const int outstanding = static_cast<int>(state.range(0));
    Countdown countdown;
    const SwitchCount switches;
    for (auto _ : state) {
        countdown.reset(outstanding);
        for (int i = 0; i < outstanding; ++i) {
            connected.client->pingWithReply([&](bool, std::optional<foundation::Error>) { countdown.done(); });
        }
        countdown.wait();
    }
    switches.report(state, state.iterations() * outstanding);
    state.SetItemsProcessed(state.iterations() * outstanding);
}
BENCHMARK(pings)->Arg(1)->Arg(32)->UseRealTime();

// Each thread waits for its own ping before sending the next, as FUSE workers do with their calls.
void pingsFromThreads(benchmark::State& state) {
    static Connected connected;
    Countdown countdown;
    const SwitchCount switches;
    for (auto _ : state) {
        countdown.reset(1);
        connected.client->pingWithReply([&](bool, std::optional<foundation::Error>) { countdown.done(); });
        countdown.wait();
    }
    // Every thread's calls, counted against every thread's switches: the figure per call holds.
    switches.report(state, state.iterations() * state.threads());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(pingsFromThreads)->Threads(1)->Threads(4)->Threads(16)->UseRealTime();

void directReads(benchmark::State& state) {
    Connected connected;
    auto buffer = std::make_shared<fskit::FSMutableFileDataBuffer>(kReadSize);
    Countdown countdown;
    for (auto _ : state) {
        countdown.reset(1);
        connected.client->readFileWithNodeID(2, 0, kReadSize, buffer,
                                             [&](uint64_t, std::optional<foundation::Error>) { countdown.done(); });
        countdown.wait();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kReadSize));
}
BENCHMARK(directReads)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
