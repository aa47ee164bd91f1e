#include "tests/module/volume/volume_harness.h"

#include <poll.h>

#include <stdexcept>

namespace volumetest {

ScriptedVolume::ScriptedVolume(const VolumeOptions& options) {
    brindle::SessionFields fields;
    fields.sessionID = "session-1";
    fields.socketPath = server.socketPath();
    fields.authToken = "secret";
    fields.readonly = options.readonly;
    fields.namedattr = options.namedattr;
    fields.volumeName = options.volumeName;
    session = std::make_shared<brindle::BrindleSessionDescriptor>(
        foundation::URL::fileURLWithPath(server.socketPath() + ".session"), fields);
    client = brindle::BrindleRPCClient::initWithSession(session);
    auto ready = std::make_shared<rpctest::Await<bool>>();
    client->connectAndHandshakeWithReply([ready](bool ok, std::optional<foundation::Error>) { ready->set(ok); });
    peer = server.accept();
    if (!peer) throw std::runtime_error("the client did not connect");
    peer->acceptHandshake(fields.sessionID, options.extensions);
    if (ready->get() != std::optional<bool>(true)) throw std::runtime_error("the handshake did not complete");
    volume = brindle::BrindleVolume::initWithSession(session, client, options.readonly);
}

ScriptedVolume::~ScriptedVolume() { client->disconnect(); }

rpctest::Frame ScriptedVolume::expect(const std::string& method) {
    auto frame = peer->read();
    if (!frame) throw std::runtime_error("no frame arrived; expected " + method);
    const auto* sent = frame->json.if_contains("method");
    if (!sent || !sent->is_string() || sent->as_string() != method)
        throw std::runtime_error("expected " + method + ", got " + boost::json::serialize(frame->json));
    return *frame;
}

rpctest::Frame ScriptedVolume::serve(const std::string& method, boost::json::object reply, const std::string& payload) {
    auto frame = expect(method);
    peer->replyTo(frame, std::move(reply), payload);
    return frame;
}

bool ScriptedVolume::quiet() {
    pollfd poller{peer->fd(), POLLIN, 0};
    return ::poll(&poller, 1, 100) == 0;
}

bool RecordingPacker::packEntry(const fskit::FSFileName& name, int64_t itemType, uint64_t itemID, uint64_t nextCookie,
                                const std::optional<fskit::FSItemAttributes>& attributes) {
    if (offered++ >= refuseAt_) return false;
    entries.push_back({name.string().value_or(""), itemType, itemID, nextCookie, attributes});
    return true;
}

boost::json::object itemRecord(uint64_t nodeID, uint64_t parentID, const std::string& name, const std::string& type,
                               uint64_t mode, uint64_t size) {
    return {{"node_id", nodeID}, {"parent_id", parentID}, {"name", name},   {"type", type},
            {"mode", mode},      {"link_count", 1},            {"uid", 501},     {"gid", 20},
            {"size", size},      {"alloc_size", size},    {"access_time_sec", 1700000000},
            {"access_time_nsec", 1}, {"modify_time_sec", 1700000001}, {"modify_time_nsec", 2},
            {"change_time_sec", 1700000002}, {"change_time_nsec", 3}, {"birth_time_sec", 1699999999},
            {"birth_time_nsec", 4}};
}

}  // namespace volumetest
