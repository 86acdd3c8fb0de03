#pragma once

#include <jni.h>
#include <jvmti.h>

#include <algorithm>

// Local references in frames of their own: the hooks' few, given back at
// once on every path, and the listings' many, one per class or module the VM
// lists (100,000 of them in a large application).
namespace Quorvane::Jvm {

// A local frame for the references one run of a hook makes, popped when the
// holder goes. When pushed() is false the VM had no memory for it and its
// OutOfMemoryError is pending.
class LocalFrame {
public:
    LocalFrame(JNIEnv* env, jint capacity) : env_(env), pushed_(env->PushLocalFrame(capacity) == JNI_OK) {}
    LocalFrame(const LocalFrame&) = delete;
    LocalFrame& operator=(const LocalFrame&) = delete;
    ~LocalFrame() {
        if (pushed_) {
            env_->PopLocalFrame(nullptr);
        }
    }
    bool pushed() const { return pushed_; }

private:
    JNIEnv* env_;
    bool pushed_;
};

// HotSpot refuses a declaration of more local references than
// MaxJNILocalCapacity (65,536 unless changed), and its -Xcheck:jni then
// warns at the next call, yet a frame holds any number of them. It also
// counts the references a frame already holds into an accepted declaration,
// so one made after they exist covers them all, however many: ask for no
// more than it grants.
constexpr jint max_declared_local_refs = 65536;

// Declares that the current frame holds count local references, before the
// next JNI call, which -Xcheck:jni would otherwise flag.
inline void declareLocalRefs(JNIEnv* env, jlong count) {
    const auto declared = static_cast<jint>(std::min<jlong>(count, max_declared_local_refs));
    if (env->EnsureLocalCapacity(declared) != JNI_OK && env->ExceptionCheck()) {
        env->ExceptionClear();
    }
}

// References a listing makes beside the listed ones: the element class and
// the array.
constexpr jint refs_beside_listing = 2;

// What listInFrame gives: the array, or null and why.
struct Listed {
    jobjectArray array = nullptr;
    bool noFrame = false;                    // no memory for the frame: OutOfMemoryError pending
    jvmtiError error = JVMTI_ERROR_NONE;     // the listing's own failure: nothing pending
};

// An array of elementClass holding what list(&count, &items), a JVMTI listing
// call, returns and keep(items, count) keeps (a std::vector of references).
// The listing works in a local frame of its own: popping it lets go of every
// listed reference at once (deleted one by one under -Xcheck:jni, each delete
// searches the frame, and 100,000 of them take seconds). When the element
// class or the array cannot be made, the array is null with the VM's
// exception pending. The caller raises what it must for the other failures.
template <typename Item, typename List, typename Keep>
Listed listInFrame(JNIEnv* env, jvmtiEnv* jvmti, const char* elementClass, List list, Keep keep) {
    Listed listed;
    if (env->PushLocalFrame(refs_beside_listing) != JNI_OK) {
        listed.noFrame = true;
        return listed;
    }
    jint count = 0;
    Item* items = nullptr;
    listed.error = list(&count, &items);
    if (listed.error != JVMTI_ERROR_NONE) {
        env->PopLocalFrame(nullptr);
        return listed;
    }
    // Before the next JNI call, which -Xcheck:jni would otherwise flag.
    declareLocalRefs(env, static_cast<jlong>(count) + refs_beside_listing);
    const auto kept = keep(items, count);
    jvmti->Deallocate(reinterpret_cast<unsigned char*>(items));

    jobjectArray result = nullptr;
    jclass type = env->FindClass(elementClass);
    if (type != nullptr) {
        result = env->NewObjectArray(static_cast<jsize>(kept.size()), type, nullptr);
    }
    for (std::size_t i = 0; result != nullptr && i < kept.size(); ++i) {
        env->SetObjectArrayElement(result, static_cast<jsize>(i), kept[i]);
    }
    listed.array = static_cast<jobjectArray>(env->PopLocalFrame(result));
    return listed;
}

}  // namespace Quorvane::Jvm
