#include "host/fuse/mount_options.h"

#include <array>
#include <charconv>
#include <cmath>
#include <string_view>

namespace brindle::host {

namespace {

// Generic mount(8) options that reach a helper but mean nothing beyond the kernel's defaults.
constexpr std::array ignoredOptions = {"rw",   "dev",  "nodev",  "suid",    "nosuid", "exec", "noexec",
                                       "auto", "noauto", "user", "nouser",  "users",  "_netdev", "nofail",
                                       "async", "atime", "noatime", "relatime", "defaults"};

std::optional<double> parseSeconds(std::string_view text) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) || value < 0 ||
        value > 86400.0)
        return std::nullopt;
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

}  // namespace

MountOptionsOutcome parseMountOptions(const std::vector<std::string>& options) {
    MountOptions result;
    for (const std::string& option : options) {
        const auto equals = option.find('=');
        const std::string_view key = std::string_view(option).substr(0, equals);
        const bool hasValue = equals != std::string::npos;
        const std::string_view value = hasValue ? std::string_view(option).substr(equals + 1) : std::string_view();
        const auto flag = [&](bool& target, bool setting) {
            if (hasValue) return false;
            target = setting;
            return true;
        };
        bool understood = false;
        if (key == "allow_other") understood = flag(result.allowOther, true);
        else if (key == "default_permissions") understood = flag(result.defaultPermissions, true);
        else if (key == "nodefault_permissions") understood = flag(result.defaultPermissions, false);
        else if (key == "ro") understood = flag(result.readOnly, true);
        else if (key == "writeback_cache") understood = flag(result.writebackCache, true);
        else if (key == "fsname" || key == "subtype") {
            if (!hasValue || value.empty() || value.find(',') != std::string_view::npos)
                return {std::nullopt, "option '" + option + "' needs a value"};
            (key == "fsname" ? result.fsname : result.subtype) = std::string(value);
            understood = true;
        } else if (key == "attr_timeout" || key == "entry_timeout") {
            const auto seconds = hasValue ? parseSeconds(value) : std::nullopt;
            if (!seconds)
                return {std::nullopt, "option '" + option + "' needs a number of seconds between 0 and 86400"};
            (key == "attr_timeout" ? result.attrTimeout : result.entryTimeout) = *seconds;
            understood = true;
        } else {
            for (const char* ignored : ignoredOptions) {
                if (key == ignored && !hasValue) understood = true;
            }
        }
        if (!understood) return {std::nullopt, "unknown mount option '" + option + "'"};
    }
    return {result, {}};
}

std::vector<std::string> fuseArguments(const MountOptions& options, const std::string& sessionPath) {
    std::string kernelOptions = "fsname=" + escapedOptionValue(options.fsname.empty() ? sessionPath : options.fsname);
    kernelOptions += ",subtype=" + (options.subtype.empty() ? std::string("brindle") : options.subtype);
    if (options.allowOther) kernelOptions += ",allow_other";
    if (options.defaultPermissions) kernelOptions += ",default_permissions";
    if (options.readOnly) kernelOptions += ",ro";
    return {"brindle", "-o", kernelOptions};
}

}  // namespace brindle::host
