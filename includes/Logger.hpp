#pragma once

#include <dirent.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
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

// A line's text built on the stack; text that would not fit is marked
// incomplete instead of allocating.
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

    bool complete() const noexcept { return complete_; }
    spdlog::string_view_t view() const noexcept { return spdlog::string_view_t(text_, size_); }

private:
    char text_[512];
    std::size_t size_ = 0;
    bool complete_ = true;
};

// The same on the heap, for the rare line that does not fit.
class LongLineText {
public:
    void append(std::string_view piece) { text_.append(piece.data(), piece.data() + piece.size()); }
    spdlog::string_view_t view() const noexcept { return spdlog::string_view_t(text_.data(), text_.size()); }

private:
    fmt::memory_buffer text_;
};

// Modified UTF-8 differs from standard UTF-8 only in C0 80 (NUL) and in
// surrogates (ED A0..ED BF), so only a name holding one of those two lead
// bytes needs more than a copy. Most names are ASCII: one pass over 8 bytes
// at a time settles those.
inline bool needsStandardUtf8(std::string_view name) noexcept {
    std::uint64_t seen = 0;
    std::size_t i = 0;
    for (; i + sizeof seen <= name.size(); i += sizeof seen) {
        std::uint64_t word;
        std::memcpy(&word, name.data() + i, sizeof word);
        seen |= word;
    }
    for (; i < name.size(); ++i) {
        seen |= static_cast<unsigned char>(name[i]);
    }
    if ((seen & 0x8080808080808080U) == 0) {
        return false;
    }
    return std::memchr(name.data(), 0xC0, name.size()) != nullptr ||
           std::memchr(name.data(), 0xED, name.size()) != nullptr;
}

// Writes a modified UTF-8 name in standard UTF-8: C0 80 as the NUL byte, a
// surrogate pair as its 4-byte form, a lone surrogate (which standard UTF-8
// cannot hold) as U+FFFD. Everything else is copied as it is.
template <typename Text>
void appendStandardUtf8(Text& text, std::string_view name) {
    auto byte = [&name](std::size_t i) { return static_cast<unsigned char>(name[i]); };
    auto surrogate = [&](std::size_t i) {  // ED A0..BF xx at i
        return i + 2 < name.size() && byte(i) == 0xED && (byte(i + 1) & 0xE0) == 0xA0;
    };
    auto value = [&](std::size_t i) { return 0xD000U | ((byte(i + 1) & 0x3FU) << 6) | (byte(i + 2) & 0x3FU); };
    std::size_t copied = 0;
    std::size_t i = 0;
    while (i < name.size()) {
        if (byte(i) == 0xC0 && i + 1 < name.size() && byte(i + 1) == 0x80) {
            text.append(name.substr(copied, i - copied));
            text.append(std::string_view("\0", 1));
            i += 2;
            copied = i;
        } else if (surrogate(i)) {
            text.append(name.substr(copied, i - copied));
            const unsigned high = value(i);
            if (high <= 0xDBFFU && surrogate(i + 3) && value(i + 3) >= 0xDC00U) {
                const unsigned point = 0x10000U + ((high - 0xD800U) << 10) + (value(i + 3) - 0xDC00U);
                const char utf8[4] = {
                    static_cast<char>(0xF0U | (point >> 18)), static_cast<char>(0x80U | ((point >> 12) & 0x3FU)),
                    static_cast<char>(0x80U | ((point >> 6) & 0x3FU)), static_cast<char>(0x80U | (point & 0x3FU))};
                text.append(std::string_view(utf8, sizeof utf8));
                i += 6;
            } else {
                text.append("\xEF\xBF\xBD");
                i += 3;
            }
            copied = i;
        } else {
            ++i;
        }
    }
    text.append(name.substr(copied));
}

}  // namespace detail

// A class name as the VM reports it, in modified UTF-8, for Logger::line: it
// is written in standard UTF-8, so that the log is valid text and a search
// for the name's characters finds it. Filters keep comparing the VM's bytes.
struct ClassName {
    const char* modifiedUtf8;
};

namespace detail {

template <typename Text>
void put(Text& text, std::string_view piece) {
    text.append(piece);
}
template <typename Text>
void put(Text& text, const char* piece) {
    text.append(piece);
}
template <typename Text, typename Int, std::enable_if_t<std::is_integral_v<Int>, int> = 0>
void put(Text& text, Int value) {
    const fmt::format_int digits(value);
    text.append(std::string_view(digits.data(), digits.size()));
}
template <typename Text>
void put(Text& text, ClassName name) {
    const std::string_view bytes(name.modifiedUtf8);
    if (needsStandardUtf8(bytes)) {
        appendStandardUtf8(text, bytes);
    } else {
        text.append(bytes);
    }
}

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

// Where the console half of the log goes.
enum class Console { standardOutput, standardError, off };

// Log settings the application asked for. An unset field keeps what init is
// given; an empty file name means no file.
struct Settings {
    std::optional<spdlog::level::level_enum> level;
    std::optional<std::string> fileName;
    std::optional<Console> console;
    // Error lines for the start of the log (settings that could not be used).
    std::vector<std::string> problems;
};

namespace detail {
// Guards requested, started and in_use: settings may arrive from any Java
// thread while another one starts the log.
inline std::mutex settings_mutex;
inline Settings requested;
inline bool started = false;
inline std::string in_use;

// Whether this process has fileName open already. Each class loader that
// loads quorvane.jar gets a copy of the library of its own, with a log of its
// own; when another copy has started its log in that file, emptying it would
// lose that copy's lines, so the file is appended to instead.
inline bool openInThisProcess(const std::string& fileName) {
    struct stat file {};
    if (::stat(fileName.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) {
        return false;
    }
    DIR* descriptors = ::opendir("/proc/self/fd");
    if (descriptors == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent* entry = ::readdir(descriptors)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        struct stat open {};
        if (end != entry->d_name && *end == '\0' && fd != ::dirfd(descriptors) &&
            ::fstat(static_cast<int>(fd), &open) == 0 && open.st_dev == file.st_dev && open.st_ino == file.st_ino) {
            found = true;
            break;
        }
    }
    ::closedir(descriptors);
    return found;
}

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
}  // namespace detail

// Takes settings from the application, from any thread. The level applies at
// once, before or after the log has started (from the next line on). File,
// console and problems only count before the start: once the log has
// started they are refused, false is returned and inUse tells what the log
// writes to. A refused request changes nothing, not even its level.
inline bool configure(const Settings& settings, std::string& inUse) {
    std::lock_guard<std::mutex> lock(detail::settings_mutex);
    if (detail::started) {
        if (settings.fileName || settings.console || !settings.problems.empty()) {
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
    requested.problems.insert(requested.problems.end(), settings.problems.begin(), settings.problems.end());
    return true;
}

// Whether init has run: before, lines go to spdlog's built-in logger.
inline bool started() {
    std::lock_guard<std::mutex> lock(detail::settings_mutex);
    return detail::started;
}

// Logs, at error, the problems handed to configure before the start, once.
inline void reportSettingProblems() {
    std::vector<std::string> problems;
    {
        std::lock_guard<std::mutex> lock(detail::settings_mutex);
        problems.swap(detail::requested.problems);
    }
    for (const std::string& problem : problems) {
        get()->error("[Quorvane] {}", problem);
    }
}

// Builds the process-wide logger "app" (console, then file_name truncated,
// or appended to when another copy of the library in this process has it
// open) and makes it spdlog's default. Settings handed to configure earlier replace
// the arguments. Runs once per process; later calls return at once whatever
// their arguments. A file that cannot be opened never throws out of here:
// logging goes on to the console alone and one error line says why.
inline void init(const std::string& file_name, spdlog::level::level_enum level) {
    static std::once_flag init_flag;
    std::call_once(init_flag, [&file_name, level] {
        std::lock_guard<std::mutex> lock(detail::settings_mutex);
        const Settings& requested = detail::requested;
        const std::string& fileName = requested.fileName ? *requested.fileName : file_name;
        const Console console = requested.console.value_or(Console::standardOutput);

        std::vector<spdlog::sink_ptr> sinks;
        if (console == Console::standardOutput) {
            sinks.push_back(std::make_shared<spdlog::sinks::stdout_color_sink_mt>());
        } else if (console == Console::standardError) {
            sinks.push_back(std::make_shared<spdlog::sinks::stderr_color_sink_mt>());
        }
        std::string fileError;
        if (!fileName.empty()) {
            // spdlog would create a missing folder; a mistyped path should
            // show up as an error line, not as a stray folder tree.
            const std::string folder = spdlog::details::os::dir_name(fileName);
            if (!folder.empty() && !spdlog::details::os::path_exists(folder)) {
                fileError = "its folder " + folder + " does not exist";
            } else {
                try {
                    const bool truncate = !detail::openInThisProcess(fileName);
                    sinks.push_back(std::make_shared<spdlog::sinks::basic_file_sink_mt>(fileName, truncate));
                } catch (const spdlog::spdlog_ex& e) {
                    fileError = e.what();
                }
            }
        }

        auto logger = std::make_shared<spdlog::logger>("app", sinks.begin(), sinks.end());
        logger->set_level(requested.level.value_or(level));
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
        detail::started = true;
        detail::in_use = (fileName.empty() || !fileError.empty() ? std::string("no file") : "file " + fileName) +
                        ", console " + detail::consoleName(console);

        if (!fileError.empty()) {
            logger->error("[Quorvane] Could not open log file {}, logging to the console only: {}", fileName,
                          fileError);
        }
    });
}

}  // namespace Logger
