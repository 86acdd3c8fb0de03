#include "log/SharedFile.hpp"

#include <fcntl.h>
#include <spdlog/details/file_helper.h>
#include <spdlog/fmt/fmt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <tuple>

#include "log/FileSink.hpp"

namespace Logger {

namespace {

// Files tried beside one in use: name-2 up to this one.
constexpr std::size_t last_beside = 100;

enum class Lock { taken, busy, unavailable };

// The whole file, however far it grows, locked (or unlocked) without waiting.
Lock lock(int fd, short type) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 0;
    if (::fcntl(fd, F_OFD_SETLK, &range) == 0) {
        return Lock::taken;
    }
    return errno == EAGAIN || errno == EACCES ? Lock::busy : Lock::unavailable;
}

// A log holds a file alone only for a few system calls (emptying it at its
// start, taking back a line it cut): at a start, the shared lock is worth a
// short wait for that, never a long one.
bool holdJoining(int fd, bool wait) {
    for (int tries = 0; tries < 100; ++tries) {
        switch (lock(fd, F_RDLCK)) {
            case Lock::taken:
                return true;
            case Lock::unavailable:
                return false;
            case Lock::busy:
                if (!wait) {
                    return false;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return false;
}

struct Appending {
    OpenedFile file;
    bool readable = false;  // the lock needs a descriptor that may read
};

// Opens name for appending, and for reading too when it is (or will be) a
// regular file, for the lock's sake: a file that may be written but not read
// is written without a lock. Anything else (a pipe, a device) is opened
// write-only, as it always was: a pipe then waits for its reader.
Appending openAppending(const std::string& name) {
    Appending opened;
    opened.file.name = name;
    struct stat before {};
    const bool regular = ::stat(name.c_str(), &before) != 0 || S_ISREG(before.st_mode);
    constexpr int flags = O_CREAT | O_APPEND | O_CLOEXEC;
    int fd = regular ? ::open(name.c_str(), O_RDWR | flags, 0666) : -1;
    opened.readable = fd >= 0;
    if (fd < 0) {
        fd = ::open(name.c_str(), O_WRONLY | flags, 0666);
    }
    if (fd < 0) {
        opened.file.error = errno;
        return opened;
    }
    struct stat file {};
    opened.file.fd = fd;
    opened.file.regular = ::fstat(fd, &file) == 0 && S_ISREG(file.st_mode);
    return opened;
}

OpenedFile joined(Appending opened, bool wait) {
    if (opened.file.fd >= 0 && opened.file.regular && opened.readable) {
        opened.file.held = holdJoining(opened.file.fd, wait);
    }
    return opened.file;
}

void close(OpenedFile& file) {
    ::close(file.fd);
    file.fd = -1;
}

// name emptied and held, when no other process's log holds it; otherwise
// closed again, with fd -1 and no error. A file that is not regular is
// returned open as it is.
OpenedFile emptied(const std::string& name) {
    Appending opened = openAppending(name);
    OpenedFile& file = opened.file;
    if (file.fd < 0 || !file.regular) {
        return file;
    }
    const Lock alone = opened.readable ? lock(file.fd, F_WRLCK) : Lock::unavailable;
    if (alone == Lock::busy) {
        close(file);
        return file;
    }
    // Without locks (a file system that has none, a file that may not be
    // read), emptied as it always was.
    if (::ftruncate(file.fd, 0) != 0) {
        file.error = errno;
        close(file);
        return file;
    }
    if (alone == Lock::taken) {
        // From alone to shared in one step: no other log can take the file
        // alone in between and empty it again.
        file.held = lock(file.fd, F_RDLCK) == Lock::taken;
    }
    return file;
}

}  // namespace

std::string besideName(const std::string& name, std::size_t index) {
    // spdlog's split, as the rotated files' names use it.
    std::string base;
    std::string extension;
    std::tie(base, extension) = spdlog::details::file_helper::split_by_extension(name);
    return fmt::format("{}-{}{}", base, index, extension);
}

OpenedFile openLogFile(const std::string& name, bool empty) {
    if (!empty) {
        return joined(openAppending(name), true);
    }
    OpenedFile first = emptied(name);
    if (first.fd >= 0 || first.error != 0) {
        return first;
    }
    // Another process's log writes name: its lines stay, this log takes a
    // file of its own beside it.
    for (std::size_t index = 2; index <= last_beside; ++index) {
        const std::string beside = besideName(name, index);
        OpenedFile file = detail::openInThisProcess(beside) ? joined(openAppending(beside), true) : emptied(beside);
        if (file.fd >= 0 && !file.regular) {
            close(file);
        }
        if (file.fd >= 0) {
            file.index = index;
            return file;
        }
    }
    // Every one of them in use: name is appended to, never emptied.
    return joined(openAppending(name), true);
}

OpenedFile openNextFile(const std::string& name) {
    return joined(openAppending(name), false);
}

bool holdAlone(int fd) {
    return lock(fd, F_WRLCK) == Lock::taken;
}

void holdShared(int fd) {
    lock(fd, F_RDLCK);
}

}  // namespace Logger
