#pragma once

#include "platform/log/log.h"
#include "platform/log/sinks.h"

#include <memory>

namespace testsupport {

// Routes the process log into memory for the life of the object, debug lines included.
class LogCapture {
public:
    LogCapture() : sink_(std::make_shared<logging::MemorySink>()) {
        logging::setSink(sink_);
        logging::setDebugEnabled(true);
    }
    ~LogCapture() {
        logging::setDebugEnabled(false);
        logging::setSink(nullptr);
    }
    logging::MemorySink& sink() { return *sink_; }

private:
    std::shared_ptr<logging::MemorySink> sink_;
};

}  // namespace testsupport
