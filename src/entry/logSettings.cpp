// Quorvane.configureLog and configureLogFile: carry the application's log
// settings to Logger. Called by the Java side only when something was set, so
// that with nothing set the log starts exactly as it always has.
#include <jni.h>

#include <string>

#include "Logger.hpp"
#include "natives.hpp"

namespace {

// The most rotated files a log may keep (keep in sync with
// qv.vantrel.quorvane.LogSettings): each rotation looks for every one of them.
constexpr jint max_rotated_files = 1000;

// A Java byte array's bytes as a string; false if the VM could not copy them
// (an exception is then pending for the Java caller).
bool copyBytes(JNIEnv* env, jbyteArray array, std::string& out) {
    const jsize length = env->GetArrayLength(array);
    out.resize(static_cast<std::size_t>(length));
    env->GetByteArrayRegion(array, 0, length, reinterpret_cast<jbyte*>(out.data()));
    return !env->ExceptionCheck();
}

// Hands settings to Logger: null when applied; when the log has already
// started and a setting other than the level came too late, nothing is
// applied and the UTF-8 bytes of what the log writes to come back.
jbyteArray configure(JNIEnv* env, const Logger::Settings& settings) {
    std::string inUse;
    if (Logger::configure(settings, inUse)) {
        return nullptr;
    }
    jbyteArray answer = env->NewByteArray(static_cast<jsize>(inUse.size()));
    if (answer != nullptr) {
        env->SetByteArrayRegion(answer, 0, static_cast<jsize>(inUse.size()),
                                reinterpret_cast<const jbyte*>(inUse.data()));
    }
    return answer;
}

}  // namespace

// Codes of the Java side (keep in sync with qv.vantrel.quorvane.LogSettings):
// level is spdlog's number for a level and console a position in
// Logger::Console, each -1 (or any other number) to leave it as it is; file: UTF-8 bytes of a path, empty for no
// file, or null to leave it; problem: UTF-8 bytes of an error line for the
// start of the log, or null. Returns as configure above.
extern "C" JNIEXPORT jbyteArray JNICALL Java_qv_vantrel_quorvane_Quorvane_configureLog(JNIEnv* env, jclass, jint level,
                                                                                       jbyteArray file, jint console,
                                                                                       jbyteArray problem) {
    Logger::Settings settings;
    if (level >= spdlog::level::trace && level <= spdlog::level::off) {
        settings.level = static_cast<spdlog::level::level_enum>(level);
    }
    if (console >= static_cast<jint>(Logger::Console::standardOutput) &&
        console <= static_cast<jint>(Logger::Console::off)) {
        settings.console = static_cast<Logger::Console>(console);
    }
    if (file != nullptr) {
        settings.fileName.emplace();
        if (!copyBytes(env, file, *settings.fileName)) {
            return nullptr;
        }
    }
    if (problem != nullptr) {
        settings.problems.emplace_back();
        if (!copyBytes(env, problem, settings.problems.back())) {
            return nullptr;
        }
    }
    return configure(env, settings);
}

// The log file's rotation and flushing, in the same way: maxSize in bytes, 0
// for no rotation, or -1; maxFiles from 1 to max_rotated_files, or -1; flush
// a position in Logger::Flush, or -1. Any other number leaves the setting as
// it is. Returns as configure above.
extern "C" JNIEXPORT jbyteArray JNICALL Java_qv_vantrel_quorvane_Quorvane_configureLogFile(JNIEnv* env, jclass,
                                                                                           jlong maxSize, jint maxFiles,
                                                                                           jint flush) {
    Logger::Settings settings;
    if (maxSize >= 0) {
        settings.maxSize = static_cast<std::size_t>(maxSize);
    }
    if (maxFiles >= 1 && maxFiles <= max_rotated_files) {
        settings.maxFiles = static_cast<std::size_t>(maxFiles);
    }
    if (flush >= static_cast<jint>(Logger::Flush::everyLine) && flush <= static_cast<jint>(Logger::Flush::buffered)) {
        settings.flush = static_cast<Logger::Flush>(flush);
    }
    return configure(env, settings);
}
