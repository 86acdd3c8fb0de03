// The Instrumentation's two JVMTI environments: made on the first
// Quorvane.instrumentation(), their events switched by the Java side, ended
// by Quorvane.detach().
#include <jni.h>
#include <jvmti.h>

#include <atomic>
#include <mutex>

#include "Instrument.hpp"
#include "Logger.hpp"
#include "global.hpp"
#include "jvm/Environment.hpp"
#include "jvm/Exceptions.hpp"
#include "jvm/SharedNames.hpp"
#include "jvm/UpcallTarget.hpp"

namespace Quorvane::Instrument {

namespace {

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

// The hook's upcall, TransformerManager.transform: set once under agent_mutex
// before the first transformer can enable an event, released after detach
// once no hook is inside it.
Jvm::UpcallTarget manager;
jmethodID detach_method = nullptr;  // guarded by agent_mutex

void throwDetached(JNIEnv* env, const char* what) {
    Jvm::throwNew(env, Jvm::illegal_state_exception, std::string(what) + ": " + Jvm::detached_message);
}

// A new environment of a kind with its capabilities and the hook installed
// (its event still off); null with an error logged otherwise. Both see every
// class's load event; only the second may retransform, which also makes the
// VM post retransformations to it alone.
jvmtiEnv* makeEnvironment(JavaVM* vm, Kind kind) {
    const char* const kindName =
        kind == Kind::plain ? "the environment for transformers" : "the environment for retransformable transformers";
    jint got = JNI_OK;
    jvmtiEnv* jvmti = Jvm::newEnvironment(vm, JVMTI_VERSION_9, got);
    if (jvmti == nullptr) {
        Logger::get()->error("[Quorvane] Instrumentation: no JVMTI environment, GetEnv returned {}",
                             static_cast<int>(got));
        return nullptr;
    }
    Jvm::Abilities abilities;
    abilities.retransform = kind == Kind::retransformable;
    abilities.nativeMethodPrefix = true;
    const jvmtiCapabilities capabilities = Jvm::capabilitiesFor(abilities);
    jvmtiError error = jvmti->AddCapabilities(&capabilities);
    if (error == JVMTI_ERROR_NONE) {
        error = Jvm::installHook(jvmti, &InstrumentHook);
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
    if (manager.targetClass() == nullptr) {
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
        manager.setMethod(transform);
        manager.setTargetClass(global);
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
    if (manager.isDetached() || Services::Remapper::getInstance().isDetached()) {
        throwDetached(env, "Quorvane.instrumentation()");
        return nullptr;
    }
    if (instance != nullptr) {
        return env->NewLocalRef(instance);
    }

    // The log starts as initNative starts it, settings included.
    Logger::init(Logger::default_file_name, Logger::default_level);
    Logger::reportSettingProblems();

    JavaVM* vm = nullptr;
    if (env->GetJavaVM(&vm) != JNI_OK || vm == nullptr) {
        Jvm::throwNew(env, Jvm::illegal_state_exception, "Quorvane.instrumentation(): this JVM gave no JavaVM");
        return nullptr;
    }
    for (const Kind kind : {Kind::plain, Kind::retransformable}) {
        jvmtiEnv*& slot = environments[static_cast<int>(kind)];
        if (slot == nullptr) {
            slot = makeEnvironment(vm, kind);
        }
        if (slot == nullptr) {
            Jvm::throwNew(env, Jvm::illegal_state_exception,
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
            Jvm::throwNew(env, Jvm::illegal_state_exception,
                          "Quorvane.instrumentation(): the Java side could not make it");
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
    jclass managerClass = nullptr;
    jmethodID detachJava = nullptr;
    {
        std::lock_guard<std::mutex> lock(agent_mutex);
        if (manager.isDetached()) {
            return;
        }
        // A reference of this thread's own, taken before the detach lets a
        // hook leaving release the global one: the Java side is still to be
        // told.
        jclass global = manager.targetClass();
        managerClass = global != nullptr ? static_cast<jclass>(env->NewLocalRef(global)) : nullptr;
        manager.detach(env);
        for (jvmtiEnv* jvmti : environments) {
            if (jvmti != nullptr) {
                Jvm::enableHook(jvmti, false);
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
    if (managerClass != nullptr && detachJava != nullptr) {
        env->CallStaticVoidMethod(managerClass, detachJava);
        if (env->ExceptionCheck()) {
            env->ExceptionClear();
            Logger::get()->error("[Quorvane] Instrumentation: its transformers could not be dropped");
        }
    }
    if (managerClass != nullptr) {
        env->DeleteLocalRef(managerClass);
    }
}

jvmtiEnv* environment(JNIEnv* env, Kind kind) {
    if (manager.isDetached()) {
        throwDetached(env, "Instrumentation");
        return nullptr;
    }
    if (!ready.load(std::memory_order_acquire)) {
        Jvm::throwNew(env, Jvm::illegal_state_exception, "Instrumentation: not made by Quorvane.instrumentation()");
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
    const jvmtiError error = Jvm::enableHook(jvmti, enabled);
    if (error != JVMTI_ERROR_NONE) {
        throwError(env, jvmti, error,
                   enabled ? "switch on the class-file-load event" : "switch off the class-file-load event");
    }
}

bool isRetransformable(jvmtiEnv* jvmti) {
    return jvmti == environments[static_cast<int>(Kind::retransformable)];
}

Jvm::UpcallTarget& transformerManager() {
    return manager;
}

}  // namespace Quorvane::Instrument
