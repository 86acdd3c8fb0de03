// Logger::line writes the same text as the format string it stands for, on
// either side of its stack buffer's size.
#include <gtest/gtest.h>

#include <string>

#include "LogCapture.hpp"
#include "Logger.hpp"

namespace {

using QuorvaneTest::LogCapture;
using QuorvaneTest::LogLine;

TEST(LoggerLine, WritesWhatTheFormatStringWould) {
    for (const std::size_t length : {0, 1, 400, 480, 481, 482, 511, 512, 513, 4096, 65536}) {
        const std::string name(length, 'n');
        LogCapture capture;
        Logger::line(spdlog::level::info, "[Quorvane] Remapped: ", name.c_str(), " (", 2147483647, " -> ", -1,
                     " bytes)");
        Logger::line(spdlog::level::trace, "[Quorvane] Skipped by filter: ", name.c_str());
        const std::vector<LogLine> expected = {
            {spdlog::level::info, fmt::format("[Quorvane] Remapped: {} ({} -> {} bytes)", name, 2147483647, -1)},
            {spdlog::level::trace, fmt::format("[Quorvane] Skipped by filter: {}", name)},
        };
        EXPECT_EQ(capture.lines(), expected) << "name of " << length << " bytes";
    }
}

TEST(LoggerLine, WritesNothingBelowTheLoggerLevel) {
    LogCapture capture;
    spdlog::default_logger()->set_level(spdlog::level::info);
    Logger::line(spdlog::level::trace, "[Quorvane] Skipped by filter: ", "a/B");
    Logger::line(spdlog::level::warn, "[Quorvane] Remap returned null/exception for: ", "a/B");
    const std::vector<LogLine> expected = {{spdlog::level::warn, "[Quorvane] Remap returned null/exception for: a/B"}};
    EXPECT_EQ(capture.lines(), expected);
}

}  // namespace

// Class names arrive in modified UTF-8 and are logged in standard UTF-8.
TEST(LoggerLine, WritesClassNamesInStandardUtf8) {
    struct Case {
        const char* what;
        std::string modified;
        std::string standard;
    };
    const std::string smile = "\xED\xA0\xBD\xED\xB8\x80";  // U+1F600 as a surrogate pair
    const std::vector<Case> cases = {
        {"ASCII", "com/example/Widget$Part", "com/example/Widget$Part"},
        {"two-byte and three-byte characters", "caf\xC3\xA9/\xE2\x82\xAC", "caf\xC3\xA9/\xE2\x82\xAC"},
        {"Hangul, whose lead byte is ED too", "k/\xED\x95\x9C", "k/\xED\x95\x9C"},
        {"NUL", std::string("a/\xC0\x80", 4) + "B", std::string("a/\0B", 4)},
        {"a pair", "s/" + smile + "/Smile", "s/\xF0\x9F\x98\x80/Smile"},
        {"two pairs in a row", smile + smile, "\xF0\x9F\x98\x80\xF0\x9F\x98\x80"},
        {"a lone high surrogate", "X\xED\xA0\x80Y", "X\xEF\xBF\xBDY"},
        {"a lone low surrogate", "X\xED\xB8\x80Y", "X\xEF\xBF\xBDY"},
        {"two high surrogates", "\xED\xA0\xBD\xED\xA0\xBD", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"low then high", "\xED\xB8\x80\xED\xA0\xBD", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"a surrogate cut short at the end", "X\xED\xA0", "X\xED\xA0"},
        {"C0 without 80", "X\xC0", "X\xC0"},
    };
    for (const Case& c : cases) {
        for (const std::size_t padding : {std::size_t{0}, std::size_t{600}}) {  // the stack buffer and the heap
            const std::string prefix(padding, 'p');
            const std::string name = prefix + c.modified;
            LogCapture capture;
            Logger::line(spdlog::level::info, "[Quorvane] Remapped: ", Logger::ClassName{name.c_str()},
                         " (1 -> 2 bytes)");
            const std::vector<LogLine> expected = {
                {spdlog::level::info, "[Quorvane] Remapped: " + prefix + c.standard + " (1 -> 2 bytes)"}};
            EXPECT_EQ(capture.lines(), expected) << c.what << ", " << padding << " bytes before";
        }
    }
}
