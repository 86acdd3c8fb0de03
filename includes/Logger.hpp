#pragma once

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace Logger {

namespace detail {
// The library's logger once init has run; null before. Never destroyed (see
// init), so hooks still running on other threads while the process exits
// never write through a dead logger.
inline std::atomic<spdlog::logger*> installed{nullptr};

// A line's text built on the stack from pieces; text that would not fit is
// marked incomplete instead of allocating.
class LineText {
public:
    void append(std::string_view piece) noexcept {
        if (piece.size() > sizeof(text_) - size_) {
            complete_ = false;
            return;
        }
        std::memcpy(text_ + size_, piece.data(), piece.size());
        size_ += piece.size();
    }
    template <typename Int, std::enable_if_t<std::is_integral_v<Int>, int> = 0>
    void append(Int value) noexcept {
        const fmt::format_int digits(value);
        append(std::string_view(digits.data(), digits.size()));
    }

    bool complete() const noexcept { return complete_; }
    spdlog::string_view_t view() const noexcept { return spdlog::string_view_t(text_, size_); }

private:
    char text_[512];
    std::size_t size_ = 0;
    bool complete_ = true;
};

}  // namespace detail

// The logger every line of the library goes to: the one init built, or
// before that spdlog's default, its built-in one (level info, so debug and
// trace lines are dropped). Any thread. Before init the default is read under
// spdlog's registry lock, since init may be replacing it at that moment; init
// keeps the built-in one alive, so the pointer stays good afterwards.
inline spdlog::logger* get() noexcept {
    spdlog::logger* logger = detail::installed.load(std::memory_order_acquire);
    return logger != nullptr ? logger : spdlog::default_logger().get();
}

// Logs at `level` the pieces (strings and integers) written one after the
// other: the same line as get()->log(level, "...{}...", args), for the lines
// the hook writes per class. It skips the run-time parse of a format string
// and, up to 512 bytes, builds the text on the stack.
template <typename... Pieces>
inline void line(spdlog::level::level_enum level, const Pieces&... pieces) {
    spdlog::logger* logger = get();
    if (!logger->should_log(level) && !logger->should_backtrace()) {
        return;
    }
    detail::LineText text;
    (text.append(pieces), ...);
    if (text.complete()) {
        logger->log(spdlog::source_loc{}, level, text.view());
        return;
    }
    // Rare: a line longer than the stack buffer (a huge class name). Same
    // text, built on the heap.
    fmt::memory_buffer longText;
    (fmt::format_to(std::back_inserter(longText), "{}", pieces), ...);
    logger->log(spdlog::source_loc{}, level, spdlog::string_view_t(longText.data(), longText.size()));
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
        // "[%Y-%m-%d %H:%M:%S] [%^%l%$] %v", written with %T (the same
        // HH:MM:SS) so that each sink runs one time flag where it would run five.
        logger->set_pattern("[%Y-%m-%d %T] [%^%l%$] %v", spdlog::pattern_time_type::local);
        // Replacing the default would free spdlog's built-in logger while a
        // filter native on another thread may still be writing through it.
        static auto* const builtin = new std::shared_ptr<spdlog::logger>(spdlog::default_logger());
        (void)builtin;
        spdlog::set_default_logger(logger);
        // After set_default_logger: flush_on only reaches registered loggers.
        spdlog::flush_on(spdlog::level::trace);

        // spdlog's registry is a static that exit() destroys while the VM may
        // still be loading classes on other threads; this reference, never
        // released, keeps the logger and its sinks alive past that. Held by a
        // static so that leak checkers see it as kept, not lost.
        static auto* const keep = new std::shared_ptr<spdlog::logger>(logger);
        detail::installed.store(keep->get(), std::memory_order_release);

        if (!fileError.empty()) {
            logger->error("[Quorvane] Could not open log file {}, logging to the console only: {}", file_name,
                          fileError);
        }
    });
}

}  // namespace Logger
