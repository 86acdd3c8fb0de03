#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

namespace Quorvane::Services {

// The names of the classes the hook has replaced since the process started,
// so that retransformLoaded() can give them their original code back once the
// filters pass them over. Names only, and never forgotten: a class of that
// name in another loader, or one already restored, is retransformed again,
// which at worst redefines it with the code it already has.
//
// Threads: the hook notes names on every class-loading thread and retransform
// calls look them up, all at once. mutex_ guards names_ and storage_; it is
// held for one lookup or insert, never across a JNI call or a log line.
class ReplacedClasses {
public:
    ReplacedClasses(const ReplacedClasses&) = delete;
    ReplacedClasses& operator=(const ReplacedClasses&) = delete;

    // Never destroyed, like the Remapper: hooks may still run during exit.
    static ReplacedClasses& getInstance() {
        static ReplacedClasses* const instance = new ReplacedClasses();
        return *instance;
    }

    // On the hook's remap path: a name seen before costs a lookup and
    // allocates nothing.
    void note(std::string_view name) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (names_.find(name) == names_.end()) {
            names_.insert(storage_.emplace_back(name));
        }
    }

    bool contains(std::string_view name) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return names_.find(name) != names_.end();
    }

    // Forgets every name; for tests, which start from an empty set.
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        names_.clear();
        storage_.clear();
    }

private:
    ReplacedClasses() = default;

    mutable std::mutex mutex_;
    // Views into storage_, whose strings never move (a deque keeps its
    // elements in place as it grows), so a lookup needs no string of its own.
    std::unordered_set<std::string_view> names_;
    std::deque<std::string> storage_;
};

}  // namespace Quorvane::Services
