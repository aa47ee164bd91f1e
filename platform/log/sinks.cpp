#include "platform/log/sinks.h"

#include <cstdio>
#include <syslog.h>

namespace logging {

SyslogSink::SyslogSink(std::string identifier) : identifier_(std::move(identifier)) {
    ::openlog(identifier_.c_str(), LOG_PID, LOG_DAEMON);
}

void SyslogSink::write(Level level, std::string_view line) {
    const int priority = level == Level::Error ? LOG_ERR : level == Level::Debug ? LOG_DEBUG : LOG_NOTICE;
    ::syslog(priority, "%.*s", static_cast<int>(line.size()), line.data());
}

void StderrSink::write(Level, std::string_view line) {
    // One fwrite per line keeps concurrent lines from interleaving.
    std::string text(line);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
}

void MemorySink::write(Level level, std::string_view line) {
    std::lock_guard lock(mutex_);
    lines_.push_back({level, std::string(line)});
}

std::vector<MemorySink::Line> MemorySink::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

bool MemorySink::contains(std::string_view text) const {
    std::lock_guard lock(mutex_);
    for (const auto& line : lines_) {
        if (line.text.find(text) != std::string::npos) return true;
    }
    return false;
}

bool MemorySink::containsAt(Level level, std::string_view text) const {
    std::lock_guard lock(mutex_);
    for (const auto& line : lines_) {
        if (line.level == level && line.text.find(text) != std::string::npos) return true;
    }
    return false;
}

void MemorySink::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

}  // namespace logging
