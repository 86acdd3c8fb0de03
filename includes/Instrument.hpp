#pragma once

#include <jni.h>
#include <jvmti.h>

#include <string>

#include "jvm/UpcallTarget.hpp"

// Quorvane.instrumentation(): a java.lang.instrument.Instrumentation of this
// copy of the library. The list of transformers, their order and the argument
// checks live on the Java side (qv.vantrel.quorvane.instrument); here are the
// two JVMTI environments the transformers run in, their class-file-load hook,
// and the JVMTI calls behind the interface's methods.
//
// Like the JDK's agent route: one environment without the retransformation
// capability for transformers added with canRetransform=false, one with it for
// the others. The VM posts the class-file-load event to the first kind of
// environment before the second, each kind in creation order, which gives the
// transformers their order. Nothing of this exists before the first call of
// Quorvane.instrumentation().
namespace Quorvane::Instrument {

// Java names and signatures (keep in sync with qv.vantrel.quorvane.instrument).
namespace JavaSide {
constexpr const char* instrumentation_class = "qv/vantrel/quorvane/instrument/QuorvaneInstrumentation";
constexpr const char* hand_out_method = "handOut";
constexpr const char* hand_out_sig = "()Lqv/vantrel/quorvane/instrument/QuorvaneInstrumentation;";
constexpr const char* manager_class = "qv/vantrel/quorvane/instrument/TransformerManager";
constexpr const char* transform_method = "transform";
constexpr const char* transform_sig =
    "(ZLjava/lang/Module;Ljava/lang/ClassLoader;Ljava/lang/String;Ljava/lang/Class;"
    "Ljava/security/ProtectionDomain;[B)[B";
constexpr const char* detach_method = "detach";
constexpr const char* detach_sig = "()V";
}  // namespace JavaSide

// Which of the two environments.
enum class Kind { plain = 0, retransformable = 1 };

// Quorvane.instrumentation(): the one Instrumentation of this copy, made on
// the first call (environments, capabilities, the log's start and one info
// line), the same object afterwards. Null with IllegalStateException pending
// when JVMTI cannot be had or after detach. Any Java thread; serialized.
jobject instrumentation(JNIEnv* env);

// Quorvane.detach(): the events go off, the Java side drops its transformers,
// and the global references go once no hook is running a transformer.
void detach(JNIEnv* env);

// The environment of a kind once instrumentation() has succeeded, else null
// (with IllegalStateException pending, naming the detach when that is why).
jvmtiEnv* environment(JNIEnv* env, Kind kind);

// Turns the class-file-load event of a kind's environment on or off; the Java
// side calls it when the first transformer of that kind comes or the last
// goes. IllegalStateException when detached (nothing is enabled then).
void setHookEnabled(JNIEnv* env, Kind kind, bool enabled);

// The event callback of both environments.
void JNICALL InstrumentHook(jvmtiEnv* jvmti_env, JNIEnv* jni_env, jclass class_being_redefined, jobject loader,
                            const char* name, jobject protection_domain, jint class_data_len,
                            const unsigned char* classbytes, jint* new_class_data_len, unsigned char** new_classbytes);

// The hook's upcall (TransformerManager.transform), kept alive across a
// detach while a hook is inside it.
Jvm::UpcallTarget& transformerManager();
// Whether the hook was called in the environment of retransformable transformers.
bool isRetransformable(jvmtiEnv* jvmti);

// The Java exception the Instrumentation interface names for a JVMTI error.
struct ErrorMapping {
    const char* exceptionClass;  // internal name
    const char* what;            // what went wrong, for the message
};
ErrorMapping mapError(jvmtiError error);

// Raises the exception of mapError for error, its message naming subject (the
// classes or module concerned) and the error's JVMTI name.
void throwError(JNIEnv* env, jvmtiEnv* jvmti, jvmtiError error, const std::string& subject);

}  // namespace Quorvane::Instrument
