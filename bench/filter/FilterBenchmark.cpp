// The filter decision the hook asks for every class the VM loads, against
// include sets the size of a mapping file's (every mapped class by name, plus
// package prefixes). The decision probes the name's own prefixes, so its cost
// should follow the name, not the number of entries.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "global.hpp"

namespace {

using Quorvane::Services::Remapper;

// What a JVM loads while running an application: JDK classes (misses),
// framework classes (misses), the application's own classes (mostly hits, one
// excluded), nested, anonymous and hidden classes.
const std::vector<std::string> loaded_classes = {
    "java/util/HashMap",
    "java/util/HashMap$Node",
    "java/util/concurrent/ConcurrentHashMap$TreeBin",
    "java/lang/invoke/LambdaForm$MH/0x0000000800c01400",
    "java/lang/String",
    "jdk/internal/reflect/GeneratedMethodAccessor12",
    "sun/nio/cs/UTF_8$Decoder",
    "org/springframework/beans/factory/support/DefaultListableBeanFactory",
    "org/slf4j/impl/StaticLoggerBinder",
    "com/fasterxml/jackson/databind/ObjectMapper",
    "com/example/app/service/impl/OrderServiceImpl",
    "com/example/app/service/impl/OrderServiceImpl$Builder",
    "com/example/app/service/impl/OrderServiceImpl$Builder$1",
    "com/example/app/web/OrderController",
    "com/example/app/model/Order",
    "com/example/app/model/Order$Line",
    "com/example/app/model/OrderStatus",
    "com/example/app/Main$$Lambda$14/0x0000000800c03210",
    "com/example/app/internal/Generated$Proxy7",
    "com/example/other/Unrelated",
};

// Entries every set holds, so that the hits and misses above are the same
// whatever the size: the application's package, one class excluded.
const char* const app_package = "com/example/app/";
const char* const excluded_class = "com/example/app/internal/Generated";

// A mapping file's worth of entries: class names spread over packages, and
// one package prefix in fifty. None of them matches a loaded class above
// (their package, com/example/gen/, is never loaded), so only the set's size
// changes between runs.
std::vector<std::string> fillerEntries(std::int64_t count) {
    std::vector<std::string> entries;
    entries.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        std::string package =
            "com/example/gen/module" + std::to_string(i % 97) + "/part" + std::to_string(i % 13) + "/";
        if (i % 50 == 0) {
            entries.push_back(package + "sub" + std::to_string(i) + "/");
        } else {
            entries.push_back(package + "Mapped" + std::to_string(i) + (i % 7 == 0 ? "$Inner" : "Impl"));
        }
    }
    return entries;
}

// Fills the singleton for `size` include entries, unless it already holds
// them. Called by the first thread only, before the timed loop.
void prepareRegistry(std::int64_t size) {
    static std::int64_t prepared = -1;
    if (prepared == size) {
        return;
    }
    Remapper& remapper = Remapper::getInstance();
    remapper.clearIncludes();
    remapper.clearExcludes();
    remapper.addInclude(app_package);
    remapper.addExclude(excluded_class);
    for (std::string& entry : fillerEntries(size - 1)) {
        remapper.addInclude(std::move(entry));
    }
    prepared = size;
}

void shouldRemap(benchmark::State& state) {
    if (state.thread_index() == 0) {
        prepareRegistry(state.range(0));
    }
    const Remapper& remapper = Remapper::getInstance();
    // Threads start at different classes, as different loaders would.
    std::size_t next = static_cast<std::size_t>(state.thread_index()) * 7;
    std::int64_t hits = 0;
    for (auto _ : state) {
        const std::string& name = loaded_classes[next % loaded_classes.size()];
        const bool selected = remapper.shouldRemap(name);
        benchmark::DoNotOptimize(selected);
        hits += selected ? 1 : 0;
        ++next;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["hit_ratio"] = benchmark::Counter(
        static_cast<double>(hits) / static_cast<double>(state.iterations()), benchmark::Counter::kAvgThreads);
}

BENCHMARK(shouldRemap)->ArgName("includes")->Arg(1)->Arg(100)->Arg(10000)->Arg(100000);
BENCHMARK(shouldRemap)->ArgName("includes")->Arg(1)->Arg(100000)->Threads(4)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
