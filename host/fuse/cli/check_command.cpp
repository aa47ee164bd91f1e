#include "host/fuse/cli/check_command.h"

#include "host/fuse/translation/error_text.h"
#include "module/BrindleModuleBootstrap.h"
#include "module/BrindleSessionDescriptor.h"
#include "module/rpc/BrindleRPCClient.h"
#include "platform/foundation/errno_table.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <atomic>
#include <future>
#include <ostream>

namespace brindle::host {

using foundation::Error;

namespace {

const char* typeName(ItemType type) {
    switch (type) {
        case ItemType::File: return "file";
        case ItemType::Directory: return "directory";
        case ItemType::SymbolicLink: return "symlink";
        case ItemType::FIFO: return "fifo";
        case ItemType::CharacterDevice: return "char_device";
        case ItemType::BlockDevice: return "block_device";
        case ItemType::Socket: return "socket";
        case ItemType::None: break;
    }
    return "unknown";
}

// Runs one step: `start` is handed a completion that it must call once with the step's error or none,
// and returns the detail line for success. The promise is shared so that a completion arriving after
// the step was given up still has somewhere to go.
class StepRunner {
public:
    StepRunner(std::ostream& out, std::ostream& err, std::chrono::milliseconds limit)
        : out_(out), err_(err), limit_(limit) {}

    using Finish = std::function<void(std::optional<Error> error, std::string detail)>;

    // `object` names what the step talks to, for the error line.
    bool run(const std::string& name, const std::string& object, const std::function<void(Finish)>& start) {
        auto outcome = std::make_shared<std::promise<std::pair<std::optional<Error>, std::string>>>();
        auto future = outcome->get_future();
        const auto began = std::chrono::steady_clock::now();
        start([outcome](std::optional<Error> error, std::string detail) {
            outcome->set_value({std::move(error), std::move(detail)});
        });
        if (future.wait_for(limit_) != std::future_status::ready) {
            err_ << fmt::format("brindle: check failed at {}: {}: no answer within {} ms, giving up\n", name, object,
                                limit_.count());
            return false;
        }
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - began);
        auto [error, detail] = future.get();
        if (error) {
            err_ << fmt::format("brindle: check failed at {}: {}: {}\n", name, object, errorText(*error));
            return false;
        }
        out_ << fmt::format("{}: ok ({} us){}{}\n", name, elapsed.count(), detail.empty() ? "" : " ", detail);
        return true;
    }

private:
    std::ostream& out_;
    std::ostream& err_;
    std::chrono::milliseconds limit_;
};

}  // namespace

int runCheck(const std::string& sessionPath, SessionFileTrust trust, std::ostream& out, std::ostream& err,
             std::chrono::milliseconds stepLimit) {
    StepRunner steps(out, err, stepLimit);
    const auto url = foundation::URL::fileURLWithPath(sessionPath);

    auto fileSystem = BrindleModuleBootstrap{}.fileSystem();
    fileSystem->setSessionFileTrust(trust);
    auto resource = std::make_shared<fskit::FSPathURLResource>(url);
    const std::string sessionFile = "session file " + sessionPath;
    const bool probed = steps.run("probe", sessionFile, [&](StepRunner::Finish finish) {
        fileSystem->probeResource(resource, [finish](std::optional<fskit::FSProbeResult> result,
                                                     std::optional<Error> error) {
            if (!error && (!result || !result->containerID())) error = Error::posix(foundation::darwin::einval);
            finish(std::move(error), result ? result->name() : std::string());
        });
    });
    if (!probed) return 1;

    auto session = BrindleSessionDescriptor::initWithURL(url, trust);
    if (!session) {
        err << "brindle: check failed at probe: " << sessionFile << ": " << errorText(session.error()) << "\n";
        return 1;
    }
    auto client = BrindleRPCClient::initWithSession(session.value());
    const std::string server = "the server at " + session.value()->socketPath();

    // Set when the server could not be reached at all: a failed system call carries no message.
    auto unreachable = std::make_shared<std::atomic<bool>>(false);
    const bool handshaken = steps.run("handshake", server, [&](StepRunner::Finish finish) {
        client->connectAndHandshakeWithReply([finish, unreachable, weakClient = std::weak_ptr(client)](
                                                 bool, std::optional<Error> error) {
            if (error && error->domain() == foundation::ErrorDomain::Posix && !error->message()) *unreachable = true;
            const auto connected = weakClient.lock();
            const auto extensions = connected ? connected->serverExtensions() : std::set<std::string>{};
            const auto identity = connected ? connected->serverIdentity() : std::nullopt;
            finish(std::move(error),
                   "extensions=" + (extensions.empty() ? std::string("none") : fmt::format("{}", fmt::join(extensions, ","))) +
                       (identity ? " server=" + identity->description() : std::string()));
        });
    });
    if (!handshaken && *unreachable) {
        err << "brindle: no server listens there. Once it runs again (a restarted brindle-server writes a new "
               "session file), a mount of this session made with -o reconnect goes on by itself; other mounts "
               "fail with EIO or ECONNRESET until they are unmounted and mounted again.\n";
    }
    const bool ok =
        handshaken &&
        steps.run("ping", server,
                  [&](StepRunner::Finish finish) {
                      client->pingWithReply([finish](bool, std::optional<Error> error) { finish(std::move(error), {}); });
                  }) &&
        steps.run("get_root_attributes", server,
                  [&](StepRunner::Finish finish) {
                      client->fetchRootItemWithReply([finish](std::shared_ptr<BrindleItem> item,
                                                              std::optional<Error> error) {
                          if (!item) {
                              finish(std::move(error), {});
                              return;
                          }
                          finish(std::nullopt,
                                 fmt::format("node={} type={} mode={:04o} links={} uid={} gid={} size={} mtime={}.{:09}",
                                             item->nodeID, typeName(item->itemType), item->mode, item->linkCount,
                                             item->uid, item->gid, item->size,
                                             static_cast<long long>(item->modifyTime.tv_sec),
                                             static_cast<long long>(item->modifyTime.tv_nsec)));
                      });
                  }) &&
        steps.run("statfs", server, [&](StepRunner::Finish finish) {
            client->fetchVolumeStatisticsWithReply([finish](std::optional<boost::json::object> statistics,
                                                            std::optional<Error> error) {
                std::string detail;
                for (const auto& [key, value] : statistics.value_or(boost::json::object{})) {
                    detail += fmt::format("{}{}={}", detail.empty() ? "" : " ", std::string_view(key),
                                          boost::json::serialize(value));
                }
                finish(std::move(error), std::move(detail));
            });
        });
    return ok ? 0 : 1;
}

}  // namespace brindle::host
