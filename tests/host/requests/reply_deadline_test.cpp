#include "host/fuse/requests/reply_deadline.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

using namespace brindle::host;
using namespace std::chrono_literals;

namespace {

class ExpiryRecorder {
public:
    ReplyDeadline::Expire expire(uint64_t token) {
        return [this, token] {
            std::lock_guard lock(mutex_);
            tokens_.push_back(token);
        };
    }
    std::vector<uint64_t> tokens() const {
        std::lock_guard lock(mutex_);
        return tokens_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<uint64_t> tokens_;
};

// Polls until `done` holds or two seconds pass.
template <typename Condition>
bool eventually(Condition done) {
    for (int i = 0; i < 200 && !done(); ++i) std::this_thread::sleep_for(10ms);
    return done();
}

}  // namespace

TEST(ReplyDeadline, AnAnswerInTimeIsGivenOnceAndNothingExpires) {
    ExpiryRecorder recorder;
    auto deadline = ReplyDeadline::create(10s, 10ms);
    auto pending = deadline->track(recorder.expire(7));
    int answers = 0;
    EXPECT_TRUE(pending->deliver([&] { ++answers; }));
    EXPECT_FALSE(pending->deliver([&] { ++answers; }));
    EXPECT_EQ(answers, 1);
    EXPECT_EQ(deadline->outstanding(), 0u);
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(recorder.tokens().empty());
}

TEST(ReplyDeadline, AnUnansweredRequestGetsTheErrorAndTheLateAnswerIsDropped) {
    ExpiryRecorder recorder;
    auto deadline = ReplyDeadline::create(20ms, 5ms);
    auto slow = deadline->track(recorder.expire(1));
    auto fast = deadline->track(recorder.expire(2));
    EXPECT_TRUE(fast->deliver([] {}));
    ASSERT_TRUE(eventually([&] { return slow->answered(); }));
    EXPECT_EQ(recorder.tokens(), std::vector<uint64_t>{1});
    bool late = false;
    EXPECT_FALSE(slow->deliver([&] { late = true; }));
    EXPECT_FALSE(late);
    EXPECT_EQ(deadline->outstanding(), 0u);
}

TEST(ReplyDeadline, EachExpiryIsLoggedAtTheDefaultLevel) {
    testsupport::LogCapture capture;
    ExpiryRecorder recorder;
    auto deadline = ReplyDeadline::create(20ms, 5ms);
    deadline->track(recorder.expire(1));
    deadline->track(recorder.expire(2));
    ASSERT_TRUE(eventually([&] { return recorder.tokens().size() == 2; }));
    deadline->close();
    size_t logged = 0;
    for (const auto& line : capture.sink().lines()) {
        if (line.level == logging::Level::Default &&
            line.text == "orvel: request failed after 0.02 s without an answer from the server")
            ++logged;
    }
    EXPECT_EQ(logged, 2u);
}

TEST(ReplyDeadline, ABoundOfZeroLetsRequestsWaitForEver) {
    ExpiryRecorder recorder;
    auto deadline = ReplyDeadline::create(0ms, 1ms);
    auto pending = deadline->track(recorder.expire(3));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(recorder.tokens().empty());
    EXPECT_TRUE(pending->deliver([] {}));
}

TEST(ReplyDeadline, ARequestWhoseCompletionWasDroppedStillExpires) {
    ExpiryRecorder recorder;
    auto deadline = ReplyDeadline::create(20ms, 5ms);
    deadline->track(recorder.expire(9));  // the caller lets go of it without ever answering
    ASSERT_TRUE(eventually([&] { return !recorder.tokens().empty(); }));
    EXPECT_EQ(recorder.tokens(), std::vector<uint64_t>{9});
}

TEST(ReplyDeadline, CloseSilencesEveryOutstandingAndLaterRequest) {
    ExpiryRecorder recorder;
    auto deadline = ReplyDeadline::create(20ms, 5ms);
    auto before = deadline->track(recorder.expire(1));
    deadline->close();
    auto after = deadline->track(recorder.expire(2));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(recorder.tokens().empty());
    EXPECT_FALSE(before->deliver([] { ADD_FAILURE() << "answered after close"; }));
    EXPECT_FALSE(after->deliver([] { ADD_FAILURE() << "answered after close"; }));
}

TEST(ReplyDeadline, RacingAnswerAndExpiryGiveExactlyOneAnswer) {
    std::atomic<int> expired{0};
    auto deadline = ReplyDeadline::create(1ms, 1ms);
    constexpr int count = 2000;
    std::atomic<int> delivered{0};
    std::vector<std::shared_ptr<PendingReply>> pendings;
    for (int i = 0; i < count; ++i) pendings.push_back(deadline->track([&] { ++expired; }));
    std::vector<std::thread> answerers;
    for (int t = 0; t < 2; ++t) {
        answerers.emplace_back([&, t] {
            for (int i = t; i < count; i += 2) {
                if (pendings[i]->deliver([] {})) ++delivered;
            }
        });
    }
    for (auto& thread : answerers) thread.join();
    ASSERT_TRUE(eventually([&] { return deadline->outstanding() == 0; }));
    deadline->close();
    EXPECT_EQ(delivered.load() + expired.load(), count);
}
