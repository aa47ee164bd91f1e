#include "platform/log/sinks.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace logging {

SyslogSink::SyslogSink(std::string identifier) : identifier_(std::move(identifier)) {
    ::openlog(identifier_.c_str(), LOG_PID, LOG_DAEMON);
}

void SyslogSink::write(Level level, std::string_view line) {
    const int priority = level == Level::Error ? LOG_ERR : level == Level::Debug ? LOG_DEBUG : LOG_NOTICE;
    ::syslog(priority, "%.*s", static_cast<int>(line.size()), line.data());
}

namespace {

// systemd names the journal's stream in JOURNAL_STREAM as "DEVICE:INODE"; it counts only while
// standard error is still that stream.
bool stderrIsTheJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat status {};
    if (stream == nullptr || ::fstat(STDERR_FILENO, &status) != 0) return false;
    return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) == stream;
}

}  // namespace

StderrSink::StderrSink() : journalPriorities_(stderrIsTheJournal()) {}

void StderrSink::write(Level level, std::string_view line) {
    // One fwrite per line keeps concurrent lines from interleaving.
    std::string text;
    if (journalPriorities_) text = level == Level::Error ? "<3>" : level == Level::Debug ? "<7>" : "<5>";
    text += line;
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
