#include "jvm/Exceptions.hpp"

namespace Quorvane::Jvm {

void throwNew(JNIEnv* env, const char* exceptionClass, const std::string& message) {
    jclass type = env->FindClass(exceptionClass);
    if (type != nullptr) {
        env->ThrowNew(type, message.c_str());
        env->DeleteLocalRef(type);
    }
}

}  // namespace Quorvane::Jvm
