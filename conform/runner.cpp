#include "conform/runner.h"

#include "conform/scratch.h"
#include "conform/verdict.h"

#include <fmt/format.h>

#include <algorithm>

namespace brindle::conform {

namespace {

// Why a check cannot run on this server, or none.
std::optional<std::string> unmetNeed(const Check& check, const Claims& claims) {
    if ((check.needs & kWritable) && claims.readOnly) {
        return "the server is read-only (--read-only): the kit cannot make this check's files";
    }
    if ((check.needs & kReadOnly) && !claims.readOnly) {
        return "the server does not claim to be read-only (give --read-only for one that is)";
    }
    if ((check.needs & kXattrs) && !claims.xattrs) return "the server claims no extended attributes (--no-xattrs)";
    if ((check.needs & kSymlinks) && !claims.symlinks) return "the server claims no symbolic links (--no-symlinks)";
    return std::nullopt;
}

CheckResult runOne(Session& session, const Check& check) {
    CheckResult result{&check};
    const auto began = std::chrono::steady_clock::now();
    if (auto why = unmetNeed(check, session.target.claims)) {
        result.verdict = Verdict::skip;
        result.reason = std::move(*why);
        return result;
    }
    try {
        Context context(session, check);
        check.run(context);
        result.reason = context.note();
    } catch (const CheckFailed& failure) {
        result.verdict = Verdict::fail;
        result.reason = failure.what();
    } catch (const CheckSkipped& skipped) {
        result.verdict = Verdict::skip;
        result.reason = skipped.what();
    } catch (const std::exception& unexpected) {
        result.verdict = Verdict::fail;
        result.reason = std::string("the kit met an error of its own: ") + unexpected.what();
    }
    result.elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
    return result;
}

}  // namespace

void runChecks(const Target& target, uint64_t rootID, const std::vector<const Check*>& checks, Report& report,
               std::ostream& err, const std::atomic<bool>& stop) {
    Session session{target, rootID};
    if (target.claims.readOnly) {
        session.scratch.failure = "the server is read-only: the kit makes nothing on it";
    } else if (std::ranges::any_of(checks, [](const Check* check) { return !(check->needs & kReadOnly); })) {
        session.scratch = makeScratch(target, rootID);
    }

    size_t run = 0;
    for (const Check* check : checks) {
        if (stop.load()) break;
        report.add(runOne(session, *check));
        ++run;
    }
    if (run < checks.size()) err << fmt::format("brindle-conform: interrupted; {} checks not run\n", checks.size() - run);
    if (session.scratch.nodeID != 0) {
        if (auto left = removeScratch(target, rootID, session.scratch)) {
            err << fmt::format("brindle-conform: could not remove the scratch directory {} from the server's root "
                               "({}); remove it by hand\n",
                               session.scratch.name, *left);
        }
    }
}

std::vector<const Check*> selectChecks(const std::vector<std::string>& selectors) {
    std::vector<const Check*> selected;
    for (const Check& check : allChecks()) {
        if (selectors.empty() || std::ranges::any_of(selectors, [&](const std::string& selector) {
                return selector == check.id || selector == check.group();
            })) {
            selected.push_back(&check);
        }
    }
    return selected;
}

}  // namespace brindle::conform
