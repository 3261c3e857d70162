// Shared internals of the host kernel.
#pragma once

#include <hostkernel/hostkernel.h>
#include <usbdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace hk {
// A symbolic link's device, with a reference the caller releases
// (detail::DereferenceDevice); null when the link or the device is gone.
PDEVICE_OBJECT ResolveLink(std::u16string_view link);
}

namespace hk::detail {

// Pool tags the kernel uses for its own objects; never reported as driver leaks.
constexpr uint32_t kTagIo = 0x6f496b48;    // 'HkIo' request system buffers, MDLs
constexpr uint32_t kTagUsbd = 0x44425355;  // 'USBD' blocks made by the USB library
constexpr uint32_t kTagMdl = 0x644d6b48;   // 'HkMd' MDLs a driver allocated with IoAllocateMdl

void* KernelAlloc(size_t bytes, uint32_t tag);  // zero-filled, tracked, never fails
void KernelFree(void* p);
size_t OutstandingTag(uint32_t tag);  // blocks of one tag not yet freed

// Dispatcher lock: every event, semaphore, timed wait and the bus queues
// share it, and so does the virtual clock's bookkeeping.
std::mutex& DispatcherLock();

// Virtual time since boot, in 100 ns units.
int64_t Now();
constexpr int64_t kNoDeadline = INT64_MAX;

// Blocks the calling thread (dispatcher lock held) until `ready()` or the
// virtual time `deadline()` (kNoDeadline: none). Both are evaluated under
// the lock. In the discrete clock this is the only place where a thread
// stops counting as running. Deadlock: every simulation thread was waiting
// and none had a deadline.
enum class WaitResult { Ready, Timeout, Deadlock };
WaitResult BlockUntil(std::unique_lock<std::mutex>& lock, const char* routine, const std::function<bool()>& ready,
                      const std::function<int64_t()>& deadline);
// Call with the dispatcher lock held after changing anything a waiter's
// `ready()` looks at.
void Signal();
// A thread outside the simulation that wakes others would let the clock
// jump while it still computes: reported (discrete clock; no lock held).
void CheckSimulationThread(const char* routine);

// Converts a Windows timeout (negative relative, positive absolute, 100 ns)
// into a virtual deadline, rounded up to the clock tick as timer expiry is.
int64_t DeadlineFromTimeout(const LARGE_INTEGER* timeout);

void SetIrql(KIRQL irql);
int HeldSpinLocks();
void SpinAcquire(PKSPIN_LOCK lock, ULONG_PTR token);  // spins until the lock holds `token`

PMDL NewMdl(void* buffer, ULONG length);
// Lays out a control request's buffers for its method, as the I/O manager
// does: METHOD_BUFFERED one system buffer of the larger length (exactly that
// size, so an overrun is a real one), the direct methods the input in the
// system buffer and the output behind an MDL, METHOD_NEITHER the callers'
// pointers. Returns whether the system buffer holds output to copy back.
bool SetUpControlBuffers(PIRP irp, PIO_STACK_LOCATION stack, ULONG code, const void* in, ULONG inLength, void* out,
                         ULONG outLength);

std::string Format(const char* format, va_list args);  // DbgPrint's format rules
std::string Hex(uint32_t value);

// Per-request bookkeeping, kept beside each IRP the kernel knows of.
enum class IrpOrigin { Allocated, IoManager, Threaded };
enum class IrpState { Owned, InFlight, Completed };
struct IrpInfo {
    IrpOrigin origin = IrpOrigin::Allocated;
    IrpState state = IrpState::Owned;
    // Times the request was completed; a completion routine may send the
    // same request down again before the dispatch routine that completed it returns.
    // I/O manager and threaded requests.
    void* userOutput = nullptr;
    ULONG userOutputLength = 0;
    bool copyBack = false;  // buffered output to copy to userOutput
    bool done = false;  // reached the top (guarded by the dispatcher lock)
    PDRIVER_OBJECT allocatingDriver = nullptr;
    // The dispatch calls (IofCallDriver) still waiting for the completion to
    // pass their stack location, by location.
    std::map<int, std::vector<uint64_t>> calls;
};
// Runs `fn` on the IRP's bookkeeping under the IRP table lock; false when
// the kernel does not know the IRP.
bool WithInfo(PIRP irp, const std::function<void(IrpInfo&)>& fn);
void ForgetIrp(void* memory);  // its memory is going back to the pool
PIRP NewIrp(CCHAR stackSize, IrpOrigin origin);
void DeleteIrp(PIRP irp);
size_t OutstandingDriverIrps(PDRIVER_OBJECT driver);

// The driver whose code the current thread runs in, if known (for IRP ownership).
PDRIVER_OBJECT CurrentDriver();
void SetCurrentDriver(PDRIVER_OBJECT driver);

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);

// Device object lifetime. A device object lives until IoDeleteDevice has
// been called and its last reference is gone: open handles, a device
// attached above it, requests in flight at it. Reference returns false for
// a pointer that is no live device object.
bool ReferenceDevice(PDEVICE_OBJECT device);
void DereferenceDevice(PDEVICE_OBJECT device);
bool DeletePending(PDEVICE_OBJECT device);  // IoDeleteDevice was called on it
// Devices of a driver being unloaded that were deleted but are still
// referenced; they are counted once (the driver object goes).
size_t DeletedButReferenced(PDRIVER_OBJECT driver);
// A device object made without the driver-facing checks and fault injection
// of IoCreateDevice (the host's own lower devices).
PDEVICE_OBJECT CreateDeviceObject(PDRIVER_OBJECT driver, ULONG extensionSize, DEVICE_TYPE type);

// Low resources simulation: whether this call of an allocating routine
// fails. Counts the call either way.
bool ShouldFail(Alloc routine, uint32_t tag = 0);

// The memory behind a buffered request's output: what the pool held before
// (a fixed non-zero pattern), as the I/O manager does not clear it.
void FillStale(void* p, size_t bytes);
// Pool the kernel allocates on a caller's behalf (freed with ExFreePool):
// tracked and filled like ExAllocatePoolWithTag, but not a call of it.
void* PoolAllocate(size_t bytes, uint32_t tag);
// Plug and Play requests whose stack location the caller fills in (after
// the major and minor function): PnpSendPrepared goes to the top of the
// stack under PnpSend's order rules and bookkeeping; PnpSendUnordered to the
// top of `device`'s stack outside them, for the enumeration's queries to a
// physical device before any driver has been added to it.
using StackFill = std::function<void(PIO_STACK_LOCATION)>;
IoResult PnpSendPrepared(PDEVICE_OBJECT physicalDevice, UCHAR minor, const StackFill& fill);
IoResult PnpSendUnordered(PDEVICE_OBJECT device, UCHAR minor, const StackFill& fill);
// Handles open on any of these devices.
size_t HandlesOpenOn(const std::vector<PDEVICE_OBJECT>& devices);
// CloseFile calls it once a handle is gone (no lock held, on the closing
// thread): a removal that waited for the last handle goes on here.
void PnpHandleClosed();
// A pool tag of the kernel's own, for blocks it hands to a caller that
// frees them with ExFreePool ('HkPn': the PnP manager's ID strings).
constexpr uint32_t kTagPnp = 0x6e506b48;

std::u16string Lower(std::u16string_view s);
std::u16string FromWide(PCWSTR s);
std::u16string FromUnicode(const UNICODE_STRING* s);

}  // namespace hk::detail
