#include "sdk/cpp/transport/path_owner.h"

#include "platform/foundation/errno_table.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brindle::sdk {

std::optional<foundation::Error> refuseAnotherOwnersObject(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || st.st_uid == ::geteuid()) return std::nullopt;
    const passwd* owner = ::getpwuid(st.st_uid);
    const std::string uid = "uid " + std::to_string(st.st_uid);
    const std::string named = owner != nullptr ? std::string(owner->pw_name) + " (" + uid + ")" : uid;
    return foundation::Error::posix(foundation::darwin::eperm,
                                    path + " already exists and belongs to " + named +
                                        ", not to the user running this server; remove it, or choose a path in "
                                        "a directory of your own");
}

}  // namespace brindle::sdk
