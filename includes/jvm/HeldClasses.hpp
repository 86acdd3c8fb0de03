#pragma once

#include <jni.h>

#include <vector>

namespace Quorvane::Jvm {

// The classes of a Java array as global references, released by the holder.
// A redefinition or retransformation runs the hooks on the calling thread,
// and under -Xcheck:jni those would count this frame's many local references
// as theirs. Null elements are left out (the Java side never passes any).
class HeldClasses {
public:
    HeldClasses(JNIEnv* env, jobjectArray classes) : env_(env), requested_(env->GetArrayLength(classes)) {
        held_.reserve(static_cast<std::size_t>(requested_));
        for (jsize i = 0; i < requested_; ++i) {
            jobject local = env->GetObjectArrayElement(classes, i);
            if (local == nullptr) {
                continue;
            }
            jobject global = env->NewGlobalRef(local);
            env->DeleteLocalRef(local);
            if (global == nullptr) {
                complete_ = false;
                return;
            }
            held_.push_back(static_cast<jclass>(global));
        }
    }
    HeldClasses(const HeldClasses&) = delete;
    HeldClasses& operator=(const HeldClasses&) = delete;
    ~HeldClasses() {
        for (jclass klass : held_) {
            env_->DeleteGlobalRef(klass);
        }
    }

    // False when the VM had no memory to hold them all; none is to be used then.
    bool complete() const { return complete_; }
    const std::vector<jclass>& classes() const { return held_; }
    // How many the array held.
    jsize requested() const { return requested_; }

private:
    JNIEnv* env_;
    jsize requested_;
    std::vector<jclass> held_;
    bool complete_ = true;
};

}  // namespace Quorvane::Jvm
