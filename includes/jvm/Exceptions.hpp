#pragma once

#include <jni.h>

#include <string>

// Raising Java exceptions from a native, the one way every native does it.
namespace Quorvane::Jvm {

// Java classes the natives throw (internal names).
constexpr const char* illegal_state_exception = "java/lang/IllegalStateException";
constexpr const char* out_of_memory_error = "java/lang/OutOfMemoryError";

// Raises a Java exception of the named class (internal name) with message.
// Were the class not found, the VM's own error for the lookup is pending
// instead and reaches the caller just the same.
void throwNew(JNIEnv* env, const char* exceptionClass, const std::string& message);

}  // namespace Quorvane::Jvm
