#include "module/rpc/BrindleRPCClient.h"
#include "module/rpc/BrindleRPCClientStateLock.h"

#include "platform/log/log.h"
#include "protocol/wire.h"

namespace brindle {

namespace key = wire::key;
namespace method = wire::method;
using boost::json::object;

namespace {

// Long enough that a reply handing a node out again, crossing its release, has reached the
// kernel; short enough that a tree walked once does not pin the server's table for long.
constexpr std::chrono::milliseconds kForgetDelay{1000};
constexpr size_t kForgetBatch = 1024;

}  // namespace

void BrindleRPCClient::setNodeHeld(NodeHeld held) {
    StateLock lock(*this);
    nodeHeld = held;
    if (const auto releases = nodeReleases.load()) releases->setHeld(std::move(held));
}

void BrindleRPCClient::startNodeReleasesLocked() {
    std::weak_ptr<BrindleRPCClient> weakSelf = weak_from_this();
    auto releases = std::make_shared<NodeReleases>(
        [weakSelf](std::vector<uint64_t> nodes, std::vector<uint64_t> counts) {
            const auto self = weakSelf.lock();
            if (!self) return;
            const size_t count = nodes.size();
            self->forgetNodes(std::move(nodes), std::move(counts),
                              [count](bool forgotten, std::optional<foundation::Error> error) {
                                  // The server keeps the nodes: it costs memory there, nothing here.
                                  if (!forgotten) {
                                      logging::debug("orvel: rpc forget_nodes of {} nodes failed: {}", count,
                                                     error ? error->description() : "");
                                  }
                              });
        },
        kForgetDelay, kForgetBatch);
    releases->setHeld(nodeHeld);
    nodeReleases.store(std::move(releases));
}

void BrindleRPCClient::forgetNodes(std::vector<uint64_t> nodeIDs, std::vector<uint64_t> counts, SuccessReply reply) {
    object request{{key::method, method::forgetNodes},
                   {key::nodeIDs, boost::json::array(nodeIDs.begin(), nodeIDs.end())},
                   {key::counts, boost::json::array(counts.begin(), counts.end())}};
    performBooleanRequest(std::move(request), std::string(method::forgetNodes) + " failed", std::move(reply));
}

void BrindleRPCClient::countHandout(const BrindleItem& item) {
    const auto releases = nodeReleases.load();
    if (!releases) return;
    uint64_t nodeID = 0;
    {
        std::lock_guard fields(item.fieldsMutex);
        nodeID = item.nodeID;
    }
    if (nodeID != 0) releases->handedOut(nodeID);
}

void BrindleRPCClient::releaseNode(uint64_t nodeID) {
    if (const auto releases = nodeReleases.load()) releases->released(nodeID);
}

}  // namespace brindle
