#pragma once

#include <array>
#include <string_view>

// The keys of a session file, shared by the module that reads it and the server that writes it.
namespace brindle::session_keys {
inline constexpr std::string_view sessionID = "session_id";
inline constexpr std::string_view socketPath = "socket_path";
inline constexpr std::string_view authToken = "auth_token";
inline constexpr std::string_view namedattr = "namedattr";
inline constexpr std::string_view readonly = "readonly";
inline constexpr std::string_view volumeName = "volume_name";
inline constexpr std::string_view tlsPin = "tls_pin";
inline constexpr std::string_view serverUser = "server_user";

inline constexpr std::array all{sessionID, socketPath, authToken, namedattr, readonly, volumeName, tlsPin, serverUser};
}  // namespace brindle::session_keys
