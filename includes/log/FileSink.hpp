#pragma once

// The log file: which sink writes it, and what becomes of a file of that
// name that is there already.
#include <spdlog/spdlog.h>

#include <cstddef>
#include <string>

#include "log/Settings.hpp"

namespace Logger {

// The file's name, its rotation (with maxSize 0, one file that grows without
// bound, as it always has), the size of the block its lines are written in
// when they are not flushed one by one (0: each line as the logger flushes
// it), and where lines about its rotation and lost lines go besides the file
// (null: nowhere else).
struct FileSettings {
    std::string name;
    std::size_t maxSize = 0;
    std::size_t maxFiles = default_max_files;
    std::size_t blockSize = 0;
    spdlog::sink_ptr report;
};

// Opens the log file's sink, a LineFileSink (thread-safe), which writes whole
// lines only, even on a full disk. Without rotation the file is emptied, as
// spdlog's basic file sink emptied it, with the same bytes after; but a file
// that another process's log holds is left alone for a file of this log's own
// beside it (name-2.log, see openLogFile). With rotation a file that is not
// empty is rotated away (name.log becomes name.1.log, and so on, the oldest
// beyond maxFiles replaced), so the previous run's lines are kept; rotation
// needs a regular file, and a link, a device or a pipe is written as without
// it. Either way a file that another copy of the library in this process has
// open is appended to. A missing folder is not created. Messages name the file
// by its absolute path. Returns null, with error set to why, when the file
// cannot be opened.
spdlog::sink_ptr openFile(const FileSettings& file, std::string& error);

// name with the working folder before it when it is relative (as given when
// that folder is gone).
std::string absolutePath(const std::string& name);

// What the log writes to, for messages: "no file", "file NAME", and the
// rotation when sink rotates.
std::string describeFile(const FileSettings& file, const spdlog::sink_ptr& sink);

// The file sink writes, by its absolute path, when it stands in for the file
// asked for (another process's log holds that one); otherwise "".
std::string standsIn(const spdlog::sink_ptr& sink);

namespace detail {
// Whether this process has fileName open already. Each class loader that
// loads quorvane.jar gets a copy of the library of its own, with a log of its
// own; when another copy has started its log in that file, emptying it would
// lose that copy's lines, so the file is appended to instead.
bool openInThisProcess(const std::string& fileName);
}  // namespace detail

}  // namespace Logger
