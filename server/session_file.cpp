#include "server/session_file.h"

#include "module/session_keys.h"
#include "platform/foundation/json.h"
#include "server/unique_fd.h"

#include <boost/json.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace brindle::server {

using foundation::Error;

std::optional<Error> writeSessionFile(const std::string& path, const SessionFile& session) {
    boost::json::object object;
    object[session_keys::sessionID] = session.sessionID;
    object[session_keys::socketPath] = session.socketPath;
    object[session_keys::authToken] = session.authToken;
    object[session_keys::volumeName] = session.volumeName;
    object[session_keys::namedattr] = session.namedattr;
    object[session_keys::readonly] = session.readonly;
    const std::string text = foundation::json::serialize(object) + "\n";

    const std::string temporary = path + ".tmp";
    ::unlink(temporary.c_str());
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) return Error::fromLinuxErrno(errno);
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const Error error = Error::fromLinuxErrno(errno);
            ::unlink(temporary.c_str());
            return error;
        }
        done += static_cast<size_t>(n);
    }
    if (::fchmod(fd.get(), 0600) != 0 || ::fsync(fd.get()) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        const Error error = Error::fromLinuxErrno(errno);
        ::unlink(temporary.c_str());
        return error;
    }
    return std::nullopt;
}

}  // namespace brindle::server
