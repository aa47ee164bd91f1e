#include "conform/command_line.h"

#include "conform/check.h"

#include <algorithm>
#include <charconv>

namespace brindle::conform {

namespace {

constexpr double kMaxTimeoutSeconds = 600;

bool namesChecks(const std::string& selector) {
    return std::ranges::any_of(allChecks(), [&](const Check& check) {
        return check.id == selector || check.group() == selector;
    });
}

}  // namespace

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    ParsedCommandLine parsed;
    Options& options = parsed.options;
    auto refuse = [&parsed](std::string message) {
        parsed.error = std::move(message);
        return parsed;
    };
    bool listing = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const auto value = [&](std::string& out) {
            if (i + 1 >= arguments.size()) return false;
            out = arguments[++i];
            return true;
        };
        if (argument == "-h" || argument == "--help") {
            parsed.action = Action::Help;
            return parsed;
        }
        if (argument == "-V" || argument == "--version") {
            parsed.action = Action::Version;
            return parsed;
        }
        if (argument == "-d" || argument == "--debug") {
            options.debug = true;
        } else if (argument == "--list") {
            listing = true;
        } else if (argument == "--read-only") {
            options.claims.readOnly = true;
        } else if (argument == "--no-xattrs") {
            options.claims.xattrs = false;
        } else if (argument == "--no-symlinks") {
            options.claims.symlinks = false;
        } else if (argument == "--only") {
            std::string list;
            if (!value(list)) return refuse("--only needs a group or a check id");
            for (size_t start = 0; start <= list.size();) {
                const size_t comma = std::min(list.find(',', start), list.size());
                std::string selector = list.substr(start, comma - start);
                if (!namesChecks(selector)) {
                    return refuse("--only: no group or check is named '" + selector +
                                  "' (brindle-conform --list shows them)");
                }
                options.only.push_back(std::move(selector));
                start = comma + 1;
            }
        } else if (argument == "--export") {
            if (!value(options.exportDirectory) || options.exportDirectory.empty()) {
                return refuse("--export needs the directory the server exports");
            }
        } else if (argument == "--json") {
            std::string path;
            if (!value(path) || path.empty()) return refuse("--json needs a file to write");
            options.jsonPath = path;
        } else if (argument == "--timeout") {
            std::string text;
            double seconds = 0;
            if (!value(text)) return refuse("--timeout needs a number of seconds");
            const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), seconds);
            if (status != std::errc() || end != text.data() + text.size() || !(seconds > 0) ||
                seconds > kMaxTimeoutSeconds) {
                return refuse("--timeout needs a number of seconds above 0 and at most 600, not '" + text + "'");
            }
            options.timeout = std::chrono::milliseconds(std::max<long long>(1, static_cast<long long>(seconds * 1000)));
        } else if (argument.starts_with("-") && argument != "-") {
            return refuse("unknown option " + argument);
        } else if (options.sessionPath.empty()) {
            options.sessionPath = argument;
        } else {
            return refuse("one session file only; '" + argument + "' is a second");
        }
    }
    if (listing) {
        parsed.action = Action::List;
        return parsed;
    }
    if (options.sessionPath.empty()) return refuse("no session file given");
    return parsed;
}

std::string usageText() {
    return "Usage: brindle-conform [options] SESSION\n"
           "Checks the file-system server that the session file SESSION names, over the wire and\n"
           "through brindle's own client: no mount, no root. Each check prints one line: PASS, FAIL\n"
           "with the reason, or SKIP with why. The kit works in a scratch directory it makes under\n"
           "the server's root and removes at the end; it touches no other name.\n"
           "\n"
           "What the server claims (checks of what it does not do are skipped):\n"
           "  --read-only        it refuses every change: every change must fail with EROFS\n"
           "  --no-xattrs        it offers no extended attributes\n"
           "  --no-symlinks      it makes no symbolic links\n"
           "\n"
           "  --export DIR       the directory the server exports, on this machine: checks of\n"
           "                     changes made there directly run only with it\n"
           "\n"
           "  --only GROUP|ID    run only these checks; repeat it or separate them with commas\n"
           "  --list             print every check with what it checks, and exit\n"
           "  --json FILE        also write the results to FILE as JSON\n"
           "  --timeout SECONDS  how long one call may wait for its reply (default 5)\n"
           "  -d, --debug        print the client's log lines, each call included, on standard error\n"
           "  -h, --help         print this help\n"
           "  -V, --version      print the version\n"
           "\n"
           "Exit status: 0 when no check failed, 1 when one did, 2 for a wrong command line or a\n"
           "session that cannot be used.\n";
}

std::string versionText() { return std::string("brindle-conform ") + BRINDLE_VERSION + "\n"; }

}  // namespace brindle::conform
