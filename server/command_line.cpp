#include "server/command_line.h"

namespace brindle::server {

ServerCommandLine::ServerCommandLine()
    : line_("brindle-server", "Exports DIR to brindle clients and writes the session file they mount with.",
            BRINDLE_VERSION) {
    line_.value("--export", "DIR", "the directory to export", options.exportDirectory, true)
        .flag("--readonly", "refuse every change", options.fileSystem.readonly)
        .flag("--namedattr", "serve extended attributes", options.fileSystem.namedattr)
        .flag("--no-watch",
              "leave DIR unwatched: changes made in it directly show on mounts once their caches expire",
              options.fileSystem.noWatch);
}

sdk::CommandLine::Parsed ServerCommandLine::parse(const std::vector<std::string>& arguments) {
    return line_.parse(arguments, options.program);
}

int ServerCommandLine::parseOrExit(int argc, char** argv) { return line_.parseOrExit(argc, argv, options.program); }

void makePathsAbsolute(ServerOptions& options, const std::filesystem::path& workingDirectory) {
    options.exportDirectory = (workingDirectory / options.exportDirectory).lexically_normal().string();
    sdk::makePathsAbsolute(options.program.server, workingDirectory);
}

}  // namespace brindle::server
