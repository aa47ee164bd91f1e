#pragma once

#include <atomic>
#include <memory>
#include <string>

namespace foundation {

// Grants security-scoped access to a URL. On Linux the platform always grants it; the count
// lets callers and tests see that every start was matched by a stop.
class SecurityScopedAccess {
public:
    virtual ~SecurityScopedAccess() = default;
    bool start();
    void stop();
    int openCount() const { return openCount_.load(); }

protected:
    virtual bool grant() { return true; }

private:
    std::atomic<int> openCount_{0};
};

// A file URL. Copies share one security-scoped access, as references to the same URL object do.
class URL {
public:
    static URL fileURLWithPath(std::string path,
                               std::shared_ptr<SecurityScopedAccess> access = std::make_shared<SecurityScopedAccess>());

    const std::string& path() const { return path_; }
    bool startAccessingSecurityScopedResource() const { return access_->start(); }
    void stopAccessingSecurityScopedResource() const { access_->stop(); }
    const SecurityScopedAccess& securityScopedAccess() const { return *access_; }

private:
    URL(std::string path, std::shared_ptr<SecurityScopedAccess> access);
    std::string path_;
    std::shared_ptr<SecurityScopedAccess> access_;
};

}  // namespace foundation
