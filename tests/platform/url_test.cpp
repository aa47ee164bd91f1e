#include "platform/foundation/url.h"
#include "platform/foundation/uuid.h"

#include <gtest/gtest.h>

using namespace foundation;

TEST(SecurityScopedAccess, CountsGrantsAndIgnoresUnmatchedStops) {
    URL url = URL::fileURLWithPath("/tmp/session.json");
    URL copy = url;
    EXPECT_TRUE(url.startAccessingSecurityScopedResource());
    EXPECT_EQ(copy.securityScopedAccess().openCount(), 1) << "copies share one access";
    copy.stopAccessingSecurityScopedResource();
    copy.stopAccessingSecurityScopedResource();
    EXPECT_EQ(url.securityScopedAccess().openCount(), 0);
}

TEST(UUID, RandomUuidsAreVersion4AndDistinct) {
    const UUID a = UUID::random();
    const UUID b = UUID::random();
    EXPECT_NE(a, b);
    const std::string text = a.string();
    ASSERT_EQ(text.size(), 36u);
    EXPECT_EQ(text[14], '4');
    EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos);
    EXPECT_EQ(text.find_first_not_of("0123456789ABCDEF-"), std::string::npos);
}
