#include "host/fuse/mount/fuse_messages.h"

#include "platform/log/log.h"

#include <fuse_log.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <optional>

namespace brindle::host {
namespace {

// libfuse's log hook takes no user data, so what it feeds lives here.
std::mutex captureMutex;
std::optional<std::string> captured;

void takeMessage(fuse_log_level level, const char* format, va_list arguments) {
    char line[1024];
    std::vsnprintf(line, sizeof line, format, arguments);
    std::string text(line);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    if (text.starts_with("fuse: ")) text.erase(0, 6);
    std::lock_guard lock(captureMutex);
    if (captured) {
        if (!captured->empty()) *captured += "; ";
        *captured += text;
    } else if (level <= FUSE_LOG_ERR) {
        logging::error("orvel: fuse: {}", text);
    } else {
        logging::debug("orvel: fuse: {}", text);
    }
}

}  // namespace

FuseMessageCapture::FuseMessageCapture() {
    std::lock_guard lock(captureMutex);
    captured.emplace();
    fuse_set_log_func(takeMessage);
}

FuseMessageCapture::~FuseMessageCapture() {
    std::lock_guard lock(captureMutex);
    captured.reset();
}

std::string FuseMessageCapture::text() const {
    std::lock_guard lock(captureMutex);
    return captured.value_or(std::string());
}

}  // namespace brindle::host
