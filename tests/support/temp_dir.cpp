#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace testsupport {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "brindle-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& contents) const {
    const std::string target = file(name);
    std::ofstream out(target, std::ios::binary);
    out << contents;
    out.close();
    // Private, as the session files written here must be to be read.
    std::error_code failed;
    std::filesystem::permissions(target, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                                 failed);
    if (!out || failed) throw std::runtime_error("cannot write " + target);
    return target;
}

}  // namespace testsupport
