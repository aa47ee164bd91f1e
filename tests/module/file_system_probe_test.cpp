#include "module/BrindleModuleBootstrap.h"
#include "platform/foundation/errno_table.h"
#include "tests/module/resource_doubles.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

using namespace brindle;
using foundation::URL;
namespace darwin = foundation::darwin;

namespace {

using moduletest::BlockResource;
using moduletest::RefusingAccess;

struct ProbeOutcome {
    int calls = 0;
    std::optional<fskit::FSProbeResult> result;
    std::optional<foundation::Error> error;
};

ProbeOutcome probe(const std::shared_ptr<fskit::FSResource>& resource) {
    ProbeOutcome outcome;
    BrindleModuleBootstrap{}.fileSystem()->probeResource(resource, [&](auto result, auto error) {
        ++outcome.calls;
        outcome.result = std::move(result);
        outcome.error = std::move(error);
    });
    return outcome;
}

class ProbeTest : public ::testing::Test {
protected:
    std::shared_ptr<fskit::FSPathURLResource> resourceFor(const std::string& json,
                                                          std::shared_ptr<foundation::SecurityScopedAccess> access =
                                                              std::make_shared<foundation::SecurityScopedAccess>()) {
        url = URL::fileURLWithPath(dir.write("session.json", json), std::move(access));
        return std::make_shared<fskit::FSPathURLResource>(url);
    }

    testsupport::TempDir dir;
    testsupport::LogCapture capture;
    std::optional<URL> url;
};

const char* kValid = R"({"session_id":"s","socket_path":"/tmp/x.sock","auth_token":"t"})";

}  // namespace

TEST_F(ProbeTest, ValidSessionIsUsableWithAFreshContainerEachTime) {
    auto resource = resourceFor(kValid);
    const auto first = probe(resource);
    const auto second = probe(resource);
    ASSERT_EQ(first.calls, 1);
    ASSERT_FALSE(first.error);
    ASSERT_TRUE(first.result);
    EXPECT_EQ(first.result->result(), fskit::FSProbeResult::Kind::Usable);
    EXPECT_EQ(first.result->name(), "orvel");
    ASSERT_TRUE(second.result && second.result->containerID());
    EXPECT_NE(first.result->containerID(), second.result->containerID());
    EXPECT_EQ(url->securityScopedAccess().openCount(), 0);
    EXPECT_TRUE(capture.sink().contains("orvel: probeResource returning usable result url=" + url->path()));
}

TEST_F(ProbeTest, RefusedAccessIsEaccesAndTheFileIsNotRead) {
    auto resource = resourceFor(kValid, std::make_shared<RefusingAccess>());
    const auto outcome = probe(resource);
    ASSERT_TRUE(outcome.error);
    EXPECT_TRUE(outcome.error->isPosix(darwin::eacces));
    EXPECT_FALSE(outcome.result);
    EXPECT_FALSE(capture.sink().contains("orvel: session init"));
    EXPECT_TRUE(capture.sink().containsAt(logging::Level::Error,
                                          "orvel: probeResource failed to access security-scoped resource url="));
    EXPECT_EQ(url->securityScopedAccess().openCount(), 0);
}

TEST_F(ProbeTest, ResourceThatIsNotAPathResourceIsEnodev) {
    const auto outcome = probe(std::make_shared<BlockResource>());
    ASSERT_TRUE(outcome.error);
    EXPECT_TRUE(outcome.error->isPosix(darwin::enodev));
    EXPECT_FALSE(capture.sink().contains("orvel: session init"));
    EXPECT_TRUE(capture.sink().containsAt(logging::Level::Error, "orvel: probeResource rejected resource error="));
}

TEST_F(ProbeTest, PathResourceWithoutUrlIsEinval) {
    const auto outcome = probe(std::make_shared<fskit::FSPathURLResource>(std::nullopt));
    ASSERT_TRUE(outcome.error);
    EXPECT_TRUE(outcome.error->isPosix(darwin::einval));
}

TEST_F(ProbeTest, InvalidSessionIsReportedAsAnErrorAndAccessIsStopped) {
    auto resource = resourceFor(R"({"session_id":"s","socket_path":"p","auth_token":""})");
    const auto outcome = probe(resource);
    ASSERT_TRUE(outcome.error);
    EXPECT_TRUE(outcome.error->isPosix(darwin::einval));
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(url->securityScopedAccess().openCount(), 0);
    EXPECT_TRUE(capture.sink().containsAt(logging::Level::Error, "orvel: probeResource rejected invalid descriptor url="));
}
