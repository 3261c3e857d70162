// The host kernel's own control surface, for tests, tools and the simulated
// bus: loading drivers, the user-mode I/O manager view, Plug and Play, the
// registry, the log sink, the clock, the bus thread and the verifier.
#pragma once

#include <ntddk.h>
#include <usbdi.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace hk {

// ------------------------------------------------------------------ verifier
// A check that fires calls the handler; the default handler prints the
// message and aborts the process, like a bug check.
struct Violation {
    std::string routine;  // the kernel routine that detected it
    std::string message;
};
using ViolationHandler = std::function<void(const Violation&)>;
void SetViolationHandler(ViolationHandler handler);  // empty: back to print-and-abort
void ReportViolation(const char* routine, const std::string& message);

// Records every violation while alive instead of aborting; for tests that
// make the verifier fire on purpose. The handler before it comes back after it.
class ViolationRecorder {
public:
    ViolationRecorder();
    ~ViolationRecorder();
    ViolationRecorder(const ViolationRecorder&) = delete;
    ViolationRecorder& operator=(const ViolationRecorder&) = delete;
    std::vector<Violation> Take();
    bool Any(std::string_view routine) const;

private:
    // Shared with the handler, so a late report from another thread never
    // writes into a recorder that is gone.
    std::shared_ptr<std::vector<Violation>> seen_;
    ViolationHandler previous_;
};

// The driver rule that no thread holds two spin locks at once (on by default).
void SetSingleSpinLockRule(bool on);

// ------------------------------------------------------------------ pool
struct PoolUsage {
    uint32_t tag;
    size_t count;
    size_t bytes;
};
std::vector<PoolUsage> OutstandingPool();  // grouped by tag, kernel-internal tags excluded
// Keeps up to four freed blocks of 64 KB or more, poisoned, for the next
// allocation of their size (off by default; the fuzzers' speed). A stale
// pointer into a block handed out again is then no longer caught.
void KeepFreedLargeBlocks(bool on);
std::string TagName(uint32_t tag);
// Makes the allocation that comes after `successes` more successful ones with
// `tag` fail (returns null) once.
void FailPoolAllocation(uint32_t tag, unsigned successes);
// What the pool held before: the bytes of a fresh ExAllocatePoolWithTag block
// and of a buffered request's system buffer beyond the caller's input.
constexpr uint8_t kStalePoolByte = 0xCD;

// ------------------------------------------------------------------ low resources simulation
// Every routine that allocates on a driver's behalf can be made to fail, as
// Driver Verifier's low resources simulation does; a failed call returns what
// the platform returns when memory runs out (null, or
// STATUS_INSUFFICIENT_RESOURCES / STATUS_NO_MEMORY).
enum class Alloc {
    ExAllocatePoolWithTag,
    IoAllocateIrp,
    IoBuildDeviceIoControlRequest,
    IoAllocateMdl,
    MmMapLockedPagesSpecifyCache,  // null from MmGetSystemAddressForMdlSafe
    USBD_CreateConfigurationRequestEx,
    IoCreateDevice,
    IoCreateSymbolicLink,
    RtlUnicodeStringToAnsiString,  // with AllocateDestinationString
    Any,                           // in a rule: every routine above
};
const char* AllocName(Alloc routine);

// Which calls fail. A rule counts the calls it matches from the moment it is
// armed: `routine` (Any: all of them) and, for the pool, `tag` (0: any tag).
// By count, the nth matching call (1: the next one) and the `repeat` - 1
// after it fail. At random (probability > 0), each matching call fails with
// that probability, drawn from a generator seeded with `seed`: the same
// sequence of calls fails the same way on every run.
struct AllocFault {
    Alloc routine = Alloc::Any;
    uint32_t tag = 0;
    unsigned nth = 0;
    unsigned repeat = 1;
    double probability = 0;
    uint64_t seed = 0;
};
// Armed while it lives.
class FailAllocations {
public:
    explicit FailAllocations(const AllocFault& fault);
    ~FailAllocations();
    FailAllocations(const FailAllocations&) = delete;
    FailAllocations& operator=(const FailAllocations&) = delete;
    unsigned Matched() const;  // calls the rule has seen
    unsigned Failed() const;   // calls it has failed

private:
    uint64_t id_;
};
// Calls of a routine since the last reset, failed or not: a reliability test
// counts the calls an operation makes, then fails the 1st, the 2nd, ... in turn.
uint64_t AllocationCalls(Alloc routine);
void ResetAllocationCalls();

// ------------------------------------------------------------------ clock
// Every wait, sleep, tick and USB frame runs on one virtual clock.
//
// Discrete (the default, used by the tests and tools): time stands still
// while any simulation thread runs and jumps to the earliest deadline when
// all of them are blocked in kernel waits, so a test sees the same virtual
// timings however loaded the machine is, and runs as fast as the CPU allows.
// Simulation threads: the process's first thread, the bus threads, and
// threads started with hk::SimThread; a kernel wait in any other thread is
// reported. Every thread blocked with no deadline at all is a deadlock,
// reported as a verifier finding.
//
// Real time: virtual time is real time times `factor` (live demos).
void SetClockFactor(double factor);  // switches to real time at that factor
void SetDiscreteClock();             // back to the discrete clock
bool ClockIsDiscrete();
double ClockFactor();                // 0 in the discrete clock
int64_t Now100ns();                  // virtual time since boot, in 100 ns units
// Tick length; 156250 (15.625 ms) at boot. Relative and absolute timeouts
// end at the first tick at or after their due time, as Windows' timers do.
void SetTimeIncrement(ULONG increment100ns);
// A finer clock interrupt, as timeBeginPeriod asks of Windows: timers and
// delays end on its interval; the tick count and KeQueryTimeIncrement keep
// the tick. 0 goes back to the tick.
void SetTimerResolution(ULONG interval100ns);
ULONG TimerResolution();  // the interval timers end on now

// A thread that takes part in the simulation: counted from construction,
// so no virtual time passes before it first runs; Join() is a kernel wait.
class SimThread {
public:
    SimThread(std::string name, std::function<void()> body);
    ~SimThread();  // joins
    SimThread(const SimThread&) = delete;
    SimThread& operator=(const SimThread&) = delete;
    void Join();

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

// ------------------------------------------------------------------ log sink
void LogClear();
std::vector<std::string> LogLines();  // complete lines, without the newline
bool LogHasLine(std::string_view line);
size_t LogCount(std::string_view line);
void LogEcho(FILE* stream);  // also copy every line there (null: off)

// ------------------------------------------------------------------ registry
std::u16string ServiceKeyPath(std::u16string_view service);
void RegistryCreateKey(std::u16string_view key);
void RegistryDeleteKey(std::u16string_view key);
void RegistrySetDword(std::u16string_view key, std::u16string_view name, uint32_t value);
void RegistrySetString(std::u16string_view key, std::u16string_view name, std::u16string_view value);
void RegistrySetBinary(std::u16string_view key, std::u16string_view name, const std::vector<uint8_t>& value);
void RegistryDeleteValue(std::u16string_view key, std::u16string_view name);
void RegistryFailNextQuery(NTSTATUS status);  // the next RtlQueryRegistryValues returns it
void RegistryReset();

// ------------------------------------------------------------------ drivers
struct Driver;
// Loads a driver module (a shared object exporting DriverEntry), with its
// service key under the registry, and runs DriverEntry. Null on failure.
Driver* LoadDriverModule(const std::string& path, std::u16string_view service, NTSTATUS* entryStatus = nullptr);
// The same for a driver linked into the caller (test drivers).
Driver* LoadDriver(PDRIVER_INITIALIZE entry, std::u16string_view service, NTSTATUS* entryStatus = nullptr);
// Runs the unload routine, checks for leaks and leftover devices and
// requests, and releases the module. True when the module is gone.
bool UnloadDriver(Driver* driver);
PDRIVER_OBJECT DriverObjectOf(Driver* driver);

PDEVICE_OBJECT FindDeviceByName(std::u16string_view name);
bool SymbolicLinkExists(std::u16string_view link);
// A device object lives until IoDeleteDevice and the loss of its last
// reference (open handles, a device attached above, requests in flight at
// it). Its references, the creation's included until IoDeleteDevice; 0 once
// it is gone (or for a pointer that never was a device object).
size_t DeviceObjectReferences(PDEVICE_OBJECT device);

// ------------------------------------------------------------------ I/O manager (user mode's view)
struct IoResult {
    NTSTATUS status;
    ULONG_PTR information;
};
using Handle = int;
constexpr Handle kInvalidHandle = -1;
// Opens "\\.\Name" (or "\\?\", "\??\" and "\DosDevices\" forms) through the
// symbolic link; sends IRP_MJ_CREATE. A device being deleted is not opened
// (STATUS_NO_SUCH_DEVICE).
NTSTATUS OpenFile(std::string_view path, Handle* handle);
IoResult DeviceIoControl(Handle handle, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength);
IoResult ReadFile(Handle handle, void* buffer, ULONG length);
IoResult WriteFile(Handle handle, const void* buffer, ULONG length);
NTSTATUS CloseFile(Handle handle);  // sends IRP_MJ_CLEANUP, then IRP_MJ_CLOSE

// Sends a request of the given major function to the top of a device's
// stack the way the I/O manager does, waits for it and reports the result:
// the status the dispatch routine returned, or the completion's when it
// returned STATUS_PENDING. IRP_MJ_CREATE to a device being deleted fails
// with STATUS_NO_SUCH_DEVICE without reaching it.
IoResult SendIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor);

// ------------------------------------------------------------------ Plug and Play and power
NTSTATUS PnpAddDevice(Driver* driver, PDEVICE_OBJECT physicalDevice);
IoResult PnpSend(PDEVICE_OBJECT physicalDevice, UCHAR minor);  // to the top of the stack
IoResult PowerSend(PDEVICE_OBJECT physicalDevice, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);

// ------------------------------------------------------------------ lower devices
// A device of the host's own bus driver, placed below a driver under test.
// The handler sees every request sent to it and decides: complete it now
// (return the status after IofCompleteRequest), pass it to the bus thread
// (IoMarkIrpPending, return STATUS_PENDING), or keep it until cancelled.
using LowerHandler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
PDEVICE_OBJECT CreateLowerDevice(LowerHandler handler);
void SetLowerHandler(PDEVICE_OBJECT device, LowerHandler handler);
void DeleteLowerDevice(PDEVICE_OBJECT device);
// Completes an IRP with the given status and information (any thread).
void CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
// Keeps an IRP pending until it is cancelled, then completes it with
// STATUS_CANCELLED. The handler returns STATUS_PENDING after this.
void PendUntilCancelled(PIRP irp);

// ------------------------------------------------------------------ bus threads
// Threads that run work at DISPATCH_LEVEL, now or at a virtual time, as the
// USB stack's completions do. Lane 0 is the bus thread; lanes 1 to 3 are
// further processors, for completions that may run concurrently. Work of
// one lane runs in order of its virtual time, then of its rank (lower
// first), then of posting.
constexpr unsigned kBusLanes = 4;
void BusPost(std::function<void()> work);
void BusPostAt(int64_t virtual100ns, std::function<void()> work, int rank = 0);
void BusPostOn(unsigned lane, int64_t virtual100ns, std::function<void()> work, int rank = 0);
void BusFlush();  // waits until every work item due now has run, on every lane
bool OnBusThread();

// ------------------------------------------------------------------ USB library
void SetUsbdiVersion(ULONG version);  // what USBD_GetUSBDIVersion reports (0x600 at boot)

// ------------------------------------------------------------------ strings
std::u16string ToU16(std::string_view s);
std::string ToUtf8(std::u16string_view s);

}  // namespace hk
