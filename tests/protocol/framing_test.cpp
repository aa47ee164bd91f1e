#include "platform/foundation/errno_table.h"
#include "protocol/framing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace brindle::framing;
namespace darwin = foundation::darwin;

namespace {

class FramingTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }
    void TearDown() override {
        if (fds[0] >= 0) ::close(fds[0]);
        if (fds[1] >= 0) ::close(fds[1]);
    }
    void closeWriter() {
        ::close(fds[0]);
        fds[0] = -1;
    }
    void sendRaw(const std::string& bytes) { ASSERT_FALSE(writeAllData(bytes, fds[0])); }
    static std::string header(uint32_t json, uint32_t payload) {
        std::string h(8, '\0');
        for (int i = 0; i < 4; ++i) {
            h[i] = static_cast<char>(json >> (24 - 8 * i));
            h[4 + i] = static_cast<char>(payload >> (24 - 8 * i));
        }
        return h;
    }

    static std::string rawFrame(const std::string& json, const std::string& payload) {
        return header(static_cast<uint32_t>(json.size()), static_cast<uint32_t>(payload.size())) + json + payload;
    }

    // A lookup that fails the test when the reader consults it.
    static std::shared_ptr<DirectReadSlot> refuseLookups(uint64_t requestID) {
        ADD_FAILURE() << "direct-read table consulted for request " << requestID;
        return nullptr;
    }

    int fds[2] = {-1, -1};
};

}  // namespace

TEST_F(FramingTest, AFrameWithoutPayloadIsHeaderAndJsonOnly) {
    const std::string json = R"({"method":"ping","request_id":1})";
    ASSERT_FALSE(writeFramedData(json, {}, fds[0]));
    closeWriter();
    std::string all(64, '\0');
    const ssize_t n = ::read(fds[1], all.data(), all.size());
    ASSERT_EQ(n, static_cast<ssize_t>(8 + json.size()));
    EXPECT_EQ(all.substr(0, 8), header(static_cast<uint32_t>(json.size()), 0));
    EXPECT_EQ(all.substr(8, json.size()), json);
}

TEST_F(FramingTest, FramesRoundTripWithPayload) {
    const std::string payload(100000, 'p');
    std::thread writer([&] { EXPECT_FALSE(writeFramedData(R"({"request_id":3,"ok":true})", payload, fds[0])); });
    auto frame = readFramedMessage(fds[1], nullptr);
    writer.join();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame.value().response.at("request_id").as_int64(), 3);
    ASSERT_TRUE(frame.value().payload);
    EXPECT_EQ(*frame.value().payload, payload);
}

TEST_F(FramingTest, ReceiveLimitCoversTheWholeBody) {
    // Exactly 16 MiB of JSON is accepted: only the header is judged here, so the read then
    // fails for want of bytes rather than on the limit.
    sendRaw(header(16777216, 0));
    closeWriter();
    auto atLimit = readFramedMessage(fds[1], nullptr);
    ASSERT_FALSE(atLimit);
    EXPECT_TRUE(atLimit.error().isPosix(darwin::econnreset));
}

TEST_F(FramingTest, OversizedFramesAreRefusedBeforeReadingTheBody) {
    for (auto [json, payload] : {std::pair{16777217u, 0u}, std::pair{100u, 16777117u}, std::pair{0u, 16777217u},
                                 std::pair{0xFFFFFFFFu, 0xFFFFFFFFu}}) {
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        ASSERT_FALSE(writeAllData(header(json, payload), pair[0]));
        auto frame = readFramedMessage(pair[1], nullptr);
        ASSERT_FALSE(frame);
        EXPECT_TRUE(frame.error().isPosix(darwin::emsgsize)) << json << "+" << payload;
        ::close(pair[0]);
        ::close(pair[1]);
    }
}

TEST_F(FramingTest, PeerClosingMidHeaderIsConnectionReset) {
    sendRaw(std::string("\0\0\0", 3));
    closeWriter();
    auto frame = readFramedMessage(fds[1], nullptr);
    ASSERT_FALSE(frame);
    EXPECT_TRUE(frame.error().isPosix(darwin::econnreset));
}

TEST_F(FramingTest, JsonThatIsNotAnObjectIsRefusedAndTheFrameConsumedWhole) {
    sendRaw(header(5, 3) + "[1,2]" + "abc");
    auto array = readFramedMessage(fds[1], refuseLookups);
    ASSERT_FALSE(array);
    EXPECT_TRUE(array.error().isPosix(darwin::einval));

    sendRaw(header(2, 2) + "42" + "pp");
    auto scalar = readFramedMessage(fds[1], refuseLookups);
    ASSERT_FALSE(scalar);
    EXPECT_EQ(scalar.error().domain(), foundation::ErrorDomain::JsonParse);

    sendRaw(header(0, 0));
    auto empty = readFramedMessage(fds[1], nullptr);
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error().domain(), foundation::ErrorDomain::JsonParse);

    sendRaw(rawFrame(R"({"request_id":5})", ""));
    auto next = readFramedMessage(fds[1], nullptr);
    ASSERT_TRUE(next);
    EXPECT_EQ(next.value().response.at("request_id").as_int64(), 5);
}

TEST_F(FramingTest, AnUnreadableReplyThatNamesItsRequestIsHandedOnWithItsError) {
    const std::string invalidUTF8 = "{\"ok\":true,\"name\":\"a\xFF\",\"request_id\":12}";
    sendRaw(rawFrame(invalidUTF8, "payload"));
    auto frame = readFramedMessage(fds[1], refuseLookups);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame.value().response, (boost::json::object{{"request_id", 12u}}));
    ASSERT_TRUE(frame.value().unreadable);
    EXPECT_TRUE(frame.value().unreadable->isPosix(darwin::eilseq));
    EXPECT_FALSE(frame.value().payload);

    sendRaw(rawFrame(R"({"request_id":13,"ok":tru})", ""));
    frame = readFramedMessage(fds[1], refuseLookups);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame.value().response.at("request_id").as_uint64(), 13u);
    ASSERT_TRUE(frame.value().unreadable);
    EXPECT_TRUE(frame.value().unreadable->isPosix(darwin::eio));

    sendRaw(rawFrame(R"({"request_id":14})", "after"));
    frame = readFramedMessage(fds[1], nullptr);
    ASSERT_TRUE(frame);
    EXPECT_FALSE(frame.value().unreadable);
    EXPECT_EQ(*frame.value().payload, "after");
}

TEST_F(FramingTest, AnIdThatCannotBeToldApartFromTheFaultFailsTheRead) {
    // Each names "request_id" only where a reader could mistake it for the reply's own.
    for (const std::string& json : {std::string(R"({"ok":tru,"request_id":1})"),                  // after the fault
                                   std::string(R"({"inner":{"request_id":1},"x":tru})"),         // nested
                                   std::string("{\"note\":\"\\\"request_id\\\":1\xFF\"}"),  // inside a string
                                   std::string("{\"request_id\":\"1\",\"x\":\"\xFF\"}"),      // not a number
                                   std::string(R"([{"request_id":1},)")}) {
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        ASSERT_FALSE(writeAllData(rawFrame(json, "pp"), pair[0]));
        auto frame = readFramedMessage(pair[1], refuseLookups);
        ASSERT_FALSE(frame) << json;
        EXPECT_EQ(frame.error().domain(), foundation::ErrorDomain::JsonParse) << json;
        ::close(pair[0]);
        ::close(pair[1]);
    }
}

TEST_F(FramingTest, DirectReadFillsTheBufferDrainsTheRestAndTheNextFrameIsIntact) {
    auto slot = std::make_shared<DirectReadSlot>();
    std::string buffer(4096, '\0');
    slot->buffer = buffer.data();
    slot->capacity = buffer.size();
    uint64_t askedFor = 0;
    DirectReadLookup lookup = [&](uint64_t id) {
        askedFor = id;
        return slot;
    };

    std::string payload(50000, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
    std::thread writer([&] {
        EXPECT_FALSE(writeFramedData(R"({"request_id":9,"ok":true,"payload_length":1})", payload, fds[0]));
        EXPECT_FALSE(writeFramedData(R"({"request_id":10})", "next", fds[0]));
    });
    auto frame = readFramedMessage(fds[1], lookup);
    ASSERT_TRUE(frame);
    EXPECT_EQ(askedFor, 9u);
    EXPECT_FALSE(frame.value().payload);
    EXPECT_EQ(frame.value().response.at("payload_length").as_uint64(), 4096u);
    EXPECT_EQ(buffer, payload.substr(0, 4096));

    auto next = readFramedMessage(fds[1], nullptr);
    writer.join();
    ASSERT_TRUE(next);
    EXPECT_EQ(*next.value().payload, "next");
}

TEST_F(FramingTest, DirectReadWithZeroCapacityDrainsEverything) {
    auto slot = std::make_shared<DirectReadSlot>();
    char byte = 'u';
    slot->buffer = &byte;
    slot->capacity = 0;
    std::thread writer([&] { EXPECT_FALSE(writeFramedData(R"({"request_id":1})", std::string(70000, 'z'), fds[0])); });
    auto frame = readFramedMessage(fds[1], [&](uint64_t) { return slot; });
    writer.join();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame.value().response.at("payload_length").as_uint64(), 0u);
    EXPECT_EQ(byte, 'u');
}

TEST_F(FramingTest, ACompletedDirectReadNeverHasItsBufferWritten) {
    auto slot = std::make_shared<DirectReadSlot>();
    std::string buffer(16, '.');
    slot->buffer = buffer.data();
    slot->capacity = buffer.size();
    slot->markCompleted();
    sendRaw(rawFrame(R"({"request_id":4})", "xxxxxxxx"));
    auto frame = readFramedMessage(fds[1], [&](uint64_t) { return slot; });
    ASSERT_TRUE(frame);
    EXPECT_EQ(buffer, std::string(16, '.'));
}

TEST_F(FramingTest, ReplyWithoutPayloadNeverConsultsTheDirectReadTable) {
    sendRaw(rawFrame(R"({"request_id":77})", ""));
    auto frame = readFramedMessage(fds[1], refuseLookups);
    ASSERT_TRUE(frame);
    EXPECT_FALSE(frame.value().response.contains("payload_length"));
    ASSERT_TRUE(frame.value().payload);
    EXPECT_TRUE(frame.value().payload->empty());
}

TEST_F(FramingTest, AServersOwnPayloadLengthNeverPassesForBytesPlaced) {
    // Taken at its word, the reader's caller would hand on bytes its buffer never received.
    sendRaw(rawFrame(R"({"request_id":78,"ok":true,"payload_length":4096})", ""));
    auto frame = readFramedMessage(fds[1], refuseLookups);
    ASSERT_TRUE(frame);
    EXPECT_FALSE(frame.value().response.contains("payload_length"));
    EXPECT_TRUE(frame.value().response.contains("ok"));

    sendRaw(rawFrame(R"({"request_id":79,"payload_length":9})", "abc"));
    frame = readFramedMessage(fds[1], [](uint64_t) { return std::shared_ptr<DirectReadSlot>(); });
    ASSERT_TRUE(frame);
    EXPECT_FALSE(frame.value().response.contains("payload_length")) << "no buffer took the bytes";
    EXPECT_EQ(*frame.value().payload, "abc");
}

TEST_F(FramingTest, ReplyWithoutNumericRequestIdIsReadWhole) {
    sendRaw(rawFrame(R"({"request_id":"abc"})", "pp"));
    auto frame = readFramedMessage(fds[1], refuseLookups);
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame.value().payload, "pp");
}

TEST_F(FramingTest, WritingToAVanishedPeerIsEpipeNotASignal) {
    ::close(fds[1]);
    fds[1] = -1;
    auto error = writeFramedData("{}", "data", fds[0]);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->isPosix(darwin::epipe));
}

TEST_F(FramingTest, LargeFramesSurviveShortWrites) {
    int size = 4096;
    ASSERT_EQ(::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size), 0);
    const std::string payload(3 * 1024 * 1024 + 17, 'q');
    std::thread writer([&] { EXPECT_FALSE(writeFramedData(R"({"request_id":2})", payload, fds[0])); });
    auto frame = readFramedMessage(fds[1], nullptr);
    writer.join();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame.value().payload->size(), payload.size());
    EXPECT_EQ(*frame.value().payload, payload);
}

TEST_F(FramingTest, ABufferedReaderKeepsFramesApartWhereverTheyCrossItsBuffer) {
    // Frames written at once arrive in one read; a buffer of 48 bytes splits every kind of frame
    // somewhere: header, JSON, a skipped body, a direct read's placed and drained parts.
    std::string placed(60, '\0');
    auto slot = std::make_shared<DirectReadSlot>();
    slot->buffer = placed.data();
    slot->capacity = placed.size();
    const DirectReadLookup lookup = [&](uint64_t id) { return id == 3 ? slot : nullptr; };
    std::string direct(100, '\0');
    for (size_t i = 0; i < direct.size(); ++i) direct[i] = static_cast<char>('a' + i % 26);
    const std::string large(70000, 'L');
    for (const size_t bufferSize : {size_t{48}, FrameReader::kBufferSize}) {
        SCOPED_TRACE(bufferSize);
        std::fill(placed.begin(), placed.end(), '\0');
        std::thread writer([&] {
            sendRaw(rawFrame(R"({"request_id":1,"ok":true})", "") + rawFrame(R"({"request_id":2,"ok":)", "skipped bytes") +
                    rawFrame(R"({"request_id":3,"ok":true})", direct) + rawFrame(R"({"request_id":4})", large) +
                    rawFrame(R"({"request_id":5})", "tail"));
        });
        FrameReader reader(fds[1], bufferSize);
        auto first = reader.next(lookup);
        auto unreadable = reader.next(lookup);
        auto directRead = reader.next(lookup);
        auto largeFrame = reader.next(lookup);
        auto last = reader.next(lookup);
        writer.join();
        ASSERT_TRUE(first && unreadable && directRead && largeFrame && last);
        EXPECT_EQ(first.value().response.at("request_id"), 1);
        EXPECT_TRUE(unreadable.value().unreadable);
        EXPECT_EQ(unreadable.value().response.at("request_id"), 2u);
        EXPECT_EQ(directRead.value().response.at("payload_length").as_uint64(), placed.size());
        EXPECT_EQ(placed, direct.substr(0, placed.size()));
        EXPECT_EQ(largeFrame.value().payload, large);
        EXPECT_EQ(last.value().payload, std::optional<std::string>("tail"));
    }
}

TEST_F(FramingTest, AnUnreadableReplyReadInPlaceIsToldApartBeforeItsPayloadRefillsTheBuffer) {
    // The JSON fits the 48-byte buffer and is read where it lies; the payload runs past the buffer,
    // so skipping it refills the buffer over the text.
    sendRaw(rawFrame(R"({"request_id":9,"ok":})", std::string(40, 'x')) + rawFrame(R"({"request_id":10})", ""));
    FrameReader reader(fds[1], 48);
    auto unreadable = reader.next(refuseLookups);
    auto next = reader.next(refuseLookups);
    ASSERT_TRUE(unreadable && next);
    ASSERT_TRUE(unreadable.value().unreadable);
    EXPECT_EQ(unreadable.value().response.at("request_id").as_uint64(), 9u);
    EXPECT_EQ(next.value().response.at("request_id"), 10);
}

namespace {

// Voluntary context switches of one thread of this process so far.
long voluntarySwitches(pid_t thread) {
    std::ifstream status("/proc/self/task/" + std::to_string(thread) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("voluntary_ctxt_switches:")) return std::stol(line.substr(line.find(':') + 1));
    }
    return -1;
}

}  // namespace

TEST_F(FramingTest, AReaderWaitingForDataSleepsThroughThePeerTakingWhatItSent) {
    // fds[1] sent a request that fds[0] has not read yet; a reader of fds[1] waits for the reply.
    ASSERT_EQ(::write(fds[1], "request", 7), 7);
    std::atomic<pid_t> readerThread{0};
    std::string received(16, '\0');
    foundation::Result<size_t> got = size_t{0};
    std::thread reader([&] {
        readerThread = static_cast<pid_t>(::gettid());
        got = readAvailable(fds[1], received.data(), received.size());
    });
    while (readerThread.load() == 0) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long before = voluntarySwitches(readerThread);
    char request[7];
    ASSERT_EQ(::read(fds[0], request, sizeof request), 7);  // room in fds[1]'s send buffer again
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long after = voluntarySwitches(readerThread);
    ASSERT_EQ(::write(fds[0], "reply", 5), 5);
    reader.join();
    EXPECT_EQ(after, before) << "the reader woke when its peer took the request";
    ASSERT_TRUE(got);
    EXPECT_EQ(received.substr(0, got.value()), "reply");
}
