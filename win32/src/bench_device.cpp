// The test bench on the host: \\.\VelnorSimBus, a control device that
// answers the control codes of the Windows test bus (velnorsimbus.sys) for
// the module the runtime plugged in, so one test client drives either bench.
// It loads a packet file into the module, hands out the OUT slots the module
// recorded, pulls the plug and plugs a new module in, and reports status.
// Unlike the Windows bus, the packet file and the OUT record belong to the
// module: a module plugged in later starts with neither (load again), and
// loading while unplugged fails; a plug while the old module's removal
// still waits for a handle fails with STATUS_DEVICE_BUSY; the slot and
// request counts are the current module's. Requests run one at a time, so
// the module a request sees is not replaced under it.
#include "bench_device.h"

#include "host_runtime.h"

#include <hostkernel/hostkernel.h>
#include <hostkernel/pnp.h>

#include <velnor/velnor_ioctl.h>
#include <velnor_simbus.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

namespace velnor::host {
namespace {

constexpr char16_t kDeviceName[] = u"\\Device\\VelnorSimBus";
constexpr char16_t kLinkName[] = u"\\DosDevices\\VelnorSimBus";

hk::Driver* g_driver = nullptr;
PDEVICE_OBJECT g_device = nullptr;
// One request at a time: a plug or unplug waits in kernel time, so the
// lock is a kernel event, never a host mutex that would hold the clock.
KEVENT g_turn;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

bool Gone(hk::pnp::UsbDevice* device) {
    if (!device) return true;
    const hk::pnp::DeviceState s = device->State();
    return s == hk::pnp::DeviceState::SurpriseRemoved || s == hk::pnp::DeviceState::Removed;
}

NTSTATUS Plug(bool in) {
    hk::pnp::UsbDevice* device = Device();
    if (!in) {
        if (!Gone(device)) device->Unplug();
        return STATUS_SUCCESS;
    }
    if (!Gone(device)) return STATUS_SUCCESS;  // still plugged in
    // The old module's removal waits for the application's last handle;
    // a new module cannot take its port before that.
    if (device && device->State() == hk::pnp::DeviceState::SurpriseRemoved) return STATUS_DEVICE_BUSY;
    PlugNewModule();
    return STATUS_SUCCESS;
}

VelnorSimBusStatus Status() {
    VelnorSimBusStatus s{};
    hk::pnp::UsbDevice* device = Device();
    s.present = !Gone(device);
    s.childExists = device && device->PhysicalDevice() != nullptr;
    s.frame = hk::usb::HostController::FrameNumber();
    if (device) s.alternateSetting = device->AlternateSetting(0).value_or(0);
    if (auto module = Module()) {
        const auto bench = module->Bench();
        s.packetsLoaded = static_cast<unsigned>(bench.packetsLoaded);
        s.packetsSent = static_cast<unsigned>(bench.packetsSent);
        s.inSlots = static_cast<unsigned>(bench.inSlots);
        s.outSlots = static_cast<unsigned>(bench.outSlots);
        s.recordBytes = static_cast<unsigned>(bench.recordBytes);
        s.controlRequests = static_cast<unsigned>(module->ControlLog().size());
    }
    return s;
}

NTSTATUS Control(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const auto& p = stack->Parameters.DeviceIoControl;
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    switch (p.IoControlCode) {
    case IOCTL_VELNOR_SIMBUS_LOAD_PACKETS:
    case IOCTL_VELNOR_SIMBUS_LOAD_PACKETS_AT_OUT: {
        auto module = Module();
        if (!module || Gone(Device())) return Complete(irp, STATUS_NO_SUCH_DEVICE);
        // Whole packets only, as the Windows bus takes them.
        const size_t bytes = p.InputBufferLength / VELNOR_PACKET_BYTES * VELNOR_PACKET_BYTES;
        module->PlayPackets(std::vector<uint8_t>(buffer, buffer + bytes),
                            p.IoControlCode == IOCTL_VELNOR_SIMBUS_LOAD_PACKETS_AT_OUT);
        return Complete(irp, STATUS_SUCCESS);
    }
    case IOCTL_VELNOR_SIMBUS_READ_OUT: {
        auto module = Module();
        if (!module) return Complete(irp, STATUS_SUCCESS, 0);
        const std::vector<uint8_t> record = module->TakeOutRecord(p.OutputBufferLength);
        if (!record.empty()) std::memcpy(buffer, record.data(), record.size());
        return Complete(irp, STATUS_SUCCESS, record.size());
    }
    case IOCTL_VELNOR_SIMBUS_PLUG:
    case IOCTL_VELNOR_SIMBUS_UNPLUG:
        return Complete(irp, Plug(p.IoControlCode == IOCTL_VELNOR_SIMBUS_PLUG));
    case IOCTL_VELNOR_SIMBUS_STATUS: {
        if (p.OutputBufferLength < sizeof(VelnorSimBusStatus)) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
        const VelnorSimBusStatus s = Status();
        std::memcpy(buffer, &s, sizeof s);
        return Complete(irp, STATUS_SUCCESS, sizeof s);
    }
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major != IRP_MJ_DEVICE_CONTROL) return Complete(irp, STATUS_SUCCESS);  // create, cleanup, close
    KeWaitForSingleObject(&g_turn, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = Control(irp);
    KeSetEvent(&g_turn, IO_NO_INCREMENT, FALSE);
    return status;
}

void Unload(PDRIVER_OBJECT) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, kLinkName);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(g_device);
    g_device = nullptr;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL})
        driver->MajorFunction[major] = Dispatch;
    driver->DriverUnload = Unload;
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, kDeviceName);
    RtlInitUnicodeString(&link, kLinkName);
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_device);
    if (!NT_SUCCESS(status)) return status;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_device);
        g_device = nullptr;
        return status;
    }
    g_device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

}  // namespace

bool IsBenchPath(std::string_view name) {
    constexpr std::string_view kName = "VelnorSimBus";
    return name.size() == kName.size() && std::equal(name.begin(), name.end(), kName.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

bool StartBench() {
    KeInitializeEvent(&g_turn, SynchronizationEvent, TRUE);
    NTSTATUS status = STATUS_SUCCESS;
    g_driver = hk::LoadDriver(Entry, u"VelnorSimBus", &status);
    return g_driver != nullptr && NT_SUCCESS(status);
}

void LockBench() { KeWaitForSingleObject(&g_turn, Executive, KernelMode, FALSE, nullptr); }
void UnlockBench() { KeSetEvent(&g_turn, IO_NO_INCREMENT, FALSE); }

void StopBench() {
    if (g_driver) hk::UnloadDriver(g_driver);
    g_driver = nullptr;
}

}  // namespace velnor::host
