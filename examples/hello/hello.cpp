// A read-only volume holding one file, /hello.
#include <brindle/server.h>

#include <algorithm>
#include <cstring>

namespace sdk = brindle::sdk;

namespace {

constexpr std::string_view kText = "Hello from a C++ brindle server!\n";
constexpr sdk::NodeId kHello = sdk::kRootNode + 1;

class Hello final : public sdk::Backend {
public:
    sdk::Capabilities capabilities() const override { return {.readOnly = true}; }
    bool issued(sdk::NodeId node) const override { return node == sdk::kRootNode || node == kHello; }

    sdk::Result<sdk::Item> getRootAttributes(const sdk::Call& call) override { return getAttributes(call, sdk::kRootNode); }
    sdk::Result<sdk::Item> getAttributes(const sdk::Call&, sdk::NodeId node) override {
        if (node == sdk::kRootNode) {
            return sdk::Item{node, {.type = sdk::ItemType::directory, .mode = 0755, .linkCount = 2}, node, "/"};
        }
        if (node != kHello) return sdk::Errno::enoent;
        sdk::Attributes attributes{.type = sdk::ItemType::file, .mode = 0444, .size = kText.size()};
        return sdk::Item{node, attributes, sdk::kRootNode, "hello"};
    }
    sdk::Result<sdk::Item> lookup(const sdk::Call& call, sdk::NodeId parent, const std::string& name) override {
        if (parent != sdk::kRootNode) return sdk::Errno::enotdir;
        if (name != "hello") return sdk::Errno::enoent;
        return getAttributes(call, kHello);
    }
    sdk::Result<void> listDirectory(const sdk::Call&, sdk::NodeId node, sdk::Listing& names) override {
        if (node != sdk::kRootNode) return sdk::Errno::enotdir;
        names.add("hello");
        return {};
    }
    sdk::Result<size_t> read(const sdk::Call&, sdk::NodeId node, uint64_t offset, std::span<char> buffer) override {
        if (node != kHello) return sdk::Errno::eisdir;
        if (offset >= kText.size()) return size_t{0};
        const size_t count = std::min(buffer.size(), kText.size() - offset);
        std::memcpy(buffer.data(), kText.data() + offset, count);
        return count;
    }
};

}  // namespace

int main(int argc, char** argv) {
    sdk::ProgramSettings settings;
    const sdk::CommandLine commandLine("hello", "Serves a read-only volume holding one file, /hello.", sdk::version());
    if (const int status = commandLine.parseOrExit(argc, argv, settings); status >= 0) return status;
    Hello hello;
    return sdk::run(hello, settings, "hello");
}
