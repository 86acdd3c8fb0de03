#pragma once

// The log file: which spdlog sink writes it, and what becomes of a file of
// that name that is there already.
#include <spdlog/spdlog.h>

#include <cstddef>
#include <string>

#include "log/Settings.hpp"

namespace Logger {

// The file's name, its rotation (with maxSize 0, one file that grows without
// bound, as it always has) and the size of the block its lines are written in
// when they are not flushed one by one (0: the C library's own, 4 KiB).
struct FileSettings {
    std::string name;
    std::size_t maxSize = 0;
    std::size_t maxFiles = default_max_files;
    std::size_t blockSize = 0;
};

// Opens the log file's sink (the multi-threaded kinds). Without rotation the
// file is emptied. With rotation a file that is not empty is rotated away
// (name.log becomes name.1.log, and so on, the oldest beyond maxFiles
// removed), so the previous run's lines are kept; rotation needs a regular
// file, and a link, a device or a pipe is written as without it. Either way a
// file that another copy of the library in this process has open is appended
// to. A missing folder is not created. Returns null, with error set to why,
// when the file cannot be opened.
spdlog::sink_ptr openFile(const FileSettings& file, std::string& error);

// What the log writes to, for messages: "no file", "file NAME", and the
// rotation when sink rotates.
std::string describeFile(const FileSettings& file, const spdlog::sink_ptr& sink);

namespace detail {
// Whether this process has fileName open already. Each class loader that
// loads quorvane.jar gets a copy of the library of its own, with a log of its
// own; when another copy has started its log in that file, emptying it would
// lose that copy's lines, so the file is appended to instead.
bool openInThisProcess(const std::string& fileName);
}  // namespace detail

}  // namespace Logger
