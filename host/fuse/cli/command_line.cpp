#include "host/fuse/cli/command_line.h"

#include <filesystem>
#include <sstream>

namespace brindle::host {
namespace {

void appendOptions(std::vector<std::string>& options, const std::string& list) {
    std::stringstream stream(list);
    std::string option;
    while (std::getline(stream, option, ',')) {
        if (!option.empty()) options.push_back(option);
    }
}

// Resolved against the directory brindle was started in: a daemon leaves it, and log lines and
// the mount table should say which file was meant.
std::string absolutePath(const std::string& path) {
    std::error_code failed;
    const auto absolute = std::filesystem::absolute(path, failed);
    return failed ? path : absolute.lexically_normal().string();
}

}  // namespace

ParseOutcome parseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine line;
    std::optional<Command> mode;
    std::vector<std::string> positional;

    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "-h" || argument == "--help") {
            return {CommandLine{Command::Help}, {}};
        } else if (argument == "-V" || argument == "--version") {
            return {CommandLine{Command::Version}, {}};
        } else if (argument == "--probe" || argument == "--check") {
            if (mode) return {std::nullopt, "--probe and --check cannot be combined"};
            mode = argument == "--probe" ? Command::Probe : Command::Check;
        } else if (argument == "--skip-session-file-check") {
            line.sessionFileTrust = SessionFileTrust::skipCheck;
        } else if (argument == "-f") {
            line.foreground = true;
        } else if (argument == "-d") {
            line.debug = true;
            line.foreground = true;
        } else if (argument == "-s") {
            line.singleThreaded = true;
        } else if (argument == "-o") {
            if (i + 1 >= arguments.size()) return {std::nullopt, "-o needs a list of options"};
            appendOptions(line.mountOptions, arguments[++i]);
        } else if (argument.rfind("-o", 0) == 0 && argument.size() > 2) {
            appendOptions(line.mountOptions, argument.substr(2));
        } else if (!argument.empty() && argument[0] == '-') {
            return {std::nullopt, "unknown option '" + argument + "'"};
        } else {
            positional.push_back(argument);
        }
    }

    if (mode) {
        if (positional.size() != 1) return {std::nullopt, "expected exactly one SESSION file"};
        if (!line.mountOptions.empty()) return {std::nullopt, "-o applies only to mounting"};
        line.command = *mode;
        line.sessionPath = absolutePath(positional[0]);
        return {line, {}};
    }
    if (positional.size() != 2) return {std::nullopt, "expected SESSION and MOUNTPOINT"};
    auto options = parseMountOptions(line.mountOptions);
    if (!options.options) return {std::nullopt, options.error};
    line.command = Command::Mount;
    line.sessionPath = absolutePath(positional[0]);
    line.mountPoint = absolutePath(positional[1]);
    line.mount = *options.options;
    if (line.mount.skipSessionFileCheck) line.sessionFileTrust = SessionFileTrust::skipCheck;
    return {line, {}};
}

std::string usageText() {
    return "usage: brindle SESSION MOUNTPOINT [-o OPTIONS] [-f] [-d] [-s] [--skip-session-file-check]\n"
           "       brindle --probe SESSION [-f] [-d] [--skip-session-file-check]\n"
           "       brindle --check SESSION [-f] [-d] [--skip-session-file-check]\n"
           "       brindle --help | --version\n"
           "\n"
           "Mounts the file system served by the server that the session file names.\n"
           "\n"
           "  --probe SESSION  check that SESSION is a valid session file; prints\n"
           "                   'usable: NAME CONTAINER-UUID'\n"
           "  --check SESSION  probe, connect, handshake and query the server, timing each step\n"
           "  -o OPTIONS       comma-separated mount options (below)\n"
           "  -f               stay in the foreground and log to standard error\n"
           "  -d               also log debug lines, among them every kernel request\n"
           "                   (implies -f)\n"
           "  -s               serve requests on a single thread\n"
           "  --skip-session-file-check\n"
           "                   read SESSION even when it is a symbolic link, belongs to\n"
           "                   someone other than you or root, or group or others have\n"
           "                   access to it (refused by default: it holds the token)\n"
           "\n"
           "Mount options:\n" +
           mountOptionsHelp() +
           "Any other mount option is refused.\n"
           "\n"
           "Exit status: 0 on success, 1 when the operation failed, 2 on a usage error.\n";
}

std::string versionText() { return std::string("brindle ") + BRINDLE_VERSION + "\n"; }

}  // namespace brindle::host
