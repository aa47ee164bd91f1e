#pragma once

#include <array>
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace hosttest {

struct CommandRun {
    int status = -1;
    std::string output;  // standard output and standard error together
};

// Runs a shell command and collects what it prints.
inline CommandRun runShell(const std::string& command) {
    CommandRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    std::array<char, 4096> chunk;
    size_t n;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) run.output.append(chunk.data(), n);
    const int raw = ::pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

// Runs the brindle executable with `arguments` (shell words).
inline CommandRun runBrindle(const std::string& arguments) {
    return runShell(std::string(BRINDLE_EXECUTABLE) + " " + arguments + " 2>&1");
}

// A brindle process started without a shell, so that a test can signal it.
class BrindleProcess {
public:
    explicit BrindleProcess(const std::vector<std::string>& arguments) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::dup2(fds[1], STDERR_FILENO);
            ::close(fds[0]);
            ::close(fds[1]);
            std::vector<char*> argv{const_cast<char*>(BRINDLE_EXECUTABLE)};
            for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            ::execv(BRINDLE_EXECUTABLE, argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        output_ = fds[0];
    }
    ~BrindleProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (output_ >= 0) ::close(output_);
    }
    BrindleProcess(const BrindleProcess&) = delete;
    BrindleProcess& operator=(const BrindleProcess&) = delete;

    bool running() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }
    void signal(int number) const { ::kill(pid_, number); }

    // Reads what it printed until it and every process it started closed their output, then
    // collects its exit status.
    CommandRun finish() {
        CommandRun run;
        std::array<char, 4096> chunk;
        ssize_t n;
        while ((n = ::read(output_, chunk.data(), chunk.size())) > 0) run.output.append(chunk.data(), n);
        int raw = 0;
        if (::waitpid(pid_, &raw, 0) == pid_) run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        pid_ = -1;
        return run;
    }

private:
    pid_t pid_ = -1;
    int output_ = -1;
};

}  // namespace hosttest
