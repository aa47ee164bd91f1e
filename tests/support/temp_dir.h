#pragma once

#include <string>

namespace testsupport {

// A fresh directory under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Writes `contents` to `name` in the directory, readable by its owner alone, and returns its path.
    std::string write(const std::string& name, const std::string& contents) const;

private:
    std::string path_;
};

}  // namespace testsupport
