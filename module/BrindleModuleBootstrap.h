#pragma once

#include "module/BrindleFileSystem.h"

#include <memory>
#include <string_view>

namespace brindle {

// The module's entry type: it names the extension point and provides the file system.
struct BrindleModuleBootstrap {
    static constexpr std::string_view extensionPoint = "com.apple.fskit.fsmodule";
    static constexpr std::string_view bundleIdentifier = "org.orvel.brindle.module";

    // A new file system at each read, as the platform expects of the property.
    std::shared_ptr<BrindleFileSystem> fileSystem() const { return BrindleFileSystem::create(); }
};

}  // namespace brindle
