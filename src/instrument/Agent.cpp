// The Instrumentation's two JVMTI environments: made on the first
// Quorvane.instrumentation(), their events switched by the Java side, ended
// by Quorvane.detach().
#include <jni.h>
#include <jvmti.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "Instrument.hpp"
#include "Logger.hpp"
#include "global.hpp"

namespace Quorvane::Instrument {

namespace {

const char* const illegal_state_class = "java/lang/IllegalStateException";

// Serializes instrumentation(), detach and the event switches. Never held
// across a call into Java that may wait for a Java lock: the Java side holds
// its own lock when it switches an event.
std::mutex agent_mutex;

// Written under agent_mutex before ready is set (release), never again: a
// reader that sees ready (acquire) sees both. Never disposed of: a hook may
// still be running in them.
jvmtiEnv* environments[2] = {nullptr, nullptr};
std::atomic<bool> ready{false};

// The Instrumentation handed out, a global reference; guarded by agent_mutex.
jobject instance = nullptr;

// The upcall's declarations. A hook registers with enterHook before it reads
// them and leaves with leaveHook, and detach counts itself the same way while
// it calls the Java side; the class's reference goes once detached and none
// is inside (the flag and the count are sequentially consistent, as in
// Remapper::enterRemap), so whoever is last lets it go.
std::atomic<jclass> manager_class{nullptr};
std::atomic<jmethodID> transform_method{nullptr};
jmethodID detach_method = nullptr;  // guarded by agent_mutex
std::atomic<bool> detached{false};
std::atomic<int> hooks_in_flight{0};

void releaseManager(JNIEnv* env) {
    transform_method.store(nullptr);
    jclass klass = manager_class.exchange(nullptr);
    if (klass != nullptr) {
        env->DeleteGlobalRef(klass);
    }
}

void throwDetached(JNIEnv* env, const char* what) {
    throwNew(env, illegal_state_class, std::string(what) + ": " + detached_message);
}

// What each environment may do. Both see every class's load event; only the
// second may retransform, which also makes the VM post retransformations to
// it alone.
jvmtiCapabilities capabilitiesOf(Kind kind) {
    jvmtiCapabilities capabilities;
    std::memset(&capabilities, 0, sizeof(capabilities));
    capabilities.can_redefine_classes = 1;
    capabilities.can_redefine_any_class = 1;
    capabilities.can_set_native_method_prefix = 1;
    capabilities.can_generate_all_class_hook_events = 1;
    if (kind == Kind::retransformable) {
        capabilities.can_retransform_classes = 1;
        capabilities.can_retransform_any_class = 1;
    }
    return capabilities;
}

// A new environment of a kind with its capabilities and the hook installed
// (its event still off); null with an error logged otherwise.
jvmtiEnv* makeEnvironment(JavaVM* vm, Kind kind) {
    const char* const kindName =
        kind == Kind::plain ? "the environment for transformers" : "the environment for retransformable transformers";
    jvmtiEnv* jvmti = nullptr;
    const jint got = vm->GetEnv(reinterpret_cast<void**>(&jvmti), JVMTI_VERSION_9);
    if (got != JNI_OK || jvmti == nullptr) {
        Logger::get()->error("[Quorvane] Instrumentation: no JVMTI environment, GetEnv returned {}",
                             static_cast<int>(got));
        return nullptr;
    }
    const jvmtiCapabilities capabilities = capabilitiesOf(kind);
    jvmtiError error = jvmti->AddCapabilities(&capabilities);
    if (error == JVMTI_ERROR_NONE) {
        jvmtiEventCallbacks callbacks;
        std::memset(&callbacks, 0, sizeof(callbacks));
        callbacks.ClassFileLoadHook = &InstrumentHook;
        error = jvmti->SetEventCallbacks(&callbacks, static_cast<jint>(sizeof(callbacks)));
    }
    if (error != JVMTI_ERROR_NONE) {
        Logger::get()->error("[Quorvane] Instrumentation: could not set up {}: JVMTI error {}", kindName,
                             static_cast<int>(error));
        jvmti->DisposeEnvironment();
        return nullptr;
    }
    return jvmti;
}

// Looks up the Java side's declarations and lets it make the Instrumentation;
// null (an exception may be pending) when that failed. Runs Java code under
// agent_mutex: only the Java side's own start, which takes none of its locks.
jobject handOut(JNIEnv* env) {
    if (manager_class.load() == nullptr) {
        jclass local = env->FindClass(JavaSide::manager_class);
        if (local == nullptr) {
            return nullptr;
        }
        jmethodID transform = env->GetStaticMethodID(local, JavaSide::transform_method, JavaSide::transform_sig);
        jmethodID detachJava = env->GetStaticMethodID(local, JavaSide::detach_method, JavaSide::detach_sig);
        auto global =
            transform != nullptr && detachJava != nullptr ? static_cast<jclass>(env->NewGlobalRef(local)) : nullptr;
        env->DeleteLocalRef(local);
        if (global == nullptr) {
            return nullptr;
        }
        detach_method = detachJava;
        transform_method.store(transform);
        manager_class.store(global);
    }
    jclass type = env->FindClass(JavaSide::instrumentation_class);
    if (type == nullptr) {
        return nullptr;
    }
    jobject made = nullptr;
    jmethodID factory = env->GetStaticMethodID(type, JavaSide::hand_out_method, JavaSide::hand_out_sig);
    if (factory != nullptr) {
        made = env->CallStaticObjectMethod(type, factory);
    }
    env->DeleteLocalRef(type);
    return env->ExceptionCheck() ? nullptr : made;
}

}  // namespace

jobject instrumentation(JNIEnv* env) {
    std::lock_guard<std::mutex> lock(agent_mutex);
    if (detached.load() || Services::Remapper::getInstance().isDetached()) {
        throwDetached(env, "Quorvane.instrumentation()");
        return nullptr;
    }
    if (instance != nullptr) {
        return env->NewLocalRef(instance);
    }

    // The log starts as initNative starts it, settings included.
    Logger::init("libagent.log", spdlog::level::trace);
    Logger::reportSettingProblems();

    JavaVM* vm = nullptr;
    if (env->GetJavaVM(&vm) != JNI_OK || vm == nullptr) {
        throwNew(env, illegal_state_class, "Quorvane.instrumentation(): this JVM gave no JavaVM");
        return nullptr;
    }
    for (const Kind kind : {Kind::plain, Kind::retransformable}) {
        jvmtiEnv*& slot = environments[static_cast<int>(kind)];
        if (slot == nullptr) {
            slot = makeEnvironment(vm, kind);
        }
        if (slot == nullptr) {
            throwNew(env, illegal_state_class,
                     "Quorvane.instrumentation(): this JVM offers no JVMTI environment with the capabilities an "
                     "Instrumentation needs (see the log)");
            return nullptr;
        }
    }

    // The Java side lists the modules while it makes the Instrumentation.
    ready.store(true, std::memory_order_release);
    jobject made = handOut(env);
    jobject global = made != nullptr ? env->NewGlobalRef(made) : nullptr;
    if (global == nullptr) {
        // The Java side's own failure stays pending; were there none, say so.
        Logger::get()->error("[Quorvane] Instrumentation: the Java side could not make it");
        if (!env->ExceptionCheck()) {
            throwNew(env, illegal_state_class, "Quorvane.instrumentation(): the Java side could not make it");
        }
        if (made != nullptr) {
            env->DeleteLocalRef(made);
        }
        return nullptr;
    }
    instance = global;
    Logger::get()->info(
        "[Quorvane] Instrumentation handed out: its transformers see every class the JVM defines, redefines or "
        "retransforms");
    return made;
}

void detach(JNIEnv* env) {
    jclass manager = nullptr;
    jmethodID detachJava = nullptr;
    {
        std::lock_guard<std::mutex> lock(agent_mutex);
        if (detached.load()) {
            return;
        }
        // A reference of this thread's own, taken while no hook may release the
        // global one yet (that waits for the flag): a hook leaving after the flag
        // is set may release it before the Java side has been told.
        jclass global = manager_class.load();
        manager = global != nullptr ? static_cast<jclass>(env->NewLocalRef(global)) : nullptr;
        detached.store(true);
        for (jvmtiEnv* jvmti : environments) {
            if (jvmti != nullptr) {
                jvmti->SetEventNotificationMode(JVMTI_DISABLE, JVMTI_EVENT_CLASS_FILE_LOAD_HOOK, nullptr);
            }
        }
        if (instance != nullptr) {
            env->DeleteGlobalRef(instance);
            instance = nullptr;
        }
        detachJava = detach_method;
    }
    // Outside the lock: the Java side takes its own, which a thread switching
    // an event holds while it waits for agent_mutex.
    if (manager != nullptr && detachJava != nullptr) {
        env->CallStaticVoidMethod(manager, detachJava);
        if (env->ExceptionCheck()) {
            env->ExceptionClear();
            Logger::get()->error("[Quorvane] Instrumentation: its transformers could not be dropped");
        }
    }
    if (manager != nullptr) {
        env->DeleteLocalRef(manager);
    }
    if (hooks_in_flight.load() == 0) {
        releaseManager(env);
    }
}

jvmtiEnv* environment(JNIEnv* env, Kind kind) {
    if (detached.load()) {
        throwDetached(env, "Instrumentation");
        return nullptr;
    }
    if (!ready.load(std::memory_order_acquire)) {
        throwNew(env, illegal_state_class, "Instrumentation: not made by Quorvane.instrumentation()");
        return nullptr;
    }
    return environments[static_cast<int>(kind)];
}

void setHookEnabled(JNIEnv* env, Kind kind, bool enabled) {
    std::lock_guard<std::mutex> lock(agent_mutex);
    jvmtiEnv* jvmti = environment(env, kind);
    if (jvmti == nullptr) {
        return;
    }
    const jvmtiError error = jvmti->SetEventNotificationMode(enabled ? JVMTI_ENABLE : JVMTI_DISABLE,
                                                             JVMTI_EVENT_CLASS_FILE_LOAD_HOOK, nullptr);
    if (error != JVMTI_ERROR_NONE) {
        throwError(env, jvmti, error,
                   enabled ? "switch on the class-file-load event" : "switch off the class-file-load event");
    }
}

bool isRetransformable(jvmtiEnv* jvmti) {
    return jvmti == environments[static_cast<int>(Kind::retransformable)];
}

bool enterHook() {
    hooks_in_flight.fetch_add(1);
    return !detached.load();
}

void leaveHook(JNIEnv* env) {
    if (hooks_in_flight.fetch_sub(1) == 1 && detached.load()) {
        releaseManager(env);
    }
}

jclass managerClass() {
    return manager_class.load();
}

jmethodID transformMethod() {
    return transform_method.load();
}

}  // namespace Quorvane::Instrument
