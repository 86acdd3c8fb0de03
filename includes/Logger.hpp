#pragma once

// The library's log: init starts it (console and file, as the application's
// settings ask), line writes the per-class lines, get is the logger behind
// every other line. The parts live in log/: the line's text, the settings,
// the start's sinks, the file, its sink of whole lines, its rotation, its
// errors, the flusher of buffered lines.
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
#include "log/Start.hpp"

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
// of the start itself (a file that could not be opened), then, at warning,
// where the file went when the one asked for was in use; once. With the
// console off they also go to standard error: the file may not be looked at,
// or not be there at all.
inline void reportSettingProblems() {
    std::vector<std::string> problems;
    std::vector<std::string> notices;
    spdlog::sink_ptr alone;
    {
        std::lock_guard<std::mutex> lock(detail::settings_mutex);
        problems.swap(detail::requested.problems);
        notices.swap(detail::notices);
        alone = detail::problem_sink;
    }
    spdlog::logger* logger = get();
    auto report = [logger, &alone](const std::vector<std::string>& lines, spdlog::level::level_enum level) {
        for (const std::string& line : lines) {
            logger->log(level, "[Quorvane] {}", line);
            if (alone != nullptr && logger->should_log(level)) {
                writeLine(*alone, level, "[Quorvane] " + line);
            }
        }
    };
    report(problems, spdlog::level::err);
    report(notices, spdlog::level::warn);
}

// Builds the process-wide logger "app" (console, then the file: see
// openDestinations) and makes it spdlog's default. Settings handed to
// configure earlier replace the arguments. Runs once per process; later calls
// return at once whatever their arguments. A file that cannot be opened never
// throws out of here: logging goes on to the console alone, and
// reportSettingProblems says why.
inline void init(const std::string& file_name, spdlog::level::level_enum level) {
    static std::once_flag init_flag;
    std::call_once(init_flag, [&file_name, level] {
        std::lock_guard<std::mutex> lock(detail::settings_mutex);
        detail::Destinations to = detail::openDestinations(detail::requested, file_name, level);
        std::vector<spdlog::sink_ptr> sinks;
        for (const spdlog::sink_ptr& sink : {to.consoleSink, to.fileSink}) {
            if (sink != nullptr) {
                sinks.push_back(sink);
            }
        }
        auto logger = std::make_shared<spdlog::logger>("app", sinks.begin(), sinks.end());
        logger->set_level(to.level);
        logger->set_pattern(line_pattern, spdlog::pattern_time_type::local);
        if (to.onFileError) {
            logger->set_error_handler(to.onFileError);
        }
        detail::keepBuiltinLogger();
        spdlog::set_default_logger(logger);
        // After set_default_logger: flush_on only reaches registered loggers.
        // Buffered lines wait for a warning, the flusher or the exit.
        spdlog::flush_on(to.flusher ? spdlog::level::warn : spdlog::level::trace);
        detail::install(logger, to);
    });
}

}  // namespace Logger
