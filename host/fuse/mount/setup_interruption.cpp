#include "host/fuse/mount/setup_interruption.h"

#include <atomic>
#include <csignal>
#include <cstring>

namespace brindle::host {
namespace {

constexpr int watchedSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Written by a signal handler, so a lock-free atomic and nothing else.
std::atomic<int> caught{0};
static_assert(std::atomic<int>::is_always_lock_free);

void remember(int signal) {
    int none = 0;
    caught.compare_exchange_strong(none, signal);
}

void setDisposition(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    for (const int signal : watchedSignals) ::sigaction(signal, &action, nullptr);
}

}  // namespace

SetupInterruption::SetupInterruption() { setDisposition(remember); }

SetupInterruption::~SetupInterruption() { setDisposition(SIG_DFL); }

int SetupInterruption::caughtSignal() { return caught.load(); }

std::string signalName(int signal) {
    const char* abbreviation = ::sigabbrev_np(signal);
    return abbreviation != nullptr ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
}

}  // namespace brindle::host
