// The Win32 layer as an application sees it: opening and closing the device,
// every NTSTATUS as DeviceIoControl's result, bytes returned and
// GetLastError, key reads, the virtual clock, FormatMessage, console
// control events, the exit, and the example built and run both ways.
#include <windows.h>

#include "support/win32_bridge.h"
#include "velnor/host_thread.h"
#include "velnor/velnor_ioctl.h"
#include "velnor_simbus.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr DWORD kUntouched = 0xDEADF00D;
const IsoStreamRequest kInStream = {0, 108, 64, 4, 4};  // the recommended IN stream

HANDLE OpenVelnor(DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return CreateFileA(VELNOR_USER_DEVICE_PATH, access, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The result of one DeviceIoControl: its BOOL, the bytes and the last error.
struct Call {
    BOOL ok;
    DWORD bytes;
    DWORD error;
};
Call Control(HANDLE h, DWORD code, const void* in, DWORD inSize, void* out = nullptr, DWORD outSize = 0) {
    Call c{FALSE, kUntouched, 0};
    SetLastError(kUntouched);
    c.ok = DeviceIoControl(h, code, const_cast<void*>(in), inSize, out, outSize, &c.bytes, nullptr);
    c.error = GetLastError();
    return c;
}

std::string Message(DWORD error, DWORD flags = 0) {
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | flags, nullptr, error, 0, text,
                             sizeof text, nullptr);
    return std::string(text, n);
}

// ------------------------------------------------------------------ open and close
TEST(Win32Files, OpenCloseAndTheErrorsOfBadNamesHandlesAndArguments) {
    SetLastError(99);
    HANDLE a = OpenVelnor();
    ASSERT_NE(a, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(GetLastError(), 0u);
    HANDLE b = CreateFileW(L"\\\\.\\Velnor-0", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(b, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_NE(a, b);
    EXPECT_TRUE(Control(b, IOCTL_VELNOR_ENABLE, nullptr, 0).ok);

    // Arguments the layer checks before the request goes down.
    DWORD bytes;
    OVERLAPPED overlapped{};
    char byte;
    EXPECT_FALSE(DeviceIoControl(a, IOCTL_VELNOR_ENABLE, nullptr, 0, nullptr, 0, &bytes, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_FALSE(DeviceIoControl(a, IOCTL_VELNOR_ENABLE, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Control(a, IOCTL_VELNOR_KEYPAD_GETKEY, nullptr, 4, &byte, 1).error, static_cast<DWORD>(ERROR_NOACCESS));
    // ReadFile takes keys in whole entries, and only on a handle opened for reading.
    DWORD key = 0;
    bytes = kUntouched;
    EXPECT_FALSE(ReadFile(a, &key, 2, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(bytes, 0u);
    HANDLE writer = OpenVelnor(GENERIC_WRITE);
    EXPECT_FALSE(ReadFile(writer, &key, 4, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseHandle(writer));

    EXPECT_TRUE(CloseHandle(a));
    EXPECT_TRUE(CloseHandle(b));
    for (HANDLE bad : {a, static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
        Call c = Control(bad, IOCTL_VELNOR_ENABLE, nullptr, 0);
        EXPECT_FALSE(c.ok);
        EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_EQ(c.bytes, kUntouched);
        bytes = 7;
        EXPECT_FALSE(ReadFile(bad, &byte, 1, &bytes, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_EQ(bytes, 0u);  // set to zero before any check
    }
    EXPECT_FALSE(CloseHandle(a));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_TRUE(CloseHandle(INVALID_HANDLE_VALUE));  // the process's pseudo-handle: closing it does nothing

    const struct {
        const char* name;
        DWORD disposition, flags, error;
    } bad[] = {
        {"\\\\.\\Velnor-7", OPEN_EXISTING, 0, ERROR_FILE_NOT_FOUND},
        {"Velnor-0", OPEN_EXISTING, 0, ERROR_FILE_NOT_FOUND},
        {"", OPEN_EXISTING, 0, ERROR_PATH_NOT_FOUND},
        {"\\\\.\\Velnor-0", 0, 0, ERROR_INVALID_PARAMETER},
        {"\\\\.\\Velnor-0", OPEN_EXISTING, FILE_FLAG_OVERLAPPED, ERROR_NOT_SUPPORTED},
    };
    for (const auto& c : bad) {
        SetLastError(0);
        EXPECT_EQ(CreateFileA(c.name, GENERIC_READ, 0, nullptr, c.disposition, c.flags, nullptr), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
    EXPECT_EQ(CreateFileW(L"\\\\.\\Velnör-0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// ------------------------------------------------------------------ statuses
// Each status a driver or the I/O manager returns, as Win32 reports it:
// success and informational statuses return TRUE and leave the last error
// alone; warnings return FALSE but report, and copy, the data; errors copy
// nothing and leave the byte count alone.
TEST(Win32Statuses, EveryStatusBecomesWin32sResultBytesAndError) {
    win32_test::LoadStatusDriver();
    HANDLE h = CreateFileA("\\\\.\\VelnorStatus", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    const struct {
        uint32_t status;
        DWORD error;  // for a status that is not success
    } table[] = {
        {0x00000000, 0},    {0x00000102, 0},    {0x40000002, 0},  // SUCCESS, TIMEOUT, an informational status
        {0xC0000001, 31},   {0xC000000D, 87},   {0xC000000E, 2},    {0xC0000017, 8},   {0xC0000023, 122},
        {0x80000005, 234},  {0xC0000056, 5},    {0xC000009A, 1450}, {0xC00000B5, 121}, {0xC0000010, 1},
        {0x80000011, 170},  {0xC0000034, 2},    {0xC000009D, 1167}, {0xC0000120, 995}, {0xC00000BB, 50},
        {0xC0000182, 87},   {0xC0000008, 6},    {0xC0000184, 22},   {0xC0000022, 5},   {0xC0000035, 183},
        {0xCEADBEEF, 317},  {0x8EADBEEF, 317},  // no mapping: ERROR_MR_MID_NOT_FOUND
    };
    for (const auto& t : table) {
        const win32_test::StatusRequest request{t.status, 3};
        unsigned char out[8] = {};
        Call c = Control(h, win32_test::kReturnStatus, &request, sizeof request, out, sizeof out);
        const bool success = t.status < 0x80000000u, warning = (t.status >> 30) == 2;
        SCOPED_TRACE(::testing::Message() << std::hex << "status 0x" << t.status);
        EXPECT_EQ(c.ok, success ? TRUE : FALSE);
        EXPECT_EQ(c.error, success ? kUntouched : t.error);
        EXPECT_EQ(c.bytes, success || warning ? 3u : kUntouched);
        EXPECT_EQ(out[0], success || warning ? win32_test::kFill : 0);
        EXPECT_EQ(out[3], 0);
        if (!success) {
            EXPECT_THAT(Message(c.error), HasSubstr(".\r\n")) << "no message for error " << c.error;
        }
    }

    // The code's required access against the handle's.
    const win32_test::StatusRequest ok{0, 0};
    EXPECT_EQ(Control(h, win32_test::kReturnStatusRead, &ok, sizeof ok).error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    HANDLE reader = CreateFileA("\\\\.\\VelnorStatus", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_TRUE(Control(reader, win32_test::kReturnStatusRead, &ok, sizeof ok).ok);
    EXPECT_TRUE(CloseHandle(reader));
    EXPECT_TRUE(CloseHandle(h));
}

// ------------------------------------------------------------------ clock
TEST(Win32Clock, SleepAndTheCountersRunOnTheVirtualClock) {
    LARGE_INTEGER frequency, q0, q1;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    EXPECT_EQ(frequency.QuadPart, 10000000);
    // A 1 ms sleep lasts to the next 15.625 ms tick, as on Windows.
    const ULONGLONG t0 = GetTickCount64();
    Sleep(1);
    const ULONGLONG t1 = GetTickCount64();
    EXPECT_TRUE(t1 - t0 == 15 || t1 - t0 == 16) << t1 - t0;
    EXPECT_EQ(GetTickCount(), static_cast<DWORD>(GetTickCount64()));
    // Ten minutes pass at once: the clock is the kernel's, not the wall's.
    ASSERT_TRUE(QueryPerformanceCounter(&q0));
    Sleep(10 * 60 * 1000);
    ASSERT_TRUE(QueryPerformanceCounter(&q1));
    EXPECT_GE(q1.QuadPart - q0.QuadPart, 600LL * 10000000);
    EXPECT_LT(q1.QuadPart - q0.QuadPart, 600LL * 10000000 + 156250);

    // A thread of the application's keeps its own time on the same clock.
    LARGE_INTEGER woke{};
    ASSERT_TRUE(QueryPerformanceCounter(&q0));
    velnor::HostThread sleeper([&] {
        Sleep(200);
        QueryPerformanceCounter(&woke);
    });
    Sleep(1000);
    sleeper.join();
    ASSERT_TRUE(QueryPerformanceCounter(&q1));
    EXPECT_GE(woke.QuadPart - q0.QuadPart, 200 * 10000);
    EXPECT_LT(woke.QuadPart - q0.QuadPart, 200 * 10000 + 156250);
    EXPECT_GE(q1.QuadPart - q0.QuadPart, 1000 * 10000);
}

// Sleep(1)'s length in 100 ns units, from one that starts just after an interrupt.
int64_t OneMillisecondSleep() {
    Sleep(1);
    LARGE_INTEGER a, b;
    QueryPerformanceCounter(&a);
    Sleep(1);
    QueryPerformanceCounter(&b);
    return b.QuadPart - a.QuadPart;
}

TEST(Win32Clock, TimeBeginPeriodShortensSleepsUntilEveryPeriodIsEnded) {
    EXPECT_EQ(timeBeginPeriod(0), static_cast<MMRESULT>(TIMERR_NOCANDO));
    EXPECT_EQ(timeBeginPeriod(1000001), static_cast<MMRESULT>(TIMERR_NOCANDO));
    EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOCANDO)) << "an end without its begin";
    EXPECT_EQ(OneMillisecondSleep(), 156250);

    ASSERT_EQ(timeBeginPeriod(5), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(OneMillisecondSleep(), 50000);
    ASSERT_EQ(timeBeginPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    ASSERT_EQ(timeBeginPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(OneMillisecondSleep(), 10000) << "the finest period asked for";
    // The tick count keeps its 15.625 ms tick.
    const ULONGLONG t0 = GetTickCount64();
    Sleep(20);
    const ULONGLONG t1 = GetTickCount64();
    EXPECT_TRUE(t1 - t0 == 15 || t1 - t0 == 16 || t1 - t0 == 31 || t1 - t0 == 32) << t1 - t0;

    EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(OneMillisecondSleep(), 10000) << "one begin of 1 ms still stands";
    EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(OneMillisecondSleep(), 50000);
    EXPECT_EQ(timeEndPeriod(5), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(OneMillisecondSleep(), 156250);
}

// ------------------------------------------------------------------ messages
TEST(Win32Messages, FormatMessageGivesTheSystemTextAsWindowsLaysItOut) {
    EXPECT_EQ(Message(ERROR_INVALID_PARAMETER), "The parameter is incorrect.\r\n");
    EXPECT_EQ(Message(ERROR_MORE_DATA, FORMAT_MESSAGE_MAX_WIDTH_MASK), "More data is available. ");
    char* allocated = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, ERROR_BUSY, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                             reinterpret_cast<LPSTR>(&allocated), 0, nullptr);
    ASSERT_NE(allocated, nullptr);
    EXPECT_EQ(std::string(allocated, n), "The requested resource is in use.\r\n");
    EXPECT_EQ(LocalFree(allocated), nullptr);
    wchar_t wide[64];
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_NOT_READY, 0,
                             wide, 64, nullptr),
              26u);
    EXPECT_EQ(std::wstring(wide), L"The device is not ready.\r\n");

    char small[8];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, small, sizeof small, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(Message(12345), "");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
    char text[256];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_BUSY, MAKELANGID(0x07, 1), text, sizeof text, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
}

// ------------------------------------------------------------------ console control
std::atomic<DWORD> g_ctrlEvent{kUntouched};
std::atomic<int> g_ctrlCalls{0};

BOOL WINAPI Handled(DWORD type) {
    Sleep(1);  // a kernel wait: the handler runs on a simulation thread
    g_ctrlEvent = type;
    ++g_ctrlCalls;
    return TRUE;
}
BOOL WINAPI NotHandled(DWORD) { return FALSE; }

TEST(Win32Console, CtrlCCallsTheHandlersAndUnhandledEndsTheProcess) {
    ASSERT_TRUE(SetConsoleCtrlHandler(NotHandled, TRUE));
    ASSERT_TRUE(SetConsoleCtrlHandler(Handled, TRUE));  // called first: the last one added
    std::raise(SIGINT);
    // The event arrives on a thread of its own; waiting in Sleep lets the
    // clock move for the handler's own wait. The bound is only against a hang.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (g_ctrlEvent == kUntouched && std::chrono::steady_clock::now() < giveUp) Sleep(1);
    EXPECT_EQ(g_ctrlEvent, static_cast<DWORD>(CTRL_C_EVENT));
    EXPECT_EQ(g_ctrlCalls, 1);
    EXPECT_TRUE(SetConsoleCtrlHandler(Handled, FALSE));
    EXPECT_FALSE(SetConsoleCtrlHandler(Handled, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // No handler that returns TRUE: the signal's default, as Windows' ExitProcess.
    EXPECT_EXIT(
        {
            std::raise(SIGINT);
            for (;;) pause();
        },
        ::testing::KilledBySignal(SIGINT), "");
}

// ------------------------------------------------------------------ exit
TEST(Win32Exit, TheModuleIsUnpluggedAtExitUnlessTheApplicationLeftAHandleOpen) {
    EXPECT_EXIT(
        {
            HANDLE h = OpenVelnor();
            Control(h, IOCTL_VELNOR_START_ISO_STREAM_IN, &kInStream, sizeof kInStream);
            CloseHandle(h);  // the stream still runs
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), Not(HasSubstr("VERIFIER")));
    EXPECT_EXIT(
        {
            OpenVelnor();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), HasSubstr("velnor: 1 handle(s) to the device still open at exit"));
    // A handle left open to the test bench does not keep the module in: it
    // is removed (with the driver's leak checks) and the bench stays.
    EXPECT_EXIT(
        {
            setenv("VELNOR_BENCH", "1", 1);
            HANDLE bench = CreateFileA("\\\\.\\VelnorSimBus", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                       nullptr);
            if (bench == INVALID_HANDLE_VALUE) std::exit(4);
            HANDLE h = OpenVelnor();
            VelnorSimBusStatus s{};
            DWORD got = 0;
            if (!DeviceIoControl(bench, IOCTL_VELNOR_SIMBUS_STATUS, nullptr, 0, &s, sizeof s, &got, nullptr) ||
                got != sizeof s || !s.present || !s.childExists)
                std::exit(5);
            CloseHandle(h);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), AllOf(Not(HasSubstr("still open")), Not(HasSubstr("VERIFIER"))));
    EXPECT_EXIT(
        {
            setenv("VELNOR_BENCH", "1", 1);
            HANDLE bench = CreateFileA("\\\\.\\VelnorSimBus", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                       nullptr);
            OpenVelnor();
            CloseHandle(bench);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), HasSubstr("velnor: 1 handle(s) to the device still open at exit"));
}

// ------------------------------------------------------------------ the example
struct Process {
    int status;
    std::string out, err;
};
Process Execute(const std::string& command) {
    // Files of this process's own: ctest runs the tests of this binary in parallel processes.
    static int runs = 0;
    const std::string stem = ::testing::TempDir() + "win32_run." + std::to_string(getpid()) + "." + std::to_string(++runs);
    const int raw = std::system((command + " >" + stem + ".out 2>" + stem + ".err").c_str());
    auto slurp = [&](const char* ext) {
        std::ifstream f(stem + ext);
        std::string text{std::istreambuf_iterator<char>(f), {}};
        std::remove((stem + ext).c_str());
        return text;
    };
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw), slurp(".out"), slurp(".err")};
}

TEST(Win32Example, HelloVelnorReportsWhatTheDriverAnswersAndExitsAccordingly) {
    // The version the driver answers, to compare the example's report with.
    HANDLE h = OpenVelnor();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DriverVersion v{};
    ASSERT_TRUE(Control(h, IOCTL_VELNOR_GET_DRIVER_VERSION, nullptr, 0, &v, sizeof v).ok);
    CloseHandle(h);

    Process run = Execute("env -u VELNOR_SIM -u VELNOR_LOG " VELNOR_HELLO_PATH);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    const std::string version = "driver version " + std::to_string(v.MajorVersion) + "." +
                                std::to_string(v.MinorVersion) + "." + std::to_string(v.BuildVersion) + "\n";
    for (const std::string& line : {std::string("opened \\\\.\\Velnor-0\n"), version,
                                    std::string("vendor 0x1209, product 0x7E1A"), std::string("closed\n")})
        EXPECT_THAT(run.out, HasSubstr(line));
    EXPECT_THAT(run.err, Not(HasSubstr("VERIFIER")));

    Process bad = Execute("env VELNOR_SIM=rate=500 " VELNOR_HELLO_PATH);
    EXPECT_EQ(bad.status, 2);
    EXPECT_THAT(bad.err, HasSubstr("velnor: VELNOR_SIM: \"rate=500\": out of range (30 to 300)"));
    EXPECT_EQ(bad.out, "");
    // The test bench: only 0 or 1, and never with a timer that pulls the plug too.
    Process bench = Execute("env VELNOR_BENCH=yes " VELNOR_HELLO_PATH);
    EXPECT_EQ(bench.status, 2);
    EXPECT_THAT(bench.err, HasSubstr("VELNOR_BENCH: \"yes\" is neither 0 nor 1"));
    Process both = Execute("env VELNOR_BENCH=1 VELNOR_SIM=unplug=2 " VELNOR_HELLO_PATH);
    EXPECT_EQ(both.status, 2);
    EXPECT_THAT(both.err, HasSubstr("drop unplug= from VELNOR_SIM"));
    Process withBench = Execute("env -u VELNOR_SIM VELNOR_BENCH=1 " VELNOR_HELLO_PATH);
    EXPECT_EQ(withBench.status, 0) << withBench.err;
    EXPECT_THAT(withBench.err, Not(HasSubstr("VERIFIER"))) << "the bench comes and goes without a finding";

#ifdef VELNOR_ONE_LINE_BUILD
    // README's command line, from the source tree, builds the same program.
    const std::string binary = ::testing::TempDir() + "hello_velnor_one_line";
    Process build = Execute("cd " VELNOR_SOURCE_DIR " && " VELNOR_ONE_LINE_BUILD " -o " + binary);
    ASSERT_EQ(build.status, 0) << build.err;
    Process same = Execute("env -u VELNOR_SIM -u VELNOR_LOG " + binary);
    EXPECT_EQ(same.status, run.status);
    EXPECT_EQ(same.out, run.out);
#endif
}

// velnor-ctl: codes by name or value, the reply or the Win32 error, a block.
TEST(Win32Example, VelnorCtlSendsByNameAndReportsTheReplyOrTheError) {
    Process enable = Execute(VELNOR_CTL_PATH " send enable --out 0");
    EXPECT_EQ(enable.status, 0) << enable.out << enable.err;
    EXPECT_THAT(enable.out, HasSubstr("IOCTL_VELNOR_ENABLE (0xBE002118): 0 byte(s) in, 0 out\nok: 0 byte(s) returned"));
    // The module is not enabled in this new process: STATUS_NO_SUCH_DEVICE.
    Process key = Execute(VELNOR_CTL_PATH " send 0xBE002134 --u32 1 --out 4");
    EXPECT_EQ(key.status, 1);
    EXPECT_THAT(key.out, HasSubstr("IOCTL_VELNOR_KEYPAD_GETKEY (0xBE002134): 4 byte(s) in, 4 out\n"
                                   "failed: error 2 (The system cannot find the file specified.)"));
    Process ambiguous = Execute(VELNOR_CTL_PATH " send firmware_download");
    EXPECT_EQ(ambiguous.status, 2);
    EXPECT_THAT(ambiguous.err, HasSubstr("IOCTL_Velnor_FIRMWARE_DOWNLOAD IOCTL_VELNOR_FIRMWARE_DOWNLOAD"));
    Process block = Execute("env VELNOR_SIM=noise=0.05 " VELNOR_CTL_PATH " block --samples 5 --channels 2");
    EXPECT_EQ(block.status, 0) << block.out << block.err;
    EXPECT_THAT(block.out, HasSubstr("block of 5 sample(s) x 2 channel(s)"));
    EXPECT_THAT(block.out, ::testing::ContainsRegex("row  1:( -?[0-9]+){5}\n  pace  :( 0){5}\n"));
    EXPECT_THAT(block.err, Not(HasSubstr("VERIFIER")));
}

#ifdef VELNOR_WINDOWS_APPS_DIR
TEST(Win32Example, TheWindowsBuildsAreConsoleProgramsImportingOnlySystemDlls) {
    for (const char* name : {"hello_velnor.exe", "velnor-ctl.exe"}) {
        Process dump = Execute(std::string(VELNOR_MINGW_OBJDUMP " -p " VELNOR_WINDOWS_APPS_DIR "/") + name);
        ASSERT_EQ(dump.status, 0) << dump.err;
        EXPECT_THAT(dump.out, HasSubstr("file format pei-x86-64")) << name;
        EXPECT_THAT(dump.out, HasSubstr("Subsystem\t\t00000003")) << name;  // console
        std::istringstream lines(dump.out);
        for (std::string line; std::getline(lines, line);)
            if (line.find("DLL Name:") != std::string::npos) {
                EXPECT_THAT(line, ::testing::AnyOf(HasSubstr("KERNEL32.dll"), HasSubstr("msvcrt.dll"))) << name;
            }
    }
}
#endif

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleMock(&argc, argv);
    // The death tests run the test again in a new process: the host kernel's
    // threads do not survive a fork.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
