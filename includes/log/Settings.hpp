#pragma once

// The log settings the application asks for before the log starts, and what
// the log started with. Any thread; see configure.
#include <spdlog/spdlog.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Logger {

// Where the console half of the log goes.
enum class Console { standardOutput, standardError, off };

// When file lines reach the file: each as it is written, or in blocks (at
// every warning or error line, at least once a second, and at exit).
enum class Flush { everyLine, buffered };

// Where and how much the log writes unless the application says otherwise:
// every caller that starts the log (initNative, the first instrumentation())
// passes these to init.
constexpr const char* default_file_name = "libagent.log";
constexpr spdlog::level::level_enum default_level = spdlog::level::trace;

// Rotated files kept when only a size limit is given.
constexpr std::size_t default_max_files = 5;

// The block buffered file lines are written in: a write call for about 500
// lines of a replaced class, at most a second's worth of lines held.
constexpr std::size_t buffered_block_size = std::size_t{64} * 1024;

// Log settings the application asked for. An unset field keeps what init is
// given; an empty file name means no file, a size limit of 0 no rotation.
struct Settings {
    std::optional<spdlog::level::level_enum> level;
    std::optional<std::string> fileName;
    std::optional<Console> console;
    std::optional<std::size_t> maxSize;
    std::optional<std::size_t> maxFiles;
    std::optional<Flush> flush;
    // Error lines for the start of the log (settings that could not be used).
    std::vector<std::string> problems;
};

namespace detail {
// The library's logger once init has run; null before. Never destroyed (see
// init), so hooks still running on other threads while the process exits
// never write through a dead logger.
inline std::atomic<spdlog::logger*> installed{nullptr};

// Guards requested, started, in_use, notices and problem_sink: settings may
// arrive from any Java thread while another one starts the log.
inline std::mutex settings_mutex;
inline Settings requested;
inline bool started = false;
inline std::string in_use;
// Warning lines for the start of the log, about where it writes.
inline std::vector<std::string> notices;
// Where the start's error lines also go when the console is off (standard
// error); null otherwise.
inline spdlog::sink_ptr problem_sink;

inline const char* consoleName(Console console) {
    switch (console) {
        case Console::standardOutput:
            return "stdout";
        case Console::standardError:
            return "stderr";
        case Console::off:
            break;
    }
    return "off";
}

inline bool changesOutput(const Settings& settings) {
    return settings.fileName || settings.console || settings.maxSize || settings.maxFiles || settings.flush ||
           !settings.problems.empty();
}
}  // namespace detail

// Takes settings from the application, from any thread. The level applies at
// once, before or after the log has started (from the next line on). Every
// other setting, and problems, only count before the start: once the log has
// started they are refused, false is returned and inUse tells what the log
// writes to. A refused request changes nothing, not even its level.
inline bool configure(const Settings& settings, std::string& inUse) {
    std::lock_guard<std::mutex> lock(detail::settings_mutex);
    if (detail::started) {
        if (detail::changesOutput(settings)) {
            inUse = detail::in_use;
            return false;
        }
        if (settings.level) {
            detail::installed.load(std::memory_order_acquire)->set_level(*settings.level);
        }
        return true;
    }
    Settings& requested = detail::requested;
    if (settings.level) {
        requested.level = settings.level;
    }
    if (settings.fileName) {
        requested.fileName = settings.fileName;
    }
    if (settings.console) {
        requested.console = settings.console;
    }
    if (settings.maxSize) {
        requested.maxSize = settings.maxSize;
    }
    if (settings.maxFiles) {
        requested.maxFiles = settings.maxFiles;
    }
    if (settings.flush) {
        requested.flush = settings.flush;
    }
    requested.problems.insert(requested.problems.end(), settings.problems.begin(), settings.problems.end());
    return true;
}

// Whether init has run: before, lines go to spdlog's built-in logger.
inline bool started() {
    std::lock_guard<std::mutex> lock(detail::settings_mutex);
    return detail::started;
}

}  // namespace Logger
