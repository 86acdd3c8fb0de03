// The one mapping from JVMTI errors to the exceptions the Instrumentation
// interface names, and the failures of the native that reads the JVM's
// arguments, on which every hand-out is refused (the JVM tests reach only the
// errors a real VM produces on demand).
#include <gtest/gtest.h>
#include <jvmti.h>

#include <string>

#include "FakeJni.hpp"
#include "Instrument.hpp"
#include "natives.hpp"

namespace {

using Quorvane::Instrument::mapError;
using QuorvaneTest::FakeJni;
using QuorvaneTest::Outcome;

// A JDK without java.base's record of its arguments: null with the VM's
// exception left pending for the Java side, and no reference left behind.
TEST(InstrumentErrors, UnreadableArgumentsLeaveTheExceptionAndNoReference) {
    for (const bool classMissing : {true, false}) {
        SCOPED_TRACE(classMissing ? "FindClass fails" : "GetStaticMethodID fails");
        FakeJni jni;
        (classMissing ? jni.findClass : jni.getStaticMethodId) = Outcome::failRaising;
        EXPECT_EQ(Java_qv_vantrel_quorvane_instrument_InstrumentNatives_vmArguments(jni.env(), nullptr), nullptr);
        EXPECT_TRUE(jni.exceptionPending);
        EXPECT_EQ(jni.calls("CallStaticObjectMethodV"), 0);
        EXPECT_EQ(jni.liveLocalRefs(), 0);
        EXPECT_EQ(jni.badDeletes, 0);
        EXPECT_TRUE(jni.callsWithPendingException.empty());
        ASSERT_FALSE(jni.foundClasses.empty());
        EXPECT_EQ(jni.foundClasses.front(), "jdk/internal/misc/VM");
    }
}

struct Row {
    jvmtiError error;
    const char* exceptionClass;
};

TEST(InstrumentErrors, EachErrorBecomesTheExceptionTheInterfaceNames) {
    const Row rows[] = {
        {JVMTI_ERROR_NULL_POINTER, "java/lang/NullPointerException"},
        {JVMTI_ERROR_ILLEGAL_ARGUMENT, "java/lang/IllegalArgumentException"},
        {JVMTI_ERROR_INVALID_MODULE, "java/lang/IllegalArgumentException"},
        {JVMTI_ERROR_OUT_OF_MEMORY, "java/lang/OutOfMemoryError"},
        {JVMTI_ERROR_INVALID_CLASS_FORMAT, "java/lang/ClassFormatError"},
        {JVMTI_ERROR_UNSUPPORTED_VERSION, "java/lang/UnsupportedClassVersionError"},
        {JVMTI_ERROR_NAMES_DONT_MATCH, "java/lang/NoClassDefFoundError"},
        {JVMTI_ERROR_CIRCULAR_CLASS_DEFINITION, "java/lang/ClassCircularityError"},
        {JVMTI_ERROR_FAILS_VERIFICATION, "java/lang/VerifyError"},
        {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_ADDED, "java/lang/UnsupportedOperationException"},
        {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_DELETED, "java/lang/UnsupportedOperationException"},
        {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_SCHEMA_CHANGED, "java/lang/UnsupportedOperationException"},
        {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_HIERARCHY_CHANGED, "java/lang/UnsupportedOperationException"},
        {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_MODIFIERS_CHANGED, "java/lang/UnsupportedOperationException"},
        {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_MODIFIERS_CHANGED, "java/lang/UnsupportedOperationException"},
        {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_ATTRIBUTE_CHANGED, "java/lang/UnsupportedOperationException"},
        {JVMTI_ERROR_MUST_POSSESS_CAPABILITY, "java/lang/UnsupportedOperationException"},
        {JVMTI_ERROR_NOT_AVAILABLE, "java/lang/UnsupportedOperationException"},
        {JVMTI_ERROR_CLASS_LOADER_UNSUPPORTED, "java/lang/UnsupportedOperationException"},
        {JVMTI_ERROR_UNMODIFIABLE_CLASS, "java/lang/instrument/UnmodifiableClassException"},
        {JVMTI_ERROR_UNMODIFIABLE_MODULE, "java/lang/instrument/UnmodifiableModuleException"},
        {JVMTI_ERROR_WRONG_PHASE, "java/lang/IllegalStateException"},
        // Errors the interface names no exception for.
        {JVMTI_ERROR_INVALID_CLASS, "java/lang/InternalError"},
        {JVMTI_ERROR_INTERNAL, "java/lang/InternalError"},
        {JVMTI_ERROR_INVALID_THREAD, "java/lang/InternalError"},
        {static_cast<jvmtiError>(120), "java/lang/InternalError"},  // unknown, inside the enum's range (UBSan)
    };
    for (const Row& row : rows) {
        const auto mapping = mapError(row.error);
        EXPECT_EQ(std::string(mapping.exceptionClass), row.exceptionClass) << "JVMTI error " << row.error;
        EXPECT_FALSE(std::string(mapping.what).empty()) << "JVMTI error " << row.error;
    }
}

// Each refused change of shape says which change it was.
TEST(InstrumentErrors, RefusedRedefinitionsSayWhatChanged) {
    const jvmtiError refusals[] = {
        JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_ADDED,
        JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_DELETED,
        JVMTI_ERROR_UNSUPPORTED_REDEFINITION_SCHEMA_CHANGED,
        JVMTI_ERROR_UNSUPPORTED_REDEFINITION_HIERARCHY_CHANGED,
        JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_MODIFIERS_CHANGED,
        JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_MODIFIERS_CHANGED,
        JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_ATTRIBUTE_CHANGED,
    };
    for (const jvmtiError a : refusals) {
        for (const jvmtiError b : refusals) {
            if (a != b) {
                EXPECT_NE(std::string(mapError(a).what), mapError(b).what) << a << " and " << b;
            }
        }
    }
}

}  // namespace
