// The Win32 entry points of the host layer as its implementation sees them:
// C linkage and plain types of the same sizes as the application's
// <windows.h> (DWORD = uint32_t, BOOL = int, HANDLE = void*, WCHAR =
// wchar_t). The layer includes the host kernel, so it cannot include
// <windows.h>; abi_check.cpp includes both headers, and any difference
// between the two sets of declarations is a compile error there.
#pragma once

#include <cstdarg>
#include <cstdint>

struct _OVERLAPPED;
struct _SECURITY_ATTRIBUTES;
union _LARGE_INTEGER;

extern "C" {

void* CreateFileW(const wchar_t* name, uint32_t access, uint32_t share, _SECURITY_ATTRIBUTES* security,
                  uint32_t disposition, uint32_t flags, void* templateFile);
void* CreateFileA(const char* name, uint32_t access, uint32_t share, _SECURITY_ATTRIBUTES* security,
                  uint32_t disposition, uint32_t flags, void* templateFile);
int DeviceIoControl(void* device, uint32_t code, void* in, uint32_t inSize, void* out, uint32_t outSize,
                    uint32_t* bytesReturned, _OVERLAPPED* overlapped);
int ReadFile(void* file, void* buffer, uint32_t length, uint32_t* bytesRead, _OVERLAPPED* overlapped);
int WriteFile(void* file, const void* buffer, uint32_t length, uint32_t* bytesWritten, _OVERLAPPED* overlapped);
int CloseHandle(void* object);

uint32_t GetLastError(void);
void SetLastError(uint32_t error);
uint32_t FormatMessageA(uint32_t flags, const void* source, uint32_t messageId, uint32_t languageId, char* buffer,
                        uint32_t size, va_list* arguments);
uint32_t FormatMessageW(uint32_t flags, const void* source, uint32_t messageId, uint32_t languageId, wchar_t* buffer,
                        uint32_t size, va_list* arguments);
void* LocalFree(void* memory);

void Sleep(uint32_t milliseconds);
uint32_t GetTickCount(void);
uint64_t GetTickCount64(void);
int QueryPerformanceCounter(_LARGE_INTEGER* count);
int QueryPerformanceFrequency(_LARGE_INTEGER* frequency);
uint32_t timeBeginPeriod(uint32_t period);
uint32_t timeEndPeriod(uint32_t period);

int SetConsoleCtrlHandler(int (*handler)(uint32_t ctrlType), int add);

}  // extern "C"
