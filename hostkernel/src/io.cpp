// Device objects, symbolic links, IRPs: allocation, sending, completion and
// cancellation, with the verifier's request checks.
#include "internal.h"

#include <map>
#include <unordered_map>

namespace hk {
namespace {

std::mutex g_irpLock;
std::unordered_map<PIRP, detail::IrpInfo> g_irps;

std::mutex g_nameLock;
std::map<std::u16string, PDEVICE_OBJECT> g_devices;     // lower-cased device names
std::map<std::u16string, std::u16string> g_links;       // lower-cased link -> device name
std::map<PDEVICE_OBJECT, std::u16string> g_deviceNames;

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
    std::u16string target;
    {
        std::lock_guard<std::mutex> guard(g_nameLock);
        auto it = g_links.find(LinkKey(link));
        if (it == g_links.end()) return nullptr;
        target = it->second;
    }
    return FindDeviceByName(target);
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
    std::lock_guard<std::mutex> guard(g_irpLock);
    auto it = g_irps.find(static_cast<PIRP>(memory));
    if (it == g_irps.end()) return;
    if (it->second.state == IrpState::InFlight)
        ReportViolation("ExFreePool", "memory of a request that is still in flight was freed");
    g_irps.erase(it);
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
    {
        std::lock_guard<std::mutex> guard(g_irpLock);
        g_irps.erase(irp);
    }
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
        irp->AssociatedIrp.SystemBuffer = KernelAlloc(size, kTagIo);
        if (in && inLength) std::memcpy(irp->AssociatedIrp.SystemBuffer, in, inLength);
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

}  // namespace detail
}  // namespace hk

using namespace hk;
using namespace hk::detail;

// ---------------------------------------------------------------- devices
namespace {
struct DeviceBlock {
    DEVICE_OBJECT device;
    alignas(16) unsigned char extension[1];
};
}  // namespace

extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name,
                                   DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive,
                                   PDEVICE_OBJECT* out) {
    *out = nullptr;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) ReportViolation("IoCreateDevice", "called above PASSIVE_LEVEL");
    std::u16string n = name ? FromUnicode(name) : std::u16string();
    if (!n.empty()) {
        std::lock_guard<std::mutex> guard(g_nameLock);
        if (g_devices.count(Lower(n))) return STATUS_OBJECT_NAME_COLLISION;
    }
    auto* block = static_cast<DeviceBlock*>(KernelAlloc(offsetof(DeviceBlock, extension) + extensionSize, kTagIo));
    PDEVICE_OBJECT d = &block->device;
    d->Type = 3;
    d->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    d->DriverObject = driver;
    d->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    d->Characteristics = characteristics;
    d->DeviceExtension = extensionSize ? block->extension : nullptr;
    d->DeviceType = type;
    d->StackSize = 1;
    d->NextDevice = driver->DeviceObject;
    driver->DeviceObject = d;
    std::lock_guard<std::mutex> guard(g_nameLock);
    if (!n.empty()) {
        g_devices[Lower(n)] = d;
        g_deviceNames[d] = n;
    }
    *out = d;
    return STATUS_SUCCESS;
}

extern "C" VOID IoDeleteDevice(PDEVICE_OBJECT d) {
    if (d->AttachedDevice) ReportViolation("IoDeleteDevice", "a device is still attached above this one");
    if (d->HkLowerDevice) ReportViolation("IoDeleteDevice", "device still attached; IoDetachDevice it first");
    for (PDEVICE_OBJECT* p = &d->DriverObject->DeviceObject; *p; p = &(*p)->NextDevice) {
        if (*p == d) {
            *p = d->NextDevice;
            break;
        }
    }
    {
        std::lock_guard<std::mutex> guard(g_nameLock);
        auto it = g_deviceNames.find(d);
        if (it != g_deviceNames.end()) {
            g_devices.erase(Lower(it->second));
            g_deviceNames.erase(it);
        }
    }
    KernelFree(d);
}

extern "C" NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING deviceName) {
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

extern "C" PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
    PDEVICE_OBJECT top = TopOfStack(target);
    if (!top) return nullptr;
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
}

// ---------------------------------------------------------------- IRPs
extern "C" PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("IoAllocateIrp", "called above DISPATCH_LEVEL");
    if (stackSize < 1) {
        ReportViolation("IoAllocateIrp", "stack size below 1");
        return nullptr;
    }
    return NewIrp(stackSize, IrpOrigin::Allocated);
}

extern "C" VOID IoInitializeIrp(PIRP irp, USHORT packetSize, CCHAR stackSize) {
    if (packetSize < IoSizeOfIrp(stackSize)) {
        ReportViolation("IoInitializeIrp", "packet size too small for the stack size");
        return;
    }
    InitIrp(irp, packetSize, stackSize);
    std::lock_guard<std::mutex> guard(g_irpLock);
    IrpInfo& info = g_irps[irp];
    const unsigned completions = info.completions;  // a reused request keeps its history
    info = IrpInfo{};
    info.completions = completions;
    info.origin = IrpOrigin::Allocated;
    info.allocatingDriver = nullptr;  // the caller owns the memory
}

extern "C" VOID IoFreeIrp(PIRP irp) {
    bool known = false, inFlight = false;
    {
        std::lock_guard<std::mutex> guard(g_irpLock);
        auto it = g_irps.find(irp);
        if (it != g_irps.end()) {
            known = true;
            inFlight = it->second.state == IrpState::InFlight;
        }
    }
    if (!known) {
        ReportViolation("IoFreeIrp", "request freed twice, or never allocated with IoAllocateIrp");
        return;
    }
    if (inFlight) {
        ReportViolation("IoFreeIrp", "request freed while a driver below still owns it");
        return;
    }
    DeleteIrp(irp);
}

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("IofCallDriver", "called above DISPATCH_LEVEL");
    irp->CurrentLocation--;
    if (irp->CurrentLocation <= 0) {
        ReportViolation("IofCallDriver", "no stack location left for the device (NO_MORE_IRP_STACK_LOCATIONS)");
        irp->CurrentLocation++;
        return STATUS_INVALID_PARAMETER;
    }
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = device;
    WithInfo(irp, [](IrpInfo& info) { info.state = IrpState::InFlight; });

    UCHAR major = stack->MajorFunction;
    PDRIVER_OBJECT driver = device->DriverObject;
    PDRIVER_DISPATCH dispatch = major <= IRP_MJ_MAXIMUM_FUNCTION ? driver->MajorFunction[major] : nullptr;
    if (!dispatch) dispatch = InvalidDeviceRequest;

    KIRQL irql = KeGetCurrentIrql();
    int locks = HeldSpinLocks();
    unsigned completions = 0;
    WithInfo(irp, [&](IrpInfo& info) { completions = info.completions; });
    PDRIVER_OBJECT previous = t_driver;
    t_driver = driver;
    NTSTATUS status = dispatch(device, irp);
    t_driver = previous;

    std::string who = std::string(MajorName(major)) + " dispatch routine of " + DriverName(driver);
    if (KeGetCurrentIrql() != irql)
        ReportViolation("IofCallDriver", who + " returned at IRQL " + std::to_string(KeGetCurrentIrql()) +
                                             ", called at " + std::to_string(irql));
    if (HeldSpinLocks() != locks) ReportViolation("IofCallDriver", who + " returned holding a spin lock");
    if (status != STATUS_PENDING) {
        bool stillInFlight = false;
        WithInfo(irp, [&](IrpInfo& info) {
            stillInFlight = info.state == IrpState::InFlight && info.completions == completions;
        });
        if (stillInFlight)
            ReportViolation("IofCallDriver", who + " returned " + Hex(static_cast<uint32_t>(status)) +
                                                 " without completing or passing on the request");
    }
    return status;
}

extern "C" VOID IofCompleteRequest(PIRP irp, CCHAR) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("IofCompleteRequest", "called above DISPATCH_LEVEL");
    bool ok = false;
    IrpOrigin origin = IrpOrigin::Allocated;
    bool known = WithInfo(irp, [&](IrpInfo& info) {
        // A driver that took the request back with STATUS_MORE_PROCESSING_REQUIRED
        // (state Owned) may complete it again; a completed one may not.
        ok = info.state != IrpState::Completed;
        origin = info.origin;
        if (ok) {
            info.state = IrpState::Completed;
            ++info.completions;
        }
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
        bool invoke = stack->CompletionRoutine &&
                      ((NT_SUCCESS(s) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                       (!NT_SUCCESS(s) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                       (irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)));
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
        if (invoke) {
            PDEVICE_OBJECT upper =
                irp->CurrentLocation <= irp->StackCount ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
            // The routine runs with the request owned by its driver again: it
            // may keep it, free it or send it down once more.
            WithInfo(irp, [](IrpInfo& info) { info.state = IrpState::Owned; });
            KIRQL irql = KeGetCurrentIrql();
            NTSTATUS r = routine(upper, irp, context);
            if (KeGetCurrentIrql() != irql)
                ReportViolation("IofCompleteRequest", "completion routine returned at another IRQL");
            // STATUS_MORE_PROCESSING_REQUIRED: the request is the driver's, and
            // may already be freed or on its way again; nothing here touches it.
            if (r == STATUS_MORE_PROCESSING_REQUIRED) return;
            WithInfo(irp, [](IrpInfo& info) { info.state = IrpState::Completed; });
        } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
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

extern "C" PVOID MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE, MEMORY_CACHING_TYPE, PVOID, ULONG, ULONG) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        ReportViolation("MmMapLockedPagesSpecifyCache", "called above DISPATCH_LEVEL");
    mdl->MappedSystemVa = static_cast<char*>(mdl->StartVa) + mdl->ByteOffset;
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return mdl->MappedSystemVa;
}

extern "C" VOID PoStartNextPowerIrp(PIRP) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("PoStartNextPowerIrp", "called above DISPATCH_LEVEL");
}

extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT device, PIRP irp) { return IofCallDriver(device, irp); }
