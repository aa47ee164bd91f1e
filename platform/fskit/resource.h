#pragma once

#include "platform/foundation/url.h"

#include <optional>
#include <string>

namespace fskit {

// Something the file-system service hands a module to probe and load.
class FSResource {
public:
    virtual ~FSResource() = default;
    // How the resource shows in log lines.
    virtual std::string description() const = 0;
};

// A resource that names a file by URL. The URL may be missing, as the platform allows.
class FSPathURLResource final : public FSResource {
public:
    explicit FSPathURLResource(std::optional<foundation::URL> url) : url_(std::move(url)) {}
    const std::optional<foundation::URL>& url() const { return url_; }
    std::string description() const override {
        return "FSPathURLResource(" + (url_ ? url_->path() : std::string("no url")) + ")";
    }

private:
    std::optional<foundation::URL> url_;
};

}  // namespace fskit
