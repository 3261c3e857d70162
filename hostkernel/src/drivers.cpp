// Driver loading and unloading, the I/O manager's user-mode requests, Plug
// and Play and power requests, and the host bus driver's lower devices.
#include "internal.h"

#include <dlfcn.h>
#include <map>

namespace hk {

struct Driver {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;
    std::u16string registryPath;
    UNICODE_STRING registryPathString{};
    void* module = nullptr;
    std::string modulePath;
};

namespace {

std::mutex g_fileLock;
struct OpenFile {
    PDEVICE_OBJECT device;  // the device the name resolved to
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

Driver* StartDriver(PDRIVER_INITIALIZE entry, std::u16string_view service, void* module, std::string path,
                    NTSTATUS* entryStatus) {
    auto* d = new Driver;
    d->module = module;
    d->modulePath = std::move(path);
    d->name = u"\\Driver\\" + std::u16string(service);
    d->registryPath = ServiceKeyPath(service);
    InitUnicode(&d->object.DriverName, d->name);
    InitUnicode(&d->registryPathString, d->registryPath);
    d->object.Type = 4;
    d->object.Size = sizeof(DRIVER_OBJECT);
    d->object.DriverExtension = &d->extension;
    d->extension.DriverObject = &d->object;
    d->object.DriverInit = entry;
    for (auto& f : d->object.MajorFunction) f = detail::InvalidDeviceRequest;
    RegistryCreateKey(d->registryPath);

    detail::SetCurrentDriver(&d->object);
    NTSTATUS status = entry(&d->object, &d->registryPathString);
    detail::SetCurrentDriver(nullptr);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) ReportViolation("DriverEntry", "returned above PASSIVE_LEVEL");
    if (entryStatus) *entryStatus = status;
    if (!NT_SUCCESS(status)) {
        if (module) dlclose(module);
        delete d;
        return nullptr;
    }
    return d;
}

IoResult SendAndWait(PDEVICE_OBJECT top, PIRP irp) {
    IofCallDriver(top, irp);
    // In real time a request left pending is reported after a bound; in
    // the discrete clock a request nobody will complete is a deadlock.
    int64_t bound = ClockIsDiscrete() ? detail::kNoDeadline
                                      : detail::Now() + static_cast<int64_t>(kRequestBound.count() * 1e7 * ClockFactor());
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
        ReportViolation("IoManager", "request was never completed");
        return {STATUS_IO_TIMEOUT, 0};
    }
    return {irp->IoStatus.Status, irp->IoStatus.Information};
}

void FreeUserIrp(PIRP irp) {
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
    if (d->object.DeviceObject) ReportViolation("UnloadDriver", "the driver still has device objects");
    if (d->object.DriverUnload) {
        detail::SetCurrentDriver(&d->object);
        d->object.DriverUnload(&d->object);
        detail::SetCurrentDriver(nullptr);
    }
    for (const auto& u : OutstandingPool())
        ReportViolation("UnloadDriver", "pool tag '" + TagName(u.tag) + "': " + std::to_string(u.count) +
                                            " allocation(s), " + std::to_string(u.bytes) + " bytes never freed");
    if (size_t n = detail::OutstandingDriverIrps(&d->object))
        ReportViolation("UnloadDriver", std::to_string(n) + " request(s) from IoAllocateIrp never freed");
    bool gone = true;
    if (d->module) {
        dlclose(d->module);
        void* still = dlopen(d->modulePath.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (still) {
            gone = false;
            dlclose(still);
        }
    }
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
    PDEVICE_OBJECT device = ResolveLink(u"\\??\\" + ToU16(p));
    if (!device) return STATUS_OBJECT_NAME_NOT_FOUND;
    IoResult r = SendIrp(device, IRP_MJ_CREATE, 0);
    if (!NT_SUCCESS(r.status)) return r.status;
    std::lock_guard<std::mutex> guard(g_fileLock);
    *handle = g_nextHandle++;
    g_files[*handle] = {device};
    return r.status;
}

IoResult SendIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor) {
    PDEVICE_OBJECT top = TopOfStack(device);
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
    if ((code & 3) == METHOD_BUFFERED && !NT_ERROR(r.status)) {
        if (r.information > outLength) {
            ReportViolation("IopCompleteRequest", "Information " + std::to_string(r.information) +
                                                      " exceeds the output buffer length " + std::to_string(outLength));
            r.information = outLength;
        }
        if (r.information) std::memcpy(out, irp->AssociatedIrp.SystemBuffer, r.information);
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
            if (major == IRP_MJ_WRITE) std::memcpy(irp->AssociatedIrp.SystemBuffer, buffer, length);
        }
    } else {
        irp->UserBuffer = buffer;
    }
    IoResult r = SendAndWait(top, irp);
    if (r.information > length && !NT_ERROR(r.status)) {
        ReportViolation("IopCompleteRequest", "Information " + std::to_string(r.information) +
                                                  " exceeds the buffer length " + std::to_string(length));
        r.information = length;
    }
    if (buffered && major == IRP_MJ_READ && !NT_ERROR(r.status) && r.information)
        std::memcpy(buffer, irp->AssociatedIrp.SystemBuffer, r.information);
    FreeUserIrp(irp);
    return r;
}

IoResult ReadFile(Handle handle, void* buffer, ULONG length) { return ReadOrWrite(handle, IRP_MJ_READ, buffer, length); }

IoResult WriteFile(Handle handle, const void* buffer, ULONG length) {
    return ReadOrWrite(handle, IRP_MJ_WRITE, const_cast<void*>(buffer), length);
}

NTSTATUS CloseFile(Handle handle) {
    PDEVICE_OBJECT device = DeviceOf(handle);
    if (!device) return STATUS_INVALID_PARAMETER;
    SendIrp(device, IRP_MJ_CLEANUP, 0);  // its answer does not matter to the caller
    IoResult r = SendIrp(device, IRP_MJ_CLOSE, 0);
    std::lock_guard<std::mutex> guard(g_fileLock);
    g_files.erase(handle);
    return r.status;
}

NTSTATUS PnpAddDevice(Driver* driver, PDEVICE_OBJECT physicalDevice) {
    PDRIVER_ADD_DEVICE add = driver->object.DriverExtension->AddDevice;
    if (!add) return STATUS_NOT_SUPPORTED;
    detail::SetCurrentDriver(&driver->object);
    NTSTATUS status = add(&driver->object, physicalDevice);
    detail::SetCurrentDriver(nullptr);
    PDEVICE_OBJECT top = TopOfStack(physicalDevice);
    if (NT_SUCCESS(status) && top != physicalDevice && (top->Flags & DO_DEVICE_INITIALIZING))
        ReportViolation("PnpAddDevice", "the add-device routine left DO_DEVICE_INITIALIZING set");
    return status;
}

IoResult PnpSend(PDEVICE_OBJECT physicalDevice, UCHAR minor) { return SendIrp(physicalDevice, IRP_MJ_PNP, minor); }

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
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(&BusDriver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
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
