// The filter natives of qv.vantrel.quorvane.Quorvane: convert, forward to
// the registry, log one line. Any Java thread, before or after initNative.
#include <jni.h>

#include <string>

#include "Logger.hpp"
#include "global.hpp"
#include "jvm/Strings.hpp"
#include "natives.hpp"

using Quorvane::Services::Remapper;

namespace {

// One filter edit by name: the characters are copied and released before the
// registry is touched. False, with nothing changed, for a null name or one
// the VM could not give (its exception then stays pending for the caller).
template <typename Edit>
jboolean editByName(JNIEnv* env, jstring name, Edit edit, const char* line) {
    std::string entry;
    if (!Quorvane::Jvm::copyString(env, name, entry)) {
        return JNI_FALSE;
    }
    edit(Remapper::getInstance(), std::move(entry));
    Logger::get()->debug(line);
    return JNI_TRUE;
}

}  // namespace

extern "C" {  // keeps the JNI names even where a declaration is missing

JNIEXPORT jboolean JNICALL Java_qv_vantrel_quorvane_Quorvane_addInclude(JNIEnv* env, jclass, jstring name) {
    return editByName(env, name, [](Remapper& r, std::string entry) { r.addInclude(std::move(entry)); },
                      "[Quorvane] addInclude");
}

JNIEXPORT jboolean JNICALL Java_qv_vantrel_quorvane_Quorvane_addExclude(JNIEnv* env, jclass, jstring name) {
    return editByName(env, name, [](Remapper& r, std::string entry) { r.addExclude(std::move(entry)); },
                      "[Quorvane] addExclude");
}

JNIEXPORT jboolean JNICALL Java_qv_vantrel_quorvane_Quorvane_removeInclude(JNIEnv* env, jclass, jstring name) {
    return editByName(env, name, [](Remapper& r, const std::string& entry) { r.removeInclude(entry); },
                      "[Quorvane] removeInclude");
}

JNIEXPORT jboolean JNICALL Java_qv_vantrel_quorvane_Quorvane_removeExclude(JNIEnv* env, jclass, jstring name) {
    return editByName(env, name, [](Remapper& r, const std::string& entry) { r.removeExclude(entry); },
                      "[Quorvane] removeExclude");
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
