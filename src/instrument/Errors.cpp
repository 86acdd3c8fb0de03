// The one place where a JVMTI error becomes the Java exception the
// Instrumentation interface names for it.
#include <jni.h>
#include <jvmti.h>

#include <string>

#include "Instrument.hpp"
#include "jvm/Exceptions.hpp"
#include "jvm/JvmtiString.hpp"

namespace Quorvane::Instrument {

namespace {

const char* const unsupported = "java/lang/UnsupportedOperationException";
const char* const illegal_argument = "java/lang/IllegalArgumentException";

}  // namespace

ErrorMapping mapError(jvmtiError error) {
    switch (error) {
        case JVMTI_ERROR_NULL_POINTER:
            return {"java/lang/NullPointerException", "an argument is null"};
        case JVMTI_ERROR_ILLEGAL_ARGUMENT:
            return {illegal_argument, "the VM refused an argument"};
        case JVMTI_ERROR_INVALID_MODULE:
            return {illegal_argument, "not a module"};
        case JVMTI_ERROR_OUT_OF_MEMORY:
            return {"java/lang/OutOfMemoryError", "the VM ran out of memory"};
        case JVMTI_ERROR_INVALID_CLASS_FORMAT:
            return {"java/lang/ClassFormatError", "the class file is not valid"};
        case JVMTI_ERROR_UNSUPPORTED_VERSION:
            return {"java/lang/UnsupportedClassVersionError", "the VM does not support the class file's version"};
        case JVMTI_ERROR_NAMES_DONT_MATCH:
            return {"java/lang/NoClassDefFoundError", "the class file defines a class of another name"};
        case JVMTI_ERROR_CIRCULAR_CLASS_DEFINITION:
            return {"java/lang/ClassCircularityError", "the class would be its own super class"};
        case JVMTI_ERROR_FAILS_VERIFICATION:
            return {"java/lang/VerifyError", "the class file fails verification"};
        case JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_ADDED:
            return {unsupported, "the new class file adds a method"};
        case JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_DELETED:
            return {unsupported, "the new class file deletes a method"};
        case JVMTI_ERROR_UNSUPPORTED_REDEFINITION_SCHEMA_CHANGED:
            return {unsupported, "the new class file adds, removes or changes fields"};
        case JVMTI_ERROR_UNSUPPORTED_REDEFINITION_HIERARCHY_CHANGED:
            return {unsupported, "the new class file changes the super class or the interfaces"};
        case JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_MODIFIERS_CHANGED:
            return {unsupported, "the new class file changes the class's modifiers"};
        case JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_MODIFIERS_CHANGED:
            return {unsupported, "the new class file changes a method's modifiers"};
        case JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_ATTRIBUTE_CHANGED:
            return {unsupported,
                    "the new class file changes the NestHost, NestMembers, Record or PermittedSubclasses attribute"};
        case JVMTI_ERROR_MUST_POSSESS_CAPABILITY:
        case JVMTI_ERROR_NOT_AVAILABLE:
            return {unsupported, "the VM does not support it"};
        case JVMTI_ERROR_CLASS_LOADER_UNSUPPORTED:
            return {unsupported, "the system class loader does not support adding a jar"};
        case JVMTI_ERROR_UNMODIFIABLE_CLASS:
            return {"java/lang/instrument/UnmodifiableClassException", "the VM cannot modify it"};
        case JVMTI_ERROR_UNMODIFIABLE_MODULE:
            return {"java/lang/instrument/UnmodifiableModuleException", "the VM cannot modify it"};
        case JVMTI_ERROR_WRONG_PHASE:
            return {"java/lang/IllegalStateException", "the VM is shutting down"};
        default:
            return {"java/lang/InternalError", "the VM reported an error"};
    }
}

void throwError(JNIEnv* env, jvmtiEnv* jvmti, jvmtiError error, const std::string& subject) {
    const ErrorMapping mapping = mapError(error);
    Jvm::throwNew(env, mapping.exceptionClass,
                  "Could not " + subject + ": " + mapping.what + " (" + Jvm::errorName(jvmti, error) + ")");
}

}  // namespace Quorvane::Instrument
