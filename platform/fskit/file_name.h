#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace fskit {

// A name as bytes. Its string form exists only when the bytes are valid UTF-8.
class FSFileName {
public:
    static FSFileName nameWithString(std::string_view string) { return FSFileName(std::string(string)); }
    static FSFileName nameWithBytes(std::string bytes) { return FSFileName(std::move(bytes)); }

    const std::string& data() const { return bytes_; }
    std::optional<std::string> string() const;
    friend bool operator==(const FSFileName&, const FSFileName&) = default;

private:
    explicit FSFileName(std::string bytes) : bytes_(std::move(bytes)) {}
    std::string bytes_;
};

}  // namespace fskit
