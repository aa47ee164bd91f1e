#include "platform/foundation/errno_table.h"
#include "platform/foundation/json.h"

#include <gtest/gtest.h>

using namespace foundation;

TEST(Json, BareScalarsAtTheTopAreParseErrors) {
    for (const char* text : {"42", "\"text\"", "true", "null", "", "{", "[1,]", "{\"a\":1} x"}) {
        auto parsed = json::parse(text);
        ASSERT_FALSE(parsed) << text;
        EXPECT_EQ(parsed.error().domain(), ErrorDomain::JsonParse) << text;
    }
}

TEST(Json, ObjectsAndArraysParse) {
    ASSERT_TRUE(json::parse("{\"a\": 1}"));
    auto array = json::parse("[1, 2]");
    ASSERT_TRUE(array);
    EXPECT_TRUE(array.value().is_array());
}

TEST(Json, InvalidUtf8IsRefused) { EXPECT_FALSE(json::parse("{\"a\": \"\xff\"}")); }

TEST(Json, NumbersKeepTheirWidthAndBooleansAreNotNumbers) {
    auto parsed = json::parse(R"({"big": 18446744073709551615, "neg": -5, "flag": true, "text": "1", "real": 2.5})");
    ASSERT_TRUE(parsed);
    const auto& object = parsed.value().get_object();
    EXPECT_EQ(json::uint64Field(object, "big"), UINT64_MAX);
    EXPECT_EQ(json::int64Field(object, "neg"), -5);
    EXPECT_EQ(json::int32Field(object, "neg"), -5);
    EXPECT_FALSE(json::uint64Field(object, "flag"));
    EXPECT_FALSE(json::uint64Field(object, "text"));
    EXPECT_FALSE(json::uint64Field(object, "missing"));
    EXPECT_EQ(json::uint64Field(object, "real"), 2u);
    EXPECT_FALSE(json::isNumber(object.if_contains("flag")));
    EXPECT_TRUE(json::isNumber(object.if_contains("real")));
}

TEST(Json, HugeFloatingPointNumbersSaturateInsteadOfOverflowing) {
    auto parsed = json::parse(R"({"huge": 1e300, "tiny": -1e300})");
    ASSERT_TRUE(parsed);
    const auto& object = parsed.value().get_object();
    EXPECT_EQ(json::uint64Field(object, "huge"), UINT64_MAX);
    EXPECT_EQ(json::int64Field(object, "tiny"), INT64_MIN);
}

TEST(Json, TruthValues) {
    EXPECT_TRUE(json::truthValue(boost::json::value(true)));
    EXPECT_FALSE(json::truthValue(boost::json::value(false)));
    EXPECT_TRUE(json::truthValue(boost::json::value(1)));
    EXPECT_TRUE(json::truthValue(boost::json::value(-3)));
    EXPECT_FALSE(json::truthValue(boost::json::value(0)));
    EXPECT_FALSE(json::truthValue(boost::json::value("true")));
}

TEST(Json, SerializesCompactly) {
    boost::json::object object{{"method", "ping"}, {"request_id", 1}};
    EXPECT_EQ(json::serialize(object), R"({"method":"ping","request_id":1})");
}

// Columns count characters, not bytes, so that they match what an editor shows.
TEST(Json, ParseErrorsNameTheLineAndColumnOfTheFault) {
    const struct {
        const char* text;
        const char* where;
    } cases[] = {
        {"{\n  \"a\": 1,\n  \"b\": tru\n}", "syntax error at line 3, column 8"},
        {"{\"name\": \"é\", \"b\": 1,}", "syntax error at line 1, column 22"},
        {"{\"a\": 1}\r\n\r\n  x", "extra data at line 3, column 3"},
        {"{\n\"a\": [1,\n", "incomplete JSON at line 3, column 1"},
        {"{\"a\": \"\xff\"}", "at line 1, column 8"},
    };
    for (const auto& c : cases) {
        auto parsed = json::parse(c.text);
        ASSERT_FALSE(parsed) << c.text;
        EXPECT_EQ(parsed.error().code(), json::kParseErrorCode);
        EXPECT_NE(parsed.error().message().value_or("").find(c.where), std::string::npos)
            << c.text << " gave: " << parsed.error().message().value_or("");
    }
}
