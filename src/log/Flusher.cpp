#include "log/Flusher.hpp"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <utility>

namespace Logger {

namespace {

constexpr auto flush_interval = std::chrono::seconds(1);

// Shared by the flusher thread and the exit flush. Never destroyed: the
// thread still waits on it while exit() runs the static destructors.
struct Flusher {
    std::mutex mutex;  // held across each flush, and guards stopped
    std::condition_variable wake;
    bool stopped = false;
    spdlog::sink_ptr file;
    spdlog::err_handler onError;

    // As the logger's own flush does it: a failure goes to the handler.
    void flush() noexcept {
        try {
            file->flush();
        } catch (const std::exception& e) {
            onError(e.what());
        } catch (...) {
            onError("unknown failure");
        }
    }
};

void* flushLoop(void* argument) {
    auto& flusher = *static_cast<Flusher*>(argument);
    auto next = std::chrono::steady_clock::now() + flush_interval;
    std::unique_lock<std::mutex> lock(flusher.mutex);
    while (!flusher.wake.wait_until(lock, next, [&flusher] { return flusher.stopped; })) {
        flusher.flush();
        next += flush_interval;
        const auto now = std::chrono::steady_clock::now();
        if (next < now) {
            next = now + flush_interval;
        }
    }
    return nullptr;
}

// The last flush, on the thread that calls exit(), after the application's
// shutdown hooks have run. It stops the thread first, so that the C library's
// own flush of every stream at the very end of exit(), which takes no lock,
// never meets a flush of ours. Lines written after this one are still in the
// stream's buffer then, and that final flush writes them.
class FlushAtExit {
public:
    explicit FlushAtExit(Flusher& flusher) : flusher_(flusher) {}
    FlushAtExit(const FlushAtExit&) = delete;
    FlushAtExit& operator=(const FlushAtExit&) = delete;
    ~FlushAtExit() {
        std::lock_guard<std::mutex> lock(flusher_.mutex);
        flusher_.stopped = true;
        flusher_.flush();
        flusher_.wake.notify_all();
    }

private:
    Flusher& flusher_;
};

}  // namespace

bool flushEverySecond(spdlog::sink_ptr file, spdlog::err_handler onError) {
    auto* flusher = new Flusher();
    flusher->file = std::move(file);
    flusher->onError = std::move(onError);

    // The new thread inherits this mask: signals meant for the process (the
    // JVM's SIGTERM, SIGQUIT) must reach one of the VM's threads, not this one.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int started = pthread_create(&thread, &attributes, &flushLoop, flusher);
    pthread_attr_destroy(&attributes);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (started != 0) {
        delete flusher;
        return false;
    }
    pthread_setname_np(thread, "quorvane-flush");
    static FlushAtExit flush_at_exit(*flusher);
    return true;
}

}  // namespace Logger
