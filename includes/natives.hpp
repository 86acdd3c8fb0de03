#pragma once

// The native methods of qv.vantrel.quorvane.Quorvane and of
// qv.vantrel.quorvane.instrument.InstrumentNatives, under the symbols the VM
// looks up (keep in sync with the Java side). These are the only symbols the
// library exports.
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

JNIEXPORT jobject JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_instrumentation(JNIEnv* env,
                                                                                                jclass clazz);
JNIEXPORT jobjectArray JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_vmArguments(JNIEnv* env,
                                                                                                 jclass clazz);
JNIEXPORT void JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_setHookEnabled(JNIEnv* env, jclass clazz,
                                                                                            jboolean retransformable,
                                                                                            jboolean enabled);
JNIEXPORT void JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_retransformClasses(JNIEnv* env,
                                                                                                jclass clazz,
                                                                                                jobjectArray classes);
JNIEXPORT void JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_redefineClasses(JNIEnv* env, jclass clazz,
                                                                                             jobjectArray classes,
                                                                                             jobjectArray definitions);
JNIEXPORT jboolean JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_isModifiableClass(JNIEnv* env,
                                                                                                   jclass clazz,
                                                                                                   jclass klass);
JNIEXPORT jobjectArray JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_getAllLoadedClasses(JNIEnv* env,
                                                                                                         jclass clazz);
JNIEXPORT jobjectArray JNICALL
Java_qv_vantrel_quorvane_instrument_InstrumentNatives_getInitiatedClasses(JNIEnv* env, jclass clazz, jobject loader);
JNIEXPORT jlong JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_getObjectSize(JNIEnv* env, jclass clazz,
                                                                                            jobject object);
JNIEXPORT void JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_appendToClassLoaderSearch(
    JNIEnv* env, jclass clazz, jstring jar, jboolean bootstrap);
JNIEXPORT void JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_setNativeMethodPrefixes(
    JNIEnv* env, jclass clazz, jobjectArray prefixes, jboolean retransformable);
JNIEXPORT jboolean JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_isModifiableModule(JNIEnv* env,
                                                                                                    jclass clazz,
                                                                                                    jobject module);
JNIEXPORT jobjectArray JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_allModules(JNIEnv* env,
                                                                                                jclass clazz);
JNIEXPORT void JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_changeModule(
    JNIEnv* env, jclass clazz, jint change, jobject module, jstring package, jobject other, jclass provider);
JNIEXPORT void JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_logWarning(JNIEnv* env, jclass clazz,
                                                                                      jstring line);
JNIEXPORT void JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_logInfo(JNIEnv* env, jclass clazz,
                                                                                   jstring line);
}
