// The retransformation natives of qv.vantrel.quorvane.Quorvane: each hands its
// arguments and the agent's JVMTI environment to the retransform code.
#include <jni.h>

#include "Retransform.hpp"
#include "AgentEnvironment.hpp"
#include "natives.hpp"

extern "C" {  // keeps the JNI names even where a declaration is missing

JNIEXPORT jint JNICALL Java_qv_vantrel_quorvane_Quorvane_retransformNative(JNIEnv* env, jclass, jobjectArray classes,
                                                                           jobjectArray refusedClasses,
                                                                           jobjectArray refusedReasons) {
    return Quorvane::Retransform::retransformArray(env, initializedAgentEnv(), classes, refusedClasses, refusedReasons);
}

JNIEXPORT jobjectArray JNICALL Java_qv_vantrel_quorvane_Quorvane_loadedClassesToRetransform(JNIEnv* env, jclass) {
    return Quorvane::Retransform::loadedClassesArray(env, initializedAgentEnv());
}

}  // extern "C"
