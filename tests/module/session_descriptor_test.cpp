#include "module/BrindleSessionDescriptor.h"
#include "platform/foundation/errno_table.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

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
        auto fields = BrindleSessionDescriptor::parsedFieldsAtURL(session(json), SessionFileTrust::requirePrivate);
        ASSERT_FALSE(fields) << json;
        EXPECT_TRUE(fields.error().isPosix(foundation::darwin::einval)) << json;
        EXPECT_TRUE(capture.sink().containsAt(logging::Level::Error, line)) << json;
    }

    testsupport::TempDir dir;
    testsupport::LogCapture capture;
};

}  // namespace

TEST_F(SessionDescriptorTest, ValidFileYieldsAllSixFieldsWithDefaults) {
    auto descriptor = BrindleSessionDescriptor::initWithURL(session(kValid), SessionFileTrust::requirePrivate);
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
        R"({"session_id":"s","socket_path":"p","auth_token":"t","readonly":1,"namedattr":0,"volume_name":"Docs"})"), SessionFileTrust::requirePrivate);
    ASSERT_TRUE(numeric);
    EXPECT_TRUE(numeric.value()->readonlyEnabled());
    EXPECT_FALSE(numeric.value()->namedattrEnabled());
    EXPECT_EQ(numeric.value()->volumeName(), "Docs");
    EXPECT_TRUE(capture.sink().contains("namedattr=false readonly=true volume=Docs"));

    auto booleans = BrindleSessionDescriptor::initWithURL(
        session(R"({"session_id":"s","socket_path":"p","auth_token":"t","readonly":false,"namedattr":true})"), SessionFileTrust::requirePrivate);
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
        session(R"({"session_id":"s","socket_path":"p","auth_token":"t","volume_name":"","extra":{"x":[1]}})"), SessionFileTrust::requirePrivate);
    ASSERT_TRUE(descriptor);
    EXPECT_EQ(descriptor.value()->volumeName(), "");
}

TEST_F(SessionDescriptorTest, ArrayRootIsInvalidArgument) {
    expectInvalid("[1,2]", "orvel: session json is invalid root object");
}

TEST_F(SessionDescriptorTest, ParseErrorsPassThroughInTheirOwnDomain) {
    for (const char* text : {"42", "not json", "", "{\"session_id\":"}) {
        capture.sink().clear();
        auto fields = BrindleSessionDescriptor::parsedFieldsAtURL(session(text), SessionFileTrust::requirePrivate);
        ASSERT_FALSE(fields) << text;
        EXPECT_EQ(fields.error().domain(), ErrorDomain::JsonParse) << text;
        EXPECT_TRUE(capture.sink().containsAt(logging::Level::Error, "orvel: session json is invalid root object"));
    }
}

// A hand-edited file is fixed where the message points.
TEST_F(SessionDescriptorTest, AMalformedFileIsRefusedWithTheLineAndColumnOfTheFault) {
    auto fields = BrindleSessionDescriptor::parsedFieldsAtURL(session(
        "{\n  \"session_id\": \"s\",\n  \"socket_path\": \"p\"\n  \"auth_token\": \"t\"\n}\n"), SessionFileTrust::requirePrivate);
    ASSERT_FALSE(fields);
    EXPECT_EQ(fields.error().domain(), ErrorDomain::JsonParse);
    EXPECT_NE(fields.error().message().value_or("").find("line 4, column 3"), std::string::npos)
        << fields.error().message().value_or("");
}

TEST_F(SessionDescriptorTest, ReadErrorsPassThroughInTheirOwnDomain) {
    auto fields = BrindleSessionDescriptor::parsedFieldsAtURL(URL::fileURLWithPath(dir.file("missing.json")), SessionFileTrust::requirePrivate);
    ASSERT_FALSE(fields);
    EXPECT_EQ(fields.error().domain(), ErrorDomain::FileRead);
    EXPECT_EQ(fields.error().code(), foundation::darwin::enoent);
    EXPECT_TRUE(capture.sink().containsAt(logging::Level::Error, "orvel: session read failed error=file-read error 2"));
}

TEST_F(SessionDescriptorTest, TheTokenIsNeverLogged) {
    ASSERT_TRUE(BrindleSessionDescriptor::initWithURL(session(kValid), SessionFileTrust::requirePrivate));
    expectInvalid(R"({"session_id":"s","socket_path":"","auth_token":"secret-token"})",
                  "orvel: session missing required keys");
    for (const auto& line : capture.sink().lines()) EXPECT_EQ(line.text.find("secret-token"), std::string::npos);
}

TEST_F(SessionDescriptorTest, ValidateReportsTheSameErrors) {
    EXPECT_FALSE(BrindleSessionDescriptor::validateURL(session(kValid), SessionFileTrust::requirePrivate));
    auto error = BrindleSessionDescriptor::validateURL(session("[]"), SessionFileTrust::requirePrivate);
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
        auto fields = BrindleSessionDescriptor::parsedFieldsAtURL(session(json), SessionFileTrust::requirePrivate);
        ASSERT_FALSE(fields) << json;
        EXPECT_TRUE(fields.error().isPosix(foundation::darwin::einval)) << json;
        EXPECT_EQ(fields.error().message(), message) << json;
    }
}

// A session file anyone else could have written or read is refused before a byte of it is believed,
// and the refusal says what to do; skipping the check reads it as before.
TEST_F(SessionDescriptorTest, OnlyASessionFilePrivateToItsReaderIsRead) {
    const URL readable = session(kValid);
    ::chmod(readable.path().c_str(), 0644);
    auto refused = BrindleSessionDescriptor::parsedFieldsAtURL(readable, SessionFileTrust::requirePrivate);
    ASSERT_FALSE(refused);
    EXPECT_TRUE(refused.error().isPosix(foundation::darwin::eacces));
    EXPECT_NE(refused.error().message().value_or("").find("mode 0644"), std::string::npos);
    EXPECT_NE(refused.error().message().value_or("").find("chmod 600 " + readable.path()), std::string::npos);
    EXPECT_TRUE(BrindleSessionDescriptor::parsedFieldsAtURL(readable, SessionFileTrust::skipCheck));

    ::chmod(readable.path().c_str(), 0610);
    EXPECT_FALSE(BrindleSessionDescriptor::parsedFieldsAtURL(readable, SessionFileTrust::requirePrivate));

    ::chmod(readable.path().c_str(), 0600);
    const std::string link = dir.file("link.json");
    ASSERT_EQ(::symlink(readable.path().c_str(), link.c_str()), 0);
    auto linked = BrindleSessionDescriptor::parsedFieldsAtURL(URL::fileURLWithPath(link), SessionFileTrust::requirePrivate);
    ASSERT_FALSE(linked);
    EXPECT_TRUE(linked.error().isPosix(foundation::darwin::eloop));
    EXPECT_TRUE(BrindleSessionDescriptor::parsedFieldsAtURL(URL::fileURLWithPath(link), SessionFileTrust::skipCheck));

    // Opened without waiting for a writer, and refused.
    const std::string fifo = dir.file("fifo.json");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto piped = BrindleSessionDescriptor::parsedFieldsAtURL(URL::fileURLWithPath(fifo), SessionFileTrust::requirePrivate);
    ASSERT_FALSE(piped);
    EXPECT_EQ(piped.error().message(), "it is a FIFO, not a regular file");

    if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
    ASSERT_EQ(::chown(readable.path().c_str(), 65534, 65534), 0);
    auto foreign = BrindleSessionDescriptor::parsedFieldsAtURL(readable, SessionFileTrust::requirePrivate);
    ASSERT_FALSE(foreign);
    EXPECT_TRUE(foreign.error().isPosix(foundation::darwin::eperm));
    EXPECT_NE(foreign.error().message().value_or("").find("uid 65534"), std::string::npos);
}
