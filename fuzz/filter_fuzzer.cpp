// Drives the registry with random edits and names and checks every decision
// against the plain reference walk. Names are built from a small alphabet of
// pieces ('/', '$', short words) so that prefixes, nesting and near misses
// are common rather than astronomically rare.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_set>

#include "ReferenceFilter.hpp"
#include "global.hpp"

using Quorvane::Services::Remapper;

namespace {

const char* const pieces[] = {"a", "b", "ab", "/", "$", "a/", "b$", "com/", "com/example/", "Widget", "$1", "."};
constexpr std::size_t piece_count = sizeof(pieces) / sizeof(pieces[0]);

std::string makeName(FuzzedDataProvider& data) {
    std::string out;
    const std::size_t parts = data.ConsumeIntegralInRange<std::size_t>(0, 6);
    for (std::size_t i = 0; i < parts && data.remaining_bytes() > 0; ++i) {
        const std::uint8_t pick = data.ConsumeIntegral<std::uint8_t>();
        if (pick < 16 * piece_count) {
            out += pieces[pick % piece_count];
        } else {
            // Any byte at all, NUL and high bytes included: entries are plain bytes.
            out.push_back(static_cast<char>(data.ConsumeIntegral<std::uint8_t>()));
        }
    }
    return out;
}

[[noreturn]] void mismatch(const std::unordered_set<std::string>& includes,
                           const std::unordered_set<std::string>& excludes, const std::string& name, bool got) {
    std::fprintf(stderr, "shouldRemap(\"%s\") = %d, reference says %d\nincludes:", name.c_str(), got ? 1 : 0,
                 got ? 0 : 1);
    for (const auto& e : includes) {
        std::fprintf(stderr, " \"%s\"", e.c_str());
    }
    std::fprintf(stderr, "\nexcludes:");
    for (const auto& e : excludes) {
        std::fprintf(stderr, " \"%s\"", e.c_str());
    }
    std::fprintf(stderr, "\n");
    std::abort();
}

void checkName(const Remapper& remapper, const std::unordered_set<std::string>& includes,
               const std::unordered_set<std::string>& excludes, const std::string& name) {
    const bool expected = QuorvaneTest::referenceShouldRemap(includes, excludes, name);
    const bool got = remapper.shouldRemap(name);
    if (got != expected) {
        mismatch(includes, excludes, name, got);
    }
    if (remapper.shouldRemap(std::string_view(name)) != got) {
        mismatch(includes, excludes, name, !got);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider data(bytes, size);
    Remapper& remapper = Remapper::getInstance();
    remapper.clearIncludes();
    remapper.clearExcludes();
    std::unordered_set<std::string> includes;
    std::unordered_set<std::string> excludes;

    while (data.remaining_bytes() > 0) {
        const std::string s = makeName(data);
        switch (data.ConsumeIntegralInRange<int>(0, 9)) {
            case 0:
            case 1:
                remapper.addInclude(s);
                includes.insert(s);
                break;
            case 2:
                remapper.addExclude(s);
                excludes.insert(s);
                break;
            case 3:
                remapper.removeInclude(s);
                includes.erase(s);
                break;
            case 4:
                remapper.removeExclude(s);
                excludes.erase(s);
                break;
            case 5:
                if (data.ConsumeBool()) {
                    remapper.clearIncludes();
                    includes.clear();
                } else {
                    remapper.clearExcludes();
                    excludes.clear();
                }
                break;
            default:
                checkName(remapper, includes, excludes, s);
                // The names next to an entry are where a match rule goes wrong.
                checkName(remapper, includes, excludes, s + "$");
                checkName(remapper, includes, excludes, s + "$Inner");
                checkName(remapper, includes, excludes, s + "/Cls");
                checkName(remapper, includes, excludes, s + "x");
                if (!s.empty()) {
                    checkName(remapper, includes, excludes, s.substr(0, s.size() - 1));
                }
                break;
        }
    }
    return 0;
}
