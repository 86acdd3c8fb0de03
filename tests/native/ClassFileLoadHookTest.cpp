// The class-file-load hook against fake JNI and JVMTI environments: one row
// per path through it, each checked for its log line, its out-parameters, the
// exception state it leaves, the references and elements it gives back, and
// what the Java remap method received. The faults both routes meet (no byte
// array, the upcall throwing or giving nothing, no memory for the new class
// file, a detach in flight) are rows of HookRoutesTest, beside the
// Instrumentation's hook.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FakeJni.hpp"
#include "LogCapture.hpp"
#include "Registry.hpp"
#include "callbacks.hpp"
#include "natives.hpp"

namespace {

using QuorvaneTest::FakeJni;
using QuorvaneTest::FakeJvmti;
using QuorvaneTest::freshRegistry;
using QuorvaneTest::LogCapture;
using QuorvaneTest::LogLine;
using QuorvaneTest::Outcome;
using QuorvaneTest::RemapBehaviour;
using Bytes = std::vector<unsigned char>;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Stand-ins for the cached Remap declarations: opaque values the hook must
// pass through to CallStaticObjectMethod untouched.
int remap_class_tag;
int remap_method_tag;
jclass cachedClass() {
    return reinterpret_cast<jclass>(&remap_class_tag);
}
jmethodID cachedMethod() {
    return reinterpret_cast<jmethodID>(&remap_method_tag);
}

const Bytes class_bytes = {0xCA, 0xFE, 0xBA, 0xBE, 0x00, 0x00, 0x00, 0x3D, 0x01, 0x02, 0x03, 0x04};
const Bytes remapped_bytes = {0xCA, 0xFE, 0xBA, 0xBE, 0x09, 0x09, 0x09};

// Which of the hook's arguments is made invalid.
enum class BadArgument {
    none,
    nullName,
    nullJniEnv,
    nullJvmtiEnv,
    nullClassBytes,
    zeroLength,
    negativeLength,
    nullNewLength,
    nullNewBytes,
};

struct HookCase {
    const char* label = "";
    // Arrangement.
    BadArgument badArgument = BadArgument::none;
    bool initialized = true;
    std::string name = "com/example/Widget";
    bool classCached = true;
    bool methodCached = true;
    Outcome newStringUtf = Outcome::ok;
    Outcome newByteArray = Outcome::ok;
    bool setRegionRaises = false;
    RemapBehaviour remap = RemapBehaviour::returnBytes;
    Bytes result = remapped_bytes;
    Outcome elements = Outcome::ok;
    bool allocateFails = false;
    bool zeroAllocationGivesNull = true;
    // Expectations.
    std::optional<LogLine> log;
    bool jniUsed = true;
    bool remapCalled = true;
    std::optional<Bytes> replacement;  // what the VM is handed, if anything
    bool elementsReleased = false;
    bool exceptionLeftPending = false;
};

// The rows, one per path. A row starts from "remapped with remapped_bytes"
// and states what differs.
std::vector<HookCase> hookCases() {
    std::vector<HookCase> rows;
    auto row = [&rows](const char* label) -> HookCase& {
        rows.emplace_back();
        rows.back().label = label;
        return rows.back();
    };
    auto untouchedQuietly = [](HookCase& r) {
        r.jniUsed = false;
        r.remapCalled = false;
    };

    for (auto [label, bad] :
         {std::pair{"nullName", BadArgument::nullName}, std::pair{"nullJniEnv", BadArgument::nullJniEnv},
          std::pair{"nullJvmtiEnv", BadArgument::nullJvmtiEnv},
          std::pair{"nullClassBytes", BadArgument::nullClassBytes}, std::pair{"zeroLength", BadArgument::zeroLength},
          std::pair{"negativeLength", BadArgument::negativeLength},
          std::pair{"nullNewLength", BadArgument::nullNewLength},
          std::pair{"nullNewBytes", BadArgument::nullNewBytes}}) {
        HookCase& r = row(label);
        r.badArgument = bad;
        untouchedQuietly(r);
    }
    {
        HookCase& r = row("notInitialized");
        r.initialized = false;
        untouchedQuietly(r);
    }
    {
        HookCase& r = row("ownPackage");
        r.name = "qv/vantrel/quorvane/remapper/Remap";
        untouchedQuietly(r);
    }
    {
        HookCase& r = row("ownSubpackage");
        r.name = "qv/vantrel/quorvane/a/b/C$1";
        untouchedQuietly(r);
    }
    {
        // Only the package itself is the library's own, not a look-alike.
        HookCase& r = row("ownPackageLookAlike");
        r.name = "qv/vantrel/quorvanex/Foo";
        r.log = LogLine{spdlog::level::info, "[Quorvane] Remapped: qv/vantrel/quorvanex/Foo (12 -> 7 bytes)"};
        r.replacement = remapped_bytes;
        r.elementsReleased = true;
    }
    {
        HookCase& r = row("filteredOutNotIncluded");
        r.name = "org/other/Thing";
        r.log = LogLine{spdlog::level::trace, "[Quorvane] Skipped by filter: org/other/Thing"};
        untouchedQuietly(r);
    }
    {
        HookCase& r = row("filteredOutExcluded");
        r.name = "com/example/Secret$1";
        r.log = LogLine{spdlog::level::trace, "[Quorvane] Skipped by filter: com/example/Secret$1"};
        untouchedQuietly(r);
    }
    for (auto [label, classCached] : {std::pair{"classNotCached", false}, std::pair{"methodNotCached", true}}) {
        HookCase& r = row(label);
        r.classCached = classCached;
        r.methodCached = !classCached;
        r.log = LogLine{spdlog::level::err, "[Quorvane] Remap declarations not cached"};
        untouchedQuietly(r);
    }
    for (auto [label, outcome] : {std::pair{"nameStringNotCreatedRaising", Outcome::failRaising},
                                  std::pair{"nameStringNotCreated", Outcome::fail}}) {
        HookCase& r = row(label);
        r.newStringUtf = outcome;
        r.log = LogLine{spdlog::level::err, "[Quorvane] Failed to create className jstring"};
        r.remapCalled = false;
    }
    {
        HookCase& r = row("byteArrayNotFilled");
        r.setRegionRaises = true;
        r.log = LogLine{spdlog::level::err, "[Quorvane] Failed to fill classBytes"};
        r.remapCalled = false;
    }
    {
        // The one path that neither logs nor clears what the VM raised.
        HookCase& r = row("elementsUnavailableRaising");
        r.elements = Outcome::failRaising;
        r.exceptionLeftPending = true;
    }
    {
        HookCase& r = row("elementsUnavailable");
        r.elements = Outcome::fail;
    }
    {
        HookCase& r = row("success");
        r.log = LogLine{spdlog::level::info, "[Quorvane] Remapped: com/example/Widget (12 -> 7 bytes)"};
        r.replacement = remapped_bytes;
        r.elementsReleased = true;
    }
    {
        HookCase& r = row("successNestedClass");
        r.name = "com/example/Widget$Part";
        r.log = LogLine{spdlog::level::info, "[Quorvane] Remapped: com/example/Widget$Part (12 -> 7 bytes)"};
        r.replacement = remapped_bytes;
        r.elementsReleased = true;
    }
    for (auto [label, givesNull] :
         {std::pair{"emptyResultAllocateGivesNull", true}, std::pair{"emptyResultAllocateGivesBuffer", false}}) {
        HookCase& r = row(label);
        r.result = {};
        r.zeroAllocationGivesNull = givesNull;
        r.log = LogLine{spdlog::level::info, "[Quorvane] Remapped: com/example/Widget (12 -> 0 bytes)"};
        r.replacement = Bytes{};
        r.elementsReleased = true;
    }
    {
        // Identical bytes still replace the class: the result is never compared.
        HookCase& r = row("remapReturnedItsArgument");
        r.remap = RemapBehaviour::returnArgument;
        r.log = LogLine{spdlog::level::info, "[Quorvane] Remapped: com/example/Widget (12 -> 12 bytes)"};
        r.replacement = class_bytes;
        r.elementsReleased = true;
    }
    return rows;
}

// Names the row in gtest's output instead of dumping its bytes.
void PrintTo(const HookCase& c, std::ostream* out) {
    *out << c.label;
}

class ClassFileLoadHookPaths : public ::testing::TestWithParam<HookCase> {};

TEST_P(ClassFileLoadHookPaths, LeavesEverythingAsItShould) {
    const HookCase& c = GetParam();
    auto& remapper = freshRegistry();
    remapper.addInclude("com/");
    remapper.addInclude("qv/");
    remapper.addExclude("com/example/Secret");
    remapper.setRemapClass(c.classCached ? cachedClass() : nullptr);
    remapper.setRemapMethodId(c.methodCached ? cachedMethod() : nullptr);
    remapper.setInit(c.initialized);

    LogCapture log;
    FakeJni jni;
    jni.newStringUtf = c.newStringUtf;
    jni.newByteArray = c.newByteArray;
    jni.setByteArrayRegionRaises = c.setRegionRaises;
    jni.remap = c.remap;
    jni.remapResult = c.result;
    jni.getByteArrayElements = c.elements;
    FakeJvmti jvmti;
    jvmti.allocateFails = c.allocateFails;
    jvmti.zeroAllocationGivesNull = c.zeroAllocationGivesNull;

    // The out-parameters start as sentinels, to tell "untouched" apart.
    unsigned char sentinel = 0;
    jint newLength = -7;
    unsigned char* newBytes = &sentinel;

    const BadArgument bad = c.badArgument;
    ClassFileLoadHook(bad == BadArgument::nullJvmtiEnv ? nullptr : jvmti.env(),
                      bad == BadArgument::nullJniEnv ? nullptr : jni.env(), nullptr, nullptr,
                      bad == BadArgument::nullName ? nullptr : c.name.c_str(), nullptr,
                      bad == BadArgument::zeroLength       ? 0
                      : bad == BadArgument::negativeLength ? -1
                                                           : static_cast<jint>(class_bytes.size()),
                      bad == BadArgument::nullClassBytes ? nullptr : class_bytes.data(),
                      bad == BadArgument::nullNewLength ? nullptr : &newLength,
                      bad == BadArgument::nullNewBytes ? nullptr : &newBytes);

    if (c.log) {
        EXPECT_THAT(log.lines(), ElementsAre(*c.log));
    } else {
        EXPECT_THAT(log.lines(), IsEmpty());
    }

    if (c.replacement) {
        ASSERT_EQ(newLength, static_cast<jint>(c.replacement->size()));
        EXPECT_EQ(jvmti.allocationSizes, std::vector<jlong>{static_cast<jlong>(c.replacement->size())});
        if (c.replacement->empty() && c.zeroAllocationGivesNull) {
            EXPECT_EQ(newBytes, nullptr);  // the pointer Allocate gave
        } else {
            ASSERT_NE(newBytes, nullptr);
            ASSERT_NE(newBytes, &sentinel);
            EXPECT_EQ(Bytes(newBytes, newBytes + newLength), *c.replacement);
            EXPECT_EQ(jvmti.liveAllocations(), 1);
            // The VM owns the buffer from here; hand it back as the VM would.
            EXPECT_EQ(jvmti.env()->Deallocate(newBytes), JVMTI_ERROR_NONE);
        }
    } else {
        EXPECT_EQ(newLength, -7);
        EXPECT_EQ(newBytes, &sentinel);
    }
    EXPECT_EQ(jvmti.liveAllocations(), 0);
    EXPECT_EQ(jvmti.badDeallocations, 0);

    EXPECT_EQ(jni.exceptionPending, c.exceptionLeftPending);
    EXPECT_THAT(jni.callsWithPendingException, IsEmpty());
    EXPECT_EQ(jni.liveLocalRefs(), 0) << "every local reference the hook made is deleted";
    EXPECT_EQ(jni.badDeletes, 0) << "and none twice";
    EXPECT_EQ(jni.badReleases, 0);
    if (c.elementsReleased) {
        EXPECT_THAT(jni.elementReleaseModes, ElementsAre(JNI_ABORT));
    } else {
        EXPECT_THAT(jni.elementReleaseModes, IsEmpty());
        EXPECT_THAT(jvmti.allocationSizes, IsEmpty());
    }
    EXPECT_EQ(jni.elementsTaken, static_cast<int>(jni.elementReleaseModes.size()));
    if (!c.jniUsed) {
        EXPECT_EQ(jni.totalCalls(), 0);
    }

    if (c.remapCalled) {
        ASSERT_EQ(jni.remapCalls.size(), 1U);
        const QuorvaneTest::RemapCall& call = jni.remapCalls.front();
        EXPECT_EQ(call.clazz, cachedClass());
        EXPECT_EQ(call.method, cachedMethod());
        EXPECT_TRUE(call.nameIsString);
        EXPECT_EQ(call.name, c.name);
        EXPECT_TRUE(call.bytesIsArray);
        EXPECT_EQ(call.bytes, class_bytes);
    } else {
        EXPECT_THAT(jni.remapCalls, IsEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ClassFileLoadHookPaths, ::testing::ValuesIn(hookCases()),
                         [](const auto& info) { return std::string(info.param.label); });

// Remap.remap may load classes; those pass through the hook on the same
// thread, nested, like any other class, except the library's own.
TEST(ClassFileLoadHookNested, ClassesLoadedByRemapGoThroughTheHook) {
    auto& remapper = freshRegistry();
    remapper.addInclude("com/");
    remapper.addInclude("qv/");
    remapper.setRemapClass(cachedClass());
    remapper.setRemapMethodId(cachedMethod());
    remapper.setInit(true);
    LogCapture log;
    FakeJni jni;
    jni.remapResult = remapped_bytes;
    FakeJvmti jvmti;

    const jint length = static_cast<jint>(class_bytes.size());
    jint nestedLength = -1;
    unsigned char* nestedBytes = nullptr;
    jint ownLength = -1;
    unsigned char* ownBytes = nullptr;
    jni.onRemap = [&] {
        ClassFileLoadHook(jvmti.env(), jni.env(), nullptr, nullptr, "com/example/Helper", nullptr, length,
                          class_bytes.data(), &nestedLength, &nestedBytes);
        ClassFileLoadHook(jvmti.env(), jni.env(), nullptr, nullptr, "qv/vantrel/quorvane/remapper/Remap$1", nullptr,
                          length, class_bytes.data(), &ownLength, &ownBytes);
    };
    jint outerLength = -1;
    unsigned char* outerBytes = nullptr;
    ClassFileLoadHook(jvmti.env(), jni.env(), nullptr, nullptr, "com/example/Widget", nullptr, length,
                      class_bytes.data(), &outerLength, &outerBytes);

    ASSERT_EQ(jni.remapCalls.size(), 2U);
    EXPECT_EQ(jni.remapCalls[0].name, "com/example/Widget");
    EXPECT_EQ(jni.remapCalls[1].name, "com/example/Helper");
    EXPECT_EQ(outerLength, static_cast<jint>(remapped_bytes.size()));
    EXPECT_EQ(nestedLength, static_cast<jint>(remapped_bytes.size()));
    EXPECT_EQ(ownLength, -1);
    EXPECT_EQ(ownBytes, nullptr);
    EXPECT_THAT(log.lines(),
                ElementsAre(LogLine{spdlog::level::info, "[Quorvane] Remapped: com/example/Helper (12 -> 7 bytes)"},
                            LogLine{spdlog::level::info, "[Quorvane] Remapped: com/example/Widget (12 -> 7 bytes)"}));
    EXPECT_EQ(jni.liveLocalRefs(), 0);
    EXPECT_EQ(jni.badDeletes, 0);
    EXPECT_THAT(jni.elementReleaseModes, ElementsAre(JNI_ABORT, JNI_ABORT));
    jvmti.env()->Deallocate(outerBytes);
    jvmti.env()->Deallocate(nestedBytes);
    EXPECT_EQ(jvmti.liveAllocations(), 0);
}

// A transformer that loads, nested, a class of the very name it is
// transforming (through another loader, say) would recurse without end; a
// chain of distinct classes stops at a fixed depth; and the error the VM needs
// to report a circular load is never remapped at all. Each refusal leaves the
// class unchanged with one warning line naming it.
class ClassFileLoadHookRefusals : public ::testing::Test {
protected:
    void SetUp() override {
        auto& remapper = freshRegistry();
        remapper.addInclude("com/");
        remapper.addInclude("java/lang/");
        remapper.setRemapClass(cachedClass());
        remapper.setRemapMethodId(cachedMethod());
        remapper.setInit(true);
        jni.remapResult = remapped_bytes;
    }

    // Runs the hook for name, being loaded or, given the class, being
    // retransformed; true when the class was replaced.
    bool load(const char* name, jclass beingRedefined = nullptr) {
        jint newLength = -1;
        unsigned char* newBytes = nullptr;
        ClassFileLoadHook(jvmti.env(), jni.env(), beingRedefined, nullptr, name, nullptr,
                          static_cast<jint>(class_bytes.size()), class_bytes.data(), &newLength, &newBytes);
        if (newBytes != nullptr) {
            jvmti.env()->Deallocate(newBytes);
        }
        return newLength != -1;
    }

    std::vector<std::string> remapped() const {
        std::vector<std::string> names;
        for (const auto& call : jni.remapCalls) {
            names.push_back(call.name);
        }
        return names;
    }

    void expectClean() {
        EXPECT_EQ(jni.liveLocalRefs(), 0);
        EXPECT_EQ(jni.badDeletes, 0);
        EXPECT_FALSE(jni.exceptionPending);
        EXPECT_EQ(jvmti.liveAllocations(), 0);
    }

    LogCapture log;
    FakeJni jni;
    FakeJvmti jvmti;
};

TEST_F(ClassFileLoadHookRefusals, SameNameInsideItsOwnRemapLoadsUnchanged) {
    std::vector<bool> innerReplaced;
    jni.onRemap = [&] {
        if (jni.remapCalls.back().name == "com/example/Widget") {
            innerReplaced.push_back(load("com/example/Widget"));
            innerReplaced.push_back(load("com/example/Helper"));
        }
    };
    EXPECT_TRUE(load("com/example/Widget"));

    EXPECT_THAT(remapped(), ElementsAre("com/example/Widget", "com/example/Helper"));
    EXPECT_THAT(innerReplaced, ElementsAre(false, true));
    EXPECT_THAT(log.lines(),
                ElementsAre(LogLine{spdlog::level::warn,
                                    "[Quorvane] Already being remapped on this thread, loaded unchanged: "
                                    "com/example/Widget"},
                            LogLine{spdlog::level::info, "[Quorvane] Remapped: com/example/Helper (12 -> 7 bytes)"},
                            LogLine{spdlog::level::info, "[Quorvane] Remapped: com/example/Widget (12 -> 7 bytes)"}));
    // The refusal lasts only while the outer remap runs.
    jni.onRemap = nullptr;
    EXPECT_TRUE(load("com/example/Widget"));
    expectClean();
}

// A class retransformed (or redefined) is not being loaded: its refusal
// lines say what happens without claiming a load.
TEST_F(ClassFileLoadHookRefusals, RetransformedClassesAreLeftUnchangedNotLoaded) {
    jclass widget = jni.makeClass("Lcom/example/Widget;");
    std::vector<bool> innerReplaced;
    jni.onRemap = [&] { innerReplaced.push_back(load("com/example/Widget", widget)); };
    EXPECT_TRUE(load("com/example/Widget", widget));
    EXPECT_THAT(innerReplaced, ElementsAre(false));

    // 33 remaps deep, the innermost one a retransformation.
    int depth = 1;
    std::function<void()> step = [&] {
        if (depth < 33) {
            const std::string name = "com/chain/C" + std::to_string(depth++);
            jni.onRemap = step;
            load(name.c_str(), depth == 33 ? widget : nullptr);
        }
    };
    jni.onRemap = step;
    load("com/chain/C0");

    std::vector<LogLine> warnings;
    for (const LogLine& line : log.lines()) {
        if (line.level == spdlog::level::warn) {
            warnings.push_back(line);
        }
    }
    EXPECT_THAT(warnings,
                ElementsAre(LogLine{spdlog::level::warn,
                                    "[Quorvane] Already being remapped on this thread, left unchanged: "
                                    "com/example/Widget"},
                            LogLine{spdlog::level::warn,
                                    "[Quorvane] Remaps nested 32 deep on this thread, left unchanged: com/chain/C32"}));
    expectClean();
}

TEST_F(ClassFileLoadHookRefusals, NestingStopsAt32Deep) {
    constexpr int chain = 40;
    std::vector<std::string> names;
    for (int i = 0; i < chain; ++i) {
        names.push_back("com/chain/C" + std::to_string(i));
    }
    int next = 1;
    std::vector<bool> replaced(chain, false);
    // Each remap loads the next class of the chain, as a transformer that
    // touches another selected class would. The fake's onRemap fires once, so
    // each step arms it again for the next level.
    std::function<void()> step = [&] {
        if (next < chain) {
            const int index = next++;
            jni.onRemap = step;
            replaced[static_cast<std::size_t>(index)] = load(names[static_cast<std::size_t>(index)].c_str());
        }
    };
    jni.onRemap = step;
    replaced[0] = load(names[0].c_str());

    EXPECT_EQ(jni.remapCalls.size(), 32U);
    EXPECT_EQ(std::count(replaced.begin(), replaced.end(), true), 32);
    EXPECT_FALSE(replaced[32]);
    std::vector<LogLine> warnings;
    for (const LogLine& line : log.lines()) {
        if (line.level == spdlog::level::warn) {
            warnings.push_back(line);
        }
    }
    EXPECT_THAT(warnings, ElementsAre(LogLine{spdlog::level::warn,
                                              "[Quorvane] Remaps nested 32 deep on this thread, loaded unchanged: "
                                              "com/chain/C32"}));
    // Back at the top, a class is remapped again.
    next = chain;
    EXPECT_TRUE(load("com/chain/After"));
    expectClean();
}

TEST_F(ClassFileLoadHookRefusals, CircularityErrorIsNeverRemapped) {
    EXPECT_FALSE(load("java/lang/ClassCircularityError"));
    EXPECT_TRUE(load("java/lang/ClassCircularityError$Other"));
    EXPECT_THAT(remapped(), ElementsAre("java/lang/ClassCircularityError$Other"));
    EXPECT_EQ(log.lines().front(), (LogLine{spdlog::level::warn,
                                            "[Quorvane] Never remapped, the VM needs it to report circular loads: "
                                            "java/lang/ClassCircularityError"}));
    expectClean();
}

// Several class-loading threads run the hook while Java threads edit the
// filters through the natives. Classes under com/stable/ are always selected;
// whether com/churn/Widget is depends on the moment, but whenever the hook
// replaces it, it did so through remap, and every thread ends clean.
TEST(ClassFileLoadHookThreads, HooksRunWhileFiltersChange) {
    auto& remapper = freshRegistry();
    remapper.addInclude("com/stable/");
    remapper.setRemapClass(cachedClass());
    remapper.setRemapMethodId(cachedMethod());
    remapper.setInit(true);
    LogCapture log(64);

    constexpr int hook_threads = 4;
    constexpr int loads_per_thread = 2000;
    std::atomic<int> hooksRunning{hook_threads};

    auto editor = [&hooksRunning](bool excludes) {
        FakeJni jni;
        JNIEnv* env = jni.env();
        for (int i = 0; hooksRunning.load() > 0; ++i) {
            if (excludes) {
                Java_qv_vantrel_quorvane_Quorvane_addExclude(env, nullptr, jni.makeString("com/churn/Widget"));
                Java_qv_vantrel_quorvane_Quorvane_addExclude(env, nullptr,
                                                             jni.makeString("other/" + std::to_string(i)));
                Java_qv_vantrel_quorvane_Quorvane_removeExclude(env, nullptr, jni.makeString("com/churn/Widget"));
                if (i % 64 == 0) {
                    Java_qv_vantrel_quorvane_Quorvane_clearExcludes(env, nullptr);
                }
            } else {
                Java_qv_vantrel_quorvane_Quorvane_addInclude(env, nullptr, jni.makeString("com/churn/"));
                Java_qv_vantrel_quorvane_Quorvane_addInclude(env, nullptr,
                                                             jni.makeString("other/" + std::to_string(i)));
                Java_qv_vantrel_quorvane_Quorvane_removeInclude(env, nullptr, jni.makeString("com/churn/"));
            }
        }
    };

    struct LoaderResult {
        int stableReplaced = 0;
        int churnReplaced = 0;
        int churnRemapCalls = 0;
        int mismatches = 0;
        int liveLocalRefs = -1;
        int badDeletes = -1;
        int liveAllocations = -1;
        bool allReleasedWithAbort = false;
    };
    std::vector<LoaderResult> outcomes(hook_threads);

    auto loader = [&](int index) {
        FakeJni jni;
        jni.remapResult = remapped_bytes;
        FakeJvmti jvmti;
        LoaderResult& out = outcomes[static_cast<std::size_t>(index)];
        for (int i = 0; i < loads_per_thread; ++i) {
            const bool stable = i % 2 == 0;
            const char* name = stable ? "com/stable/Widget" : "com/churn/Widget";
            const std::size_t callsBefore = jni.remapCalls.size();
            jint newLength = -1;
            unsigned char* newBytes = nullptr;
            ClassFileLoadHook(jvmti.env(), jni.env(), nullptr, nullptr, name, nullptr,
                              static_cast<jint>(class_bytes.size()), class_bytes.data(), &newLength, &newBytes);
            const bool replaced = newLength == static_cast<jint>(remapped_bytes.size()) && newBytes != nullptr &&
                                  Bytes(newBytes, newBytes + newLength) == remapped_bytes;
            const bool called = jni.remapCalls.size() == callsBefore + 1;
            if (replaced != called || (replaced != (newLength != -1))) {
                ++out.mismatches;
            }
            if (stable) {
                out.stableReplaced += replaced ? 1 : 0;
            } else {
                out.churnReplaced += replaced ? 1 : 0;
                out.churnRemapCalls += called ? 1 : 0;
            }
            if (newBytes != nullptr) {
                jvmti.env()->Deallocate(newBytes);
            }
        }
        out.liveLocalRefs = jni.liveLocalRefs();
        out.badDeletes = jni.badDeletes;
        out.liveAllocations = jvmti.liveAllocations();
        out.allReleasedWithAbort =
            jni.badReleases == 0 && jni.elementsTaken == static_cast<int>(jni.elementReleaseModes.size());
        for (jint mode : jni.elementReleaseModes) {
            out.allReleasedWithAbort = out.allReleasedWithAbort && mode == JNI_ABORT;
        }
        hooksRunning.fetch_sub(1);
    };

    std::vector<std::thread> threads;
    threads.emplace_back(editor, false);
    threads.emplace_back(editor, true);
    for (int i = 0; i < hook_threads; ++i) {
        threads.emplace_back(loader, i);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    for (int i = 0; i < hook_threads; ++i) {
        const LoaderResult& out = outcomes[static_cast<std::size_t>(i)];
        SCOPED_TRACE("hook thread " + std::to_string(i));
        EXPECT_EQ(out.stableReplaced, loads_per_thread / 2);
        EXPECT_EQ(out.churnReplaced, out.churnRemapCalls);
        EXPECT_EQ(out.mismatches, 0);
        EXPECT_EQ(out.liveLocalRefs, 0);
        EXPECT_EQ(out.badDeletes, 0);
        EXPECT_EQ(out.liveAllocations, 0);
        EXPECT_TRUE(out.allReleasedWithAbort);
    }
}

}  // namespace
