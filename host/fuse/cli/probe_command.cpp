#include "host/fuse/cli/probe_command.h"

#include "host/fuse/translation/error_text.h"
#include "module/BrindleModuleBootstrap.h"

#include <ostream>

namespace brindle::host {

int runProbe(const std::string& sessionPath, SessionFileTrust trust, std::ostream& out, std::ostream& err) {
    auto fileSystem = BrindleModuleBootstrap{}.fileSystem();
    fileSystem->setSessionFileTrust(trust);
    auto resource = std::make_shared<fskit::FSPathURLResource>(foundation::URL::fileURLWithPath(sessionPath));

    int status = 1;
    fileSystem->probeResource(resource, [&](std::optional<fskit::FSProbeResult> result,
                                            std::optional<foundation::Error> error) {
        if (error || !result || !result->containerID()) {
            err << "brindle: probe failed: session file " << sessionPath << ": "
                << (error ? errorText(*error) : std::string("no result")) << "\n";
            return;
        }
        out << "usable: " << result->name() << " " << result->containerID()->uuid().string() << "\n";
        status = 0;
    });
    return status;
}

}  // namespace brindle::host
