// Drives the hook's skip path without a JVM, so that callgrind can count the
// instructions of one skipped class repeatably and perf can sample it:
//   agent_bench_skip_path [calls] [none|selected|many] [level] > stdout.txt
// (selected: the benchmark's 16 package entries; many: those and 10,000
// entries that match nothing; level: the log level, trace by default, as
// Quorvane.setLogLevel would set it).
// Writes libagent.log in the working directory, like the library in a JVM.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Logger.hpp"
#include "callbacks.hpp"
#include "global.hpp"

int main(int argc, char** argv) {
    const long calls = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100000;
    const char* mode = argc > 2 ? argv[2] : "none";
    const bool many = std::strcmp(mode, "many") == 0;
    const bool selected = many || std::strcmp(mode, "selected") == 0;

    if (argc > 3) {
        Logger::Settings settings;
        settings.level = spdlog::level::from_str(argv[3]);
        std::string inUse;
        Logger::configure(settings, inUse);
    }
    Logger::init("libagent.log", spdlog::level::trace);
    auto& remapper = Quorvane::Services::Remapper::getInstance();
    if (selected) {
        for (int p = 0; p < 16; ++p) {
            char entry[32];
            std::snprintf(entry, sizeof entry, "com/acme/orders/p%02d/", p);
            remapper.addInclude(entry);
        }
    }
    for (int i = 0; many && i < 5000; ++i) {
        remapper.addInclude("org/unrelated/module" + std::to_string(i % 97) + "/sub" + std::to_string(i) + "/");
        remapper.addInclude("com/acme/" + std::string(i % 2 == 0 ? "orders" : "billing") + "/p" +
                            std::to_string(i % 16) + "/Ghost" + std::to_string(i));
    }
    remapper.setInit(true);

    std::vector<std::string> names;
    names.reserve(64);
    for (int i = 0; i < 64; ++i) {
        names.push_back("com/acme/billing/p" + std::to_string(i % 16) + "/LedgerService" + std::to_string(i) +
                        (i % 2 == 0 ? "" : "$Part"));
    }
    // Non-null stand-ins: the skip path never calls through either environment
    // (a null function table would crash at once if it did).
    JNIEnv jni{};
    jvmtiEnv jvmti{};
    const unsigned char bytes[4] = {0xCA, 0xFE, 0xBA, 0xBE};
    jint newLen = 0;
    unsigned char* newBytes = nullptr;

    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < calls; ++i) {
        ClassFileLoadHook(&jvmti, &jni, nullptr, nullptr, names[static_cast<std::size_t>(i) % names.size()].c_str(),
                          nullptr, sizeof bytes, bytes, &newLen, &newBytes);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    std::fprintf(stderr, "%ld skipped classes, %.3f us each\n", calls,
                 std::chrono::duration<double, std::micro>(elapsed).count() / static_cast<double>(calls));
    return newBytes == nullptr ? 0 : 1;
}
