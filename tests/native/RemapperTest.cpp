// The registry's filter decision: the match rule case by case, edits, and a
// randomized comparison of the prefix-probing shouldRemap with a plain walk.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "ReferenceFilter.hpp"
#include "Registry.hpp"
#include "global.hpp"

namespace {

using QuorvaneTest::freshRegistry;
using QuorvaneTest::referenceShouldRemap;
using Set = std::unordered_set<std::string>;

// Bytes outside printable ASCII as \xNN, so a failing name can be read back.
std::string escaped(const std::string& bytes) {
    std::ostringstream out;
    out << '"';
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
            out << c;
        } else {
            static const char digits[] = "0123456789ABCDEF";
            out << "\\x" << digits[c >> 4] << digits[c & 0xF];
        }
    }
    out << '"';
    return out.str();
}

std::string escaped(const Set& entries) {
    std::string out = "{";
    for (const std::string& entry : entries) {
        out += escaped(entry) + " ";
    }
    return out + "}";
}

void load(Quorvane::Services::Remapper& remapper, const Set& includes, const Set& excludes) {
    for (const std::string& entry : includes) {
        remapper.addInclude(entry);
    }
    for (const std::string& entry : excludes) {
        remapper.addExclude(entry);
    }
}

struct MatchCase {
    Set includes;
    Set excludes;
    std::string name;
    bool expected;
};

// Each row is checked against both the registry and the reference walk, so
// the reference is held to the rule too.
const std::vector<MatchCase> match_cases = {
    // Empty sets, and excludes alone: nothing is remapped.
    {{}, {}, "com/example/Widget", false},
    {{}, {"org/"}, "com/example/Widget", false},
    // A package prefix covers its package and every package below it.
    {{"com/example/"}, {}, "com/example/Widget", true},
    {{"com/example/"}, {}, "com/example/deep/Thing", true},
    {{"com/example/"}, {}, "com/example/Widget$Part", true},
    {{"com/example/"}, {}, "com/examples/Widget", false},
    {{"com/example/"}, {}, "com/example", false},
    {{"com/example/"}, {}, "com/example/", true},  // name ending in '/'
    {{"com/"}, {}, "com/example/", true},
    // A class entry covers the class and its nested classes at any depth.
    {{"com/example/Widget"}, {}, "com/example/Widget", true},
    {{"com/example/Widget"}, {}, "com/example/Widget$Part", true},
    {{"com/example/Widget"}, {}, "com/example/Widget$Part$Deeper", true},
    {{"com/example/Widget"}, {}, "com/example/Widget$", true},
    {{"com/example/Widget"}, {}, "com/example/WidgetFactory", false},
    {{"com/example/Widget"}, {}, "com/example/Widget/Inner", false},
    {{"com/example/Widget$Part"}, {}, "com/example/Widget", false},
    // An entry without a trailing '/' is a class name, never a package.
    {{"com/example"}, {}, "com/example/Widget", false},
    {{"com/example"}, {}, "com/example/", false},
    {{"com/example"}, {}, "com/example", true},
    {{"com/example"}, {}, "com/example$X", true},
    // Entries longer than the name.
    {{"com/example/Widget"}, {}, "com/example", false},
    {{"com/example/"}, {}, "com/", false},
    {{"com/example/"}, {}, "", false},
    // '/' and '$' at position 0.
    {{"/"}, {}, "/Widget", true},
    {{"/"}, {}, "/", true},
    {{"/"}, {}, "Widget/", false},
    {{"/Widget"}, {}, "/Widget$1", true},
    {{"$Proxy"}, {}, "$Proxy", true},
    {{"$Proxy"}, {}, "$Proxy$1", true},
    {{"$"}, {}, "$", true},
    {{"$"}, {}, "$$", true},
    {{"$"}, {}, "$x", false},
    {{"$"}, {}, "a$b", false},
    {{"a"}, {}, "$a", false},
    // Excludes win over includes, whatever their kind.
    {{"com/example/"}, {"com/example/Widget"}, "com/example/Widget$1", false},
    {{"com/example/"}, {"com/example/Widget"}, "com/example/Widget", false},
    {{"com/example/"}, {"com/example/Widget"}, "com/example/WidgetFactory", true},
    {{"com/example/"}, {"com/example/Widget"}, "com/example/Gadget", true},
    {{"com/example/Widget"}, {"com/"}, "com/example/Widget", false},
    {{"com/example/Widget"}, {"com/example/Widget"}, "com/example/Widget", false},
    // The empty entry is stored but never matches, in either set.
    {{""}, {}, "com/example/Widget", false},
    {{""}, {}, "", false},
    {{"com/"}, {""}, "com/A", true},
    // Dotted names are never converted: they match only themselves.
    {{"com.example.Widget"}, {}, "com/example/Widget", false},
    {{"com.example.Widget"}, {}, "com.example.Widget", true},
    {{"com.example."}, {}, "com.example.Widget", false},
    // Bytes compare as bytes: case, non-ASCII, modified-UTF-8 NUL.
    {{"com/Example/"}, {}, "com/example/A", false},
    {{"caf\xC3\xA9/"}, {}, "caf\xC3\xA9/Bar", true},
    {{"caf\xC3\xA9/"}, {}, "cafe/Bar", false},
    {{"a\xC0\x80"}, {}, "a\xC0\x80$1", true},
    {{"a\xC0\x80"}, {}, "a", false},
};

void PrintTo(const MatchCase& c, std::ostream* out) {
    *out << escaped(c.name) << " with includes " << escaped(c.includes) << " excludes " << escaped(c.excludes);
}

class RemapperMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(RemapperMatch, FollowsTheRule) {
    const MatchCase& c = GetParam();
    auto& remapper = freshRegistry();
    load(remapper, c.includes, c.excludes);
    EXPECT_EQ(remapper.shouldRemap(c.name), c.expected);
    EXPECT_EQ(referenceShouldRemap(c.includes, c.excludes, c.name), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, RemapperMatch, ::testing::ValuesIn(match_cases));

TEST(RemapperEdits, DuplicateAddThenOneRemoveLeavesNoEntry) {
    auto& remapper = freshRegistry();
    remapper.addInclude("com/example/Widget");
    remapper.addInclude("com/example/Widget");
    remapper.removeInclude("com/example/Widget");
    EXPECT_FALSE(remapper.shouldRemap(std::string("com/example/Widget")));

    remapper.addInclude("com/");
    remapper.addExclude("com/example/Widget");
    remapper.addExclude("com/example/Widget");
    remapper.removeExclude("com/example/Widget");
    EXPECT_TRUE(remapper.shouldRemap(std::string("com/example/Widget")));
}

TEST(RemapperEdits, RemoveAndClearAffectOnlyTheirSet) {
    auto& remapper = freshRegistry();
    remapper.addInclude("com/");
    remapper.addExclude("com/secret/");
    remapper.removeInclude("never/added");
    remapper.removeExclude("never/added");
    EXPECT_TRUE(remapper.shouldRemap(std::string("com/A")));
    EXPECT_FALSE(remapper.shouldRemap(std::string("com/secret/A")));

    remapper.clearExcludes();
    EXPECT_TRUE(remapper.shouldRemap(std::string("com/secret/A")));

    remapper.addExclude("com/secret/");
    remapper.clearIncludes();
    EXPECT_FALSE(remapper.shouldRemap(std::string("com/A")));
    remapper.addInclude("com/");
    EXPECT_FALSE(remapper.shouldRemap(std::string("com/secret/A")));  // the exclude survived clearIncludes
}

// The registry skips lookups for prefix lengths no entry has; edits must keep
// that bookkeeping exact, or an entry that is still there stops matching.
TEST(RemapperEdits, EntriesOfOneLengthSurviveEditsOfTheirNeighbours) {
    auto& remapper = freshRegistry();
    remapper.addInclude("com/aaaa/");
    remapper.addInclude("com/bbbb/");
    remapper.addInclude("com/aaaa/");     // duplicate: no second count
    remapper.removeInclude("com/cccc/");  // absent, same length: no count taken
    remapper.removeInclude("com/aaaa/");
    EXPECT_TRUE(remapper.shouldRemap(std::string("com/bbbb/X")));
    EXPECT_FALSE(remapper.shouldRemap(std::string("com/aaaa/X")));

    // Lengths from 255 up share one count.
    const std::string longA = std::string(300, 'a') + "/";
    const std::string longB = std::string(400, 'b') + "/";
    remapper.addExclude(longA);
    remapper.addExclude(longB);
    remapper.removeExclude(longA);
    remapper.addInclude(longB);
    EXPECT_FALSE(remapper.shouldRemap(longB + "X"));
    remapper.clearExcludes();
    EXPECT_TRUE(remapper.shouldRemap(longB + "X"));
    remapper.clearIncludes();
    EXPECT_FALSE(remapper.shouldRemap(longB + "X"));
}

// Random names and entry sets built from pieces that stress the rule: '/',
// '$', '.', shared prefixes, multi-byte and modified-UTF-8 NUL sequences, and
// empty entries. The seed is fixed so that a failure can be replayed.
TEST(RemapperRandomized, AgreesWithReferenceWalk) {
    constexpr std::uint32_t seed = 20261210;
    std::mt19937 rng(seed);
    const std::vector<std::string> pieces = {"a", "b", "ab", "/", "$", "a/", "b$", ".", "\xC3\xA9", "\xC0\x80", "\xFF"};
    auto pick = [&rng](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    auto randomName = [&] {
        std::string name;
        for (std::size_t n = pick(7); n > 0; --n) {
            name += pieces[pick(pieces.size())];
        }
        return name;
    };

    int mismatches = 0;
    long checks = 0;
    long positives = 0;
    for (int round = 0; round < 2000 && mismatches < 10; ++round) {
        std::vector<std::string> pool;
        pool.reserve(12);
        for (int i = 0; i < 12; ++i) {
            pool.push_back(randomName());
        }
        // Entries mostly cut from the pool's names, so they share prefixes
        // with the names asked about and actually match some of them.
        auto randomEntry = [&]() -> std::string {
            switch (pick(6)) {
                case 0:
                    return "";
                case 1:
                    return randomName();
                default: {
                    const std::string& base = pool[pick(pool.size())];
                    std::string entry = base.substr(0, pick(base.size() + 1));
                    if (pick(3) == 0) {
                        entry += pick(2) == 0 ? "/" : "$";
                    }
                    return entry;
                }
            }
        };
        Set includes;
        Set excludes;
        for (std::size_t n = pick(9); n > 0; --n) {
            includes.insert(randomEntry());
        }
        for (std::size_t n = pick(5); n > 0; --n) {
            excludes.insert(randomEntry());
        }

        auto& remapper = freshRegistry();
        load(remapper, includes, excludes);
        for (const std::string& base : pool) {
            const std::string cut = base.substr(0, pick(base.size() + 1));
            for (const std::string& name : {base, base + "$x", base + "/y", base + "$", cut, cut + "/"}) {
                ++checks;
                const bool expected = referenceShouldRemap(includes, excludes, name);
                positives += expected ? 1 : 0;
                if (remapper.shouldRemap(name) != expected) {
                    ++mismatches;
                    ADD_FAILURE() << "seed " << seed << ", round " << round << ": shouldRemap(" << escaped(name)
                                  << ") should be " << expected << " with includes " << escaped(includes)
                                  << " excludes " << escaped(excludes);
                }
            }
        }
    }
    // The comparison is only worth something if both answers occur often.
    EXPECT_GT(positives, checks / 20);
    EXPECT_LT(positives, checks - checks / 20);
}

}  // namespace
