// The two routes a loading class takes, Remap's hook and the
// Instrumentation's, against the same faults on fake JNI and JVMTI
// environments: the VM cannot make the byte array, the Java upcall throws or
// gives nothing, JVMTI cannot allocate the new class file, and the copy is
// detached while an upcall is in flight. Each row is checked for its log
// line, what the VM is handed, the exception state it leaves, and the
// references and elements it gives back.
//
// Detaching is for good in a process, so the detach rows come last (CTest
// runs each row in a process of its own anyway).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "FakeJni.hpp"
#include "Instrument.hpp"
#include "LogCapture.hpp"
#include "Registry.hpp"
#include "callbacks.hpp"

namespace {

using QuorvaneTest::FakeJni;
using QuorvaneTest::FakeJvmti;
using QuorvaneTest::LogCapture;
using QuorvaneTest::LogLine;
using QuorvaneTest::Outcome;
using QuorvaneTest::RemapBehaviour;
using Bytes = std::vector<unsigned char>;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

int upcall_method_tag;
jmethodID upcallMethod() {
    return reinterpret_cast<jmethodID>(&upcall_method_tag);
}

const char* const class_name = "com/example/Widget";
const Bytes class_bytes = {0xCA, 0xFE, 0xBA, 0xBE, 0x00, 0x00, 0x00, 0x3D, 0x01, 0x02, 0x03, 0x04};
const Bytes new_bytes = {0xCA, 0xFE, 0xBA, 0xBE, 0x09, 0x09, 0x09};

enum class Route { remap, instrumentation };

const char* routeName(Route route) {
    return route == Route::remap ? "remap" : "instrumentation";
}

struct RouteCase {
    std::string label;
    Route route = Route::remap;
    // Arrangement.
    Outcome newByteArray = Outcome::ok;
    RemapBehaviour upcall = RemapBehaviour::returnBytes;
    bool allocateFails = false;
    bool detachInFlight = false;
    // Expectations.
    std::optional<LogLine> log;
    bool upcallCalled = true;
    bool replaced = false;
};

// The faults, each with what each route says of it.
struct Fault {
    const char* label;
    Outcome newByteArray = Outcome::ok;
    RemapBehaviour upcall = RemapBehaviour::returnBytes;
    bool allocateFails = false;
    bool detachInFlight = false;
    std::optional<LogLine> remapLog;
    std::optional<LogLine> instrumentationLog;
    bool upcallCalled = true;
    bool replaced = false;
};

std::vector<Fault> faults() {
    const LogLine remapGaveNothing{spdlog::level::warn,
                                   "[Quorvane] Remap returned null/exception for: com/example/Widget"};
    const LogLine transformersFailed{
        spdlog::level::warn,
        "[Quorvane] Instrumentation: the transformers failed for com/example/Widget, which loads unchanged"};
    std::vector<Fault> rows;
    for (auto [label, outcome] : {std::pair{"byteArrayNotCreatedRaising", Outcome::failRaising},
                                  std::pair{"byteArrayNotCreated", Outcome::fail}}) {
        Fault& f = rows.emplace_back();
        f.label = label;
        f.newByteArray = outcome;
        f.remapLog = LogLine{spdlog::level::err, "[Quorvane] Failed to create classBytes jbyteArray"};
        f.instrumentationLog = LogLine{spdlog::level::err,
                                       "[Quorvane] Instrumentation: no memory for the class file of "
                                       "com/example/Widget, shown to no transformer"};
        f.upcallCalled = false;
    }
    {
        Fault& f = rows.emplace_back();
        f.label = "upcallThrew";
        f.upcall = RemapBehaviour::throwException;
        f.remapLog = remapGaveNothing;
        f.instrumentationLog = transformersFailed;
    }
    {
        // A result that comes with a pending exception is not used, and its
        // reference is still given back.
        Fault& f = rows.emplace_back();
        f.label = "upcallThrewWithResult";
        f.upcall = RemapBehaviour::throwWithResult;
        f.remapLog = remapGaveNothing;
        f.instrumentationLog = transformersFailed;
    }
    {
        // Null is no change: Remap's route says so, the Instrumentation's
        // transformers all declined and there is nothing to say.
        Fault& f = rows.emplace_back();
        f.label = "upcallReturnedNull";
        f.upcall = RemapBehaviour::returnNull;
        f.remapLog = remapGaveNothing;
    }
    {
        Fault& f = rows.emplace_back();
        f.label = "allocationFailed";
        f.allocateFails = true;
        f.remapLog = LogLine{spdlog::level::err, "[Quorvane] Failed to allocate buffer for: com/example/Widget"};
        f.instrumentationLog = LogLine{spdlog::level::err,
                                       "[Quorvane] Instrumentation: no memory for the new class file of "
                                       "com/example/Widget, which loads unchanged"};
    }
    {
        // The upcall in flight completes and its result is used; the class's
        // reference goes once the hook is out.
        Fault& f = rows.emplace_back();
        f.label = "detachedInFlight";
        f.detachInFlight = true;
        f.remapLog = LogLine{spdlog::level::info, "[Quorvane] Remapped: com/example/Widget (12 -> 7 bytes)"};
        f.replaced = true;
    }
    return rows;
}

std::vector<RouteCase> routeCases() {
    std::vector<RouteCase> rows;
    for (const Fault& fault : faults()) {
        for (const Route route : {Route::remap, Route::instrumentation}) {
            RouteCase& r = rows.emplace_back();
            r.label = std::string(fault.label) + "_" + routeName(route);
            r.route = route;
            r.newByteArray = fault.newByteArray;
            r.upcall = fault.upcall;
            r.allocateFails = fault.allocateFails;
            r.detachInFlight = fault.detachInFlight;
            r.log = route == Route::remap ? fault.remapLog : fault.instrumentationLog;
            r.upcallCalled = fault.upcallCalled;
            r.replaced = fault.replaced;
        }
    }
    return rows;
}

void PrintTo(const RouteCase& c, std::ostream* out) {
    *out << c.label;
}

// The upcall target of a route, the hook's guard over it and the way the
// copy is detached.
Quorvane::Jvm::UpcallTarget& targetOf(Route route) {
    return route == Route::remap ? Quorvane::Services::Remapper::getInstance().remapUpcall()
                                 : Quorvane::Instrument::transformerManager();
}

void detach(Route route, JNIEnv* env) {
    if (route == Route::remap) {
        Quorvane::Services::Remapper::getInstance().detach(env);
    } else {
        Quorvane::Instrument::transformerManager().detach(env);
    }
}

void runHook(Route route, FakeJvmti& jvmti, FakeJni& jni, jint* newLength, unsigned char** newBytes) {
    const auto length = static_cast<jint>(class_bytes.size());
    if (route == Route::remap) {
        ClassFileLoadHook(jvmti.env(), jni.env(), nullptr, nullptr, class_name, nullptr, length, class_bytes.data(),
                          newLength, newBytes);
    } else {
        Quorvane::Instrument::InstrumentHook(jvmti.env(), jni.env(), nullptr, nullptr, class_name, nullptr, length,
                                             class_bytes.data(), newLength, newBytes);
    }
}

class HookRoutes : public ::testing::TestWithParam<RouteCase> {};

TEST_P(HookRoutes, FaultsLeaveEverythingAsTheyShould) {
    const RouteCase& c = GetParam();
    Quorvane::Jvm::UpcallTarget& target = targetOf(c.route);
    if (target.isDetached()) {
        GTEST_SKIP() << "needs a process whose copy is not detached (CTest runs each row in one)";
    }
    FakeJni jni;
    jni.newByteArray = c.newByteArray;
    jni.remap = c.upcall;
    jni.remapResult = new_bytes;
    FakeJvmti jvmti;
    jvmti.allocateFails = c.allocateFails;

    if (c.route == Route::remap) {
        QuorvaneTest::freshRegistry().addInclude("com/");
    } else {
        jni.transformersMethod = upcallMethod();
    }
    // The upcall's class as the VM would hold it: a global reference.
    const jclass upcallClass = static_cast<jclass>(jni.env()->NewGlobalRef(jni.makeClass("Lcom/example/Upcall;")));
    target.setTargetClass(upcallClass);
    target.setMethod(upcallMethod());
    Quorvane::Services::Remapper::getInstance().setInit(c.route == Route::remap);
    int globalRefsDeletedInFlight = -1;
    if (c.detachInFlight) {
        jni.onRemap = [&] {
            detach(c.route, jni.env());
            globalRefsDeletedInFlight = jni.globalRefsDeleted;
        };
    }
    const int globalRefsBefore = jni.globalRefsDeleted;

    LogCapture log;
    unsigned char sentinel = 0;
    jint newLength = -7;
    unsigned char* newBytes = &sentinel;
    runHook(c.route, jvmti, jni, &newLength, &newBytes);

    if (c.log) {
        EXPECT_THAT(log.lines(), ElementsAre(*c.log));
    } else {
        EXPECT_THAT(log.lines(), IsEmpty());
    }
    if (c.replaced) {
        ASSERT_EQ(newLength, static_cast<jint>(new_bytes.size()));
        ASSERT_NE(newBytes, &sentinel);
        EXPECT_EQ(Bytes(newBytes, newBytes + newLength), new_bytes);
        EXPECT_EQ(jvmti.env()->Deallocate(newBytes), JVMTI_ERROR_NONE);  // as the VM would
    } else {
        EXPECT_EQ(newLength, -7);
        EXPECT_EQ(newBytes, &sentinel);
    }
    EXPECT_EQ(jvmti.liveAllocations(), 0);

    if (c.upcallCalled) {
        ASSERT_EQ(jni.remapCalls.size(), 1U);
        EXPECT_EQ(jni.remapCalls.front().clazz, upcallClass);
        EXPECT_EQ(jni.remapCalls.front().method, upcallMethod());
        EXPECT_EQ(jni.remapCalls.front().name, class_name);
        EXPECT_EQ(jni.remapCalls.front().bytes, class_bytes);
    } else {
        EXPECT_THAT(jni.remapCalls, IsEmpty());
    }

    EXPECT_FALSE(jni.exceptionPending) << "nothing reaches the loading code";
    EXPECT_THAT(jni.callsWithPendingException, IsEmpty());
    EXPECT_EQ(jni.liveLocalRefs(), 0) << "every local reference the hook made is given back";
    EXPECT_EQ(jni.openFrames(), 0);
    EXPECT_EQ(jni.badDeletes, 0);
    EXPECT_EQ(jni.badReleases, 0);
    EXPECT_EQ(jni.elementsTaken, static_cast<int>(jni.elementReleaseModes.size()));
    EXPECT_EQ(jni.localCapacityWarnings, 0);

    if (c.detachInFlight) {
        EXPECT_EQ(globalRefsDeletedInFlight, globalRefsBefore) << "the class outlives the upcall in flight";
        EXPECT_EQ(jni.globalRefsDeleted, globalRefsBefore + 1) << "and goes once the hook is out";
        EXPECT_EQ(target.targetClass(), nullptr);
        // From now on the route leaves every class alone without a call.
        const int callsBefore = jni.totalCalls();
        newLength = -7;
        newBytes = &sentinel;
        runHook(c.route, jvmti, jni, &newLength, &newBytes);
        EXPECT_EQ(newLength, -7);
        EXPECT_EQ(jni.totalCalls(), callsBefore);
    } else {
        EXPECT_EQ(jni.globalRefsDeleted, globalRefsBefore);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, HookRoutes, ::testing::ValuesIn(routeCases()),
                         [](const auto& info) { return info.param.label; });

}  // namespace
