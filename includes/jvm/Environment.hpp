#pragma once

#include <jni.h>
#include <jvmti.h>

// Setting up a JVMTI environment with the class-file-load hook, the same way
// for Remap's environment (initNative) and the Instrumentation's two. Each
// step is a call of its own, so that each caller keeps its own log lines and
// its own order around them.
namespace Quorvane::Jvm {

// What an environment may do beyond the base every one of ours has: seeing
// every class's load event and redefining any class.
struct Abilities {
    bool retransform = false;         // retransform any class (the VM then posts retransformations to it)
    bool nativeMethodPrefix = false;  // set native method prefixes
    bool bytecodes = false;           // read methods' bytecodes
};

jvmtiCapabilities capabilitiesFor(const Abilities& abilities);

// A new environment of the given JVMTI version, or null with the VM's answer
// in code.
jvmtiEnv* newEnvironment(JavaVM* vm, jint version, jint& code);

// Makes hook the environment's one event callback.
jvmtiError installHook(jvmtiEnv* jvmti, jvmtiEventClassFileLoadHook hook);

// Switches the environment's class-file-load event on or off, for all threads.
jvmtiError enableHook(jvmtiEnv* jvmti, bool enabled);

}  // namespace Quorvane::Jvm
