#pragma once

#include "conform/check.h"
#include "conform/target.h"

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

namespace brindle::conform {

enum class Verdict { pass, fail, skip };

struct CheckResult {
    const Check* check = nullptr;
    Verdict verdict = Verdict::pass;
    // Why it failed or was skipped; for a pass, what the check noted.
    std::string reason;
    std::chrono::milliseconds elapsed{0};
};

// Prints one line per check as it ends, and at the end the counts; writes the JSON report.
class Report {
public:
    explicit Report(std::ostream& out) : out_(out) {}

    void add(CheckResult result);
    // "N passed, M failed, K skipped".
    void printSummary();
    bool anyFailed() const { return failed_ > 0; }
    std::string json(const Target& target, std::chrono::milliseconds elapsed) const;

private:
    std::ostream& out_;
    std::vector<CheckResult> results_;
    size_t passed_ = 0;
    size_t failed_ = 0;
    size_t skipped_ = 0;
};

}  // namespace brindle::conform
