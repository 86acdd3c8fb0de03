#pragma once

#include <jni.h>

#include <algorithm>

// Natives that list the VM's classes or modules get one local reference per
// entry from JVMTI, 100,000 of them in a large application.
namespace Quorvane::LocalRefs {

// HotSpot refuses a declaration of more local references than
// MaxJNILocalCapacity (65,536 unless changed), and its -Xcheck:jni then
// warns at the next call, yet a frame holds any number of them. It also
// counts the references a frame already holds into an accepted declaration,
// so one made after they exist covers them all, however many: ask for no
// more than it grants.
constexpr jint max_declared = 65536;

// Declares that the current frame holds count local references, before the
// next JNI call, which -Xcheck:jni would otherwise flag.
inline void declare(JNIEnv* env, jlong count) {
    const auto declared = static_cast<jint>(std::min<jlong>(count, max_declared));
    if (env->EnsureLocalCapacity(declared) != JNI_OK && env->ExceptionCheck()) {
        env->ExceptionClear();
    }
}

}  // namespace Quorvane::LocalRefs
