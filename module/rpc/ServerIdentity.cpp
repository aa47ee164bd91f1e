#include "module/rpc/ServerIdentity.h"

#include "platform/foundation/errno_table.h"

#include <fmt/format.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <vector>

namespace brindle {

using foundation::Error;
namespace darwin = foundation::darwin;

namespace {

constexpr std::string_view kNoToken = "; the token was not sent";

std::optional<uid_t> uidOfUser(const std::string& user) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return found->pw_uid;
    }
    uid_t uid = 0;
    const auto [end, status] = std::from_chars(user.data(), user.data() + user.size(), uid);
    if (status == std::errc() && end == user.data() + user.size()) return uid;
    return std::nullopt;
}

}  // namespace

std::string userDescription(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return fmt::format("{} (uid {})", found->pw_name, uid);
    }
    return fmt::format("uid {}", uid);
}

std::string ServerIdentity::description() const {
    switch (kind) {
        case Kind::UnixUser: return "user " + userDescription(uid);
        case Kind::PinnedCertificate: return "pinned certificate " + certificate.text();
        case Kind::AuthorizedCertificate:
            return "certificate " + certificate.text() + " issued for " + host + " by a trusted authority";
        case Kind::Unverified: break;
    }
    return "not verified (plain TCP)";
}

bool ServerIdentity::sameServerAs(const ServerIdentity& other) const {
    if (kind != other.kind) return false;
    switch (kind) {
        case Kind::UnixUser: return uid == other.uid;
        case Kind::PinnedCertificate: return certificate == other.certificate;
        // An authority's certificates are renewed; the name it vouches for stays.
        case Kind::AuthorizedCertificate: return host == other.host;
        case Kind::Unverified: break;
    }
    return true;
}

foundation::Result<ServerIdentity> identifyUnixPeer(int socketFD, const std::string& path,
                                                    const std::optional<std::string>& serverUser) {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(socketFD, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return Error::fromLinuxErrno(errno);
    if (serverUser) {
        const auto expected = uidOfUser(*serverUser);
        if (!expected) {
            return Error::posix(darwin::eperm, fmt::format("the session file names the server user \"{}\", who does "
                                                           "not exist here{}", *serverUser, kNoToken));
        }
        if (peer.uid != *expected) {
            return Error::posix(darwin::eperm,
                                fmt::format("{} is served by user {}, not by the server user {} that the session "
                                            "file names{}", path, userDescription(peer.uid),
                                            userDescription(*expected), kNoToken));
        }
    }
    struct stat socketFile{};
    if (::stat(path.c_str(), &socketFile) != 0) return Error::fromLinuxErrno(errno);
    // Root may serve a socket it made over to a user; it could read the token wherever it lies.
    if (peer.uid != socketFile.st_uid && peer.uid != 0) {
        return Error::posix(darwin::eperm, fmt::format("{} belongs to user {} but is served by user {}{}", path,
                                                       userDescription(socketFile.st_uid),
                                                       userDescription(peer.uid), kNoToken));
    }
    ServerIdentity identity;
    identity.kind = ServerIdentity::Kind::UnixUser;
    identity.uid = peer.uid;
    return identity;
}

}  // namespace brindle
