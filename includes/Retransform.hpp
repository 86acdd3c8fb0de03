#pragma once

#include <jni.h>
#include <jvmti.h>

#include <string>
#include <vector>

// Retransformation of loaded classes, behind Quorvane.retransform(...) and
// Quorvane.retransformLoaded(): the VM sends each class through the hook
// again, with the class file it was first defined with, and the hook decides
// by the filters as for a loading class.
//
// Any thread, concurrently with class loading, filter edits, initNative and
// each other, and from inside a transformer. No lock of the library is held
// across a call into the VM.
namespace Quorvane::Retransform {

// A class the VM would not retransform, and why.
struct Refusal {
    jclass klass;  // a local reference the caller owns
    jvmtiError error;
    std::string reason;  // the error's JVMTI name
};

// Retransforms the classes (references the caller keeps): one batch for the
// VM, and when the VM refuses it, each half on its own, down to single
// classes, so that one bad class never stops the others. Classes of the
// library's own package are left out (the hook never offers them to remap)
// and not counted; classes the VM cannot modify are refused without asking.
// Logs a line before and after, and one error line a refusal. Returns how
// many classes were retransformed; appends the refusals.
int retransformClasses(jvmtiEnv* jvmti, const std::vector<jclass>& classes, std::vector<Refusal>& refusals);

// The classes retransformLoaded() takes among those listed: the ones the VM
// can modify, outside the library's own package, that the filters select now
// or that the hook replaced before. Asks JVMTI only (no JNI call); logs one
// line for the classes it could not examine.
std::vector<jclass> selectLoaded(jvmtiEnv* jvmti, const jclass* classes, jint count);

// The natives' bodies. jvmti is the agent's environment, null before a
// successful initNative and after detach, which raises IllegalStateException
// saying which.
//
// Retransforms the classes of the array; for each refusal, stores the class
// and its reason at the same index of refusedClasses and refusedReasons (each
// as long as classes). Returns how many classes were retransformed. When the
// VM has no memory left to hold the classes, none is retransformed and
// OutOfMemoryError is raised.
jint retransformArray(JNIEnv* env, jvmtiEnv* jvmti, jobjectArray classes, jobjectArray refusedClasses,
                      jobjectArray refusedReasons);
// The classes selectLoaded picks among all loaded ones, as a Class[]; null
// with an exception pending when they could not be listed. Any number of
// loaded classes: the listing's local references live in a frame of their
// own, declared to the VM.
jobjectArray loadedClassesArray(JNIEnv* env, jvmtiEnv* jvmti);

}  // namespace Quorvane::Retransform
