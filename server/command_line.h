#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace brindle::server {

struct ServerOptions {
    std::string exportDirectory;
    std::string sessionFile;
    std::string listen;  // "unix:PATH" or "tcp://HOST:PORT"; empty: a socket beside the session file
    bool allowRemote = false;
    bool readonly = false;
    bool namedattr = false;
    std::string volumeName;
    size_t threads = 8;
    bool foreground = false;
    bool debug = false;
    // What the handshake advertises: the extensions the server implements. Each must be an
    // extension's name; none is set from the command line, as this server implements none yet.
    std::vector<std::string> extensions;
};

enum class Action { Serve, Help, Version };

struct ParsedCommandLine {
    Action action = Action::Serve;
    ServerOptions options;
    std::string error;  // set when the line is refused
};

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments);
// Resolves relative paths against the working directory, so that they stay valid after the
// daemon changes to "/" and log lines name them in full.
void makePathsAbsolute(ServerOptions& options, const std::filesystem::path& workingDirectory);
// The listen endpoint the options ask for, with the default filled in.
std::string listenEndpoint(const ServerOptions& options);

std::string usageText();
std::string versionText();

}  // namespace brindle::server
