// The class-file-load hook of the Instrumentation's two environments: hands
// each class to the Java side's transformers of that environment and gives
// the VM what comes back.
#include <jni.h>
#include <jvmti.h>

#include <cstring>
#include <string>

#include "Instrument.hpp"
#include "Logger.hpp"
#include "jvm/LocalFrames.hpp"
#include "jvm/SharedNames.hpp"
#include "jvm/UpcallTarget.hpp"

namespace Quorvane::Instrument {

namespace {

// Local references one run of the hook makes: module, name, bytes, result.
// The hook nests on a thread (a transformer loads a class, which loads
// another...), and each run keeps its references in a frame of its own.
constexpr jint hook_local_refs = 8;

// Whether one of this Instrumentation's transformers runs on this thread. A
// class loaded meanwhile (by the transformer itself, say) is shown to none of
// them, in either environment, as the JDK's agent route does; it also keeps a
// transformer that loads classes from recursing. Trivial: no TLS constructor.
thread_local bool transforming = false;

class Transforming {
public:
    Transforming() { transforming = true; }
    Transforming(const Transforming&) = delete;
    Transforming& operator=(const Transforming&) = delete;
    ~Transforming() { transforming = false; }
};

// The module the class is defined in: the redefined class's own, else the
// named module of the loader that holds its package, else null, for which
// the Java side takes the loader's unnamed module.
jobject moduleOf(jvmtiEnv* jvmti, JNIEnv* env, jclass redefined, jobject loader, const char* name) {
    if (redefined != nullptr) {
        return env->GetModule(redefined);
    }
    if (name == nullptr) {
        return nullptr;
    }
    const char* slash = std::strrchr(name, '/');
    if (slash == nullptr) {
        return nullptr;  // the unnamed package: never in a named module
    }
    const auto length = static_cast<std::size_t>(slash - name);
    char small[256];
    std::string large;
    const char* package = small;
    if (length < sizeof(small)) {
        std::memcpy(small, name, length);
        small[length] = '\0';
    } else {
        large.assign(name, length);
        package = large.c_str();
    }
    jobject module = nullptr;
    if (jvmti->GetNamedModule(loader, package, &module) != JVMTI_ERROR_NONE) {
        return nullptr;
    }
    return module;
}

// Calls the transformers; the class file they leave, or null for no change.
// Failures are logged; nothing is left pending. Runs inside a local frame.
jbyteArray callTransformers(jvmtiEnv* jvmti, JNIEnv* env, jclass manager, jmethodID transform, jclass redefined,
                            jobject loader, const char* name, jobject domain, jint length, const unsigned char* bytes) {
    jobject module = moduleOf(jvmti, env, redefined, loader, name);
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        module = nullptr;
    }
    jstring jName = nullptr;
    if (name != nullptr) {
        jName = env->NewStringUTF(name);
        if (jName == nullptr) {
            env->ExceptionClear();
            Logger::line(spdlog::level::err, "[Quorvane] Instrumentation: no memory for the name of ",
                         Logger::ClassName{name}, ", shown to no transformer");
            return nullptr;
        }
    }
    jbyteArray jBytes = env->NewByteArray(length);
    if (jBytes == nullptr) {
        env->ExceptionClear();
        Logger::line(spdlog::level::err, "[Quorvane] Instrumentation: no memory for the class file of ",
                     Logger::ClassName{name != nullptr ? name : "a class without a name"}, ", shown to no transformer");
        return nullptr;
    }
    env->SetByteArrayRegion(jBytes, 0, length, reinterpret_cast<const jbyte*>(bytes));
    jobject result = nullptr;
    {
        const Transforming running;
        result = env->CallStaticObjectMethod(manager, transform, static_cast<jboolean>(isRetransformable(jvmti)),
                                             module, loader, jName, redefined, domain, jBytes);
    }
    if (env->ExceptionCheck()) {
        // The Java side catches what each transformer throws; this is its own
        // failure (no memory, no stack), which must not reach the loading code.
        env->ExceptionClear();
        Logger::line(spdlog::level::warn, "[Quorvane] Instrumentation: the transformers failed for ",
                     Logger::ClassName{name != nullptr ? name : "a class without a name"}, ", which loads unchanged");
        return nullptr;
    }
    return static_cast<jbyteArray>(result);
}

}  // namespace

// Every class the VM defines, redefines or retransforms passes here while a
// transformer of this environment is registered (the event is off otherwise),
// on many threads at once. All state is local or the thread's.
void JNICALL InstrumentHook(jvmtiEnv* jvmti_env, JNIEnv* jni_env, jclass class_being_redefined, jobject loader,
                            const char* name, jobject protection_domain, jint class_data_len,
                            const unsigned char* classbytes, jint* new_class_data_len, unsigned char** new_classbytes) {
    if (jvmti_env == nullptr || jni_env == nullptr || classbytes == nullptr || class_data_len <= 0 ||
        new_class_data_len == nullptr || new_classbytes == nullptr || transforming) {
        return;
    }
    if (name != nullptr && Jvm::isOwnPackage(name)) {
        return;
    }
    Jvm::UpcallTarget& target = transformerManager();
    const Jvm::UpcallTarget::Use inUse(target, jni_env);
    jclass manager = target.targetClass();
    jmethodID transform = target.method();
    if (!inUse.entered() || manager == nullptr || transform == nullptr) {
        return;  // detached
    }
    JNIEnv* env = jni_env;
    const Jvm::LocalFrame frame(env, hook_local_refs);
    if (!frame.pushed()) {
        env->ExceptionClear();
        return;
    }
    jbyteArray result = callTransformers(jvmti_env, env, manager, transform, class_being_redefined, loader, name,
                                         protection_domain, class_data_len, classbytes);
    if (result == nullptr) {
        return;
    }
    const jint newLength = env->GetArrayLength(result);
    unsigned char* buffer = nullptr;
    if (jvmti_env->Allocate(newLength, &buffer) != JVMTI_ERROR_NONE) {
        Logger::line(spdlog::level::err, "[Quorvane] Instrumentation: no memory for the new class file of ",
                     Logger::ClassName{name != nullptr ? name : "a class without a name"}, ", which loads unchanged");
        return;
    }
    // Allocate may answer 0 bytes with a null pointer; the VM then refuses the
    // empty class file as it refuses any broken one.
    if (newLength > 0) {
        env->GetByteArrayRegion(result, 0, newLength, reinterpret_cast<jbyte*>(buffer));
    }
    *new_class_data_len = newLength;
    *new_classbytes = buffer;
}

}  // namespace Quorvane::Instrument
