#pragma once

// A brindle-server in this process, exporting a fresh directory on tmpfs, and a client that
// speaks the protocol over its socket frame by frame, for the server benchmarks.

#include "platform/foundation/json.h"
#include "protocol/framing.h"
#include "brindle/serving.h"
#include "server/passthrough/file_system.h"

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace brindle::bench {

// One server exporting a fresh directory on tmpfs for the whole run.
struct Fixture {
    std::string root;
    std::unique_ptr<passthrough::FileSystem> fileSystem;
    std::unique_ptr<sdk::Server> running;

    Fixture() {
        char pattern[] = "/dev/shm/brindle-bench-XXXXXX";
        root = ::mkdtemp(pattern);
        std::filesystem::create_directory(root + "/export");
        std::ofstream(root + "/export/file").put('x');
        auto opened = passthrough::FileSystem::open(root + "/export", {});
        if (!opened) std::abort();
        fileSystem = std::move(opened.value());
        sdk::ServerSettings settings;
        settings.sessionFile = root + "/session.json";
        settings.threads = 8;
        auto started = sdk::Server::start(*fileSystem, settings);
        if (!started) std::abort();
        running = std::move(started.value());
    }
    ~Fixture() {
        running.reset();
        std::filesystem::remove_all(root);
    }
};

inline Fixture& fixture() {
    static Fixture instance;
    return instance;
}

class Client {
public:
    Client() {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, fixture().running->endpoint().c_str(), sizeof address.sun_path - 1);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
        send({{"method", "handshake"}, {"auth_token", fixture().running->authToken()}});
        receive();
    }
    ~Client() { ::close(fd_); }

    void send(boost::json::object request, std::string_view payload = {}) {
        request["request_id"] = ++nextID_;
        if (framing::writeFramedData(foundation::json::serialize(request), payload, fd_)) std::abort();
    }
    size_t receive() {
        auto frame = framing::readFramedMessage(fd_, nullptr);
        if (!frame || !frame.value().response.at("ok").as_bool()) std::abort();
        return frame.value().payload ? frame.value().payload->size() : 0;
    }

    // Keeps `window` requests outstanding for the whole benchmark loop.
    template <typename Make>
    void pipeline(benchmark::State& state, size_t window, Make make, std::string_view payload = {}) {
        size_t outstanding = 0;
        int64_t bytes = 0;
        for (auto _ : state) {
            while (outstanding < window) {
                send(make(), payload);
                ++outstanding;
            }
            bytes += static_cast<int64_t>(receive() + payload.size());
            --outstanding;
        }
        while (outstanding-- > 0) receive();
        state.SetItemsProcessed(state.iterations());
        state.SetBytesProcessed(bytes);
    }

private:
    int fd_ = -1;
    uint64_t nextID_ = 0;
};

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kFileMiB = 64;

// Node 2 is the file: gives it its id and fills it to kFileMiB before the data benchmarks run.
inline void prepareFile() {
    Client client;
    client.send({{"method", "lookup"}, {"parent_id", 1}, {"name", "file"}});
    client.receive();
    client.send({{"method", "set_attributes"}, {"node_id", 2}, {"set_size", kFileMiB * kMiB}});
    client.receive();
}

}  // namespace brindle::bench
