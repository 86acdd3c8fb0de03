// The log file when the system stops taking its lines (a full disk, a file
// size limit), and when other logs write it too. A file size limit
// (RLIMIT_FSIZE) cuts a write short at the very byte it is set to, as a full
// disk does at a page boundary: the cuts land where each case wants them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "LogCapture.hpp"
#include "TemporaryFolder.hpp"
#include "log/FileSink.hpp"
#include "log/LineFile.hpp"

namespace {

using QuorvaneTest::contents;
using QuorvaneTest::LogLine;
using QuorvaneTest::TemporaryFolder;

// Files this process writes may not grow past a size while it lives.
// SIGXFSZ is ignored, as the JVM ignores it: a write past the limit fails
// with EFBIG, after a write that crosses it has stopped at it.
class FileSizeLimit {
public:
    explicit FileSizeLimit(std::size_t bytes) {
        ::signal(SIGXFSZ, SIG_IGN);
        set_ = ::getrlimit(RLIMIT_FSIZE, &previous_) == 0;
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        set_ = set_ && ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &previous_); }
    bool set() const { return set_; }

private:
    rlimit previous_{};
    bool set_ = false;
};

// Lines are logged at second n after a fixed moment, so that the line about
// lost lines has known times to name.
constexpr std::time_t moment = 1796000000;

std::string localTime(int second) {
    const std::time_t time = moment + second;
    std::tm local{};
    ::localtime_r(&time, &local);
    char text[32];
    return std::string(text, std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local));
}

void logAt(spdlog::sinks::sink& sink, int second, const std::string& text) {
    sink.log(spdlog::details::log_msg(spdlog::log_clock::from_time_t(moment + second), spdlog::source_loc{}, "app",
                                      spdlog::level::info, text));
}

// Whether the sink took the line and flush without a failure (it throws
// spdlog_ex, which the logger would hand to its error handler).
bool logged(spdlog::sinks::sink& sink, int second, const std::string& text, bool flush = true) {
    try {
        logAt(sink, second, text);
        if (flush) {
            sink.flush();
        }
        return true;
    } catch (const spdlog::spdlog_ex&) {
        return false;
    }
}

bool flushed(spdlog::sinks::sink& sink) {
    try {
        sink.flush();
        return true;
    } catch (const spdlog::spdlog_ex&) {
        return false;
    }
}

std::string numberedLine(int i) {
    return fmt::format("{:04} {}", i, std::string(static_cast<std::size_t>(20 + i * 37 % 90), 'x'));
}

std::string lostLine(const std::string& file, int lines, int first, int last) {
    if (lines == 1) {
        return "[Quorvane] Log file " + file + " takes lines again: 1 line lost, logged at " + localTime(first);
    }
    return fmt::format("[Quorvane] Log file {} takes lines again: {} lines lost, logged between {} and {}", file, lines,
                       localTime(first), localTime(last));
}

// While the limit lasts the file holds whole lines only: a line the limit cut
// short is taken back, the lines after it are lost. The first write once the
// limit is gone says how many were lost and when they were logged, in the
// file before its own line and on the report sink. A block's lost lines are
// dated by the whole block (its first line's time may be that of a line that
// reached the file).
TEST(LineFileSink, ACutLineIsTakenBackAndTheLostLinesAreCounted) {
    struct Row {
        const char* what;
        std::size_t blockSize;  // 0: flushed line by line
        bool roomForLine3;      // the limit falls at line 3's end, else 20 bytes into it
        int lost;
        int firstLost;  // the seconds the line names
    };
    const Row rows[] = {
        {"line by line, line 3 cut", 0, false, 7, 3},
        {"line by line, line 3 fits exactly", 0, true, 6, 4},
        {"buffered, line 3 cut", 1024, false, 7, 3},
        {"buffered, line 3 fits exactly", 1024, true, 6, 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TemporaryFolder folder;
        ASSERT_TRUE(folder.made());
        const std::string name = folder / "app.log";
        auto report = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(10);
        std::string error;
        const spdlog::sink_ptr sink = Logger::openFile({name, 0, 1, row.blockSize, report}, error);
        ASSERT_NE(sink, nullptr) << error;
        sink->set_pattern("%v");
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(logged(*sink, i, numberedLine(i)));
        }
        const std::string before = contents(name);
        const std::string line3 = numberedLine(3) + "\n";
        const bool lineByLine = row.blockSize == 0;
        {
            FileSizeLimit limit(before.size() + (row.roomForLine3 ? line3.size() : 20));
            ASSERT_TRUE(limit.set());
            int failures = 0;
            for (int i = 3; i < 10; ++i) {
                failures += logged(*sink, i, numberedLine(i), lineByLine) ? 0 : 1;
            }
            if (!lineByLine) {
                failures += flushed(*sink) ? 0 : 1;
            }
            EXPECT_GT(failures, 0);
            EXPECT_EQ(contents(name), before + (row.roomForLine3 ? line3 : ""));
        }
        ASSERT_TRUE(logged(*sink, 10, "after"));
        const std::string lost = lostLine(name, row.lost, row.firstLost, 9);
        EXPECT_EQ(contents(name), before + (row.roomForLine3 ? line3 : "") + lost + "\nafter\n");
        EXPECT_EQ(QuorvaneTest::linesOf(*report), (std::vector<LogLine>{{spdlog::level::warn, lost}}));
    }
}

// When another log holds the file too (here a second copy of the library in
// this process), a cut line is never taken back: what follows it could be the
// other log's. Its end goes in first once writing works again, when the file
// still ends with its start; when the other log wrote after it, the end is
// given up and the line counted as lost, never written after another line.
TEST(LineFileSink, ACutLineInAFileAnotherLogHoldsIsCompletedOrGivenUp) {
    for (const bool otherWritesFirst : {false, true}) {
        SCOPED_TRACE(otherWritesFirst ? "the other log wrote after it" : "nothing after it");
        TemporaryFolder folder;
        ASSERT_TRUE(folder.made());
        const std::string name = folder / "app.log";
        std::string error;
        const spdlog::sink_ptr sink = Logger::openFile({name}, error);
        ASSERT_NE(sink, nullptr) << error;
        const spdlog::sink_ptr other = Logger::openFile({name}, error);  // appends: this process has it open
        ASSERT_NE(other, nullptr) << error;
        sink->set_pattern("%v");
        other->set_pattern("%v");
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(logged(*sink, i, numberedLine(i)));
        }
        const std::string before = contents(name);
        const std::string line3 = numberedLine(3);
        {
            FileSizeLimit limit(before.size() + 20);
            ASSERT_TRUE(limit.set());
            EXPECT_FALSE(logged(*sink, 3, line3));
            EXPECT_EQ(contents(name), before + line3.substr(0, 20));
            EXPECT_FALSE(logged(*sink, 4, numberedLine(4)));
        }
        if (otherWritesFirst) {
            ASSERT_TRUE(logged(*other, 5, "the other log's line"));
        }
        ASSERT_TRUE(logged(*sink, 6, "after"));
        if (otherWritesFirst) {
            EXPECT_EQ(contents(name),
                      before + line3.substr(0, 20) + "the other log's line\n" + lostLine(name, 2, 3, 4) + "\nafter\n");
        } else {
            EXPECT_EQ(contents(name), before + line3 + "\n" + lostLine(name, 1, 4, 4) + "\nafter\n");
        }
    }
}

// A process that holds the file the way every log holds its file (a shared
// open file description lock), standing in for another JVM in the same
// folder: a log that starts leaves that file as it is and writes one beside
// it, which a second log of this process then appends to. Once the other
// process has ended, the next start empties the file again.
TEST(OpenFile, AFileAnotherProcessHoldsIsLeftAloneForOneBesideIt) {
    TemporaryFolder folder;
    ASSERT_TRUE(folder.made());
    const std::string name = folder / "app.log";
    const std::string beside = folder / "app-2.log";
    QuorvaneTest::writeFile(name, "the other process's line\n");
    int ready[2];
    int release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const char* path = name.c_str();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only async-signal-safe calls after a fork.
        const int fd = ::open(path, O_RDWR | O_APPEND);
        struct flock range {};
        range.l_type = F_RDLCK;
        range.l_whence = SEEK_SET;
        char held = fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &range) == 0 ? 'y' : 'n';
        (void)!::write(ready[1], &held, 1);
        (void)!::read(release[0], &held, 1);
        ::_exit(0);
    }
    char held = 0;
    ASSERT_EQ(::read(ready[0], &held, 1), 1);
    ASSERT_EQ(held, 'y');

    std::string error;
    const spdlog::sink_ptr first = Logger::openFile({name}, error);
    ASSERT_NE(first, nullptr) << error;
    const spdlog::sink_ptr second = Logger::openFile({name}, error);
    ASSERT_NE(second, nullptr) << error;
    for (const auto& [sink, text] : {std::pair{first, "first"}, std::pair{second, "second"}}) {
        sink->set_pattern("%v");
        EXPECT_TRUE(logged(*sink, 0, text));
    }
    EXPECT_EQ(contents(name), "the other process's line\n");
    EXPECT_EQ(contents(beside), "first\nsecond\n");
    EXPECT_EQ(Logger::describeFile({name}, first), "file " + beside);
    EXPECT_EQ(Logger::standsIn(first), beside);

    ASSERT_EQ(::write(release[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    const spdlog::sink_ptr third = Logger::openFile({name}, error);
    ASSERT_NE(third, nullptr) << error;
    EXPECT_EQ(contents(name), "");
    EXPECT_EQ(Logger::standsIn(third), "");
    for (const int fd : {ready[0], ready[1], release[0], release[1]}) {
        ::close(fd);
    }
}

// A link that points nowhere is followed, as the JDK's own file output
// follows it: the file it names is created when its folder exists; when the
// folder does not, the file cannot be opened (and the folder is not made).
TEST(OpenFile, ADanglingLinkIsFollowedWhenItsFolderExists) {
    TemporaryFolder folder;
    ASSERT_TRUE(folder.made());
    ASSERT_EQ(::symlink("target.log", (folder / "link.log").c_str()), 0);
    ASSERT_EQ(::symlink("missing/target.log", (folder / "broken.log").c_str()), 0);
    std::string error;
    const spdlog::sink_ptr sink = Logger::openFile({folder / "link.log"}, error);
    ASSERT_NE(sink, nullptr) << error;
    sink->set_pattern("%v");
    EXPECT_TRUE(logged(*sink, 0, "line"));
    EXPECT_EQ(contents(folder / "target.log"), "line\n");
    struct stat link {};
    ASSERT_EQ(::lstat((folder / "link.log").c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));

    EXPECT_EQ(Logger::openFile({folder / "broken.log"}, error), nullptr);
    EXPECT_EQ(error, "Failed opening file " + (folder / "broken.log") + " for writing: No such file or directory");
    EXPECT_NE(::access((folder / "missing").c_str(), F_OK), 0);
}

}  // namespace
