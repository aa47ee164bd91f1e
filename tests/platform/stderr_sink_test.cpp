#include "platform/log/sinks.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// Points standard error at a file for the life of the object, as systemd points it at the journal.
class CapturedStderr {
public:
    explicit CapturedStderr(const std::string& path) : path_(path) {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(file, STDERR_FILENO);
        ::close(file);
    }
    ~CapturedStderr() { restore(); }
    // What was written, once standard error is back.
    std::string text() {
        restore();
        std::ifstream file(path_);
        std::stringstream contents;
        contents << file.rdbuf();
        return contents.str();
    }
    // The "DEVICE:INODE" by which JOURNAL_STREAM names the captured standard error.
    static std::string streamIdentity() {
        struct stat status {};
        ::fstat(STDERR_FILENO, &status);
        return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        saved_ = -1;
    }
    std::string path_;
    int saved_ = -1;
};

TEST(StderrSink, WritesPlainLinesToATerminalOrFile) {
    testsupport::TempDir directory;
    ::unsetenv("JOURNAL_STREAM");
    CapturedStderr captured(directory.file("stderr"));
    logging::StderrSink sink;
    sink.write(logging::Level::Error, "orvel: failed");
    EXPECT_EQ(captured.text(), "orvel: failed\n");
}

TEST(StderrSink, MarksEachLinesPriorityWhenTheJournalReadsStandardError) {
    testsupport::TempDir directory;
    CapturedStderr captured(directory.file("stderr"));
    ::setenv("JOURNAL_STREAM", CapturedStderr::streamIdentity().c_str(), 1);
    logging::StderrSink sink;
    ::unsetenv("JOURNAL_STREAM");
    sink.write(logging::Level::Error, "orvel: failed");
    sink.write(logging::Level::Default, "orvel: progress");
    sink.write(logging::Level::Debug, "orvel: detail");
    EXPECT_EQ(captured.text(), "<3>orvel: failed\n<5>orvel: progress\n<7>orvel: detail\n");
}

TEST(StderrSink, IgnoresAJournalStreamThatIsNotItsStandardError) {
    testsupport::TempDir directory;
    CapturedStderr captured(directory.file("stderr"));
    ::setenv("JOURNAL_STREAM", "1:2", 1);
    logging::StderrSink sink;
    ::unsetenv("JOURNAL_STREAM");
    sink.write(logging::Level::Error, "orvel: failed");
    EXPECT_EQ(captured.text(), "orvel: failed\n");
}

}  // namespace
