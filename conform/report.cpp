#include "conform/report.h"

#include "platform/foundation/json.h"

#include <fmt/format.h>

namespace brindle::conform {

namespace {

std::string_view verdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::pass: return "pass";
        case Verdict::fail: return "fail";
        case Verdict::skip: return "skip";
    }
    return "fail";
}

}  // namespace

void Report::add(CheckResult result) {
    switch (result.verdict) {
        case Verdict::pass: ++passed_; break;
        case Verdict::fail: ++failed_; break;
        case Verdict::skip: ++skipped_; break;
    }
    std::string label(verdictName(result.verdict));
    for (char& c : label) c = static_cast<char>(c - 'a' + 'A');
    out_ << label << " " << result.check->id << (result.reason.empty() ? "" : ": " + result.reason) << "\n";
    out_.flush();
    results_.push_back(std::move(result));
}

void Report::printSummary() { out_ << fmt::format("{} passed, {} failed, {} skipped\n", passed_, failed_, skipped_); }

std::string Report::json(const Target& target, std::chrono::milliseconds elapsed) const {
    boost::json::array checks;
    for (const CheckResult& result : results_) {
        checks.push_back(boost::json::object{
            {"id", result.check->id},
            {"group", result.check->group()},
            {"description", result.check->description},
            {"result", verdictName(result.verdict)},
            {"reason", result.reason},
            {"milliseconds", result.elapsed.count()},
        });
    }
    const boost::json::object report{
        {"kit", "brindle-conform " BRINDLE_VERSION},
        {"session_file", target.sessionPath},
        {"endpoint", target.session->socketPath()},
        {"claims",
         boost::json::object{{"read_only", target.claims.readOnly},
                             {"xattrs", target.claims.xattrs},
                             {"symlinks", target.claims.symlinks}}},
        {"checks", std::move(checks)},
        {"passed", passed_},
        {"failed", failed_},
        {"skipped", skipped_},
        {"milliseconds", elapsed.count()},
    };
    return foundation::json::serialize(report) + "\n";
}

}  // namespace brindle::conform
