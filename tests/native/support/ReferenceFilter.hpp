#pragma once

// The filter decision written straight from the match rule, walking every
// entry: slow on purpose, so that it is obviously right. The registry's
// prefix-probing shouldRemap is checked against it. Self-contained (standard
// library only) so that fuzz targets can include it as well.

#include <string>
#include <string_view>
#include <unordered_set>

namespace QuorvaneTest {

// An entry E matches a class internal name N when E is not empty and N equals
// E, or E ends with '/' and N begins with E, or E is shorter than N, N begins
// with E and the byte of N just past E is '$'. Bytes are compared as they are.
inline bool referenceEntryMatches(std::string_view entry, std::string_view name) {
    if (entry.empty()) {
        return false;
    }
    if (name == entry) {
        return true;
    }
    const bool beginsWith = name.size() >= entry.size() && name.compare(0, entry.size(), entry) == 0;
    if (!beginsWith) {
        return false;
    }
    if (entry.back() == '/') {
        return true;
    }
    return entry.size() < name.size() && name[entry.size()] == '$';
}

// Excludes first: any matching exclude says no. Then some include must match.
inline bool referenceShouldRemap(const std::unordered_set<std::string>& includes,
                                 const std::unordered_set<std::string>& excludes, std::string_view name) {
    for (const std::string& entry : excludes) {
        if (referenceEntryMatches(entry, name)) {
            return false;
        }
    }
    for (const std::string& entry : includes) {
        if (referenceEntryMatches(entry, name)) {
            return true;
        }
    }
    return false;
}

}  // namespace QuorvaneTest
