#include "Retransform.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string_view>

#include "Logger.hpp"
#include "ReplacedClasses.hpp"
#include "global.hpp"
#include "jvm/Exceptions.hpp"
#include "jvm/HeldClasses.hpp"
#include "jvm/JvmtiString.hpp"
#include "jvm/LocalFrames.hpp"
#include "jvm/SharedNames.hpp"

using Quorvane::Jvm::errorName;
using Quorvane::Jvm::internalName;
using Quorvane::Jvm::isOwnPackage;
using Quorvane::Jvm::JvmtiString;
using Quorvane::Services::Remapper;
using Quorvane::Services::ReplacedClasses;

namespace Quorvane::Retransform {

namespace {

const char* const class_class = "java/lang/Class";
const char* const not_initialized = "Quorvane is not initialized: initNative() has not succeeded";

void refuse(jvmtiEnv* jvmti, jclass klass, jvmtiError error, std::vector<Refusal>& refusals) {
    Refusal refusal{klass, error, errorName(jvmti, error)};
    const std::string name = Jvm::classSignatureName(jvmti, klass);
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
    JvmtiString signature(jvmti);
    error = jvmti->GetClassSignature(klass, signature.out(), nullptr);
    if (error != JVMTI_ERROR_NONE || signature.get() == nullptr) {
        return false;
    }
    const std::string_view name = internalName(signature.get());
    if (name.empty() || isOwnPackage(name)) {
        return false;
    }
    return Remapper::getInstance().shouldRemap(name) || ReplacedClasses::getInstance().contains(name);
}

// Whether the VM names klass as a class of the library's own package; a class
// it cannot name is not.
bool isOwnClass(jvmtiEnv* jvmti, jclass klass) {
    JvmtiString signature(jvmti);
    return jvmti->GetClassSignature(klass, signature.out(), nullptr) == JVMTI_ERROR_NONE &&
           signature.get() != nullptr && isOwnPackage(internalName(signature.get()));
}

// Why the natives cannot work: initNative has not succeeded, or this copy
// was detached for good (which also makes a transformer still running then
// land here).
void throwUnavailable(JNIEnv* env) {
    Jvm::throwNew(env, Jvm::illegal_state_exception,
                  Remapper::getInstance().isDetached() ? Jvm::detached_message : not_initialized);
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
    const Jvm::HeldClasses held(env, classes);
    if (!held.complete()) {
        Logger::get()->error("[Quorvane] No memory to hold {} classes for retransformation, none retransformed",
                             held.requested());
        Jvm::throwNew(env, Jvm::out_of_memory_error, "no memory to hold the classes for retransformation");
        return 0;
    }
    std::vector<Refusal> refusals;
    const int done = retransformClasses(jvmti, held.classes(), refusals);
    reportRefusals(env, refusals, refusedClasses, refusedReasons);
    return done;
}

jobjectArray loadedClassesArray(JNIEnv* env, jvmtiEnv* jvmti) {
    if (jvmti == nullptr) {
        throwUnavailable(env);
        return nullptr;
    }
    const Jvm::Listed listed = Jvm::listInFrame<jclass>(
        env, jvmti, class_class, [jvmti](jint* count, jclass** classes) { return jvmti->GetLoadedClasses(count, classes); },
        [jvmti](const jclass* classes, jint count) { return selectLoaded(jvmti, classes, count); });
    if (listed.noFrame) {
        // Its OutOfMemoryError is pending for the caller.
        Logger::get()->error("[Quorvane] No memory to list the loaded classes");
    } else if (listed.error != JVMTI_ERROR_NONE) {
        const std::string reason = errorName(jvmti, listed.error);
        Logger::get()->error("[Quorvane] Could not list the loaded classes: {}", reason);
        Jvm::throwNew(env, Jvm::illegal_state_exception, "Could not list the loaded classes: " + reason);
    }
    return listed.array;
}

}  // namespace Quorvane::Retransform
