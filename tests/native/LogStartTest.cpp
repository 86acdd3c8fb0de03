// The first initNative replaces spdlog's built-in default logger while filter
// natives on other threads may be writing through it. Until then they log
// through that built-in logger, which must outlive the replacement. The level
// may be changed meanwhile too. One process lifetime is one test: logging
// starts once per process.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "FakeJni.hpp"
#include "Logger.hpp"
#include "Registry.hpp"
#include "natives.hpp"

namespace {

using QuorvaneTest::FakeJavaVm;
using QuorvaneTest::FakeJni;
using QuorvaneTest::FakeJvmti;

int method_tag;

TEST(LogStart, FilterEditsWhileTheFirstInitNativeRuns) {
    QuorvaneTest::freshRegistry();
    // A native that fetched the logger just before the replacement and
    // writes just after it, made certain instead of left to timing.
    spdlog::logger* const fetchedBefore = Logger::get();

    constexpr int editors = 4;
    constexpr int edits_after_start = 200;
    std::atomic<bool> started{false};
    std::atomic<int> ready{0};
    std::vector<int> editsBefore(editors, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < editors; ++t) {
        threads.emplace_back([&, t] {
            FakeJni jni;
            JNIEnv* env = jni.env();
            const std::string entry = "edit/" + std::to_string(t) + "/";
            ready.fetch_add(1);
            int after = 0;
            for (int i = 0; after < edits_after_start; ++i) {
                if (started.load()) {
                    ++after;
                } else {
                    ++editsBefore[static_cast<std::size_t>(t)];
                }
                Java_qv_vantrel_quorvane_Quorvane_addInclude(env, nullptr, jni.makeString(entry));
                Java_qv_vantrel_quorvane_Quorvane_removeInclude(env, nullptr, jni.makeString(entry));
                if (i % 16 == 0) {
                    Java_qv_vantrel_quorvane_Quorvane_clearExcludes(env, nullptr);
                }
            }
        });
    }
    // The log level may change from any thread while the log starts.
    threads.emplace_back([&] {
        FakeJni jni;
        ready.fetch_add(1);
        for (int i = 0; !started.load() || i < edits_after_start; ++i) {
            const jint level = i % 2 == 0 ? spdlog::level::trace : spdlog::level::info;
            EXPECT_EQ(Java_qv_vantrel_quorvane_LogSettings_configure(jni.env(), nullptr, level, nullptr, -1, -1, -1, -1,
                                                                     nullptr),
                      nullptr);
        }
        EXPECT_EQ(jni.totalCalls(), 0);
    });
    while (ready.load() < editors + 1) {
        std::this_thread::yield();
    }

    FakeJavaVm vm;
    static FakeJvmti* const jvmti = new FakeJvmti();  // initNative keeps it for good
    vm.environments = {jvmti};
    FakeJni jni;
    jni.vm = vm.vm();
    jni.staticMethodId = reinterpret_cast<jmethodID>(&method_tag);
    EXPECT_EQ(Java_qv_vantrel_quorvane_Quorvane_initNative(jni.env(), nullptr), JNI_TRUE);
    started.store(true);
    for (std::thread& thread : threads) {
        thread.join();
    }

    // Still alive: under AddressSanitizer a freed logger fails right here.
    EXPECT_EQ(fetchedBefore->name(), "");
    fetchedBefore->info("[Quorvane] written through the built-in logger after the first initNative");
    EXPECT_NE(Logger::get(), fetchedBefore);
    EXPECT_EQ(Logger::get()->name(), "app");
    int before = 0;
    for (int n : editsBefore) {
        before += n;
    }
    RecordProperty("edits_before_init", before);
}

}  // namespace
