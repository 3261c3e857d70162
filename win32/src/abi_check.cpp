// Compile-time check that the host layer's definitions and the application's
// <windows.h> declare the same functions with the same types: C linkage lets
// two different declarations link silently, but in one translation unit they
// are an error. Also pins the sizes Windows gives its types.
#include <windows.h>

#include "win32_abi.h"

#include <cstddef>

static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(ULONG) == 4 && sizeof(WORD) == 2 &&
                  sizeof(BYTE) == 1 && sizeof(BOOL) == 4,
              "Windows integer sizes");
static_assert(sizeof(LARGE_INTEGER) == 8 && offsetof(LARGE_INTEGER, HighPart) == 4, "LARGE_INTEGER layout");
static_assert(sizeof(OVERLAPPED) == 32 && offsetof(OVERLAPPED, hEvent) == 24, "OVERLAPPED layout (x64)");
static_assert(sizeof(HANDLE) == sizeof(void*), "HANDLE is a pointer");
static_assert(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x81D, METHOD_BUFFERED, FILE_ANY_ACCESS) == 0x00222074u, "CTL_CODE");
