#pragma once

#include <jni.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

#include "jvm/UpcallTarget.hpp"

namespace Quorvane::Services {

// One filter list, the include list or the exclude list, and the match rule
// over it. An entry E matches N when E is not empty and N equals E, or E
// ends in '/' and starts N, or E starts N and is followed in N by '$'. So the
// only entries that can match N are N itself and the prefixes of N that end
// just before a '$' or just after a '/': matches probes those instead of
// walking every entry, so that the cost follows the name, not the set size.
//
// Threads: none of its own; the Remapper's filterMutex_ guards every call.
class FilterSet {
public:
    void add(std::string entry) {
        const std::size_t slot = lengthSlot(entry.size());
        if (entries_.insert(std::move(entry)).second) {
            ++lengths_[slot];
        }
    }
    void remove(const std::string& entry) {
        if (entries_.erase(entry) != 0) {
            --lengths_[lengthSlot(entry.size())];
        }
    }
    void clear() {
        entries_.clear();
        lengths_.fill(0);
    }
    bool empty() const { return entries_.empty(); }

    bool matches(std::string_view name) const {
        if (entries_.empty() || name.empty()) {
            return false;
        }
        for (std::size_t i = 0; i < name.size(); ++i) {
            const char c = name[i];
            if (c == '$' && i > 0 && lengths_[lengthSlot(i)] != 0 && contains(name.substr(0, i))) {
                return true;
            }
            if (c == '/' && lengths_[lengthSlot(i + 1)] != 0 && contains(name.substr(0, i + 1))) {
                return true;
            }
        }
        return lengths_[lengthSlot(name.size())] != 0 && contains(name);
    }

private:
    // How many entries of each length the set holds, lengths from 255 up
    // sharing the last slot: a prefix whose length no entry has needs no
    // lookup, which spares most of the hashing on sets of any size.
    using LengthCounts = std::array<std::uint32_t, 256>;

    static std::size_t lengthSlot(std::size_t length) { return length < 255 ? length : 255; }

    // probe_ keeps its capacity between calls, so a lookup allocates nothing
    // once it has seen a name of that length.
    bool contains(std::string_view key) const {
        probe_.assign(key.data(), key.size());
        return entries_.find(probe_) != entries_.end();
    }

    std::unordered_set<std::string> entries_;
    LengthCounts lengths_{};
    mutable std::string probe_;
};

// The library's one piece of shared state: the include and exclude filters,
// the cached Remap declarations and the initialized flag.
//
// Threads: filter edits come from any Java thread and decisions from every
// class-loading thread at once; filterMutex_ guards includes_ and excludes_
// (their probes included), and is never held across a JNI call or a log line. The flag and the
// two declarations (held in remap_) are written only by initialization
// (serialized by its caller), declarations first and flag last with release
// ordering; a hook that reads the flag as true with acquire ordering
// therefore sees both. Detaching clears all three again (see remapUpcall).
class Remapper {
public:
    Remapper(const Remapper&) = delete;
    Remapper& operator=(const Remapper&) = delete;

    // Made on first use by whichever caller comes first. Deliberately never
    // destroyed: at process exit the VM may still run hooks on other threads
    // while static destructors run, and they must not find a dead mutex.
    static Remapper& getInstance() {
        static Remapper* const instance = new Remapper();
        return *instance;
    }

    bool isInit() const { return initialized_.load(std::memory_order_acquire); }
    bool isDetached() const { return remap_.isDetached(); }
    void setInit(bool init) { initialized_.store(init, std::memory_order_release); }

    jclass getRemapClass() const { return remap_.targetClass(); }
    jmethodID getRemapMethodId() const { return remap_.method(); }
    void setRemapClass(jclass clazz) { remap_.setTargetClass(clazz); }
    void setRemapMethodId(jmethodID methodId) { remap_.setMethod(methodId); }

    // Detaching (Quorvane.detach) stops remapping for good and releases the
    // Remap class's global reference, so that the class loader of this copy's
    // Java side can be collected, but only once no hook is inside a remap: a
    // hook on the remap path holds a Use of remapUpcall() from before it reads the
    // declarations until it is done with them. The remap path only: the skip
    // path never reads the declarations.
    Jvm::UpcallTarget& remapUpcall() { return remap_; }

    // Called once, by the detach native (serialized with initialization).
    void detach(JNIEnv* env) noexcept {
        initialized_.store(false, std::memory_order_release);
        remap_.detach(env);
    }

    void addInclude(std::string name) {
        std::lock_guard<std::mutex> lock(filterMutex_);
        includes_.add(std::move(name));
    }
    void removeInclude(const std::string& name) {
        std::lock_guard<std::mutex> lock(filterMutex_);
        includes_.remove(name);
    }
    void clearIncludes() {
        std::lock_guard<std::mutex> lock(filterMutex_);
        includes_.clear();
    }
    void addExclude(std::string name) {
        std::lock_guard<std::mutex> lock(filterMutex_);
        excludes_.add(std::move(name));
    }
    void removeExclude(const std::string& name) {
        std::lock_guard<std::mutex> lock(filterMutex_);
        excludes_.remove(name);
    }
    void clearExcludes() {
        std::lock_guard<std::mutex> lock(filterMutex_);
        excludes_.clear();
    }

    // Excludes first, then includes; with no include nothing is remapped.
    bool shouldRemap(const std::string& name) const { return shouldRemap(std::string_view(name)); }

    // The hook's entry: takes the VM's name without copying it into a string.
    bool shouldRemap(std::string_view name) const {
        std::lock_guard<std::mutex> lock(filterMutex_);
        if (includes_.empty()) {
            return false;
        }
        return !excludes_.matches(name) && includes_.matches(name);
    }

private:
    Remapper() = default;

    std::atomic<bool> initialized_{false};
    Jvm::UpcallTarget remap_;
    mutable std::mutex filterMutex_;
    FilterSet includes_;
    FilterSet excludes_;
};

}  // namespace Quorvane::Services
