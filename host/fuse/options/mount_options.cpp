#include "host/fuse/options/mount_options.h"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

namespace brindle::host {

namespace {

struct Switch {
    std::string_view name;
    bool MountOptions::*field;
    bool value;
};

constexpr std::array switches = {
    Switch{"ro", &MountOptions::readOnly, true},
    Switch{"rw", &MountOptions::readOnly, false},
    Switch{"noexec", &MountOptions::noExec, true},
    Switch{"exec", &MountOptions::noExec, false},
    Switch{"nosuid", &MountOptions::noSuid, true},
    Switch{"suid", &MountOptions::noSuid, false},
    Switch{"nodev", &MountOptions::noDev, true},
    Switch{"dev", &MountOptions::noDev, false},
    Switch{"sync", &MountOptions::synchronous, true},
    Switch{"async", &MountOptions::synchronous, false},
    Switch{"dirsync", &MountOptions::dirSync, true},
    Switch{"noatime", &MountOptions::noAccessTimes, true},
    Switch{"relatime", &MountOptions::noAccessTimes, false},
    Switch{"atime", &MountOptions::noAccessTimes, false},
    Switch{"allow_other", &MountOptions::allowOther, true},
    Switch{"allow_root", &MountOptions::allowRoot, true},
    Switch{"default_permissions", &MountOptions::defaultPermissions, true},
    Switch{"nodefault_permissions", &MountOptions::defaultPermissions, false},
    Switch{"auto_unmount", &MountOptions::autoUnmount, true},
    Switch{"writeback_cache", &MountOptions::writebackCache, true},
    Switch{"reconnect", &MountOptions::reconnect, true},
    Switch{"skip_session_file_check", &MountOptions::skipSessionFileCheck, true},
};

// What mount(8) and fstab hand every helper: they concern mount(8) itself, or other programs.
constexpr std::array ignoredOptions = {"auto", "noauto", "user", "nouser", "users", "_netdev", "nofail", "defaults"};

constexpr double longestTimeout = 86400.0;
constexpr unsigned smallestMaxRead = 4096;
constexpr unsigned largestMaxRead = 1u << 20;

std::optional<double> parseSeconds(std::string_view text) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) || value < 0 ||
        value > longestTimeout)
        return std::nullopt;
    return value;
}

std::optional<unsigned> parseNumber(std::string_view text, int base, unsigned largest) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value > largest) return std::nullopt;
    return value;
}

// libfuse splits -o at commas unless they are escaped; a session path may hold either.
std::string escapedOptionValue(const std::string& value) {
    std::string escaped;
    for (const char c : value) {
        if (c == ',' || c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

// Sets the valued option `key`; an empty result means it was understood and valid.
std::optional<std::string> applyValued(MountOptions& result, std::string_view key, std::string_view value,
                                       const std::string& option) {
    // (uid_t)-1 means "leave unchanged" to chown, so it is no owner to show.
    constexpr unsigned largestID = std::numeric_limits<uint32_t>::max() - 1;
    if (key == "fsname" || key == "subtype") {
        if (value.empty()) return "mount option '" + option + "' needs a value";
        (key == "fsname" ? result.fsname : result.subtype) = std::string(value);
    } else if (key == "attr_timeout" || key == "entry_timeout") {
        const auto seconds = parseSeconds(value);
        if (!seconds) return "mount option '" + option + "' needs a number of seconds from 0 to 86400";
        (key == "attr_timeout" ? result.attrTimeout : result.entryTimeout) = *seconds;
        (key == "attr_timeout" ? result.attrTimeoutGiven : result.entryTimeoutGiven) = true;
    } else if (key == "negative_timeout") {
        const auto seconds = parseSeconds(value);
        if (!seconds) return "mount option '" + option + "' needs a number of seconds from 0 to 86400";
        result.negativeTimeout = *seconds;
    } else if (key == "timeout") {
        const auto seconds = parseSeconds(value);
        if (!seconds) return "mount option '" + option + "' needs a number of seconds from 0 (no limit) to 86400";
        result.requestTimeout = std::chrono::milliseconds(std::llround(*seconds * 1000));
    } else if (key == "uid") {
        const auto id = parseNumber(value, 10, largestID);
        if (!id) return "mount option '" + option + "' needs a numeric user id";
        result.presentation.owner = *id;
    } else if (key == "gid") {
        const auto id = parseNumber(value, 10, largestID);
        if (!id) return "mount option '" + option + "' needs a numeric group id";
        result.presentation.group = *id;
    } else if (key == "umask") {
        const auto mask = parseNumber(value, 8, 0777);
        if (!mask) return "mount option '" + option + "' needs an octal mask from 0 to 0777";
        result.presentation.umask = *mask;
    } else if (key == "max_read") {
        const auto bytes = parseNumber(value, 10, largestMaxRead);
        if (!bytes || *bytes < smallestMaxRead)
            return "mount option '" + option + "' needs a number of bytes from 4096 to 1048576";
        result.maxRead = *bytes;
    } else {
        return "unknown mount option '" + option + "'";
    }
    return std::nullopt;
}

std::optional<std::string> applySwitch(MountOptions& result, std::string_view key, const std::string& option) {
    for (const Switch& entry : switches) {
        if (key == entry.name) {
            result.*entry.field = entry.value;
            return std::nullopt;
        }
    }
    if (key == "kernel_cache") {
        result.pageCache = PageCachePolicy::KeepAlways;
    } else if (key == "auto_cache") {
        result.pageCache = PageCachePolicy::KeepWhileUnchanged;
    } else if (key == "reread_on_open") {
        result.pageCache = PageCachePolicy::DropOnOpen;
    } else {
        bool ignored = false;
        for (const char* name : ignoredOptions) ignored = ignored || key == name;
        if (!ignored) return "unknown mount option '" + option + "'";
    }
    return std::nullopt;
}

}  // namespace

double negativeEntryTimeout(const MountOptions& options) { return options.negativeTimeout.value_or(options.entryTimeout); }

MountOptions withWatchedExportDefaults(MountOptions options) {
    if (!options.attrTimeoutGiven) options.attrTimeout = kWatchedExportTimeout;
    if (!options.entryTimeoutGiven) options.entryTimeout = kWatchedExportTimeout;
    return options;
}

MountOptionsOutcome parseMountOptions(const std::vector<std::string>& options) {
    MountOptions result;
    for (const std::string& option : options) {
        const auto equals = option.find('=');
        const std::string_view key = std::string_view(option).substr(0, equals);
        // Options for other programs (x-systemd.automount, ...), by mount(8)'s convention.
        if (key.starts_with("x-") || key == "comment") continue;
        std::optional<std::string> error;
        if (equals == std::string::npos) {
            error = applySwitch(result, key, option);
        } else {
            error = applyValued(result, key, std::string_view(option).substr(equals + 1), option);
        }
        if (error) return {std::nullopt, *error};
    }
    if (result.allowOther && result.allowRoot) return {std::nullopt, "allow_other and allow_root cannot be combined"};
    return {result, {}};
}

std::string mountOptionsHelp() {
    return "  ro, rw               mount read-only or read-write (the last one given wins)\n"
           "  noexec, exec         refuse or allow running programs from the mount\n"
           "  nosuid, suid         ignore or honour set-user-id bits (nosuid unless suid)\n"
           "  nodev, dev           refuse or allow device files (nodev unless dev)\n"
           "  sync, async          write through to the server at once, or not\n"
           "  dirsync              make directory changes synchronous\n"
           "  noatime, relatime    never update access times, or only now and then\n"
           "  uid=N, gid=N         show every file as owned by user N or group N\n"
           "  umask=M              take the octal permission bits M away from what is shown\n"
           "  allow_other          let other users use the mount (needs user_allow_other\n"
           "                       in /etc/fuse.conf for ordinary users)\n"
           "  allow_root           let root use the mount as well as its owner\n"
           "  default_permissions  let the kernel check permissions (the default);\n"
           "                       nodefault_permissions leaves the checks to the server\n"
           "  auto_unmount         unmount when brindle ends, even when it is killed\n"
           "  kernel_cache         keep cached file contents across opens; only for exports\n"
           "                       nothing else changes\n"
           "  auto_cache           keep cached file contents until the size or time changes\n"
           "                       (without either option: kept while each open finds the\n"
           "                       size and time of the file's previous open)\n"
           "  reread_on_open       drop cached file contents at every open, for exports whose\n"
           "                       writers keep a file's size and restore its time\n"
           "  writeback_cache      let the kernel gather small writes\n"
           "  max_read=BYTES       largest read request, 4096 to 1048576\n"
           "  attr_timeout=S       seconds the kernel may cache attributes (default 1; 60 where\n"
           "                       the server watches its export)\n"
           "  entry_timeout=S      seconds the kernel may cache names (default as attr_timeout)\n"
           "  negative_timeout=S   seconds the kernel may remember a missing name (default:\n"
           "                       entry_timeout; 0 asks the server every time)\n"
           "  timeout=S            seconds the mount's setup and each request may wait for the\n"
           "                       server; a request then fails with EIO (default 30; 0: no limit)\n"
           "  reconnect            when the server goes away, keep the mount and load the\n"
           "                       session again until the server is back; calls meanwhile\n"
           "                       wait up to timeout=\n"
           "  skip_session_file_check\n"
           "                       read the session file even when it is a link, is not\n"
           "                       yours or root's, or group or others have access to it\n"
           "  fsname=NAME          the source shown in the mount table (default: SESSION)\n"
           "  subtype=NAME         the type shown as fuse.NAME (default brindle)\n"
           "  auto, noauto, user, nouser, users, _netdev, nofail, defaults, x-*, comment=*\n"
           "                       accepted for fstab and ignored\n";
}

std::vector<std::string> fuseArguments(const MountOptions& options, const std::string& sessionPath) {
    std::string kernelOptions = "fsname=" + escapedOptionValue(options.fsname.empty() ? sessionPath : options.fsname);
    kernelOptions += ",subtype=" + (options.subtype.empty() ? std::string("brindle") : options.subtype);
    if (options.allowOther) kernelOptions += ",allow_other";
    if (options.allowRoot) kernelOptions += ",allow_root";
    if (options.defaultPermissions) kernelOptions += ",default_permissions";
    kernelOptions += options.readOnly ? ",ro" : ",rw";
    kernelOptions += options.noExec ? ",noexec" : ",exec";
    kernelOptions += options.noSuid ? ",nosuid" : ",suid";
    kernelOptions += options.noDev ? ",nodev" : ",dev";
    if (options.synchronous) kernelOptions += ",sync";
    if (options.dirSync) kernelOptions += ",dirsync";
    if (options.noAccessTimes) kernelOptions += ",noatime";
    if (options.autoUnmount) kernelOptions += ",auto_unmount";
    if (options.maxRead) kernelOptions += ",max_read=" + std::to_string(*options.maxRead);
    return {"brindle", "-o", kernelOptions};
}

}  // namespace brindle::host
