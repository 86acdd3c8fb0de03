// The log file's parts without a JVM and without Logger::init: which failures
// get a line, the handler on a file whose every write fails, what opening does
// to a file that is there already, the flusher of buffered lines, rotation
// when it cannot rename, and blocks of whole lines.
#include <gtest/gtest.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.hpp"
#include "log/FileErrors.hpp"
#include "log/FileSink.hpp"
#include "log/Flusher.hpp"
#include "log/LineFile.hpp"
#include "log/Rotation.hpp"

namespace {

using QuorvaneTest::LogLine;
using std::chrono::milliseconds;
using std::chrono::seconds;

// A fresh folder under the system's temporary one, removed with its files.
class TemporaryFolder {
public:
    TemporaryFolder() {
        char name[] = "/tmp/quorvane-log-test-XXXXXX";
        path_ = ::mkdtemp(name) != nullptr ? name : "";
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    ~TemporaryFolder() {
        if (!path_.empty()) {
            std::system(("rm -rf '" + path_ + "'").c_str());
        }
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    bool made() const { return !path_.empty(); }

private:
    std::string path_;
};

std::string contents(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool exists(const std::string& path) {
    struct stat file {};
    return ::lstat(path.c_str(), &file) == 0;
}

void write(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

TEST(FileErrorCount, ReportsTheFirstAtOnceThenAtMostALineAMinuteWithTheCount) {
    struct Step {
        milliseconds at;
        std::uint64_t line;  // failures the line stands for, 0 for no line
    };
    const std::vector<Step> steps = {
        {milliseconds(0), 1},       // the first, at once
        {milliseconds(1), 0},       // then counted
        {milliseconds(30000), 0},   //
        {milliseconds(59999), 0},   //
        {milliseconds(60000), 4},   // a minute on: itself and the three counted
        {milliseconds(60001), 0},   //
        {milliseconds(119999), 0},  //
        {milliseconds(500000), 3},  // long after: the next failure reports at once
        {milliseconds(500001), 0},
    };
    const auto start = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    Logger::FileErrorCount count;
    for (const Step& step : steps) {
        EXPECT_EQ(count.failed(start + step.at), step.line) << "failure at " << step.at.count() << " ms";
    }
}

// A file that opens and never takes a byte, written by four threads at once:
// one report line, in the library's words, on the report sink; every line
// still reaches the logger's other sink; spdlog's own report never shows.
TEST(FileErrors, OneLineForAFileWhoseEveryWriteFails) {
    auto full = std::make_shared<spdlog::sinks::basic_file_sink_mt>("/dev/full", false);
    auto other = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(2000);
    auto report = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(100);
    spdlog::logger logger("app", {full, other});
    logger.set_level(spdlog::level::trace);
    logger.flush_on(spdlog::level::trace);
    logger.set_error_handler(Logger::fileErrorHandler(report));

    constexpr int threads = 4;
    constexpr int lines_each = 250;
    testing::internal::CaptureStderr();
    std::vector<std::thread> writers;
    writers.reserve(threads);
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&logger, t] {
            for (int i = 0; i < lines_each; ++i) {
                logger.info("[Quorvane] line {} of thread {}", i, t);
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    const std::string standardError = testing::internal::GetCapturedStderr();

    const std::vector<LogLine> expected = {
        {spdlog::level::err,
         "[Quorvane] Log file error, lines may be lost: Failed flush to file /dev/full: No space left on device"}};
    EXPECT_EQ(QuorvaneTest::linesOf(*report), expected);
    EXPECT_EQ(QuorvaneTest::linesOf(*other).size(), static_cast<std::size_t>(threads * lines_each));
    EXPECT_EQ(standardError, "");
}

// What opening does to a file of that name that is there already, seen in
// what the file holds after one line more.
TEST(OpenFile, WhatBecomesOfAnExistingFile) {
    struct Case {
        const char* what;
        std::size_t maxSize;
        bool openElsewhere;  // another copy of the library has it open
        const char* afterwards;
        const char* rotatedAway;  // what app.1.log holds, or null for no such file
        const char* described;
    };
    const std::vector<Case> cases = {
        {"no rotation: emptied", 0, false, "new\n", nullptr, "file %s"},
        {"no rotation, open elsewhere: appended to", 0, true, "previous\nnew\n", nullptr, "file %s"},
        {"rotation: rotated away", 4096, false, "new\n", "previous\n", "file %s (rotated at 4096 bytes, 3 files kept)"},
        {"rotation, open elsewhere: appended to", 4096, true, "previous\nnew\n", nullptr,
         "file %s (rotated at 4096 bytes, 3 files kept)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TemporaryFolder folder;
        ASSERT_TRUE(folder.made());
        const std::string name = folder / "app.log";
        write(name, "previous\n");
        std::FILE* elsewhere = c.openElsewhere ? std::fopen(name.c_str(), "a") : nullptr;

        std::string error;
        const spdlog::sink_ptr sink = Logger::openFile({name, c.maxSize, 3}, error);
        ASSERT_NE(sink, nullptr) << error;
        sink->set_pattern("%v");
        sink->log(spdlog::details::log_msg("app", spdlog::level::info, "new"));
        sink->flush();
        EXPECT_EQ(contents(name), c.afterwards);
        EXPECT_EQ(exists(folder / "app.1.log"), c.rotatedAway != nullptr);
        if (c.rotatedAway != nullptr) {
            EXPECT_EQ(contents(folder / "app.1.log"), c.rotatedAway);
        }
        char described[512];
        std::snprintf(described, sizeof described, c.described, name.c_str());
        EXPECT_EQ(Logger::describeFile({name, c.maxSize, 3}, sink), described);
        if (elsewhere != nullptr) {
            std::fclose(elsewhere);
        }
    }
}

// Rotation renames the file; a link is left a link, written as without rotation.
TEST(OpenFile, NeverRotatesALink) {
    TemporaryFolder folder;
    ASSERT_TRUE(folder.made());
    write(folder / "target.log", "previous\n");
    ASSERT_EQ(::symlink("target.log", (folder / "app.log").c_str()), 0);
    std::string error;
    const spdlog::sink_ptr sink = Logger::openFile({folder / "app.log", 4096, 3}, error);
    ASSERT_NE(sink, nullptr) << error;
    struct stat link {};
    ASSERT_EQ(::lstat((folder / "app.log").c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    EXPECT_FALSE(exists(folder / "app.1.log"));
    EXPECT_EQ(Logger::describeFile({folder / "app.log", 4096, 3}, sink), "file " + (folder / "app.log"));
}

TEST(OpenFile, AMissingFolderIsAnErrorAndIsNotCreated) {
    TemporaryFolder folder;
    ASSERT_TRUE(folder.made());
    for (const std::size_t maxSize : {std::size_t{0}, std::size_t{4096}}) {
        std::string error;
        EXPECT_EQ(Logger::openFile({folder / "no/such/app.log", maxSize, 3}, error), nullptr);
        EXPECT_EQ(error, "its folder " + (folder / "no/such") + " does not exist");
        EXPECT_FALSE(exists(folder / "no"));
    }
}

// Buffered lines are written in blocks of the size asked for, by each stream
// the sink opens: rotation closes one and opens the next on the same block.
// No line is lost or cut across the files.
TEST(OpenFile, WritesInBlocksOfTheSizeAskedFor) {
    for (const std::size_t maxSize : {std::size_t{0}, std::size_t{16} * 1024}) {
        SCOPED_TRACE(maxSize == 0 ? "one file" : "rotated");
        TemporaryFolder folder;
        ASSERT_TRUE(folder.made());
        std::string error;
        const spdlog::sink_ptr sink =
            Logger::openFile({folder / "app.log", maxSize, 10, std::size_t{64} * 1024}, error);
        ASSERT_NE(sink, nullptr) << error;
        sink->set_pattern("%v");
        const std::string filler(90, 'x');
        constexpr int lines = 400;  // 40,000 bytes: below a block, above the limit
        for (int i = 0; i < lines; ++i) {
            const std::string text = fmt::format("{:04} {}", i, filler);
            sink->log(spdlog::details::log_msg("app", spdlog::level::info, text));
        }
        // The open stream's block is not written yet (a rotation flushes what came before it).
        const std::string unflushed = contents(folder / "app.log");
        EXPECT_LT(unflushed.size(), static_cast<std::size_t>(lines) * 96 / 2);
        sink->flush();

        std::string all;
        for (int index = 10; index >= 0; --index) {
            const std::string name = folder / (index == 0 ? "app.log" : fmt::format("app.{}.log", index));
            if (exists(name)) {
                const std::string text = contents(name);
                EXPECT_TRUE(text.empty() || text.back() == '\n') << name << " ends in the middle of a line";
                EXPECT_LE(text.size(), maxSize == 0 ? text.size() : maxSize) << name;
                all += text;
            }
        }
        std::string expected;
        for (int i = 0; i < lines; ++i) {
            expected += fmt::format("{:04} {}\n", i, filler);
        }
        EXPECT_EQ(all, expected);
        EXPECT_EQ(exists(folder / "app.1.log"), maxSize != 0);
    }
}

// Lines written without a flush reach the file within about a second; a
// generous bound, since the machine may be busy.
TEST(Flusher, BringsBufferedLinesToTheFile) {
    TemporaryFolder folder;
    ASSERT_TRUE(folder.made());
    const std::string name = folder / "app.log";
    auto file = std::make_shared<spdlog::sinks::basic_file_sink_mt>(name, true);
    file->log(spdlog::details::log_msg("app", spdlog::level::info, "[Quorvane] before the flusher"));
    EXPECT_EQ(contents(name), "");
    auto report = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(10);
    ASSERT_TRUE(Logger::flushEverySecond(file, Logger::fileErrorHandler(report)));

    const auto deadline = std::chrono::steady_clock::now() + seconds(20);
    while (contents(name).empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_NE(contents(name).find("[Quorvane] before the flusher\n"), std::string::npos) << contents(name);
    EXPECT_TRUE(QuorvaneTest::linesOf(*report).empty());
}

// Which files a rotation moves: as far as the first free place, no further,
// and nothing at all when a rename fails, with that rename and its reason.
TEST(RotateFiles, MovesUpToTheFirstFreePlaceAndStopsAtTheFirstFailure) {
    struct Case {
        const char* what;
        std::map<std::string, std::string> before;  // name -> text; "/" for a folder holding a file
        std::size_t maxFiles;
        std::map<std::string, std::string> after;
        std::optional<Logger::RotationFailure> failure;  // names relative to the folder
    };
    const std::vector<Case> cases = {
        {"one place up each",
         {{"app.log", "0"}, {"app.1.log", "1"}},
         3,
         {{"app.1.log", "0"}, {"app.2.log", "1"}},
         std::nullopt},
        {"a gap stops it",
         {{"app.log", "0"}, {"app.2.log", "2"}},
         3,
         {{"app.1.log", "0"}, {"app.2.log", "2"}},
         std::nullopt},
        {"every place taken: the oldest is replaced",
         {{"app.log", "0"}, {"app.1.log", "1"}, {"app.2.log", "2"}},
         2,
         {{"app.1.log", "0"}, {"app.2.log", "1"}},
         std::nullopt},
        {"nothing to rotate", {{"app.1.log", "1"}}, 3, {{"app.1.log", "1"}}, std::nullopt},
        {"a name without an extension", {{"app", "0"}}, 3, {{"app.1", "0"}}, std::nullopt},
        {"a folder in the first place: nothing moves",
         {{"app.log", "0"}, {"app.1.log", "/"}},
         3,
         {{"app.log", "0"}, {"app.1.log", "/"}},
         Logger::RotationFailure{"app.log", "app.1.log", EISDIR}},
        {"a folder further up: nothing moves",
         {{"app.log", "0"}, {"app.1.log", "1"}, {"app.2.log", "/"}},
         3,
         {{"app.log", "0"}, {"app.1.log", "1"}, {"app.2.log", "/"}},
         Logger::RotationFailure{"app.1.log", "app.2.log", EISDIR}},
        {"a folder in the oldest place: nothing moves",
         {{"app.log", "0"}, {"app.1.log", "1"}, {"app.2.log", "/"}},
         2,
         {{"app.log", "0"}, {"app.1.log", "1"}, {"app.2.log", "/"}},
         Logger::RotationFailure{"app.1.log", "app.2.log", EISDIR}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TemporaryFolder folder;
        ASSERT_TRUE(folder.made());
        for (const auto& [name, text] : c.before) {
            if (text == "/") {
                ASSERT_EQ(::mkdir((folder / name).c_str(), 0755), 0);
                write(folder / (name + "/kept.txt"), "kept\n");
            } else {
                write(folder / name, text);
            }
        }
        const std::string base = c.before.count("app") != 0 ? "app" : "app.log";
        const auto failure = Logger::rotateFiles(folder / base, c.maxFiles);

        ASSERT_EQ(failure.has_value(), c.failure.has_value());
        if (failure) {
            EXPECT_EQ(failure->from, folder / c.failure->from);
            EXPECT_EQ(failure->to, folder / c.failure->to);
            EXPECT_EQ(failure->error, c.failure->error);
            EXPECT_EQ(failure->describe(), "renaming " + (folder / c.failure->from) + " to " +
                                               (folder / c.failure->to) + ": " + std::strerror(c.failure->error));
        }
        std::map<std::string, std::string> after;
        for (const char* name : {"app", "app.1", "app.log", "app.1.log", "app.2.log", "app.3.log"}) {
            struct stat file {};
            if (::lstat((folder / name).c_str(), &file) == 0) {
                after[name] = S_ISDIR(file.st_mode) ? (contents(folder / (std::string(name) + "/kept.txt")) == "kept\n"
                                                           ? "/"
                                                           : "a folder that lost its file")
                                                    : contents(folder / name);
            }
        }
        EXPECT_EQ(after, c.after);
    }
}

// A line that reads "NNNN xxx...x": its number and a filler of varying length.
std::string numberedLine(int i) {
    return fmt::format("{:04} {}", i, std::string(static_cast<std::size_t>(i * 37 % 230), 'x'));
}

void logText(spdlog::sinks::sink& sink, const std::string& text) {
    sink.log(spdlog::details::log_msg("app", spdlog::level::info, text));
}

std::vector<std::string> linesIn(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// A folder in the rotated file's place: the file grows past its limit with
// every line, in order, and the failure's line (in the file and on the report
// sink, once) names both files and the system's reason. Once the folder is
// gone, nothing happens until a second has passed (no rename per line); then
// the file rotates, keeping every line, and says so.
TEST(LineFileSink, AFolderInTheRotatedPlaceLosesNoLineAndIsReportedOnce) {
    TemporaryFolder folder;
    ASSERT_TRUE(folder.made());
    const std::string name = folder / "app.log";
    ASSERT_EQ(::mkdir((folder / "app.1.log").c_str(), 0755), 0);
    write(folder / "app.1.log/kept.txt", "kept\n");
    auto report = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(100);
    std::string error;
    const spdlog::sink_ptr sink = Logger::openFile({name, 2048, 3, 0, report}, error);
    ASSERT_NE(sink, nullptr) << error;
    sink->set_pattern("%v");

    std::vector<std::string> expected;
    for (int i = 0; i < 200; ++i) {  // about 25 KB: a dozen times the limit
        expected.push_back(numberedLine(i));
        logText(*sink, expected.back());
        sink->flush();
    }
    const auto failedBy = std::chrono::steady_clock::now();
    const std::string failure = "[Quorvane] Could not rotate log file " + name + " (renaming " + name + " to " +
                                (folder / "app.1.log") +
                                ": Is a directory): it grows past its size limit, losing no line, until a rotation "
                                "succeeds (tried again at most once a second)";
    std::vector<std::string> inFile = expected;
    inFile.insert(inFile.begin() + 1, failure);  // after the line that first went past the limit...
    std::vector<std::string> lines = linesIn(contents(name));
    ASSERT_GT(lines.size(), 2U);
    const auto at = std::find(lines.begin(), lines.end(), failure);
    ASSERT_NE(at, lines.end()) << "no failure line in the file";
    lines.erase(at);
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(QuorvaneTest::linesOf(*report), (std::vector<LogLine>{{spdlog::level::err, failure}}));
    EXPECT_EQ(contents(folder / "app.1.log/kept.txt"), "kept\n");
    EXPECT_FALSE(exists(folder / "app.2.log"));

    // Within the second after the failure, lines go on into the file however
    // many there are, even though a rotation could now succeed.
    ASSERT_EQ(std::system(("rm -rf '" + (folder / "app.1.log") + "'").c_str()), 0);
    for (int i = 200; i < 210; ++i) {
        expected.push_back(numberedLine(i));
        logText(*sink, expected.back());
        sink->flush();
    }
    if (std::chrono::steady_clock::now() - failedBy < Logger::LineFileSink::retry_interval / 2) {
        EXPECT_FALSE(exists(folder / "app.1.log")) << "a rotation was tried again within the second";
    }

    std::this_thread::sleep_for(Logger::LineFileSink::retry_interval + milliseconds(100));
    logText(*sink, "after the second");
    sink->flush();
    std::vector<std::string> rotated = linesIn(contents(folder / "app.1.log"));
    rotated.erase(std::remove(rotated.begin(), rotated.end(), failure), rotated.end());
    EXPECT_EQ(rotated, expected);
    const std::string again = "[Quorvane] Log file " + name + " rotates again";
    EXPECT_EQ(linesIn(contents(name)), (std::vector<std::string>{"after the second", again}));
    EXPECT_EQ(QuorvaneTest::linesOf(*report),
              (std::vector<LogLine>{{spdlog::level::err, failure}, {spdlog::level::info, again}}));
}

// A previous run's file that cannot be rotated away is appended to, never
// emptied; the failure is reported after the first line.
TEST(LineFileSink, AFailedRotationAtTheStartAppends) {
    TemporaryFolder folder;
    ASSERT_TRUE(folder.made());
    const std::string name = folder / "app.log";
    write(name, "previous run\n");
    ASSERT_EQ(::mkdir((folder / "app.1.log").c_str(), 0755), 0);
    auto report = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(100);
    std::string error;
    const spdlog::sink_ptr sink = Logger::openFile({name, 4096, 3, std::size_t{64} * 1024, report}, error);
    ASSERT_NE(sink, nullptr) << error;
    sink->set_pattern("%v");
    logText(*sink, "first");
    sink->flush();

    const std::vector<LogLine> reported = QuorvaneTest::linesOf(*report);
    ASSERT_EQ(reported.size(), 1U);
    EXPECT_EQ(reported[0].level, spdlog::level::err);
    EXPECT_EQ(contents(name), "previous run\nfirst\n" + reported[0].text + "\n");
    EXPECT_NE(reported[0].text.find(": Is a directory)"), std::string::npos) << reported[0].text;
}

// In blocks, every write call ends with a whole line: whatever is in the file
// at any moment is a run of whole lines, a line longer than a block included.
TEST(LineFileSink, BlocksHoldWholeLinesOnly) {
    TemporaryFolder folder;
    ASSERT_TRUE(folder.made());
    const std::string name = folder / "app.log";
    std::string error;
    constexpr std::size_t block = 4096;
    const spdlog::sink_ptr sink = Logger::openFile({name, 0, 1, block}, error);
    ASSERT_NE(sink, nullptr) << error;
    sink->set_pattern("%v");

    std::string expected;
    std::size_t writes = 0;
    std::size_t seen = 0;
    for (int i = 0; i < 600; ++i) {
        const std::string line = i == 300 ? std::string(3 * block, 'L') : numberedLine(i);
        logText(*sink, line);
        expected += line + "\n";
        const std::string now = contents(name);
        ASSERT_TRUE(now.empty() || now.back() == '\n') << "after line " << i << " the file ends in a line's middle";
        ASSERT_EQ(now, expected.substr(0, now.size())) << "after line " << i;
        if (now.size() != seen) {
            ++writes;
            seen = now.size();
        }
    }
    EXPECT_GT(writes, 10U);  // the blocks were written as they filled, not at the end
    sink->flush();
    EXPECT_EQ(contents(name), expected);
}

// How a block is cut into write calls: a piece ends with a whole line and
// crosses a page boundary of the file only when it is a single line, since a
// kill -9 can cut a write short at any boundary it crosses.
TEST(WholeLinesPiece, CrossesAPageBoundaryOnlyWithASingleLine) {
    struct Row {
        const char* label;
        std::string data;
        std::size_t offset;
        std::size_t expected;
    };
    constexpr std::size_t page = 8;
    const Row rows[] = {
        {"everything fits before the boundary", "aa\nbb\n", 0, 6},
        {"up to the line that would cross", "aaa\nbbbbbb\n", 0, 4},
        {"a line longer than the room goes alone", "aaaaaaaaaa\nb\n", 0, 11},
        {"one byte before a boundary: the line that crosses", "aa\nbb\n", 7, 3},
        {"at a boundary: a page of room", "aaa\nbbb\ncc\n", 8, 8},
        {"counted from the offset within its page", "aaa\nbbb\n", 13, 4},
        {"no end of line: the rest", "abc", 0, 3},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Logger::detail::wholeLinesPiece(row.data.data(), row.data.size(), row.offset, page), row.expected)
            << row.label;
    }

    // Random lines at random offsets, cut as the sink cuts them.
    std::srand(20261211);
    for (int round = 0; round < 500; ++round) {
        std::string data;
        for (int line = std::rand() % 40; line >= 0; --line) {
            data += std::string(static_cast<std::size_t>(std::rand() % 30), 'x') + "\n";
        }
        const std::size_t start = static_cast<std::size_t>(std::rand() % 100);
        std::size_t offset = start;
        std::size_t pieces = 0;
        for (std::size_t done = 0; done < data.size(); ++pieces) {
            const std::size_t piece = Logger::detail::wholeLinesPiece(data.data() + done, data.size() - done, offset, page);
            ASSERT_GT(piece, 0U);
            ASSERT_LE(done + piece, data.size());
            const std::string text = data.substr(done, piece);
            ASSERT_EQ(text.back(), '\n') << "round " << round << ": a piece ends inside a line";
            const bool crosses = offset / page != (offset + piece - 1) / page;
            if (crosses) {
                ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << "round " << round << ": lines across a boundary";
            }
            done += piece;
            offset += piece;
        }
        EXPECT_LE(pieces, 2 * ((start % page + data.size()) / page + 1)) << "two calls a page at most";
    }
}

// Four threads writing while the file rotates and another flushes, as the
// flusher does: every line once, each thread's in its order, every file whole
// lines within the limit.
TEST(LineFileSink, FourThreadsWhileItRotatesAndFlushes) {
    TemporaryFolder folder;
    ASSERT_TRUE(folder.made());
    const std::string name = folder / "app.log";
    constexpr std::size_t limit = 8 * 1024;
    std::string error;
    const spdlog::sink_ptr sink = Logger::openFile({name, limit, 50, 4096}, error);
    ASSERT_NE(sink, nullptr) << error;
    sink->set_pattern("%v");

    constexpr int threads = 4;
    constexpr int lines_each = 500;
    std::atomic<bool> done{false};
    std::thread flusher([&sink, &done] {
        while (!done.load()) {
            sink->flush();
            std::this_thread::sleep_for(milliseconds(1));
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&sink, t] {
            for (int i = 0; i < lines_each; ++i) {
                logText(*sink, fmt::format("{} {:04} {}", t, i, std::string(static_cast<std::size_t>(i % 50), 'x')));
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    done = true;
    flusher.join();
    sink->flush();

    std::vector<int> next(threads, 0);
    for (int index = 50; index >= 0; --index) {
        const std::string file = Logger::rotatedName(name, static_cast<std::size_t>(index));
        if (!exists(file)) {
            continue;
        }
        const std::string text = contents(file);
        EXPECT_LE(text.size(), limit) << file;
        EXPECT_TRUE(text.empty() || text.back() == '\n') << file << " ends in the middle of a line";
        for (const std::string& line : linesIn(text)) {
            const int t = line[0] - '0';
            ASSERT_TRUE(t >= 0 && t < threads) << line;
            EXPECT_EQ(std::stoi(line.substr(2, 4)), next[static_cast<std::size_t>(t)]) << line;
            ++next[static_cast<std::size_t>(t)];
        }
    }
    EXPECT_EQ(next, std::vector<int>(threads, lines_each));
    EXPECT_TRUE(exists(folder / "app.5.log"));  // it did rotate, several times
}

// Messages name the file as opened, with its folder, whatever name was given.
TEST(OpenFile, NamesTheFileByItsAbsolutePath) {
    TemporaryFolder folder;
    ASSERT_TRUE(folder.made());
    ASSERT_EQ(::mkdir((folder / "dir.log").c_str(), 0755), 0);
    char* previous = ::getcwd(nullptr, 0);
    ASSERT_NE(previous, nullptr);
    ASSERT_EQ(::chdir((folder / "").c_str()), 0);
    for (const std::size_t blockSize : {std::size_t{0}, std::size_t{4096}}) {
        SCOPED_TRACE(blockSize == 0 ? "spdlog's sink" : "the library's sink");
        std::string error;
        EXPECT_EQ(Logger::openFile({"no/such/app.log", 0, 1, blockSize}, error), nullptr);
        EXPECT_EQ(error, "its folder " + (folder / "no/such") + " does not exist");
        error.clear();
        EXPECT_EQ(Logger::openFile({"dir.log", 0, 1, blockSize}, error), nullptr);
        EXPECT_EQ(error, "Failed opening file " + (folder / "dir.log") + " for writing: Is a directory");
    }
    EXPECT_EQ(Logger::absolutePath("a/b.log"), folder / "a/b.log");
    EXPECT_EQ(Logger::absolutePath("/var/log/b.log"), "/var/log/b.log");
    EXPECT_EQ(::chdir(previous), 0);
    std::free(previous);
}

}  // namespace
