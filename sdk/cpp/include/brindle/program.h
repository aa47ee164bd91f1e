#pragma once

#include "brindle/backend.h"
#include "brindle/serving.h"

#include <string>
#include <vector>

namespace brindle::sdk {

// What a server program is run with: where and how it serves, and how it runs.
struct ProgramSettings {
    ServerSettings server;
    // Stays in the foreground and logs to standard error; otherwise it detaches and logs to syslog.
    bool foreground = false;
    // Debug log lines.
    bool debug = false;
};

// A server program's command line: the options every server shares (--session-file, --listen,
// --allow-remote, --volume-name, --threads, -f, -d, --help, --version) and the program's own.
class CommandLine {
public:
    // `summary`: one line under the usage line, saying what the program serves.
    CommandLine(std::string program, std::string summary, std::string version);

    // A switch of the program's own ("--readonly").
    CommandLine& flag(std::string name, std::string help, bool& target);
    // An option with a value ("--export DIR"); a required one is named in the usage line.
    CommandLine& value(std::string name, std::string placeholder, std::string help, std::string& target,
                       bool required = false);

    enum class Action { Serve, Help, Version };
    struct Parsed {
        Action action = Action::Serve;
        std::string error;  // set when the line is refused
    };
    Parsed parse(const std::vector<std::string>& arguments, ProgramSettings& settings) const;
    // Parses argv; prints the help, the version or the refusal and returns the exit status when
    // the program should end at once (0, or 2 for a refused line), or -1 when it should serve.
    int parseOrExit(int argc, char** argv, ProgramSettings& settings) const;

    std::string usage() const;
    std::string version() const;

private:
    struct Option {
        std::string name;
        std::string placeholder;  // empty for a switch
        std::string help;
        bool* flag = nullptr;
        std::string* value = nullptr;
        bool required = false;
    };

    const std::string program_;
    const std::string summary_;
    const std::string version_;
    std::vector<Option> own_;
};

// Runs a server program around `backend`: detaches unless in the foreground (the parent exits
// once the session file is written, printing its path), tells systemd when it is ready and when
// it stops, serves until SIGINT or SIGTERM, then removes the session file. Call it before any
// thread is started. Returns the exit status.
int run(Backend& backend, const ProgramSettings& settings, const std::string& program);

// The SDK's version ("0.1.0").
std::string version();

}  // namespace brindle::sdk
