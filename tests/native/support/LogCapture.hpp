#pragma once

// Captures what the library logs, level and text. Until Logger::init has run,
// the library writes to spdlog's default logger, so the capture installs a
// logger of its own as the default (level trace) for its lifetime. Install it
// while no other thread logs: spdlog hands out the default logger unguarded.

#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace QuorvaneTest {

struct LogLine {
    spdlog::level::level_enum level;
    std::string text;

    bool operator==(const LogLine& other) const { return level == other.level && text == other.text; }
};

inline std::ostream& operator<<(std::ostream& out, const LogLine& line) {
    const auto name = spdlog::level::to_string_view(line.level);
    return out << "[" << std::string(name.data(), name.size()) << "] " << line.text;
}

// Reads the captured lines of a ring-buffer sink, oldest first.
inline std::vector<LogLine> linesOf(spdlog::sinks::ringbuffer_sink_mt& sink) {
    std::vector<LogLine> lines;
    for (const auto& message : sink.last_raw()) {
        lines.push_back({message.level, std::string(message.payload.data(), message.payload.size())});
    }
    return lines;
}

class LogCapture {
public:
    explicit LogCapture(std::size_t capacity = 4096)
        : sink_(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(capacity)),
          logger_(std::make_shared<spdlog::logger>("quorvane-test-capture", sink_)),
          previous_(spdlog::default_logger()) {
        logger_->set_level(spdlog::level::trace);
        spdlog::set_default_logger(logger_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    ~LogCapture() { spdlog::set_default_logger(previous_); }

    std::vector<LogLine> lines() const { return linesOf(*sink_); }

private:
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
    std::shared_ptr<spdlog::logger> logger_;
    std::shared_ptr<spdlog::logger> previous_;
};

}  // namespace QuorvaneTest
