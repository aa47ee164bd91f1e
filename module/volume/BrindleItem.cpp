#include "module/volume/BrindleItem.h"

#include <unistd.h>

namespace brindle {

timespec currentCalendarTime() {
    timespec now{};
    timespec_get(&now, TIME_UTC);
    return now;
}

BrindleItem::BrindleItem() : uid(::getuid()), gid(::getgid()) {
    const timespec now = currentCalendarTime();
    modifyTime = now;
    changeTime = now;
    accessTime = now;
    birthTime = now;
}

}  // namespace brindle
