#include "platform/log/log.h"

#include "platform/log/sinks.h"

#include <atomic>
#include <cerrno>
#include <mutex>

namespace logging {
namespace {

struct LogState {
    std::mutex mutex;
    std::shared_ptr<Sink> sink = std::make_shared<SyslogSink>(program_invocation_short_name);
    std::atomic<bool> debug{false};
};

thread_local int detailScopes = 0;

LogState& state() {
    static LogState instance;
    return instance;
}

}  // namespace

void setSink(std::shared_ptr<Sink> sink) {
    std::lock_guard lock(state().mutex);
    state().sink = std::move(sink);
}

void setDebugEnabled(bool enabled) { state().debug.store(enabled); }
bool debugEnabled() { return state().debug.load(std::memory_order_relaxed); }

DetailsAtDebug::DetailsAtDebug() { ++detailScopes; }
DetailsAtDebug::~DetailsAtDebug() { --detailScopes; }

void write(Level level, std::string_view line) {
    if (detailScopes > 0 && level != Level::Debug) {
        if (!debugEnabled()) return;
        level = Level::Debug;
    }
    std::shared_ptr<Sink> sink;
    {
        std::lock_guard lock(state().mutex);
        sink = state().sink;
    }
    if (sink) sink->write(level, line);
}

}  // namespace logging
