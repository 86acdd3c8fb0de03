#pragma once

// Buffered file lines reach the file at least once a second, and at exit.
#include <spdlog/spdlog.h>

namespace Logger {

// Starts a thread of the library's own that flushes the file sink once a
// second, and has the process's exit flush it a last time (end of main,
// System.exit, a shutdown by signal: the JVM ends them all through exit(),
// which runs the library's static destructors). Only the file: console lines
// are flushed as they are written, and an exit must never wait for a console
// that nobody reads. A failure goes to onError. The thread never attaches to
// the VM, blocks every signal and is never joined; the sink is kept for good.
// False, with no thread started, when the system refuses a thread. Once per
// process (Logger::init calls it): a later call gets no exit flush.
bool flushEverySecond(spdlog::sink_ptr file, spdlog::err_handler onError);

}  // namespace Logger
