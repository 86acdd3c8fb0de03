#include "log/LineFile.hpp"

#include <spdlog/details/os.h>
#include <spdlog/pattern_formatter.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>
#include <utility>

#include "log/ReportSink.hpp"
#include "log/Rotation.hpp"
#include "log/SharedFile.hpp"

namespace Logger {

namespace {

constexpr const char* write_failed = "Failed writing to file ";
constexpr const char* flush_failed = "Failed flush to file ";

// Writes data[written, end) at the end of the file, in as many calls as it
// takes. Returns 0, or the errno of the call that failed; written counts the
// bytes of data in the file.
int appendAll(int fd, const char* data, std::size_t end, std::size_t& written) {
    while (written < end) {
        const ssize_t wrote = ::write(fd, data + written, end - written);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return wrote < 0 ? errno : EIO;
        }
        written += static_cast<std::size_t>(wrote);
    }
    return 0;
}

// Writes data (whole lines) at the end of the file, in the pieces
// wholeLinesPiece cuts. Returns 0, or the errno of the write that failed;
// written counts the bytes of data in the file.
int writeWholeLines(int fd, const char* data, std::size_t size, std::size_t& written) {
    written = 0;
    // A single line goes out in one call, wherever it lands: no piece to cut,
    // and no fstat for the line flushed on its own.
    const void* firstEnd = std::memchr(data, '\n', size);
    if (firstEnd == nullptr || firstEnd == data + size - 1) {
        return appendAll(fd, data, size, written);
    }
    static const std::size_t page =
        ::sysconf(_SC_PAGESIZE) > 0 ? static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) : 4096;
    struct stat file {};
    const std::size_t offset = ::fstat(fd, &file) == 0 ? static_cast<std::size_t>(file.st_size) : 0;
    while (written < size) {
        const std::size_t piece = detail::wholeLinesPiece(data + written, size - written, offset + written, page);
        if (const int error = appendAll(fd, data, written + piece, written)) {
            return error;
        }
    }
    return 0;
}

off_t sizeOf(int fd) {
    struct stat file {};
    return ::fstat(fd, &file) == 0 ? file.st_size : -1;
}

std::uint64_t linesIn(const char* data, std::size_t size) {
    return static_cast<std::uint64_t>(std::count(data, data + size, '\n'));
}

// A time as the log's lines show it.
std::string localTime(spdlog::log_clock::time_point time) {
    const std::tm local = spdlog::details::os::localtime(spdlog::log_clock::to_time_t(time));
    char text[32];
    return std::string(text, std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local));
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
      blockLimit_(options_.blockSize > 0 ? options_.blockSize : line_block_size),
      formatter_(std::make_unique<spdlog::pattern_formatter>()) {
    OpenedFile file = openLogFile(options_.name, !options_.append && !rotates());
    if (file.fd < 0) {
        throw spdlog::spdlog_ex("Failed opening file " + options_.name + " for writing", file.error);
    }
    fd_ = file.fd;
    fileName_ = std::move(file.name);
    besideIndex_ = file.index;
    regular_ = file.regular;
    held_ = file.held;
    block_.resize(blockLimit_);
    const off_t size = sizeOf(fd_);
    size_ = size > 0 ? static_cast<std::size_t>(size) : 0;
    if (rotates() && !options_.append && size_ > 0) {
        // A previous run's file: rotated away, so that its lines are kept.
        pending_ = rotateNow();
    }
}

LineFileSink::~LineFileSink() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

// Appends a line to the block, where a line that would not fit in what is
// left of it first sends the block (see writeAfterBlock). Lines flushed one
// by one wait there for the logger's flush.
inline LineFileSink::Failure LineFileSink::write(const char* data, std::size_t size,
                                                 spdlog::log_clock::time_point time) {
    if (buffered_ + size > blockLimit_) {
        return writeAfterBlock(data, size, time);
    }
    if (buffered_ == 0) {
        blockFirst_ = time;
    }
    blockLast_ = time;
    std::memcpy(block_.data() + buffered_, data, size);
    buffered_ += size;
    size_ += size;
    return Failure{};
}

// Sends the block, then the line: into the emptied block (where, if the block
// could not be sent, it waits for the next attempt), or, longer than a block,
// straight to the file.
LineFileSink::Failure LineFileSink::writeAfterBlock(const char* data, std::size_t size,
                                                    spdlog::log_clock::time_point time) {
    const Failure failure = writeBlock();
    if (size <= blockLimit_) {
        const Failure buffered = write(data, size, time);
        return failure.error != 0 ? failure : buffered;
    }
    if (failure.error != 0) {
        lose(1, time, time);
        return failure;
    }
    size_ += size;
    const int error = writeLines(data, size, time, time);
    return error != 0 ? Failure{write_failed, error} : Failure{};
}

// Lets go of the lock, then tells the report sink that the file takes lines
// again, when it just did (the console may be slow: never under the lock).
inline void LineFileSink::reportRecovery(std::unique_lock<std::mutex>& lock) {
    if (recovered_.empty()) {
        lock.unlock();
        return;
    }
    std::string text;
    text.swap(recovered_);
    lock.unlock();
    if (options_.report != nullptr) {
        writeLine(*options_.report, spdlog::level::warn, text);
    }
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
    const Failure failure = write(line.data(), line.size(), msg.time);
    reportRecovery(lock);
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
    const Failure written = write(line.data(), line.size(), msg.time);
    if (written.error != 0) {
        failure = written;
    }
    if (report.text.empty()) {
        std::swap(report, pending_);
    }
    if (!report.text.empty()) {
        spdlog::memory_buf_t text;
        formatter_->format(spdlog::details::log_msg(msg.logger_name, report.level, report.text), text);
        const Failure reported = write(text.data(), text.size(), msg.time);
        if (reported.error != 0) {
            failure = reported;
        }
    }
    reportRecovery(lock);
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
    reportRecovery(lock);
    if (failure.error != 0) {
        raise(failure);
    }
}

void LineFileSink::raise(const Failure& failure) const {
    // The words of spdlog's own file sinks, which the error handler reports.
    throw spdlog::spdlog_ex(std::string(failure.what) + fileName_, failure.error);
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
// is not really that large. A failure to write what the block holds is left
// in failure for the caller to report.
LineFileSink::Report LineFileSink::rotate(std::size_t lineSize, Failure& failure) {
    if (waiting_ && std::chrono::steady_clock::now() < retryAt_) {
        return Report{};
    }
    // Every line written so far goes into the file before it is renamed.
    failure = writeBlock();
    if (failure.error != 0 || failing_) {
        // A full disk, say: no rotation now, it would only start an empty file.
        waiting_ = true;
        retryAt_ = std::chrono::steady_clock::now() + retry_interval;
        return Report{};
    }
    // What is really there: an outside tool may have emptied the file
    // (copytruncate), and a file that took none of this sink's lines (a full
    // disk) is not worth a rotation.
    const off_t size = sizeOf(fd_);
    size_ = size > 0 ? static_cast<std::size_t>(size) : 0;
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
    OpenedFile next = openNextFile(options_.name);
    if (next.fd < 0) {
        // The lines go on into the renamed file until the next attempt opens a new one.
        return failedRotation(std::chrono::steady_clock::now(),
                              "opening a new " + options_.name + ": " + std::strerror(next.error));
    }
    // Written already: closing writes nothing, and lets go of the renamed file's lock.
    ::close(fd_);
    fd_ = next.fd;
    regular_ = next.regular;
    held_ = next.held;
    buffered_ = 0;
    const off_t size = sizeOf(fd_);
    size_ = size > 0 ? static_cast<std::size_t>(size) : 0;
    waiting_ = false;
    return Report{spdlog::level::info, rotationErrors_.succeeded(options_.name)};
}

LineFileSink::Report LineFileSink::failedRotation(std::chrono::steady_clock::time_point now, const std::string& why) {
    waiting_ = true;
    retryAt_ = now + retry_interval;
    return Report{spdlog::level::err, rotationErrors_.failed(now, options_.name, why)};
}

// Sends what the block holds to the file. With nothing to send, a file that
// failed is still tried (the flusher's round finds out that it works again),
// but a failure to write nothing is no new failure.
LineFileSink::Failure LineFileSink::writeBlock() {
    const std::size_t pending = std::exchange(buffered_, 0);
    if (pending == 0) {
        if (failing_) {
            recover();
        }
        return Failure{};
    }
    const int error = writeLines(block_.data(), pending, blockFirst_, blockLast_);
    return error != 0 ? Failure{flush_failed, error} : Failure{};
}

// Writes data (whole lines logged between first and last) after whatever a
// failure left to write first. Returns 0, or the errno of the write that
// failed; what did not reach the file is counted as lost.
int LineFileSink::writeLines(const char* data, std::size_t size, spdlog::log_clock::time_point first,
                             spdlog::log_clock::time_point last) {
    if (failing_) {
        if (const int error = recover()) {
            lose(linesIn(data, size), first, last);
            return error;
        }
    }
    std::size_t written = 0;
    const int error = writeWholeLines(fd_, data, size, written);
    if (error != 0) {
        const std::size_t settled = settleCut(data, written, size, Lost{1, first, last});
        lose(linesIn(data + settled, size - settled), first, last);
    }
    return error;
}

// After a write of data (whole lines) that stopped with written bytes in the
// file: a line cut short is taken back, or its end kept to complete it.
// Returns how many bytes of data are settled (whole lines written, and a cut
// line whose end is kept). line: what the cut line counts for, should its end
// find no place later.
std::size_t LineFileSink::settleCut(const char* data, std::size_t written, std::size_t size, const Lost& line) {
    const void* lastEnd = ::memrchr(data, '\n', written);
    const std::size_t whole =
        lastEnd != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lastEnd) - data) + 1 : 0;
    const std::size_t part = written - whole;
    if (part == 0) {
        return whole;
    }
    // With O_APPEND, the descriptor's offset is where its last write ended.
    const off_t end = ::lseek(fd_, 0, SEEK_CUR);
    if (takeBack(end, part)) {
        return whole;
    }
    const void* lineEnd = std::memchr(data + written, '\n', size - written);
    const std::size_t cutEnd =
        lineEnd != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lineEnd) - data) + 1 : size;
    cutRest_.assign(data + written, data + cutEnd);
    cutEnd_ = end;
    cutLine_ = line;
    failing_ = true;
    return cutEnd;
}

// Truncates the file back to before the part of a line that ends at end,
// when no other log holds the file and nothing was written after it: no other
// log's line is ever taken back.
bool LineFileSink::takeBack(off_t end, std::size_t part) {
    if (!regular_ || !held_ || end < static_cast<off_t>(part) || !holdAlone(fd_)) {
        return false;
    }
    const bool taken = sizeOf(fd_) == end && ::ftruncate(fd_, end - static_cast<off_t>(part)) == 0;
    holdShared(fd_);
    return taken;
}

void LineFileSink::lose(std::uint64_t lines, spdlog::log_clock::time_point first, spdlog::log_clock::time_point last) {
    if (lines == 0) {
        return;
    }
    if (lost_.lines == 0) {
        lost_.first = first;
        lost_.last = last;
    }
    // A cut line given up on comes late, with its own (earlier) times.
    lost_.first = std::min(lost_.first, first);
    lost_.last = std::max(lost_.last, last);
    lost_.lines += lines;
    failing_ = true;
}

// What a failure left to write, before anything else: the end of a cut line
// (when the file still ends with its start; otherwise that line is lost),
// then the line that says how many were lost. Returns 0 once both are
// written, or the errno of the write that failed.
int LineFileSink::recover() {
    if (!cutRest_.empty()) {
        if (sizeOf(fd_) != cutEnd_) {
            // Another log wrote after the cut line: its end has no place left.
            cutRest_.clear();
            lose(cutLine_.lines, cutLine_.first, cutLine_.last);
        } else {
            std::size_t written = 0;
            const int error = appendAll(fd_, cutRest_.data(), cutRest_.size(), written);
            cutRest_.erase(0, written);
            cutEnd_ += static_cast<off_t>(written);
            if (error != 0) {
                return error;
            }
        }
    }
    if (lost_.lines > 0) {
        const std::string message =
            lost_.lines == 1
                ? fmt::format("[Quorvane] Log file {} takes lines again: 1 line lost, logged at {}", fileName_,
                              localTime(lost_.first))
                : fmt::format("[Quorvane] Log file {} takes lines again: {} lines lost, logged between {} and {}",
                              fileName_, lost_.lines, localTime(lost_.first), localTime(lost_.last));
        spdlog::memory_buf_t text;
        formatter_->format(spdlog::details::log_msg("app", spdlog::level::warn, message), text);
        std::size_t written = 0;
        const int error = appendAll(fd_, text.data(), text.size(), written);
        if (error != 0) {
            // Cut short itself: taken back (and written again next time), or
            // completed by its end, which then says it.
            if (settleCut(text.data(), written, text.size(), Lost{}) != 0) {
                lost_ = Lost{};
            }
            return error;
        }
        size_ += text.size();
        lost_ = Lost{};
        recovered_ = message;
    }
    failing_ = false;
    return 0;
}

}  // namespace Logger
