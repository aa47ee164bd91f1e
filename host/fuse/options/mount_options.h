#pragma once

#include "host/fuse/options/attribute_presentation.h"
#include "host/fuse/options/page_cache_policy.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace brindle::host {

// What `-o` asks of a mount, after checking every option. Of two options that contradict each
// other (ro and rw, exec and noexec, ...) the later one wins, as with mount(8).
struct MountOptions {
    bool allowOther = false;
    bool allowRoot = false;
    bool defaultPermissions = true;
    bool readOnly = false;
    bool noExec = false;
    bool noSuid = true;  // as libfuse and fusermount3 mount unless told otherwise
    bool noDev = true;
    bool synchronous = false;
    bool dirSync = false;
    bool noAccessTimes = false;
    bool autoUnmount = false;
    bool writebackCache = false;
    // Keep the mount across a restart of the server, loading the session again.
    bool reconnect = false;
    // Read the session file even when it is not private to the caller.
    bool skipSessionFileCheck = false;
    PageCachePolicy pageCache = PageCachePolicy::CloseToOpen;
    AttributePresentation presentation;
    std::optional<unsigned> maxRead;  // bytes; none: the kernel's choice
    std::string fsname;               // empty: the session file's path
    std::string subtype;              // empty: "brindle"
    double attrTimeout = 1.0;
    double entryTimeout = 1.0;
    // How long the kernel may remember that a name is missing; none: as long as entryTimeout.
    std::optional<double> negativeTimeout;
    // Whether attrTimeout and entryTimeout were given, rather than left at their defaults.
    bool attrTimeoutGiven = false;
    bool entryTimeoutGiven = false;
    // How long a request may wait for the server; zero waits for ever.
    std::chrono::milliseconds requestTimeout = std::chrono::seconds(30);
};

// How long caches last by default where the server tells of every change, its export's own too
// (export_watched): notices then keep them fresh, and the timeout only bounds how long a notice
// that never came leaves a stale view, as NFS's longest attribute cache does (60 s).
inline constexpr double kWatchedExportTimeout = 60.0;
// The options with the timeouts left at their defaults made kWatchedExportTimeout.
MountOptions withWatchedExportDefaults(MountOptions options);

// The seconds a lookup that found nothing is cached: negative_timeout, else the entry timeout.
double negativeEntryTimeout(const MountOptions& options);

struct MountOptionsOutcome {
    std::optional<MountOptions> options;
    std::string error;  // set when options is empty
};

// Options that mount(8) and fstab hand every helper without meaning for this one (auto, user,
// _netdev, x-systemd.*, ...) are accepted and ignored; any other unknown option is refused.
MountOptionsOutcome parseMountOptions(const std::vector<std::string>& options);

// One line per option for --help.
std::string mountOptionsHelp();

// The arguments handed to libfuse's `fuse_session_new`, which mounts with them.
std::vector<std::string> fuseArguments(const MountOptions& options, const std::string& sessionPath);

}  // namespace brindle::host
