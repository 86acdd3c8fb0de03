#pragma once

// Where the log reports on itself (a file that cannot be opened or written)
// when its own destinations may not carry the line: the console when there
// is one, else standard error. Either way in the log's pattern.
#include <spdlog/spdlog.h>

namespace Logger {

// "[%Y-%m-%d %H:%M:%S] [%^%l%$] %v" in local time, written with %T (the same
// HH:MM:SS) so that each sink runs one time flag where it would run five.
constexpr const char* line_pattern = "[%Y-%m-%d %T] [%^%l%$] %v";

// The console sink when there is one; otherwise a sink of its own on standard
// error, colored like the console's and in the log's pattern.
spdlog::sink_ptr reportSink(const spdlog::sink_ptr& console);

// Writes one line to sink as the library's logger would, from any thread;
// nothing escapes. For lines that must not go through the logger: its error
// handler runs inside it, and the start's error lines may have no sink there.
void writeLine(spdlog::sinks::sink& sink, spdlog::level::level_enum level, spdlog::string_view_t text) noexcept;

}  // namespace Logger
