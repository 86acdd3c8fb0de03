#pragma once

// The log file: only whole lines reach it, a write the disk cuts short is
// undone or completed, and a rotation that fails never costs a line, a sleep
// or more than one failed rename a second.
#include <spdlog/spdlog.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "log/FileErrors.hpp"

namespace Logger {

// A sink for the log file. Threads: any; one mutex guards everything, held
// for a line's write, and at a rotation for its renames and the new file's
// open (system calls only: no sleep, no wait on anything else).
//
// A write the system cuts short (a full disk, a file size limit, a quota)
// leaves no half line glued to the next: the part of the line that reached
// the file is taken back when this sink is the only log that holds the file
// (see holdAlone), and otherwise its end is written before anything else once
// writing works again, provided no other log wrote after it. The lines lost
// meanwhile are counted; the first write that works again says how many, and
// between which times they were logged, in the file and on the report sink.
class LineFileSink final : public spdlog::sinks::sink {
public:
    // A rotation that failed is tried again at the first line past the limit
    // after this long: a failed rename a second at most, and a rotation that
    // can succeed again (a folder made writable, the obstacle removed) does
    // within about a second.
    static constexpr std::chrono::seconds retry_interval{1};

    // Where a line waits for the logger's flush when lines are flushed one
    // by one: the C library's buffer size, as spdlog's file sink had it.
    static constexpr std::size_t line_block_size = 4096;

    struct Options {
        // Absolute: the messages name it.
        std::string name;
        // 0: no rotation.
        std::size_t maxSize = 0;
        std::size_t maxFiles = 1;
        // 0: each line is written when the logger flushes it; otherwise lines
        // are written in blocks of this size, each block ending with a whole
        // line.
        std::size_t blockSize = 0;
        // Append: another copy of the library in this process writes to it.
        bool append = false;
        // Where the lines about rotation and lost lines go besides the file
        // (the console, or standard error); may be null.
        spdlog::sink_ptr report;
    };

    // Opens the file (see openLogFile): unless options.append, a rotating
    // file that is not empty is rotated away first, and any other is emptied,
    // or, when another process's log holds it, left alone for a file of this
    // sink's own beside it. A rotation that fails here appends to the file and
    // is reported after the first line. Throws spdlog_ex, as spdlog's file
    // sinks do, when the file cannot be opened.
    explicit LineFileSink(Options options);
    ~LineFileSink() override;
    LineFileSink(const LineFileSink&) = delete;
    LineFileSink& operator=(const LineFileSink&) = delete;

    void log(const spdlog::details::log_msg& msg) override;
    void flush() override;
    void set_pattern(const std::string& pattern) override;
    void set_formatter(std::unique_ptr<spdlog::formatter> formatter) override;

    bool rotates() const noexcept { return options_.maxSize > 0; }

    // The file written: options.name, or (besideIndex() > 0) the file beside
    // it that stands in for it, since another process's log holds it.
    const std::string& fileName() const noexcept { return fileName_; }
    std::size_t besideIndex() const noexcept { return besideIndex_; }

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
    // Lines that did not reach the file since it last took one, and the times
    // they were logged at (the first and the last).
    struct Lost {
        std::uint64_t lines = 0;
        spdlog::log_clock::time_point first{};
        spdlog::log_clock::time_point last{};
    };

    void logAndReport(const spdlog::details::log_msg& msg, const spdlog::memory_buf_t& line,
                      std::unique_lock<std::mutex>& lock);
    Report rotate(std::size_t lineSize, Failure& failure);
    Report rotateNow();
    Report failedRotation(std::chrono::steady_clock::time_point now, const std::string& why);
    Failure write(const char* data, std::size_t size, spdlog::log_clock::time_point time);
    Failure writeAfterBlock(const char* data, std::size_t size, spdlog::log_clock::time_point time);
    Failure writeBlock();
    int writeLines(const char* data, std::size_t size, spdlog::log_clock::time_point first,
                   spdlog::log_clock::time_point last);
    int recover();
    std::size_t settleCut(const char* data, std::size_t written, std::size_t size, const Lost& line);
    bool takeBack(off_t end, std::size_t part);
    void lose(std::uint64_t lines, spdlog::log_clock::time_point first, spdlog::log_clock::time_point last);
    void reportRecovery(std::unique_lock<std::mutex>& lock);
    [[noreturn]] void raise(const Failure& failure) const;

    const Options options_;
    // maxSize, or the largest size_t for none: the common line takes one
    // comparison for it.
    const std::size_t limit_;
    const std::size_t blockLimit_;
    std::mutex mutex_;
    std::unique_ptr<spdlog::formatter> formatter_;
    int fd_ = -1;
    std::string fileName_;
    std::size_t besideIndex_ = 0;
    bool regular_ = false;  // the file may be truncated (a cut line taken back)
    bool held_ = false;     // fd_ holds the shared lock (see SharedFile.hpp)
    // The lines not written yet, kept across rotations; buffered_ of its
    // bytes are in use, logged between blockFirst_ and blockLast_.
    std::vector<char> block_;
    std::size_t buffered_ = 0;
    spdlog::log_clock::time_point blockFirst_{};
    spdlog::log_clock::time_point blockLast_{};
    // The current file's size as far as this sink knows: what it wrote.
    std::size_t size_ = 0;
    // After a failed rotation (or flush before one): no attempt before retryAt_.
    bool waiting_ = false;
    std::chrono::steady_clock::time_point retryAt_{};
    RotationErrors rotationErrors_;
    Report pending_;  // the start's failed rotation, reported after the first line
    // Writing failed: lines were lost, or a cut line waits for its end.
    bool failing_ = false;
    Lost lost_;
    // The end of a line the system cut short that could not be taken back,
    // where the file ended after its start (the end goes there only), and
    // what the line counts for if it cannot (the line saying lines were
    // lost counts for none).
    std::string cutRest_;
    off_t cutEnd_ = -1;
    Lost cutLine_;
    // The line saying lines were lost, for the report sink once the lock is let go.
    std::string recovered_;
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
