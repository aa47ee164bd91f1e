#include "sdk/cpp/transport/token.h"

#include <gtest/gtest.h>

#include <set>

namespace brindle::sdk {
namespace {

TEST(SdkToken, TokensAreLongAndFresh) {
    std::set<std::string> seen;
    for (int i = 0; i < 16; ++i) {
        auto token = randomToken();
        ASSERT_TRUE(token);
        EXPECT_EQ(token.value().size(), 64u);
        EXPECT_EQ(token.value().find_first_not_of("0123456789abcdef"), std::string::npos);
        seen.insert(token.value());
    }
    EXPECT_EQ(seen.size(), 16u);
}

TEST(SdkToken, ComparisonNeedsEveryByteAndTheLength) {
    EXPECT_TRUE(constantTimeEquals("secret", "secret"));
    EXPECT_FALSE(constantTimeEquals("secreT", "secret"));
    EXPECT_FALSE(constantTimeEquals("Secret", "secret"));
    EXPECT_FALSE(constantTimeEquals("secre", "secret"));
    EXPECT_FALSE(constantTimeEquals("secrets", "secret"));
    EXPECT_FALSE(constantTimeEquals("", "secret"));
    EXPECT_FALSE(constantTimeEquals(std::string("secret\0", 7), "secret"));
}

}  // namespace
}  // namespace brindle::sdk
