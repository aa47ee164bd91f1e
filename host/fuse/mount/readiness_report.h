#pragma once

namespace brindle::host {

// The write end of the pipe through which a child tells the waiting parent that the mount is
// ready; -1 in the foreground.
class ReadinessReport {
public:
    explicit ReadinessReport(int fd) : fd_(fd) {}
    ~ReadinessReport();
    ReadinessReport(const ReadinessReport&) = delete;
    ReadinessReport& operator=(const ReadinessReport&) = delete;

    // Tells the parent, and leaves its terminal and working directory alone from then on.
    void ready();

private:
    int fd_;
};

}  // namespace brindle::host
