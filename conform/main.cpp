#include "conform/check.h"
#include "conform/command_line.h"
#include "conform/connection.h"
#include "conform/expect.h"
#include "conform/report.h"
#include "conform/runner.h"
#include "module/BrindleSessionDescriptor.h"
#include "platform/log/log.h"
#include "platform/log/sinks.h"

#include <fmt/format.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <iostream>

namespace {

using namespace brindle::conform;

constexpr int kExitFailed = 1;
constexpr int kExitUnusable = 2;

std::atomic<bool> stopRequested{false};

void requestStop(int) { stopRequested.store(true); }

// The client logs for a mount's administrator; the kit's user reads the report instead.
class Silence final : public logging::Sink {
public:
    void write(logging::Level, std::string_view) override {}
};

void printList() {
    for (const Check& check : allChecks()) std::cout << fmt::format("{:<40} {}\n", check.id, check.description);
}

// The session's server and root, or the reason it cannot be checked.
int run(const Options& options) {
    if (options.debug) {
        logging::setSink(std::make_shared<logging::StderrSink>());
        logging::setDebugEnabled(true);
    } else {
        logging::setSink(std::make_shared<Silence>());
    }
    auto session = brindle::BrindleSessionDescriptor::initWithURL(foundation::URL::fileURLWithPath(options.sessionPath),
                                                                brindle::SessionFileTrust::requirePrivate);
    if (!session) {
        std::cerr << "brindle-conform: session file " << options.sessionPath << ": " << describe(session.error())
                  << "; brindle --probe " << options.sessionPath << " says more\n";
        return kExitUnusable;
    }
    const Target target{session.value(), options.sessionPath, options.claims, options.timeout, options.exportDirectory};
    uint64_t rootID = 0;
    try {
        Connection connection(target);
        rootID = succeeded(connection.root(), "get_root_attributes")->nodeID;
    } catch (const CheckFailed& failure) {
        std::cerr << "brindle-conform: cannot check the server at " << target.session->socketPath() << ": "
                  << failure.what() << "; is it running, and is " << options.sessionPath << " its current session file?\n";
        return kExitUnusable;
    }

    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    Report report(std::cout);
    const auto began = std::chrono::steady_clock::now();
    runChecks(target, rootID, selectChecks(options.only), report, std::cerr, stopRequested);
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
    report.printSummary();
    if (options.jsonPath) {
        std::ofstream out(*options.jsonPath, std::ios::trunc);
        out << report.json(target, elapsed);
        if (!out.flush()) {
            std::cerr << "brindle-conform: cannot write the JSON report to " << *options.jsonPath << "\n";
            return kExitUnusable;
        }
    }
    return report.anyFailed() || stopRequested.load() ? kExitFailed : 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const auto parsed = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        std::cerr << "brindle-conform: " << parsed.error << "\n" << usageText();
        return kExitUnusable;
    }
    switch (parsed.action) {
        case Action::Help: std::cout << usageText(); return 0;
        case Action::Version: std::cout << versionText(); return 0;
        case Action::List: printList(); return 0;
        case Action::Run: return run(parsed.options);
    }
    return kExitUnusable;
}
