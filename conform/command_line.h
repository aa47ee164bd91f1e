#pragma once

#include "conform/target.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace brindle::conform {

struct Options {
    std::string sessionPath;
    Claims claims;
    // Groups or check ids; empty runs every check.
    std::vector<std::string> only;
    std::optional<std::string> jsonPath;
    std::chrono::milliseconds timeout{5000};
    std::string exportDirectory;
    // The client's own log lines, on standard error.
    bool debug = false;
};

enum class Action { Run, List, Help, Version };

struct ParsedCommandLine {
    Action action = Action::Run;
    Options options;
    std::string error;  // set when the line is refused
};

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments);

std::string usageText();
std::string versionText();

}  // namespace brindle::conform
