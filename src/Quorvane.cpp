// The library's root translation unit: it holds no code of its own.
#include "global.hpp"
