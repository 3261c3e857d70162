// The host kernel's own control surface, for tests, tools and the simulated
// bus: loading drivers, the user-mode I/O manager view, Plug and Play, the
// registry, the log sink, the clock, the bus thread and the verifier.
#pragma once

#include <ntddk.h>
#include <usbdi.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
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
// make the verifier fire on purpose.
class ViolationRecorder {
public:
    ViolationRecorder();
    ~ViolationRecorder();
    ViolationRecorder(const ViolationRecorder&) = delete;
    ViolationRecorder& operator=(const ViolationRecorder&) = delete;
    std::vector<Violation> Take();
    bool Any(std::string_view routine) const;

private:
    mutable std::vector<Violation> seen_;
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
std::string TagName(uint32_t tag);
// Makes the allocation that comes after `successes` more successful ones with
// `tag` fail (returns null) once.
void FailPoolAllocation(uint32_t tag, unsigned successes);

// ------------------------------------------------------------------ clock
// Every wait, sleep, tick and USB frame runs on one virtual clock that moves
// `factor` times faster than real time.
void SetClockFactor(double factor);
double ClockFactor();
int64_t Now100ns();  // virtual time since boot, in 100 ns units
void SetTimeIncrement(ULONG increment100ns);  // tick length; 156250 at boot
// On: KeDelayExecutionThread ends at the first tick at or after its
// deadline, as on Windows at the default timer resolution (off at boot).
void SetSleepsEndOnTicks(bool on);

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

// ------------------------------------------------------------------ I/O manager (user mode's view)
struct IoResult {
    NTSTATUS status;
    ULONG_PTR information;
};
using Handle = int;
constexpr Handle kInvalidHandle = -1;
// Opens "\\.\Name" (or "\\?\", "\??\" and "\DosDevices\" forms) through the
// symbolic link; sends IRP_MJ_CREATE.
NTSTATUS OpenFile(std::string_view path, Handle* handle);
IoResult DeviceIoControl(Handle handle, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength);
IoResult ReadFile(Handle handle, void* buffer, ULONG length);
IoResult WriteFile(Handle handle, const void* buffer, ULONG length);
NTSTATUS CloseFile(Handle handle);  // sends IRP_MJ_CLEANUP, then IRP_MJ_CLOSE

// Sends a request of the given major function to the top of a device's
// stack the way the I/O manager does, waits for it and reports the result.
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

// ------------------------------------------------------------------ bus thread
// One thread that runs work at DISPATCH_LEVEL, as the USB stack's
// completions do. Work posted for a virtual time runs when the clock reaches it.
void BusPost(std::function<void()> work);
void BusPostAt(int64_t virtual100ns, std::function<void()> work);
void BusFlush();  // waits until every work item due now has run
bool OnBusThread();

// ------------------------------------------------------------------ USB library
void SetUsbdiVersion(ULONG version);  // what USBD_GetUSBDIVersion reports (0x600 at boot)

// ------------------------------------------------------------------ strings
std::u16string ToU16(std::string_view s);
std::string ToUtf8(std::u16string_view s);

}  // namespace hk
