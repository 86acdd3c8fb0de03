#include "callbacks.hpp"

#include <cstring>
#include <string_view>

#include "Logger.hpp"
#include "ReplacedClasses.hpp"
#include "global.hpp"
#include "jvm/LocalFrames.hpp"
#include "jvm/SharedNames.hpp"
#include "jvm/UpcallTarget.hpp"

using Quorvane::Services::Remapper;

namespace {

// The VM reports a class that is already being loaded on the same thread by
// throwing this; were its own remap running at that moment, creating the error
// would need the class again, and the VM would recurse until the stack is gone.
// A transformer that touches a class still being loaded on its thread makes
// that happen, so this class always loads unchanged.
constexpr char circularity_error[] = "java/lang/ClassCircularityError";

// A class loaded while remap runs is remapped too, nested on the same thread.
// Past this depth a class loads unchanged: each level costs the VM's class
// loading and a Java upcall's worth of native stack.
constexpr int max_nested_remaps = 32;

// The names this thread is remapping right now, outermost first. A name is
// never remapped inside its own remap: the transformer would load it again
// and again until the native stack is gone. Trivial, so no TLS constructor
// or destructor runs; touched on the remap path only.
struct ThreadRemaps {
    const char* names[max_nested_remaps];
    int depth;
};
thread_local ThreadRemaps thread_remaps;

bool remappingOnThisThread(const char* name) {
    for (int i = 0; i < thread_remaps.depth; ++i) {
        if (std::strcmp(thread_remaps.names[i], name) == 0) {
            return true;
        }
    }
    return false;
}

// Holds name on this thread's list for the duration of its remap call.
class NestedRemap {
public:
    explicit NestedRemap(const char* name) { thread_remaps.names[thread_remaps.depth++] = name; }
    NestedRemap(const NestedRemap&) = delete;
    NestedRemap& operator=(const NestedRemap&) = delete;
    ~NestedRemap() { --thread_remaps.depth; }
};

// How a refused class's warning line ends: a class being loaded loads
// unchanged; a class being redefined or retransformed (the VM names it) is
// not being loaded at all, and keeps the class file the VM offered.
const char* unchanged(jclass class_being_redefined) {
    return class_being_redefined == nullptr ? ", loaded unchanged: " : ", left unchanged: ";
}

// The local references the remap path makes: the name, the bytes, the result.
// They live in a frame of their own, popped on every path out of the hook
// (after the result's elements are released).
constexpr jint remap_local_refs = 3;

}  // namespace

// Every class the VM loads passes here, on many threads at once: the paths
// that leave a class alone come first and touch nothing but the registry.
// All state is local; the registry's lock is taken only inside shouldRemap.
void JNICALL ClassFileLoadHook(jvmtiEnv* jvmti_env, JNIEnv* jni_env, jclass class_being_redefined, jobject /*loader*/,
                               const char* name, jobject /*protection_domain*/, jint class_data_len,
                               const unsigned char* classbytes, jint* new_class_data_len,
                               unsigned char** new_classbytes) {
    if (name == nullptr || jni_env == nullptr || jvmti_env == nullptr || classbytes == nullptr || class_data_len <= 0 ||
        new_class_data_len == nullptr || new_classbytes == nullptr) {
        return;
    }
    Remapper& remapper = Remapper::getInstance();
    if (!remapper.isInit()) {
        return;
    }
    if (Quorvane::Jvm::isOwnPackage(name)) {
        return;
    }
    if (!remapper.shouldRemap(std::string_view(name))) {
        Logger::line(spdlog::level::trace, "[Quorvane] Skipped by filter: ", Logger::ClassName{name});
        return;
    }
    const Quorvane::Jvm::UpcallTarget::Use inUse(remapper.remapUpcall(), jni_env);
    if (!inUse.entered()) {
        return;  // detached since the check above
    }

    jclass remapClass = remapper.getRemapClass();
    jmethodID remapMethod = remapper.getRemapMethodId();
    if (remapClass == nullptr || remapMethod == nullptr) {
        Logger::get()->error("[Quorvane] Remap declarations not cached");
        return;
    }
    if (std::strcmp(name, circularity_error) == 0) {
        Logger::line(spdlog::level::warn,
                     "[Quorvane] Never remapped, the VM needs it to report circular loads: ", Logger::ClassName{name});
        return;
    }
    if (remappingOnThisThread(name)) {
        Logger::line(spdlog::level::warn, "[Quorvane] Already being remapped on this thread",
                     unchanged(class_being_redefined), Logger::ClassName{name});
        return;
    }
    if (thread_remaps.depth >= max_nested_remaps) {
        Logger::line(spdlog::level::warn, "[Quorvane] Remaps nested ", max_nested_remaps, " deep on this thread",
                     unchanged(class_being_redefined), Logger::ClassName{name});
        return;
    }

    JNIEnv* env = jni_env;
    const Quorvane::Jvm::LocalFrame frame(env, remap_local_refs);
    if (!frame.pushed()) {
        env->ExceptionClear();
        Logger::line(spdlog::level::err, "[Quorvane] No memory for the local references of: ", Logger::ClassName{name});
        return;
    }
    jstring jClassName = env->NewStringUTF(name);
    if (jClassName == nullptr) {
        if (env->ExceptionCheck()) {
            env->ExceptionClear();
        }
        Logger::get()->error("[Quorvane] Failed to create className jstring");
        return;
    }

    jbyteArray jClassBytes = env->NewByteArray(class_data_len);
    if (jClassBytes == nullptr) {
        if (env->ExceptionCheck()) {
            env->ExceptionClear();
        }
        Logger::get()->error("[Quorvane] Failed to create classBytes jbyteArray");
        return;
    }

    env->SetByteArrayRegion(jClassBytes, 0, class_data_len, reinterpret_cast<const jbyte*>(classbytes));
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        Logger::get()->error("[Quorvane] Failed to fill classBytes");
        return;
    }

    jbyteArray jResult = nullptr;
    {
        NestedRemap nested(name);
        jResult =
            static_cast<jbyteArray>(env->CallStaticObjectMethod(remapClass, remapMethod, jClassName, jClassBytes));
    }
    if (env->ExceptionCheck() || jResult == nullptr) {
        // A throwing remap must not surface in the code that triggered the load.
        env->ExceptionClear();
        Logger::line(spdlog::level::warn, "[Quorvane] Remap returned null/exception for: ", Logger::ClassName{name});
        return;
    }

    const jint newLen = env->GetArrayLength(jResult);
    jbyte* newBytes = env->GetByteArrayElements(jResult, nullptr);
    if (newBytes == nullptr) {
        return;
    }

    unsigned char* newBuf = nullptr;
    if (jvmti_env->Allocate(newLen, &newBuf) == JVMTI_ERROR_NONE) {
        // Allocate may answer 0 bytes with a null pointer; memcpy must never see one.
        if (newLen > 0) {
            std::memcpy(newBuf, newBytes, static_cast<std::size_t>(newLen));
        }
        *new_class_data_len = newLen;
        *new_classbytes = newBuf;
        // For retransformLoaded(), which gives replaced classes their original code back.
        Quorvane::Services::ReplacedClasses::getInstance().note(name);
        Logger::line(spdlog::level::info, "[Quorvane] Remapped: ", Logger::ClassName{name}, " (", class_data_len,
                     " -> ", newLen, " bytes)");
    } else {
        Logger::line(spdlog::level::err, "[Quorvane] Failed to allocate buffer for: ", Logger::ClassName{name});
    }

    env->ReleaseByteArrayElements(jResult, newBytes, JNI_ABORT);
}
