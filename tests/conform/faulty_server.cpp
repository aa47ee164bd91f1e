// A server made wrong on purpose, to show that brindle-conform catches what it claims to: it
// stands in front of a real server, relays every frame, and spoils one kind of reply.
//
//   faulty_server UPSTREAM_SESSION SESSION_FILE FAULT
//
// writes SESSION_FILE for its own socket (same session id and token) and serves until killed.

#include "platform/foundation/errno_table.h"
#include "platform/foundation/file_read.h"
#include "platform/foundation/json.h"
#include "protocol/framing.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace {

using boost::json::object;
namespace framing = brindle::framing;

const std::set<std::string> kFaults{
    "stuck_cookie",          // the second entry of a batch (also an open's first) repeats the first one's cookie
    "eio_for_missing",       // a missing name is looked up as EIO, not ENOENT
    "missing_result_key",    // readlink replies lack "link_target"
    "any_token",             // every handshake is accepted, whatever its token
    "silent_statfs",         // statfs is never answered
    "linux_errno",           // ENOTEMPTY goes out as Linux's 39, not Darwin's 66
    "raw_name_bytes",        // a name in the root's listings goes out with a byte that is not UTF-8
};

std::string fault;
std::string upstreamPath;
std::string upstreamToken;
std::atomic<uint64_t> rootID{0};

sockaddr_un unixAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    return address;
}

// The requests a connection has sent and not yet had answered, by id.
struct Relay {
    std::mutex mutex;
    std::map<uint64_t, object> requests;
};

std::string methodOf(const object& request) {
    const auto* method = request.if_contains("method");
    return method != nullptr && method->is_string() ? std::string(method->get_string()) : std::string();
}

// What the fault makes of a request; false drops it unanswered.
bool spoilRequest(object& request) {
    const std::string method = methodOf(request);
    if (fault == "any_token" && method == "handshake") request["auth_token"] = upstreamToken;
    return !(fault == "silent_statfs" && method == "statfs");
}

void spoilReply(const object& request, object& reply) {
    const std::string method = methodOf(request);
    const auto code = foundation::json::int64Field(reply, "errno");
    if (fault == "stuck_cookie" && (method == "enumerate_directory" || method == "open_directory")) {
        auto* value = reply.if_contains("dir_items");
        if (auto* items = value ? value->if_array() : nullptr; items != nullptr && items->size() >= 2) {
            (*items)[1].as_object()["next_cookie"] = (*items)[0].as_object()["next_cookie"];
        }
    } else if (fault == "eio_for_missing" && method == "lookup" && code == foundation::darwin::enoent) {
        reply["errno"] = foundation::darwin::eio;
        reply["error"] = "Input/output error";
    } else if (fault == "missing_result_key" && method == "readlink") {
        reply.erase("link_target");
    } else if (fault == "linux_errno" && code == foundation::darwin::enotempty) {
        reply["errno"] = 39;
    } else if (fault == "raw_name_bytes" && method == "get_root_attributes") {
        if (const auto* root = reply["root_attrs"].if_object()) rootID = foundation::json::uint64Field(*root, "node_id").value_or(0);
    } else if (fault == "raw_name_bytes" && method == "enumerate_directory" &&
               foundation::json::uint64Field(request, "parent_id") == rootID.load()) {
        if (auto* items = reply["dir_items"].if_array(); items != nullptr && !items->empty()) {
            auto& name = (*items)[0].as_object()["name"];
            if (name.is_string()) name.as_string().append("\xff");
        }
    }
}

void forwardReplies(int upstream, int client, const std::shared_ptr<Relay>& relay) {
    for (;;) {
        auto frame = framing::readFramedMessage(upstream, [](uint64_t) { return nullptr; });
        if (!frame) break;
        object& reply = frame.value().response;
        if (const auto id = foundation::json::uint64Field(reply, "request_id")) {
            std::lock_guard lock(relay->mutex);
            if (const auto found = relay->requests.find(*id); found != relay->requests.end()) {
                spoilReply(found->second, reply);
                relay->requests.erase(found);
            }
        }
        if (framing::writeFramedData(foundation::json::serialize(reply), frame.value().payload.value_or(""), client)) break;
    }
    ::shutdown(client, SHUT_RDWR);
    ::shutdown(upstream, SHUT_RDWR);
}

void serve(int client) {
    const int upstream = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto address = unixAddress(upstreamPath);
    if (::connect(upstream, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(upstream);
        ::close(client);
        return;
    }
    auto relay = std::make_shared<Relay>();
    std::thread replies(forwardReplies, upstream, client, relay);
    for (;;) {
        auto frame = framing::readFramedMessage(client, [](uint64_t) { return nullptr; });
        // A frame the double cannot read ends the connection, as the server behind it would.
        if (!frame || frame.value().unreadable) break;
        object& request = frame.value().response;
        const bool forwarded = spoilRequest(request);
        if (const auto id = foundation::json::uint64Field(request, "request_id"); id && forwarded) {
            std::lock_guard lock(relay->mutex);
            relay->requests[*id] = request;
        }
        if (forwarded &&
            framing::writeFramedData(foundation::json::serialize(request), frame.value().payload.value_or(""), upstream)) {
            break;
        }
    }
    ::shutdown(client, SHUT_RDWR);
    ::shutdown(upstream, SHUT_RDWR);
    replies.join();
    ::close(upstream);
    ::close(client);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || !kFaults.contains(argv[3])) {
        std::fprintf(stderr, "usage: faulty_server UPSTREAM_SESSION SESSION_FILE FAULT\nfaults:");
        for (const auto& name : kFaults) std::fprintf(stderr, " %s", name.c_str());
        std::fprintf(stderr, "\n");
        return 2;
    }
    fault = argv[3];
    const auto text = foundation::readWholeFile(foundation::URL::fileURLWithPath(argv[1]));
    const auto parsed = text ? foundation::json::parse(text.value()) : foundation::Result<boost::json::value>(text.error());
    if (!parsed || !parsed.value().is_object()) {
        std::fprintf(stderr, "faulty_server: cannot read the session file %s\n", argv[1]);
        return 2;
    }
    object session = parsed.value().get_object();
    upstreamPath = std::string(session.at("socket_path").as_string());
    upstreamToken = std::string(session.at("auth_token").as_string());

    const std::string sessionFile = argv[2];
    const std::string socketPath = sessionFile + ".sock";
    ::unlink(socketPath.c_str());
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto address = unixAddress(socketPath);
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 || ::listen(listener, 64) != 0) {
        std::perror("faulty_server: listening");
        return 1;
    }
    session["socket_path"] = socketPath;
    {
        std::ofstream out(sessionFile + ".new");
        out << foundation::json::serialize(session);
    }
    ::chmod((sessionFile + ".new").c_str(), 0600);
    std::rename((sessionFile + ".new").c_str(), sessionFile.c_str());
    for (;;) {
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) std::thread(serve, client).detach();
    }
}
