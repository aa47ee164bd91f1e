#include "sdk/cpp/dispatch/request.h"

#include <gtest/gtest.h>

namespace brindle::server {
namespace {

TEST(ServerReplyText, AReplyHoldingTextThatIsNotUTF8BecomesEILSEQ) {
    Reply fine = okReply();
    fine.object["dir_items"] = boost::json::array{boost::json::object{{"name", "caf\xc3\xa9"}}};
    fine.payload = "\xff binary payloads are not text";
    const Reply kept = utf8Checked(fine);
    EXPECT_EQ(kept.object, fine.object);
    EXPECT_EQ(kept.payload, fine.payload);

    for (const boost::json::value& bad :
         {boost::json::value("\xff"), boost::json::value(boost::json::array{"ok", "caf\xe9"}),
          boost::json::value(boost::json::object{{"name", "\xed\xa0\x80"}}),
          boost::json::value(boost::json::object{{"\xc0\xaf", 1}})}) {
        Reply reply = okReply();
        reply.object["item_attrs"] = bad;
        reply.payload = "data";
        const Reply checked = utf8Checked(reply);
        EXPECT_EQ(checked.object.at("ok"), false);
        EXPECT_EQ(checked.object.at("errno"), 92);
        EXPECT_FALSE(checked.object.contains("item_attrs"));
        EXPECT_TRUE(checked.payload.empty());
    }
}

}  // namespace
}  // namespace brindle::server
