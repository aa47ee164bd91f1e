#include "host/fuse/mount_command.h"

#include "host/fuse/mount_options.h"
#include "host/fuse/operations.h"
#include "host/fuse/read_ahead.h"
#include "module/BrindleModuleBootstrap.h"
#include "platform/foundation/errno_table.h"
#include "platform/log/log.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <future>
#include <ostream>

namespace brindle::host {

using foundation::Error;

namespace {

// How long the load and the activation may wait for the server.
constexpr std::chrono::seconds setupBound{30};

// The write end of the pipe through which a child tells the waiting parent that the mount is
// ready; -1 in the foreground.
class ReadinessReport {
public:
    explicit ReadinessReport(int fd) : fd_(fd) {}
    ~ReadinessReport() {
        if (fd_ >= 0) ::close(fd_);
    }
    ReadinessReport(const ReadinessReport&) = delete;
    ReadinessReport& operator=(const ReadinessReport&) = delete;

    void ready() {
        if (fd_ < 0) return;
        const char ok = '0';
        (void)!::write(fd_, &ok, 1);
        ::close(fd_);
        fd_ = -1;
        (void)!::chdir("/");
        // The parent has returned to the shell; nothing is to be written to its terminal now.
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) {
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
            ::close(null);
        }
    }

private:
    int fd_;
};

// Waits for a completion that the module calls once from its callback queue. The promise is
// shared so that a completion arriving after the wait gave up still has somewhere to go.
template <typename T>
class Awaited {
public:
    Awaited() : promise_(std::make_shared<std::promise<T>>()), future_(promise_->get_future()) {}
    std::function<void(T)> completion() {
        return [promise = promise_](T value) { promise->set_value(std::move(value)); };
    }
    std::optional<T> wait(std::chrono::seconds bound) {
        if (future_.wait_for(bound) != std::future_status::ready) return std::nullopt;
        return future_.get();
    }

private:
    std::shared_ptr<std::promise<T>> promise_;
    std::future<T> future_;
};

struct Loaded {
    std::shared_ptr<BrindleVolume> volume;
    std::optional<Error> error;
};

class MountRun {
public:
    MountRun(const CommandLine& line, MountOptions options, std::ostream& err)
        : line_(line), options_(std::move(options)), err_(err), fileSystem_(BrindleModuleBootstrap{}.fileSystem()),
          resource_(std::make_shared<fskit::FSPathURLResource>(foundation::URL::fileURLWithPath(line.sessionPath))) {}

    int run(ReadinessReport& report) {
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
    bool failed(std::string_view step, const std::optional<Error>& error) {
        err_ << "brindle: " << step << " failed: "
             << (error ? error->description() : std::string("no answer within 30 seconds")) << "\n";
        err_.flush();
        return false;
    }

    bool probe() {
        std::optional<Error> failure;
        bool answered = false;
        fileSystem_->probeResource(resource_, [&](std::optional<fskit::FSProbeResult>, std::optional<Error> error) {
            answered = true;
            failure = std::move(error);
        });
        if (!answered) return failed("probe", std::nullopt);
        return !failure || failed("probe", failure);
    }

    bool load() {
        Awaited<Loaded> loaded;
        auto complete = loaded.completion();
        fileSystem_->loadResource(resource_, fskit::FSTaskOptions{line_.mountOptions},
                                  [complete](std::shared_ptr<BrindleVolume> volume, std::optional<Error> error) {
                                      complete(Loaded{std::move(volume), std::move(error)});
                                  });
        const auto outcome = loaded.wait(setupBound);
        if (!outcome) {
            unload();
            return failed("load", std::nullopt);
        }
        if (!outcome->volume) {
            unload();
            return failed("load", outcome->error ? outcome->error : Error::posix(foundation::darwin::eio));
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
        const auto outcome = activated.wait(setupBound);
        if (!outcome) return failed("activate", std::nullopt);
        if (!outcome->first) return failed("activate", outcome->second ? outcome->second
                                                                        : Error::posix(foundation::darwin::eio));
        rootNodeID_ = nodeIDOfItem(*outcome->first);
        volume_->mountWithOptions(fskit::FSTaskOptions{}, [](std::optional<Error>) {});
        return true;
    }

    int serve(ReadinessReport& report) {
        MountOptions options = options_;
        // The kernel then refuses writes itself, before they cost a request.
        if (volume_->isReadonlyVolume()) options.readOnly = true;
        auto context = std::make_shared<OperationContext>(volume_, rootNodeID_, options, replyBound);

        std::vector<std::string> arguments = fuseArguments(options, line_.sessionPath);
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
        const fuse_lowlevel_ops& operations = lowLevelOperations();
        fuse_session* session = fuse_session_new(&args, &operations, sizeof(operations), &context);
        fuse_opt_free_args(&args);
        if (!session) {
            context->deadline->close();
            return failed("mount", Error::posix(foundation::darwin::einval, "the FUSE session could not be set up")),
                   1;
        }
        // Shells start background jobs with SIGINT ignored, and libfuse leaves an ignored signal
        // alone; SIGINT is to unmount all the same.
        std::signal(SIGINT, SIG_DFL);
        // Resolved now: once mounted, the path leads into the mount, which answers only once the
        // session loop runs.
        std::error_code ignored;
        const std::string mountedPath = std::filesystem::weakly_canonical(line_.mountPoint, ignored).string();
        if (fuse_set_signal_handlers(session) != 0 || fuse_session_mount(session, line_.mountPoint.c_str()) != 0) {
            fuse_remove_signal_handlers(session);
            fuse_session_destroy(session);
            context->deadline->close();
            return failed("mount", Error::posix(foundation::darwin::eio, "cannot mount on " + line_.mountPoint)), 1;
        }
        logging::info("orvel: mounted {} on {}", line_.sessionPath, line_.mountPoint);
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
        fuse_session_unmount(session);
        // No answer may be given once the session is gone; late completions find theirs taken.
        context->deadline->close();
        fuse_session_destroy(session);
        logging::info("orvel: unmounted {}", line_.mountPoint);
        return result < 0 ? 1 : 0;
    }

    void takeDown() {
        Awaited<bool> unmounted;
        auto completeUnmount = unmounted.completion();
        volume_->unmountWithReplyHandler([completeUnmount] { completeUnmount(true); });
        unmounted.wait(setupBound);
        Awaited<bool> deactivated;
        auto completeDeactivate = deactivated.completion();
        volume_->deactivateWithOptions(0, [completeDeactivate](std::optional<Error>) { completeDeactivate(true); });
        deactivated.wait(setupBound);
        unload();
    }

    void unload() {
        fileSystem_->unloadResource(resource_, fskit::FSTaskOptions{}, [](std::optional<Error>) {});
    }

    const CommandLine& line_;
    const MountOptions options_;
    std::ostream& err_;
    std::shared_ptr<BrindleFileSystem> fileSystem_;
    std::shared_ptr<fskit::FSResource> resource_;
    std::shared_ptr<BrindleVolume> volume_;
    uint64_t rootNodeID_ = 1;
};

// In the parent: waits for the child's word that the mount is ready.
int awaitChild(pid_t child, int readEnd) {
    char status = 0;
    ssize_t got = 0;
    do {
        got = ::read(readEnd, &status, 1);
    } while (got < 0 && errno == EINTR);
    ::close(readEnd);
    if (got == 1 && status == '0') return 0;
    int childStatus = 0;
    while (::waitpid(child, &childStatus, 0) < 0 && errno == EINTR) {
    }
    return 1;
}

}  // namespace

int runMount(const CommandLine& line, std::ostream& err) {
    const auto parsed = parseMountOptions(line.mountOptions);
    if (!parsed.options) {
        err << "brindle: " << parsed.error << "\n";
        return 1;
    }
    // A server that goes away must show up as a failed call, not as a signal.
    std::signal(SIGPIPE, SIG_IGN);

    int reportFD = -1;
    if (!line.foreground) {
        // Forked before any thread exists: the module's queues start their threads on first use.
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            err << "brindle: mount failed: cannot create a pipe\n";
            return 1;
        }
        const pid_t child = ::fork();
        if (child < 0) {
            err << "brindle: mount failed: cannot fork\n";
            return 1;
        }
        if (child > 0) {
            ::close(fds[1]);
            return awaitChild(child, fds[0]);
        }
        ::close(fds[0]);
        ::setsid();
        reportFD = fds[1];
    }
    ReadinessReport report(reportFD);
    MountRun run(line, *parsed.options, err);
    return run.run(report);
}

}  // namespace brindle::host
