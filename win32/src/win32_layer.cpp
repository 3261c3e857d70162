// The Win32 calls of a velnor application, on the host kernel: files are
// handles of the I/O manager's user-mode view, errors come from the
// driver's NTSTATUS as Windows converts them, and the clock functions run
// on the kernel's virtual clock.
//
// This translation unit sees the kernel headers, not <windows.h>; the
// entry points are declared in win32_abi.h with the same C linkage and
// types as the application's header (checked by abi_check.cpp).
#include "win32_abi.h"

#include "bench_device.h"
#include "host_runtime.h"
#include "status_map.h"

#include <hostkernel/hostkernel.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using velnor::win32::DosErrorFromStatus;

// The Win32 values this file uses; the application's names are in <windows.h>.
constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr uint32_t kErrorMrMidNotFound = 317;
constexpr uint32_t kErrorNoAccess = 998;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorResourceLangNotFound = 1815;

constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kGenericAll = 0x10000000u;
constexpr uint32_t kMaximumAllowed = 0x02000000u;
constexpr uint32_t kFileReadData = 0x0001u;
constexpr uint32_t kFileWriteData = 0x0002u;
constexpr uint32_t kFileFlagOverlapped = 0x40000000u;
constexpr uint32_t kCreateNew = 1, kCreateAlways = 2, kOpenAlways = 4, kTruncateExisting = 5;
constexpr uint32_t kFileReadAccess = 1, kFileWriteAccess = 2;  // a control code's required access
constexpr uint32_t kInfinite = 0xFFFFFFFFu;
constexpr uint32_t kTimerNoError = 0, kTimerNoCanDo = 97;
constexpr uint32_t kTimerPeriodMin = 1, kTimerPeriodMax = 1000000;  // ms, as timeGetDevCaps reports

std::mutex g_periodLock;
std::map<uint32_t, unsigned> g_periods;  // period in ms -> begins not yet ended
constexpr NTSTATUS kStatusEndOfFile = static_cast<NTSTATUS>(0xC0000011);

constexpr uint32_t kFormatAllocateBuffer = 0x100, kFormatIgnoreInserts = 0x200, kFormatFromString = 0x400,
                   kFormatFromHmodule = 0x800, kFormatFromSystem = 0x1000, kFormatArgumentArray = 0x2000,
                   kFormatMaxWidthMask = 0xFF;
constexpr uint32_t kLangNeutral = 0x00, kLangEnglish = 0x09;

constexpr uint32_t kCtrlC = 0, kCtrlBreak = 1;

thread_local uint32_t t_lastError = 0;

int Fail(uint32_t error) {
    t_lastError = error;
    return 0;
}

void* FailOpen(uint32_t error) {
    t_lastError = error;
    return reinterpret_cast<void*>(intptr_t{-1});  // INVALID_HANDLE_VALUE
}

// ---------------------------------------------------------------- handles
struct OpenFile {
    hk::Handle file;
    bool read;
    bool write;
    bool bench;  // the test bench's control device, not the module's
};

std::mutex g_handleLock;
std::map<uintptr_t, OpenFile> g_handles;
uintptr_t g_nextHandle = 0x100;  // multiples of 4, as the handles Windows hands out

void* AddHandle(const OpenFile& file) {
    std::lock_guard<std::mutex> guard(g_handleLock);
    uintptr_t value = g_nextHandle;
    g_nextHandle += 4;
    g_handles[value] = file;
    return reinterpret_cast<void*>(value);
}

bool FindHandle(void* handle, OpenFile* file) {
    std::lock_guard<std::mutex> guard(g_handleLock);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_handles.end()) return false;
    *file = it->second;
    return true;
}

// A thread outside the simulation would let the virtual clock run away
// under it; the kernel's verifier reports its first wait, and this says
// what to do about it.
void CheckThread(const char* routine) {
    thread_local bool told = false;
    if (told || !hk::ClockIsDiscrete() || velnor::host::IsSimulationThread()) return;
    told = true;
    std::fprintf(stderr,
                 "velnor: %s called from a thread outside the simulation; start threads that use the device with "
                 "velnor::HostThread (velnor/host_thread.h)\n",
                 routine);
}

// Win32's result for a request that reached the driver: success and
// warnings report Information (a warning's data was copied too), errors
// leave the count alone.
int Finish(const hk::IoResult& r, uint32_t* bytes) {
    if (NT_SUCCESS(r.status)) {
        *bytes = static_cast<uint32_t>(r.information);
        return 1;
    }
    if (!NT_ERROR(r.status)) *bytes = static_cast<uint32_t>(r.information);
    return Fail(DosErrorFromStatus(static_cast<uint32_t>(r.status)));
}

void* Open(std::string path, uint32_t access, uint32_t disposition, uint32_t flags) {
    if (disposition < kCreateNew || disposition > kTruncateExisting) return FailOpen(kErrorInvalidParameter);
    if (flags & kFileFlagOverlapped) return FailOpen(kErrorNotSupported);  // calls here are synchronous only
    if (path.empty()) return FailOpen(kErrorPathNotFound);
    std::replace(path.begin(), path.end(), '/', '\\');  // Win32 takes either separator
    // Only devices live here: a name outside the device namespace ("\\.\",
    // "\\?\") would be a file on disk, and there is none.
    if (path.rfind("\\\\.\\", 0) != 0 && path.rfind("\\\\?\\", 0) != 0) return FailOpen(kErrorFileNotFound);
    velnor::host::EnsureBooted();
    CheckThread("CreateFile");
    hk::Handle file = hk::kInvalidHandle;
    NTSTATUS status = hk::OpenFile(path, &file);
    if (!NT_SUCCESS(status)) return FailOpen(DosErrorFromStatus(static_cast<uint32_t>(status)));
    const bool all = access & (kGenericAll | kMaximumAllowed);
    void* handle = AddHandle({file, all || (access & (kGenericRead | kFileReadData)) != 0,
                              all || (access & (kGenericWrite | kFileWriteData)) != 0,
                              velnor::host::IsBenchPath(path.substr(4))});
    // A device always exists: the dispositions that report an existing file do.
    t_lastError = disposition == kOpenAlways || disposition == kCreateAlways ? kErrorAlreadyExists : kErrorSuccess;
    return handle;
}

// ---------------------------------------------------------------- FormatMessage
// The message as FormatMessage lays it out: a line break at the end, or
// with a maximum width, lines broken at spaces (0xFF: no breaks, the
// line break becomes a space).
std::string LayOut(const char* text, uint32_t width) {
    if (width == 0) return std::string(text) + "\r\n";
    if (width == kFormatMaxWidthMask) return std::string(text) + " ";
    std::string out, line;
    std::string rest = text;
    size_t at = 0;
    while (at < rest.size()) {
        size_t end = rest.find(' ', at);
        std::string word = rest.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? rest.size() : end + 1;
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            out += line + "\r\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    return out + line + "\r\n";
}

// Looks the message up and checks the request; the text, or 0 with the error set.
bool SystemText(uint32_t flags, const void* source, uint32_t id, uint32_t language, std::string* text) {
    const bool fromSystem = flags & kFormatFromSystem;
    if (!fromSystem || (flags & kFormatFromString) || ((flags & kFormatFromHmodule) && source))
        return Fail(kErrorInvalidParameter);  // only system messages live here
    const uint32_t primary = language & 0x3FF;
    if (language != 0 && primary != kLangEnglish && primary != kLangNeutral) return Fail(kErrorResourceLangNotFound);
    const char* message = velnor::win32::SystemMessage(id);
    if (!message) return Fail(kErrorMrMidNotFound);
    // Only the not-found message has inserts; without an argument list it cannot be formatted.
    if (std::strchr(message, '%') && !(flags & kFormatIgnoreInserts)) return Fail(kErrorInvalidParameter);
    *text = LayOut(message, flags & kFormatMaxWidthMask);
    return true;
}

template <typename Char>
uint32_t Deliver(const std::basic_string<Char>& text, uint32_t flags, Char* buffer, uint32_t size) {
    const auto length = static_cast<uint32_t>(text.size());
    if (flags & kFormatAllocateBuffer) {
        if (!buffer) return Fail(kErrorInvalidParameter);
        const size_t count = std::max<size_t>(length + 1, size);
        auto* block = static_cast<Char*>(std::calloc(count, sizeof(Char)));
        if (!block) return Fail(kErrorNotEnoughMemory);
        std::copy(text.begin(), text.end(), block);
        *reinterpret_cast<Char**>(buffer) = block;
        return length;
    }
    if (!buffer || size < length + 1) return Fail(kErrorInsufficientBuffer);
    std::copy(text.begin(), text.end(), buffer);
    buffer[length] = 0;
    return length;
}

// ---------------------------------------------------------------- console control
std::mutex g_ctrlLock;
std::vector<int (*)(uint32_t)> g_ctrlHandlers;
bool g_ignoreCtrlC = false;
int g_ctrlPipe[2] = {-1, -1};

void OnSignal(int number) {
    const int saved = errno;
    const char type = number == SIGINT ? static_cast<char>(kCtrlC) : static_cast<char>(kCtrlBreak);
    ssize_t written = write(g_ctrlPipe[1], &type, 1);
    (void)written;
    errno = saved;
}

// Windows calls the handlers, last registered first, on a new thread; one
// that returns TRUE ends the event, and if none does the process ends as
// the signal's default would end it.
void DispatchCtrl(uint32_t type) {
    std::vector<int (*)(uint32_t)> handlers;
    {
        std::lock_guard<std::mutex> guard(g_ctrlLock);
        if (type == kCtrlC && g_ignoreCtrlC) return;
        handlers = g_ctrlHandlers;
    }
    bool handled = false;
    {
        hk::SimThread thread("ctrl-handler", [&] {
            velnor::host::MarkSimulationThread();
            for (auto it = handlers.rbegin(); it != handlers.rend() && !handled; ++it) handled = (*it)(type) != 0;
        });
        thread.Join();
    }
    if (!handled) {
        const int number = type == kCtrlC ? SIGINT : SIGQUIT;
        ::signal(number, SIG_DFL);
        raise(number);
    }
}

void InstallCtrlSignals() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (pipe2(g_ctrlPipe, O_CLOEXEC) != 0) {
            std::fprintf(stderr, "velnor: SetConsoleCtrlHandler: no pipe for the console events: %s\n",
                         std::strerror(errno));
            return;
        }
        std::thread([] {
            for (;;) {
                char type;
                ssize_t n = read(g_ctrlPipe[0], &type, 1);
                if (n == 1) DispatchCtrl(static_cast<uint32_t>(type));
                else if (n < 0 && errno == EINTR) continue;
                else return;
            }
        }).detach();
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGQUIT, &action, nullptr);
    });
}

}  // namespace

size_t velnor::host::OpenHandleCount(bool bench) {
    std::lock_guard<std::mutex> guard(g_handleLock);
    return static_cast<size_t>(
        std::count_if(g_handles.begin(), g_handles.end(), [bench](const auto& h) { return h.second.bench == bench; }));
}

extern "C" {

// ---------------------------------------------------------------- files
void* CreateFileW(const wchar_t* name, uint32_t access, uint32_t, _SECURITY_ATTRIBUTES*, uint32_t disposition,
                  uint32_t flags, void*) {
    if (!name) return FailOpen(kErrorPathNotFound);
    std::u16string utf16;
    for (const wchar_t* p = name; *p; ++p) {
        auto c = static_cast<uint32_t>(*p);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return FailOpen(kErrorInvalidName);
        if (c >= 0x10000) {
            c -= 0x10000;
            utf16 += static_cast<char16_t>(0xD800 + (c >> 10));
            utf16 += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            utf16 += static_cast<char16_t>(c);
        }
    }
    return Open(hk::ToUtf8(utf16), access, disposition, flags);
}

void* CreateFileA(const char* name, uint32_t access, uint32_t, _SECURITY_ATTRIBUTES*, uint32_t disposition,
                  uint32_t flags, void*) {
    if (!name) return FailOpen(kErrorPathNotFound);
    return Open(name, access, disposition, flags);  // the "ANSI" code page of Linux is UTF-8
}

int DeviceIoControl(void* device, uint32_t code, void* in, uint32_t inSize, void* out, uint32_t outSize,
                    uint32_t* bytesReturned, _OVERLAPPED* overlapped) {
    OpenFile file;
    if (!FindHandle(device, &file)) return Fail(kErrorInvalidHandle);
    if (overlapped) return Fail(kErrorNotSupported);
    if (!bytesReturned) return Fail(kErrorInvalidParameter);  // Windows writes it regardless
    // The I/O manager checks the code's required access against the handle's.
    const uint32_t required = (code >> 14) & 3;
    if (((required & kFileReadAccess) && !file.read) || ((required & kFileWriteAccess) && !file.write))
        return Fail(kErrorAccessDenied);
    if ((!in && inSize) || (!out && outSize)) return Fail(kErrorNoAccess);
    CheckThread("DeviceIoControl");
    return Finish(hk::DeviceIoControl(file.file, code, in, inSize, out, outSize), bytesReturned);
}

int ReadFile(void* handle, void* buffer, uint32_t length, uint32_t* bytesRead, _OVERLAPPED* overlapped) {
    if (bytesRead) *bytesRead = 0;  // before any work or check, as Windows does
    OpenFile file;
    if (!FindHandle(handle, &file)) return Fail(kErrorInvalidHandle);
    if (overlapped) return Fail(kErrorNotSupported);
    if (!bytesRead) return Fail(kErrorInvalidParameter);
    if (!file.read) return Fail(kErrorAccessDenied);
    if (!buffer && length) return Fail(kErrorNoAccess);
    CheckThread("ReadFile");
    hk::IoResult r = hk::ReadFile(file.file, buffer, length);
    if (r.status == kStatusEndOfFile) return 1;  // a synchronous read at the end: TRUE, nothing read
    return Finish(r, bytesRead);
}

int WriteFile(void* handle, const void* buffer, uint32_t length, uint32_t* bytesWritten, _OVERLAPPED* overlapped) {
    if (bytesWritten) *bytesWritten = 0;
    OpenFile file;
    if (!FindHandle(handle, &file)) return Fail(kErrorInvalidHandle);
    if (overlapped) return Fail(kErrorNotSupported);
    if (!bytesWritten) return Fail(kErrorInvalidParameter);
    if (!file.write) return Fail(kErrorAccessDenied);
    if (!buffer && length) return Fail(kErrorNoAccess);
    CheckThread("WriteFile");
    return Finish(hk::WriteFile(file.file, buffer, length), bytesWritten);
}

int CloseHandle(void* object) {
    // The current process's and thread's pseudo-handles: closing them does nothing and succeeds.
    if (object == reinterpret_cast<void*>(intptr_t{-1}) || object == reinterpret_cast<void*>(intptr_t{-2})) return 1;
    OpenFile file;
    {
        std::lock_guard<std::mutex> guard(g_handleLock);
        auto it = g_handles.find(reinterpret_cast<uintptr_t>(object));
        if (it == g_handles.end()) return Fail(kErrorInvalidHandle);
        file = it->second;
        g_handles.erase(it);
    }
    CheckThread("CloseHandle");
    hk::CloseFile(file.file);  // cleanup and close; their status is not the caller's
    return 1;
}

// ---------------------------------------------------------------- errors
uint32_t GetLastError(void) { return t_lastError; }

void SetLastError(uint32_t error) { t_lastError = error; }

uint32_t FormatMessageA(uint32_t flags, const void* source, uint32_t id, uint32_t language, char* buffer, uint32_t size,
                        va_list*) {
    std::string text;
    if (!SystemText(flags & ~kFormatArgumentArray, source, id, language, &text)) return 0;
    return Deliver(text, flags, buffer, size);
}

uint32_t FormatMessageW(uint32_t flags, const void* source, uint32_t id, uint32_t language, wchar_t* buffer,
                        uint32_t size, va_list*) {
    std::string text;
    if (!SystemText(flags & ~kFormatArgumentArray, source, id, language, &text)) return 0;
    return Deliver(std::wstring(text.begin(), text.end()), flags, buffer, size);  // the texts are ASCII
}

void* LocalFree(void* memory) {
    std::free(memory);
    return nullptr;
}

// ---------------------------------------------------------------- clock
void Sleep(uint32_t milliseconds) {
    velnor::host::EnsureBooted();
    CheckThread("Sleep");
    if (milliseconds == kInfinite) {
        // Until the process ends: with every other thread waiting too, a deadlock the verifier reports.
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        KeWaitForSingleObject(&never, Executive, UserMode, FALSE, nullptr);
        return;
    }
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
    KeDelayExecutionThread(UserMode, FALSE, &interval);
    if (milliseconds == 0) std::this_thread::yield();
}

uint64_t GetTickCount64(void) {
    velnor::host::EnsureBooted();
    // Counted in clock ticks, as Windows counts it.
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    return static_cast<uint64_t>(ticks.QuadPart) * KeQueryTimeIncrement() / 10000;
}

uint32_t GetTickCount(void) { return static_cast<uint32_t>(GetTickCount64()); }

int QueryPerformanceCounter(_LARGE_INTEGER* count) {
    if (!count) return Fail(kErrorNoAccess);
    velnor::host::EnsureBooted();
    count->QuadPart = hk::Now100ns();
    return 1;
}

int QueryPerformanceFrequency(_LARGE_INTEGER* frequency) {
    if (!frequency) return Fail(kErrorNoAccess);
    frequency->QuadPart = 10000000;  // the counter is the clock in 100 ns units
    return 1;
}

// Each period asked for and not yet ended is counted; the finest one in
// force is the clock interrupt's interval. Periods outside what Windows'
// timer offers (1 ms to 1000 s) and an end without its begin are refused.
uint32_t timeBeginPeriod(uint32_t period) {
    if (period < kTimerPeriodMin || period > kTimerPeriodMax) return kTimerNoCanDo;
    velnor::host::EnsureBooted();
    std::lock_guard<std::mutex> guard(g_periodLock);
    ++g_periods[period];
    hk::SetTimerResolution(g_periods.begin()->first * 10000);
    return kTimerNoError;
}

uint32_t timeEndPeriod(uint32_t period) {
    std::lock_guard<std::mutex> guard(g_periodLock);
    auto it = g_periods.find(period);
    if (it == g_periods.end()) return kTimerNoCanDo;
    if (--it->second == 0) g_periods.erase(it);
    hk::SetTimerResolution(g_periods.empty() ? 0 : g_periods.begin()->first * 10000);
    return kTimerNoError;
}

// ---------------------------------------------------------------- console
int SetConsoleCtrlHandler(int (*handler)(uint32_t), int add) {
    {
        std::lock_guard<std::mutex> guard(g_ctrlLock);
        if (!handler) {
            g_ignoreCtrlC = add != 0;
        } else if (add) {
            g_ctrlHandlers.push_back(handler);
        } else {
            auto it = std::find(g_ctrlHandlers.rbegin(), g_ctrlHandlers.rend(), handler);
            if (it == g_ctrlHandlers.rend()) return Fail(kErrorInvalidParameter);
            g_ctrlHandlers.erase(std::next(it).base());
        }
    }
    InstallCtrlSignals();
    return 1;
}

}  // extern "C"
