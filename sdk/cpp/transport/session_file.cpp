#include "sdk/cpp/transport/session_file.h"

#include "platform/foundation/json.h"
#include "protocol/session_keys.h"
#include "brindle/unique_fd.h"

#include <boost/json.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace brindle::sdk {

using foundation::Error;

std::optional<Error> writeSessionFile(const std::string& path, const SessionFile& session) {
    boost::json::object object;
    object[session_keys::sessionID] = session.sessionID;
    object[session_keys::socketPath] = session.socketPath;
    object[session_keys::authToken] = session.authToken;
    object[session_keys::volumeName] = session.volumeName;
    object[session_keys::namedattr] = session.namedattr;
    object[session_keys::readonly] = session.readonly;
    if (session.tlsPin) object[session_keys::tlsPin] = session.tlsPin->text();
    if (session.serverUser) object[session_keys::serverUser] = *session.serverUser;
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

std::optional<std::string> existingSessionEndpoint(const std::string& path) {
    // A session file is a few hundred bytes; anything much larger is not one.
    constexpr size_t kMaxSessionFile = 64 * 1024;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) return std::nullopt;
    std::string text(kMaxSessionFile, '\0');
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::read(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    text.resize(done);
    auto parsed = foundation::json::parse(text);
    if (!parsed || !parsed.value().is_object()) return std::nullopt;
    const auto* endpoint = foundation::json::stringField(parsed.value().get_object(), session_keys::socketPath);
    if (endpoint == nullptr) return std::nullopt;
    return std::string(endpoint->data(), endpoint->size());
}

}  // namespace brindle::sdk
