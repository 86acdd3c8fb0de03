#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

// The names both routes share: the library's own Java package, which no
// transformer is ever shown (remapping Remap itself, or anything it loads,
// would recurse), and the words every refusal after Quorvane.detach() uses.
// The Java side holds the words once too (TransformerManager.DETACHED).
namespace Quorvane::Jvm {

constexpr char own_package[] = "qv/vantrel/quorvane/";
constexpr std::size_t own_package_length = sizeof(own_package) - 1;

// On every class the hooks see: no length computed, no copy.
inline bool isOwnPackage(const char* internalName) {
    return std::strncmp(internalName, own_package, own_package_length) == 0;
}

inline bool isOwnPackage(std::string_view internalName) {
    return internalName.substr(0, own_package_length) == std::string_view(own_package, own_package_length);
}

constexpr const char* detached_message = "this copy of Quorvane was detached";

}  // namespace Quorvane::Jvm
