// Retransformation against fake JNI and JVMTI environments: error names, the
// fallback that finds the classes at fault in a refused batch, the choice of
// loaded classes, the natives' bodies with their Java arrays, and the record
// of replaced classes the hook keeps.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FakeJni.hpp"
#include "LogCapture.hpp"
#include "Registry.hpp"
#include "ReplacedClasses.hpp"
#include "Retransform.hpp"
#include "callbacks.hpp"
#include "jvm/JvmtiString.hpp"
#include "natives.hpp"

// Heap allocations made on a thread while it counts them, through a global
// operator new of the test's own. ThreadSanitizer's runtime defines its own
// and the two cannot be linked together; there the count is left out.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUORVANE_TEST_NO_ALLOCATION_COUNT 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define QUORVANE_TEST_NO_ALLOCATION_COUNT 1
#endif

namespace {
thread_local bool counting_allocations = false;
thread_local int counted_allocations = 0;
}  // namespace

#ifndef QUORVANE_TEST_NO_ALLOCATION_COUNT
void* operator new(std::size_t size) {
    if (counting_allocations) {
        ++counted_allocations;
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
#endif

namespace {

using Quorvane::Services::ReplacedClasses;
using QuorvaneTest::FakeJni;
using QuorvaneTest::FakeJvmti;
using QuorvaneTest::freshRegistry;
using QuorvaneTest::LogCapture;
using QuorvaneTest::LogLine;
using QuorvaneTest::Outcome;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAreArray;

constexpr auto info = spdlog::level::info;
constexpr auto error = spdlog::level::err;
const char* const not_initialized = "Quorvane is not initialized: initNative() has not succeeded";

// A fake VM: JNI and JVMTI that share their objects.
struct Vm {
    FakeJni jni;
    FakeJvmti jvmti;
    Vm() { jvmti.jni = &jni; }

    // Nothing left behind: references, JVMTI memory, exceptions called over.
    void expectClean() const {
        EXPECT_EQ(jni.liveLocalRefs(), 0);
        EXPECT_EQ(jni.globalRefsCreated, jni.globalRefsDeleted);
        EXPECT_EQ(jni.badDeletes, 0);
        EXPECT_EQ(jni.badReferences, 0);
        EXPECT_THAT(jni.callsWithPendingException, IsEmpty());
        EXPECT_EQ(jvmti.liveAllocations(), 0);
        EXPECT_EQ(jvmti.badDeallocations, 0);
        EXPECT_EQ(jni.localCapacityWarnings, 0) << "-Xcheck:jni would warn";
        EXPECT_EQ(jni.openFrames(), 0);
        EXPECT_EQ(jni.badFramePops, 0);
    }
};

TEST(RetransformErrorName, TheVmsNameOrTheNumber) {
    struct Row {
        const char* label;
        jvmtiError error;
        jvmtiError getErrorName;
        bool givesNull;
        const char* expected;
    };
    const Row rows[] = {
        {"named", JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_ADDED, JVMTI_ERROR_NONE, false,
         "JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_ADDED"},
        {"GetErrorName fails", JVMTI_ERROR_INVALID_CLASS_FORMAT, JVMTI_ERROR_OUT_OF_MEMORY, false, "JVMTI error 60"},
        {"a code the VM does not know", static_cast<jvmtiError>(120), JVMTI_ERROR_NONE, false, "JVMTI error 120"},
        {"no name given", JVMTI_ERROR_WRONG_PHASE, JVMTI_ERROR_NONE, true, "JVMTI error 112"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        Vm vm;
        vm.jvmti.getErrorNameResult = row.getErrorName;
        vm.jvmti.errorNameGivesNull = row.givesNull;
        EXPECT_EQ(Quorvane::Jvm::errorName(vm.jvmti.env(), row.error), row.expected);
        EXPECT_EQ(vm.jvmti.calls("GetErrorName"), 1);
        vm.expectClean();
    }
}

// One class handed to retransformClasses.
struct ClassSpec {
    std::string signature;
    bool modifiable = true;
    jvmtiError refusal = JVMTI_ERROR_NONE;
};

struct BatchCase {
    const char* label;
    std::vector<ClassSpec> classes;
    // Arrangement beyond the classes.
    jvmtiError everyBatchFails = JVMTI_ERROR_NONE;
    jvmtiError isModifiableFails = JVMTI_ERROR_NONE;
    jvmtiError signatureFails = JVMTI_ERROR_NONE;
    // Expectations.
    int retransformed;
    std::vector<std::pair<std::string, std::string>> refusals;  // class signature, reason
    int vmCalls;                                                // RetransformClasses calls
    std::vector<std::string> errorLines;
};

std::vector<ClassSpec> eightWithOneRefused() {
    std::vector<ClassSpec> classes;
    classes.reserve(8);
    for (int i = 0; i < 8; ++i) {
        classes.push_back({"Lcom/example/C" + std::to_string(i) + ";"});
    }
    classes[5].refusal = JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_ADDED;
    return classes;
}

std::vector<BatchCase> batchCases() {
    const std::string methodAdded = "JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_ADDED";
    const std::string unmodifiable = "JVMTI_ERROR_UNMODIFIABLE_CLASS";
    return {
        {"allAccepted",
         {{"Lcom/example/A;"}, {"Lcom/example/B;"}, {"Lcom/example/C;"}},
         JVMTI_ERROR_NONE,
         JVMTI_ERROR_NONE,
         JVMTI_ERROR_NONE,
         3,
         {},
         1,
         {}},
        // Eight, one refused: the whole, then halves down to it: 8, 4, 4, 2, 1, 1, 2.
        {"oneOfEightRefused",
         eightWithOneRefused(),
         JVMTI_ERROR_NONE,
         JVMTI_ERROR_NONE,
         JVMTI_ERROR_NONE,
         7,
         {{"Lcom/example/C5;", methodAdded}},
         7,
         {"[Quorvane] Could not retransform com/example/C5: " + methodAdded}},
        {"firstAndLastRefused",
         {{"Lcom/example/A;", true, JVMTI_ERROR_UNSUPPORTED_REDEFINITION_SCHEMA_CHANGED},
          {"Lcom/example/B;"},
          {"Lcom/example/C;"},
          {"Lcom/example/D;", true, JVMTI_ERROR_INVALID_CLASS_FORMAT}},
         JVMTI_ERROR_NONE,
         JVMTI_ERROR_NONE,
         JVMTI_ERROR_NONE,
         2,
         {{"Lcom/example/A;", "JVMTI_ERROR_UNSUPPORTED_REDEFINITION_SCHEMA_CHANGED"},
          {"Lcom/example/D;", "JVMTI_ERROR_INVALID_CLASS_FORMAT"}},
         7,
         {"[Quorvane] Could not retransform com/example/A: JVMTI_ERROR_UNSUPPORTED_REDEFINITION_SCHEMA_CHANGED",
          "[Quorvane] Could not retransform com/example/D: JVMTI_ERROR_INVALID_CLASS_FORMAT"}},
        {"everyOneRefusedForItsOwnReason",
         {{"Lcom/example/A;", true, JVMTI_ERROR_FAILS_VERIFICATION},
          {"Lcom/example/B;", true, JVMTI_ERROR_INVALID_CLASS_FORMAT}},
         JVMTI_ERROR_NONE,
         JVMTI_ERROR_NONE,
         JVMTI_ERROR_NONE,
         0,
         {{"Lcom/example/A;", "JVMTI_ERROR_FAILS_VERIFICATION"},
          {"Lcom/example/B;", "JVMTI_ERROR_INVALID_CLASS_FORMAT"}},
         3,
         {"[Quorvane] Could not retransform com/example/A: JVMTI_ERROR_FAILS_VERIFICATION",
          "[Quorvane] Could not retransform com/example/B: JVMTI_ERROR_INVALID_CLASS_FORMAT"}},
        // Refused without asking the VM; a signature that names no class is logged as it is.
        {"unmodifiableNeverReachTheVm",
         {{"[I", false}, {"Lcom/example/A;"}, {"I", false}, {"Lcom/example/B;"}},
         JVMTI_ERROR_NONE,
         JVMTI_ERROR_NONE,
         JVMTI_ERROR_NONE,
         2,
         {{"[I", unmodifiable}, {"I", unmodifiable}},
         1,
         {"[Quorvane] Could not retransform [I: " + unmodifiable,
          "[Quorvane] Could not retransform I: " + unmodifiable}},
        {"isModifiableClassFails",
         {{"Lcom/example/A;"}},
         JVMTI_ERROR_NONE,
         JVMTI_ERROR_INVALID_CLASS,
         JVMTI_ERROR_NONE,
         0,
         {{"Lcom/example/A;", "JVMTI_ERROR_INVALID_CLASS"}},
         0,
         {"[Quorvane] Could not retransform com/example/A: JVMTI_ERROR_INVALID_CLASS"}},
        // An error about the environment is not halved: every part would meet it.
        {"environmentErrorNotHalved",
         {{"Lcom/example/A;"}, {"Lcom/example/B;"}, {"Lcom/example/C;"}},
         JVMTI_ERROR_WRONG_PHASE,
         JVMTI_ERROR_NONE,
         JVMTI_ERROR_NONE,
         0,
         {{"Lcom/example/A;", "JVMTI_ERROR_WRONG_PHASE"},
          {"Lcom/example/B;", "JVMTI_ERROR_WRONG_PHASE"},
          {"Lcom/example/C;", "JVMTI_ERROR_WRONG_PHASE"}},
         1,
         {"[Quorvane] Could not retransform com/example/A: JVMTI_ERROR_WRONG_PHASE",
          "[Quorvane] Could not retransform com/example/B: JVMTI_ERROR_WRONG_PHASE",
          "[Quorvane] Could not retransform com/example/C: JVMTI_ERROR_WRONG_PHASE"}},
        {"refusedClassWithoutAName",
         {{"Lcom/example/A;", true, JVMTI_ERROR_INVALID_CLASS_FORMAT}},
         JVMTI_ERROR_NONE,
         JVMTI_ERROR_NONE,
         JVMTI_ERROR_INVALID_CLASS,
         0,
         {{"Lcom/example/A;", "JVMTI_ERROR_INVALID_CLASS_FORMAT"}},
         1,
         {"[Quorvane] Could not retransform (a class the VM gave no name for): JVMTI_ERROR_INVALID_CLASS_FORMAT"}},
        {"nothingToDo", {}, JVMTI_ERROR_NONE, JVMTI_ERROR_NONE, JVMTI_ERROR_NONE, 0, {}, 0, {}},
    };
}

void PrintTo(const BatchCase& c, std::ostream* out) {
    *out << c.label;
}

class RetransformBatches : public ::testing::TestWithParam<BatchCase> {};

TEST_P(RetransformBatches, EveryClassDoneOrRefusedOnce) {
    const BatchCase& c = GetParam();
    Vm vm;
    vm.jvmti.retransformClassesResult = c.everyBatchFails;
    vm.jvmti.isModifiableClassResult = c.isModifiableFails;
    vm.jvmti.getClassSignatureResult = c.signatureFails;
    std::vector<jclass> classes;
    std::vector<std::string> accepted;
    for (const ClassSpec& wanted : c.classes) {
        classes.push_back(vm.jni.makeClass(wanted.signature, wanted.modifiable, wanted.refusal));
        if (wanted.modifiable && wanted.refusal == JVMTI_ERROR_NONE) {
            accepted.push_back(wanted.signature);
        }
    }
    LogCapture log;

    std::vector<Quorvane::Retransform::Refusal> refusals;
    const int done = Quorvane::Retransform::retransformClasses(vm.jvmti.env(), classes, refusals);

    EXPECT_EQ(done, c.retransformed);
    std::vector<std::pair<std::string, std::string>> refused;
    refused.reserve(refusals.size());
    for (const auto& refusal : refusals) {
        refused.emplace_back(vm.jni.objectOf(refusal.klass)->signature, refusal.reason);
    }
    EXPECT_THAT(refused, ElementsAreArray(c.refusals));
    EXPECT_EQ(vm.jvmti.calls("RetransformClasses"), c.vmCalls);
    if (c.everyBatchFails == JVMTI_ERROR_NONE && c.isModifiableFails == JVMTI_ERROR_NONE) {
        EXPECT_THAT(vm.jvmti.retransformed, UnorderedElementsAreArray(accepted)) << "each accepted class once";
    }

    std::vector<LogLine> expected{{info, "[Quorvane] Retransforming " + std::to_string(c.classes.size()) + " classes"}};
    for (const std::string& line : c.errorLines) {
        expected.push_back({error, line});
    }
    expected.push_back({info, "[Quorvane] Retransformed " + std::to_string(c.retransformed) + " classes, " +
                                  std::to_string(c.refusals.size()) + " failed"});
    EXPECT_THAT(log.lines(), ElementsAreArray(expected));
    EXPECT_EQ(vm.jni.totalCalls(), 0) << "no JNI call: the caller owns the references";
    vm.expectClean();
}

INSTANTIATE_TEST_SUITE_P(Rows, RetransformBatches, ::testing::ValuesIn(batchCases()),
                         [](const auto& info) { return std::string(info.param.label); });

// The hook never offers the library's own classes to remap: retransform
// leaves them out, neither asking the VM nor counting them.
TEST(RetransformOwnClasses, LeftOutAndNotCounted) {
    struct Row {
        const char* label;
        std::vector<ClassSpec> classes;
        int offered;  // counted in the first line
        int retransformed;
        int refused;
        std::vector<std::vector<std::string>> batches;
    };
    const Row rows[] = {
        {"only the library's own",
         {{"Lqv/vantrel/quorvane/Quorvane;"}, {"Lqv/vantrel/quorvane/remapper/Remap;"}},
         0,
         0,
         0,
         {}},
        {"beside another class, and a hidden one of its own",
         {{"Lqv/vantrel/quorvane/Quorvane;"},
          {"Lcom/example/A;"},
          {"Lqv/vantrel/quorvane/Quorvane$$Lambda.0x1;", false}},
         1,
         1,
         0,
         {{"Lcom/example/A;"}}},
        {"a package that only begins the same",
         {{"Lqv/vantrel/quorvanex/Near;"}},
         1,
         1,
         0,
         {{"Lqv/vantrel/quorvanex/Near;"}}},
        {"an array of its own classes: no class of the package, and unmodifiable",
         {{"[Lqv/vantrel/quorvane/Quorvane;", false}},
         1,
         0,
         1,
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        Vm vm;
        std::vector<jclass> classes;
        for (const ClassSpec& wanted : row.classes) {
            classes.push_back(vm.jni.makeClass(wanted.signature, wanted.modifiable));
        }
        LogCapture log;
        std::vector<Quorvane::Retransform::Refusal> refusals;

        EXPECT_EQ(Quorvane::Retransform::retransformClasses(vm.jvmti.env(), classes, refusals), row.retransformed);

        EXPECT_EQ(vm.jvmti.retransformBatches, row.batches);
        EXPECT_EQ(refusals.size(), static_cast<std::size_t>(row.refused));
        const std::vector<LogLine> lines = log.lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(),
                  (LogLine{info, "[Quorvane] Retransforming " + std::to_string(row.offered) + " classes"}));
        EXPECT_EQ(lines.back(), (LogLine{info, "[Quorvane] Retransformed " + std::to_string(row.retransformed) +
                                                   " classes, " + std::to_string(row.refused) + " failed"}));
        vm.expectClean();
    }
}

// The loaded classes of a fake VM and whether retransformLoaded() takes each,
// with includes {com/example/, qv/}, excludes {com/example/Secret} and the
// hook having replaced org/old/Widget.
struct LoadedClass {
    const char* signature;
    bool modifiable;
    bool taken;
};
const LoadedClass loaded_classes[] = {
    {"Lcom/example/Widget;", true, true},
    {"Lcom/example/Widget$1;", true, true},
    {"Lcom/other/Thing;", true, false},
    {"Lorg/old/Widget;", true, true},                 // replaced before, selected no more
    {"Lorg/old/Widget$Inner;", true, false},          // never replaced itself
    {"Lcom/example/Secret;", true, false},            // excluded
    {"[Lcom/example/Widget;", false, false},          // an array
    {"I", false, false},                              // a primitive
    {"Lcom/example/Lambda.0x10;", false, false},      // hidden
    {"Lqv/vantrel/quorvane/Quorvane;", true, false},  // the library's own
    {"Lqv/other/Thing;", true, true},
};

void arrangeLoaded(Vm& vm) {
    auto& remapper = freshRegistry();
    remapper.addInclude("com/example/");
    remapper.addInclude("qv/");
    remapper.addExclude("com/example/Secret");
    ReplacedClasses::getInstance().clear();
    ReplacedClasses::getInstance().note("org/old/Widget");
    for (const LoadedClass& loaded : loaded_classes) {
        vm.jvmti.loadedClasses.push_back(vm.jni.makeClass(loaded.signature, loaded.modifiable));
    }
}

std::vector<std::string> takenSignatures() {
    std::vector<std::string> taken;
    for (const LoadedClass& loaded : loaded_classes) {
        if (loaded.taken) {
            taken.emplace_back(loaded.signature);
        }
    }
    return taken;
}

// The signatures of a Class[] the code under test made.
std::vector<std::string> signaturesIn(const FakeJni& jni, jobjectArray array) {
    std::vector<std::string> signatures;
    for (const FakeJni::Object* element : jni.elementsOf(array)) {
        signatures.push_back(element != nullptr ? element->signature : "(null)");
    }
    return signatures;
}

// Each row: a switch of the fake VM, what is selected and what is logged.
TEST(RetransformSelectLoaded, TakesModifiableClassesSelectedNowOrReplacedBefore) {
    struct Row {
        const char* label;
        jint capacity;
        jvmtiError listing;
        jvmtiError naming;
        bool anyTaken;
        std::vector<LogLine> log;
    };
    const Row rows[] = {
        {"as it should", JNI_OK, JVMTI_ERROR_NONE, JVMTI_ERROR_NONE, true, {}},
        {"capacity refused: taken all the same", JNI_ERR, JVMTI_ERROR_NONE, JVMTI_ERROR_NONE, true, {}},
        {"the classes cannot be listed",
         JNI_OK,
         JVMTI_ERROR_OUT_OF_MEMORY,
         JVMTI_ERROR_NONE,
         false,
         {{error, "[Quorvane] Could not list the loaded classes: JVMTI_ERROR_OUT_OF_MEMORY"}}},
        {"no class can be named: left out, counted in one line",
         JNI_OK,
         JVMTI_ERROR_NONE,
         JVMTI_ERROR_INVALID_CLASS,
         false,
         {{error, "[Quorvane] Could not examine 8 loaded classes, left out: JVMTI_ERROR_INVALID_CLASS"}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        Vm vm;
        arrangeLoaded(vm);
        vm.jni.ensureLocalCapacityResult = row.capacity;
        vm.jvmti.getLoadedClassesResult = row.listing;
        vm.jvmti.getClassSignatureResult = row.naming;
        LogCapture log;

        jobjectArray result = Quorvane::Retransform::loadedClassesArray(vm.jni.env(), vm.jvmti.env());

        if (row.listing == JVMTI_ERROR_NONE) {
            ASSERT_NE(result, nullptr);
            EXPECT_EQ(signaturesIn(vm.jni, result), row.anyTaken ? takenSignatures() : std::vector<std::string>{});
            // The listing in a frame of its own, declared before any other JNI call.
            ASSERT_GE(vm.jni.callOrder.size(), 2U);
            EXPECT_THAT(std::vector<std::string>(vm.jni.callOrder.begin(), vm.jni.callOrder.begin() + 2),
                        ElementsAre("PushLocalFrame", "EnsureLocalCapacity"));
            EXPECT_THAT(vm.jni.ensuredCapacities, ElementsAre(static_cast<jint>(std::size(loaded_classes)) + 2));
            EXPECT_EQ(vm.jni.liveLocalRefs(), 1) << "the array, the caller's";
            vm.jni.env()->DeleteLocalRef(result);
        } else {
            EXPECT_EQ(result, nullptr);
            vm.jni.exceptionPending = false;  // the IllegalStateException, as the Java caller would
        }
        EXPECT_THAT(log.lines(), ElementsAreArray(row.log));
        vm.expectClean();
    }
}

// More loaded classes than the VM grants a declaration for: the declaration
// asks for no more than it grants, which covers every listed reference, and
// the frame lets go of the passed-over ones at once.
TEST(RetransformSelectLoaded, MoreClassesThanTheVmDeclares) {
    constexpr int many = 70000;
    Vm vm;
    auto& remapper = freshRegistry();
    remapper.addInclude("com/example/Chosen");
    ReplacedClasses::getInstance().clear();
    for (int i = 0; i < many; ++i) {
        const bool chosen = i % 10000 == 0;
        vm.jvmti.loadedClasses.push_back(vm.jni.makeClass(
            std::string(chosen ? "Lcom/example/Chosen$" : "Lcom/example/Other") + std::to_string(i) + ";"));
    }
    LogCapture log;

    jobjectArray result = Quorvane::Retransform::loadedClassesArray(vm.jni.env(), vm.jvmti.env());

    ASSERT_NE(result, nullptr);
    EXPECT_THAT(signaturesIn(vm.jni, result),
                ElementsAre("Lcom/example/Chosen$0;", "Lcom/example/Chosen$10000;", "Lcom/example/Chosen$20000;",
                            "Lcom/example/Chosen$30000;", "Lcom/example/Chosen$40000;", "Lcom/example/Chosen$50000;",
                            "Lcom/example/Chosen$60000;"));
    EXPECT_THAT(vm.jni.ensuredCapacities, ElementsAre(vm.jni.maxLocalCapacity));
    EXPECT_EQ(vm.jni.calls("DeleteLocalRef"), 0) << "no delete per class: the frame goes at once";
    vm.jni.env()->DeleteLocalRef(result);
    EXPECT_THAT(log.lines(), IsEmpty());
    vm.expectClean();
    freshRegistry();
}

// retransformArray with classes {A, B refused, C unmodifiable}.
struct NativeRun {
    Vm vm;
    jclass a = vm.jni.makeClass("Lcom/example/A;");
    jclass b = vm.jni.makeClass("Lcom/example/B;", true, JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_ADDED);
    jclass c = vm.jni.makeClass("Lcom/example/C;", false);
    jobjectArray classes = vm.jni.makeObjectArray({a, b, c});
    jobjectArray refusedClasses = vm.jni.makeObjectArray({nullptr, nullptr, nullptr});
    jobjectArray refusedReasons = vm.jni.makeObjectArray({nullptr, nullptr, nullptr});

    jint run() {
        return Quorvane::Retransform::retransformArray(vm.jni.env(), vm.jvmti.env(), classes, refusedClasses,
                                                       refusedReasons);
    }
    // The reasons stored, "" for an empty slot.
    std::vector<std::string> reasons() const {
        std::vector<std::string> out;
        for (const FakeJni::Object* reason : vm.jni.elementsOf(refusedReasons)) {
            out.push_back(reason != nullptr && reason->isString ? reason->utf : "");
        }
        return out;
    }
};

TEST(RetransformNatives, RefusalsReachTheJavaArrays) {
    NativeRun run;
    LogCapture log;
    EXPECT_EQ(run.run(), 1);

    EXPECT_THAT(run.vm.jni.elementsOf(run.refusedClasses),
                ElementsAre(run.vm.jni.objectOf(run.c), run.vm.jni.objectOf(run.b), nullptr));
    EXPECT_THAT(run.reasons(),
                ElementsAre("JVMTI_ERROR_UNMODIFIABLE_CLASS", "JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_ADDED", ""));
    EXPECT_THAT(run.vm.jvmti.retransformed, ElementsAre("Lcom/example/A;"));
    // Held as global references while the VM works, all given back.
    EXPECT_EQ(run.vm.jni.globalRefsCreated, 3);
    EXPECT_FALSE(run.vm.jni.exceptionPending);
    run.vm.expectClean();
}

TEST(RetransformNatives, FailuresOfJni) {
    {
        SCOPED_TRACE("no memory for a global reference: nothing retransformed, OutOfMemoryError");
        NativeRun run;
        run.vm.jni.newGlobalRefFails = true;
        LogCapture log;
        EXPECT_EQ(run.run(), 0);
        EXPECT_EQ(run.vm.jvmti.calls("RetransformClasses"), 0);
        EXPECT_THAT(run.vm.jni.thrown,
                    ElementsAre(std::pair<std::string, std::string>(
                        "java/lang/OutOfMemoryError", "no memory to hold the classes for retransformation")));
        EXPECT_THAT(log.lines(), ElementsAre(LogLine{error,
                                                     "[Quorvane] No memory to hold 3 classes for "
                                                     "retransformation, none retransformed"}));
        run.vm.expectClean();
    }
    {
        SCOPED_TRACE("no memory for a reason: the VM's error reaches the caller");
        NativeRun run;
        run.vm.jni.newStringUtf = Outcome::failRaising;
        LogCapture log;
        EXPECT_EQ(run.run(), 1);
        EXPECT_TRUE(run.vm.jni.exceptionPending);
        EXPECT_THAT(run.reasons(), ElementsAre("", "", ""));
        run.vm.expectClean();
    }
}

TEST(RetransformNatives, LoadedClassesArray) {
    {
        SCOPED_TRACE("the selected classes, in a Class[]");
        Vm vm;
        arrangeLoaded(vm);
        jobjectArray result = Quorvane::Retransform::loadedClassesArray(vm.jni.env(), vm.jvmti.env());
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(signaturesIn(vm.jni, result), takenSignatures());
        EXPECT_THAT(vm.jni.foundClasses, ElementsAre("java/lang/Class"));
        EXPECT_EQ(vm.jni.liveLocalRefs(), 1) << "the array, the caller's";
        vm.jni.env()->DeleteLocalRef(result);
        vm.expectClean();
    }
    for (const bool findClassFails : {true, false}) {
        SCOPED_TRACE(findClassFails ? "FindClass fails" : "NewObjectArray fails");
        Vm vm;
        arrangeLoaded(vm);
        (findClassFails ? vm.jni.findClass : vm.jni.newObjectArray) = Outcome::failRaising;
        EXPECT_EQ(Quorvane::Retransform::loadedClassesArray(vm.jni.env(), vm.jvmti.env()), nullptr);
        EXPECT_TRUE(vm.jni.exceptionPending);
        vm.expectClean();
    }
    {
        SCOPED_TRACE("no memory for the listing's frame: the VM's error reaches the caller");
        Vm vm;
        arrangeLoaded(vm);
        vm.jni.pushLocalFrame = Outcome::failRaising;
        LogCapture log;
        EXPECT_EQ(Quorvane::Retransform::loadedClassesArray(vm.jni.env(), vm.jvmti.env()), nullptr);
        EXPECT_TRUE(vm.jni.exceptionPending);
        EXPECT_EQ(vm.jvmti.calls("GetLoadedClasses"), 0);
        EXPECT_THAT(log.lines(), ElementsAre(LogLine{error, "[Quorvane] No memory to list the loaded classes"}));
        vm.expectClean();
    }
    {
        SCOPED_TRACE("the classes cannot be listed");
        Vm vm;
        vm.jvmti.getLoadedClassesResult = JVMTI_ERROR_OUT_OF_MEMORY;
        LogCapture log;
        EXPECT_EQ(Quorvane::Retransform::loadedClassesArray(vm.jni.env(), vm.jvmti.env()), nullptr);
        EXPECT_THAT(vm.jni.thrown, ElementsAre(std::pair<std::string, std::string>(
                                       "java/lang/IllegalStateException",
                                       "Could not list the loaded classes: JVMTI_ERROR_OUT_OF_MEMORY")));
        vm.expectClean();
    }
}

// The exported natives find no agent environment in a process where
// initNative never ran.
TEST(RetransformNatives, BeforeInitNativeIllegalState) {
    freshRegistry().setInit(true);  // a flag alone is no environment
    NativeRun run;
    FakeJni& jni = run.vm.jni;
    EXPECT_EQ(Java_qv_vantrel_quorvane_Quorvane_retransformNative(jni.env(), nullptr, run.classes, run.refusedClasses,
                                                                  run.refusedReasons),
              0);
    jni.exceptionPending = false;  // as the Java caller would, by catching it
    EXPECT_EQ(Java_qv_vantrel_quorvane_Quorvane_loadedClassesToRetransform(jni.env(), nullptr), nullptr);
    const std::pair<std::string, std::string> illegalState("java/lang/IllegalStateException", not_initialized);
    EXPECT_THAT(jni.thrown, ElementsAre(illegalState, illegalState));
    EXPECT_EQ(run.vm.jvmti.calls("RetransformClasses") + run.vm.jvmti.calls("GetLoadedClasses"), 0);
    run.vm.expectClean();
    freshRegistry();
}

// Which hook outcomes leave a name in the record: only a replacement.
TEST(ReplacedClassesRecord, TheHookNotesWhatItReplacesOnly) {
    struct Row {
        const char* label;
        const char* name;
        QuorvaneTest::RemapBehaviour remap;
        bool allocateFails;
        bool noted;
    };
    const Row rows[] = {
        {"replaced", "com/example/Widget", QuorvaneTest::RemapBehaviour::returnBytes, false, true},
        {"passed over by the filters", "org/example/Widget", QuorvaneTest::RemapBehaviour::returnBytes, false, false},
        {"remap gave null", "com/example/Widget", QuorvaneTest::RemapBehaviour::returnNull, false, false},
        {"no buffer for the new bytes", "com/example/Widget", QuorvaneTest::RemapBehaviour::returnBytes, true, false},
    };
    static int remap_class_tag;
    static int remap_method_tag;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        auto& remapper = freshRegistry();
        remapper.addInclude("com/");
        remapper.setRemapClass(reinterpret_cast<jclass>(&remap_class_tag));
        remapper.setRemapMethodId(reinterpret_cast<jmethodID>(&remap_method_tag));
        remapper.setInit(true);
        ReplacedClasses::getInstance().clear();
        Vm vm;
        vm.jni.remap = row.remap;
        vm.jni.remapResult = {0xCA, 0xFE, 0xBA, 0xBE};
        vm.jvmti.allocateFails = row.allocateFails;
        const unsigned char bytes[] = {0xCA, 0xFE, 0xBA, 0xBE, 0x00};
        jint newLength = 0;
        unsigned char* newBytes = nullptr;
        LogCapture log;

        ClassFileLoadHook(vm.jvmti.env(), vm.jni.env(), nullptr, nullptr, row.name, nullptr, sizeof bytes, bytes,
                          &newLength, &newBytes);

        EXPECT_EQ(ReplacedClasses::getInstance().contains(row.name), row.noted);
        if (newBytes != nullptr) {
            vm.jvmti.env()->Deallocate(newBytes);
        }
    }
    freshRegistry();
    ReplacedClasses::getInstance().clear();
}

TEST(ReplacedClassesRecord, AKnownNameCostsNoAllocation) {
#ifdef QUORVANE_TEST_NO_ALLOCATION_COUNT
    GTEST_SKIP() << "allocations are not counted under ThreadSanitizer";
#endif
    ReplacedClasses& replaced = ReplacedClasses::getInstance();
    replaced.clear();
    const std::string longName = "com/example/a/name/well/past/any/small/string/buffer/Widget$Part";
    replaced.note(longName);
    counting_allocations = true;
    replaced.note(longName);
    const bool found = replaced.contains(longName);
    counting_allocations = false;
    EXPECT_TRUE(found);
    EXPECT_EQ(counted_allocations, 0);
    replaced.clear();
}

// Hooks note names on several threads while retransform calls look them up.
TEST(ReplacedClassesRecord, ConcurrentNotesAndLookups) {
    ReplacedClasses& replaced = ReplacedClasses::getInstance();
    replaced.clear();
    constexpr int names = 200;
    auto nameOf = [](int i) { return "com/example/C" + std::to_string(i); };
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            for (int i = 0; i < names; ++i) {
                (void)replaced.contains(nameOf(i));
            }
        }
    });
    std::vector<std::thread> writers;
    writers.reserve(4);
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < names; ++i) {
                replaced.note(nameOf((i + t * 50) % names));
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    done.store(true);
    reader.join();
    for (int i = 0; i < names; ++i) {
        EXPECT_TRUE(replaced.contains(nameOf(i))) << nameOf(i);
    }
    EXPECT_FALSE(replaced.contains("com/example/C"));
    replaced.clear();
}

}  // namespace
