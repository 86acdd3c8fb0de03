#pragma once

#include <jvmti.h>

// What a successful initNative leaves for the other natives: the JVMTI
// environment the hook is installed in, or null while initNative has not
// succeeded. Any thread.
jvmtiEnv* initializedAgentEnv();
