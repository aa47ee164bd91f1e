#pragma once

#include <array>
#include <cstdio>
#include <string>
#include <sys/wait.h>

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

}  // namespace hosttest
