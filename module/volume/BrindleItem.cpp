#include "module/volume/BrindleItem.h"

#include <unistd.h>

namespace brindle {

timespec currentCalendarTime() {
    timespec now{};
    timespec_get(&now, TIME_UTC);
    return now;
}

namespace {

// Read once: this process never changes its ids, and every item made would otherwise cost two
// system calls for values that the server's attributes nearly always replace.
const uid_t processUID = ::getuid();
const gid_t processGID = ::getgid();

}  // namespace

BrindleItem::BrindleItem() : uid(processUID), gid(processGID) {
    const timespec now = currentCalendarTime();
    modifyTime = now;
    changeTime = now;
    accessTime = now;
    birthTime = now;
}

}  // namespace brindle
