#include "jvm/Strings.hpp"

namespace Quorvane::Jvm {

bool copyString(JNIEnv* env, jstring text, std::string& out) {
    if (text == nullptr) {
        return false;
    }
    const char* chars = env->GetStringUTFChars(text, nullptr);
    if (chars == nullptr) {
        return false;
    }
    out.assign(chars);
    env->ReleaseStringUTFChars(text, chars);
    return true;
}

bool copyBytes(JNIEnv* env, jbyteArray array, std::string& out) {
    const jsize length = env->GetArrayLength(array);
    out.resize(static_cast<std::size_t>(length));
    env->GetByteArrayRegion(array, 0, length, reinterpret_cast<jbyte*>(out.data()));
    return !env->ExceptionCheck();
}

jbyteArray newByteArray(JNIEnv* env, std::string_view bytes) {
    jbyteArray array = env->NewByteArray(static_cast<jsize>(bytes.size()));
    if (array != nullptr) {
        env->SetByteArrayRegion(array, 0, static_cast<jsize>(bytes.size()),
                                reinterpret_cast<const jbyte*>(bytes.data()));
    }
    return array;
}

}  // namespace Quorvane::Jvm
