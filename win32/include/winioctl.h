// The control-code macros (CTL_CODE, METHOD_*, FILE_*_ACCESS) live in the
// host layer's <windows.h>; this name is here for programs that include it.
#pragma once

#include <windows.h>
