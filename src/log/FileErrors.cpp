#include "log/FileErrors.hpp"

#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "log/ReportSink.hpp"

namespace Logger {

std::uint64_t FileErrorCount::failed(std::chrono::steady_clock::time_point now) noexcept {
    ++unreported_;
    if (reportedAny_ && now - lastReport_ < report_interval) {
        return 0;
    }
    reportedAny_ = true;
    lastReport_ = now;
    const std::uint64_t count = unreported_;
    unreported_ = 0;
    return count;
}

namespace {

struct FileErrors {
    std::mutex mutex;  // guards count; held only to count, never while writing
    FileErrorCount count;
    spdlog::sink_ptr report;
};

// spdlog calls this from its catch block, after the failing sink has let go of
// its lock, so writing to the console sink here cannot deadlock; it must not
// go through the logger, whose file sink would fail again. Most failures only
// take the mutex and count: no allocation, no line.
void onFileError(FileErrors& errors, const std::string& what) noexcept {
    std::uint64_t failures = 0;
    {
        std::lock_guard<std::mutex> lock(errors.mutex);
        failures = errors.count.failed(std::chrono::steady_clock::now());
    }
    if (failures == 0) {
        return;
    }
    try {
        fmt::memory_buffer text;
        if (failures == 1) {
            fmt::format_to(std::back_inserter(text), "[Quorvane] Log file error, lines may be lost: {}", what);
        } else {
            fmt::format_to(std::back_inserter(text),
                           "[Quorvane] Log file errors: {} since the last report, the latest: {}", failures, what);
        }
        writeLine(*errors.report, spdlog::level::err, spdlog::string_view_t(text.data(), text.size()));
    } catch (...) {
        // Out of memory while formatting: this report is lost, the next one
        // comes with the count.
    }
}

}  // namespace

spdlog::err_handler fileErrorHandler(spdlog::sink_ptr report) {
    auto errors = std::make_shared<FileErrors>();
    errors->report = std::move(report);
    return [errors](const std::string& what) { onFileError(*errors, what); };
}

std::string RotationErrors::failed(std::chrono::steady_clock::time_point now, const std::string& file,
                                   const std::string& why) {
    const bool first = !failing_;
    failing_ = true;
    const std::uint64_t failures = count_.failed(now);
    if (failures == 0) {
        return "";
    }
    if (first) {
        return fmt::format(
            "[Quorvane] Could not rotate log file {} ({}): it grows past its size limit, losing no line, until a "
            "rotation succeeds (tried again at most once a second)",
            file, why);
    }
    return fmt::format("[Quorvane] Log file rotation failures: {} since the last report, the latest: {}", failures,
                       why);
}

std::string RotationErrors::succeeded(const std::string& file) {
    if (!failing_) {
        return "";
    }
    failing_ = false;
    count_ = FileErrorCount{};
    return fmt::format("[Quorvane] Log file {} rotates again", file);
}

}  // namespace Logger
