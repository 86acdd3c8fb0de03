// initNative: turns the loaded library into a class transformer.
#include <jni.h>
#include <jvmti.h>

#include <memory>
#include <mutex>

#include "Instrument.hpp"
#include "Logger.hpp"
#include "callbacks.hpp"
#include "AgentEnvironment.hpp"
#include "global.hpp"
#include "jvm/Environment.hpp"
#include "jvm/SharedNames.hpp"
#include "natives.hpp"

using Quorvane::Services::Remapper;

namespace {

// The Java upcall (keep in sync with qv.vantrel.quorvane.remapper.Remap).
const char* const remap_class = "qv/vantrel/quorvane/remapper/Remap";
const char* const remap_method = "remap";
const char* const remap_sig = "(Ljava/lang/String;[B)[B";

// Serializes initNative: two threads initializing at once must not obtain two
// environments or cache two global references.
std::mutex init_mutex;

// The JVMTI environment of the first successful GetEnv, reused by every later
// call: a second environment with the hook installed would run every selected
// class through remap twice. Guarded by init_mutex; never disposed of.
jvmtiEnv* agent_env = nullptr;

// True when the registry holds both Remap declarations on return. FindClass
// runs in the caller's thread and class-loader context.
bool cacheRemapDeclarations(JNIEnv* env) {
    Remapper& remapper = Remapper::getInstance();
    if (remapper.getRemapClass() != nullptr && remapper.getRemapMethodId() != nullptr) {
        return true;
    }

    jclass local = env->FindClass(remap_class);
    if (local == nullptr) {
        if (env->ExceptionCheck()) {
            env->ExceptionClear();
        }
        Logger::get()->error("[Quorvane] FindClass failed: {}", remap_class);
        return false;
    }
    // Owned by the registry for the life of the process.
    auto global = static_cast<jclass>(env->NewGlobalRef(local));
    env->DeleteLocalRef(local);
    if (global == nullptr) {
        Logger::get()->error("[Quorvane] NewGlobalRef failed: {}", remap_class);
        return false;
    }

    jmethodID method = env->GetStaticMethodID(global, remap_method, remap_sig);
    if (method == nullptr) {
        if (env->ExceptionCheck()) {
            env->ExceptionClear();
        }
        env->DeleteGlobalRef(global);
        Logger::get()->error("[Quorvane] GetStaticMethodID failed: {}.{}", remap_class, remap_method);
        return false;
    }

    remapper.setRemapClass(global);
    remapper.setRemapMethodId(method);
    Logger::get()->debug("[Quorvane] Cached static declarations: {}.{}", remap_class, remap_method);
    return true;
}

// initNative's answer for a copy detached before its log started: one line
// on standard error, in the log's format. Starting the log only to say this
// would empty libagent.log, which may hold what another process wrote.
void reportDetachedBeforeLog() {
    spdlog::logger once("", std::make_shared<spdlog::sinks::stderr_color_sink_mt>());
    once.set_pattern("[%Y-%m-%d %T] [%^%l%$] %v", spdlog::pattern_time_type::local);
    once.error("[Quorvane] initNative: {} before its log started", Quorvane::Jvm::detached_message);
}

}  // namespace

extern "C" JNIEXPORT jboolean JNICALL Java_qv_vantrel_quorvane_Quorvane_initNative(JNIEnv* env, jclass) {
    std::lock_guard<std::mutex> lock(init_mutex);

    Remapper& remapper = Remapper::getInstance();
    if (remapper.isDetached() && !Logger::started()) {
        reportDetachedBeforeLog();
        return JNI_FALSE;
    }

    Logger::init(Logger::default_file_name, Logger::default_level);
    Logger::get()->info("[Quorvane] Initializing Quorvane...");
    Logger::reportSettingProblems();

    if (remapper.isDetached()) {
        Logger::get()->error("[Quorvane] initNative: {}", Quorvane::Jvm::detached_message);
        return JNI_FALSE;
    }

    JavaVM* vm = nullptr;
    env->GetJavaVM(&vm);
    if (vm == nullptr) {
        Logger::get()->error("[Quorvane] Failed to get JavaVM instance");
        return JNI_FALSE;
    }

    if (agent_env == nullptr) {
        jint err = JNI_OK;
        jvmtiEnv* jvmti = Quorvane::Jvm::newEnvironment(vm, JVMTI_VERSION_1_2, err);
        if (jvmti == nullptr) {
            Logger::get()->error("[Quorvane] Failed to get JVMTI environment, error: {}", static_cast<int>(err));
            return JNI_FALSE;
        }
        agent_env = jvmti;
    }

    Quorvane::Jvm::Abilities abilities;
    abilities.retransform = true;
    abilities.bytecodes = true;
    const jvmtiCapabilities capabilities = Quorvane::Jvm::capabilitiesFor(abilities);
    jvmtiError result = agent_env->AddCapabilities(&capabilities);
    if (result != JVMTI_ERROR_NONE) {
        Logger::get()->error("[Quorvane] Could not add JVMTI capabilities: {}", static_cast<int>(result));
        return JNI_FALSE;
    }
    Logger::get()->info("[Quorvane] Added JVMTI capabilities");

    result = Quorvane::Jvm::installHook(agent_env, &ClassFileLoadHook);
    if (result != JVMTI_ERROR_NONE) {
        Logger::get()->error("[Quorvane] Could not set JVMTI event callbacks: {}", static_cast<int>(result));
        return JNI_FALSE;
    }

    result = Quorvane::Jvm::enableHook(agent_env, true);
    if (result != JVMTI_ERROR_NONE) {
        Logger::get()->error("[Quorvane] Could not enable JVMTI event notifications: {}", static_cast<int>(result));
        return JNI_FALSE;
    }

    if (!cacheRemapDeclarations(env)) {
        Logger::get()->error("[Quorvane] initNative: failed to cache static declarations");
        return JNI_FALSE;
    }

    remapper.setInit(true);
    Logger::get()->info("[Quorvane] Quorvane is initialized.");
    return JNI_TRUE;
}

// Stops this copy for good: the hook does nothing from now on, the VM stops
// calling it, and the Remap class's global reference (which pins the class
// loader of this copy's Java side) goes once no hook is inside a remap.
extern "C" JNIEXPORT void JNICALL Java_qv_vantrel_quorvane_Quorvane_detachNative(JNIEnv* env, jclass) {
    std::lock_guard<std::mutex> lock(init_mutex);
    Remapper& remapper = Remapper::getInstance();
    if (remapper.isDetached()) {
        return;
    }
    remapper.detach(env);
    if (agent_env != nullptr) {
        const jvmtiError result = Quorvane::Jvm::enableHook(agent_env, false);
        if (result != JVMTI_ERROR_NONE) {
            // The hook stays inert all the same: it checks the flag first.
            Logger::get()->error("[Quorvane] Could not disable JVMTI event notifications: {}",
                                 static_cast<int>(result));
        }
    }
    // The Instrumentation ends with the copy (nothing to do if never made).
    Quorvane::Instrument::detach(env);
    if (Logger::started()) {
        Logger::get()->info("[Quorvane] Detached: this copy of Quorvane transforms no more classes");
    }
}

// agent_env is written once, before the first release store of the flag, and
// never again: a caller that sees the flag set (acquire) sees it too.
jvmtiEnv* initializedAgentEnv() {
    return Remapper::getInstance().isInit() ? agent_env : nullptr;
}
