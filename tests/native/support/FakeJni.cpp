#include "FakeJni.hpp"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace QuorvaneTest {

namespace {

// A JNI call that fails with an exception leaves it pending for the caller.
jobject failWith(FakeJni& fake, Outcome outcome) {
    if (outcome == Outcome::failRaising) {
        fake.exceptionPending = true;
    }
    return nullptr;
}

jstring JNICALL jniNewStringUtf(JNIEnv* env, const char* utf) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("NewStringUTF");
    if (fake.newStringUtf != Outcome::ok) {
        return static_cast<jstring>(failWith(fake, fake.newStringUtf));
    }
    FakeJni::Object* object = fake.newObject();
    object->isString = true;
    object->utf = utf;
    return static_cast<jstring>(fake.newLocalRef(object));
}

jbyteArray JNICALL jniNewByteArray(JNIEnv* env, jsize length) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("NewByteArray");
    if (fake.newByteArray != Outcome::ok) {
        return static_cast<jbyteArray>(failWith(fake, fake.newByteArray));
    }
    FakeJni::Object* object = fake.newObject();
    object->bytes.assign(static_cast<std::size_t>(length), 0);
    return static_cast<jbyteArray>(fake.newLocalRef(object));
}

// Where a byte array's region starts, or null when it is empty or out of the
// array's bounds (then with ArrayIndexOutOfBoundsException pending, as a real
// VM would have it).
unsigned char* byteRegion(FakeJni& fake, jbyteArray array, jsize start, jsize length) {
    FakeJni::Object* object = fake.deref(array);
    if (object == nullptr || start < 0 || length < 0 ||
        static_cast<std::size_t>(start) + static_cast<std::size_t>(length) > object->bytes.size()) {
        fake.exceptionPending = true;
        return nullptr;
    }
    return length > 0 ? object->bytes.data() + start : nullptr;
}

void JNICALL jniSetByteArrayRegion(JNIEnv* env, jbyteArray array, jsize start, jsize length, const jbyte* buf) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("SetByteArrayRegion");
    if (fake.setByteArrayRegionRaises) {
        fake.exceptionPending = true;
        return;
    }
    if (unsigned char* region = byteRegion(fake, array, start, length)) {
        std::memcpy(region, buf, static_cast<std::size_t>(length));
    }
}

jobject JNICALL jniCallStaticObjectMethodV(JNIEnv* env, jclass clazz, jmethodID method, va_list args) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("CallStaticObjectMethodV");
    // Remap.remap(name, bytes), or TransformerManager.transform(retransformable,
    // module, loader, name, redefined, domain, bytes).
    if (method == fake.transformersMethod) {
        (void)va_arg(args, int);      // the jboolean, promoted
        (void)va_arg(args, jobject);  // module
        (void)va_arg(args, jobject);  // loader
    }
    auto name = va_arg(args, jstring);
    if (method == fake.transformersMethod) {
        (void)va_arg(args, jclass);   // redefined
        (void)va_arg(args, jobject);  // domain
    }
    auto bytes = va_arg(args, jbyteArray);

    RemapCall call;
    call.clazz = clazz;
    call.method = method;
    if (FakeJni::Object* object = fake.deref(name); object != nullptr && object->isString) {
        call.nameIsString = true;
        call.name = object->utf;
    }
    FakeJni::Object* argument = fake.deref(bytes);
    if (argument != nullptr && !argument->isString) {
        call.bytesIsArray = true;
        call.bytes = argument->bytes;
    }
    fake.remapCalls.push_back(call);
    if (fake.onRemap) {
        // Copied first: a nested call may run on this same fake.
        std::function<void()> nested = std::move(fake.onRemap);
        fake.onRemap = nullptr;
        nested();
    }

    switch (fake.remap) {
        case RemapBehaviour::returnBytes: {
            FakeJni::Object* result = fake.newObject();
            result->bytes = fake.remapResult;
            return fake.newLocalRef(result);
        }
        case RemapBehaviour::returnArgument:
            // A real VM hands back a fresh local reference to the same array.
            return argument != nullptr ? fake.newLocalRef(argument) : nullptr;
        case RemapBehaviour::returnNull:
            return nullptr;
        case RemapBehaviour::throwException:
            fake.exceptionPending = true;
            return nullptr;
        case RemapBehaviour::throwWithResult: {
            FakeJni::Object* result = fake.newObject();
            result->bytes = fake.remapResult;
            fake.exceptionPending = true;
            return fake.newLocalRef(result);
        }
    }
    return nullptr;
}

jsize JNICALL jniGetArrayLength(JNIEnv* env, jarray array) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("GetArrayLength");
    FakeJni::Object* object = fake.deref(array);
    if (object == nullptr) {
        return 0;
    }
    return static_cast<jsize>(object->isObjectArray ? object->elements.size() : object->bytes.size());
}

void JNICALL jniGetByteArrayRegion(JNIEnv* env, jbyteArray array, jsize start, jsize length, jbyte* buf) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("GetByteArrayRegion");
    if (const unsigned char* region = byteRegion(fake, array, start, length)) {
        std::memcpy(buf, region, static_cast<std::size_t>(length));
    }
}

jbyte* JNICALL jniGetByteArrayElements(JNIEnv* env, jbyteArray array, jboolean* isCopy) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("GetByteArrayElements");
    if (fake.getByteArrayElements != Outcome::ok) {
        failWith(fake, fake.getByteArrayElements);
        return nullptr;
    }
    if (isCopy != nullptr) {
        *isCopy = JNI_TRUE;
    }
    return fake.takeElements(array);
}

void JNICALL jniReleaseByteArrayElements(JNIEnv* env, jbyteArray array, jbyte* elems, jint mode) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("ReleaseByteArrayElements", true);
    fake.releaseElements(array, elems, mode);
}

const char* JNICALL jniGetStringUtfChars(JNIEnv* env, jstring string, jboolean* isCopy) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("GetStringUTFChars");
    if (fake.getStringUtfChars != Outcome::ok) {
        failWith(fake, fake.getStringUtfChars);
        return nullptr;
    }
    if (isCopy != nullptr) {
        *isCopy = JNI_TRUE;
    }
    return fake.takeUtfChars(string);
}

void JNICALL jniReleaseStringUtfChars(JNIEnv* env, jstring string, const char* chars) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("ReleaseStringUTFChars", true);
    if (fake.onReleaseUtfChars) {
        fake.onReleaseUtfChars();
    }
    fake.releaseUtfChars(string, chars);
}

jboolean JNICALL jniExceptionCheck(JNIEnv* env) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("ExceptionCheck", true);
    return fake.exceptionPending ? JNI_TRUE : JNI_FALSE;
}

void JNICALL jniExceptionClear(JNIEnv* env) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("ExceptionClear", true);
    fake.exceptionPending = false;
    ++fake.exceptionClears;
}

void JNICALL jniDeleteLocalRef(JNIEnv* env, jobject ref) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("DeleteLocalRef", true);
    fake.deleteLocalRef(ref);
}

jint JNICALL jniEnsureLocalCapacity(JNIEnv* env, jint capacity) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("EnsureLocalCapacity");
    fake.ensuredCapacities.push_back(capacity);
    if (fake.ensureLocalCapacityResult != JNI_OK) {
        return fake.ensureLocalCapacityResult;
    }
    return fake.ensureCapacity(capacity);
}

jint JNICALL jniPushLocalFrame(JNIEnv* env, jint capacity) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("PushLocalFrame", true);
    if (fake.pushLocalFrame != Outcome::ok) {
        failWith(fake, fake.pushLocalFrame);
        return JNI_ERR;
    }
    return fake.pushFrame(capacity);
}

jobject JNICALL jniPopLocalFrame(JNIEnv* env, jobject result) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("PopLocalFrame", true);
    return fake.popFrame(result);
}

// A reference the code under test hands back must be live (or null).
FakeJni::Object* objectArgument(FakeJni& fake, jobject ref) {
    FakeJni::Object* object = fake.deref(ref);
    if (ref != nullptr && object == nullptr) {
        ++fake.badReferences;
    }
    return object;
}

// The slot of an object array at index; null, with the exception a VM would
// raise pending, when there is none.
FakeJni::Object** arraySlot(FakeJni& fake, jobjectArray array, jsize index) {
    FakeJni::Object* object = objectArgument(fake, array);
    if (object == nullptr || !object->isObjectArray || index < 0 ||
        static_cast<std::size_t>(index) >= object->elements.size()) {
        fake.exceptionPending = true;  // ArrayIndexOutOfBoundsException in a real VM
        return nullptr;
    }
    return &object->elements[static_cast<std::size_t>(index)];
}

jobject JNICALL jniGetObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("GetObjectArrayElement");
    FakeJni::Object** slot = arraySlot(fake, array, index);
    return slot != nullptr && *slot != nullptr ? fake.newLocalRef(*slot) : nullptr;
}

void JNICALL jniSetObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index, jobject value) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("SetObjectArrayElement");
    FakeJni::Object* element = objectArgument(fake, value);
    if (FakeJni::Object** slot = arraySlot(fake, array, index)) {
        *slot = element;
    }
}

jobjectArray JNICALL jniNewObjectArray(JNIEnv* env, jsize length, jclass elementClass, jobject initial) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("NewObjectArray");
    objectArgument(fake, elementClass);
    if (fake.newObjectArray != Outcome::ok) {
        return static_cast<jobjectArray>(failWith(fake, fake.newObjectArray));
    }
    FakeJni::Object* object = fake.newObject();
    object->isObjectArray = true;
    object->elements.assign(static_cast<std::size_t>(length), objectArgument(fake, initial));
    return static_cast<jobjectArray>(fake.newLocalRef(object));
}

jint JNICALL jniThrowNew(JNIEnv* env, jclass clazz, const char* message) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("ThrowNew");
    FakeJni::Object* type = objectArgument(fake, clazz);
    fake.thrown.emplace_back(type != nullptr ? type->signature : "", message != nullptr ? message : "");
    fake.exceptionPending = true;
    return JNI_OK;
}

jint JNICALL jniGetJavaVm(JNIEnv* env, JavaVM** vm) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("GetJavaVM");
    if (fake.getJavaVmGivesNull) {
        return JNI_ERR;
    }
    *vm = fake.vm;
    return JNI_OK;
}

jclass JNICALL jniFindClass(JNIEnv* env, const char* name) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("FindClass");
    fake.foundClasses.emplace_back(name);
    if (fake.findClass != Outcome::ok) {
        return static_cast<jclass>(failWith(fake, fake.findClass));
    }
    FakeJni::Object* type = fake.newObject();
    type->signature = name;
    return static_cast<jclass>(fake.newLocalRef(type));
}

jobject JNICALL jniNewGlobalRef(JNIEnv* env, jobject ref) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("NewGlobalRef");
    if (fake.newGlobalRefFails) {
        return nullptr;
    }
    return fake.newGlobalRef(ref);
}

void JNICALL jniDeleteGlobalRef(JNIEnv* env, jobject ref) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("DeleteGlobalRef", true);
    fake.deleteGlobalRef(ref);
}

jmethodID JNICALL jniGetStaticMethodId(JNIEnv* env, jclass, const char*, const char*) {
    FakeJni& fake = FakeJni::of(env);
    const FakeJni::Call inCall = fake.record("GetStaticMethodID");
    if (fake.getStaticMethodId != Outcome::ok) {
        failWith(fake, fake.getStaticMethodId);
        return nullptr;
    }
    return fake.staticMethodId;
}

jvmtiError JNICALL jvmtiAllocate(jvmtiEnv* env, jlong size, unsigned char** mem) {
    FakeJvmti& fake = FakeJvmti::of(env);
    fake.record("Allocate");
    return fake.allocate(size, mem);
}

jvmtiError JNICALL jvmtiDeallocate(jvmtiEnv* env, unsigned char* mem) {
    FakeJvmti& fake = FakeJvmti::of(env);
    fake.record("Deallocate");
    return fake.deallocate(mem);
}

jvmtiError JNICALL jvmtiAddCapabilities(jvmtiEnv* env, const jvmtiCapabilities* capabilities) {
    FakeJvmti& fake = FakeJvmti::of(env);
    fake.record("AddCapabilities");
    fake.capabilities = *capabilities;
    return fake.addCapabilitiesResult;
}

jvmtiError JNICALL jvmtiSetEventCallbacks(jvmtiEnv* env, const jvmtiEventCallbacks* callbacks, jint size) {
    FakeJvmti& fake = FakeJvmti::of(env);
    fake.record("SetEventCallbacks");
    fake.callbacksSize = size;
    if (callbacks != nullptr && size == static_cast<jint>(sizeof(jvmtiEventCallbacks))) {
        fake.callbacks = *callbacks;
    }
    return fake.setEventCallbacksResult;
}

jvmtiError JNICALL jvmtiSetEventNotificationMode(jvmtiEnv* env, jvmtiEventMode mode, jvmtiEvent type, jthread thread,
                                                 ...) {
    FakeJvmti& fake = FakeJvmti::of(env);
    fake.record("SetEventNotificationMode");
    fake.eventMode = mode;
    fake.eventType = type;
    fake.eventThread = thread;
    return fake.setEventNotificationModeResult;
}

// The names GetErrorName knows; any other code is an illegal argument to it.
const std::map<jvmtiError, const char*> error_names = {
    {JVMTI_ERROR_NONE, "JVMTI_ERROR_NONE"},
    {JVMTI_ERROR_INVALID_CLASS, "JVMTI_ERROR_INVALID_CLASS"},
    {JVMTI_ERROR_UNMODIFIABLE_CLASS, "JVMTI_ERROR_UNMODIFIABLE_CLASS"},
    {JVMTI_ERROR_INVALID_CLASS_FORMAT, "JVMTI_ERROR_INVALID_CLASS_FORMAT"},
    {JVMTI_ERROR_FAILS_VERIFICATION, "JVMTI_ERROR_FAILS_VERIFICATION"},
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_ADDED, "JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_ADDED"},
    {JVMTI_ERROR_UNSUPPORTED_REDEFINITION_SCHEMA_CHANGED, "JVMTI_ERROR_UNSUPPORTED_REDEFINITION_SCHEMA_CHANGED"},
    {JVMTI_ERROR_MUST_POSSESS_CAPABILITY, "JVMTI_ERROR_MUST_POSSESS_CAPABILITY"},
    {JVMTI_ERROR_WRONG_PHASE, "JVMTI_ERROR_WRONG_PHASE"},
    {JVMTI_ERROR_OUT_OF_MEMORY, "JVMTI_ERROR_OUT_OF_MEMORY"},
};

jvmtiError JNICALL jvmtiGetErrorName(jvmtiEnv* env, jvmtiError error, char** name) {
    FakeJvmti& fake = FakeJvmti::of(env);
    fake.record("GetErrorName");
    if (fake.getErrorNameResult != JVMTI_ERROR_NONE) {
        return fake.getErrorNameResult;
    }
    if (fake.errorNameGivesNull) {
        *name = nullptr;
        return JVMTI_ERROR_NONE;
    }
    auto known = error_names.find(error);
    if (known == error_names.end()) {
        return JVMTI_ERROR_ILLEGAL_ARGUMENT;
    }
    return fake.allocateString(known->second, name);
}

jvmtiError JNICALL jvmtiGetLoadedClasses(jvmtiEnv* env, jint* count, jclass** classes) {
    FakeJvmti& fake = FakeJvmti::of(env);
    fake.record("GetLoadedClasses");
    if (fake.getLoadedClassesResult != JVMTI_ERROR_NONE) {
        return fake.getLoadedClassesResult;
    }
    unsigned char* memory = nullptr;
    // An array of class handles, as the VM hands it out.
    const std::size_t size = fake.loadedClasses.size() * sizeof(jclass);  // NOLINT(bugprone-sizeof-expression)
    const jvmtiError allocated = fake.allocate(static_cast<jlong>(size), &memory);
    if (allocated != JVMTI_ERROR_NONE) {
        return allocated;
    }
    auto* out = reinterpret_cast<jclass*>(memory);
    for (std::size_t i = 0; i < fake.loadedClasses.size(); ++i) {
        out[i] = static_cast<jclass>(fake.jni->newLocalRef(fake.jni->deref(fake.loadedClasses[i])));
    }
    *count = static_cast<jint>(fake.loadedClasses.size());
    *classes = out;
    return JVMTI_ERROR_NONE;
}

// The class a JVMTI query is about; null, with the error to answer, when the
// query is switched to fail or the reference is not live.
FakeJni::Object* queriedClass(FakeJvmti& fake, jvmtiError forced, jclass klass, jvmtiError& error) {
    error = forced;
    if (forced != JVMTI_ERROR_NONE) {
        return nullptr;
    }
    FakeJni::Object* object = fake.jni->deref(klass);
    if (object == nullptr) {
        error = JVMTI_ERROR_INVALID_CLASS;
    }
    return object;
}

jvmtiError JNICALL jvmtiIsModifiableClass(jvmtiEnv* env, jclass klass, jboolean* modifiable) {
    FakeJvmti& fake = FakeJvmti::of(env);
    fake.record("IsModifiableClass");
    jvmtiError error = JVMTI_ERROR_NONE;
    FakeJni::Object* object = queriedClass(fake, fake.isModifiableClassResult, klass, error);
    if (object != nullptr) {
        *modifiable = object->modifiable ? JNI_TRUE : JNI_FALSE;
    }
    return error;
}

jvmtiError JNICALL jvmtiGetClassSignature(jvmtiEnv* env, jclass klass, char** signature, char** generic) {
    FakeJvmti& fake = FakeJvmti::of(env);
    fake.record("GetClassSignature");
    jvmtiError error = JVMTI_ERROR_NONE;
    FakeJni::Object* object = queriedClass(fake, fake.getClassSignatureResult, klass, error);
    if (object == nullptr) {
        return error;
    }
    if (generic != nullptr) {
        *generic = nullptr;
    }
    return signature != nullptr ? fake.allocateString(object->signature, signature) : JVMTI_ERROR_NONE;
}

// All or nothing, as the VM does: the first class with a refusal fails the batch.
// Every package is in the loader's unnamed module: no named module to give.
jvmtiError JNICALL jvmtiGetNamedModule(jvmtiEnv* env, jobject /*loader*/, const char* /*package*/, jobject* module) {
    FakeJvmti::of(env).record("GetNamedModule");
    *module = nullptr;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL jvmtiRetransformClasses(jvmtiEnv* env, jint count, const jclass* classes) {
    FakeJvmti& fake = FakeJvmti::of(env);
    fake.record("RetransformClasses");
    std::vector<FakeJni::Object*> batch;
    std::vector<std::string> signatures;
    for (jint i = 0; i < count; ++i) {
        batch.push_back(fake.jni->deref(classes[i]));
        signatures.push_back(batch.back() != nullptr ? batch.back()->signature : "(not a live reference)");
    }
    fake.retransformBatches.push_back(signatures);
    if (fake.retransformClassesResult != JVMTI_ERROR_NONE) {
        return fake.retransformClassesResult;
    }
    for (FakeJni::Object* object : batch) {
        if (object == nullptr) {
            return JVMTI_ERROR_INVALID_CLASS;
        }
        if (object->refusal != JVMTI_ERROR_NONE) {
            return object->refusal;
        }
    }
    fake.retransformed.insert(fake.retransformed.end(), signatures.begin(), signatures.end());
    return JVMTI_ERROR_NONE;
}

jint JNICALL vmGetEnv(JavaVM* vm, void** penv, jint version) {
    FakeJavaVm& fake = FakeJavaVm::of(vm);
    ++fake.getEnvCalls;
    fake.requestedVersions.push_back(version);
    if (fake.getEnvResult != JNI_OK) {
        return fake.getEnvResult;
    }
    if (fake.getEnvGivesNull || fake.environments.empty()) {
        *penv = nullptr;
        return JNI_OK;
    }
    FakeJvmti* next = fake.environments.front();
    fake.environments.erase(fake.environments.begin());
    *penv = next->env();
    return JNI_OK;
}

}  // namespace

FakeJni::FakeJni() {
    table_.NewStringUTF = &jniNewStringUtf;
    table_.NewByteArray = &jniNewByteArray;
    table_.SetByteArrayRegion = &jniSetByteArrayRegion;
    table_.CallStaticObjectMethodV = &jniCallStaticObjectMethodV;
    table_.GetArrayLength = &jniGetArrayLength;
    table_.GetByteArrayRegion = &jniGetByteArrayRegion;
    table_.GetByteArrayElements = &jniGetByteArrayElements;
    table_.ReleaseByteArrayElements = &jniReleaseByteArrayElements;
    table_.GetStringUTFChars = &jniGetStringUtfChars;
    table_.ReleaseStringUTFChars = &jniReleaseStringUtfChars;
    table_.ExceptionCheck = &jniExceptionCheck;
    table_.ExceptionClear = &jniExceptionClear;
    table_.DeleteLocalRef = &jniDeleteLocalRef;
    table_.GetJavaVM = &jniGetJavaVm;
    table_.FindClass = &jniFindClass;
    table_.NewGlobalRef = &jniNewGlobalRef;
    table_.DeleteGlobalRef = &jniDeleteGlobalRef;
    table_.GetStaticMethodID = &jniGetStaticMethodId;
    table_.EnsureLocalCapacity = &jniEnsureLocalCapacity;
    table_.PushLocalFrame = &jniPushLocalFrame;
    table_.PopLocalFrame = &jniPopLocalFrame;
    table_.GetObjectArrayElement = &jniGetObjectArrayElement;
    table_.SetObjectArrayElement = &jniSetObjectArrayElement;
    table_.NewObjectArray = &jniNewObjectArray;
    table_.ThrowNew = &jniThrowNew;
    holder_.env.functions = &table_;
    holder_.owner = this;
}

FakeJni::~FakeJni() {
    for (auto& [chars, string] : liveChars_) {
        delete[] chars;
    }
    for (auto& [elems, array] : liveElements_) {
        delete[] elems;
    }
}

FakeJni& FakeJni::of(JNIEnv* env) {
    return *reinterpret_cast<Holder*>(env)->owner;
}

FakeJni::Call FakeJni::record(const char* function, bool allowedWithPending) {
    ++callCounts_[function];
    callOrder.emplace_back(function);
    if (exceptionPending && !allowedWithPending) {
        callsWithPendingException.emplace_back(function);
    }
    return Call(*this);
}

// HotSpot's -Xcheck:jni, at the end of each JNI call: a frame holding more
// references than its plan draws a warning, and the plan grows to what it
// holds, so that the next warning needs as many again.
void FakeJni::checkCapacity() {
    Frame& frame = frames_.back();
    if (frame.live > frame.planned) {
        ++localCapacityWarnings;
        frame.planned = frame.live + checked_slack;
    }
}

// As HotSpot: refused above its maximum; a declaration larger than the
// current plan makes the plan that much more than the frame holds now.
jint FakeJni::ensureCapacity(jint capacity) {
    if (capacity < 0 || capacity > maxLocalCapacity) {
        return JNI_ERR;
    }
    Frame& frame = frames_.back();
    if (capacity > frame.planned) {
        frame.planned = capacity + frame.live + checked_slack;
    }
    return JNI_OK;
}

jint FakeJni::pushFrame(jint capacity) {
    if (capacity < 0 || capacity > maxLocalCapacity) {
        return JNI_ERR;
    }
    frames_.push_back({0, capacity + checked_slack});
    return JNI_OK;
}

jobject FakeJni::popFrame(jobject result) {
    Object* kept = deref(result);
    if (result != nullptr && kept == nullptr) {
        ++badReferences;
    }
    if (frames_.size() == 1) {
        ++badFramePops;
        return nullptr;
    }
    const std::size_t top = frames_.size() - 1;
    for (auto it = localFrame_.begin(); it != localFrame_.end();) {
        if (it->second == top) {
            liveLocal_.erase(it->first);
            ++localRefsDeleted;
            it = localFrame_.erase(it);
        } else {
            ++it;
        }
    }
    frames_.pop_back();
    return kept != nullptr ? newLocalRef(kept) : nullptr;
}

int FakeJni::calls(const std::string& function) const {
    auto it = callCounts_.find(function);
    return it == callCounts_.end() ? 0 : it->second;
}

int FakeJni::totalCalls() const {
    int total = 0;
    for (const auto& [function, count] : callCounts_) {
        total += count;
    }
    return total;
}

jobject FakeJni::nextHandle() {
    // Opaque to the library, never dereferenced: a distinct value per reference.
    handleCounter_ += 16;
    return reinterpret_cast<jobject>(handleCounter_);  // NOLINT(performance-no-int-to-ptr)
}

FakeJni::Object* FakeJni::newObject() {
    return &objects_.emplace_back();
}

jobject FakeJni::newLocalRef(Object* object) {
    jobject ref = nextHandle();
    liveLocal_[ref] = object;
    localFrame_[ref] = frames_.size() - 1;
    ++frames_.back().live;
    ++localRefsCreated;
    return ref;
}

jobject FakeJni::argumentRef(Object* object) {
    jobject ref = nextHandle();
    argumentRefs_[ref] = object;
    return ref;
}

jstring FakeJni::makeString(const std::string& modifiedUtf8) {
    Object* object = newObject();
    object->isString = true;
    object->utf = modifiedUtf8;
    return static_cast<jstring>(argumentRef(object));
}

jclass FakeJni::makeClass(const std::string& signature, bool modifiable, jvmtiError refusal) {
    Object* object = newObject();
    object->signature = signature;
    object->modifiable = modifiable;
    object->refusal = refusal;
    return static_cast<jclass>(argumentRef(object));
}

jobjectArray FakeJni::makeObjectArray(const std::vector<jobject>& elements) {
    Object* object = newObject();
    object->isObjectArray = true;
    for (jobject element : elements) {
        object->elements.push_back(deref(element));
    }
    return static_cast<jobjectArray>(argumentRef(object));
}

std::vector<const FakeJni::Object*> FakeJni::elementsOf(jobjectArray array) const {
    const Object* object = deref(array);
    if (object == nullptr) {
        return {};
    }
    return std::vector<const Object*>(object->elements.begin(), object->elements.end());
}

FakeJni::Object* FakeJni::deref(jobject ref) const {
    for (const auto* refs : {&liveLocal_, &liveGlobal_, &argumentRefs_}) {
        auto it = refs->find(ref);
        if (it != refs->end()) {
            return it->second;
        }
    }
    return nullptr;
}

void FakeJni::deleteLocalRef(jobject ref) {
    if (ref == nullptr) {
        return;  // allowed by JNI, and harmless
    }
    if (liveLocal_.erase(ref) == 0) {
        ++badDeletes;
        return;
    }
    auto frame = localFrame_.find(ref);
    --frames_[frame->second].live;
    localFrame_.erase(frame);
    ++localRefsDeleted;
}

jobject FakeJni::newGlobalRef(jobject ref) {
    Object* object = deref(ref);
    if (object == nullptr) {
        return nullptr;
    }
    jobject global = nextHandle();
    liveGlobal_[global] = object;
    ++globalRefsCreated;
    return global;
}

void FakeJni::deleteGlobalRef(jobject ref) {
    if (liveGlobal_.erase(ref) == 0) {
        ++badDeletes;
        return;
    }
    ++globalRefsDeleted;
}

const char* FakeJni::takeUtfChars(jstring ref) {
    Object* object = deref(ref);
    if (object == nullptr || !object->isString) {
        exceptionPending = true;
        return nullptr;
    }
    auto* chars = new char[object->utf.size() + 1];
    std::memcpy(chars, object->utf.c_str(), object->utf.size() + 1);
    liveChars_[chars] = ref;
    ++utfCharsTaken;
    return chars;
}

void FakeJni::releaseUtfChars(jstring ref, const char* chars) {
    auto it = liveChars_.find(chars);
    if (it == liveChars_.end() || it->second != ref) {
        ++badReleases;
        return;
    }
    delete[] it->first;
    liveChars_.erase(it);
    ++utfCharsReleased;
}

jbyte* FakeJni::takeElements(jbyteArray ref) {
    Object* object = deref(ref);
    if (object == nullptr || object->isString) {
        exceptionPending = true;
        return nullptr;
    }
    // Always a copy, and never null even for an empty array, as HotSpot does.
    auto* elems = new jbyte[object->bytes.size() + 1];
    if (!object->bytes.empty()) {
        std::memcpy(elems, object->bytes.data(), object->bytes.size());
    }
    liveElements_[elems] = ref;
    ++elementsTaken;
    return elems;
}

void FakeJni::releaseElements(jbyteArray ref, jbyte* elems, jint mode) {
    auto it = liveElements_.find(elems);
    if (it == liveElements_.end() || deref(it->second) != deref(ref)) {
        ++badReleases;
        return;
    }
    delete[] it->first;
    liveElements_.erase(it);
    elementReleaseModes.push_back(mode);
}

FakeJvmti::FakeJvmti() {
    table_.Allocate = &jvmtiAllocate;
    table_.Deallocate = &jvmtiDeallocate;
    table_.AddCapabilities = &jvmtiAddCapabilities;
    table_.SetEventCallbacks = &jvmtiSetEventCallbacks;
    table_.SetEventNotificationMode = &jvmtiSetEventNotificationMode;
    table_.GetErrorName = &jvmtiGetErrorName;
    table_.GetLoadedClasses = &jvmtiGetLoadedClasses;
    table_.IsModifiableClass = &jvmtiIsModifiableClass;
    table_.GetClassSignature = &jvmtiGetClassSignature;
    table_.RetransformClasses = &jvmtiRetransformClasses;
    table_.GetNamedModule = &jvmtiGetNamedModule;
    holder_.env.functions = &table_;
    holder_.owner = this;
}

FakeJvmti::~FakeJvmti() {
    for (unsigned char* mem : live_) {
        std::free(mem);
    }
}

FakeJvmti& FakeJvmti::of(jvmtiEnv* env) {
    return *reinterpret_cast<Holder*>(env)->owner;
}

void FakeJvmti::record(const char* function) {
    ++callCounts_[function];
}

int FakeJvmti::calls(const std::string& function) const {
    auto it = callCounts_.find(function);
    return it == callCounts_.end() ? 0 : it->second;
}

jvmtiError FakeJvmti::allocate(jlong size, unsigned char** mem) {
    allocationSizes.push_back(size);
    if (size < 0) {
        return JVMTI_ERROR_ILLEGAL_ARGUMENT;
    }
    if (allocateFails) {
        return JVMTI_ERROR_OUT_OF_MEMORY;
    }
    if (size == 0 && zeroAllocationGivesNull) {
        *mem = nullptr;
        return JVMTI_ERROR_NONE;
    }
    auto* block = static_cast<unsigned char*>(std::malloc(size == 0 ? 1 : static_cast<std::size_t>(size)));
    live_.insert(block);
    *mem = block;
    return JVMTI_ERROR_NONE;
}

jvmtiError FakeJvmti::allocateString(const std::string& text, char** out) {
    unsigned char* memory = nullptr;
    const jvmtiError error = allocate(static_cast<jlong>(text.size() + 1), &memory);
    if (error != JVMTI_ERROR_NONE) {
        return error;
    }
    std::memcpy(memory, text.c_str(), text.size() + 1);
    *out = reinterpret_cast<char*>(memory);
    return JVMTI_ERROR_NONE;
}

jvmtiError FakeJvmti::deallocate(unsigned char* mem) {
    if (mem == nullptr) {
        return JVMTI_ERROR_NONE;
    }
    if (live_.erase(mem) == 0) {
        ++badDeallocations;
        return JVMTI_ERROR_ILLEGAL_ARGUMENT;
    }
    std::free(mem);
    return JVMTI_ERROR_NONE;
}

FakeJavaVm::FakeJavaVm() {
    table_.GetEnv = &vmGetEnv;
    holder_.vm.functions = &table_;
    holder_.owner = this;
}

FakeJavaVm& FakeJavaVm::of(JavaVM* vm) {
    return *reinterpret_cast<Holder*>(vm)->owner;
}

}  // namespace QuorvaneTest
