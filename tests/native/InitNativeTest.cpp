// initNative against a fake VM. Its JVMTI environment and its logger stay for
// the life of the process, so the whole life of one process is one test:
// failures before an environment exists, two threads initializing at once,
// then each later failure, a success and a second call.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FakeJni.hpp"
#include "LogCapture.hpp"
#include "Logger.hpp"
#include "Registry.hpp"
#include "callbacks.hpp"
#include "natives.hpp"

namespace {

using QuorvaneTest::FakeJavaVm;
using QuorvaneTest::FakeJni;
using QuorvaneTest::FakeJvmti;
using QuorvaneTest::LogLine;
using QuorvaneTest::Outcome;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr auto info = spdlog::level::info;
constexpr auto error = spdlog::level::err;
const char* const initializing = "[Quorvane] Initializing Quorvane...";
const char* const added = "[Quorvane] Added JVMTI capabilities";

int method_tag;

// The lines logged since the previous call.
class LinesSince {
public:
    explicit LinesSince(std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink) : sink_(std::move(sink)) {}
    std::vector<LogLine> next() {
        std::vector<LogLine> all = QuorvaneTest::linesOf(*sink_);
        std::vector<LogLine> fresh(all.begin() + static_cast<std::ptrdiff_t>(seen_), all.end());
        seen_ = all.size();
        return fresh;
    }

private:
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
    std::size_t seen_ = 0;
};

jvmtiCapabilities sixCapabilities() {
    jvmtiCapabilities expected;
    std::memset(&expected, 0, sizeof(expected));
    expected.can_get_bytecodes = 1;
    expected.can_redefine_classes = 1;
    expected.can_redefine_any_class = 1;
    expected.can_retransform_classes = 1;
    expected.can_retransform_any_class = 1;
    expected.can_generate_all_class_hook_events = 1;
    return expected;
}

TEST(InitNative, OneProcessLifetime) {
    // Set up logging first, the way initNative will (a later call is a
    // no-op), so that a capturing sink sees the first call's lines too.
    Logger::init("libagent.log", spdlog::level::trace);
    auto sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(1024);
    Logger::get()->sinks().push_back(sink);
    LinesSince log(sink);

    auto& remapper = QuorvaneTest::freshRegistry();
    FakeJavaVm vm;
    // Never destroyed: initNative keeps the first environment for good.
    static FakeJvmti* const first = new FakeJvmti();
    static FakeJvmti* const second = new FakeJvmti();
    FakeJni jni;
    jni.vm = vm.vm();
    jni.staticMethodId = reinterpret_cast<jmethodID>(&method_tag);
    auto initNative = [&jni] { return Java_qv_vantrel_quorvane_Quorvane_initNative(jni.env(), nullptr); };

    {
        SCOPED_TRACE("no JavaVM");
        jni.getJavaVmGivesNull = true;
        EXPECT_EQ(initNative(), JNI_FALSE);
        EXPECT_THAT(log.next(), ElementsAre(LogLine{info, initializing},
                                            LogLine{error, "[Quorvane] Failed to get JavaVM instance"}));
        EXPECT_EQ(vm.getEnvCalls, 0);
        jni.getJavaVmGivesNull = false;
    }
    {
        SCOPED_TRACE("GetEnv refuses version 1.2");
        vm.getEnvResult = JNI_EVERSION;
        EXPECT_EQ(initNative(), JNI_FALSE);
        EXPECT_THAT(log.next(), ElementsAre(LogLine{info, initializing},
                                            LogLine{error, "[Quorvane] Failed to get JVMTI environment, error: -3"}));
        EXPECT_THAT(vm.requestedVersions, ElementsAre(JVMTI_VERSION_1_2));
        vm.getEnvResult = JNI_OK;
    }
    {
        SCOPED_TRACE("GetEnv succeeds with no environment");
        vm.getEnvGivesNull = true;
        EXPECT_EQ(initNative(), JNI_FALSE);
        EXPECT_THAT(log.next(), ElementsAre(LogLine{info, initializing},
                                            LogLine{error, "[Quorvane] Failed to get JVMTI environment, error: 0"}));
        vm.getEnvGivesNull = false;
    }
    {
        SCOPED_TRACE("two threads at once obtain one environment");
        vm.environments = {first, second};
        FakeJni jniA;
        FakeJni jniB;
        for (FakeJni* each : {&jniA, &jniB}) {
            each->vm = vm.vm();
            each->staticMethodId = jni.staticMethodId;
        }
        jboolean resultA = JNI_FALSE;
        jboolean resultB = JNI_FALSE;
        std::thread a([&] { resultA = Java_qv_vantrel_quorvane_Quorvane_initNative(jniA.env(), nullptr); });
        std::thread b([&] { resultB = Java_qv_vantrel_quorvane_Quorvane_initNative(jniB.env(), nullptr); });
        a.join();
        b.join();
        EXPECT_EQ(resultA, JNI_TRUE);
        EXPECT_EQ(resultB, JNI_TRUE);
        EXPECT_EQ(vm.getEnvCalls, 3);
        EXPECT_EQ(first->calls("SetEventCallbacks"), 2);
        EXPECT_EQ(second->calls("AddCapabilities"), 0);
        EXPECT_EQ(jniA.calls("FindClass") + jniB.calls("FindClass"), 1);
        EXPECT_EQ(jniA.globalRefsCreated + jniB.globalRefsCreated, 1);
        EXPECT_TRUE(remapper.isInit());
        log.next();
    }

    // From here on initNative works on the first environment and never asks
    // the VM again. Start over from an empty registry for the later steps.
    QuorvaneTest::freshRegistry();
    const int getEnvCalls = vm.getEnvCalls;
    {
        SCOPED_TRACE("AddCapabilities fails");
        first->addCapabilitiesResult = JVMTI_ERROR_NOT_AVAILABLE;
        EXPECT_EQ(initNative(), JNI_FALSE);
        EXPECT_THAT(log.next(), ElementsAre(LogLine{info, initializing},
                                            LogLine{error, "[Quorvane] Could not add JVMTI capabilities: 98"}));
        first->addCapabilitiesResult = JVMTI_ERROR_NONE;
    }
    {
        SCOPED_TRACE("SetEventCallbacks fails");
        first->setEventCallbacksResult = JVMTI_ERROR_ILLEGAL_ARGUMENT;
        EXPECT_EQ(initNative(), JNI_FALSE);
        EXPECT_THAT(log.next(), ElementsAre(LogLine{info, initializing}, LogLine{info, added},
                                            LogLine{error, "[Quorvane] Could not set JVMTI event callbacks: 103"}));
        first->setEventCallbacksResult = JVMTI_ERROR_NONE;
    }
    {
        SCOPED_TRACE("SetEventNotificationMode fails");
        first->setEventNotificationModeResult = JVMTI_ERROR_WRONG_PHASE;
        EXPECT_EQ(initNative(), JNI_FALSE);
        EXPECT_THAT(log.next(),
                    ElementsAre(LogLine{info, initializing}, LogLine{info, added},
                                LogLine{error, "[Quorvane] Could not enable JVMTI event notifications: 112"}));
        first->setEventNotificationModeResult = JVMTI_ERROR_NONE;
    }
    const LogLine cacheFailed{error, "[Quorvane] initNative: failed to cache static declarations"};
    {
        SCOPED_TRACE("FindClass fails with an exception");
        jni.findClass = Outcome::failRaising;
        EXPECT_EQ(initNative(), JNI_FALSE);
        EXPECT_THAT(log.next(),
                    ElementsAre(LogLine{info, initializing}, LogLine{info, added},
                                LogLine{error, "[Quorvane] FindClass failed: qv/vantrel/quorvane/remapper/Remap"},
                                cacheFailed));
        EXPECT_FALSE(jni.exceptionPending);
        jni.findClass = Outcome::ok;
    }
    {
        SCOPED_TRACE("NewGlobalRef fails");
        jni.newGlobalRefFails = true;
        EXPECT_EQ(initNative(), JNI_FALSE);
        EXPECT_THAT(log.next(),
                    ElementsAre(LogLine{info, initializing}, LogLine{info, added},
                                LogLine{error, "[Quorvane] NewGlobalRef failed: qv/vantrel/quorvane/remapper/Remap"},
                                cacheFailed));
        jni.newGlobalRefFails = false;
    }
    {
        SCOPED_TRACE("GetStaticMethodID fails with an exception");
        jni.getStaticMethodId = Outcome::failRaising;
        EXPECT_EQ(initNative(), JNI_FALSE);
        EXPECT_THAT(log.next(), ElementsAre(LogLine{info, initializing}, LogLine{info, added},
                                            LogLine{error,
                                                    "[Quorvane] GetStaticMethodID failed: "
                                                    "qv/vantrel/quorvane/remapper/Remap.remap"},
                                            cacheFailed));
        EXPECT_FALSE(jni.exceptionPending);
        EXPECT_EQ(jni.globalRefsDeleted, jni.globalRefsCreated);
        jni.getStaticMethodId = Outcome::ok;
    }
    // None of the failures above cached anything, left a reference behind,
    // called JNI with an exception pending or marked the registry initialized.
    EXPECT_FALSE(remapper.isInit());
    EXPECT_EQ(remapper.getRemapClass(), nullptr);
    EXPECT_EQ(remapper.getRemapMethodId(), nullptr);
    EXPECT_EQ(jni.liveLocalRefs(), 0);
    EXPECT_EQ(jni.badDeletes, 0);
    EXPECT_THAT(jni.callsWithPendingException, IsEmpty());

    {
        SCOPED_TRACE("success");
        EXPECT_EQ(initNative(), JNI_TRUE);
        EXPECT_THAT(
            log.next(),
            ElementsAre(LogLine{info, initializing}, LogLine{info, added},
                        LogLine{spdlog::level::debug,
                                "[Quorvane] Cached static declarations: qv/vantrel/quorvane/remapper/Remap.remap"},
                        LogLine{info, "[Quorvane] Quorvane is initialized."}));
        EXPECT_TRUE(remapper.isInit());
        EXPECT_NE(remapper.getRemapClass(), nullptr);
        EXPECT_EQ(remapper.getRemapMethodId(), jni.staticMethodId);
        EXPECT_EQ(jni.foundClasses.back(), "qv/vantrel/quorvane/remapper/Remap");
        EXPECT_EQ(jni.liveLocalRefs(), 0);

        ASSERT_TRUE(first->capabilities.has_value());
        const jvmtiCapabilities expected = sixCapabilities();
        EXPECT_EQ(std::memcmp(&*first->capabilities, &expected, sizeof(expected)), 0) << "exactly the six";

        ASSERT_TRUE(first->callbacks.has_value());
        jvmtiEventCallbacks onlyTheHook;
        std::memset(&onlyTheHook, 0, sizeof(onlyTheHook));
        onlyTheHook.ClassFileLoadHook = &ClassFileLoadHook;
        EXPECT_EQ(first->callbacksSize, static_cast<jint>(sizeof(jvmtiEventCallbacks)));
        EXPECT_EQ(std::memcmp(&*first->callbacks, &onlyTheHook, sizeof(onlyTheHook)), 0) << "the hook and nothing else";
        EXPECT_EQ(first->eventMode, JVMTI_ENABLE);
        EXPECT_EQ(first->eventType, JVMTI_EVENT_CLASS_FILE_LOAD_HOOK);
        EXPECT_EQ(first->eventThread, nullptr);
    }
    {
        SCOPED_TRACE("second call");
        const int findClassCalls = jni.calls("FindClass");
        const int callbacksSet = first->calls("SetEventCallbacks");
        EXPECT_EQ(initNative(), JNI_TRUE);
        EXPECT_THAT(log.next(), ElementsAre(LogLine{info, initializing}, LogLine{info, added},
                                            LogLine{info, "[Quorvane] Quorvane is initialized."}));
        EXPECT_EQ(jni.calls("FindClass"), findClassCalls);
        EXPECT_EQ(first->calls("SetEventCallbacks"), callbacksSet + 1);
    }
    EXPECT_EQ(vm.getEnvCalls, getEnvCalls) << "the first environment is reused";
    EXPECT_EQ(second->calls("AddCapabilities") + second->calls("SetEventCallbacks"), 0);
}

}  // namespace
