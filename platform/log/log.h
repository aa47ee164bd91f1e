#pragma once

#include <fmt/format.h>

#include <memory>
#include <string_view>

// The unified-log stand-in: one process-wide log with three levels and a replaceable sink.
namespace logging {

enum class Level { Default, Error, Debug };

class Sink {
public:
    virtual ~Sink() = default;
    virtual void write(Level level, std::string_view line) = 0;
};

// The sink every line goes to; syslog until replaced.
void setSink(std::shared_ptr<Sink> sink);
// Debug lines are dropped (and not even formatted) unless enabled.
void setDebugEnabled(bool enabled);
bool debugEnabled();

void write(Level level, std::string_view line);

// While one lives, lines this thread writes go out at debug level: the steps of a routine that is
// retried many times are detail, and the loop that retries says in one line what each try gave.
class DetailsAtDebug {
public:
    DetailsAtDebug();
    ~DetailsAtDebug();
    DetailsAtDebug(const DetailsAtDebug&) = delete;
    DetailsAtDebug& operator=(const DetailsAtDebug&) = delete;
};

template <typename... Args>
void info(fmt::format_string<Args...> format, Args&&... args) {
    write(Level::Default, fmt::format(format, std::forward<Args>(args)...));
}

template <typename... Args>
void error(fmt::format_string<Args...> format, Args&&... args) {
    write(Level::Error, fmt::format(format, std::forward<Args>(args)...));
}

template <typename... Args>
void debug(fmt::format_string<Args...> format, Args&&... args) {
    if (debugEnabled()) write(Level::Debug, fmt::format(format, std::forward<Args>(args)...));
}

}  // namespace logging
