// Driver loading and unloading, the I/O manager's user-mode requests, Plug
// and Play and power requests, and the host bus driver's lower devices.
#include "internal.h"

#include <algorithm>
#include <dlfcn.h>
#include <map>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define HK_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define HK_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define HK_POISON(p, n) ((void)(p), (void)(n))
#define HK_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace hk {

// DriverEntry's registry path: the string and its text in one block that
// stops being valid when DriverEntry returns, as the platform frees it.
struct RegistryPathBlock {
    UNICODE_STRING string;
    char16_t text[1];
};

struct Driver {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;
    std::u16string registryPath;
    RegistryPathBlock* entryPath = nullptr;  // retired after DriverEntry
    size_t entryPathBytes = 0;
    void* module = nullptr;
    std::string modulePath;
};

namespace {

std::mutex g_fileLock;
struct OpenFile {
    PDEVICE_OBJECT device;  // the device the name resolved to, referenced while open
};
std::map<Handle, OpenFile> g_files;
Handle g_nextHandle = 3;

// A real-time bound on a request that a driver left pending: long enough
// for any request of this project, short enough that a hang becomes a report.
constexpr auto kRequestBound = std::chrono::seconds(120);

void InitUnicode(UNICODE_STRING* u, const std::u16string& s) {
    u->Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(s.c_str()));
    u->Length = static_cast<USHORT>(s.size() * 2);
    u->MaximumLength = static_cast<USHORT>(s.size() * 2 + 2);
}

// What the retired registry path block holds: neither the path nor a valid
// string descriptor. Under AddressSanitizer every access to it is reported.
constexpr uint8_t kRetiredByte = 0xDD;

void RetireEntryPath(Driver* d) {
    std::memset(d->entryPath, kRetiredByte, d->entryPathBytes);
    HK_POISON(d->entryPath, d->entryPathBytes);
}

void FreeEntryPath(Driver* d) {
    if (!d->entryPath) return;
    HK_UNPOISON(d->entryPath, d->entryPathBytes);
    std::free(d->entryPath);
    d->entryPath = nullptr;
}

Driver* StartDriver(PDRIVER_INITIALIZE entry, std::u16string_view service, void* module, std::string path,
                    NTSTATUS* entryStatus) {
    auto* d = new Driver;
    d->module = module;
    d->modulePath = std::move(path);
    d->name = u"\\Driver\\" + std::u16string(service);
    d->registryPath = ServiceKeyPath(service);
    InitUnicode(&d->object.DriverName, d->name);
    d->entryPathBytes = offsetof(RegistryPathBlock, text) + (d->registryPath.size() + 1) * sizeof(char16_t);
    d->entryPath = static_cast<RegistryPathBlock*>(std::malloc(d->entryPathBytes));
    if (!d->entryPath) std::abort();
    std::memcpy(d->entryPath->text, d->registryPath.c_str(), (d->registryPath.size() + 1) * sizeof(char16_t));
    d->entryPath->string.Buffer = reinterpret_cast<PWSTR>(d->entryPath->text);
    d->entryPath->string.Length = static_cast<USHORT>(d->registryPath.size() * 2);
    d->entryPath->string.MaximumLength = static_cast<USHORT>(d->registryPath.size() * 2 + 2);
    d->object.Type = 4;
    d->object.Size = sizeof(DRIVER_OBJECT);
    d->object.DriverExtension = &d->extension;
    d->extension.DriverObject = &d->object;
    d->object.DriverInit = entry;
    for (auto& f : d->object.MajorFunction) f = detail::InvalidDeviceRequest;
    RegistryCreateKey(d->registryPath);

    detail::SetCurrentDriver(&d->object);
    NTSTATUS status = entry(&d->object, &d->entryPath->string);
    detail::SetCurrentDriver(nullptr);
    RetireEntryPath(d);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) ReportViolation("DriverEntry", "returned above PASSIVE_LEVEL");
    if (entryStatus) *entryStatus = status;
    if (!NT_SUCCESS(status)) {
        if (module) dlclose(module);
        FreeEntryPath(d);
        delete d;
        return nullptr;
    }
    return d;
}

// The caller of a request that did not pend gets the status the dispatch
// routine returned, as the system service returns it; a pending one ends
// with the status it was completed with.
IoResult SendAndWait(PDEVICE_OBJECT top, PIRP irp) {
    const NTSTATUS returned = IofCallDriver(top, irp);
    // In real time a request left pending is reported after a bound; in
    // the discrete clock a request nobody will complete is a deadlock.
    const double factor = ClockFactor();  // 0: discrete
    int64_t bound = factor == 0 ? detail::kNoDeadline
                                : detail::Now() + static_cast<int64_t>(kRequestBound.count() * 1e7 * factor);
    detail::WaitResult result;
    {
        std::unique_lock<std::mutex> lock(detail::DispatcherLock());
        result = detail::BlockUntil(
            lock, "IoManager",
            [irp] {
                bool done = false;
                detail::WithInfo(irp, [&](detail::IrpInfo& info) { done = info.done; });
                return done;
            },
            [bound] { return bound; });
    }
    if (result != detail::WaitResult::Ready) {
        // A deadlock is reported where it was found. The request stays with
        // the driver that holds it: FreeUserIrp leaves an unfinished one alone.
        if (result == detail::WaitResult::Timeout) ReportViolation("IoManager", "request was never completed");
        return {STATUS_IO_TIMEOUT, 0};
    }
    return {returned == STATUS_PENDING ? irp->IoStatus.Status : returned, irp->IoStatus.Information};
}

void FreeUserIrp(PIRP irp) {
    bool done = false;
    detail::WithInfo(irp, [&](detail::IrpInfo& info) { done = info.done; });
    if (!done) return;  // a driver still holds it; freeing it would hand it freed memory
    if (irp->AssociatedIrp.SystemBuffer) detail::KernelFree(irp->AssociatedIrp.SystemBuffer);
    if (irp->MdlAddress) detail::KernelFree(irp->MdlAddress);
    detail::DeleteIrp(irp);
}

PDEVICE_OBJECT DeviceOf(Handle h) {
    std::lock_guard<std::mutex> guard(g_fileLock);
    auto it = g_files.find(h);
    return it == g_files.end() ? nullptr : it->second.device;
}

// A request from the I/O manager to the top of a device's stack, with its
// first stack location filled in.
PIRP NewUserIrp(PDEVICE_OBJECT top, UCHAR major, UCHAR minor, PIO_STACK_LOCATION* stack) {
    PIRP irp = detail::NewIrp(top->StackSize, detail::IrpOrigin::IoManager);
    *stack = IoGetNextIrpStackLocation(irp);
    (*stack)->MajorFunction = major;
    (*stack)->MinorFunction = minor;
    irp->RequestorMode = UserMode;
    // The PnP manager and the power manager start their requests as "not supported".
    if (major == IRP_MJ_PNP || major == IRP_MJ_POWER) irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    return irp;
}

// The lower devices' driver.
struct LowerDevice {
    LowerHandler handler;
};
std::mutex g_lowerLock;
std::map<PDEVICE_OBJECT, LowerDevice> g_lower;

NTSTATUS LowerDispatch(PDEVICE_OBJECT device, PIRP irp) {
    LowerHandler handler;
    {
        std::lock_guard<std::mutex> guard(g_lowerLock);
        auto it = g_lower.find(device);
        if (it != g_lower.end()) handler = it->second.handler;
    }
    if (handler) return handler(device, irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

DRIVER_OBJECT& BusDriver() {
    static DRIVER_OBJECT object = [] {
        DRIVER_OBJECT o{};
        static std::u16string name = u"\\Driver\\HostBus";
        InitUnicode(&o.DriverName, name);
        for (auto& f : o.MajorFunction) f = LowerDispatch;
        return o;
    }();
    return object;
}

VOID CancelPending(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace

Driver* LoadDriverModule(const std::string& path, std::u16string_view service, NTSTATUS* entryStatus) {
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        std::fprintf(stderr, "hostkernel: cannot load %s: %s\n", path.c_str(), dlerror());
        return nullptr;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module, "DriverEntry"));
    if (!entry) {
        std::fprintf(stderr, "hostkernel: %s has no DriverEntry\n", path.c_str());
        dlclose(module);
        return nullptr;
    }
    return StartDriver(entry, service, module, path, entryStatus);
}

Driver* LoadDriver(PDRIVER_INITIALIZE entry, std::u16string_view service, NTSTATUS* entryStatus) {
    return StartDriver(entry, service, nullptr, {}, entryStatus);
}

bool UnloadDriver(Driver* d) {
    // The unload routine may delete devices of its own (a control device);
    // what is left after it is the driver's leak.
    if (d->object.DriverUnload) {
        detail::SetCurrentDriver(&d->object);
        d->object.DriverUnload(&d->object);
        detail::SetCurrentDriver(nullptr);
    }
    if (d->object.DeviceObject) ReportViolation("UnloadDriver", "the driver still has device objects");
    if (size_t n = detail::DeletedButReferenced(&d->object))
        ReportViolation("UnloadDriver", std::to_string(n) + " deleted device object(s) still referenced (an open "
                                                             "handle, an attached device or a request in flight)");
    for (const auto& u : OutstandingPool())
        ReportViolation("UnloadDriver", "pool tag '" + TagName(u.tag) + "': " + std::to_string(u.count) +
                                            " allocation(s), " + std::to_string(u.bytes) + " bytes never freed");
    if (size_t n = detail::OutstandingDriverIrps(&d->object))
        ReportViolation("UnloadDriver", std::to_string(n) + " request(s) from IoAllocateIrp never freed");
    if (size_t n = detail::OutstandingTag(detail::kTagMdl))
        ReportViolation("UnloadDriver", std::to_string(n) + " MDL(s) from IoAllocateMdl never freed");
    bool gone = true;
    if (d->module) {
        dlclose(d->module);
        void* still = dlopen(d->modulePath.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (still) {
            gone = false;
            dlclose(still);
        }
    }
    FreeEntryPath(d);
    delete d;
    return gone;
}

PDRIVER_OBJECT DriverObjectOf(Driver* driver) { return &driver->object; }

NTSTATUS OpenFile(std::string_view path, Handle* handle) {
    *handle = kInvalidHandle;
    std::string p(path);
    for (const char* prefix : {"\\\\.\\", "\\\\?\\", "\\??\\", "\\DosDevices\\"}) {
        if (p.rfind(prefix, 0) == 0) {
            p = p.substr(std::strlen(prefix));
            break;
        }
    }
    PDEVICE_OBJECT device = ResolveLink(u"\\??\\" + ToU16(p));  // referenced
    if (!device) return STATUS_OBJECT_NAME_NOT_FOUND;
    IoResult r = SendIrp(device, IRP_MJ_CREATE, 0);
    if (!NT_SUCCESS(r.status)) {
        detail::DereferenceDevice(device);
        return r.status;
    }
    std::lock_guard<std::mutex> guard(g_fileLock);
    *handle = g_nextHandle++;
    g_files[*handle] = {device};
    return r.status;
}

IoResult SendIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor) {
    PDEVICE_OBJECT top = TopOfStack(device);
    // A device on its way out takes no new opens (the I/O manager's check
    // before it builds the create request).
    if (major == IRP_MJ_CREATE && (detail::DeletePending(device) || detail::DeletePending(top)))
        return {STATUS_NO_SUCH_DEVICE, 0};
    PIO_STACK_LOCATION stack;
    PIRP irp = NewUserIrp(top, major, minor, &stack);
    IoResult r = SendAndWait(top, irp);
    FreeUserIrp(irp);
    return r;
}

IoResult DeviceIoControl(Handle handle, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength) {
    PDEVICE_OBJECT device = DeviceOf(handle);
    if (!device) return {STATUS_INVALID_PARAMETER, 0};  // STATUS_INVALID_HANDLE in spirit
    PDEVICE_OBJECT top = TopOfStack(device);
    PIO_STACK_LOCATION stack;
    PIRP irp = NewUserIrp(top, IRP_MJ_DEVICE_CONTROL, 0, &stack);
    detail::SetUpControlBuffers(irp, stack, code, in, inLength, out, outLength);
    IoResult r = SendAndWait(top, irp);
    // Only the first Information bytes go back, after a completion that is
    // not an error.
    if ((code & 3) == METHOD_BUFFERED && !NT_ERROR(irp->IoStatus.Status)) {
        if (r.information > outLength) {
            ReportViolation("IopCompleteRequest", "Information " + std::to_string(r.information) +
                                                      " exceeds the output buffer length " + std::to_string(outLength));
            r.information = outLength;
        }
        if (r.information && out) std::memcpy(out, irp->AssociatedIrp.SystemBuffer, r.information);
    }
    FreeUserIrp(irp);
    return r;
}

static IoResult ReadOrWrite(Handle handle, UCHAR major, void* buffer, ULONG length) {
    PDEVICE_OBJECT device = DeviceOf(handle);
    if (!device) return {STATUS_INVALID_PARAMETER, 0};
    PDEVICE_OBJECT top = TopOfStack(device);
    PIO_STACK_LOCATION stack;
    PIRP irp = NewUserIrp(top, major, 0, &stack);
    stack->Parameters.Read.Length = length;
    bool buffered = (top->Flags & DO_BUFFERED_IO) != 0;
    if (top->Flags & DO_DIRECT_IO) {
        if (length) irp->MdlAddress = detail::NewMdl(buffer, length);
    } else if (buffered) {
        if (length) {
            irp->AssociatedIrp.SystemBuffer = detail::KernelAlloc(length, detail::kTagIo);
            if (major == IRP_MJ_WRITE)
                std::memcpy(irp->AssociatedIrp.SystemBuffer, buffer, length);
            else
                detail::FillStale(irp->AssociatedIrp.SystemBuffer, length);
        }
    } else {
        irp->UserBuffer = buffer;
    }
    IoResult r = SendAndWait(top, irp);
    const bool failed = NT_ERROR(irp->IoStatus.Status);
    if (r.information > length && !failed) {
        ReportViolation("IopCompleteRequest", "Information " + std::to_string(r.information) +
                                                  " exceeds the buffer length " + std::to_string(length));
        r.information = length;
    }
    if (buffered && major == IRP_MJ_READ && !failed && r.information)
        std::memcpy(buffer, irp->AssociatedIrp.SystemBuffer, r.information);
    FreeUserIrp(irp);
    return r;
}

IoResult ReadFile(Handle handle, void* buffer, ULONG length) { return ReadOrWrite(handle, IRP_MJ_READ, buffer, length); }

IoResult WriteFile(Handle handle, const void* buffer, ULONG length) {
    return ReadOrWrite(handle, IRP_MJ_WRITE, const_cast<void*>(buffer), length);
}

// The handle's reference keeps the device object, deleted or not, until
// its close has been through the driver.
NTSTATUS CloseFile(Handle handle) {
    PDEVICE_OBJECT device = DeviceOf(handle);
    if (!device) return STATUS_INVALID_PARAMETER;
    SendIrp(device, IRP_MJ_CLEANUP, 0);  // its answer does not matter to the caller
    IoResult r = SendIrp(device, IRP_MJ_CLOSE, 0);
    {
        std::lock_guard<std::mutex> guard(g_fileLock);
        g_files.erase(handle);
    }
    detail::DereferenceDevice(device);
    detail::PnpHandleClosed();
    return r.status;
}

size_t detail::HandlesOpenOn(const std::vector<PDEVICE_OBJECT>& devices) {
    std::lock_guard<std::mutex> guard(g_fileLock);
    size_t n = 0;
    for (const auto& [h, f] : g_files) n += std::find(devices.begin(), devices.end(), f.device) != devices.end();
    return n;
}

namespace {

// The Plug and Play manager's view of one device stack, by its physical
// device: the states a device passes through and the requests that move it.
enum class PnpState { Added, Started, StartFailed, StopPending, Stopped, RemovePending, SurpriseRemoved, Removed };
struct PnpRecord {
    PnpState state = PnpState::Added;
    bool queryGranted = false;  // the last query-stop or query-remove succeeded
};
std::mutex g_pnpLock;
std::map<PDEVICE_OBJECT, PnpRecord> g_pnp;

const char* PnpMinorName(UCHAR minor) {
    switch (minor) {
    case IRP_MN_START_DEVICE: return "IRP_MN_START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "IRP_MN_QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "IRP_MN_CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE: return "IRP_MN_STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE: return "IRP_MN_QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE: return "IRP_MN_CANCEL_STOP_DEVICE";
    case IRP_MN_SURPRISE_REMOVAL: return "IRP_MN_SURPRISE_REMOVAL";
    case IRP_MN_QUERY_CAPABILITIES: return "IRP_MN_QUERY_CAPABILITIES";
    case IRP_MN_QUERY_ID: return "IRP_MN_QUERY_ID";
    default: return "IRP_MJ_PNP request";
    }
}

// The rule a request breaks in this state; null when the PnP manager could send it.
const char* PnpOrderRule(const PnpRecord* record, UCHAR minor) {
    if (!record) return "the PnP manager sends nothing before the driver's add-device routine has run";
    const PnpState s = record->state;
    if (s == PnpState::Removed) return "the PnP manager sends nothing after IRP_MN_REMOVE_DEVICE";
    switch (minor) {
    case IRP_MN_START_DEVICE:
        return s == PnpState::Added || s == PnpState::Stopped
                   ? nullptr
                   : "IRP_MN_START_DEVICE comes after add-device, or after IRP_MN_STOP_DEVICE to restart";
    case IRP_MN_QUERY_STOP_DEVICE:
        return s == PnpState::Started ? nullptr : "IRP_MN_QUERY_STOP_DEVICE goes to a started device only";
    case IRP_MN_STOP_DEVICE:
        return s == PnpState::StopPending && record->queryGranted
                   ? nullptr
                   : "IRP_MN_STOP_DEVICE comes only after a successful IRP_MN_QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE:
        return s == PnpState::StopPending ? nullptr : "IRP_MN_CANCEL_STOP_DEVICE comes only after IRP_MN_QUERY_STOP_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return s == PnpState::Started ? nullptr : "IRP_MN_QUERY_REMOVE_DEVICE goes to a started device only";
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return s == PnpState::RemovePending ? nullptr
                                            : "IRP_MN_CANCEL_REMOVE_DEVICE comes only after IRP_MN_QUERY_REMOVE_DEVICE";
    case IRP_MN_SURPRISE_REMOVAL:
        return s == PnpState::SurpriseRemoved ? "IRP_MN_SURPRISE_REMOVAL comes once, then only IRP_MN_REMOVE_DEVICE"
                                              : nullptr;
    case IRP_MN_REMOVE_DEVICE:
        return (s == PnpState::RemovePending && record->queryGranted) || s == PnpState::SurpriseRemoved ||
                       s == PnpState::Added || s == PnpState::StartFailed
                   ? nullptr
                   : "IRP_MN_REMOVE_DEVICE comes after a successful IRP_MN_QUERY_REMOVE_DEVICE, after "
                     "IRP_MN_SURPRISE_REMOVAL, or to a device that never started";
    default:
        return s == PnpState::SurpriseRemoved ? "after IRP_MN_SURPRISE_REMOVAL only IRP_MN_REMOVE_DEVICE comes" : nullptr;
    }
}

void PnpAdvance(PnpRecord& record, UCHAR minor, bool succeeded) {
    switch (minor) {
    case IRP_MN_START_DEVICE: record.state = succeeded ? PnpState::Started : PnpState::StartFailed; break;
    case IRP_MN_QUERY_STOP_DEVICE:
        record.state = PnpState::StopPending;
        record.queryGranted = succeeded;
        break;
    case IRP_MN_STOP_DEVICE: record.state = PnpState::Stopped; break;
    case IRP_MN_CANCEL_STOP_DEVICE: record.state = PnpState::Started; break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        record.state = PnpState::RemovePending;
        record.queryGranted = succeeded;
        break;
    case IRP_MN_CANCEL_REMOVE_DEVICE: record.state = PnpState::Started; break;
    case IRP_MN_SURPRISE_REMOVAL: record.state = PnpState::SurpriseRemoved; break;
    case IRP_MN_REMOVE_DEVICE: record.state = PnpState::Removed; break;
    default: break;
    }
}

}  // namespace

NTSTATUS PnpAddDevice(Driver* driver, PDEVICE_OBJECT physicalDevice) {
    PDRIVER_ADD_DEVICE add = driver->object.DriverExtension->AddDevice;
    if (!add) return STATUS_NOT_SUPPORTED;
    detail::SetCurrentDriver(&driver->object);
    NTSTATUS status = add(&driver->object, physicalDevice);
    detail::SetCurrentDriver(nullptr);
    PDEVICE_OBJECT top = TopOfStack(physicalDevice);
    if (NT_SUCCESS(status) && top != physicalDevice && (top->Flags & DO_DEVICE_INITIALIZING))
        ReportViolation("PnpAddDevice", "the add-device routine left DO_DEVICE_INITIALIZING set");
    if (NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(g_pnpLock);
        g_pnp[physicalDevice] = PnpRecord{};
    }
    return status;
}

// The test harness plays the PnP manager: a request out of the manager's
// order is a harness bug, reported so the driver only ever meets real
// sequences. The request is still sent, but moves the order on no further.
IoResult PnpSend(PDEVICE_OBJECT physicalDevice, UCHAR minor) {
    return detail::PnpSendPrepared(physicalDevice, minor, {});
}

IoResult detail::PnpSendUnordered(PDEVICE_OBJECT device, UCHAR minor, const StackFill& fill) {
    PDEVICE_OBJECT top = TopOfStack(device);
    PIO_STACK_LOCATION stack;
    PIRP irp = NewUserIrp(top, IRP_MJ_PNP, minor, &stack);
    if (fill) fill(stack);
    IoResult r = SendAndWait(top, irp);
    FreeUserIrp(irp);
    return r;
}

IoResult detail::PnpSendPrepared(PDEVICE_OBJECT physicalDevice, UCHAR minor, const StackFill& fill) {
    const char* rule;
    {
        std::lock_guard<std::mutex> guard(g_pnpLock);
        auto it = g_pnp.find(physicalDevice);
        rule = PnpOrderRule(it == g_pnp.end() ? nullptr : &it->second, minor);
    }
    if (rule) ReportViolation("PnpSend", std::string(PnpMinorName(minor)) + " out of order: " + rule);
    IoResult r = PnpSendUnordered(physicalDevice, minor, fill);
    if (rule) return r;
    std::lock_guard<std::mutex> guard(g_pnpLock);
    auto it = g_pnp.find(physicalDevice);
    if (it != g_pnp.end()) PnpAdvance(it->second, minor, NT_SUCCESS(r.status));
    return r;
}

IoResult PowerSend(PDEVICE_OBJECT physicalDevice, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
    PDEVICE_OBJECT top = TopOfStack(physicalDevice);
    PIO_STACK_LOCATION stack;
    PIRP irp = NewUserIrp(top, IRP_MJ_POWER, minor, &stack);
    stack->Parameters.Power.Type = type;
    stack->Parameters.Power.State = state;
    IoResult r = SendAndWait(top, irp);
    FreeUserIrp(irp);
    return r;
}

PDEVICE_OBJECT CreateLowerDevice(LowerHandler handler) {
    // The host's own device: not a driver's IoCreateDevice call, so never failed or counted.
    PDEVICE_OBJECT device = detail::CreateDeviceObject(&BusDriver(), 0, FILE_DEVICE_UNKNOWN);
    device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    std::lock_guard<std::mutex> guard(g_lowerLock);
    g_lower[device] = {std::move(handler)};
    return device;
}

void SetLowerHandler(PDEVICE_OBJECT device, LowerHandler handler) {
    std::lock_guard<std::mutex> guard(g_lowerLock);
    g_lower[device].handler = std::move(handler);
}

void DeleteLowerDevice(PDEVICE_OBJECT device) {
    {
        std::lock_guard<std::mutex> guard(g_lowerLock);
        g_lower.erase(device);
    }
    {
        std::lock_guard<std::mutex> guard(g_pnpLock);
        g_pnp.erase(device);
    }
    IoDeleteDevice(device);
}

void CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

void PendUntilCancelled(PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelPending);
    // A cancel that came before the routine was set still has to finish it.
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

}  // namespace hk
