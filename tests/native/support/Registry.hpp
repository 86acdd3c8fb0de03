#pragma once

// The Remapper is a process-wide singleton: every test starts from an empty,
// uninitialized registry.

#include "global.hpp"

namespace QuorvaneTest {

inline Quorvane::Services::Remapper& freshRegistry() {
    auto& remapper = Quorvane::Services::Remapper::getInstance();
    remapper.setInit(false);
    remapper.setRemapClass(nullptr);
    remapper.setRemapMethodId(nullptr);
    remapper.clearIncludes();
    remapper.clearExcludes();
    return remapper;
}

}  // namespace QuorvaneTest
