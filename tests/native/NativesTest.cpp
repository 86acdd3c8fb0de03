// The six filter natives against a fake JNIEnv: what reaches the registry,
// what is released, and what is logged.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "FakeJni.hpp"
#include "LogCapture.hpp"
#include "Registry.hpp"
#include "natives.hpp"

namespace {

using QuorvaneTest::FakeJni;
using QuorvaneTest::freshRegistry;
using QuorvaneTest::LogCapture;
using QuorvaneTest::LogLine;
using QuorvaneTest::Outcome;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

using StringNative = jboolean(JNICALL*)(JNIEnv*, jclass, jstring);

// Each native with an argument whose effect the probe shows: starting from
// includes {com/, org/Keep} and excludes {com/secret/}, a successful call
// flips the decision for probe.
struct StringNativeCase {
    const char* label;
    StringNative native;
    const char* argument;
    const char* probe;
    bool probeBefore;
    const char* message;
};

const std::vector<StringNativeCase> string_natives = {
    {"addInclude", &Java_qv_vantrel_quorvane_Quorvane_addInclude, "org/Other", "org/Other", false,
     "[Quorvane] addInclude"},
    {"addExclude", &Java_qv_vantrel_quorvane_Quorvane_addExclude, "com/A", "com/A", true, "[Quorvane] addExclude"},
    {"removeInclude", &Java_qv_vantrel_quorvane_Quorvane_removeInclude, "com/", "com/A", true,
     "[Quorvane] removeInclude"},
    {"removeExclude", &Java_qv_vantrel_quorvane_Quorvane_removeExclude, "com/secret/", "com/secret/A", false,
     "[Quorvane] removeExclude"},
};

void loadBaseline() {
    auto& remapper = freshRegistry();
    remapper.addInclude("com/");
    remapper.addInclude("org/Keep");
    remapper.addExclude("com/secret/");
}

bool decides(const std::string& name) {
    return Quorvane::Services::Remapper::getInstance().shouldRemap(name);
}

void PrintTo(const StringNativeCase& c, std::ostream* out) {
    *out << c.label;
}

class StringNatives : public ::testing::TestWithParam<StringNativeCase> {
protected:
    void SetUp() override { loadBaseline(); }

    LogCapture log_;
    FakeJni jni_;
};

TEST_P(StringNatives, NullStringReturnsFalseAndTouchesNothing) {
    const StringNativeCase& c = GetParam();
    EXPECT_EQ(c.native(jni_.env(), nullptr, nullptr), JNI_FALSE);
    EXPECT_EQ(jni_.totalCalls(), 0);
    EXPECT_EQ(decides(c.probe), c.probeBefore);
    EXPECT_THAT(log_.lines(), IsEmpty());
}

TEST_P(StringNatives, FailedConversionReturnsFalseAndLeavesTheExceptionToTheCaller) {
    const StringNativeCase& c = GetParam();
    for (Outcome failure : {Outcome::fail, Outcome::failRaising}) {
        FakeJni jni;
        jni.getStringUtfChars = failure;
        EXPECT_EQ(c.native(jni.env(), nullptr, jni.makeString(c.argument)), JNI_FALSE);
        EXPECT_EQ(jni.calls("ReleaseStringUTFChars"), 0);
        EXPECT_EQ(jni.calls("ExceptionClear"), 0);
        EXPECT_EQ(jni.exceptionPending, failure == Outcome::failRaising);
        EXPECT_EQ(decides(c.probe), c.probeBefore);
    }
    EXPECT_THAT(log_.lines(), IsEmpty());
}

TEST_P(StringNatives, SuccessReleasesOnceForwardsAndLogs) {
    const StringNativeCase& c = GetParam();
    // The characters go back before the registry is touched.
    std::optional<bool> probeAtRelease;
    jni_.onReleaseUtfChars = [&] { probeAtRelease = decides(c.probe); };
    EXPECT_EQ(c.native(jni_.env(), nullptr, jni_.makeString(c.argument)), JNI_TRUE);
    EXPECT_EQ(probeAtRelease, c.probeBefore);
    EXPECT_EQ(jni_.utfCharsTaken, 1);
    EXPECT_EQ(jni_.utfCharsReleased, 1);
    EXPECT_EQ(jni_.badReleases, 0);
    EXPECT_EQ(decides(c.probe), !c.probeBefore);
    EXPECT_THAT(log_.lines(), ElementsAre(LogLine{spdlog::level::debug, c.message}));
}

INSTANTIATE_TEST_SUITE_P(Each, StringNatives, ::testing::ValuesIn(string_natives),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(ClearNatives, ClearOneSetLogAndCallNoJni) {
    LogCapture log;
    FakeJni jni;

    loadBaseline();
    Java_qv_vantrel_quorvane_Quorvane_clearExcludes(jni.env(), nullptr);
    EXPECT_TRUE(decides("com/secret/A"));
    EXPECT_TRUE(decides("org/Keep"));

    loadBaseline();
    Java_qv_vantrel_quorvane_Quorvane_clearIncludes(jni.env(), nullptr);
    EXPECT_FALSE(decides("com/A"));
    EXPECT_FALSE(decides("org/Keep"));
    // The excludes survived: a new include does not reopen them.
    Quorvane::Services::Remapper::getInstance().addInclude("com/");
    EXPECT_FALSE(decides("com/secret/A"));

    EXPECT_EQ(jni.totalCalls(), 0);
    EXPECT_THAT(log.lines(), ElementsAre(LogLine{spdlog::level::debug, "[Quorvane] clearExcludes"},
                                         LogLine{spdlog::level::debug, "[Quorvane] clearIncludes"}));
}

// Whatever Java hands in is stored and compared byte for byte: no trimming,
// no conversion, no truncation.
struct OddName {
    const char* label;
    std::string name;
    std::string nearMiss;  // differs from name in one byte, or is a prefix of it
};

std::string longName() {
    std::string name = "com/example/";
    name.append(std::size_t{64} * 1024 - name.size(), 'N');
    return name;
}

std::string longNearMiss() {
    std::string name = longName();
    name[name.size() / 2] = 'M';
    return name;
}

const std::vector<OddName> odd_names = {
    {"empty", "", "a"},
    {"long64KiB", longName(), longNearMiss()},
    {"nonAscii", "com/\xC3\xA9t\xC3\xA9/Caf\xC3\xA9", "com/\xC3\xA9t\xC3\xA9/Cafe"},
    {"modifiedUtf8Nul",
     "a\xC0\x80"
     "b",
     "a"},
    {"dotted", "com.example.Widget", "com/example/Widget"},
    {"spaces", " com/example/Widget ", "com/example/Widget"},
};

void PrintTo(const OddName& c, std::ostream* out) {
    *out << c.label;
}

class OddNames : public ::testing::TestWithParam<OddName> {};

TEST_P(OddNames, StoredAndMatchedByteForByte) {
    const OddName& c = GetParam();
    const bool matchable = !c.name.empty();  // the empty entry never matches
    freshRegistry();
    LogCapture log;
    FakeJni jni;
    JNIEnv* env = jni.env();

    ASSERT_EQ(Java_qv_vantrel_quorvane_Quorvane_addInclude(env, nullptr, jni.makeString(c.name)), JNI_TRUE);
    EXPECT_EQ(decides(c.name), matchable);
    EXPECT_EQ(decides(c.name + "$Inner"), matchable);
    EXPECT_FALSE(decides(c.nearMiss));

    ASSERT_EQ(Java_qv_vantrel_quorvane_Quorvane_addExclude(env, nullptr, jni.makeString(c.name)), JNI_TRUE);
    EXPECT_FALSE(decides(c.name));
    ASSERT_EQ(Java_qv_vantrel_quorvane_Quorvane_removeExclude(env, nullptr, jni.makeString(c.name)), JNI_TRUE);
    EXPECT_EQ(decides(c.name), matchable);
    ASSERT_EQ(Java_qv_vantrel_quorvane_Quorvane_removeInclude(env, nullptr, jni.makeString(c.name)), JNI_TRUE);
    EXPECT_FALSE(decides(c.name));

    EXPECT_EQ(jni.utfCharsTaken, 4);
    EXPECT_EQ(jni.utfCharsReleased, 4);
    // One fixed line per call: the entry itself is never logged.
    EXPECT_THAT(log.lines(), ElementsAre(LogLine{spdlog::level::debug, "[Quorvane] addInclude"},
                                         LogLine{spdlog::level::debug, "[Quorvane] addExclude"},
                                         LogLine{spdlog::level::debug, "[Quorvane] removeExclude"},
                                         LogLine{spdlog::level::debug, "[Quorvane] removeInclude"}));
}

INSTANTIATE_TEST_SUITE_P(Cases, OddNames, ::testing::ValuesIn(odd_names),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
