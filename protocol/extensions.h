#pragma once

#include <boost/json.hpp>

#include <set>
#include <string>
#include <string_view>

// Extensions: what a server advertises in its handshake reply beyond the base protocol. A client
// uses one only on a connection whose server advertised it, so a server that advertises nothing
// is spoken to exactly as before.
namespace brindle::wire {

inline constexpr size_t kMaxExtensionName = 64;

namespace extension {
inline constexpr std::string_view createOpens = "create_opens";
inline constexpr std::string_view openDirectoryRecord = "open_directory_record";
// Other clients' changes handed out through "wait_for_changes".
inline constexpr std::string_view changeNotices = "change_notices";
// A write carrying "append" lands at the server's end of the file.
inline constexpr std::string_view append = "append";
// flock and byte-range locks kept by the server for every client, through "set_lock" and "test_lock".
inline constexpr std::string_view locks = "locks";
// Replies of changing calls carry the records of the directories (and the written file) they changed.
inline constexpr std::string_view postOpRecords = "post_op_records";
// An open_directory may bring the listing's first batch, and close the handle where that is all of it.
inline constexpr std::string_view listingInOpen = "listing_in_open";
// Change notices also tell of changes made on the server's side directly, not through any client;
// only beside change_notices.
inline constexpr std::string_view exportWatched = "export_watched";
// The client tells, through "forget_nodes", which nodes it no longer holds.
inline constexpr std::string_view forget = "forget";
}  // namespace extension

// Lower-case words joined by underscores, starting with a letter, at most 64 bytes.
bool isExtensionName(std::string_view name);

// The extensions a handshake reply advertises. No value, or one that is not a list of strings,
// advertises none (it never fails the handshake); a string that cannot name an extension is
// passed over.
std::set<std::string> advertisedExtensions(const boost::json::object& handshakeReply);

}  // namespace brindle::wire
