#pragma once

#include "conform/check.h"
#include "conform/report.h"
#include "conform/target.h"

#include <atomic>
#include <ostream>
#include <vector>

namespace brindle::conform {

// Runs the checks in order, each bounded by the target's timeout per call, and removes the
// scratch directory at the end whatever happened. Stops between two checks once `stop` is set.
void runChecks(const Target& target, uint64_t rootID, const std::vector<const Check*>& checks, Report& report,
               std::ostream& err, const std::atomic<bool>& stop);

// The checks that `selectors` name (groups or ids), in catalogue order; all when it is empty.
std::vector<const Check*> selectChecks(const std::vector<std::string>& selectors);

}  // namespace brindle::conform
