#include "host/fuse/options/attribute_presentation.h"

namespace brindle::host {

void AttributePresentation::applyTo(struct stat& status) const {
    if (owner) status.st_uid = *owner;
    if (group) status.st_gid = *group;
    status.st_mode &= ~(umask & 0777);
}

}  // namespace brindle::host
