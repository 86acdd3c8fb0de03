#include "jvm/Environment.hpp"

#include <cstring>

namespace Quorvane::Jvm {

jvmtiCapabilities capabilitiesFor(const Abilities& abilities) {
    jvmtiCapabilities capabilities;
    std::memset(&capabilities, 0, sizeof(capabilities));
    capabilities.can_redefine_classes = 1;
    capabilities.can_redefine_any_class = 1;
    capabilities.can_generate_all_class_hook_events = 1;
    if (abilities.retransform) {
        capabilities.can_retransform_classes = 1;
        capabilities.can_retransform_any_class = 1;
    }
    if (abilities.nativeMethodPrefix) {
        capabilities.can_set_native_method_prefix = 1;
    }
    if (abilities.bytecodes) {
        capabilities.can_get_bytecodes = 1;
    }
    return capabilities;
}

jvmtiEnv* newEnvironment(JavaVM* vm, jint version, jint& code) {
    jvmtiEnv* jvmti = nullptr;
    code = vm->GetEnv(reinterpret_cast<void**>(&jvmti), version);
    return code == JNI_OK ? jvmti : nullptr;
}

jvmtiError installHook(jvmtiEnv* jvmti, jvmtiEventClassFileLoadHook hook) {
    jvmtiEventCallbacks callbacks;
    std::memset(&callbacks, 0, sizeof(callbacks));
    callbacks.ClassFileLoadHook = hook;
    return jvmti->SetEventCallbacks(&callbacks, static_cast<jint>(sizeof(callbacks)));
}

jvmtiError enableHook(jvmtiEnv* jvmti, bool enabled) {
    return jvmti->SetEventNotificationMode(enabled ? JVMTI_ENABLE : JVMTI_DISABLE, JVMTI_EVENT_CLASS_FILE_LOAD_HOOK,
                                           nullptr);
}

}  // namespace Quorvane::Jvm
