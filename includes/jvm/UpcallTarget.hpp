#pragma once

#include <jni.h>

#include <atomic>

namespace Quorvane::Jvm {

// A Java method a hook calls on every class it hands over (Remap.remap, the
// Instrumentation's transformer manager), kept alive across Quorvane.detach():
// the class's global reference pins the class loader of this copy's Java
// side, so detaching lets go of it, but only once no hook is inside an
// upcall. A hook holds a Use for as long as it reads the declarations and
// calls them.
//
// Threads: the class and method are written before the owner publishes them
// (Remapper's initialized flag, or the Instrumentation's readiness) and read
// by hooks on any class-loading thread. The detached flag and the in-flight
// count are sequentially consistent, so either a hook sees the flag and goes,
// or detach sees the hook and the last hook out releases the reference; never
// both.
class UpcallTarget {
public:
    UpcallTarget() = default;
    UpcallTarget(const UpcallTarget&) = delete;
    UpcallTarget& operator=(const UpcallTarget&) = delete;

    jclass targetClass() const { return class_.load(std::memory_order_relaxed); }
    jmethodID method() const { return method_.load(std::memory_order_relaxed); }
    // By the owner's set-up only, before it publishes them.
    void setTargetClass(jclass klass) { class_.store(klass, std::memory_order_relaxed); }
    void setMethod(jmethodID method) { method_.store(method, std::memory_order_relaxed); }

    bool isDetached() const { return detached_.load(); }

    // For good, once, by the owner's detach: the class's reference goes now
    // when no hook is inside an upcall, else with the last one out.
    void detach(JNIEnv* env) noexcept {
        detached_.store(true);
        if (inFlight_.load() == 0) {
            release(env);
        }
    }

    // One hook's stay on the upcall path. Not entered when detached: the hook
    // then leaves the class alone.
    class Use {
    public:
        Use(UpcallTarget& target, JNIEnv* env) noexcept : target_(target), env_(env) {
            target_.inFlight_.fetch_add(1);
            entered_ = !target_.detached_.load();
        }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        ~Use() {
            if (target_.inFlight_.fetch_sub(1) == 1 && target_.detached_.load()) {
                target_.release(env_);
            }
        }
        bool entered() const { return entered_; }

    private:
        UpcallTarget& target_;
        JNIEnv* env_;
        bool entered_ = false;
    };

private:
    // Whoever takes the reference out deletes it: detach, or the last hook
    // out, never both.
    void release(JNIEnv* env) noexcept {
        method_.store(nullptr, std::memory_order_relaxed);
        jclass klass = class_.exchange(nullptr);
        if (klass != nullptr) {
            env->DeleteGlobalRef(klass);
        }
    }

    std::atomic<jclass> class_{nullptr};
    std::atomic<jmethodID> method_{nullptr};
    std::atomic<bool> detached_{false};
    std::atomic<int> inFlight_{0};
};

}  // namespace Quorvane::Jvm
