// Writes the line the hook logs for each replaced class, without a JVM, so
// that callgrind can count its instructions with the file flushed line by
// line and buffered, with or without a size limit:
//   agent_bench_remapped_line [calls] [line|buffered] [maxSize] > stdout.txt
// The quiet set-up: level info, console off, libagent.log in the working
// directory; a maxSize (bytes) adds rotation, as the production set-up's
// maxSize=10M does.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Logger.hpp"

int main(int argc, char** argv) {
    const long calls = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100000;
    const bool buffered = argc > 2 && std::strcmp(argv[2], "buffered") == 0;
    const long long maxSize = argc > 3 ? std::strtoll(argv[3], nullptr, 10) : 0;

    Logger::Settings settings;
    settings.level = spdlog::level::info;
    settings.console = Logger::Console::off;
    settings.flush = buffered ? Logger::Flush::buffered : Logger::Flush::everyLine;
    if (maxSize > 0) {
        settings.maxSize = static_cast<std::size_t>(maxSize);
    }
    std::string inUse;
    Logger::configure(settings, inUse);
    Logger::init("libagent.log", spdlog::level::trace);

    std::vector<std::string> names;
    names.reserve(64);
    for (int i = 0; i < 64; ++i) {
        names.push_back("com/acme/orders/p" + std::to_string(i % 16) + "/OrderService" + std::to_string(i) +
                        (i % 2 == 0 ? "" : "$Part"));
    }
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < calls; ++i) {
        const std::string& name = names[static_cast<std::size_t>(i) % names.size()];
        Logger::line(spdlog::level::info, "[Quorvane] Remapped: ", Logger::ClassName{name.c_str()}, " (", 3277, " -> ",
                     3277, " bytes)");
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    std::fprintf(stderr, "%ld remapped lines (%s, size limit %lld), %.3f us each\n", calls,
                 buffered ? "buffered" : "line", maxSize,
                 std::chrono::duration<double, std::micro>(elapsed).count() / static_cast<double>(calls));
    return 0;
}
