#include "brindle/program.h"

#include "platform/log/log.h"
#include "sdk/cpp/transport/daemon.h"
#include "sdk/cpp/transport/log_destination.h"

#include <csignal>
#include <iostream>
#include <pthread.h>
#include <sys/resource.h>

namespace brindle::sdk {

std::string version() { return BRINDLE_VERSION; }

int run(Backend& backend, const ProgramSettings& settings, const std::string& program) {
    logging::setSink(logDestination(settings.foreground, program));
    logging::setDebugEnabled(settings.debug);

    // Open files hold descriptors; allow as many as the hard limit does.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }

    Daemon daemon;
    if (!settings.foreground && !daemon.detach()) {
        std::cerr << program << ": cannot detach; use -f\n";
        return 1;
    }

    // Every thread inherits the blocked signals, so only the wait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    auto server = Server::start(backend, settings.server);
    if (!server) {
        const std::string message = program + ": " + describe(server.error()) + "\n";
        if (settings.foreground) std::cerr << message;
        daemon.reportFailed(message);
        return 1;
    }
    if (settings.foreground) std::cout << settings.server.sessionFile << std::endl;
    daemon.reportStarted(settings.server.sessionFile + "\n");

    int received = 0;
    sigwait(&stopSignals, &received);
    logging::info("orvel: server stopping on signal {}", received);
    daemon.reportStopping();
    server.value()->stop();
    return 0;
}

}  // namespace brindle::sdk
