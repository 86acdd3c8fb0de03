#pragma once

#include <jni.h>
#include <jvmti.h>

// The class-file-load event callback: filters the class, hands it to
// Remap.remap and gives the VM what comes back. Runs on every class-loading
// thread, several at once.
void JNICALL ClassFileLoadHook(jvmtiEnv* jvmti_env, JNIEnv* jni_env, jclass class_being_redefined, jobject loader,
                               const char* name, jobject protection_domain, jint class_data_len,
                               const unsigned char* classbytes, jint* new_class_data_len,
                               unsigned char** new_classbytes);
