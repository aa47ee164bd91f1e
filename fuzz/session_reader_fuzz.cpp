#include "module/BrindleSessionDescriptor.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// Writes the input as a session file and reads it back as the module does.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/brindle-session-fuzz-" + std::to_string(::getpid()) + ".json";
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    // Private, as a session file must be to be read at all.
    ::chmod(path.c_str(), 0600);
    brindle::BrindleSessionDescriptor::initWithURL(foundation::URL::fileURLWithPath(path),
                                                   brindle::SessionFileTrust::requirePrivate);
    std::remove(path.c_str());
    return 0;
}
