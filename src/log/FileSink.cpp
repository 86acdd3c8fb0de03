#include "log/FileSink.hpp"

#include <dirent.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace Logger {

namespace detail {

bool openInThisProcess(const std::string& fileName) {
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

}  // namespace detail

namespace {

// Rotation renames the file: only for a regular file of that name, or none
// yet. Renaming a link, a device (/dev/null) or a pipe would break it.
bool rotatable(const std::string& fileName) {
    struct stat file {};
    return ::lstat(fileName.c_str(), &file) != 0 || S_ISREG(file.st_mode);
}

}  // namespace

spdlog::sink_ptr openFile(const FileSettings& file, std::string& error) {
    // spdlog would create a missing folder; a mistyped path should show up as
    // an error line, not as a stray folder tree.
    const std::string folder = spdlog::details::os::dir_name(file.name);
    if (!folder.empty() && !spdlog::details::os::path_exists(folder)) {
        error = "its folder " + folder + " does not exist";
        return nullptr;
    }
    try {
        const bool shared = detail::openInThisProcess(file.name);
        spdlog::file_event_handlers events;
        if (file.blockSize > 0) {
            // Each stream the sink opens (a new one at each rotation, the
            // previous one closed first) writes through this one buffer,
            // freed with the sink after its last stream is closed.
            auto block = std::make_shared<std::vector<char>>(file.blockSize);
            events.after_open = [block](const spdlog::filename_t&, std::FILE* stream) {
                std::setvbuf(stream, block->data(), _IOFBF, block->size());
            };
        }
        if (file.maxSize > 0 && rotatable(file.name)) {
            // The sink opens for appending, and rotates a file that is not
            // empty away first when asked to.
            return std::make_shared<spdlog::sinks::rotating_file_sink_mt>(file.name, file.maxSize, file.maxFiles,
                                                                          !shared, events);
        }
        return std::make_shared<spdlog::sinks::basic_file_sink_mt>(file.name, !shared, events);
    } catch (const spdlog::spdlog_ex& e) {
        error = e.what();
        return nullptr;
    }
}

std::string describeFile(const FileSettings& file, const spdlog::sink_ptr& sink) {
    if (sink == nullptr) {
        return "no file";
    }
    if (std::dynamic_pointer_cast<spdlog::sinks::rotating_file_sink_mt>(sink) != nullptr) {
        return fmt::format("file {} (rotated at {} bytes, {} files kept)", file.name, file.maxSize, file.maxFiles);
    }
    return "file " + file.name;
}

}  // namespace Logger
