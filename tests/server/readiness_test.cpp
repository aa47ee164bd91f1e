#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace {

// Stands in for systemd's notification socket: a datagram socket that receives sd_notify messages.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~NotifySocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool bound() const { return bound_; }
    const std::string& path() const { return path_; }

    // The next message, or none when nothing comes within the time.
    std::optional<std::string> receive(int milliseconds) {
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, milliseconds) != 1) return std::nullopt;
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) return std::nullopt;
        return std::string(buffer, static_cast<size_t>(n));
    }

private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

// The brindle-server program, run with the given NOTIFY_SOCKET; killed if a test ends early.
class ServerProcess {
public:
    ServerProcess(const std::vector<std::string>& arguments, const std::string& notifySocket) {
        std::vector<std::string> environment{"NOTIFY_SOCKET=" + notifySocket};
        for (char** variable = environ; *variable != nullptr; ++variable) {
            if (std::strncmp(*variable, "NOTIFY_SOCKET=", 14) != 0) environment.emplace_back(*variable);
        }
        std::vector<char*> argv{const_cast<char*>(BRINDLE_SERVER_EXECUTABLE)};
        for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& variable : environment) envp.push_back(variable.data());
        envp.push_back(nullptr);
        if (::posix_spawn(&pid_, BRINDLE_SERVER_EXECUTABLE, nullptr, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    }
    ~ServerProcess() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    bool started() const { return pid_ > 0; }
    void signal(int number) { ::kill(pid_, number); }
    int exitStatus() {
        int status = 0;
        const pid_t waited = ::waitpid(pid_, &status, 0);
        pid_ = -1;
        if (waited <= 0) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t pid_ = -1;
};

bool exists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

TEST(ServerReadiness, ForegroundServerTellsTheServiceManagerOnceItListensAndWhenItStops) {
    testsupport::TempDir directory;
    NotifySocket notify(directory.file("notify"));
    ASSERT_TRUE(notify.bound());
    ::mkdir(directory.file("export").c_str(), 0755);
    const std::string session = directory.file("session.json");

    ServerProcess server({"-f", "--export", directory.file("export"), "--session-file", session}, notify.path());
    ASSERT_TRUE(server.started());
    const std::optional<std::string> ready = notify.receive(10000);
    ASSERT_TRUE(ready.has_value()) << "no readiness message";
    EXPECT_NE(ready->find("READY=1"), std::string::npos) << *ready;
    EXPECT_TRUE(exists(session)) << "ready before the session file was written";
    EXPECT_TRUE(exists(session + ".sock")) << "ready before the socket listens";

    server.signal(SIGTERM);
    const std::optional<std::string> stopping = notify.receive(10000);
    ASSERT_TRUE(stopping.has_value()) << "no message when stopping";
    EXPECT_NE(stopping->find("STOPPING=1"), std::string::npos) << *stopping;
    EXPECT_EQ(server.exitStatus(), 0);
}

TEST(ServerReadiness, AServerThatCannotStartIsNeverReported) {
    testsupport::TempDir directory;
    NotifySocket notify(directory.file("notify"));
    ASSERT_TRUE(notify.bound());

    ServerProcess server({"-f", "--export", directory.file("absent"), "--session-file", directory.file("session.json")},
                         notify.path());
    ASSERT_TRUE(server.started());
    EXPECT_EQ(server.exitStatus(), 1);
    const std::optional<std::string> message = notify.receive(0);
    EXPECT_TRUE(!message || message->find("READY=1") == std::string::npos) << *message;
}

}  // namespace
