#include "module/BrindleSessionDescriptor.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

// Writes the input as a session file and reads it back as the module does.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/brindle-session-fuzz-" + std::to_string(::getpid()) + ".json";
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    brindle::BrindleSessionDescriptor::initWithURL(foundation::URL::fileURLWithPath(path));
    std::remove(path.c_str());
    return 0;
}
