// The filter natives of qv.vantrel.quorvane.Quorvane: convert, forward to
// the registry, log one line. Any Java thread, before or after initNative.
#include <jni.h>

#include <string>

#include "Logger.hpp"
#include "global.hpp"
#include "natives.hpp"

using Quorvane::Services::Remapper;

namespace {

// Copies a Java string's modified UTF-8 into out and releases the characters
// at once, before the caller touches the registry. False on a null string or
// a failed conversion; an exception the VM raised with it stays pending for
// the Java caller.
bool copyName(JNIEnv* env, jstring name, std::string& out) {
    if (name == nullptr) {
        return false;
    }
    const char* chars = env->GetStringUTFChars(name, nullptr);
    if (chars == nullptr) {
        return false;
    }
    out.assign(chars);
    env->ReleaseStringUTFChars(name, chars);
    return true;
}

}  // namespace

extern "C" {  // keeps the JNI names even where a declaration is missing

JNIEXPORT jboolean JNICALL Java_qv_vantrel_quorvane_Quorvane_addInclude(JNIEnv* env, jclass, jstring name) {
    std::string s;
    if (!copyName(env, name, s)) {
        return JNI_FALSE;
    }
    Remapper::getInstance().addInclude(std::move(s));
    Logger::get()->debug("[Quorvane] addInclude");
    return JNI_TRUE;
}

JNIEXPORT jboolean JNICALL Java_qv_vantrel_quorvane_Quorvane_addExclude(JNIEnv* env, jclass, jstring name) {
    std::string s;
    if (!copyName(env, name, s)) {
        return JNI_FALSE;
    }
    Remapper::getInstance().addExclude(std::move(s));
    Logger::get()->debug("[Quorvane] addExclude");
    return JNI_TRUE;
}

JNIEXPORT jboolean JNICALL Java_qv_vantrel_quorvane_Quorvane_removeInclude(JNIEnv* env, jclass, jstring name) {
    std::string s;
    if (!copyName(env, name, s)) {
        return JNI_FALSE;
    }
    Remapper::getInstance().removeInclude(s);
    Logger::get()->debug("[Quorvane] removeInclude");
    return JNI_TRUE;
}

JNIEXPORT jboolean JNICALL Java_qv_vantrel_quorvane_Quorvane_removeExclude(JNIEnv* env, jclass, jstring name) {
    std::string s;
    if (!copyName(env, name, s)) {
        return JNI_FALSE;
    }
    Remapper::getInstance().removeExclude(s);
    Logger::get()->debug("[Quorvane] removeExclude");
    return JNI_TRUE;
}

JNIEXPORT void JNICALL Java_qv_vantrel_quorvane_Quorvane_clearIncludes(JNIEnv*, jclass) {
    Remapper::getInstance().clearIncludes();
    Logger::get()->debug("[Quorvane] clearIncludes");
}

JNIEXPORT void JNICALL Java_qv_vantrel_quorvane_Quorvane_clearExcludes(JNIEnv*, jclass) {
    Remapper::getInstance().clearExcludes();
    Logger::get()->debug("[Quorvane] clearExcludes");
}

}  // extern "C"
