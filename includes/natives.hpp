#pragma once

// The native methods of qv.vantrel.quorvane.Quorvane, under the symbols the
// VM looks up (keep in sync with Quorvane.java). These are the only symbols
// the library exports.
#include <jni.h>

extern "C" {
JNIEXPORT jboolean JNICALL Java_qv_vantrel_quorvane_Quorvane_initNative(JNIEnv* env, jclass clazz);
JNIEXPORT jboolean JNICALL Java_qv_vantrel_quorvane_Quorvane_addInclude(JNIEnv* env, jclass clazz, jstring name);
JNIEXPORT jboolean JNICALL Java_qv_vantrel_quorvane_Quorvane_addExclude(JNIEnv* env, jclass clazz, jstring name);
JNIEXPORT jboolean JNICALL Java_qv_vantrel_quorvane_Quorvane_removeInclude(JNIEnv* env, jclass clazz, jstring name);
JNIEXPORT jboolean JNICALL Java_qv_vantrel_quorvane_Quorvane_removeExclude(JNIEnv* env, jclass clazz, jstring name);
JNIEXPORT void JNICALL Java_qv_vantrel_quorvane_Quorvane_clearIncludes(JNIEnv* env, jclass clazz);
JNIEXPORT void JNICALL Java_qv_vantrel_quorvane_Quorvane_clearExcludes(JNIEnv* env, jclass clazz);
JNIEXPORT void JNICALL Java_qv_vantrel_quorvane_Quorvane_detach(JNIEnv* env, jclass clazz);
JNIEXPORT jbyteArray JNICALL Java_qv_vantrel_quorvane_Quorvane_configureLog(JNIEnv* env, jclass clazz, jint level,
                                                                            jbyteArray file, jint console,
                                                                            jbyteArray problem);
JNIEXPORT jbyteArray JNICALL Java_qv_vantrel_quorvane_Quorvane_configureLogFile(JNIEnv* env, jclass clazz,
                                                                                jlong maxSize, jint maxFiles,
                                                                                jint flush);
JNIEXPORT jint JNICALL Java_qv_vantrel_quorvane_Quorvane_retransformNative(JNIEnv* env, jclass clazz,
                                                                           jobjectArray classes,
                                                                           jobjectArray refusedClasses,
                                                                           jobjectArray refusedReasons);
JNIEXPORT jobjectArray JNICALL Java_qv_vantrel_quorvane_Quorvane_loadedClassesToRetransform(JNIEnv* env, jclass clazz);
}
