#pragma once

// The log file when other logs may write it too: copies of the library in
// this process, and other JVMs started in the same folder. Every log holds a
// shared lock on the regular file it writes for as long as it writes it, so
// that a log that starts can tell a file in use from one a finished process
// left, and a log that cut a line short can tell whether the end of the file
// is its own. The lock is an open file description lock (fcntl F_OFD_*): the
// kernel lets go of it when the process ends, however it ends; two copies of
// the library in one process, each with a descriptor of its own, see each
// other's lock as they see another process's; and closing some other
// descriptor of the file (the application reading its own log) leaves it
// alone, which a classic POSIX record lock would not.
#include <cstddef>
#include <string>

namespace Logger {

// A log file opened for appending, closed in the processes the JVM starts.
struct OpenedFile {
    int fd = -1;  // -1 when the file could not be opened; error then holds errno
    int error = 0;
    // The file opened: the name asked for, or (index > 0) besideName(name, index).
    std::string name;
    std::size_t index = 0;
    bool regular = false;  // a regular file; not a device, a pipe or a socket
    bool held = false;     // this descriptor holds the shared lock
};

// Opens name for a log that starts. With empty, the file is emptied, as a
// log's start has always emptied it, unless another process's log holds it:
// that file is left alone, and the first of besideName(name, 2), (name, 3)...
// that no other process holds is emptied and written instead (appended to,
// when this process has it open already: another copy of the library writes
// it). Without empty, the file is appended to. A file that is not regular is
// opened as it is, neither locked nor emptied (a device, a pipe). Any thread.
OpenedFile openLogFile(const std::string& name, bool empty);

// Opens name for appending and holds it when that takes no wait: the new file
// of a rotation, opened with the sink's lock held.
OpenedFile openNextFile(const std::string& name);

// "logs/app.log" with 2 is "logs/app-2.log"; a name without an extension gets
// "-2" at the end.
std::string besideName(const std::string& name, std::size_t index);

// Whether no other log holds the file open in fd, this descriptor holding
// the shared lock: then it holds the file alone until holdShared(fd), and may
// take back bytes at the file's end that no other log can have written after.
bool holdAlone(int fd);
void holdShared(int fd);

}  // namespace Logger
