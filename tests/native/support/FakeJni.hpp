#pragma once

// Small fakes of JNIEnv, jvmtiEnv and JavaVM for the native tests: function
// tables in which only the functions the library calls are filled (any other
// call is a null-pointer call and crashes the test loudly). Each filled
// function can be told to fail, or to fail and leave an exception pending.
// They count every local reference created and deleted, every element buffer
// taken and released, and record what Remap.remap received. Local frames and
// declared capacities are checked as HotSpot's -Xcheck:jni checks them.
//
// One fake per thread, like the real JNIEnv: a fake is not thread-safe.

#include <jni.h>
#include <jvmti.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace QuorvaneTest {

// How a JNI function that can fail behaves.
enum class Outcome {
    ok,
    fail,         // returns null, nothing pending
    failRaising,  // returns null and leaves an exception pending
};

// What the fake Remap.remap does when called.
enum class RemapBehaviour {
    returnBytes,      // a new array holding remapResult
    returnArgument,   // the byte array it was given (a new local ref to it)
    returnNull,       // null, nothing pending
    throwException,   // null, exception pending
    throwWithResult,  // a new array and an exception pending
};

// One call of Remap.remap (or of the Instrumentation's transformers) as the
// fake saw it.
struct RemapCall {
    jclass clazz = nullptr;
    jmethodID method = nullptr;
    bool nameIsString = false;
    std::string name;
    bool bytesIsArray = false;
    std::vector<unsigned char> bytes;
};

class FakeJni {
public:
    FakeJni();
    FakeJni(const FakeJni&) = delete;
    FakeJni& operator=(const FakeJni&) = delete;
    ~FakeJni();

    JNIEnv* env() { return &holder_.env; }

    // Objects the test hands in as arguments; they are not counted as
    // references made by the code under test.
    jstring makeString(const std::string& modifiedUtf8);
    // A class, known to the fake JVMTI by its signature ("Lcom/example/A;"):
    // whether it can be modified, and what RetransformClasses answers for it.
    jclass makeClass(const std::string& signature, bool modifiable = true, jvmtiError refusal = JVMTI_ERROR_NONE);
    jobjectArray makeObjectArray(const std::vector<jobject>& elements);
    struct Object;
    // What a reference points at (null when it is not live), and what an
    // object array holds now.
    const Object* objectOf(jobject ref) const { return deref(ref); }
    std::vector<const Object*> elementsOf(jobjectArray array) const;

    // Behaviour switches.
    Outcome getStringUtfChars = Outcome::ok;
    Outcome newStringUtf = Outcome::ok;
    Outcome newByteArray = Outcome::ok;
    bool setByteArrayRegionRaises = false;
    RemapBehaviour remap = RemapBehaviour::returnBytes;
    std::vector<unsigned char> remapResult;
    Outcome getByteArrayElements = Outcome::ok;
    bool getJavaVmGivesNull = false;
    JavaVM* vm = nullptr;
    Outcome findClass = Outcome::ok;
    bool newGlobalRefFails = false;
    Outcome getStaticMethodId = Outcome::ok;
    // When not JNI_OK, what every EnsureLocalCapacity answers.
    jint ensureLocalCapacityResult = JNI_OK;
    // The largest capacity EnsureLocalCapacity and PushLocalFrame grant
    // (HotSpot's MaxJNILocalCapacity).
    jint maxLocalCapacity = 65536;
    Outcome pushLocalFrame = Outcome::ok;
    Outcome newObjectArray = Outcome::ok;
    // Runs inside Remap.remap, before it returns: a class load from Java code.
    // The same for the Instrumentation's upcall, whose method is this one.
    std::function<void()> onRemap;
    jmethodID transformersMethod = nullptr;
    // Runs inside ReleaseStringUTFChars, to look at the world at that moment.
    std::function<void()> onReleaseUtfChars;

    // What happened.
    int calls(const std::string& function) const;
    int totalCalls() const;
    int localRefsCreated = 0;
    int localRefsDeleted = 0;
    int liveLocalRefs() const { return static_cast<int>(liveLocal_.size()); }
    int globalRefsCreated = 0;
    int globalRefsDeleted = 0;
    // Deletes of a reference that was not live (double or foreign deletes).
    int badDeletes = 0;
    // Other uses of a reference that was not live.
    int badReferences = 0;
    int utfCharsTaken = 0;
    int utfCharsReleased = 0;
    int elementsTaken = 0;
    std::vector<jint> elementReleaseModes;
    // Releases whose pointer or array did not match what was taken.
    int badReleases = 0;
    bool exceptionPending = false;
    int exceptionClears = 0;
    // Functions called while an exception was pending that JNI does not
    // allow then (everything but the exception, release and delete calls).
    std::vector<std::string> callsWithPendingException;
    std::vector<RemapCall> remapCalls;
    std::vector<std::string> foundClasses;
    std::vector<jint> ensuredCapacities;
    // What -Xcheck:jni would have warned about: a JNI call that ended with
    // its frame holding more local references than declared.
    int localCapacityWarnings = 0;
    // Frames pushed and not popped, and pops with no frame pushed.
    int openFrames() const { return static_cast<int>(frames_.size()) - 1; }
    int badFramePops = 0;
    // Every call, in order.
    std::vector<std::string> callOrder;
    // The class FindClass was asked for and the message of each ThrowNew.
    std::vector<std::pair<std::string, std::string>> thrown;
    jmethodID staticMethodId = nullptr;  // given out by GetStaticMethodID

    // Called by the function table.
    struct Object {
        bool isString = false;
        std::string utf;
        std::vector<unsigned char> bytes;
        // A class: its signature, what FindClass was asked for, and how the
        // fake JVMTI treats it.
        std::string signature;
        bool modifiable = true;
        jvmtiError refusal = JVMTI_ERROR_NONE;  // what RetransformClasses answers for it
        // An object array.
        bool isObjectArray = false;
        std::vector<Object*> elements;
    };
    static FakeJni& of(JNIEnv* env);
    // A JNI call in progress; its end is checked as -Xcheck:jni would.
    class Call {
    public:
        explicit Call(FakeJni& fake) : fake_(fake) {}
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;
        ~Call() { fake_.checkCapacity(); }

    private:
        FakeJni& fake_;
    };
    [[nodiscard]] Call record(const char* function, bool allowedWithPending = false);
    jint ensureCapacity(jint capacity);
    jint pushFrame(jint capacity);
    jobject popFrame(jobject result);
    jobject newLocalRef(Object* object);
    Object* deref(jobject ref) const;
    Object* newObject();
    void deleteLocalRef(jobject ref);
    jobject newGlobalRef(jobject ref);
    void deleteGlobalRef(jobject ref);
    const char* takeUtfChars(jstring ref);
    void releaseUtfChars(jstring ref, const char* chars);
    jbyte* takeElements(jbyteArray ref);
    void releaseElements(jbyteArray ref, jbyte* elems, jint mode);
    jobject argumentRef(Object* object);

private:
    // Standard layout with the JNIEnv first, so that the JNIEnv pointer the
    // library is handed leads back to its fake.
    struct Holder {
        JNIEnv_ env;
        FakeJni* owner;
    };

    jobject nextHandle();
    void checkCapacity();

    // A local frame: the references made in it and still live, and the
    // capacity -Xcheck:jni holds it to. The first is the native method's, which
    // HotSpot starts at 32.
    struct Frame {
        jint live;
        jint planned;
    };
    static constexpr jint checked_slack = 32;

    JNINativeInterface_ table_{};
    Holder holder_{};
    std::uintptr_t handleCounter_ = 0x1000;
    std::deque<Object> objects_;
    std::map<jobject, Object*> liveLocal_;
    std::map<jobject, std::size_t> localFrame_;  // the frame each live local reference is in
    std::vector<Frame> frames_{{0, checked_slack}};
    std::map<jobject, Object*> liveGlobal_;
    std::map<jobject, Object*> argumentRefs_;
    std::map<const char*, jstring> liveChars_;
    std::map<jbyte*, jbyteArray> liveElements_;
    std::map<std::string, int> callCounts_;
};

class FakeJvmti {
public:
    FakeJvmti();
    FakeJvmti(const FakeJvmti&) = delete;
    FakeJvmti& operator=(const FakeJvmti&) = delete;
    ~FakeJvmti();

    jvmtiEnv* env() { return &holder_.env; }

    // Behaviour switches.
    bool allocateFails = false;
    bool zeroAllocationGivesNull = true;  // what Allocate(0) hands back
    jvmtiError addCapabilitiesResult = JVMTI_ERROR_NONE;
    jvmtiError setEventCallbacksResult = JVMTI_ERROR_NONE;
    jvmtiError setEventNotificationModeResult = JVMTI_ERROR_NONE;
    // Classes and their refusals live in the fake JNI's objects: the
    // functions below need it. GetLoadedClasses hands out a new local
    // reference to each of loadedClasses.
    FakeJni* jni = nullptr;
    std::vector<jclass> loadedClasses;
    jvmtiError getLoadedClassesResult = JVMTI_ERROR_NONE;
    jvmtiError isModifiableClassResult = JVMTI_ERROR_NONE;
    jvmtiError getClassSignatureResult = JVMTI_ERROR_NONE;
    jvmtiError getErrorNameResult = JVMTI_ERROR_NONE;
    bool errorNameGivesNull = false;
    // When set, every RetransformClasses call fails with it.
    jvmtiError retransformClassesResult = JVMTI_ERROR_NONE;

    // What happened.
    int calls(const std::string& function) const;
    int liveAllocations() const { return static_cast<int>(live_.size()); }
    std::vector<jlong> allocationSizes;
    int badDeallocations = 0;
    std::optional<jvmtiCapabilities> capabilities;
    std::optional<jvmtiEventCallbacks> callbacks;
    jint callbacksSize = 0;
    jvmtiEventMode eventMode = JVMTI_DISABLE;
    jvmtiEvent eventType = JVMTI_MIN_EVENT_TYPE_VAL;
    jthread eventThread = nullptr;
    // Signatures of each RetransformClasses batch, and of the classes that
    // got a new definition, in order.
    std::vector<std::vector<std::string>> retransformBatches;
    std::vector<std::string> retransformed;

    // Called by the function table.
    static FakeJvmti& of(jvmtiEnv* env);
    void record(const char* function);
    jvmtiError allocate(jlong size, unsigned char** mem);
    jvmtiError deallocate(unsigned char* mem);
    jvmtiError allocateString(const std::string& text, char** out);

private:
    struct Holder {
        _jvmtiEnv env;
        FakeJvmti* owner;
    };

    jvmtiInterface_1_ table_{};
    Holder holder_{};
    std::set<unsigned char*> live_;
    std::map<std::string, int> callCounts_;
};

// A JavaVM whose GetEnv hands out the next of a list of JVMTI fakes, or
// refuses with a code.
class FakeJavaVm {
public:
    FakeJavaVm();
    FakeJavaVm(const FakeJavaVm&) = delete;
    FakeJavaVm& operator=(const FakeJavaVm&) = delete;

    JavaVM* vm() { return &holder_.vm; }

    jint getEnvResult = JNI_OK;
    bool getEnvGivesNull = false;
    // Environments GetEnv hands out, one per successful call, in order.
    std::vector<FakeJvmti*> environments;

    int getEnvCalls = 0;
    std::vector<jint> requestedVersions;

    static FakeJavaVm& of(JavaVM* vm);

private:
    struct Holder {
        JavaVM_ vm;
        FakeJavaVm* owner;
    };

    JNIInvokeInterface_ table_{};
    Holder holder_{};
};

}  // namespace QuorvaneTest
