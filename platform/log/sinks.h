#pragma once

#include "platform/log/log.h"

#include <mutex>
#include <string>
#include <vector>

namespace logging {

// syslog, so that journald keeps the lines, under the identifier that `journalctl -t` selects.
class SyslogSink final : public Sink {
public:
    explicit SyslogSink(std::string identifier);
    void write(Level level, std::string_view line) override;
    const std::string& identifier() const { return identifier_; }

private:
    // openlog keeps the pointer, so the text lives as long as the sink.
    std::string identifier_;
};

// Standard error, for the foreground (-f). When systemd's journal reads it (a service), each line
// carries its priority as "<3>", "<5>" or "<7>", so that the journal keeps errors apart.
class StderrSink final : public Sink {
public:
    StderrSink();
    void write(Level level, std::string_view line) override;

private:
    bool journalPriorities_;
};

// Keeps every line in memory, for tests.
class MemorySink final : public Sink {
public:
    struct Line {
        Level level;
        std::string text;
    };
    void write(Level level, std::string_view line) override;
    std::vector<Line> lines() const;
    bool contains(std::string_view text) const;
    bool containsAt(Level level, std::string_view text) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
};

}  // namespace logging
