#include "Retransform.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string_view>

#include "JvmtiString.hpp"
#include "LocalRefs.hpp"
#include "Logger.hpp"
#include "ReplacedClasses.hpp"
#include "global.hpp"

using Quorvane::Services::Remapper;
using Quorvane::Services::ReplacedClasses;

namespace Quorvane::Retransform {

namespace {

// The hook never hands the library's own classes to remap (keep in sync with
// the hook's own_package): both calls leave them out, and do not count them.
constexpr std::string_view own_package = "qv/vantrel/quorvane/";

const char* const illegal_state_class = "java/lang/IllegalStateException";
const char* const out_of_memory_class = "java/lang/OutOfMemoryError";
const char* const class_class = "java/lang/Class";
const char* const not_initialized = "Quorvane is not initialized: initNative() has not succeeded";
// Keep in sync with initNative's line for a detached copy.
const char* const detached = "this copy of Quorvane was detached";

// The local references loadedClassesArray makes beside the listing's: the
// class Class and the array.
constexpr jint refs_beside_listing = 2;

// The internal name inside a class signature ("Lcom/example/Widget;"); empty
// for arrays and primitives, which have no class file of their own.
std::string_view internalName(const char* signature) {
    const std::size_t length = std::strlen(signature);
    if (length < 3 || signature[0] != 'L' || signature[length - 1] != ';') {
        return {};
    }
    return std::string_view(signature + 1, length - 2);
}

bool isOwn(std::string_view name) {
    return name.substr(0, own_package.size()) == own_package;
}

// How a log line names a class: its internal name, else its signature.
std::string describe(jvmtiEnv* jvmti, jclass klass) {
    Quorvane::JvmtiString signature(jvmti);
    if (jvmti->GetClassSignature(klass, signature.out(), nullptr) != JVMTI_ERROR_NONE || signature.get() == nullptr) {
        return "(a class the VM gave no name for)";
    }
    const std::string_view name = internalName(signature.get());
    return std::string(name.empty() ? std::string_view(signature.get()) : name);
}

void refuse(jvmtiEnv* jvmti, jclass klass, jvmtiError error, std::vector<Refusal>& refusals) {
    Refusal refusal{klass, error, errorName(jvmti, error)};
    const std::string name = describe(jvmti, klass);
    Logger::line(spdlog::level::err, "[Quorvane] Could not retransform ", Logger::ClassName{name.c_str()}, ": ",
                 refusal.reason);
    refusals.push_back(std::move(refusal));
}

// Errors about the environment rather than a class: every part of the batch
// would meet them again, so halving it would only repeat them.
bool blamesNoClass(jvmtiError error) {
    switch (error) {
        case JVMTI_ERROR_MUST_POSSESS_CAPABILITY:
        case JVMTI_ERROR_WRONG_PHASE:
        case JVMTI_ERROR_UNATTACHED_THREAD:
        case JVMTI_ERROR_INVALID_ENVIRONMENT:
            return true;
        default:
            return false;
    }
}

// The VM retransforms a batch all or nothing. A refused batch is halved until
// each refused class stands alone; with k bad classes among n that takes
// about 2k log2(n/k) more calls, and the classes of a refused part pass
// through the hook (and the transformer) again.
int retransformBatch(jvmtiEnv* jvmti, const jclass* classes, jint count, std::vector<Refusal>& refusals) {
    if (count == 0) {
        return 0;
    }
    const jvmtiError error = jvmti->RetransformClasses(count, classes);
    if (error == JVMTI_ERROR_NONE) {
        return count;
    }
    if (count == 1 || blamesNoClass(error)) {
        for (jint i = 0; i < count; ++i) {
            refuse(jvmti, classes[i], error, refusals);
        }
        return 0;
    }
    const jint half = count / 2;
    return retransformBatch(jvmti, classes, half, refusals) +
           retransformBatch(jvmti, classes + half, count - half, refusals);
}

// Whether retransformLoaded() takes a loaded class; error is set when the VM
// could not answer a question about it.
bool takenFromLoaded(jvmtiEnv* jvmti, jclass klass, jvmtiError& error) {
    jboolean modifiable = JNI_FALSE;
    error = jvmti->IsModifiableClass(klass, &modifiable);
    if (error != JVMTI_ERROR_NONE || modifiable == JNI_FALSE) {
        return false;
    }
    Quorvane::JvmtiString signature(jvmti);
    error = jvmti->GetClassSignature(klass, signature.out(), nullptr);
    if (error != JVMTI_ERROR_NONE || signature.get() == nullptr) {
        return false;
    }
    const std::string_view name = internalName(signature.get());
    if (name.empty() || isOwn(name)) {
        return false;
    }
    return Remapper::getInstance().shouldRemap(name) || ReplacedClasses::getInstance().contains(name);
}

// Whether the VM names klass as a class of the library's own package; a class
// it cannot name is not.
bool isOwnClass(jvmtiEnv* jvmti, jclass klass) {
    Quorvane::JvmtiString signature(jvmti);
    return jvmti->GetClassSignature(klass, signature.out(), nullptr) == JVMTI_ERROR_NONE &&
           signature.get() != nullptr && isOwn(internalName(signature.get()));
}

// Raises a Java exception of the named class. Were the class not found, the
// VM's own error would be pending instead and reach the caller just the same.
void throwNew(JNIEnv* env, const char* className, const char* message) {
    jclass type = env->FindClass(className);
    if (type != nullptr) {
        env->ThrowNew(type, message);
        env->DeleteLocalRef(type);
    }
}

// Why the natives cannot work: initNative has not succeeded, or this copy
// was detached for good (which also makes a transformer still running then
// land here).
void throwUnavailable(JNIEnv* env) {
    throwNew(env, illegal_state_class, Remapper::getInstance().isDetached() ? detached : not_initialized);
}

// Stores each refusal at one index of the two arrays. A reason string the VM
// cannot make leaves its OutOfMemoryError pending for the caller; the log has
// named every refusal by then.
void reportRefusals(JNIEnv* env, const std::vector<Refusal>& refusals, jobjectArray refusedClasses,
                    jobjectArray refusedReasons) {
    const jsize room = std::min(env->GetArrayLength(refusedClasses), env->GetArrayLength(refusedReasons));
    jsize slot = 0;
    for (const Refusal& refusal : refusals) {
        if (slot == room) {
            return;
        }
        jstring reason = env->NewStringUTF(refusal.reason.c_str());
        if (reason == nullptr) {
            return;
        }
        env->SetObjectArrayElement(refusedClasses, slot, refusal.klass);
        env->SetObjectArrayElement(refusedReasons, slot, reason);
        env->DeleteLocalRef(reason);
        ++slot;
    }
}

}  // namespace

std::string errorName(jvmtiEnv* jvmti, jvmtiError error) {
    Quorvane::JvmtiString name(jvmti);
    if (jvmti->GetErrorName(error, name.out()) == JVMTI_ERROR_NONE && name.get() != nullptr) {
        return name.get();
    }
    return "JVMTI error " + std::to_string(static_cast<int>(error));
}

int retransformClasses(jvmtiEnv* jvmti, const std::vector<jclass>& classes, std::vector<Refusal>& refusals) {
    std::vector<jclass> offered;
    offered.reserve(classes.size());
    std::copy_if(classes.begin(), classes.end(), std::back_inserter(offered),
                 [jvmti](jclass klass) { return !isOwnClass(jvmti, klass); });
    Logger::get()->info("[Quorvane] Retransforming {} classes", offered.size());
    const std::size_t refusedBefore = refusals.size();
    std::vector<jclass> modifiable;
    modifiable.reserve(offered.size());
    for (jclass klass : offered) {
        jboolean canModify = JNI_FALSE;
        const jvmtiError error = jvmti->IsModifiableClass(klass, &canModify);
        if (error != JVMTI_ERROR_NONE) {
            refuse(jvmti, klass, error, refusals);
        } else if (canModify == JNI_FALSE) {
            refuse(jvmti, klass, JVMTI_ERROR_UNMODIFIABLE_CLASS, refusals);
        } else {
            modifiable.push_back(klass);
        }
    }
    const int done = retransformBatch(jvmti, modifiable.data(), static_cast<jint>(modifiable.size()), refusals);
    Logger::get()->info("[Quorvane] Retransformed {} classes, {} failed", done, refusals.size() - refusedBefore);
    return done;
}

std::vector<jclass> selectLoaded(jvmtiEnv* jvmti, const jclass* classes, jint count) {
    std::vector<jclass> selected;
    int unexamined = 0;
    jvmtiError firstProblem = JVMTI_ERROR_NONE;
    for (jint i = 0; i < count; ++i) {
        jvmtiError problem = JVMTI_ERROR_NONE;
        if (takenFromLoaded(jvmti, classes[i], problem)) {
            selected.push_back(classes[i]);
        } else if (problem != JVMTI_ERROR_NONE && unexamined++ == 0) {
            firstProblem = problem;
        }
    }
    if (unexamined != 0) {
        Logger::get()->error("[Quorvane] Could not examine {} loaded classes, left out: {}", unexamined,
                             errorName(jvmti, firstProblem));
    }
    return selected;
}

jint retransformArray(JNIEnv* env, jvmtiEnv* jvmti, jobjectArray classes, jobjectArray refusedClasses,
                      jobjectArray refusedReasons) {
    if (jvmti == nullptr) {
        throwUnavailable(env);
        return 0;
    }
    if (classes == nullptr || refusedClasses == nullptr || refusedReasons == nullptr) {
        return 0;  // the Java side never passes null
    }
    // Held as global references: the hooks RetransformClasses runs on this
    // thread count the local references of this frame as their own, and
    // -Xcheck:jni would flag each hook when they are more than a few.
    const jsize count = env->GetArrayLength(classes);
    std::vector<jclass> held;
    held.reserve(static_cast<std::size_t>(count));
    bool outOfMemory = false;
    for (jsize i = 0; i < count && !outOfMemory; ++i) {
        jobject local = env->GetObjectArrayElement(classes, i);
        if (local == nullptr) {
            continue;
        }
        auto global = static_cast<jclass>(env->NewGlobalRef(local));
        env->DeleteLocalRef(local);
        if (global != nullptr) {
            held.push_back(global);
        } else {
            outOfMemory = true;
        }
    }
    int done = 0;
    if (outOfMemory) {
        Logger::get()->error("[Quorvane] No memory to hold {} classes for retransformation, none retransformed", count);
    } else {
        std::vector<Refusal> refusals;
        done = retransformClasses(jvmti, held, refusals);
        reportRefusals(env, refusals, refusedClasses, refusedReasons);
    }
    for (jclass klass : held) {
        env->DeleteGlobalRef(klass);
    }
    if (outOfMemory) {
        throwNew(env, out_of_memory_class, "no memory to hold the classes for retransformation");
    }
    return done;
}

jobjectArray loadedClassesArray(JNIEnv* env, jvmtiEnv* jvmti) {
    if (jvmti == nullptr) {
        throwUnavailable(env);
        return nullptr;
    }
    // The listing makes a local reference for every loaded class, 100,000 of
    // them in a large application. They live in a frame of their own, which
    // lets go of them all at once: deleted one by one under -Xcheck:jni, each
    // delete searches the frame, and the whole takes seconds.
    if (env->PushLocalFrame(refs_beside_listing) != JNI_OK) {
        // Its OutOfMemoryError is pending for the caller.
        Logger::get()->error("[Quorvane] No memory to list the loaded classes");
        return nullptr;
    }
    jint count = 0;
    jclass* classes = nullptr;
    const jvmtiError listed = jvmti->GetLoadedClasses(&count, &classes);
    if (listed != JVMTI_ERROR_NONE) {
        env->PopLocalFrame(nullptr);
        Logger::get()->error("[Quorvane] Could not list the loaded classes: {}", errorName(jvmti, listed));
        throwNew(env, illegal_state_class, ("Could not list the loaded classes: " + errorName(jvmti, listed)).c_str());
        return nullptr;
    }
    // Declared before the next JNI call, which -Xcheck:jni would otherwise flag.
    LocalRefs::declare(env, static_cast<jlong>(count) + refs_beside_listing);
    const std::vector<jclass> selected = selectLoaded(jvmti, classes, count);
    jvmti->Deallocate(reinterpret_cast<unsigned char*>(classes));

    jobjectArray result = nullptr;
    jclass type = env->FindClass(class_class);
    if (type != nullptr) {
        result = env->NewObjectArray(static_cast<jsize>(selected.size()), type, nullptr);
    }
    // When either call failed, its error is pending and the caller sees it.
    for (std::size_t i = 0; result != nullptr && i < selected.size(); ++i) {
        env->SetObjectArrayElement(result, static_cast<jsize>(i), selected[i]);
    }
    return static_cast<jobjectArray>(env->PopLocalFrame(result));
}

}  // namespace Quorvane::Retransform
