// Device objects, symbolic links, IRPs: allocation, sending, completion and
// cancellation, with the verifier's request checks.
#include "internal.h"

#include <map>
#include <unordered_map>

namespace hk {
namespace {

std::mutex g_irpLock;
std::unordered_map<PIRP, detail::IrpInfo> g_irps;

// One dispatch call (IofCallDriver) of a request at one stack location. Its
// two halves come in either order: the status the dispatch routine returned,
// and what the completion showed when it passed the location (the pending
// mark and IoStatus.Status). The I/O verification rules join them.
struct CallFrame {
    PDEVICE_OBJECT device;  // referenced until the completion passes the location
    std::string who;        // "IRP_MJ_... dispatch routine of \Driver\..."
    bool returned = false;
    NTSTATUS returnedStatus = 0;
    bool passed = false;  // the completion passed the location
    bool marked = false;
    NTSTATUS completedStatus = 0;
    bool judged = false;  // reported already
};
std::unordered_map<uint64_t, CallFrame> g_frames;  // guarded by g_irpLock
uint64_t g_nextFrame = 1;

std::mutex g_nameLock;
std::map<std::u16string, PDEVICE_OBJECT> g_devices;     // lower-cased device names
std::map<std::u16string, std::u16string> g_links;       // lower-cased link -> device name
std::map<PDEVICE_OBJECT, std::u16string> g_deviceNames;
// Every live device object (also guarded by g_nameLock): its references and
// whether IoDeleteDevice has been called.
struct DeviceRecord {
    long references = 1;  // the creation's, until IoDeleteDevice
    bool deletePending = false;
    PDRIVER_OBJECT driver = nullptr;
};
std::unordered_map<PDEVICE_OBJECT, DeviceRecord> g_deviceRecords;

thread_local PDRIVER_OBJECT t_driver = nullptr;

KSPIN_LOCK g_cancelLock = 0;

const char* MajorName(UCHAR major) {
    switch (major) {
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    case IRP_MJ_READ: return "IRP_MJ_READ";
    case IRP_MJ_WRITE: return "IRP_MJ_WRITE";
    case IRP_MJ_DEVICE_CONTROL: return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
    case IRP_MJ_CLEANUP: return "IRP_MJ_CLEANUP";
    case IRP_MJ_POWER: return "IRP_MJ_POWER";
    case IRP_MJ_SYSTEM_CONTROL: return "IRP_MJ_SYSTEM_CONTROL";
    case IRP_MJ_PNP: return "IRP_MJ_PNP";
    default: return "IRP_MJ_?";
    }
}

std::string DriverName(PDRIVER_OBJECT d) { return d ? ToUtf8(detail::FromUnicode(&d->DriverName)) : "?"; }

// What the I/O verification rules say of a call whose two halves are known;
// empty when it kept them.
std::string Judge(const CallFrame& f) {
    const std::string returned = detail::Hex(static_cast<uint32_t>(f.returnedStatus));
    if (f.returnedStatus == STATUS_PENDING)
        return f.marked ? std::string()
                        : f.who + " returned STATUS_PENDING without marking the request pending (IoMarkIrpPending)";
    if (f.marked)
        return f.who + " marked the request pending (IoMarkIrpPending) but returned " + returned +
               " instead of STATUS_PENDING";
    if (f.returnedStatus != f.completedStatus)
        return f.who + " returned " + returned + " for a request it completed with IoStatus.Status " +
               detail::Hex(static_cast<uint32_t>(f.completedStatus));
    return {};
}

// Forgets the calls still open on a request whose memory is going away or
// being reinitialised; their device references go to `release`.
void DropCalls(detail::IrpInfo& info, std::vector<PDEVICE_OBJECT>& release) {
    for (auto& [location, ids] : info.calls) {
        for (uint64_t id : ids) {
            auto f = g_frames.find(id);
            if (f == g_frames.end()) continue;
            release.push_back(f->second.device);
            g_frames.erase(f);
        }
    }
    info.calls.clear();
}

void Release(const std::vector<PDEVICE_OBJECT>& devices) {
    for (PDEVICE_OBJECT d : devices) detail::DereferenceDevice(d);
}

// Normalises "\DosDevices\X" and "\??\X" to one spelling.
std::u16string LinkKey(std::u16string_view link) {
    std::u16string l = detail::Lower(link);
    const std::u16string dos = u"\\dosdevices\\";
    if (l.rfind(dos, 0) == 0) l = u"\\??\\" + l.substr(dos.size());
    return l;
}

}  // namespace

PDEVICE_OBJECT FindDeviceByName(std::u16string_view name) {
    std::lock_guard<std::mutex> guard(g_nameLock);
    auto it = g_devices.find(detail::Lower(name));
    return it == g_devices.end() ? nullptr : it->second;
}

bool SymbolicLinkExists(std::u16string_view link) {
    std::lock_guard<std::mutex> guard(g_nameLock);
    return g_links.count(LinkKey(link)) > 0;
}

PDEVICE_OBJECT ResolveLink(std::u16string_view link) {
    std::lock_guard<std::mutex> guard(g_nameLock);
    auto it = g_links.find(LinkKey(link));
    if (it == g_links.end()) return nullptr;
    auto d = g_devices.find(detail::Lower(it->second));
    if (d == g_devices.end()) return nullptr;
    // Referenced under the same lock that found it, so a concurrent
    // IoDeleteDevice cannot free it before the caller has it.
    g_deviceRecords[d->second].references++;
    return d->second;
}

size_t DeviceObjectReferences(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(g_nameLock);
    auto it = g_deviceRecords.find(device);
    return it == g_deviceRecords.end() ? 0 : static_cast<size_t>(it->second.references);
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    while (device && device->AttachedDevice) device = device->AttachedDevice;
    return device;
}

namespace detail {

PDRIVER_OBJECT CurrentDriver() { return t_driver; }
void SetCurrentDriver(PDRIVER_OBJECT driver) { t_driver = driver; }

bool WithInfo(PIRP irp, const std::function<void(IrpInfo&)>& fn) {
    std::lock_guard<std::mutex> guard(g_irpLock);
    auto it = g_irps.find(irp);
    if (it == g_irps.end()) return false;
    fn(it->second);
    return true;
}

void ForgetIrp(void* memory) {
    std::vector<PDEVICE_OBJECT> release;
    bool inFlight = false;
    {
        std::lock_guard<std::mutex> guard(g_irpLock);
        auto it = g_irps.find(static_cast<PIRP>(memory));
        if (it == g_irps.end()) return;
        inFlight = it->second.state == IrpState::InFlight;
        DropCalls(it->second, release);
        g_irps.erase(it);
    }
    if (inFlight) ReportViolation("ExFreePool", "memory of a request that is still in flight was freed");
    Release(release);
}

static void InitIrp(PIRP irp, USHORT size, CCHAR stackSize) {
    std::memset(irp, 0, size);
    irp->Type = 6;
    irp->Size = size;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

PIRP NewIrp(CCHAR stackSize, IrpOrigin origin) {
    USHORT size = IoSizeOfIrp(stackSize);
    auto irp = static_cast<PIRP>(KernelAlloc(size, kTagIo));
    InitIrp(irp, size, stackSize);
    std::lock_guard<std::mutex> guard(g_irpLock);
    IrpInfo& info = g_irps[irp];
    info = IrpInfo{};
    info.origin = origin;
    info.allocatingDriver = t_driver;
    return irp;
}

void DeleteIrp(PIRP irp) {
    std::vector<PDEVICE_OBJECT> release;
    {
        std::lock_guard<std::mutex> guard(g_irpLock);
        auto it = g_irps.find(irp);
        if (it != g_irps.end()) {
            DropCalls(it->second, release);
            g_irps.erase(it);
        }
    }
    Release(release);
    KernelFree(irp);
}

size_t OutstandingDriverIrps(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(g_irpLock);
    size_t n = 0;
    for (const auto& [irp, info] : g_irps)
        n += (info.origin == IrpOrigin::Allocated && info.allocatingDriver == driver);
    return n;
}

PMDL NewMdl(void* buffer, ULONG length) {
    auto mdl = static_cast<PMDL>(KernelAlloc(sizeof(MDL), kTagIo));
    mdl->Size = sizeof(MDL);
    mdl->StartVa = buffer;
    mdl->ByteCount = length;
    return mdl;
}

bool SetUpControlBuffers(PIRP irp, PIO_STACK_LOCATION stack, ULONG code, const void* in, ULONG inLength, void* out,
                         ULONG outLength) {
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = inLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outLength;
    switch (code & 3) {
    case METHOD_BUFFERED: {
        ULONG size = inLength > outLength ? inLength : outLength;
        if (!size) return false;
        // The I/O manager copies the input in and clears nothing: beyond it
        // the buffer holds whatever the pool held, which a driver must not
        // hand back to user mode unwritten.
        auto* buffer = static_cast<UCHAR*>(KernelAlloc(size, kTagIo));
        FillStale(buffer, size);
        if (in && inLength) std::memcpy(buffer, in, inLength);
        irp->AssociatedIrp.SystemBuffer = buffer;
        return out && outLength;
    }
    case METHOD_NEITHER:
        stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(in);
        irp->UserBuffer = out;
        return false;
    default:
        if (in && inLength) {
            irp->AssociatedIrp.SystemBuffer = KernelAlloc(inLength, kTagIo);
            std::memcpy(irp->AssociatedIrp.SystemBuffer, in, inLength);
        }
        if (out && outLength) irp->MdlAddress = NewMdl(out, outLength);
        return false;
    }
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

namespace {
struct DeviceBlock {
    DEVICE_OBJECT device;
    alignas(16) unsigned char extension[1];
};
}  // namespace

PDEVICE_OBJECT CreateDeviceObject(PDRIVER_OBJECT driver, ULONG extensionSize, DEVICE_TYPE type) {
    auto* block = static_cast<DeviceBlock*>(KernelAlloc(offsetof(DeviceBlock, extension) + extensionSize, kTagIo));
    PDEVICE_OBJECT d = &block->device;
    d->Type = 3;
    d->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    d->DriverObject = driver;
    d->Flags = DO_DEVICE_INITIALIZING;
    d->DeviceExtension = extensionSize ? block->extension : nullptr;
    d->DeviceType = type;
    d->StackSize = 1;
    std::lock_guard<std::mutex> guard(g_nameLock);
    d->NextDevice = driver->DeviceObject;
    driver->DeviceObject = d;
    g_deviceRecords[d] = DeviceRecord{1, false, driver};
    return d;
}

bool ReferenceDevice(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(g_nameLock);
    auto it = g_deviceRecords.find(device);
    if (it == g_deviceRecords.end()) return false;
    it->second.references++;
    return true;
}

void DereferenceDevice(PDEVICE_OBJECT device) {
    {
        std::lock_guard<std::mutex> guard(g_nameLock);
        auto it = g_deviceRecords.find(device);
        if (it == g_deviceRecords.end() || --it->second.references > 0) return;
        g_deviceRecords.erase(it);
    }
    KernelFree(device);  // the device object opens its block
}

bool DeletePending(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(g_nameLock);
    auto it = g_deviceRecords.find(device);
    return it == g_deviceRecords.end() || it->second.deletePending;
}

size_t DeletedButReferenced(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(g_nameLock);
    size_t n = 0;
    for (auto& [d, r] : g_deviceRecords) {
        if (!r.deletePending || r.driver != driver) continue;
        ++n;
        r.driver = nullptr;  // the driver object goes now; not to be confused with a later one
    }
    return n;
}

}  // namespace detail
}  // namespace hk

using namespace hk;
using namespace hk::detail;

// ---------------------------------------------------------------- devices
extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name,
                                   DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive,
                                   PDEVICE_OBJECT* out) {
    *out = nullptr;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) ReportViolation("IoCreateDevice", "called above PASSIVE_LEVEL");
    if (ShouldFail(Alloc::IoCreateDevice)) return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string n = name ? FromUnicode(name) : std::u16string();
    if (!n.empty()) {
        std::lock_guard<std::mutex> guard(g_nameLock);
        if (g_devices.count(Lower(n))) return STATUS_OBJECT_NAME_COLLISION;
    }
    PDEVICE_OBJECT d = CreateDeviceObject(driver, extensionSize, type);
    d->Flags |= exclusive ? DO_EXCLUSIVE : 0;
    d->Characteristics = characteristics;
    std::lock_guard<std::mutex> guard(g_nameLock);
    if (!n.empty()) {
        g_devices[Lower(n)] = d;
        g_deviceNames[d] = n;
    }
    *out = d;
    return STATUS_SUCCESS;
}

// The device object stays until its last reference is gone: a handle still
// open on it gets its cleanup and close, a device attached above it keeps
// sending it requests until it detaches, a request in flight at it
// completes. From here on it has no name and takes no new opens.
extern "C" VOID IoDeleteDevice(PDEVICE_OBJECT d) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) ReportViolation("IoDeleteDevice", "called above PASSIVE_LEVEL");
    {
        std::lock_guard<std::mutex> guard(g_nameLock);
        auto it = g_deviceRecords.find(d);
        if (it == g_deviceRecords.end() || it->second.deletePending) {
            ReportViolation("IoDeleteDevice", "device object deleted twice, or never created with IoCreateDevice");
            return;
        }
    }
    if (PDEVICE_OBJECT lower = d->HkLowerDevice) {
        ReportViolation("IoDeleteDevice", "device still attached to a lower device; IoDetachDevice it first");
        IoDetachDevice(lower);  // or the lower device would keep a pointer to it
    }
    std::unique_lock<std::mutex> lock(g_nameLock);
    for (PDEVICE_OBJECT* p = &d->DriverObject->DeviceObject; *p; p = &(*p)->NextDevice) {
        if (*p == d) {
            *p = d->NextDevice;
            break;
        }
    }
    auto it = g_deviceNames.find(d);
    if (it != g_deviceNames.end()) {
        g_devices.erase(Lower(it->second));
        g_deviceNames.erase(it);
    }
    DeviceRecord& record = g_deviceRecords[d];
    record.deletePending = true;
    if (--record.references > 0) return;
    g_deviceRecords.erase(d);
    lock.unlock();
    KernelFree(d);
}

extern "C" NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING deviceName) {
    if (ShouldFail(Alloc::IoCreateSymbolicLink)) return STATUS_INSUFFICIENT_RESOURCES;
    std::lock_guard<std::mutex> guard(g_nameLock);
    std::u16string key = LinkKey(FromUnicode(link));
    if (g_links.count(key)) return STATUS_OBJECT_NAME_COLLISION;
    g_links[key] = FromUnicode(deviceName);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link) {
    std::lock_guard<std::mutex> guard(g_nameLock);
    return g_links.erase(LinkKey(FromUnicode(link))) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

// The device attached above holds a reference on the one below, which it
// keeps sending requests to until it detaches. A device being deleted takes
// no new attachment.
extern "C" PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
    PDEVICE_OBJECT top = TopOfStack(target);
    if (!top || DeletePending(top) || !ReferenceDevice(top)) return nullptr;
    top->AttachedDevice = source;
    source->HkLowerDevice = top;
    source->StackSize = static_cast<CHAR>(top->StackSize + 1);
    return top;
}

extern "C" VOID IoDetachDevice(PDEVICE_OBJECT target) {
    PDEVICE_OBJECT above = target->AttachedDevice;
    if (!above) {
        ReportViolation("IoDetachDevice", "no device is attached to this one");
        return;
    }
    above->HkLowerDevice = nullptr;
    target->AttachedDevice = nullptr;
    DereferenceDevice(target);
}

// ---------------------------------------------------------------- IRPs
extern "C" PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("IoAllocateIrp", "called above DISPATCH_LEVEL");
    if (stackSize < 1) {
        ReportViolation("IoAllocateIrp", "stack size below 1");
        return nullptr;
    }
    if (ShouldFail(Alloc::IoAllocateIrp)) return nullptr;
    return NewIrp(stackSize, IrpOrigin::Allocated);
}

// A driver reinitialises the requests it allocated before each reuse; they
// stay its own, so one that is never freed still counts against it at
// unload. Memory the caller took from the pool itself becomes a request
// owned by nobody (its leak shows as pool).
extern "C" VOID IoInitializeIrp(PIRP irp, USHORT packetSize, CCHAR stackSize) {
    if (packetSize < IoSizeOfIrp(stackSize)) {
        ReportViolation("IoInitializeIrp", "packet size too small for the stack size");
        return;
    }
    std::vector<PDEVICE_OBJECT> release;
    std::string problem;
    {
        std::lock_guard<std::mutex> guard(g_irpLock);
        auto it = g_irps.find(irp);
        if (it != g_irps.end() && it->second.state == IrpState::InFlight) {
            problem = "request reinitialised while a driver below still owns it";
        } else if (it != g_irps.end() && it->second.origin != IrpOrigin::Allocated) {
            problem = "request belongs to the I/O manager; only a driver's own requests may be reinitialised";
        } else {
            InitIrp(irp, packetSize, stackSize);
            if (it == g_irps.end()) {
                IrpInfo& info = g_irps[irp];
                info.origin = IrpOrigin::Allocated;
                info.allocatingDriver = nullptr;
            } else {
                DropCalls(it->second, release);
                it->second.state = IrpState::Owned;
            }
        }
    }
    if (!problem.empty()) ReportViolation("IoInitializeIrp", problem);
    Release(release);
}

extern "C" VOID IoFreeIrp(PIRP irp) {
    bool known = false, inFlight = false;
    IrpOrigin origin = IrpOrigin::Allocated;
    {
        std::lock_guard<std::mutex> guard(g_irpLock);
        auto it = g_irps.find(irp);
        if (it != g_irps.end()) {
            known = true;
            inFlight = it->second.state == IrpState::InFlight;
            origin = it->second.origin;
        }
    }
    if (!known) {
        ReportViolation("IoFreeIrp", "request freed twice, or never allocated with IoAllocateIrp");
        return;
    }
    if (origin == IrpOrigin::Threaded) {
        ReportViolation("IoFreeIrp", "a request from IoBuildDeviceIoControlRequest is freed by the I/O manager when it "
                                     "completes; the driver must not free it");
        return;
    }
    if (origin == IrpOrigin::IoManager) {
        ReportViolation("IoFreeIrp", "request belongs to the I/O manager");
        return;
    }
    if (inFlight) {
        ReportViolation("IoFreeIrp", "request freed while a driver below still owns it");
        return;
    }
    DeleteIrp(irp);
}

// The dispatch call at `location` has returned `status`; judged now if the
// completion already passed the location, else when it does.
static void DispatchReturned(uint64_t frame, NTSTATUS status) {
    std::string problem;
    {
        std::lock_guard<std::mutex> guard(g_irpLock);
        auto it = g_frames.find(frame);
        if (it == g_frames.end()) return;  // the request's memory went away with it
        CallFrame& f = it->second;
        f.returned = true;
        f.returnedStatus = status;
        if (f.passed) {
            problem = Judge(f);
            g_frames.erase(it);
        } else if (status != STATUS_PENDING) {
            problem = f.who + " returned " + Hex(static_cast<uint32_t>(status)) +
                      " without completing or passing on the request";
            f.judged = true;
        }
    }
    if (!problem.empty()) ReportViolation("IofCallDriver", problem);
}

// The completion passes stack location `location`: every dispatch call made
// at it learns the pending mark and the status, and releases its device.
static void CompletionPassed(PIRP irp, int location, bool marked, NTSTATUS status) {
    std::vector<std::string> problems;
    std::vector<PDEVICE_OBJECT> release;
    {
        std::lock_guard<std::mutex> guard(g_irpLock);
        auto info = g_irps.find(irp);
        if (info == g_irps.end()) return;
        auto at = info->second.calls.find(location);
        if (at == info->second.calls.end()) return;
        for (uint64_t id : at->second) {
            auto it = g_frames.find(id);
            if (it == g_frames.end()) continue;
            CallFrame& f = it->second;
            release.push_back(f.device);
            f.passed = true;
            f.marked = marked;
            f.completedStatus = status;
            if (f.returned) {
                if (!f.judged) problems.push_back(Judge(f));
                g_frames.erase(it);
            }
        }
        info->second.calls.erase(at);
    }
    for (const auto& p : problems)
        if (!p.empty()) ReportViolation("IofCallDriver", p);
    Release(release);
}

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("IofCallDriver", "called above DISPATCH_LEVEL");
    if (irp->CancelRoutine)
        ReportViolation("IofCallDriver", "request passed on with a cancel routine still set; the driver that set it "
                                         "must take it back (IoSetCancelRoutine(Irp, NULL)) first");
    if (!ReferenceDevice(device)) {
        ReportViolation("IofCallDriver", "not a device object (deleted and released, or never created)");
        return STATUS_INVALID_PARAMETER;
    }
    irp->CurrentLocation--;
    if (irp->CurrentLocation <= 0) {
        ReportViolation("IofCallDriver", "no stack location left for the device (NO_MORE_IRP_STACK_LOCATIONS)");
        irp->CurrentLocation++;
        DereferenceDevice(device);
        return STATUS_INVALID_PARAMETER;
    }
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = device;
    const int location = irp->CurrentLocation;

    UCHAR major = stack->MajorFunction;
    if (major == IRP_MJ_INTERNAL_DEVICE_CONTROL && KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        const char* what = nullptr;
        if (code == IOCTL_INTERNAL_USB_RESET_PORT) what = "IOCTL_INTERNAL_USB_RESET_PORT";
        if (code == IOCTL_INTERNAL_USB_ENABLE_PORT) what = "IOCTL_INTERNAL_USB_ENABLE_PORT";
        // Resetting a pipe waits inside the USB stack, like the port requests.
        auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        if (code == IOCTL_INTERNAL_USB_SUBMIT_URB && urb) {
            USHORT function = urb->UrbHeader.Function;
            if (function == URB_FUNCTION_RESET_PIPE) what = "URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL";
            if (function == 0x30) what = "URB_FUNCTION_SYNC_RESET_PIPE";
            if (function == 0x31) what = "URB_FUNCTION_SYNC_CLEAR_STALL";
        }
        if (what)
            ReportViolation("IofCallDriver", std::string(what) + " sent at IRQL " + std::to_string(KeGetCurrentIrql()) +
                                                 "; the USB stack takes it at PASSIVE_LEVEL only");
    }
    PDRIVER_OBJECT driver = device->DriverObject;
    PDRIVER_DISPATCH dispatch = major <= IRP_MJ_MAXIMUM_FUNCTION ? driver->MajorFunction[major] : nullptr;
    if (!dispatch) dispatch = InvalidDeviceRequest;
    std::string who = std::string(MajorName(major)) + " dispatch routine of " + DriverName(driver);

    uint64_t frame = 0;
    {
        std::lock_guard<std::mutex> guard(g_irpLock);
        auto info = g_irps.find(irp);
        if (info != g_irps.end()) {
            info->second.state = IrpState::InFlight;
            frame = g_nextFrame++;
            g_frames[frame] = CallFrame{device, who};
            info->second.calls[location].push_back(frame);
        }
    }
    if (!frame) DereferenceDevice(device);  // a request the kernel does not know: nothing to follow

    KIRQL irql = KeGetCurrentIrql();
    int locks = HeldSpinLocks();
    PDRIVER_OBJECT previous = t_driver;
    t_driver = driver;
    NTSTATUS status = dispatch(device, irp);
    t_driver = previous;
    // From here the request and the device may be gone: only `who` is used.

    if (KeGetCurrentIrql() != irql)
        ReportViolation("IofCallDriver", who + " returned at IRQL " + std::to_string(KeGetCurrentIrql()) +
                                             ", called at " + std::to_string(irql));
    if (HeldSpinLocks() != locks) ReportViolation("IofCallDriver", who + " returned holding a spin lock");
    if (frame) DispatchReturned(frame, status);
    return status;
}

extern "C" VOID IofCompleteRequest(PIRP irp, CCHAR) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("IofCompleteRequest", "called above DISPATCH_LEVEL");
    bool ok = false;
    IrpOrigin origin = IrpOrigin::Allocated;
    PDRIVER_OBJECT owner = nullptr;
    bool known = WithInfo(irp, [&](IrpInfo& info) {
        // A driver that took the request back with STATUS_MORE_PROCESSING_REQUIRED
        // (state Owned) may complete it again; a completed one may not.
        ok = info.state != IrpState::Completed;
        origin = info.origin;
        owner = info.allocatingDriver;
        if (ok) info.state = IrpState::Completed;
    });
    if (!known) {
        ReportViolation("IofCompleteRequest", "request is unknown or already freed");
        return;
    }
    if (!ok) {
        ReportViolation("IofCompleteRequest", "request completed twice");
        return;
    }
    if (irp->IoStatus.Status == STATUS_PENDING)
        ReportViolation("IofCompleteRequest", "request completed with STATUS_PENDING");
    if (irp->CancelRoutine) ReportViolation("IofCompleteRequest", "request completed with its cancel routine set");

    while (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
        irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        NTSTATUS s = irp->IoStatus.Status;
        CompletionPassed(irp, irp->CurrentLocation, irp->PendingReturned, s);
        bool invoke = stack->CompletionRoutine &&
                      ((NT_SUCCESS(s) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                       (!NT_SUCCESS(s) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                       (irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)));
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
        const bool hasLocation = irp->CurrentLocation <= irp->StackCount;
        if (invoke) {
            PDEVICE_OBJECT upper = hasLocation ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
            // The routine runs with the request owned by its driver again: it
            // may keep it, free it or send it down once more.
            WithInfo(irp, [](IrpInfo& info) { info.state = IrpState::Owned; });
            KIRQL irql = KeGetCurrentIrql();
            PDRIVER_OBJECT previous = t_driver;
            t_driver = upper ? upper->DriverObject : owner;
            const std::string whose = DriverName(t_driver);
            NTSTATUS r = routine(upper, irp, context);
            t_driver = previous;
            if (KeGetCurrentIrql() != irql)
                ReportViolation("IofCompleteRequest", "completion routine of " + whose + " returned at another IRQL");
            // STATUS_MORE_PROCESSING_REQUIRED: the request is the driver's, and
            // may already be freed or on its way again; nothing here touches it.
            if (r == STATUS_MORE_PROCESSING_REQUIRED) return;
            // Any other answer lets the completion go on up; a request that
            // was pending below must then be marked pending at this level,
            // since this driver's dispatch routine returned the lower status.
            if (irp->PendingReturned && hasLocation &&
                !(irp->Tail.Overlay.CurrentStackLocation->Control & SL_PENDING_RETURNED)) {
                ReportViolation("IofCompleteRequest",
                                "completion routine of " + whose + " returned " + Hex(static_cast<uint32_t>(r)) +
                                    " without IoMarkIrpPending although Irp->PendingReturned is set");
                IoMarkIrpPending(irp);  // reported once, not again at its dispatch routine
            }
            WithInfo(irp, [](IrpInfo& info) { info.state = IrpState::Completed; });
        } else if (irp->PendingReturned && hasLocation) {
            IoMarkIrpPending(irp);
        }
    }

    switch (origin) {
    case IrpOrigin::IoManager: {
        std::lock_guard<std::mutex> guard(DispatcherLock());
        WithInfo(irp, [](IrpInfo& info) { info.done = true; });
        detail::Signal();
        break;
    }
    case IrpOrigin::Threaded: {
        IrpInfo copy;
        WithInfo(irp, [&](IrpInfo& info) { copy = info; });
        if (copy.copyBack && !NT_ERROR(irp->IoStatus.Status)) {
            ULONG_PTR n = irp->IoStatus.Information;
            if (n > copy.userOutputLength) n = copy.userOutputLength;
            std::memcpy(copy.userOutput, irp->AssociatedIrp.SystemBuffer, n);
        }
        if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
        PKEVENT event = irp->UserEvent;
        if (irp->AssociatedIrp.SystemBuffer) KernelFree(irp->AssociatedIrp.SystemBuffer);
        if (irp->MdlAddress) KernelFree(irp->MdlAddress);
        DeleteIrp(irp);
        if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        break;
    }
    case IrpOrigin::Allocated:
        ReportViolation("IofCompleteRequest",
                        "a request from IoAllocateIrp was completed past its last stack location; its completion "
                        "routine must return STATUS_MORE_PROCESSING_REQUIRED");
        break;
    }
}

extern "C" VOID IoAcquireCancelSpinLock(PKIRQL irql) {
    // The cancel lock is the kernel's own; it does not count against the
    // driver's one-lock rule.
    KIRQL old = KeGetCurrentIrql();
    if (old > DISPATCH_LEVEL) ReportViolation("IoAcquireCancelSpinLock", "called above DISPATCH_LEVEL");
    SetIrql(DISPATCH_LEVEL);
    SpinAcquire(&g_cancelLock, 1);
    *irql = old;
}

extern "C" VOID IoReleaseCancelSpinLock(KIRQL irql) {
    if (__atomic_load_n(&g_cancelLock, __ATOMIC_RELAXED) == 0) {
        ReportViolation("IoReleaseCancelSpinLock", "cancel spin lock released twice");
        return;
    }
    __atomic_store_n(&g_cancelLock, 0, __ATOMIC_RELEASE);
    SetIrql(irql);
}

extern "C" BOOLEAN IoCancelIrp(PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    irp->CancelIrql = irql;
    PDEVICE_OBJECT device = irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp)->DeviceObject
                                                                    : nullptr;
    routine(device, irp);  // releases the cancel spin lock
    return TRUE;
}

extern "C" PIRP IoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID in, ULONG inLength, PVOID out,
                                              ULONG outLength, BOOLEAN internal, PKEVENT event,
                                              PIO_STATUS_BLOCK iosb) {
    // A threaded request is queued to the calling thread and completed
    // through it; the routine is documented for PASSIVE_LEVEL only.
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        ReportViolation("IoBuildDeviceIoControlRequest",
                        "called at IRQL " + std::to_string(KeGetCurrentIrql()) + "; it requires PASSIVE_LEVEL");
    if (ShouldFail(Alloc::IoBuildDeviceIoControlRequest)) return nullptr;
    PIRP irp = NewIrp(device->StackSize, IrpOrigin::Threaded);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    bool copyBack = SetUpControlBuffers(irp, stack, code, in, inLength, out, outLength);
    irp->UserIosb = iosb;
    irp->UserEvent = event;
    irp->RequestorMode = KernelMode;
    WithInfo(irp, [&](IrpInfo& info) {
        info.userOutput = out;
        info.userOutputLength = outLength;
        info.copyBack = copyBack;
    });
    return irp;
}

extern "C" PVOID MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE, MEMORY_CACHING_TYPE, PVOID,
                                              ULONG bugCheckOnFailure, ULONG) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        ReportViolation("MmMapLockedPagesSpecifyCache", "called above DISPATCH_LEVEL");
    // Out of system address space a caller that asked for no bug check gets
    // null (MmGetSystemAddressForMdlSafe does).
    if (!bugCheckOnFailure && ShouldFail(Alloc::MmMapLockedPagesSpecifyCache)) return nullptr;
    mdl->MappedSystemVa = static_cast<char*>(mdl->StartVa) + mdl->ByteOffset;
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return mdl->MappedSystemVa;
}

extern "C" PMDL IoAllocateMdl(PVOID address, ULONG length, BOOLEAN secondary, BOOLEAN, PIRP irp) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("IoAllocateMdl", "called above DISPATCH_LEVEL");
    if (ShouldFail(Alloc::IoAllocateMdl)) return nullptr;
    auto mdl = static_cast<PMDL>(KernelAlloc(sizeof(MDL), kTagMdl));
    mdl->Size = sizeof(MDL);
    mdl->StartVa = address;
    mdl->ByteCount = length;
    if (irp) {
        if (secondary) {
            PMDL* last = &irp->MdlAddress;
            while (*last) last = &(*last)->Next;
            *last = mdl;
        } else {
            irp->MdlAddress = mdl;
        }
    }
    return mdl;
}

extern "C" VOID IoFreeMdl(PMDL mdl) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("IoFreeMdl", "called above DISPATCH_LEVEL");
    KernelFree(mdl);
}

extern "C" VOID MmBuildMdlForNonPagedPool(PMDL mdl) {
    mdl->MappedSystemVa = static_cast<char*>(mdl->StartVa) + mdl->ByteOffset;
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

extern "C" VOID PoStartNextPowerIrp(PIRP) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("PoStartNextPowerIrp", "called above DISPATCH_LEVEL");
}

extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT device, PIRP irp) { return IofCallDriver(device, irp); }
