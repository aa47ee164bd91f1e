#include "host/fuse/cli/check_command.h"
#include "host/fuse/cli/command_line.h"
#include "host/fuse/cli/probe_command.h"
#include "host/fuse/mount/mount_command.h"
#include "platform/log/log.h"
#include "platform/log/sinks.h"

#include <fuse_lowlevel.h>

#include <iostream>

int main(int argc, char** argv) {
    using namespace brindle::host;
    const auto parsed = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.commandLine) {
        std::cerr << "brindle: " << parsed.error << "\nTry 'brindle --help' for more information.\n";
        return 2;
    }
    const CommandLine& line = *parsed.commandLine;
    if (line.foreground) logging::setSink(std::make_shared<logging::StderrSink>());
    logging::setDebugEnabled(line.debug);

    switch (line.command) {
        case Command::Help: std::cout << usageText(); return 0;
        case Command::Version:
            // As other FUSE file systems do: which libfuse, and the kernel interface it speaks.
            std::cout << versionText() << "FUSE library version " << fuse_pkgversion() << "\n" << std::flush;
            fuse_lowlevel_version();
            return 0;
        case Command::Probe: return runProbe(line.sessionPath, line.sessionFileTrust, std::cout, std::cerr);
        case Command::Check: return runCheck(line.sessionPath, line.sessionFileTrust, std::cout, std::cerr);
        case Command::Mount: return runMount(line, std::cerr);
    }
    return 1;
}
