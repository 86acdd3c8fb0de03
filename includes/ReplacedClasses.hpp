#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string_view>
#include <vector>

namespace Quorvane::Services {

// The names of the classes the hook has replaced since the process started,
// so that retransformLoaded() can give them their original code back once the
// filters pass them over. Never forgotten: a class of that name in another
// loader, or one already restored, is retransformed again, which at worst
// redefines it with the code it already has.
//
// Kept as 64-bit hashes of the names in one flat table: the hook notes a name
// for every class it replaces, between class parses that have pushed the
// table out of the caches, and a probe here touches one cache line where a set
// of strings would chase three pointers. Two names sharing a hash (about one
// chance in 2^64 a pair) would only make the second name look replaced, which
// costs it a needless retransformation.
//
// Threads: the hook notes names on every class-loading thread and retransform
// calls look them up, all at once. mutex_ guards the table; it is held for one
// probe or insert, never across a JNI call or a log line.
class ReplacedClasses {
public:
    ReplacedClasses(const ReplacedClasses&) = delete;
    ReplacedClasses& operator=(const ReplacedClasses&) = delete;

    // Never destroyed, like the Remapper: hooks may still run during exit.
    static ReplacedClasses& getInstance() {
        static ReplacedClasses* const instance = new ReplacedClasses();
        return *instance;
    }

    // On the hook's remap path: a name seen before costs a hash and a probe,
    // and allocates nothing; a new one may grow the table.
    void note(std::string_view name) {
        const std::uint64_t key = keyOf(name);
        std::lock_guard<std::mutex> lock(mutex_);
        std::uint64_t& slot = slots_[indexFor(key)];
        if (slot == key) {
            return;
        }
        slot = key;
        if (++count_ * 2 > slots_.size()) {
            grow();
        }
    }

    bool contains(std::string_view name) const {
        const std::uint64_t key = keyOf(name);
        std::lock_guard<std::mutex> lock(mutex_);
        return slots_[indexFor(key)] == key;
    }

    // Forgets every name; for tests, which start from an empty set.
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        slots_.assign(initial_slots, empty);
        count_ = 0;
    }

private:
    static constexpr std::size_t initial_slots = 4096;  // a power of two
    static constexpr std::uint64_t empty = 0;

    ReplacedClasses() : slots_(initial_slots, empty) {}

    // The hash of a name, never the empty marker.
    static std::uint64_t keyOf(std::string_view name) {
        const std::uint64_t hash = std::hash<std::string_view>{}(name);
        return hash == empty ? 1 : hash;
    }

    // Where key is, or the empty slot where it would go (linear probing; the
    // table is at most half full). Caller holds mutex_.
    std::size_t indexFor(std::uint64_t key) const {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = static_cast<std::size_t>(key) & mask;; i = (i + 1) & mask) {
            if (slots_[i] == key || slots_[i] == empty) {
                return i;
            }
        }
    }

    // Twice the size, every key placed anew. Caller holds mutex_.
    void grow() {
        std::vector<std::uint64_t> old(slots_.size() * 2, empty);
        old.swap(slots_);
        for (const std::uint64_t key : old) {
            if (key != empty) {
                slots_[indexFor(key)] = key;
            }
        }
    }

    mutable std::mutex mutex_;
    std::vector<std::uint64_t> slots_;
    std::size_t count_ = 0;
};

}  // namespace Quorvane::Services
