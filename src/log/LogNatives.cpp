// The native of qv.vantrel.quorvane.LogSettings: carries the application's
// log settings to Logger, in the codes of that class's generated header.
// Called by the Java side only when something was set, so that with nothing
// set the log starts exactly as it always has.
#include <jni.h>

#include <optional>
#include <string>

#include "Logger.hpp"
#include "jvm/Strings.hpp"
#include "natives.hpp"

namespace {

// The Java side's level codes are spdlog's numbers.
static_assert(qv_vantrel_quorvane_LogSettings_LEVEL_TRACE == spdlog::level::trace);
static_assert(qv_vantrel_quorvane_LogSettings_LEVEL_DEBUG == spdlog::level::debug);
static_assert(qv_vantrel_quorvane_LogSettings_LEVEL_INFO == spdlog::level::info);
static_assert(qv_vantrel_quorvane_LogSettings_LEVEL_WARNING == spdlog::level::warn);
static_assert(qv_vantrel_quorvane_LogSettings_LEVEL_ERROR == spdlog::level::err);
static_assert(qv_vantrel_quorvane_LogSettings_LEVEL_OFF == spdlog::level::off);

std::optional<spdlog::level::level_enum> levelOf(jint code) {
    switch (code) {
        case qv_vantrel_quorvane_LogSettings_LEVEL_TRACE:
        case qv_vantrel_quorvane_LogSettings_LEVEL_DEBUG:
        case qv_vantrel_quorvane_LogSettings_LEVEL_INFO:
        case qv_vantrel_quorvane_LogSettings_LEVEL_WARNING:
        case qv_vantrel_quorvane_LogSettings_LEVEL_ERROR:
        case qv_vantrel_quorvane_LogSettings_LEVEL_OFF:
            return static_cast<spdlog::level::level_enum>(code);
        default:
            return std::nullopt;
    }
}

std::optional<Logger::Console> consoleOf(jint code) {
    switch (code) {
        case qv_vantrel_quorvane_LogSettings_CONSOLE_STDOUT:
            return Logger::Console::standardOutput;
        case qv_vantrel_quorvane_LogSettings_CONSOLE_STDERR:
            return Logger::Console::standardError;
        case qv_vantrel_quorvane_LogSettings_CONSOLE_OFF:
            return Logger::Console::off;
        default:
            return std::nullopt;
    }
}

std::optional<Logger::Flush> flushOf(jint code) {
    switch (code) {
        case qv_vantrel_quorvane_LogSettings_FLUSH_LINE:
            return Logger::Flush::everyLine;
        case qv_vantrel_quorvane_LogSettings_FLUSH_BUFFERED:
            return Logger::Flush::buffered;
        default:
            return std::nullopt;
    }
}

}  // namespace

// Each code UNSET (or any other it does not know) leaves its setting as it
// is: maxSize in bytes, 0 for no rotation; maxFiles up to MAX_FILES (each
// rotation looks for every one of them); file: UTF-8 bytes of a path, empty
// for no file, or null; problem: UTF-8 bytes of an error line for the start
// of the log, or null. Null when applied; when the log has already started
// and a setting other than the level came too late, nothing is applied and
// the UTF-8 bytes of what the log writes to come back.
extern "C" JNIEXPORT jbyteArray JNICALL Java_qv_vantrel_quorvane_LogSettings_configure(
    JNIEnv* env, jclass, jint level, jbyteArray file, jint console, jlong maxSize, jint maxFiles, jint flush,
    jbyteArray problem) {
    Logger::Settings settings;
    settings.level = levelOf(level);
    settings.console = consoleOf(console);
    settings.flush = flushOf(flush);
    if (maxSize >= 0) {
        settings.maxSize = static_cast<std::size_t>(maxSize);
    }
    if (maxFiles >= 1 && maxFiles <= qv_vantrel_quorvane_LogSettings_MAX_FILES) {
        settings.maxFiles = static_cast<std::size_t>(maxFiles);
    }
    if (file != nullptr && !Quorvane::Jvm::copyBytes(env, file, settings.fileName.emplace())) {
        return nullptr;
    }
    if (problem != nullptr && !Quorvane::Jvm::copyBytes(env, problem, settings.problems.emplace_back())) {
        return nullptr;
    }
    std::string inUse;
    if (Logger::configure(settings, inUse)) {
        return nullptr;
    }
    return Quorvane::Jvm::newByteArray(env, inUse);
}
