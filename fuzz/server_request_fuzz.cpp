#include "platform/log/log.h"
#include "sdk/cpp/dispatch/dispatcher.h"
#include "sdk/cpp/transport/connection.h"
#include "sdk/cpp/transport/pending_handshake.h"
#include "sdk/cpp/transport/worker_pool.h"
#include "server/passthrough/file_system.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

// The server's side of a connection: the input is what a client sends, from its first byte.
// A handshake with the token below lets the frames after it through to the methods, which act
// on a small scratch export.
namespace {

using namespace brindle::sdk;
using brindle::passthrough::FileSystem;

class Silent final : public logging::Sink {
public:
    void write(logging::Level, std::string_view) override {}
};

struct Harness {
    std::string root;
    SessionSecrets secrets{"fuzz-session", "fuzz-token"};
    std::unique_ptr<FileSystem> fileSystem;
    std::unique_ptr<Dispatcher> dispatcher;
    WorkerPool pool{2};
    uint64_t connections = 0;

    Harness() {
        logging::setSink(std::make_shared<Silent>());
        char scratch[] = "/tmp/brindle-server-fuzz-XXXXXX";
        root = ::mkdtemp(scratch);
        ::mkdir((root + "/dir").c_str(), 0755);
        std::ofstream(root + "/file") << "contents";
        ::symlink("file", (root + "/link").c_str());
        auto exported = FileSystem::open(root, {false, true});
        if (!exported) std::abort();
        fileSystem = std::move(exported.value());
        // Everything brindle-server advertises, so that the extensions' keys are fuzzed too.
        dispatcher = std::make_unique<Dispatcher>(*fileSystem, Limits{}, fileSystem->capabilities().extensions);
    }
    ~Harness() { std::filesystem::remove_all(root); }
};

// Takes everything the server writes, so that no reply waits for room.
void drain(int fd) {
    char buffer[65536];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness harness;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    UniqueFd client(fds[0]);
    UniqueFd server(fds[1]);
    ::fcntl(server.get(), F_SETFL, O_NONBLOCK);
    const int bufferSize = 1 << 20;
    ::setsockopt(client.get(), SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
    size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::write(client.get(), data + sent, size - sent);
        if (n <= 0) return 0;
        sent += static_cast<size_t>(n);
    }
    ::shutdown(client.get(), SHUT_WR);
    std::thread reader(drain, client.get());

    PendingHandshake handshake(std::move(server), harness.secrets);
    if (handshake.readAvailable() == PendingHandshake::Outcome::Authenticated && handshake.accept()) {
        UniqueFd socket = handshake.takeSocket();
        ::fcntl(socket.get(), F_SETFL, 0);
        auto connection = Connection::create(std::move(socket), ++harness.connections, *harness.dispatcher,
                                             harness.pool, std::chrono::seconds(5));
        connection->serve();
    } else {
        handshake.takeSocket();
    }
    reader.join();
    return 0;
}
