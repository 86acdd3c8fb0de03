#pragma once

#include <jni.h>

#include <string>
#include <string_view>

// Text across JNI: every native that takes or gives a string does it here.
namespace Quorvane::Jvm {

// A Java string's modified UTF-8, copied into out; the characters are
// released at once, before the caller touches anything else. False for a null
// string, or when the VM could not give the characters (its exception then
// stays pending for the Java caller).
bool copyString(JNIEnv* env, jstring text, std::string& out);

// A Java byte array's bytes, copied into out; false when the VM could not
// copy them (an exception is then pending).
bool copyBytes(JNIEnv* env, jbyteArray array, std::string& out);

// A new Java byte array holding bytes; null with OutOfMemoryError pending.
jbyteArray newByteArray(JNIEnv* env, std::string_view bytes);

}  // namespace Quorvane::Jvm
