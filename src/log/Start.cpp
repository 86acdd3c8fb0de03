#include "log/Start.hpp"

#include <spdlog/sinks/stdout_color_sinks.h>

#include <memory>

#include "log/FileErrors.hpp"
#include "log/FileSink.hpp"
#include "log/Flusher.hpp"
#include "log/ReportSink.hpp"

namespace Logger::detail {

Destinations openDestinations(const Settings& requested, const std::string& fileName,
                              spdlog::level::level_enum level) {
    Destinations to;
    to.level = requested.level.value_or(level);
    to.console = requested.console.value_or(Console::standardOutput);
    if (to.console == Console::standardOutput) {
        to.consoleSink = std::make_shared<spdlog::sinks::stdout_color_sink_mt>();
    } else if (to.console == Console::standardError) {
        to.consoleSink = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
    }
    to.report = reportSink(to.consoleSink);

    FileSettings file;
    // With the level off nothing would be written: no file is created or emptied.
    if (to.level != spdlog::level::off) {
        file.name = requested.fileName ? *requested.fileName : fileName;
    }
    file.maxSize = requested.maxSize.value_or(0);
    file.maxFiles = requested.maxFiles.value_or(default_max_files);
    const bool buffered = requested.flush == Flush::buffered;
    if (buffered) {
        file.blockSize = buffered_block_size;
    }
    file.report = to.report;
    std::string fileError;
    if (!file.name.empty()) {
        to.fileSink = openFile(file, fileError);
    }
    if (to.fileSink != nullptr) {
        to.onFileError = fileErrorHandler(to.report);
        to.flusher = buffered && flushEverySecond(to.fileSink, to.onFileError);
    }

    to.inUse = describeFile(file, to.fileSink) + ", console " + consoleName(to.console);
    if (to.flusher) {
        to.inUse += ", flush buffered";
    }
    if (buffered && to.fileSink != nullptr && !to.flusher) {
        to.problems.emplace_back(
            "Could not start the thread that flushes the log file: every line is flushed as it is written");
    }
    if (const std::string beside = standsIn(to.fileSink); !beside.empty()) {
        to.notices.push_back(
            fmt::format("Log file {} is in use by another process, so it is left as it is: this process logs to {}",
                        absolutePath(file.name), beside));
    }
    if (!fileError.empty()) {
        to.problems.push_back(fmt::format(
            "Could not open log file {}, {}: {}", absolutePath(file.name),
            to.consoleSink != nullptr ? "logging to the console only" : "nothing is logged (the console is off)",
            fileError));
    }
    return to;
}

void keepBuiltinLogger() {
    static auto* const builtin = new std::shared_ptr<spdlog::logger>(spdlog::default_logger());
    (void)builtin;
}

void install(const std::shared_ptr<spdlog::logger>& logger, Destinations& started) {
    // spdlog's registry is a static that exit() destroys while the VM may
    // still be loading classes on other threads; this reference, never
    // released, keeps the logger and its sinks alive past that. Held by a
    // static so that leak checkers see it as kept, not lost.
    static auto* const keep = new std::shared_ptr<spdlog::logger>(logger);
    installed.store(keep->get(), std::memory_order_release);
    detail::started = true;
    in_use = started.inUse;
    for (std::string& problem : started.problems) {
        requested.problems.push_back(std::move(problem));
    }
    notices = std::move(started.notices);
    if (started.consoleSink == nullptr) {
        problem_sink = started.report;
    }
}

}  // namespace Logger::detail
