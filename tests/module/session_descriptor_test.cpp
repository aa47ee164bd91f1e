#include "module/BrindleSessionDescriptor.h"
#include "platform/foundation/errno_table.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

using namespace brindle;
using foundation::ErrorDomain;
using foundation::URL;

namespace {

const char* kValid = R"({"session_id":"s-1","socket_path":"/run/fs.sock","auth_token":"secret-token"})";

class SessionDescriptorTest : public ::testing::Test {
protected:
    URL session(const std::string& json) { return URL::fileURLWithPath(dir.write("session.json", json)); }

    // Expects the file to be refused with EINVAL and exactly the given log line.
    void expectInvalid(const std::string& json, const char* line) {
        capture.sink().clear();
        auto fields = BrindleSessionDescriptor::parsedFieldsAtURL(session(json));
        ASSERT_FALSE(fields) << json;
        EXPECT_TRUE(fields.error().isPosix(foundation::darwin::einval)) << json;
        EXPECT_TRUE(capture.sink().containsAt(logging::Level::Error, line)) << json;
    }

    testsupport::TempDir dir;
    testsupport::LogCapture capture;
};

}  // namespace

TEST_F(SessionDescriptorTest, ValidFileYieldsAllSixFieldsWithDefaults) {
    auto descriptor = BrindleSessionDescriptor::initWithURL(session(kValid));
    ASSERT_TRUE(descriptor);
    const auto& d = *descriptor.value();
    EXPECT_EQ(d.sessionID(), "s-1");
    EXPECT_EQ(d.socketPath(), "/run/fs.sock");
    EXPECT_EQ(d.authToken(), "secret-token");
    EXPECT_FALSE(d.namedattrEnabled());
    EXPECT_FALSE(d.readonlyEnabled());
    EXPECT_EQ(d.volumeName(), "");
    EXPECT_EQ(d.url().path(), dir.file("session.json"));
    EXPECT_TRUE(capture.sink().contains("orvel: session init url=" + dir.file("session.json")));
    EXPECT_TRUE(capture.sink().contains(
        "orvel: session ready sessionID=s-1 socket=/run/fs.sock namedattr=false readonly=false volume="));
}

TEST_F(SessionDescriptorTest, SwitchesAcceptBooleansAndNumbersOnly) {
    auto numeric = BrindleSessionDescriptor::initWithURL(session(
        R"({"session_id":"s","socket_path":"p","auth_token":"t","readonly":1,"namedattr":0,"volume_name":"Docs"})"));
    ASSERT_TRUE(numeric);
    EXPECT_TRUE(numeric.value()->readonlyEnabled());
    EXPECT_FALSE(numeric.value()->namedattrEnabled());
    EXPECT_EQ(numeric.value()->volumeName(), "Docs");
    EXPECT_TRUE(capture.sink().contains("namedattr=false readonly=true volume=Docs"));

    auto booleans = BrindleSessionDescriptor::initWithURL(
        session(R"({"session_id":"s","socket_path":"p","auth_token":"t","readonly":false,"namedattr":true})"));
    ASSERT_TRUE(booleans);
    EXPECT_FALSE(booleans.value()->readonlyEnabled());
    EXPECT_TRUE(booleans.value()->namedattrEnabled());

    expectInvalid(R"({"session_id":"s","socket_path":"p","auth_token":"t","readonly":"true"})",
                  "orvel: session keys have invalid types");
    expectInvalid(R"({"session_id":"s","socket_path":"p","auth_token":"t","namedattr":null})",
                  "orvel: session keys have invalid types");
}

TEST_F(SessionDescriptorTest, WrongTypesAndMissingKeysAreInvalidTypes) {
    const char* line = "orvel: session keys have invalid types";
    expectInvalid(R"({"session_id":"s","socket_path":"p"})", line);
    expectInvalid(R"({"session_id":"s","socket_path":"p","auth_token":7})", line);
    expectInvalid(R"({"session_id":null,"socket_path":"p","auth_token":"t"})", line);
    expectInvalid(R"({"session_id":"s","socket_path":["p"],"auth_token":"t"})", line);
    expectInvalid(R"({"session_id":"s","socket_path":"p","auth_token":"t","volume_name":null})", line);
    expectInvalid(R"({"session_id":"s","socket_path":"p","auth_token":"t","volume_name":3})", line);
}

TEST_F(SessionDescriptorTest, EmptyRequiredStringsAreMissingKeys) {
    const char* line = "orvel: session missing required keys";
    expectInvalid(R"({"session_id":"s","socket_path":"p","auth_token":""})", line);
    expectInvalid(R"({"session_id":"","socket_path":"p","auth_token":"t"})", line);
    expectInvalid(R"({"session_id":"s","socket_path":"","auth_token":"t"})", line);
}

TEST_F(SessionDescriptorTest, TypesAreCheckedBeforeEmptiness) {
    expectInvalid(R"({"session_id":"","socket_path":"p","auth_token":"t","readonly":"yes"})",
                  "orvel: session keys have invalid types");
}

TEST_F(SessionDescriptorTest, EmptyVolumeNameAndUnknownKeysAreAccepted) {
    auto descriptor = BrindleSessionDescriptor::initWithURL(
        session(R"({"session_id":"s","socket_path":"p","auth_token":"t","volume_name":"","extra":{"x":[1]}})"));
    ASSERT_TRUE(descriptor);
    EXPECT_EQ(descriptor.value()->volumeName(), "");
}

TEST_F(SessionDescriptorTest, ArrayRootIsInvalidArgument) {
    expectInvalid("[1,2]", "orvel: session json is invalid root object");
}

TEST_F(SessionDescriptorTest, ParseErrorsPassThroughInTheirOwnDomain) {
    for (const char* text : {"42", "not json", "", "{\"session_id\":"}) {
        capture.sink().clear();
        auto fields = BrindleSessionDescriptor::parsedFieldsAtURL(session(text));
        ASSERT_FALSE(fields) << text;
        EXPECT_EQ(fields.error().domain(), ErrorDomain::JsonParse) << text;
        EXPECT_TRUE(capture.sink().containsAt(logging::Level::Error, "orvel: session json is invalid root object"));
    }
}

// A hand-edited file is fixed where the message points.
TEST_F(SessionDescriptorTest, AMalformedFileIsRefusedWithTheLineAndColumnOfTheFault) {
    auto fields = BrindleSessionDescriptor::parsedFieldsAtURL(session(
        "{\n  \"session_id\": \"s\",\n  \"socket_path\": \"p\"\n  \"auth_token\": \"t\"\n}\n"));
    ASSERT_FALSE(fields);
    EXPECT_EQ(fields.error().domain(), ErrorDomain::JsonParse);
    EXPECT_NE(fields.error().message().value_or("").find("line 4, column 3"), std::string::npos)
        << fields.error().message().value_or("");
}

TEST_F(SessionDescriptorTest, ReadErrorsPassThroughInTheirOwnDomain) {
    auto fields = BrindleSessionDescriptor::parsedFieldsAtURL(URL::fileURLWithPath(dir.file("missing.json")));
    ASSERT_FALSE(fields);
    EXPECT_EQ(fields.error().domain(), ErrorDomain::FileRead);
    EXPECT_EQ(fields.error().code(), foundation::darwin::enoent);
    EXPECT_TRUE(capture.sink().containsAt(logging::Level::Error, "orvel: session read failed error=file-read error 2"));
}

TEST_F(SessionDescriptorTest, TheTokenIsNeverLogged) {
    ASSERT_TRUE(BrindleSessionDescriptor::initWithURL(session(kValid)));
    expectInvalid(R"({"session_id":"s","socket_path":"","auth_token":"secret-token"})",
                  "orvel: session missing required keys");
    for (const auto& line : capture.sink().lines()) EXPECT_EQ(line.text.find("secret-token"), std::string::npos);
}

TEST_F(SessionDescriptorTest, ValidateReportsTheSameErrors) {
    EXPECT_FALSE(BrindleSessionDescriptor::validateURL(session(kValid)));
    auto error = BrindleSessionDescriptor::validateURL(session("[]"));
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->isPosix(foundation::darwin::einval));
}

TEST_F(SessionDescriptorTest, TheErrorNamesTheFirstBadKey) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"session_id":"s","socket_path":"p"})", "\"auth_token\" is missing"},
        {R"({"session_id":null,"socket_path":"p","auth_token":"t"})", "\"session_id\" must be a string"},
        {R"({"session_id":"s","socket_path":["p"],"auth_token":7})", "\"socket_path\" must be a string"},
        {R"({"session_id":"s","socket_path":"p","auth_token":"t","readonly":"true"})",
         "\"readonly\" must be true, false or a number"},
        {R"({"session_id":"s","socket_path":"p","auth_token":"t","namedattr":null})",
         "\"namedattr\" must be true, false or a number"},
        {R"({"session_id":"s","socket_path":"p","auth_token":"t","volume_name":3})", "\"volume_name\" must be a string"},
        {R"({"session_id":"s","socket_path":"","auth_token":""})", "\"socket_path\" is empty"},
        {"[1,2]", "the top level is not an object"},
    };
    for (const auto& [json, message] : cases) {
        auto fields = BrindleSessionDescriptor::parsedFieldsAtURL(session(json));
        ASSERT_FALSE(fields) << json;
        EXPECT_TRUE(fields.error().isPosix(foundation::darwin::einval)) << json;
        EXPECT_EQ(fields.error().message(), message) << json;
    }
}
