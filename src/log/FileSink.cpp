#include "log/FileSink.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <utility>

#include "log/LineFile.hpp"
#include "log/SharedFile.hpp"

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

std::string absolutePath(const std::string& name) {
    if (name.empty() || name.front() == '/') {
        return name;
    }
    char* folder = ::getcwd(nullptr, 0);
    if (folder == nullptr) {
        return name;  // the working folder is gone: the name as given is all there is
    }
    std::string path(folder);
    std::free(folder);
    if (path.back() != '/') {
        path += '/';
    }
    return path + name;
}

spdlog::sink_ptr openFile(const FileSettings& file, std::string& error) {
    // Messages name the file as opened, with its folder, whatever the name given.
    const std::string name = absolutePath(file.name);
    // spdlog would create a missing folder; a mistyped path should show up as
    // an error line, not as a stray folder tree.
    const std::string folder = spdlog::details::os::dir_name(name);
    if (!folder.empty() && !spdlog::details::os::path_exists(folder)) {
        error = "its folder " + folder + " does not exist";
        return nullptr;
    }
    try {
        const bool shared = detail::openInThisProcess(name);
        const bool rotation = file.maxSize > 0 && rotatable(name);
        LineFileSink::Options options;
        options.name = name;
        options.maxSize = rotation ? file.maxSize : 0;
        options.maxFiles = file.maxFiles;
        options.blockSize = file.blockSize;
        options.append = shared;
        options.report = file.report;
        return std::make_shared<LineFileSink>(std::move(options));
    } catch (const spdlog::spdlog_ex& e) {
        error = e.what();
        return nullptr;
    }
}

std::string describeFile(const FileSettings& file, const spdlog::sink_ptr& sink) {
    if (sink == nullptr) {
        return "no file";
    }
    const auto lines = std::dynamic_pointer_cast<LineFileSink>(sink);
    if (lines == nullptr) {
        return "file " + file.name;
    }
    // The name as given, or the file beside it that stands in for it.
    const std::string name = lines->besideIndex() > 0 ? besideName(file.name, lines->besideIndex()) : file.name;
    if (lines->rotates()) {
        return fmt::format("file {} (rotated at {} bytes, {} files kept)", name, file.maxSize, file.maxFiles);
    }
    return "file " + name;
}

std::string standsIn(const spdlog::sink_ptr& sink) {
    const auto lines = std::dynamic_pointer_cast<LineFileSink>(sink);
    if (lines == nullptr || lines->besideIndex() == 0) {
        return "";
    }
    return lines->fileName();
}

}  // namespace Logger
