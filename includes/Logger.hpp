#pragma once

// The library's log: init starts it (console and file, as the application's
// settings ask), line writes the per-class lines, get is the logger behind
// every other line. The parts live in log/: the line's text, the settings,
// the file, its sink of whole lines, its rotation, its errors, the flusher of
// buffered lines.
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "log/FileErrors.hpp"
#include "log/FileSink.hpp"
#include "log/Flusher.hpp"
#include "log/LineText.hpp"
#include "log/ReportSink.hpp"
#include "log/Settings.hpp"

namespace Logger {

// The logger every line of the library goes to: the one init built, or
// before that spdlog's default, its built-in one (level info, so debug and
// trace lines are dropped). Any thread. Before init the default is read under
// spdlog's registry lock, since init may be replacing it at that moment; init
// keeps the built-in one alive, so the pointer stays good afterwards.
inline spdlog::logger* get() noexcept {
    spdlog::logger* logger = detail::installed.load(std::memory_order_acquire);
    return logger != nullptr ? logger : spdlog::default_logger().get();
}

// Logs at `level` the pieces (strings, integers and class names) written one
// after the other: the same line as get()->log(level, "...{}...", args), for
// the lines the hook writes per class. It skips the run-time parse of a format
// string and, up to 512 bytes, builds the text on the stack.
template <typename... Pieces>
inline void line(spdlog::level::level_enum level, const Pieces&... pieces) {
    spdlog::logger* logger = get();
    if (!logger->should_log(level) && !logger->should_backtrace()) {
        return;
    }
    detail::LineText text;
    (detail::put(text, pieces), ...);
    if (text.complete()) {
        logger->log(spdlog::source_loc{}, level, text.view());
        return;
    }
    // Rare: a line longer than the stack buffer (a huge class name).
    detail::LongLineText longText;
    (detail::put(longText, pieces), ...);
    logger->log(spdlog::source_loc{}, level, longText.view());
}

// Logs, at error, the problems handed to configure before the start and those
// of the start itself (a file that could not be opened), once. With the
// console off they also go to standard error: the file may not be looked at,
// or not be there at all.
inline void reportSettingProblems() {
    std::vector<std::string> problems;
    spdlog::sink_ptr alone;
    {
        std::lock_guard<std::mutex> lock(detail::settings_mutex);
        problems.swap(detail::requested.problems);
        alone = detail::problem_sink;
    }
    spdlog::logger* logger = get();
    for (const std::string& problem : problems) {
        logger->error("[Quorvane] {}", problem);
        if (alone != nullptr && logger->should_log(spdlog::level::err)) {
            writeLine(*alone, spdlog::level::err, "[Quorvane] " + problem);
        }
    }
}

// Builds the process-wide logger "app" (console, then the file: see openFile)
// and makes it spdlog's default. Settings handed to configure earlier replace
// the arguments. Runs once per process; later calls return at once whatever
// their arguments. A file that cannot be opened never throws out of here:
// logging goes on to the console alone, and reportSettingProblems says why.
inline void init(const std::string& file_name, spdlog::level::level_enum level) {
    static std::once_flag init_flag;
    std::call_once(init_flag, [&file_name, level] {
        std::lock_guard<std::mutex> lock(detail::settings_mutex);
        Settings& requested = detail::requested;
        const spdlog::level::level_enum startLevel = requested.level.value_or(level);
        const Console console = requested.console.value_or(Console::standardOutput);
        FileSettings file;
        // With the level off nothing would be written: no file is created or emptied.
        if (startLevel != spdlog::level::off) {
            file.name = requested.fileName ? *requested.fileName : file_name;
        }
        file.maxSize = requested.maxSize.value_or(0);
        file.maxFiles = requested.maxFiles.value_or(default_max_files);
        const bool buffered = requested.flush == Flush::buffered;
        if (buffered) {
            file.blockSize = buffered_block_size;
        }

        std::vector<spdlog::sink_ptr> sinks;
        spdlog::sink_ptr console_sink;
        if (console == Console::standardOutput) {
            console_sink = std::make_shared<spdlog::sinks::stdout_color_sink_mt>();
        } else if (console == Console::standardError) {
            console_sink = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
        }
        if (console_sink != nullptr) {
            sinks.push_back(console_sink);
        }
        // Where the log reports on itself: the console, or standard error.
        const spdlog::sink_ptr report = reportSink(console_sink);
        file.report = report;
        std::string fileError;
        spdlog::sink_ptr file_sink;
        if (!file.name.empty()) {
            file_sink = openFile(file, fileError);
        }
        if (file_sink != nullptr) {
            sinks.push_back(file_sink);
        }

        auto logger = std::make_shared<spdlog::logger>("app", sinks.begin(), sinks.end());
        logger->set_level(startLevel);
        logger->set_pattern(line_pattern, spdlog::pattern_time_type::local);
        spdlog::err_handler onFileError;
        if (file_sink != nullptr) {
            onFileError = fileErrorHandler(report);
            logger->set_error_handler(onFileError);
        }
        const bool flusher = buffered && file_sink != nullptr && flushEverySecond(file_sink, onFileError);
        // Replacing the default would free spdlog's built-in logger while a
        // filter native on another thread may still be writing through it.
        static auto* const builtin = new std::shared_ptr<spdlog::logger>(spdlog::default_logger());
        (void)builtin;
        spdlog::set_default_logger(logger);
        // After set_default_logger: flush_on only reaches registered loggers.
        // Buffered lines wait for a warning, the flusher or the exit.
        spdlog::flush_on(flusher ? spdlog::level::warn : spdlog::level::trace);

        // spdlog's registry is a static that exit() destroys while the VM may
        // still be loading classes on other threads; this reference, never
        // released, keeps the logger and its sinks alive past that. Held by a
        // static so that leak checkers see it as kept, not lost.
        static auto* const keep = new std::shared_ptr<spdlog::logger>(logger);
        detail::installed.store(keep->get(), std::memory_order_release);
        detail::started = true;

        std::string& inUse = detail::in_use;
        inUse = describeFile(file, file_sink) + ", console " + detail::consoleName(console);
        if (flusher) {
            inUse += ", flush buffered";
        }

        if (buffered && file_sink != nullptr && !flusher) {
            requested.problems.emplace_back(
                "Could not start the thread that flushes the log file: every line is flushed as it is written");
        }
        if (!fileError.empty()) {
            requested.problems.push_back(fmt::format(
                "Could not open log file {}, {}: {}", absolutePath(file.name),
                console_sink != nullptr ? "logging to the console only" : "nothing is logged (the console is off)",
                fileError));
        }
        if (console_sink == nullptr) {
            detail::problem_sink = report;
        }
    });
}

}  // namespace Logger
