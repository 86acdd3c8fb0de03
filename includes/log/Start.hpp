#pragma once

// What the log starts with: its sinks, as the application's settings ask,
// and what becomes of the logger once init has built it.
#include <spdlog/spdlog.h>

#include <string>
#include <vector>

#include "log/Settings.hpp"

namespace Logger::detail {

// The destinations of a starting log and how it reports on itself.
struct Destinations {
    spdlog::level::level_enum level = spdlog::level::trace;
    Console console = Console::standardOutput;
    spdlog::sink_ptr consoleSink;  // null with the console off
    spdlog::sink_ptr fileSink;     // null without a file, or when it could not be opened
    // Where the log reports on itself: the console, or standard error.
    spdlog::sink_ptr report;
    spdlog::err_handler onFileError;  // set when there is a file
    // File lines in blocks, brought to the file by the flusher thread.
    bool flusher = false;
    // What the log writes to, for messages.
    std::string inUse;
    // Error lines for the start of the log about the start itself.
    std::vector<std::string> problems;
    // Warning lines for the start of the log (a file in use stood in for).
    std::vector<std::string> notices;
};

// Opens the sinks the requested settings ask for, the arguments of init
// standing in for those not set: the console, the file (see openFile), and
// the flusher thread when file lines are buffered. Never throws. Caller holds
// settings_mutex.
Destinations openDestinations(const Settings& requested, const std::string& fileName,
                              spdlog::level::level_enum level);

// Keeps spdlog's built-in logger alive before init replaces it: a filter
// native on another thread may still be writing through it.
void keepBuiltinLogger();

// Makes logger the library's own for good (see installed), with what it
// writes to and the start's error lines. Caller holds settings_mutex.
void install(const std::shared_ptr<spdlog::logger>& logger, Destinations& started);

}  // namespace Logger::detail
