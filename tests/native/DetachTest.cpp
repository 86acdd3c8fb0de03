// Quorvane.detach against a fake VM: the hook stops remapping, the VM stops
// calling it, and the Remap class's global reference goes exactly once, when
// no hook is inside a remap any more, whichever thread that leaves it on.
// Detaching is for good, so the whole life of one process is one test.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
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

int method_tag;
const std::vector<unsigned char> class_bytes = {0xCA, 0xFE, 0xBA, 0xBE, 0x00, 0x00, 0x00, 0x3D};

// Runs the hook for a selected class; true when it was replaced.
bool load(FakeJvmti& jvmti, FakeJni& jni, const char* name) {
    jint newLength = -1;
    unsigned char* newBytes = nullptr;
    ClassFileLoadHook(jvmti.env(), jni.env(), nullptr, nullptr, name, nullptr, static_cast<jint>(class_bytes.size()),
                      class_bytes.data(), &newLength, &newBytes);
    if (newBytes != nullptr) {
        jvmti.env()->Deallocate(newBytes);
    }
    return newLength != -1;
}

TEST(Detach, OneProcessLifetime) {
    // Lines go to the capturing sink only: thousands of remaps follow.
    Logger::Settings quiet;
    quiet.fileName = "";
    quiet.console = Logger::Console::off;
    std::string inUse;
    ASSERT_TRUE(Logger::configure(quiet, inUse));
    Logger::init("libagent.log", spdlog::level::trace);
    auto sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(4096);
    Logger::get()->sinks().push_back(sink);

    auto& remapper = QuorvaneTest::freshRegistry();
    remapper.addInclude("com/");
    FakeJavaVm vm;
    static FakeJvmti* const jvmti = new FakeJvmti();  // initNative keeps it for good
    vm.environments = {jvmti};
    FakeJni jni;
    jni.vm = vm.vm();
    jni.staticMethodId = reinterpret_cast<jmethodID>(&method_tag);
    jni.remapResult = {0xCA, 0xFE, 0xBA, 0xBE, 0x01};
    ASSERT_EQ(Java_qv_vantrel_quorvane_Quorvane_initNative(jni.env(), nullptr), JNI_TRUE);
    ASSERT_EQ(jni.globalRefsCreated, 1);
    // Other lines than remaps: the ring keeps only the latest thousands.
    auto lifecycleLines = [&sink] {
        std::vector<LogLine> lines;
        for (const LogLine& line : QuorvaneTest::linesOf(*sink)) {
            if (line.level >= spdlog::level::info && line.text.find("Remapped") == std::string::npos) {
                lines.push_back(line);
            }
        }
        return lines;
    };
    EXPECT_THAT(lifecycleLines(),
                ::testing::ElementsAre(LogLine{spdlog::level::info, "[Quorvane] Initializing Quorvane..."},
                                       LogLine{spdlog::level::info, "[Quorvane] Added JVMTI capabilities"},
                                       LogLine{spdlog::level::info, "[Quorvane] Quorvane is initialized."}));

    // Threads keep loading selected classes, each through a JNIEnv of its own.
    constexpr int loaders = 4;
    std::atomic<bool> stop{false};
    std::atomic<int> loads{0};
    std::vector<std::unique_ptr<FakeJni>> loaderJni;
    std::vector<std::unique_ptr<FakeJvmti>> loaderJvmti;
    std::vector<std::thread> threads;
    for (int t = 0; t < loaders; ++t) {
        loaderJni.push_back(std::make_unique<FakeJni>());
        loaderJni.back()->remapResult = jni.remapResult;
        loaderJvmti.push_back(std::make_unique<FakeJvmti>());
    }
    for (int t = 0; t < loaders; ++t) {
        threads.emplace_back([&, t] {
            while (!stop.load()) {
                load(*loaderJvmti[static_cast<std::size_t>(t)], *loaderJni[static_cast<std::size_t>(t)],
                     "com/example/Busy");
                loads.fetch_add(1);
            }
        });
    }
    while (loads.load() < 2000) {
        std::this_thread::yield();
    }

    // Detach from inside a remap on this thread, while the others run too:
    // the reference must outlive this remap at least.
    int deletedDuringRemap = -1;
    jni.onRemap = [&] {
        Java_qv_vantrel_quorvane_Quorvane_detachNative(jni.env(), nullptr);
        deletedDuringRemap = jni.calls("DeleteGlobalRef");
    };
    EXPECT_TRUE(load(*jvmti, jni, "com/example/Widget")) << "the remap in flight completes";
    EXPECT_EQ(deletedDuringRemap, 0);
    const int loadsAtDetach = loads.load();
    while (loads.load() < loadsAtDetach + 2000) {
        std::this_thread::yield();
    }
    stop.store(true);
    for (std::thread& thread : threads) {
        thread.join();
    }

    auto deletes = [&] {
        int count = jni.calls("DeleteGlobalRef");
        for (const auto& each : loaderJni) {
            count += each->calls("DeleteGlobalRef");
        }
        return count;
    };
    EXPECT_EQ(deletes(), 1) << "the Remap class's reference is released once";
    for (const auto& each : loaderJni) {
        EXPECT_EQ(each->liveLocalRefs(), 0);
    }
    EXPECT_EQ(jvmti->eventMode, JVMTI_DISABLE);
    EXPECT_EQ(jvmti->eventType, JVMTI_EVENT_CLASS_FILE_LOAD_HOOK);
    EXPECT_EQ(remapper.getRemapClass(), nullptr);
    EXPECT_FALSE(remapper.isInit());

    // From now on the hook does nothing at all, and initNative refuses.
    const int callsBefore = jni.totalCalls();
    EXPECT_FALSE(load(*jvmti, jni, "com/example/Later"));
    EXPECT_EQ(jni.totalCalls(), callsBefore);
    EXPECT_EQ(Java_qv_vantrel_quorvane_Quorvane_initNative(jni.env(), nullptr), JNI_FALSE);
    Java_qv_vantrel_quorvane_Quorvane_detachNative(jni.env(), nullptr);
    EXPECT_EQ(deletes(), 1) << "a second detach releases nothing more";
    EXPECT_EQ(jvmti->calls("SetEventNotificationMode"), 2) << "enabled once, disabled once";

    std::vector<LogLine> lines = lifecycleLines();
    ASSERT_GE(lines.size(), 3U);
    EXPECT_THAT(
        std::vector<LogLine>(lines.end() - 3, lines.end()),
        ::testing::ElementsAre(
            LogLine{spdlog::level::info, "[Quorvane] Detached: this copy of Quorvane transforms no more classes"},
            LogLine{spdlog::level::info, "[Quorvane] Initializing Quorvane..."},
            LogLine{spdlog::level::err, "[Quorvane] initNative: this copy of Quorvane was detached"}));
}

// Detached before initNative ever ran: the retransform natives say so, and
// initNative refuses on standard error without starting the log, which would
// empty libagent.log only to say that.
TEST(Detach, BeforeTheLogStarts) {
    if (Logger::started()) {
        GTEST_SKIP() << "needs a process whose log has not started (CTest runs each test in one)";
    }
    const std::string earlier = "[2026-12-10 06:02:29] [info] [Quorvane] written by another process\n";
    std::ofstream("libagent.log", std::ios::trunc) << earlier;
    auto& remapper = QuorvaneTest::freshRegistry();
    FakeJni jni;
    Java_qv_vantrel_quorvane_Quorvane_detachNative(jni.env(), nullptr);
    ASSERT_TRUE(remapper.isDetached());

    ::testing::internal::CaptureStderr();
    const jboolean initialized = Java_qv_vantrel_quorvane_Quorvane_initNative(jni.env(), nullptr);
    const std::string standardError = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(initialized, JNI_FALSE);
    EXPECT_THAT(standardError,
                ::testing::MatchesRegex("\\[[0-9: -]+\\] \\[error\\] \\[Quorvane\\] initNative: this copy of "
                                        "Quorvane was detached before its log started\n"));
    EXPECT_FALSE(Logger::started());
    EXPECT_EQ(jni.calls("GetJavaVM"), 0) << "nothing asked of the VM";
    std::ifstream file("libagent.log");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), earlier);

    jobjectArray none = jni.makeObjectArray({});
    EXPECT_EQ(Java_qv_vantrel_quorvane_Quorvane_retransformNative(jni.env(), nullptr, none, none, none), 0);
    jni.exceptionPending = false;  // as the Java caller would, by catching it
    EXPECT_EQ(Java_qv_vantrel_quorvane_Quorvane_loadedClassesToRetransform(jni.env(), nullptr), nullptr);
    const std::pair<std::string, std::string> detached("java/lang/IllegalStateException",
                                                       "this copy of Quorvane was detached");
    EXPECT_THAT(jni.thrown, ::testing::ElementsAre(detached, detached));
    EXPECT_EQ(jni.liveLocalRefs(), 0);
}

}  // namespace
