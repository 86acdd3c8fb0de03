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

namespace Quorvane::Services {

// The library's one piece of shared state: the include and exclude filters,
// the cached Remap declarations and the initialized flag.
//
// Threads: filter edits come from any Java thread and decisions from every
// class-loading thread at once; filterMutex_ guards includes_, excludes_,
// their length counts and probe_, and is never held across a JNI call or a log line. The flag and the
// two declarations are written only by initialization (serialized by its
// caller), declarations first and flag last with release ordering; a hook
// that reads the flag as true with acquire ordering therefore sees both.
// Detaching clears all three again (see enterRemap).
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
    bool isDetached() const { return detached_.load(); }
    void setInit(bool init) { initialized_.store(init, std::memory_order_release); }

    jclass getRemapClass() const { return remapClass_.load(std::memory_order_relaxed); }
    jmethodID getRemapMethodId() const { return remapMethodId_.load(std::memory_order_relaxed); }
    void setRemapClass(jclass clazz) { remapClass_.store(clazz, std::memory_order_relaxed); }
    void setRemapMethodId(jmethodID methodId) { remapMethodId_.store(methodId, std::memory_order_relaxed); }

    // Detaching (Quorvane.detach) stops remapping for good and releases the
    // Remap class's global reference, so that the class loader of this copy's
    // Java side can be collected, but only once no hook is inside a remap: a
    // hook on the remap path registers with enterRemap before it reads the
    // declarations and leaves with leaveRemap. The flag and the count are
    // sequentially consistent, so either a hook sees the flag and goes, or
    // detach sees the hook and the last hook out releases the reference.
    // The remap path only: the skip path never reads the declarations.
    bool enterRemap() noexcept {
        remapsInFlight_.fetch_add(1);
        return !detached_.load();
    }
    void leaveRemap(JNIEnv* env) noexcept {
        if (remapsInFlight_.fetch_sub(1) == 1 && detached_.load()) {
            releaseRemapClass(env);
        }
    }
    // Called once, by the detach native (serialized with initialization).
    void detach(JNIEnv* env) noexcept {
        detached_.store(true);
        initialized_.store(false, std::memory_order_release);
        if (remapsInFlight_.load() == 0) {
            releaseRemapClass(env);
        }
    }

    void addInclude(std::string name) {
        std::lock_guard<std::mutex> lock(filterMutex_);
        const std::size_t slot = lengthSlot(name.size());
        if (includes_.insert(std::move(name)).second) {
            ++includeLengths_[slot];
        }
    }
    void removeInclude(const std::string& name) {
        std::lock_guard<std::mutex> lock(filterMutex_);
        if (includes_.erase(name) != 0) {
            --includeLengths_[lengthSlot(name.size())];
        }
    }
    void clearIncludes() {
        std::lock_guard<std::mutex> lock(filterMutex_);
        includes_.clear();
        includeLengths_.fill(0);
    }
    void addExclude(std::string name) {
        std::lock_guard<std::mutex> lock(filterMutex_);
        const std::size_t slot = lengthSlot(name.size());
        if (excludes_.insert(std::move(name)).second) {
            ++excludeLengths_[slot];
        }
    }
    void removeExclude(const std::string& name) {
        std::lock_guard<std::mutex> lock(filterMutex_);
        if (excludes_.erase(name) != 0) {
            --excludeLengths_[lengthSlot(name.size())];
        }
    }
    void clearExcludes() {
        std::lock_guard<std::mutex> lock(filterMutex_);
        excludes_.clear();
        excludeLengths_.fill(0);
    }

    // Excludes first, then includes; with no include nothing is remapped.
    bool shouldRemap(const std::string& name) const { return shouldRemap(std::string_view(name)); }

    // The hook's entry: takes the VM's name without copying it into a string.
    bool shouldRemap(std::string_view name) const {
        std::lock_guard<std::mutex> lock(filterMutex_);
        if (includes_.empty()) {
            return false;
        }
        return !matchesAny(excludes_, excludeLengths_, name) && matchesAny(includes_, includeLengths_, name);
    }

private:
    // How many entries of each length a set holds, lengths from 255 up
    // sharing the last slot: a prefix whose length no entry has needs no
    // lookup, which spares most of the hashing on sets of any size.
    using LengthCounts = std::array<std::uint32_t, 256>;

    static std::size_t lengthSlot(std::size_t length) { return length < 255 ? length : 255; }

    Remapper() = default;

    // Whoever takes the reference out deletes it: detach, or the last hook
    // out, never both.
    void releaseRemapClass(JNIEnv* env) noexcept {
        remapMethodId_.store(nullptr, std::memory_order_relaxed);
        jclass remapClass = remapClass_.exchange(nullptr);
        if (remapClass != nullptr) {
            env->DeleteGlobalRef(remapClass);
        }
    }

    // An entry E matches N when E is not empty and N equals E, or E ends in
    // '/' and starts N, or E starts N and is followed in N by '$'. So the only
    // entries that can match N are N itself and the prefixes of N that end
    // just before a '$' or just after a '/': probe those instead of walking
    // every entry, so that the cost follows the name, not the set size.
    // Caller holds filterMutex_.
    bool matchesAny(const std::unordered_set<std::string>& entries, const LengthCounts& lengths,
                    std::string_view name) const {
        if (entries.empty() || name.empty()) {
            return false;
        }
        for (std::size_t i = 0; i < name.size(); ++i) {
            const char c = name[i];
            if (c == '$' && i > 0 && lengths[lengthSlot(i)] != 0 && contains(entries, name.substr(0, i))) {
                return true;
            }
            if (c == '/' && lengths[lengthSlot(i + 1)] != 0 && contains(entries, name.substr(0, i + 1))) {
                return true;
            }
        }
        return lengths[lengthSlot(name.size())] != 0 && contains(entries, name);
    }

    // probe_ keeps its capacity between calls, so a lookup allocates nothing
    // once it has seen a name of that length. Caller holds filterMutex_.
    bool contains(const std::unordered_set<std::string>& entries, std::string_view key) const {
        probe_.assign(key.data(), key.size());
        return entries.find(probe_) != entries.end();
    }

    std::atomic<bool> initialized_{false};
    std::atomic<jclass> remapClass_{nullptr};
    std::atomic<jmethodID> remapMethodId_{nullptr};
    std::atomic<bool> detached_{false};
    std::atomic<int> remapsInFlight_{0};
    mutable std::mutex filterMutex_;
    std::unordered_set<std::string> includes_;
    std::unordered_set<std::string> excludes_;
    LengthCounts includeLengths_{};
    LengthCounts excludeLengths_{};
    mutable std::string probe_;
};

}  // namespace Quorvane::Services
