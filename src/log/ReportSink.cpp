#include "log/ReportSink.hpp"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include <memory>

namespace Logger {

spdlog::sink_ptr reportSink(const spdlog::sink_ptr& console) {
    if (console) {
        return console;
    }
    auto standardError = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
    standardError->set_formatter(
        std::make_unique<spdlog::pattern_formatter>(line_pattern, spdlog::pattern_time_type::local));
    return standardError;
}

void writeLine(spdlog::sinks::sink& sink, spdlog::level::level_enum level, spdlog::string_view_t text) noexcept {
    try {
        sink.log(spdlog::details::log_msg("app", level, text));
    } catch (...) {
        // Nowhere left to say it: the line is lost, the caller goes on.
    }
}

}  // namespace Logger
