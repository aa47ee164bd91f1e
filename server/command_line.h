#pragma once

#include "brindle/program.h"
#include "server/passthrough/file_system.h"

#include <filesystem>
#include <string>
#include <vector>

namespace brindle::server {

struct ServerOptions {
    std::string exportDirectory;
    passthrough::FileSystemOptions fileSystem;
    sdk::ProgramSettings program;
};

// brindle-server's command line: the SDK's shared options, and --export, --readonly, --namedattr and --no-watch.
class ServerCommandLine {
public:
    ServerCommandLine();
    // The parser writes into `options`, so it stays where it was made.
    ServerCommandLine(const ServerCommandLine&) = delete;
    ServerCommandLine& operator=(const ServerCommandLine&) = delete;
    sdk::CommandLine::Parsed parse(const std::vector<std::string>& arguments);
    int parseOrExit(int argc, char** argv);
    const sdk::CommandLine& line() const { return line_; }
    ServerOptions options;

private:
    sdk::CommandLine line_;
};

// Resolves relative paths against the working directory, so that they stay valid after the
// daemon changes to "/" and log lines name them in full.
void makePathsAbsolute(ServerOptions& options, const std::filesystem::path& workingDirectory);

}  // namespace brindle::server
