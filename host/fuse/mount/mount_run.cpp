#include "host/fuse/mount/mount_run.h"

#include "host/fuse/changes/change_watch.h"
#include "host/fuse/kernel/fuse_notices.h"
#include "host/fuse/kernel/operations.h"
#include "host/fuse/mount/fuse_messages.h"
#include "host/fuse/mount/read_ahead.h"
#include "host/fuse/mount/setup_interruption.h"
#include "host/fuse/options/mount_options.h"
#include "host/fuse/reconnect/awaited.h"
#include "host/fuse/reconnect/reconnection.h"
#include "host/fuse/reconnect/session_reload.h"
#include "host/fuse/translation/error_text.h"
#include "module/BrindleModuleBootstrap.h"
#include "module/BrindleSessionDescriptor.h"
#include "platform/foundation/errno_table.h"
#include "platform/log/log.h"
#include "protocol/extensions.h"

#include <cstring>
#include <filesystem>
#include <ostream>

namespace brindle::host {

using foundation::Error;

namespace {

using namespace std::chrono_literals;

// A signal during the setup cancels the mount; its waits end at once.
bool setupInterrupted() { return SetupInterruption::caughtSignal() != 0; }

struct Loaded {
    std::shared_ptr<BrindleVolume> volume;
    std::optional<Error> error;
};

// The server's endpoint as the session file names it, for error lines.
std::optional<std::string> endpointOf(const foundation::URL& sessionURL, SessionFileTrust trust) {
    auto fields = BrindleSessionDescriptor::parsedFieldsAtURL(sessionURL, trust);
    if (!fields) return std::nullopt;
    return fields.value().socketPath;
}

std::string serverNamed(const foundation::URL& sessionURL, SessionFileTrust trust) {
    const auto endpoint = endpointOf(sessionURL, trust);
    return endpoint ? "the server at " + *endpoint : "the server";
}

std::string seconds(std::chrono::milliseconds duration) {
    return fmt::format("{:g} seconds", std::chrono::duration<double>(duration).count());
}

// Well under the reply deadline, so that a server that holds it to the end is never taken for a hung one.
std::chrono::milliseconds changeWait(std::chrono::milliseconds requestTimeout) {
    constexpr std::chrono::milliseconds longest = 10s;
    return requestTimeout.count() == 0 ? longest : std::min(longest, requestTimeout / 2);
}

class MountRun {
public:
    MountRun(const CommandLine& line, std::ostream& err)
        : line_(line), options_(line.mount), sessionPath_(line.sessionPath), mountPoint_(line.mountPoint), err_(err),
          fileSystem_(BrindleModuleBootstrap{}.fileSystem()),
          sessionURL_(foundation::URL::fileURLWithPath(sessionPath_)),
          resource_(std::make_shared<fskit::FSPathURLResource>(sessionURL_)) {
        fileSystem_->setSessionFileTrust(line.sessionFileTrust);
    }

    // `blockedSince` is the signal mask to return to once the setup's own handlers are in place.
    int run(ReadinessReport& report, const sigset_t* blockedSince) {
        interruption_.emplace();
        if (blockedSince != nullptr) ::sigprocmask(SIG_SETMASK, blockedSince, nullptr);
        if (!probe() || !load()) return 1;
        if (!activate()) {
            takeDown();
            return 1;
        }
        const int status = serve(report);
        takeDown();
        return status;
    }

private:
    bool failed(std::string_view step, const std::string& detail) {
        err_ << "brindle: " << step << " failed: " << detail << "\n";
        err_.flush();
        return false;
    }

    bool cancelled() {
        const int signal = SetupInterruption::caughtSignal();
        err_ << "brindle: mount on " << mountPoint_ << " cancelled by "
             << (signal != 0 ? signalName(signal) : std::string("a signal")) << "\n";
        err_.flush();
        return false;
    }

    // A wait that ended without an answer: a signal cancelled the mount, or the server is silent.
    bool unanswered(std::string_view step) {
        if (SetupInterruption::caughtSignal() != 0) return cancelled();
        return failed(step,
                      "no answer from " + serverNamed(sessionURL_, line_.sessionFileTrust) + " within " + seconds(options_.requestTimeout));
    }

    bool probe() {
        std::optional<Error> failure;
        bool answered = false;
        fileSystem_->probeResource(resource_, [&](std::optional<fskit::FSProbeResult>, std::optional<Error> error) {
            answered = true;
            failure = std::move(error);
        });
        if (!answered) return failed("probe", "session file " + sessionPath_ + ": no answer");
        return !failure || failed("probe", "session file " + sessionPath_ + ": " + errorText(*failure));
    }

    bool load() {
        Awaited<Loaded> loaded;
        auto complete = loaded.completion();
        fileSystem_->loadResource(resource_, fskit::FSTaskOptions{line_.mountOptions},
                                  [complete](std::shared_ptr<BrindleVolume> volume, std::optional<Error> error) {
                                      complete(Loaded{std::move(volume), std::move(error)});
                                  });
        const auto outcome = loaded.wait(options_.requestTimeout, setupInterrupted);
        if (!outcome) {
            unload();
            return unanswered("load");
        }
        if (!outcome->volume) {
            unload();
            const Error error = outcome->error.value_or(Error::posix(foundation::darwin::eio));
            // The session file is read again, and may have changed since the probe.
            if (error.domain() != foundation::ErrorDomain::Posix || !endpointOf(sessionURL_, line_.sessionFileTrust))
                return failed("load", "session file " + sessionPath_ + ": " + errorText(error));
            // Only a failed system call comes without a message: the server was never reached.
            const std::string object =
                error.message() ? serverNamed(sessionURL_, line_.sessionFileTrust) : "cannot connect to " + *endpointOf(sessionURL_, line_.sessionFileTrust);
            return failed("load", object + ": " + errorText(error));
        }
        volume_ = outcome->volume;
        return true;
    }

    bool activate() {
        Awaited<std::pair<std::shared_ptr<BrindleItem>, std::optional<Error>>> activated;
        auto complete = activated.completion();
        volume_->activateWithOptions(fskit::FSTaskOptions{},
                                     [complete](std::shared_ptr<BrindleItem> root, std::optional<Error> error) {
                                         complete({std::move(root), std::move(error)});
                                     });
        const auto outcome = activated.wait(options_.requestTimeout, setupInterrupted);
        if (!outcome) return unanswered("activate");
        if (!outcome->first) {
            return failed("activate", serverNamed(sessionURL_, line_.sessionFileTrust) + ": " +
                                          errorText(outcome->second.value_or(Error::posix(foundation::darwin::eio))));
        }
        rootNodeID_ = nodeIDOfItem(*outcome->first);
        volume_->mountWithOptions(fskit::FSTaskOptions{}, [](std::optional<Error>) {});
        return true;
    }

    int serve(ReadinessReport& report) {
        MountOptions options = options_;
        // The kernel then refuses writes itself, before they cost a request.
        if (volume_->isReadonlyVolume()) options.readOnly = true;
        auto context = std::make_shared<OperationContext>(volume_, rootNodeID_, options, options.requestTimeout);
        context->updateCacheTimeouts(*volume_->rpcClient());
        checkHeldNodes(context, *volume_->rpcClient());

        std::vector<std::string> arguments = fuseArguments(options, sessionPath_);
        // libfuse then logs every request the kernel sends, through the debug log.
        if (logging::debugEnabled()) arguments.emplace_back("-d");
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
        const fuse_lowlevel_ops& operations = lowLevelOperations();
        std::optional<FuseMessageCapture> fuseMessages(std::in_place);
        fuse_session* session = fuse_session_new(&args, &operations, sizeof(operations), &context);
        fuse_opt_free_args(&args);
        if (!session) {
            context->deadline->close();
            return failed("mount", "cannot set up a FUSE session: " + fuseMessages->text()), 1;
        }
        // libfuse installs its handlers only over default dispositions. From here a signal ends
        // the session loop; one that came during the setup stops the mount before it is made.
        interruption_.reset();
        // Resolved now: once mounted, the path leads into the mount, which answers only once the
        // session loop runs.
        std::error_code ignored;
        const std::string mountedPath = std::filesystem::weakly_canonical(mountPoint_, ignored).string();
        const bool handled = fuse_set_signal_handlers(session) == 0;
        const bool stopped = SetupInterruption::caughtSignal() != 0 || fuse_session_exited(session);
        if (!handled || stopped || fuse_session_mount(session, mountPoint_.c_str()) != 0) {
            const std::string reason = fuseMessages->text();
            fuse_remove_signal_handlers(session);
            fuse_session_destroy(session);
            context->deadline->close();
            if (stopped) return cancelled(), 1;
            return failed("mount", "cannot mount on " + mountPoint_ + (reason.empty() ? "" : ": " + reason)), 1;
        }
        fuseMessages.reset();
        auto notices = std::make_shared<FuseNotices>(session);
        context->notices = notices;
        // A call waiting for a reconnect gives up once the session ends: the loop joins its workers.
        context->volume.watchEnding([session] { return fuse_session_exited(session) != 0; });
        std::shared_ptr<Reconnection> reconnection;
        if (options.reconnect) {
            reconnection = Reconnection::create(
                context,
                [this](const std::function<bool()>& ending) {
                    return reloadSession(*fileSystem_, resource_, options_.requestTimeout, ending);
                },
                sessionPath_);
            reconnection->start();
        }
        std::optional<ChangeWatch> changeWatch(std::in_place, context, changeWait(options.requestTimeout));
        logging::info("orvel: mounted {} on {}", sessionPath_, mountPoint_);
        raiseReadAhead(mountedPath, maximumTransfer / 1024);
        report.ready();

        int result = 0;
        if (line_.singleThreaded) {
            result = fuse_session_loop(session);
        } else {
            fuse_loop_config* config = fuse_loop_cfg_create();
            fuse_loop_cfg_set_clone_fd(config, 0);
            fuse_loop_cfg_set_max_threads(config, 16);
            result = fuse_session_loop_mt(session, config);
            fuse_loop_cfg_destroy(config);
        }
        fuse_remove_signal_handlers(session);
        // Locks still waiting are the kernel's to end with the session.
        context->lockWaits.stop();
        changeWatch.reset();
        if (reconnection) reconnection->stop();
        context->volume.end();
        // What a reconnect loaded last is what is taken down.
        volume_ = context->volume.latest()->volume;
        // Closed before the unmount closes /dev/fuse: a late completion would otherwise write its
        // answer to a closed descriptor, or to whatever the number was reused for.
        context->deadline->close();
        // Late completions may still ask for notices; once stopped, none reaches the session.
        notices->stop();
        fuse_session_unmount(session);
        fuse_session_destroy(session);
        if (result < 0) {
            logging::error("orvel: unmounted {} (the FUSE device failed: {})", mountPoint_, std::strerror(-result));
            return 1;
        }
        logging::info("orvel: unmounted {} ({})", mountPoint_,
                      result > 0 ? signalName(result) + " received" : std::string("umount or fusermount3 -u"));
        return 0;
    }

    void takeDown() {
        Awaited<bool> unmounted;
        auto completeUnmount = unmounted.completion();
        volume_->unmountWithReplyHandler([completeUnmount] { completeUnmount(true); });
        unmounted.wait(takeDownBound, setupInterrupted);
        Awaited<bool> deactivated;
        auto completeDeactivate = deactivated.completion();
        volume_->deactivateWithOptions(0, [completeDeactivate](std::optional<Error>) { completeDeactivate(true); });
        deactivated.wait(takeDownBound, setupInterrupted);
        unload();
    }

    void unload() {
        fileSystem_->unloadResource(resource_, fskit::FSTaskOptions{}, [](std::optional<Error>) {});
    }

    // Taking down asks nothing of the server, so it never waits long.
    static constexpr std::chrono::milliseconds takeDownBound = 10s;

    const CommandLine& line_;
    const MountOptions options_;
    const std::string sessionPath_;
    const std::string mountPoint_;
    std::ostream& err_;
    std::shared_ptr<BrindleFileSystem> fileSystem_;
    const foundation::URL sessionURL_;
    std::shared_ptr<fskit::FSPathURLResource> resource_;
    std::shared_ptr<BrindleVolume> volume_;
    uint64_t rootNodeID_ = 1;
    std::optional<SetupInterruption> interruption_;
};

}  // namespace

int runMountedSession(const CommandLine& line, std::ostream& err, ReadinessReport& report,
                      const sigset_t* blockedSince) {
    MountRun run(line, err);
    return run.run(report, blockedSince);
}

}  // namespace brindle::host
