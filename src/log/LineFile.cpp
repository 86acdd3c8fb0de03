#include "log/LineFile.hpp"

#include <fcntl.h>
#include <spdlog/pattern_formatter.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "log/ReportSink.hpp"
#include "log/Rotation.hpp"

namespace Logger {

namespace {

constexpr const char* write_failed = "Failed writing to file ";
constexpr const char* flush_failed = "Failed flush to file ";

// The file opened for appending (and emptied first when asked), closed in the
// processes the JVM starts. Null with error set when it cannot be opened.
std::FILE* openAppending(const std::string& name, bool empty, int& error) {
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (empty ? O_TRUNC : 0), 0666);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    std::FILE* stream = ::fdopen(fd, "a");
    if (stream == nullptr) {
        error = errno;
        ::close(fd);
    }
    return stream;
}

// Writes data (whole lines) at the end of the file fd, in the pieces
// wholeLinesPiece cuts. Returns 0, or the errno of a failed write (what was
// not written then is dropped, as the C library's buffer drops it).
int writeWholeLines(int fd, const char* data, std::size_t size) {
    static const std::size_t page = ::sysconf(_SC_PAGESIZE) > 0 ? static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) : 4096;
    struct stat file {};
    std::size_t offset = ::fstat(fd, &file) == 0 ? static_cast<std::size_t>(file.st_size) : 0;
    for (std::size_t done = 0; done < size;) {
        const std::size_t piece = detail::wholeLinesPiece(data + done, size - done, offset, page);
        for (std::size_t written = 0; written < piece;) {
            const ssize_t wrote = ::write(fd, data + done + written, piece - written);
            if (wrote < 0 && errno == EINTR) {
                continue;
            }
            if (wrote <= 0) {
                return wrote < 0 ? errno : EIO;
            }
            written += static_cast<std::size_t>(wrote);
        }
        done += piece;
        offset += piece;
    }
    return 0;
}

std::size_t sizeOf(std::FILE* stream) {
    struct stat file {};
    return ::fstat(::fileno(stream), &file) == 0 ? static_cast<std::size_t>(file.st_size) : 0;
}

}  // namespace

namespace detail {

std::size_t wholeLinesPiece(const char* data, std::size_t size, std::size_t offset, std::size_t page) {
    const std::size_t room = std::min(page - offset % page, size);
    // The lines that fit before the boundary, or else the one that crosses it.
    if (const void* lastEnd = ::memrchr(data, '\n', room)) {
        return static_cast<std::size_t>(static_cast<const char*>(lastEnd) - data) + 1;
    }
    const void* end = std::memchr(data + room, '\n', size - room);
    return end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - data) + 1 : size;
}

}  // namespace detail

LineFileSink::LineFileSink(Options options)
    : options_(std::move(options)),
      limit_(options_.maxSize > 0 ? options_.maxSize : std::numeric_limits<std::size_t>::max()),
      blockLimit_(options_.blockSize > 0 ? options_.blockSize : std::numeric_limits<std::size_t>::max()),
      formatter_(std::make_unique<spdlog::pattern_formatter>()) {
    const bool empty = !options_.append && !rotates();
    int error = 0;
    stream_ = openAppending(options_.name, empty, error);
    if (stream_ == nullptr) {
        throw spdlog::spdlog_ex("Failed opening file " + options_.name + " for writing", error);
    }
    if (options_.blockSize > 0) {
        block_.resize(options_.blockSize);
    }
    size_ = sizeOf(stream_);
    if (rotates() && !options_.append && size_ > 0) {
        // A previous run's file: rotated away, so that its lines are kept.
        pending_ = rotateNow();
    }
}

LineFileSink::~LineFileSink() {
    if (stream_ != nullptr) {
        std::fclose(stream_);
    }
}

// Appends a line: to the block in block mode, where a line that would not
// fit in what is left of it first sends the block (see writeAfterBlock);
// otherwise to the stream, which the logger flushes line by line.
inline LineFileSink::Failure LineFileSink::write(const char* data, std::size_t size) {
    if (block_.empty()) {
        size_ += size;
        if (std::fwrite(data, 1, size, stream_) != size) {
            return Failure{write_failed, errno};
        }
        return Failure{};
    }
    if (buffered_ + size > blockLimit_) {
        return writeAfterBlock(data, size);
    }
    std::memcpy(block_.data() + buffered_, data, size);
    buffered_ += size;
    size_ += size;
    return Failure{};
}

// Sends the block, then the line: into the emptied block, or, longer than a
// block, straight to the file.
LineFileSink::Failure LineFileSink::writeAfterBlock(const char* data, std::size_t size) {
    const Failure failure = writeBlock();
    if (failure.error != 0) {
        return failure;
    }
    if (size <= blockLimit_) {
        return write(data, size);
    }
    size_ += size;
    const int error = writeWholeLines(::fileno(stream_), data, size);
    return error != 0 ? Failure{write_failed, error} : Failure{};
}

void LineFileSink::log(const spdlog::details::log_msg& msg) {
    spdlog::memory_buf_t line;
    std::unique_lock<std::mutex> lock(mutex_);
    formatter_->format(msg, line);
    // The common case in one comparison: no rotation due, nothing to report.
    if (size_ + line.size() > limit_ || !pending_.text.empty()) {
        logAndReport(msg, line, lock);
        return;
    }
    const Failure failure = write(line.data(), line.size());
    lock.unlock();
    if (failure.error != 0) {
        raise(failure);
    }
}

// The line when the file may have to rotate or a line about rotation is due:
// that line goes into the file after it, then, outside the lock (the console
// may be slow), to the report sink.
void LineFileSink::logAndReport(const spdlog::details::log_msg& msg, const spdlog::memory_buf_t& line,
                                std::unique_lock<std::mutex>& lock) {
    Failure failure;
    Report report;
    if (size_ > 0 && size_ + line.size() > limit_) {
        report = rotate(line.size(), failure);
    }
    const Failure written = write(line.data(), line.size());
    if (written.error != 0) {
        failure = written;
    }
    if (report.text.empty()) {
        std::swap(report, pending_);
    }
    if (!report.text.empty()) {
        spdlog::memory_buf_t text;
        formatter_->format(spdlog::details::log_msg(msg.logger_name, report.level, report.text), text);
        const Failure reported = write(text.data(), text.size());
        if (reported.error != 0) {
            failure = reported;
        }
    }
    lock.unlock();
    if (!report.text.empty() && options_.report != nullptr) {
        writeLine(*options_.report, report.level, report.text);
    }
    if (failure.error != 0) {
        raise(failure);
    }
}

void LineFileSink::flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    const Failure failure = writeBlock();
    lock.unlock();
    if (failure.error != 0) {
        raise(failure);
    }
}

void LineFileSink::raise(const Failure& failure) const {
    // The words of spdlog's own file sinks, which the error handler reports.
    throw spdlog::spdlog_ex(std::string(failure.what) + options_.name, failure.error);
}

void LineFileSink::set_pattern(const std::string& pattern) {
    std::lock_guard<std::mutex> lock(mutex_);
    formatter_ = std::make_unique<spdlog::pattern_formatter>(pattern);
}

void LineFileSink::set_formatter(std::unique_ptr<spdlog::formatter> formatter) {
    std::lock_guard<std::mutex> lock(mutex_);
    formatter_ = std::move(formatter);
}

// Called with the lock held when a line of lineSize bytes would take the file
// past its limit: rotates unless a failed attempt is too recent or the file
// is not really that large. A failure to write what the stream holds is left
// in failure for the caller to report.
LineFileSink::Report LineFileSink::rotate(std::size_t lineSize, Failure& failure) {
    if (waiting_ && std::chrono::steady_clock::now() < retryAt_) {
        return Report{};
    }
    // Every line written so far goes into the file before it is renamed.
    failure = writeBlock();
    if (failure.error != 0) {
        // A full disk, say: no rotation now, it would only start an empty file.
        waiting_ = true;
        retryAt_ = std::chrono::steady_clock::now() + retry_interval;
        return Report{};
    }
    // What is really there: an outside tool may have emptied the file
    // (copytruncate), and a file that took none of this sink's lines (a full
    // disk) is not worth a rotation.
    size_ = sizeOf(stream_);
    if (size_ == 0 || size_ + lineSize <= options_.maxSize) {
        waiting_ = false;
        return Report{};
    }
    return rotateNow();
}

// The renames and the new file. The file keeps every line it has unless every
// rename and the new file's open succeed; until then the lines go on into it.
LineFileSink::Report LineFileSink::rotateNow() {
    if (const auto failed = rotateFiles(options_.name, options_.maxFiles)) {
        return failedRotation(std::chrono::steady_clock::now(), failed->describe());
    }
    int error = 0;
    std::FILE* next = openAppending(options_.name, false, error);
    if (next == nullptr) {
        // The lines go on into the renamed file until the next attempt opens a new one.
        return failedRotation(std::chrono::steady_clock::now(),
                              "opening a new " + options_.name + ": " + std::strerror(error));
    }
    std::fclose(stream_);  // flushed already: closing writes nothing
    stream_ = next;
    buffered_ = 0;
    size_ = sizeOf(stream_);
    waiting_ = false;
    return Report{spdlog::level::info, rotationErrors_.succeeded(options_.name)};
}

LineFileSink::Report LineFileSink::failedRotation(std::chrono::steady_clock::time_point now, const std::string& why) {
    waiting_ = true;
    retryAt_ = now + retry_interval;
    return Report{spdlog::level::err, rotationErrors_.failed(now, options_.name, why)};
}

// Sends what the block or the stream holds to the file.
LineFileSink::Failure LineFileSink::writeBlock() {
    if (block_.empty()) {
        if (std::fflush(stream_) != 0) {
            return Failure{flush_failed, errno};
        }
        return Failure{};
    }
    const std::size_t pending = std::exchange(buffered_, 0);
    const int error = writeWholeLines(::fileno(stream_), block_.data(), pending);
    return error != 0 ? Failure{flush_failed, error} : Failure{};
}

}  // namespace Logger
