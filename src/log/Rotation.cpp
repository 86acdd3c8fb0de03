#include "log/Rotation.hpp"

#include <spdlog/details/file_helper.h>
#include <spdlog/fmt/fmt.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <tuple>

namespace Logger {

namespace {

bool isRegularFile(const std::string& path) {
    struct stat file {};
    return ::lstat(path.c_str(), &file) == 0 && S_ISREG(file.st_mode);
}

bool exists(const std::string& path) {
    struct stat file {};
    return ::lstat(path.c_str(), &file) == 0;
}

}  // namespace

std::string rotatedName(const std::string& name, std::size_t index) {
    if (index == 0) {
        return name;
    }
    // spdlog's split, so that the names stay those its rotating sink used.
    std::string base;
    std::string extension;
    std::tie(base, extension) = spdlog::details::file_helper::split_by_extension(name);
    return fmt::format("{}.{}{}", base, index, extension);
}

std::string RotationFailure::describe() const {
    return fmt::format("renaming {} to {}: {}", from, to, std::strerror(error));
}

std::optional<RotationFailure> rotateFiles(const std::string& name, std::size_t maxFiles) {
    if (!exists(name)) {
        return std::nullopt;
    }
    std::size_t free = 1;
    while (free < maxFiles && isRegularFile(rotatedName(name, free))) {
        ++free;
    }
    for (std::size_t to = free; to > 0; --to) {
        RotationFailure step{rotatedName(name, to - 1), rotatedName(name, to), 0};
        if (std::rename(step.from.c_str(), step.to.c_str()) != 0) {
            step.error = errno;
            return step;
        }
    }
    return std::nullopt;
}

}  // namespace Logger
