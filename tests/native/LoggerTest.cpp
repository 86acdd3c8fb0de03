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
