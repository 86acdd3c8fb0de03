// What retransformation added to the hook's remap path: noting the name of
// each class it replaces. Calls ReplacedClasses::note for names already seen,
// as every replacement after a class's first is (each round of the agent
// benchmark's C); under callgrind the difference of two call counts gives the
// instructions of one note, start-up dropped:
//   retransform_bench_note [calls] [distinct names]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ReplacedClasses.hpp"

int main(int argc, char** argv) {
    const long calls = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000000;
    const long distinct = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 2048;

    // Names shaped like the agent benchmark's selected classes.
    std::vector<std::string> names;
    for (long i = 0; i < distinct; ++i) {
        char name[96];
        std::snprintf(name, sizeof name, "com/acme/orders/p%02ld/OrderService%ld%s", i % 16, i / 2,
                      i % 2 == 0 ? "" : "$Part");
        names.emplace_back(name);
    }
    auto& replaced = Quorvane::Services::ReplacedClasses::getInstance();
    for (const std::string& name : names) {
        replaced.note(name);
    }

    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < calls; ++i) {
        replaced.note(names[static_cast<std::size_t>(i % distinct)]);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    std::fprintf(stderr, "%ld notes of %ld known names, %.1f ns each\n", calls, distinct,
                 std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(calls));
    return 0;
}
