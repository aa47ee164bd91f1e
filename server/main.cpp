#include "platform/log/log.h"
#include "sdk/cpp/transport/daemon.h"
#include "sdk/cpp/transport/log_destination.h"
#include "sdk/cpp/transport/server.h"
#include "server/command_line.h"

#include <csignal>
#include <iostream>
#include <pthread.h>
#include <sys/resource.h>

int main(int argc, char** argv) {
    using namespace brindle::server;
    auto parsed = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        std::cerr << "brindle-server: " << parsed.error << "\nTry 'brindle-server --help' for more information.\n";
        return 2;
    }
    if (parsed.action == Action::Help) {
        std::cout << usageText();
        return 0;
    }
    if (parsed.action == Action::Version) {
        std::cout << versionText();
        return 0;
    }
    ServerOptions& options = parsed.options;
    std::error_code noWorkingDirectory;
    makePathsAbsolute(options, std::filesystem::current_path(noWorkingDirectory));
    logging::setSink(logDestination(options));
    logging::setDebugEnabled(options.debug);

    // Open files hold descriptors; allow as many as the hard limit does.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }

    Daemon daemon;
    if (!options.foreground && !daemon.detach()) {
        std::cerr << "brindle-server: cannot detach; use -f\n";
        return 1;
    }

    // Every thread inherits the blocked signals, so only the wait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    auto server = Server::start(options);
    if (!server) {
        const std::string message = "brindle-server: " + server.error().description() + "\n";
        if (options.foreground) std::cerr << message;
        daemon.reportFailed(message);
        return 1;
    }
    if (options.foreground) std::cout << options.sessionFile << std::endl;
    daemon.reportStarted(options.sessionFile + "\n");

    int received = 0;
    sigwait(&stopSignals, &received);
    logging::info("orvel: server stopping on signal {}", received);
    daemon.reportStopping();
    server.value()->stop();
    return 0;
}
