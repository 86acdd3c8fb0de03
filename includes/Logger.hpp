#pragma once

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Logger {

namespace detail {
// The library's logger once init has run; null before. Never destroyed (see
// init), so hooks still running on other threads while the process exits
// never write through a dead logger.
inline std::atomic<spdlog::logger*> installed{nullptr};
}  // namespace detail

// The logger every line of the library goes to: the one init built, or
// before that spdlog's built-in default (level info, so debug and trace lines
// are dropped). Any thread.
inline spdlog::logger* get() noexcept {
    spdlog::logger* logger = detail::installed.load(std::memory_order_acquire);
    return logger != nullptr ? logger : spdlog::default_logger_raw();
}

// Builds the process-wide logger "app" (console, then file_name truncated)
// and makes it spdlog's default. Runs once per process; later calls return at
// once whatever their arguments. A file that cannot be opened never throws out
// of here: logging goes on to the console alone and one error line says why.
inline void init(const std::string& file_name, spdlog::level::level_enum level) {
    static std::once_flag init_flag;
    std::call_once(init_flag, [&file_name, level] {
        auto console_sink = std::make_shared<spdlog::sinks::stdout_color_sink_mt>();
        std::vector<spdlog::sink_ptr> sinks{console_sink};
        std::string fileError;
        try {
            auto file_sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(file_name, true);
            sinks.push_back(std::move(file_sink));
        } catch (const spdlog::spdlog_ex& e) {
            fileError = e.what();
        }

        auto logger = std::make_shared<spdlog::logger>("app", sinks.begin(), sinks.end());
        logger->set_level(level);
        logger->set_pattern("[%Y-%m-%d %H:%M:%S] [%^%l%$] %v", spdlog::pattern_time_type::local);
        spdlog::set_default_logger(logger);
        // After set_default_logger: flush_on only reaches registered loggers.
        spdlog::flush_on(spdlog::level::trace);

        // spdlog's registry is a static that exit() destroys while the VM may
        // still be loading classes on other threads; this reference, never
        // released, keeps the logger and its sinks alive past that.
        auto* keep = new std::shared_ptr<spdlog::logger>(logger);
        detail::installed.store(keep->get(), std::memory_order_release);

        if (!fileError.empty()) {
            logger->error("[Quorvane] Could not open log file {}, logging to the console only: {}", file_name,
                          fileError);
        }
    });
}

}  // namespace Logger
