#include "conform/check.h"

namespace brindle::conform {

const std::vector<Check>& allChecks() {
    static const std::vector<Check> checks = [] {
        std::vector<Check> all;
        addHandshakeChecks(all);
        addRobustnessChecks(all);
        addShapeChecks(all);
        addErrorChecks(all);
        addListingChecks(all);
        addFileChecks(all);
        addNamespaceChecks(all);
        addLinkAndXattrChecks(all);
        addNameChecks(all);
        addExtensionChecks(all);
        addChangeNoticeChecks(all);
        addLockChecks(all);
        return all;
    }();
    return checks;
}

}  // namespace brindle::conform
