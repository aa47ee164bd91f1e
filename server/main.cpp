#include "brindle/program.h"
#include "server/command_line.h"
#include "server/passthrough/file_system.h"

#include <iostream>

int main(int argc, char** argv) {
    using namespace brindle;
    server::ServerCommandLine commandLine;
    if (const int status = commandLine.parseOrExit(argc, argv); status >= 0) return status;
    server::ServerOptions& options = commandLine.options;
    std::error_code noWorkingDirectory;
    server::makePathsAbsolute(options, std::filesystem::current_path(noWorkingDirectory));

    auto fileSystem = passthrough::FileSystem::open(options.exportDirectory, options.fileSystem);
    if (!fileSystem) {
        std::cerr << "brindle-server: " << sdk::describe(fileSystem.error()) << "\n";
        return 1;
    }
    return sdk::run(*fileSystem.value(), options.program, "brindle-server");
}
