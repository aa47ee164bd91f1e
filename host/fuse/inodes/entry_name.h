#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace brindle::host {

// A name the kernel was handed: the directory's inode and the name in it.
using EntryName = std::pair<uint64_t, std::string>;

struct EntryNameHash {
    size_t operator()(const EntryName& name) const {
        return std::hash<std::string>()(name.second) ^ (std::hash<uint64_t>()(name.first) * 0x9E3779B97F4A7C15ull);
    }
};

}  // namespace brindle::host
