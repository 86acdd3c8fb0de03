#pragma once

// The log file when it rotates or is written in blocks: only whole lines
// reach it, and a rotation that fails never costs a line, a sleep or more
// than one failed rename a second.
#include <spdlog/spdlog.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "log/FileErrors.hpp"

namespace Logger {

// A sink for the log file. Threads: any; one mutex guards everything, held
// for a line's write, and at a rotation for its renames and the new file's
// open (system calls only: no sleep, no wait on anything else).
class LineFileSink final : public spdlog::sinks::sink {
public:
    // A rotation that failed is tried again at the first line past the limit
    // after this long: a failed rename a second at most, and a rotation that
    // can succeed again (a folder made writable, the obstacle removed) does
    // within about a second.
    static constexpr std::chrono::seconds retry_interval{1};

    struct Options {
        // Absolute: the messages name it.
        std::string name;
        // 0: no rotation.
        std::size_t maxSize = 0;
        std::size_t maxFiles = 1;
        // 0: each line is flushed by the logger (the C library's buffer in
        // between); otherwise lines are written in blocks of this size, each
        // block ending with a whole line.
        std::size_t blockSize = 0;
        // Append: another copy of the library in this process writes to it.
        bool append = false;
        // Where the lines about rotation go besides the file (the console, or
        // standard error); may be null.
        spdlog::sink_ptr report;
    };

    // Opens the file for appending; unless options.append, a rotating file
    // that is not empty is rotated away first and any other is emptied. A
    // rotation that fails here appends to the file and is reported after the
    // first line. Throws spdlog_ex, as spdlog's file sinks do, when the file
    // cannot be opened.
    explicit LineFileSink(Options options);
    ~LineFileSink() override;
    LineFileSink(const LineFileSink&) = delete;
    LineFileSink& operator=(const LineFileSink&) = delete;

    void log(const spdlog::details::log_msg& msg) override;
    void flush() override;
    void set_pattern(const std::string& pattern) override;
    void set_formatter(std::unique_ptr<spdlog::formatter> formatter) override;

    bool rotates() const noexcept { return options_.maxSize > 0; }

private:
    // A line about rotation, written after the line that caused it; empty for none.
    struct Report {
        spdlog::level::level_enum level = spdlog::level::err;
        std::string text;
    };
    // A write or flush that failed (what and errno), thrown after the lock is
    // let go; error 0 for none.
    struct Failure {
        const char* what = nullptr;
        int error = 0;
    };

    void logAndReport(const spdlog::details::log_msg& msg, const spdlog::memory_buf_t& line,
                      std::unique_lock<std::mutex>& lock);
    Report rotate(std::size_t lineSize, Failure& failure);
    Report rotateNow();
    Report failedRotation(std::chrono::steady_clock::time_point now, const std::string& why);
    Failure write(const char* data, std::size_t size);
    Failure writeAfterBlock(const char* data, std::size_t size);
    Failure writeBlock();
    [[noreturn]] void raise(const Failure& failure) const;

    const Options options_;
    // maxSize and blockSize, or the largest size_t for none: the common line
    // takes one comparison for each.
    const std::size_t limit_;
    const std::size_t blockLimit_;
    std::mutex mutex_;
    std::unique_ptr<spdlog::formatter> formatter_;
    std::FILE* stream_ = nullptr;
    // The block in block mode (the stream takes no line then), kept across
    // rotations; buffered_ of its bytes are not written yet.
    std::vector<char> block_;
    std::size_t buffered_ = 0;
    // The current file's size as far as this sink knows: what it wrote.
    std::size_t size_ = 0;
    // After a failed rotation (or flush before one): no attempt before retryAt_.
    bool waiting_ = false;
    std::chrono::steady_clock::time_point retryAt_{};
    RotationErrors rotationErrors_;
    Report pending_;  // the start's failed rotation, reported after the first line
};

namespace detail {
// How many bytes of data (whole lines) to write in one call at offset of a
// file with pages of page bytes. A process killed while it writes loses what
// the kernel has not copied yet, and the kernel cuts a write short only at a
// page boundary of the file (it looks for a fatal signal before each page):
// so a piece never crosses a boundary unless it is a single line, and a
// kill -9 leaves whole lines, unless it lands in the instant the kernel
// copies the one line that crosses a boundary. Two pieces a page at most.
std::size_t wholeLinesPiece(const char* data, std::size_t size, std::size_t offset, std::size_t page);
}  // namespace detail

}  // namespace Logger
