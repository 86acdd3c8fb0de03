#pragma once

// The natives of the Java side, declared as javac -h generates them from the
// Java sources (cmake/NativeHeaders.cmake): each class that has natives, with
// its static final constants as macros. Every native the library defines is
// declared here, so a definition that strays from its Java declaration does
// not compile; these are the only symbols the library exports.
#include "qv_vantrel_quorvane_LogSettings.h"
#include "qv_vantrel_quorvane_Quorvane.h"
#include "qv_vantrel_quorvane_instrument_InstrumentNatives.h"
