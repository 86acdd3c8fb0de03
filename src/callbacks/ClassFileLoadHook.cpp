#include "callbacks.hpp"

#include <cstring>
#include <string_view>

#include "Logger.hpp"
#include "global.hpp"

using Quorvane::Services::Remapper;

namespace {

// The Java side's own package, never remapped (keep in sync with the Java
// side): remapping Remap itself, or anything it loads, would recurse.
constexpr char own_package[] = "qv/vantrel/quorvane/";
constexpr std::size_t own_package_len = sizeof(own_package) - 1;

}  // namespace

// Every class the VM loads passes here, on many threads at once: the paths
// that leave a class alone come first and touch nothing but the registry.
// All state is local; the registry's lock is taken only inside shouldRemap.
void JNICALL ClassFileLoadHook(jvmtiEnv* jvmti_env, JNIEnv* jni_env, jclass /*class_being_redefined*/,
                               jobject /*loader*/, const char* name, jobject /*protection_domain*/, jint class_data_len,
                               const unsigned char* classbytes, jint* new_class_data_len,
                               unsigned char** new_classbytes) {
    if (name == nullptr || jni_env == nullptr || jvmti_env == nullptr || classbytes == nullptr || class_data_len <= 0 ||
        new_class_data_len == nullptr || new_classbytes == nullptr) {
        return;
    }
    const Remapper& remapper = Remapper::getInstance();
    if (!remapper.isInit()) {
        return;
    }
    if (std::strncmp(name, own_package, own_package_len) == 0) {
        return;
    }
    if (!remapper.shouldRemap(std::string_view(name))) {
        Logger::line(spdlog::level::trace, "[Quorvane] Skipped by filter: ", name);
        return;
    }

    jclass remapClass = remapper.getRemapClass();
    jmethodID remapMethod = remapper.getRemapMethodId();
    if (remapClass == nullptr || remapMethod == nullptr) {
        Logger::get()->error("[Quorvane] Remap declarations not cached");
        return;
    }

    JNIEnv* env = jni_env;
    jstring jClassName = env->NewStringUTF(name);
    if (jClassName == nullptr) {
        if (env->ExceptionCheck()) {
            env->ExceptionClear();
        }
        Logger::get()->error("[Quorvane] Failed to create className jstring");
        return;
    }

    jbyteArray jClassBytes = env->NewByteArray(class_data_len);
    if (jClassBytes == nullptr) {
        if (env->ExceptionCheck()) {
            env->ExceptionClear();
        }
        env->DeleteLocalRef(jClassName);
        Logger::get()->error("[Quorvane] Failed to create classBytes jbyteArray");
        return;
    }

    env->SetByteArrayRegion(jClassBytes, 0, class_data_len, reinterpret_cast<const jbyte*>(classbytes));
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        env->DeleteLocalRef(jClassName);
        env->DeleteLocalRef(jClassBytes);
        Logger::get()->error("[Quorvane] Failed to fill classBytes");
        return;
    }

    auto jResult =
        static_cast<jbyteArray>(env->CallStaticObjectMethod(remapClass, remapMethod, jClassName, jClassBytes));
    if (env->ExceptionCheck() || jResult == nullptr) {
        // A throwing remap must not surface in the code that triggered the load.
        env->ExceptionClear();
        env->DeleteLocalRef(jClassName);
        env->DeleteLocalRef(jClassBytes);
        if (jResult != nullptr) {
            env->DeleteLocalRef(jResult);
        }
        Logger::line(spdlog::level::warn, "[Quorvane] Remap returned null/exception for: ", name);
        return;
    }

    const jint newLen = env->GetArrayLength(jResult);
    jbyte* newBytes = env->GetByteArrayElements(jResult, nullptr);
    if (newBytes == nullptr) {
        env->DeleteLocalRef(jClassName);
        env->DeleteLocalRef(jClassBytes);
        env->DeleteLocalRef(jResult);
        return;
    }

    unsigned char* newBuf = nullptr;
    if (jvmti_env->Allocate(newLen, &newBuf) == JVMTI_ERROR_NONE) {
        // Allocate may answer 0 bytes with a null pointer; memcpy must never see one.
        if (newLen > 0) {
            std::memcpy(newBuf, newBytes, static_cast<std::size_t>(newLen));
        }
        *new_class_data_len = newLen;
        *new_classbytes = newBuf;
        Logger::line(spdlog::level::info, "[Quorvane] Remapped: ", name, " (", class_data_len, " -> ", newLen,
                     " bytes)");
    } else {
        Logger::get()->error("[Quorvane] Failed to allocate buffer for: {}", name);
    }

    env->ReleaseByteArrayElements(jResult, newBytes, JNI_ABORT);
    env->DeleteLocalRef(jClassName);
    env->DeleteLocalRef(jClassBytes);
    env->DeleteLocalRef(jResult);
}
