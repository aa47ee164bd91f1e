#include "server/command_line.h"

#include <charconv>

namespace brindle::server {

namespace {
constexpr size_t kMaxThreads = 256;
const std::string kUnixPrefix = "unix:";
}  // namespace

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    ParsedCommandLine parsed;
    auto refuse = [&parsed](std::string message) {
        parsed.error = std::move(message);
        return parsed;
    };
    ServerOptions& options = parsed.options;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= arguments.size()) return false;
            out = arguments[++i];
            return true;
        };
        if (argument == "--help" || argument == "-h") {
            parsed.action = Action::Help;
            return parsed;
        }
        if (argument == "--version" || argument == "-V") {
            parsed.action = Action::Version;
            return parsed;
        }
        if (argument == "--export") {
            if (!value(options.exportDirectory)) return refuse("--export needs a directory");
        } else if (argument == "--session-file") {
            if (!value(options.sessionFile)) return refuse("--session-file needs a path");
        } else if (argument == "--listen") {
            if (!value(options.listen)) return refuse("--listen needs unix:PATH or tcp://HOST:PORT");
            if (!options.listen.starts_with(kUnixPrefix) && !options.listen.starts_with("tcp://")) {
                return refuse("--listen needs unix:PATH or tcp://HOST:PORT");
            }
        } else if (argument == "--volume-name") {
            if (!value(options.volumeName)) return refuse("--volume-name needs a name");
        } else if (argument == "--threads") {
            std::string text;
            if (!value(text)) return refuse("--threads needs a number");
            size_t threads = 0;
            const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), threads);
            if (status != std::errc() || end != text.data() + text.size() || threads == 0 || threads > kMaxThreads) {
                return refuse("--threads needs a number from 1 to 256");
            }
            options.threads = threads;
        } else if (argument == "--readonly") {
            options.readonly = true;
        } else if (argument == "--namedattr") {
            options.namedattr = true;
        } else if (argument == "--allow-remote") {
            options.allowRemote = true;
        } else if (argument == "-f") {
            options.foreground = true;
        } else if (argument == "-d") {
            options.debug = true;
        } else {
            return refuse("unknown option " + argument);
        }
    }
    if (options.exportDirectory.empty()) return refuse("--export DIR is required");
    if (options.sessionFile.empty()) return refuse("--session-file PATH is required");
    return parsed;
}

void makePathsAbsolute(ServerOptions& options, const std::filesystem::path& workingDirectory) {
    auto absolute = [&workingDirectory](const std::string& path) {
        return (workingDirectory / path).lexically_normal().string();
    };
    options.exportDirectory = absolute(options.exportDirectory);
    options.sessionFile = absolute(options.sessionFile);
    if (options.listen.starts_with(kUnixPrefix)) {
        options.listen = kUnixPrefix + absolute(options.listen.substr(kUnixPrefix.size()));
    }
}

std::string listenEndpoint(const ServerOptions& options) {
    if (!options.listen.empty()) return options.listen;
    return kUnixPrefix + options.sessionFile + ".sock";
}

std::string usageText() {
    return "Usage: brindle-server --export DIR --session-file PATH [options]\n"
           "Exports DIR to brindle clients and writes the session file they mount with.\n"
           "\n"
           "  --listen unix:PATH        listen on a Unix socket (default: PATH.sock beside the session file)\n"
           "  --listen tcp://HOST:PORT  listen on TCP; HOST must be loopback unless --allow-remote\n"
           "  --allow-remote            allow a TCP address that is not loopback (the protocol is not encrypted)\n"
           "  --readonly                refuse every change\n"
           "  --namedattr               serve extended attributes\n"
           "  --volume-name NAME        the volume's name\n"
           "  --threads N               worker threads (default 8)\n"
           "  -f                        stay in the foreground and log to standard error\n"
           "  -d                        debug log lines\n"
           "  -h, --help                print this help\n"
           "  -V, --version             print the version\n";
}

std::string versionText() { return std::string("brindle-server ") + BRINDLE_VERSION + "\n"; }

}  // namespace brindle::server
