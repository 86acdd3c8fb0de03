// The natives behind the Instrumentation (qv.vantrel.quorvane.instrument
// .InstrumentNatives): each takes its arguments, makes the JVMTI call in the
// right environment, and turns an error into its exception (throwError). The
// Java side has checked the arguments (nulls, empty arrays) and the caller
// (HandOut) before.
#include <jni.h>
#include <jvmti.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Instrument.hpp"
#include "Logger.hpp"
#include "jvm/HeldClasses.hpp"
#include "jvm/JvmtiString.hpp"
#include "jvm/LocalFrames.hpp"
#include "jvm/Strings.hpp"
#include "natives.hpp"

using Quorvane::Instrument::environment;
using Quorvane::Instrument::Kind;
using Quorvane::Instrument::throwError;
using Quorvane::Jvm::copyString;
using Quorvane::Jvm::HeldClasses;

namespace {

const char* const class_class = "java/lang/Class";
const char* const module_class = "java/lang/Module";
// java.base's record of the JVM's input arguments, behind RuntimeMXBean's.
const char* const vm_class = "jdk/internal/misc/VM";
const char* const runtime_arguments_method = "getRuntimeArguments";
const char* const runtime_arguments_sig = "()[Ljava/lang/String;";

Kind kindOf(jboolean retransformable) {
    return retransformable == JNI_TRUE ? Kind::retransformable : Kind::plain;
}

// One line of the Java side to the log.
void logLine(JNIEnv* env, spdlog::level::level_enum level, jstring line) {
    std::string text;
    if (copyString(env, line, text)) {
        // Modified UTF-8 from the VM, written as standard UTF-8.
        Logger::line(level, Logger::ClassName{text.c_str()});
    }
}

// "retransform a, b and 3 more": the classes an error message names.
std::string describeBatch(jvmtiEnv* jvmti, const char* verb, const std::vector<jclass>& classes) {
    constexpr std::size_t named = 5;
    std::string text(verb);
    for (std::size_t i = 0; i < classes.size() && i < named; ++i) {
        text += (i == 0 ? " " : ", ") + Quorvane::Jvm::className(jvmti, classes[i]);
    }
    if (classes.size() > named) {
        text += " and " + std::to_string(classes.size() - named) + " more";
    }
    return text;
}

// Every listed reference, as the Instrumentation's listings hand them all out.
template <typename Item>
std::vector<Item> everyOne(const Item* items, jint count) {
    return std::vector<Item>(items, items + count);
}

// A Class[] or Module[] of what list(&count, &items), a JVMTI listing call,
// returns; null with an exception pending on failure, `what` naming the
// listing in it.
template <typename Item, typename List>
jobjectArray listing(JNIEnv* env, jvmtiEnv* jvmti, const char* elementClass, const char* what, List list) {
    const Quorvane::Jvm::Listed listed = Quorvane::Jvm::listInFrame<Item>(env, jvmti, elementClass, list, everyOne<Item>);
    if (listed.error != JVMTI_ERROR_NONE) {
        throwError(env, jvmti, listed.error, what);
    }
    return listed.array;
}

}  // namespace

extern "C" {  // keeps the JNI names even where a declaration is missing

JNIEXPORT jobject JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_instrumentation(JNIEnv* env, jclass) {
    return Quorvane::Instrument::instrumentation(env);
}

// The JVM's input arguments (JAVA_TOOL_OPTIONS and flag files included), from
// java.base: java.management, whose RuntimeMXBean lists the same, is not in
// every boot layer. JNI reaches the class the module system keeps from Java
// code. Null with the VM's exception pending when they cannot be had, and
// null with nothing pending when the JVM was given no option at all.
JNIEXPORT jobjectArray JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_vmArguments(JNIEnv* env, jclass) {
    jclass vm = env->FindClass(vm_class);
    if (vm == nullptr) {
        return nullptr;
    }
    jmethodID arguments = env->GetStaticMethodID(vm, runtime_arguments_method, runtime_arguments_sig);
    jobject listed = arguments != nullptr ? env->CallStaticObjectMethod(vm, arguments) : nullptr;
    env->DeleteLocalRef(vm);
    return static_cast<jobjectArray>(listed);
}

JNIEXPORT void JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_setHookEnabled(JNIEnv* env, jclass,
                                                                                            jboolean retransformable,
                                                                                            jboolean enabled) {
    Quorvane::Instrument::setHookEnabled(env, kindOf(retransformable), enabled == JNI_TRUE);
}

JNIEXPORT void JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_retransformClasses(JNIEnv* env, jclass,
                                                                                                jobjectArray classes) {
    jvmtiEnv* jvmti = environment(env, Kind::retransformable);
    if (jvmti == nullptr) {
        return;
    }
    const HeldClasses held(env, classes);
    if (!held.complete()) {
        return;  // the VM's OutOfMemoryError is pending
    }
    const jvmtiError error = jvmti->RetransformClasses(static_cast<jint>(held.classes().size()), held.classes().data());
    if (error != JVMTI_ERROR_NONE) {
        throwError(env, jvmti, error, describeBatch(jvmti, "retransform", held.classes()));
    }
}

JNIEXPORT void JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_redefineClasses(JNIEnv* env, jclass,
                                                                                             jobjectArray classes,
                                                                                             jobjectArray definitions) {
    jvmtiEnv* jvmti = environment(env, Kind::plain);
    if (jvmti == nullptr) {
        return;
    }
    const HeldClasses held(env, classes);
    if (!held.complete()) {
        return;
    }
    // Copies of the class files: no array elements are held while the VM
    // runs the hooks (and the transformers) of the redefinition.
    std::vector<std::vector<unsigned char>> files(held.classes().size());
    std::vector<jvmtiClassDefinition> batch(held.classes().size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        auto bytes = static_cast<jbyteArray>(env->GetObjectArrayElement(definitions, static_cast<jsize>(i)));
        if (bytes == nullptr) {
            return;  // the Java side never passes null; an exception may be pending
        }
        const jsize length = env->GetArrayLength(bytes);
        files[i].resize(static_cast<std::size_t>(std::max<jsize>(length, 1)));
        env->GetByteArrayRegion(bytes, 0, length, reinterpret_cast<jbyte*>(files[i].data()));
        env->DeleteLocalRef(bytes);
        batch[i] = {held.classes()[i], static_cast<jint>(length), files[i].data()};
    }
    const jvmtiError error = jvmti->RedefineClasses(static_cast<jint>(batch.size()), batch.data());
    if (error != JVMTI_ERROR_NONE) {
        throwError(env, jvmti, error, describeBatch(jvmti, "redefine", held.classes()));
    }
}

JNIEXPORT jboolean JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_isModifiableClass(JNIEnv* env, jclass,
                                                                                                   jclass klass) {
    jvmtiEnv* jvmti = environment(env, Kind::plain);
    if (jvmti == nullptr) {
        return JNI_FALSE;
    }
    jboolean modifiable = JNI_FALSE;
    const jvmtiError error = jvmti->IsModifiableClass(klass, &modifiable);
    if (error != JVMTI_ERROR_NONE) {
        throwError(env, jvmti, error,
                   "tell whether " + Quorvane::Jvm::className(jvmti, klass) + " is modifiable");
    }
    return modifiable;
}

JNIEXPORT jobjectArray JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_getAllLoadedClasses(JNIEnv* env,
                                                                                                         jclass) {
    jvmtiEnv* jvmti = environment(env, Kind::plain);
    if (jvmti == nullptr) {
        return nullptr;
    }
    return listing<jclass>(env, jvmti, class_class, "list the loaded classes", [&](jint* count, jclass** items) {
        return jvmti->GetLoadedClasses(count, items);
    });
}

JNIEXPORT jobjectArray JNICALL
Java_qv_vantrel_quorvane_instrument_InstrumentNatives_getInitiatedClasses(JNIEnv* env, jclass, jobject loader) {
    jvmtiEnv* jvmti = environment(env, Kind::plain);
    if (jvmti == nullptr) {
        return nullptr;
    }
    return listing<jclass>(env, jvmti, class_class, "list the classes of a class loader", [&](jint* count, jclass** items) {
        return jvmti->GetClassLoaderClasses(loader, count, items);
    });
}

JNIEXPORT jlong JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_getObjectSize(JNIEnv* env, jclass,
                                                                                            jobject object) {
    jvmtiEnv* jvmti = environment(env, Kind::plain);
    if (jvmti == nullptr) {
        return 0;
    }
    jlong size = 0;
    const jvmtiError error = jvmti->GetObjectSize(object, &size);
    if (error != JVMTI_ERROR_NONE) {
        throwError(env, jvmti, error, "tell an object's size");
    }
    return size;
}

JNIEXPORT void JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_appendToClassLoaderSearch(
    JNIEnv* env, jclass, jstring jar, jboolean bootstrap) {
    jvmtiEnv* jvmti = environment(env, Kind::plain);
    std::string path;
    if (jvmti == nullptr || !copyString(env, jar, path)) {
        return;
    }
    const jvmtiError error = bootstrap == JNI_TRUE ? jvmti->AddToBootstrapClassLoaderSearch(path.c_str())
                                                   : jvmti->AddToSystemClassLoaderSearch(path.c_str());
    if (error != JVMTI_ERROR_NONE) {
        throwError(env, jvmti, error,
                   "add " + path + (bootstrap == JNI_TRUE ? " to the bootstrap" : " to the system") +
                       " class loader's search");
    }
}

JNIEXPORT void JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_setNativeMethodPrefixes(
    JNIEnv* env, jclass, jobjectArray prefixes, jboolean retransformable) {
    jvmtiEnv* jvmti = environment(env, kindOf(retransformable));
    if (jvmti == nullptr) {
        return;
    }
    const jsize count = env->GetArrayLength(prefixes);
    std::vector<std::string> texts(static_cast<std::size_t>(count));
    for (jsize i = 0; i < count; ++i) {
        auto prefix = static_cast<jstring>(env->GetObjectArrayElement(prefixes, i));
        const bool read = copyString(env, prefix, texts[static_cast<std::size_t>(i)]);
        env->DeleteLocalRef(prefix);
        if (!read) {
            return;
        }
    }
    std::vector<char*> pointers;
    pointers.reserve(texts.size() + 1);
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    // One slot more than the prefixes: JVMTI refuses a null array even for none.
    pointers.push_back(nullptr);
    const jvmtiError error = jvmti->SetNativeMethodPrefixes(count, pointers.data());
    if (error != JVMTI_ERROR_NONE) {
        throwError(env, jvmti, error, "set the native method prefixes");
    }
}

JNIEXPORT jboolean JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_isModifiableModule(JNIEnv* env, jclass,
                                                                                                    jobject module) {
    jvmtiEnv* jvmti = environment(env, Kind::plain);
    if (jvmti == nullptr) {
        return JNI_FALSE;
    }
    jboolean modifiable = JNI_FALSE;
    const jvmtiError error = jvmti->IsModifiableModule(module, &modifiable);
    if (error != JVMTI_ERROR_NONE) {
        throwError(env, jvmti, error, "tell whether a module is modifiable");
    }
    return modifiable;
}

JNIEXPORT jobjectArray JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_allModules(JNIEnv* env, jclass) {
    jvmtiEnv* jvmti = environment(env, Kind::plain);
    if (jvmti == nullptr) {
        return nullptr;
    }
    return listing<jobject>(env, jvmti, module_class, "list the modules", [&](jint* count, jobject** items) {
        return jvmti->GetAllModules(count, items);
    });
}

// One module change, by the Java side's codes: READS (other: a module),
// EXPORTS and OPENS of package to other (a module), USES (other: a service
// class), PROVIDES (other: the service, provider: the class providing it).
JNIEXPORT void JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_changeModule(
    JNIEnv* env, jclass, jint change, jobject module, jstring package, jobject other, jclass provider) {
    jvmtiEnv* jvmti = environment(env, Kind::plain);
    if (jvmti == nullptr) {
        return;
    }
    std::string name;
    if (package != nullptr && !copyString(env, package, name)) {
        return;
    }
    jvmtiError error = JVMTI_ERROR_ILLEGAL_ARGUMENT;
    const char* what = "change a module";
    switch (change) {
        case qv_vantrel_quorvane_instrument_InstrumentNatives_READS:
            error = jvmti->AddModuleReads(module, other);
            what = "make a module read another";
            break;
        case qv_vantrel_quorvane_instrument_InstrumentNatives_EXPORTS:
            error = jvmti->AddModuleExports(module, name.c_str(), other);
            what = "export a package";
            break;
        case qv_vantrel_quorvane_instrument_InstrumentNatives_OPENS:
            error = jvmti->AddModuleOpens(module, name.c_str(), other);
            what = "open a package";
            break;
        case qv_vantrel_quorvane_instrument_InstrumentNatives_USES:
            error = jvmti->AddModuleUses(module, static_cast<jclass>(other));
            what = "add a service use";
            break;
        case qv_vantrel_quorvane_instrument_InstrumentNatives_PROVIDES:
            error = jvmti->AddModuleProvides(module, static_cast<jclass>(other), provider);
            what = "add a service provider";
            break;
        default:
            break;
    }
    if (error != JVMTI_ERROR_NONE) {
        throwError(env, jvmti, error, name.empty() ? std::string(what) : std::string(what) + " " + name);
    }
}

JNIEXPORT void JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_logWarning(JNIEnv* env, jclass,
                                                                                      jstring line) {
    logLine(env, spdlog::level::warn, line);
}

JNIEXPORT void JNICALL Java_qv_vantrel_quorvane_instrument_InstrumentNatives_logInfo(JNIEnv* env, jclass,
                                                                                   jstring line) {
    logLine(env, spdlog::level::info, line);
}

}  // extern "C"
