#pragma once

#include <jvmti.h>

namespace Quorvane {

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

}  // namespace Quorvane
