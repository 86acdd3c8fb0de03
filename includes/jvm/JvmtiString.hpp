#pragma once

#include <jvmti.h>

#include <cstring>
#include <string>
#include <string_view>

namespace Quorvane::Jvm {

// A string the JVMTI environment allocated (a signature, a name), given back
// when the holder goes.
class JvmtiString {
public:
    explicit JvmtiString(jvmtiEnv* jvmti) : jvmti_(jvmti) {}
    JvmtiString(const JvmtiString&) = delete;
    JvmtiString& operator=(const JvmtiString&) = delete;
    ~JvmtiString() {
        if (chars_ != nullptr) {
            jvmti_->Deallocate(reinterpret_cast<unsigned char*>(chars_));
        }
    }

    char** out() { return &chars_; }
    const char* get() const { return chars_; }

private:
    jvmtiEnv* jvmti_;
    char* chars_ = nullptr;
};

// The JVMTI name of an error (JVMTI_ERROR_INVALID_CLASS, ...) as the VM gives
// it, or "JVMTI error <number>" when it gives none.
std::string errorName(jvmtiEnv* jvmti, jvmtiError error);

// The internal name inside a class signature ("Lcom/example/Widget;"); empty
// for arrays and primitives, which have no class file of their own.
inline std::string_view internalName(const char* signature) {
    const std::size_t length = std::strlen(signature);
    if (length < 3 || signature[0] != 'L' || signature[length - 1] != ';') {
        return {};
    }
    return std::string_view(signature + 1, length - 2);
}

// How a log line names a class: its internal name ("com/example/Widget"), or
// its signature for arrays and primitives ("[I", "I"), or a placeholder when
// the VM gives none.
std::string classSignatureName(jvmtiEnv* jvmti, jclass klass);

// How an exception's message names a class: as classSignatureName, but a
// primitive by its Java name ("int"), as the JDK's messages do.
std::string className(jvmtiEnv* jvmti, jclass klass);

}  // namespace Quorvane::Jvm
