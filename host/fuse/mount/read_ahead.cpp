#include "host/fuse/mount/read_ahead.h"

#include "platform/log/log.h"

#include <fstream>
#include <sstream>
#include <vector>

namespace brindle::host {

namespace {

// mountinfo writes space, tab, newline and backslash in paths as three octal digits after a backslash.
std::string unescapeMountinfoField(const std::string& field) {
    std::string text;
    for (size_t i = 0; i < field.size(); ++i) {
        const auto isOctal = [&](size_t at, char highest) { return field[at] >= '0' && field[at] <= highest; };
        const bool octal =
            field[i] == '\\' && i + 3 < field.size() && isOctal(i + 1, '3') && isOctal(i + 2, '7') && isOctal(i + 3, '7');
        if (!octal) {
            text += field[i];
            continue;
        }
        text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
        i += 3;
    }
    return text;
}

}  // namespace

std::optional<std::string> deviceOfMountPoint(std::istream& mountinfo, const std::string& mountPoint) {
    std::optional<std::string> device;
    std::string line;
    while (std::getline(mountinfo, line)) {
        // mount id, parent id, major:minor, root, mount point, ...
        std::istringstream fields(line);
        std::string mountID, parentID, majorMinor, root, point;
        if (!(fields >> mountID >> parentID >> majorMinor >> root >> point)) continue;
        if (majorMinor.find(':') == std::string::npos) continue;
        if (unescapeMountinfoField(point) == mountPoint) device = majorMinor;  // later lines are newer mounts
    }
    return device;
}

void raiseReadAhead(const std::string& mountPoint, unsigned kilobytes) {
    std::ifstream mountinfo("/proc/self/mountinfo");
    const auto device = deviceOfMountPoint(mountinfo, mountPoint);
    if (!device) {
        logging::debug("orvel: read-ahead left alone: {} not found in mountinfo", mountPoint);
        return;
    }
    const std::string setting = "/sys/class/bdi/" + *device + "/read_ahead_kb";
    unsigned current = 0;
    if (std::ifstream in(setting); !(in >> current)) {
        logging::debug("orvel: read-ahead left alone: cannot read {}", setting);
        return;
    }
    if (current >= kilobytes) return;
    std::ofstream out(setting);
    out << kilobytes << '\n';
    out.flush();
    if (!out) {
        logging::debug("orvel: read-ahead left at {} KiB: cannot write {}", current, setting);
        return;
    }
    logging::debug("orvel: read-ahead raised from {} to {} KiB", current, kilobytes);
}

}  // namespace brindle::host
