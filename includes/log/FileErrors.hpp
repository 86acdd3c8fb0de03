#pragma once

// What happens when the log file cannot be written (a full disk, /dev/full, a
// failed rotation): spdlog hands each failure to its logger's error handler,
// on the thread that was writing, possibly a class-loading thread inside the
// VM's event. The library's handler reports the first failure at once and
// then counts: a line a minute at most, however many lines fail. A rotation
// that fails follows the same rule, in lines of its own (no line is lost).
#include <spdlog/spdlog.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace Logger {

// Decides which failures get a line: the first at once; after it, the first
// failure at least report_interval after the previous line, which carries the
// count since then. Plain data: the caller serializes.
class FileErrorCount {
public:
    static constexpr std::chrono::seconds report_interval{60};

    // Counts a failure at now. Returns how many failures the line to write now
    // stands for (itself and those not reported before), or 0 for no line.
    std::uint64_t failed(std::chrono::steady_clock::time_point now) noexcept;

private:
    std::uint64_t unreported_ = 0;
    bool reportedAny_ = false;
    std::chrono::steady_clock::time_point lastReport_{};
};

// The handler described above, for the logger's set_error_handler and for
// whatever else flushes the file: it writes its lines to report (see
// reportSink) at error level, never through the logger, whose file would fail
// again. Any thread, nothing escapes; copies share one count.
spdlog::err_handler fileErrorHandler(spdlog::sink_ptr report);

// The lines about a rotation that fails: the first failure at once, then
// FileErrorCount's rule; after a failure, the first rotation that succeeds
// says so, and the next failure is reported at once again. Plain data: the
// file's sink calls it under its lock.
class RotationErrors {
public:
    // A failed rotation of file at now, why: the error line to write, or "".
    std::string failed(std::chrono::steady_clock::time_point now, const std::string& file, const std::string& why);

    // A rotation of file that succeeded: after failures, the info line that
    // says so; otherwise "".
    std::string succeeded(const std::string& file);

    bool failing() const noexcept { return failing_; }

private:
    FileErrorCount count_;
    bool failing_ = false;
};

}  // namespace Logger
