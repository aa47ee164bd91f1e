#pragma once

#include "module/volume/BrindleVolume.h"
#include "tests/module/rpc/scripted_server.h"

#include <boost/json.hpp>

#include <memory>
#include <cstdint>
#include <string>
#include <vector>

namespace volumetest {

struct VolumeOptions {
    bool readonly = false;
    bool namedattr = false;
    std::string volumeName = "test";
    // What the scripted server advertises in its handshake.
    boost::json::array extensions{};
};

// A volume whose client has completed its handshake with a scripted server; the test answers
// every later frame itself through `peer`.
class ScriptedVolume {
public:
    explicit ScriptedVolume(const VolumeOptions& options = {});
    // Fails whatever the test left unanswered: a pending request's completion holds the volume,
    // which holds the client, so until the client lets go of its pending requests none of them
    // is ever freed.
    ~ScriptedVolume();

    // The next frame, which must carry `method`; throws when none or another arrives.
    rpctest::Frame expect(const std::string& method);
    // Reads the next frame, checks its method and answers it.
    rpctest::Frame serve(const std::string& method, boost::json::object reply, const std::string& payload = {});
    // True when no frame arrives within a short wait.
    bool quiet();

    rpctest::ScriptedServer server;
    std::shared_ptr<const brindle::BrindleSessionDescriptor> session;
    std::shared_ptr<brindle::BrindleRPCClient> client;
    std::unique_ptr<rpctest::Peer> peer;
    std::shared_ptr<brindle::BrindleVolume> volume;
};

// Records every entry it is handed; refuses the entry at `refuseAt` (0-based) and all after it.
class RecordingPacker : public fskit::FSDirectoryEntryPacker {
public:
    struct Entry {
        std::string name;
        int64_t itemType;
        uint64_t itemID;
        uint64_t nextCookie;
        std::optional<fskit::FSItemAttributes> attributes;
    };

    explicit RecordingPacker(size_t refuseAt = SIZE_MAX) : refuseAt_(refuseAt) {}
    bool packEntry(const fskit::FSFileName& name, int64_t itemType, uint64_t itemID, uint64_t nextCookie,
                   const std::optional<fskit::FSItemAttributes>& attributes) override;

    std::vector<Entry> entries;
    size_t offered = 0;

private:
    size_t refuseAt_;
};

// A server item record with the full attribute set.
boost::json::object itemRecord(uint64_t nodeID, uint64_t parentID, const std::string& name, const std::string& type,
                               uint64_t mode = 0644, uint64_t size = 0);

}  // namespace volumetest
