// The device core on the simulated bus: add-device, start and configuration,
// stop, remove with requests inside, the request-block timeout and cancel,
// interface selection, capabilities and low-resource failures. The Plug and
// Play requests come one by one from the test, which plays the PnP manager.
#include "core/device_core.h"
#include "support/module_harness.h"
#include "support/test_thread.h"
#include "usb/usb_request.h"
#include "velnor/velnor_ioctl.h"

#include <hostkernel/hostkernel.h>
#include <hostkernel/pnp.h>
#include <hostkernel/usb_bus.h>
#include <velnor_sim/acquisition_module.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace {

using velnor_test::StartThread;

constexpr int64_t kMs = 10000;  // 100 ns units

// The module with two more alternate settings: one without endpoints, and a
// class-specific block that makes the whole configuration longer than 265 bytes.
class LongConfigModule : public velnor::sim::AcquisitionModule {
public:
    LongConfigModule() : AcquisitionModule({}) {}
    std::vector<uint8_t> ConfigurationDescriptor() override {
        std::vector<uint8_t> d = AcquisitionModule::ConfigurationDescriptor();
        d.insert(d.end(), {9, 4, 0, 2, 0, 0xFF, 0, 0, 0});
        std::vector<uint8_t> block(200, 0);
        block[0] = 200;
        block[1] = 0x24;
        d.insert(d.end(), block.begin(), block.end());
        d[2] = static_cast<uint8_t>(d.size());
        d[3] = static_cast<uint8_t>(d.size() >> 8);
        return d;
    }
};

class DeviceCoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        hk::LogClear();
        driver_ = hk::LoadDriver(DriverEntry, u"Velnor");
        ASSERT_NE(driver_, nullptr);
        function_ = MakeFunction();
        bus_ = std::make_unique<hk::usb::HostController>(function_);
        pdo_ = bus_->PhysicalDevice();
        // A filter between the driver and the controller, passing everything
        // on unless a test intercepts it.
        filter_ = hk::CreateLowerDevice([this](PDEVICE_OBJECT, PIRP irp) {
            std::function<bool(PIRP, NTSTATUS*)> intercept;
            {
                std::lock_guard<std::mutex> guard(interceptLock_);
                intercept = intercept_;
            }
            NTSTATUS status;
            if (intercept && intercept(irp, &status)) return status;
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(pdo_, irp);
        });
        ASSERT_EQ(IoAttachDeviceToDeviceStack(filter_, pdo_), pdo_);
    }

    void TearDown() override {
        if (Device()) Remove();
        if (handle_ != hk::kInvalidHandle) hk::CloseFile(handle_);
        IoDetachDevice(pdo_);
        hk::DeleteLowerDevice(filter_);
        bus_.reset();
        EXPECT_TRUE(hk::UnloadDriver(driver_));
        EXPECT_TRUE(hk::OutstandingPool().empty()) << "pool leaked";
        EXPECT_FALSE(hk::SymbolicLinkExists(u"\\DosDevices\\Velnor-0"));
    }

    virtual std::shared_ptr<hk::usb::Function> MakeFunction() {
        return std::make_shared<velnor::sim::AcquisitionModule>(velnor::sim::ModuleSettings{});
    }

    PDEVICE_OBJECT Device() const { return hk::FindDeviceByName(u"\\Device\\Velnor-0"); }
    DeviceExtension* Ext() const { return static_cast<DeviceExtension*>(Device()->DeviceExtension); }

    NTSTATUS Add() { return hk::PnpAddDevice(driver_, pdo_); }
    NTSTATUS Start() {
        const NTSTATUS status = hk::PnpSend(pdo_, IRP_MN_START_DEVICE).status;
        pnpStarted_ = NT_SUCCESS(status);  // what the PnP manager goes by
        return status;
    }
    void AddAndStart() {
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        ASSERT_EQ(ReadShared(DeviceStarted), 1);
    }
    void Remove() {
        if (pnpStarted_) hk::PnpSend(pdo_, IRP_MN_QUERY_REMOVE_DEVICE);
        hk::PnpSend(pdo_, IRP_MN_REMOVE_DEVICE);
        pnpStarted_ = false;
    }

    // Completes a request block of `function` with `status` instead of
    // sending it on; false for every other request.
    void FailUrb(USHORT function, NTSTATUS status) {
        Intercept([function, status](PIRP irp, NTSTATUS* result) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) return false;
            auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
            if (urb->UrbHeader.Function != function) return false;
            irp->IoStatus.Status = *result = status;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return true;
        });
    }
    // Completes a Plug and Play request of `minor` with `status` instead of passing it down.
    void FailPnp(UCHAR minor, NTSTATUS status) {
        Intercept([minor, status](PIRP irp, NTSTATUS* result) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            if (stack->MajorFunction != IRP_MJ_PNP || stack->MinorFunction != minor) return false;
            irp->IoStatus.Status = *result = status;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return true;
        });
    }
    // Keeps every descriptor request until it is cancelled.
    void HangDescriptorRequests() {
        Intercept([](PIRP irp, NTSTATUS* result) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) return false;
            auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
            if (urb->UrbHeader.Function != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) return false;
            hk::PendUntilCancelled(irp);
            *result = STATUS_PENDING;
            return true;
        });
    }

    // A device descriptor request through Velnor_CallUSBD, as a control request would send it.
    NTSTATUS GetDeviceDescriptor(USB_DEVICE_DESCRIPTOR* out) {
        struct _URB_CONTROL_DESCRIPTOR_REQUEST urb{};
        urb.Hdr.Length = sizeof(urb);
        urb.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
        urb.TransferBuffer = out;
        urb.TransferBufferLength = sizeof(*out);
        urb.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
        return Velnor_CallUSBD(Device(), reinterpret_cast<PURB>(&urb));
    }

    static void Sleep(int64_t ms) {
        LARGE_INTEGER interval;
        interval.QuadPart = -ms * kMs;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }

    hk::Driver* driver_ = nullptr;
    std::shared_ptr<hk::usb::Function> function_;
    std::unique_ptr<hk::usb::HostController> bus_;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT filter_ = nullptr;
    void Intercept(std::function<bool(PIRP, NTSTATUS*)> intercept) {
        std::lock_guard<std::mutex> guard(interceptLock_);
        intercept_ = std::move(intercept);
    }
    std::function<bool(PIRP, NTSTATUS*)> Intercepting() {
        std::lock_guard<std::mutex> guard(interceptLock_);
        return intercept_;
    }
    // What PendingIrp holds, read as the driver writes it: under its lock.
    PIRP PendingIrp() {
        KIRQL irql;
        KeAcquireSpinLock(&Ext()->PendingIrpLock, &irql);
        PIRP irp = Ext()->PendingIrp;
        KeReleaseSpinLock(&Ext()->PendingIrpLock, irql);
        return irp;
    }

    std::mutex interceptLock_;
    std::function<bool(PIRP, NTSTATUS*)> intercept_;
    hk::Handle handle_ = hk::kInvalidHandle;
    bool pnpStarted_ = false;
};

TEST_F(DeviceCoreTest, StartConfiguresTheModuleStopKeepsThePipesAndRemoveReleasesEverything) {
    AddAndStart();
    DeviceExtension* ext = Ext();
    // The pipe table is the one the module describes, every pipe asked for 0x18FFF bytes.
    ASSERT_NE(ext->InterfaceInfo, nullptr);
    ASSERT_EQ(ext->InterfaceInfo->NumberOfPipes, 5u);
    const uint8_t endpoints[] = {velnor::sim::kIsoInEndpoint, velnor::sim::kIsoOutEndpoint,
                                 velnor::sim::kBulkInEndpoint, velnor::sim::kBulkOutEndpoint,
                                 velnor::sim::kInterruptEndpoint};
    const USBD_PIPE_TYPE types[] = {UsbdPipeTypeIsochronous, UsbdPipeTypeIsochronous, UsbdPipeTypeBulk,
                                    UsbdPipeTypeBulk, UsbdPipeTypeInterrupt};
    for (ULONG p = 0; p < 5; ++p) {
        EXPECT_EQ(ext->InterfaceInfo->Pipes[p].EndpointAddress, endpoints[p]);
        EXPECT_EQ(ext->InterfaceInfo->Pipes[p].PipeType, types[p]);
        EXPECT_EQ(ext->InterfaceInfo->Pipes[p].MaximumTransferSize, 0x18FFFu);
    }
    EXPECT_EQ(ext->InterfaceInfo->Pipes[0].MaximumPacketSize, velnor::sim::kIsoInMaxPacket);
    ASSERT_NE(ext->DeviceDescriptor, nullptr);
    const std::vector<uint8_t> device = function_->DeviceDescriptor();
    EXPECT_EQ(std::memcmp(ext->DeviceDescriptor, device.data(), 18), 0);
    EXPECT_NE(ext->ConfigurationHandle, nullptr);
    EXPECT_EQ(ext->SymbolicLinkActive, 1);
    char line[96];
    std::snprintf(line, sizeof line, "Velnor> Velnor_StartDevice: idVendor 0x%x", device[8] | device[9] << 8);
    EXPECT_TRUE(hk::LogHasLine(line));
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_SelectInterfaces: NumberOfPipes 0x5"));
    EXPECT_EQ(hk::LogCount("Velnor> Velnor_SelectInterfaces: PipeNum 4"), 1u);

    // Open works once started.
    ASSERT_EQ(hk::OpenFile("\\\\.\\Velnor-0", &handle_), STATUS_SUCCESS);
    EXPECT_EQ(ext->OpenCount, 1);
    hk::CloseFile(handle_);
    handle_ = hk::kInvalidHandle;

    // Stop deconfigures but keeps the old pipe table; a new start configures again.
    const USBD_PIPE_HANDLE before = ext->InterfaceInfo->Pipes[0].PipeHandle;
    ASSERT_EQ(hk::PnpSend(pdo_, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    ASSERT_EQ(hk::PnpSend(pdo_, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadShared(DeviceStarted), 0);
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_StopDevice: Device Configuration Closed status = 0 usb status = 0."));
    ASSERT_NE(ext->InterfaceInfo, nullptr);
    EXPECT_EQ(ext->InterfaceInfo->Pipes[0].PipeHandle, before);
    EXPECT_EQ(hk::OpenFile("\\\\.\\Velnor-0", &handle_), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(hk::LogHasLine("Velnor> ERROR: Velnor_Create() - Device not started"));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(ReadShared(DeviceStarted), 1);
    EXPECT_EQ(hk::LogCount("Velnor> Velnor_SelectInterfaces: NumberOfPipes 0x5"), 2u);

    Remove();
    EXPECT_EQ(Device(), nullptr);
    EXPECT_EQ(ReadShared(DeviceRemoved), 1);
    EXPECT_EQ(ReadShared(DeviceStarted), 0);
    EXPECT_EQ(IsoOutBuffer, nullptr);
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_DispatchPnp: IRP_MN_REMOVE_DEVICE AcqModuleConnected (0)"));
}

TEST_F(DeviceCoreTest, ASecondModuleIsRefusedUntilTheFirstIsRemoved) {
    AddAndStart();
    auto second = std::make_unique<hk::usb::HostController>(
        std::make_shared<velnor::sim::AcquisitionModule>(velnor::sim::ModuleSettings{}));
    EXPECT_EQ(hk::PnpAddDevice(driver_, second->PhysicalDevice()), STATUS_DELETE_PENDING);
    EXPECT_TRUE(hk::LogHasLine("Velnor> ERROR: Velnor_PnPAddDevice() - Device not removed"));
    Remove();
    ASSERT_EQ(hk::PnpAddDevice(driver_, second->PhysicalDevice()), STATUS_SUCCESS);
    ASSERT_EQ(hk::PnpSend(second->PhysicalDevice(), IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    hk::PnpSend(second->PhysicalDevice(), IRP_MN_QUERY_REMOVE_DEVICE);
    hk::PnpSend(second->PhysicalDevice(), IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(Device(), nullptr);
}

TEST_F(DeviceCoreTest, RemoveWaitsForRequestsInsideAndRefusesNewOnes) {
    AddAndStart();
    ASSERT_EQ(hk::OpenFile("\\\\.\\Velnor-0", &handle_), STATUS_SUCCESS);
    HangDescriptorRequests();
    PDEVICE_OBJECT device = Device();
    std::atomic<int64_t> left[2] = {0, 0};
    std::atomic<NTSTATUS> results[2] = {0, 0};
    std::atomic<NTSTATUS> late{0};
    {
        // Two requests inside the driver, each holding the remove lock while
        // its request block waits out the 300 ms limit.
        auto inside = [&](int i) {
            return StartThread(PASSIVE_LEVEL, [&, i](std::stop_token) {
                ASSERT_TRUE(LockDevice(device));
                USB_DEVICE_DESCRIPTOR d;
                results[i] = GetDeviceDescriptor(&d);
                left[i] = hk::Now100ns();
                UnlockDevice(device);
            });
        };
        auto first = inside(0);
        auto second = inside(1);
        auto newcomer = StartThread(PASSIVE_LEVEL, [&](std::stop_token) {
            Sleep(100);
            late = hk::DeviceIoControl(handle_, IOCTL_VELNOR_ENABLE, nullptr, 0, nullptr, 0).status;
        });
        Sleep(10);
        ASSERT_EQ(hk::PnpSend(pdo_, IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
        hk::PnpSend(pdo_, IRP_MN_REMOVE_DEVICE);
        const int64_t removed = hk::Now100ns();
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(results[i], STATUS_IO_TIMEOUT);
            EXPECT_GT(left[i], 0);
            EXPECT_LE(left[i], removed);
        }
        // One after the other: the second waited for the first's 300 ms.
        EXPECT_GE(std::max(left[0].load(), left[1].load()), 600 * kMs);
    }
    EXPECT_EQ(late, STATUS_DELETE_PENDING);
    EXPECT_TRUE(hk::LogHasLine("Velnor> ERROR: LockDevice() - removing"));
    EXPECT_EQ(hk::LogCount("Velnor> Velnor_CallUSBD: IoCancelIrp (c00000b5)"), 2u);
    EXPECT_EQ(Device(), nullptr);
}

TEST_F(DeviceCoreTest, RequestBlockTimesOutAfter300MsAndTheNextOneWorks) {
    AddAndStart();
    ASSERT_TRUE(LockDevice(Device()));
    bus_->HangNextTransfer(0);
    USB_DEVICE_DESCRIPTOR d{};
    const int64_t sent = hk::Now100ns();
    EXPECT_EQ(GetDeviceDescriptor(&d), STATUS_IO_TIMEOUT);
    const int64_t waited = hk::Now100ns() - sent;
    // 300 ms, ended at the first 15.625 ms tick after it.
    EXPECT_GE(waited, 300 * kMs);
    EXPECT_LE(waited, 320 * kMs);
    EXPECT_TRUE(hk::LogHasLine("Velnor> ***Error*** Velnor_CallUSBD (c00000b5)"));
    EXPECT_EQ(PendingIrp(), nullptr);
    EXPECT_EQ(GetDeviceDescriptor(&d), STATUS_SUCCESS);
    EXPECT_EQ(d.bLength, 18);
    UnlockDevice(Device());
}

TEST_F(DeviceCoreTest, InformationalStartStatusDoesNotMarkTheDeviceStarted) {
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    constexpr NTSTATUS informational = 0x40000000;
    FailUrb(URB_FUNCTION_SELECT_CONFIGURATION, informational);
    EXPECT_EQ(Start(), informational);
    EXPECT_EQ(ReadShared(DeviceStarted), 0);
}

TEST_F(DeviceCoreTest, FailedLowerStartLeavesTheLinkSoTheNextAddFails) {
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    FailPnp(IRP_MN_START_DEVICE, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Start(), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(hk::LogHasLine("Velnor> ERROR: Velnor_HandleStartDevice() - ForwardAndWait error"));
    hk::PnpSend(pdo_, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(Device(), nullptr);
    EXPECT_TRUE(hk::SymbolicLinkExists(u"\\DosDevices\\Velnor-0"));
    EXPECT_TRUE(hk::OutstandingPool().empty());
    Intercept(nullptr);
    EXPECT_EQ(Add(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Device(), nullptr);
    // The stale link is the system's to clear; here the test does it.
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\Velnor-0");
    IoDeleteSymbolicLink(&link);
}

TEST_F(DeviceCoreTest, PowerRequestsAreLoggedAndPassedDown) {
    AddAndStart();
    hk::LogClear();
    for (int state = PowerDeviceD0; state <= PowerDeviceD3; ++state) {
        POWER_STATE s;
        s.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
        EXPECT_EQ(hk::PowerSend(pdo_, IRP_MN_SET_POWER, DevicePowerState, s).status, STATUS_SUCCESS);
        EXPECT_EQ(hk::PowerSend(pdo_, IRP_MN_QUERY_POWER, DevicePowerState, s).status, STATUS_SUCCESS);
    }
    POWER_STATE system;
    system.SystemState = PowerSystemSleeping3;
    EXPECT_EQ(hk::PowerSend(pdo_, IRP_MN_SET_POWER, SystemPowerState, system).status, STATUS_SUCCESS);
    for (const char* line : {"Velnor> Velnor_DispatchPower: IRP_MN_SET_D0", "Velnor> Velnor_DispatchPower: IRP_MN_SET_D3",
                             "Velnor_DispatchPower: IRP_MN_QUERY_D1", "Velnor_DispatchPower: IRP_MN_QUERY_D3",
                             "Velnor> Velnor_DispatchPower: IRP_MJ_POWER MIN=0x2 Type=0x0 State=0x4",
                             "Velnor> Velnor_DispatchPower: SystemPowerState"})
        EXPECT_TRUE(hk::LogHasLine(line)) << line;
    EXPECT_EQ(hk::LogCount("Velnor_DispatchPower: Passing Power Irp down"), 9u);
    EXPECT_EQ(hk::LogCount("Velnor_DispatchPower: Power Irp came back, status = 0"), 9u);
}

TEST_F(DeviceCoreTest, CapabilitiesGetSurpriseRemovalOkOnlyFromAVersionOneRecordTheLowerDriversFilled) {
    AddAndStart();
    DEVICE_CAPABILITIES caps{};
    EXPECT_EQ(hk::pnp::QueryCapabilities(pdo_, 1, &caps).status, STATUS_SUCCESS);
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    EXPECT_TRUE(caps.Removable);  // the bus's answer, passed up
    // Version 0 goes down untouched: even when the lower drivers answer it,
    // nothing is set on the way up.
    FailPnp(IRP_MN_QUERY_CAPABILITIES, STATUS_SUCCESS);
    caps = {};
    EXPECT_EQ(hk::pnp::QueryCapabilities(pdo_, 0, &caps).status, STATUS_SUCCESS);
    EXPECT_FALSE(caps.SurpriseRemovalOK);
    // Lower drivers that fail the query leave the bit clear.
    FailPnp(IRP_MN_QUERY_CAPABILITIES, STATUS_UNSUCCESSFUL);
    caps = {};
    EXPECT_EQ(hk::pnp::QueryCapabilities(pdo_, 1, &caps).status, STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(caps.SurpriseRemovalOK);
    Intercept(nullptr);
    // Requests the driver does not handle pass down as they came.
    EXPECT_EQ(hk::PnpSend(pdo_, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(hk::PnpSend(pdo_, IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_DispatchPnp: Passing down unhandled PnP IOCTL 0x6"));
}

// The whole life on the PnP manager: the module plugged in binds and
// configures velnor; pulled out while both streams run, it is surprise-removed,
// then removed when the application closes its handle, and the driver unloads
// without a finding.
TEST(PlugAndPlay, ModulePulledWhileBothStreamsRunLeavesNothingBehind) {
    hk::ViolationRecorder findings;
    hk::LogClear();
    hk::pnp::RegisterDriver(velnor::sim::kHardwareId, {u"Velnor", "", DriverEntry});
    auto module = std::make_shared<velnor::sim::AcquisitionModule>(velnor::sim::ModuleSettings{});
    for (int plug = 0; plug < 2; ++plug) {
        SCOPED_TRACE(plug);
        hk::pnp::UsbDevice device(module);
        ASSERT_EQ(device.State(), hk::pnp::DeviceState::Started);
        ASSERT_NE(hk::pnp::LoadedDriver(u"Velnor"), nullptr);
        hk::Handle handle;
        ASSERT_EQ(hk::OpenFile("\\\\.\\Velnor-0", &handle), STATUS_SUCCESS);
        auto send = [&](ULONG code, const void* in = nullptr, ULONG inLength = 0) {
            return hk::DeviceIoControl(handle, code, in, inLength, nullptr, 0).status;
        };
        ASSERT_EQ(send(IOCTL_VELNOR_START_ISO_STREAM_IN, &velnor_test::kInStream, sizeof(IsoStreamRequest)),
                  STATUS_SUCCESS);
        ASSERT_EQ(send(IOCTL_VELNOR_ENABLE), STATUS_SUCCESS);
        ASSERT_EQ(send(IOCTL_VELNOR_START_ISO_STREAM_OUT, &velnor_test::kOutStream, sizeof(IsoStreamRequest)),
                  STATUS_SUCCESS);
        std::vector<USHORT> block(VelnorBlockReplyBytes(200, 7) / 2 + 1, 0);
        block[1] = 200;
        block[2] = 7;
        ASSERT_EQ(hk::DeviceIoControl(handle, IOCTL_VELNOR_READ_ISO_BUFFER, block.data(), 6, block.data(),
                                      VelnorBlockReplyBytes(200, 7)).status,
                  STATUS_SUCCESS);

        device.Unplug();
        EXPECT_EQ(device.State(), hk::pnp::DeviceState::SurpriseRemoved);
        EXPECT_EQ(ReadShared(DeviceStarted), 0);
        EXPECT_EQ(ReadShared(StopIsoStream), 1);
        // The application still holds its handle: the device stays until it closes.
        EXPECT_NE(hk::FindDeviceByName(u"\\Device\\Velnor-0"), nullptr);
        EXPECT_EQ(hk::DeviceIoControl(handle, IOCTL_VELNOR_ENABLE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
        hk::CloseFile(handle);
        EXPECT_EQ(device.State(), hk::pnp::DeviceState::Removed);
        EXPECT_EQ(hk::FindDeviceByName(u"\\Device\\Velnor-0"), nullptr);
        EXPECT_FALSE(hk::SymbolicLinkExists(u"\\DosDevices\\Velnor-0"));
        EXPECT_EQ(hk::pnp::LoadedDriver(u"Velnor"), nullptr) << "a driver without devices unloads";
        EXPECT_TRUE(hk::OutstandingPool().empty());
    }
    EXPECT_EQ(hk::LogCount("Velnor> Velnor_DispatchPnp: IRP_MN_SURPRISE_REMOVAL"), 2u);
    EXPECT_EQ(hk::LogCount("Velnor> Velnor_DispatchPnp: IRP_MN_REMOVE_DEVICE"), 2u);
    for (const auto& f : findings.Take()) ADD_FAILURE() << f.routine << ": " << f.message;
    hk::pnp::UnregisterDrivers();
}

// A stop and a start while a control request holds the request-block
// semaphore: the start must not reset it under its holder.
TEST_F(DeviceCoreTest, RestartLeavesTheRequestBlockSemaphoreToItsHolder) {
    AddAndStart();
    hk::ViolationRecorder findings;
    PDEVICE_OBJECT device = Device();
    ASSERT_EQ(hk::PnpSend(pdo_, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    ASSERT_EQ(hk::PnpSend(pdo_, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    bus_->HangNextTransfer(0);
    std::atomic<NTSTATUS> result{0};
    auto requester = StartThread(PASSIVE_LEVEL, [&](std::stop_token) {
        ASSERT_TRUE(LockDevice(device));
        USB_DEVICE_DESCRIPTOR d;
        result = GetDeviceDescriptor(&d);  // holds the semaphore for 300 ms
        UnlockDevice(device);
    });
    Sleep(10);
    EXPECT_EQ(Start(), STATUS_SUCCESS);  // waits its turn behind the holder
    requester.join();
    EXPECT_EQ(result, STATUS_IO_TIMEOUT);
    for (const auto& v : findings.Take()) ADD_FAILURE() << v.routine << ": " << v.message;
}

// Streams running when the device is removed in order, and a stream start
// that was inside the driver as the removal aborted the pipes: removal
// stops and aborts again once the requests have left, and frees nothing
// before both streams have ended.
TEST_F(DeviceCoreTest, RemoveEndsStreamsStartedWhileItWaitedBeforeFreeingTheirBuffers) {
    bus_->SetAbortCompletesFirst(true);
    AddAndStart();
    hk::ViolationRecorder findings;
    ASSERT_EQ(hk::OpenFile("\\\\.\\Velnor-0", &handle_), STATUS_SUCCESS);
    auto send = [&](ULONG code, const IsoStreamRequest* in = nullptr) {
        return hk::DeviceIoControl(handle_, code, in, in ? sizeof(*in) : 0, nullptr, 0).status;
    };
    ASSERT_EQ(send(IOCTL_VELNOR_START_ISO_STREAM_IN, &velnor_test::kInStream), STATUS_SUCCESS);
    ASSERT_EQ(send(IOCTL_VELNOR_ENABLE), STATUS_SUCCESS);
    ASSERT_EQ(send(IOCTL_VELNOR_START_ISO_STREAM_OUT, &velnor_test::kOutStream), STATUS_SUCCESS);
    Sleep(20);
    // The old streams' completions come late, so a new start waits inside
    // the driver for them while the removal begins.
    bus_->SetCompletionDelay(velnor::sim::kIsoInEndpoint, 200 * kMs);
    Sleep(5);
    ASSERT_EQ(send(IOCTL_VELNOR_STOP_ISO_STREAM), STATUS_SUCCESS);
    std::atomic<NTSTATUS> started{1};
    auto starter = StartThread(PASSIVE_LEVEL, [&](std::stop_token) {
        started = send(IOCTL_VELNOR_START_ISO_STREAM_IN, &velnor_test::kInStream);
        bus_->SetCompletionDelay(velnor::sim::kIsoInEndpoint, 0);
    });
    Sleep(10);
    ASSERT_EQ(hk::PnpSend(pdo_, IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
    const int64_t sent = hk::Now100ns();
    hk::PnpSend(pdo_, IRP_MN_REMOVE_DEVICE);
    const int64_t took = hk::Now100ns() - sent;
    pnpStarted_ = false;
    starter.join();
    // Stopped and aborted as soon as the start had left, not when its stream
    // happened to stop by itself.
    EXPECT_LT(took, 100 * kMs);
    EXPECT_EQ(started, STATUS_SUCCESS) << "the start ran inside the removal, as intended";
    EXPECT_EQ(Device(), nullptr);
    EXPECT_FALSE(IsoStreamClaimed(IsoStreamIn));
    EXPECT_FALSE(IsoStreamClaimed(IsoStreamOut));
    hk::BusFlush();  // the bus thread may still be returning from the last completion
    EXPECT_EQ(bus_->Pending(), 0u);
    EXPECT_TRUE(hk::OutstandingPool().empty());
    for (const auto& v : findings.Take()) ADD_FAILURE() << v.routine << ": " << v.message;
}

TEST_F(DeviceCoreTest, SurpriseRemovalCancelsTheRequestInFlightAndDisablesTheModule) {
    AddAndStart();
    ASSERT_EQ(hk::OpenFile("\\\\.\\Velnor-0", &handle_), STATUS_SUCCESS);
    ASSERT_EQ(hk::DeviceIoControl(handle_, IOCTL_VELNOR_ENABLE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    HangDescriptorRequests();
    PDEVICE_OBJECT device = Device();
    std::atomic<NTSTATUS> result{0};
    std::atomic<int64_t> returned{0};
    auto requester = StartThread(PASSIVE_LEVEL, [&](std::stop_token) {
        ASSERT_TRUE(LockDevice(device));
        USB_DEVICE_DESCRIPTOR d;
        result = GetDeviceDescriptor(&d);
        returned = hk::Now100ns();
        UnlockDevice(device);
    });
    Sleep(50);
    ASSERT_NE(PendingIrp(), nullptr);
    const int64_t sent = hk::Now100ns();
    hk::PnpSend(pdo_, IRP_MN_SURPRISE_REMOVAL);
    requester.join();
    EXPECT_EQ(result, STATUS_CANCELLED);
    EXPECT_EQ(returned, sent) << "cancelled at once, not after the 300 ms limit";
    EXPECT_EQ(ReadShared(AcqModuleConnected), 0);
    EXPECT_EQ(ReadShared(StopIsoStream), 1);
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_DispatchPnp: IRP_MN_SURPRISE_REMOVAL IoCancelIrp (0)"));
    hk::CloseFile(handle_);
    handle_ = hk::kInvalidHandle;
    hk::PnpSend(pdo_, IRP_MN_REMOVE_DEVICE);
    pnpStarted_ = false;
}

// A stream transfer the stack never completes is handed back by the surprise
// removal's abort, so the stream lets go of its pipe before the last handle
// closes; without it only the remove, much later, would end it.
TEST_F(DeviceCoreTest, SurpriseRemovalAbortsAHungStreamTransfer) {
    AddAndStart();
    ASSERT_EQ(hk::OpenFile("\\\\.\\Velnor-0", &handle_), STATUS_SUCCESS);
    ASSERT_EQ(hk::DeviceIoControl(handle_, IOCTL_VELNOR_START_ISO_STREAM_IN, &velnor_test::kInStream,
                                  sizeof(IsoStreamRequest), nullptr, 0).status,
              STATUS_SUCCESS);
    Sleep(10);
    bus_->HangNextTransfer(velnor::sim::kIsoInEndpoint);
    Sleep(10);
    ASSERT_TRUE(IsoStreamClaimed(IsoStreamIn));
    const int64_t sent = hk::Now100ns();
    hk::PnpSend(pdo_, IRP_MN_SURPRISE_REMOVAL);
    // The last completion lets go of the pipe just before it returns to the bus.
    auto ended = [&] { return !IsoStreamClaimed(IsoStreamIn) && bus_->Pending() == 0; };
    for (int ms = 0; ms < 100 && !ended(); ++ms) Sleep(1);
    EXPECT_TRUE(ended()) << "the hung transfer kept the stream";
    EXPECT_LE(hk::Now100ns() - sent, 20 * kMs);
    hk::CloseFile(handle_);
    handle_ = hk::kInvalidHandle;
    hk::PnpSend(pdo_, IRP_MN_REMOVE_DEVICE);
    pnpStarted_ = false;
}

TEST_F(DeviceCoreTest, ARefusedLockThatBringsTheCountToZeroSignalsTheRemoval) {
    AddAndStart();
    DeviceExtension* ext = Ext();
    // Removal under way, waiting, with nothing inside: the count is 1 only
    // for the newcomer's increment.
    WriteShared(ext->Removing, 1);
    InterlockedDecrement(&ext->PendingIoCount);
    KeClearEvent(&ext->RemoveEvent);
    EXPECT_FALSE(LockDevice(Device()));
    EXPECT_EQ(ext->PendingIoCount, 0);
    EXPECT_EQ(KeReadStateEvent(&ext->RemoveEvent), 1);
    // Put back what the add-device routine set, for the ordinary removal.
    WriteShared(ext->Removing, 0);
    InterlockedIncrement(&ext->PendingIoCount);
    KeClearEvent(&ext->RemoveEvent);
}

// A module whose configuration lies about its lengths: an interface
// descriptor cut to 7 bytes (the chain still adds up), or a total length
// beyond what the device sends.
class LyingConfigModule : public velnor::sim::AcquisitionModule {
public:
    explicit LyingConfigModule(bool shortInterface) : AcquisitionModule({}), shortInterface_(shortInterface) {}
    std::vector<uint8_t> ConfigurationDescriptor() override {
        std::vector<uint8_t> d = AcquisitionModule::ConfigurationDescriptor();
        size_t total = d.size();
        if (shortInterface_) {
            d[9] = 7;
            d.erase(d.begin() + 16, d.begin() + 18);
            total = d.size();
        } else {
            total += 40;
        }
        d[2] = static_cast<uint8_t>(total);
        d[3] = static_cast<uint8_t>(total >> 8);
        return d;
    }

private:
    bool shortInterface_;
};

class LyingConfigTest : public DeviceCoreTest, public ::testing::WithParamInterface<bool> {
protected:
    std::shared_ptr<hk::usb::Function> MakeFunction() override {
        return std::make_shared<LyingConfigModule>(GetParam());
    }
};

TEST_P(LyingConfigTest, StartRefusesAConfigurationWhoseLengthsLie) {
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_EQ(Start(), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_TRUE(hk::LogHasLine("Velnor> ERROR: Velnor_ConfigureDevice() - configuration descriptor malformed"));
    EXPECT_EQ(Ext()->InterfaceInfo, nullptr);
    EXPECT_EQ(ReadShared(DeviceStarted), 0);
}
INSTANTIATE_TEST_SUITE_P(ShortInterfaceOrLongTotal, LyingConfigTest, ::testing::Bool());

class LongConfigTest : public DeviceCoreTest {
protected:
    std::shared_ptr<hk::usb::Function> MakeFunction() override { return std::make_shared<LongConfigModule>(); }
};

TEST_F(LongConfigTest, SetInterfaceReadsALongDescriptorTwiceAndSizesItsRequests) {
    AddAndStart();
    const size_t total = function_->ConfigurationDescriptor().size();
    ASSERT_GT(total, 265u);
    ASSERT_TRUE(LockDevice(Device()));
    hk::LogClear();
    ASSERT_EQ(SetInterface(Device(), 0, 1), STATUS_SUCCESS);
    size_t reads = 0;
    std::string last;
    for (const auto& l : hk::LogLines())
        if (l.rfind("Velnor> GetFullConfigDescriptor: Configuration Descriptor = ", 0) == 0) ++reads, last = l;
    EXPECT_EQ(reads, 2u);
    char len[16];
    std::snprintf(len, sizeof len, "len %zx", total);
    EXPECT_NE(last.find(len), std::string::npos) << last;
    PUSBD_INTERFACE_INFORMATION info = Ext()->InterfaceInfo;
    ASSERT_EQ(info->NumberOfPipes, 8u);
    EXPECT_EQ(info->Pipes[7].MaximumPacketSize, 100);
    EXPECT_EQ(info->Pipes[6].MaximumPacketSize, velnor::sim::kIsoOutMaxPacket);
    EXPECT_EQ(info->Pipes[0].MaximumPacketSize, 256);

    // No endpoints: a 56-byte request, an empty pipe table.
    ASSERT_EQ(SetInterface(Device(), 0, 2), STATUS_SUCCESS);
    EXPECT_TRUE(hk::LogHasLine("Velnor> SetInterface: urbSize = 56"));
    EXPECT_EQ(Ext()->InterfaceInfo->NumberOfPipes, 0u);
    EXPECT_EQ(SetInterface(Device(), 0, 9), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(SetInterface(Device(), 0, 0), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->InterfaceInfo->NumberOfPipes, 5u);
    UnlockDevice(Device());
}

// Every allocation of add-device, start and SetInterface fails once in turn:
// each ends with a documented status, and removal leaves nothing behind.
TEST_F(DeviceCoreTest, EachAllocationFailedInTurnLeavesNothingBehind) {
    enum Step { AddDevice, StartDevice, SelectInterface };
    for (Step step : {AddDevice, StartDevice, SelectInterface}) {
        for (unsigned nth = 1;; ++nth) {
            SCOPED_TRACE(testing::Message() << "step " << step << ", allocation " << nth);
            // Fails the nth allocation of what `run` does.
            unsigned failed = 0;
            auto underFault = [&](const std::function<NTSTATUS()>& run) {
                hk::FailAllocations fault(hk::AllocFault{hk::Alloc::Any, 0, nth});
                const NTSTATUS result = run();
                failed = fault.Failed();
                return result;
            };
            NTSTATUS status = step == AddDevice ? underFault([&] { return Add(); }) : Add();
            if (NT_SUCCESS(status)) status = step == StartDevice ? underFault([&] { return Start(); }) : Start();
            if (step == SelectInterface && NT_SUCCESS(status)) {
                ASSERT_NE(Ext()->InterfaceInfo, nullptr);
                ASSERT_TRUE(LockDevice(Device()));
                status = underFault([&] { return SetInterface(Device(), 0, 1); });
                UnlockDevice(Device());
            }
            if (step == AddDevice && !Device()) {
                EXPECT_TRUE(status == STATUS_NO_MEMORY || status == STATUS_INSUFFICIENT_RESOURCES) << std::hex << status;
                EXPECT_TRUE(hk::OutstandingPool().empty());
                // A failed add leaves DeviceRemoved at 0 until the driver loads again.
                EXPECT_TRUE(hk::UnloadDriver(driver_));
                driver_ = hk::LoadDriver(DriverEntry, u"Velnor");
            } else {
                if (failed && step == StartDevice) {
                    EXPECT_TRUE(status == STATUS_NO_MEMORY || status == STATUS_INSUFFICIENT_RESOURCES ||
                                (status == STATUS_SUCCESS && !Ext()->InterfaceInfo))
                        << std::hex << status;
                }
                if (failed && step == SelectInterface) {
                    EXPECT_TRUE(status == STATUS_UNSUCCESSFUL || status == STATUS_NO_MEMORY ||
                                status == STATUS_INSUFFICIENT_RESOURCES)
                        << std::hex << status;
                }
                Remove();
                EXPECT_EQ(Device(), nullptr);
                EXPECT_TRUE(hk::OutstandingPool().empty());
            }
            EXPECT_FALSE(hk::SymbolicLinkExists(u"\\DosDevices\\Velnor-0"));
            if (!failed) {
                EXPECT_GT(nth, 2u) << "no allocation was failed";
                break;
            }
            ASSERT_LT(nth, 40u) << "the step never ran clean";
        }
    }
}

// Driver load, and stop, surprise removal and remove with both streams
// running, each with its 1st, 2nd, ... allocation failed until it runs
// clean: every case ends with a clear status and no leak, the streams let go
// of their pipes, and the device (or, after a removal, the next one) starts
// and streams again.
TEST_F(DeviceCoreTest, EachAllocationOfLoadStopSurpriseRemovalAndRemoveFailedInTurn) {
    hk::ViolationRecorder findings;
    auto send = [&](ULONG code, const IsoStreamRequest* in = nullptr) {
        return hk::DeviceIoControl(handle_, code, in, in ? sizeof(*in) : 0, nullptr, 0).status;
    };
    auto startStreams = [&] {
        ASSERT_EQ(hk::OpenFile("\\\\.\\Velnor-0", &handle_), STATUS_SUCCESS);
        ASSERT_EQ(send(IOCTL_VELNOR_START_ISO_STREAM_IN, &velnor_test::kInStream), STATUS_SUCCESS);
        ASSERT_EQ(send(IOCTL_VELNOR_ENABLE), STATUS_SUCCESS);
        ASSERT_EQ(send(IOCTL_VELNOR_START_ISO_STREAM_OUT, &velnor_test::kOutStream), STATUS_SUCCESS);
        Sleep(10);
    };
    auto closeHandle = [&] {
        if (handle_ != hk::kInvalidHandle) hk::CloseFile(handle_);
        handle_ = hk::kInvalidHandle;
    };
    auto streamsEnded = [&] {
        for (int ms = 0; ms < 100; ++ms, Sleep(1))
            if (!IsoStreamClaimed(IsoStreamIn) && !IsoStreamClaimed(IsoStreamOut) && bus_->Pending() == 0) return true;
        return false;
    };
    // The whole life of a device once more: what a fault may not have broken.
    auto expectUsable = [&] {
        if (!Device()) AddAndStart();
        startStreams();
        EXPECT_EQ(send(IOCTL_VELNOR_STOP_ISO_STREAM), STATUS_SUCCESS);
        closeHandle();
        Remove();
        EXPECT_TRUE(hk::OutstandingPool().empty()) << "pool leaked";
    };
    enum Scenario { Load, Stop, SurpriseRemoval, RemoveDevice };
    for (Scenario scenario : {Load, Stop, SurpriseRemoval, RemoveDevice}) {
        for (unsigned nth = 1;; ++nth) {
            SCOPED_TRACE(testing::Message() << "scenario " << scenario << ", allocation " << nth);
            if (scenario == Load) {
                ASSERT_TRUE(hk::UnloadDriver(driver_));
            } else {
                AddAndStart();
                startStreams();
            }
            std::optional<hk::FailAllocations> fault(std::in_place, hk::AllocFault{hk::Alloc::Any, 0, nth});
            NTSTATUS status = STATUS_SUCCESS;
            if (scenario == Load) {
                driver_ = hk::LoadDriver(DriverEntry, u"Velnor", &status);
                if (!driver_) {
                    EXPECT_FALSE(NT_SUCCESS(status));
                    fault.reset();
                    driver_ = hk::LoadDriver(DriverEntry, u"Velnor");
                }
                ASSERT_NE(driver_, nullptr);
            } else if (scenario == Stop) {
                ASSERT_EQ(hk::PnpSend(pdo_, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
                status = hk::PnpSend(pdo_, IRP_MN_STOP_DEVICE).status;
            } else if (scenario == SurpriseRemoval) {
                status = hk::PnpSend(pdo_, IRP_MN_SURPRISE_REMOVAL).status;
                pnpStarted_ = false;  // the remove follows without a query
            } else {
                hk::PnpSend(pdo_, IRP_MN_QUERY_REMOVE_DEVICE);
                status = hk::PnpSend(pdo_, IRP_MN_REMOVE_DEVICE).status;
                pnpStarted_ = false;
            }
            const unsigned failed = fault ? fault->Failed() : 1;
            fault.reset();
            EXPECT_EQ(status, STATUS_SUCCESS) << std::hex << status;
            if (scenario != Load) {
                EXPECT_EQ(ReadShared(DeviceStarted), 0);
                // A stop deconfigures the module and a removal aborts the pipes:
                // either way both streams end.
                EXPECT_TRUE(streamsEnded()) << "a stream outlived the request";
            }
            if (scenario == Stop) {
                EXPECT_EQ(Start(), STATUS_SUCCESS) << "no restart after the stop";
                EXPECT_EQ(send(IOCTL_VELNOR_START_ISO_STREAM_IN, &velnor_test::kInStream), STATUS_SUCCESS);
                EXPECT_EQ(send(IOCTL_VELNOR_STOP_ISO_STREAM), STATUS_SUCCESS);
            }
            if (scenario == SurpriseRemoval) {
                closeHandle();
                Remove();
            }
            if (scenario == RemoveDevice) {
                EXPECT_EQ(Device(), nullptr);
                closeHandle();
            }
            if (scenario != Stop) {
                EXPECT_TRUE(hk::OutstandingPool().empty()) << "pool leaked";
            }
            closeHandle();
            if (scenario == Stop) Remove();
            expectUsable();
            if (!failed) {
                if (scenario != Load) {
                    EXPECT_GT(nth, 1u) << "nothing was allocated";
                }
                break;
            }
            ASSERT_LT(nth, 60u) << "the scenario never ran clean";
        }
    }
    for (const auto& v : findings.Take()) ADD_FAILURE() << v.routine << ": " << v.message;
}

// Each request block of the start (descriptors, configuration) failed, timed
// out and stalled in turn: the start fails with a clear status within the
// request-block limit, leaves the device not started and nothing behind, and
// the next device starts.
TEST_F(DeviceCoreTest, EachRequestBlockOfTheStartFailedTimedOutAndStalledInTurn) {
    hk::ViolationRecorder findings;
    auto isUrb = [](PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        return stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
               stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB;
    };
    std::atomic<unsigned> seen{0};
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    Intercept([&](PIRP irp, NTSTATUS*) {
        if (isUrb(irp)) ++seen;
        return false;
    });
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    Intercept(nullptr);
    Remove();
    const unsigned blocks = seen;
    ASSERT_GE(blocks, 3u) << "device descriptor, configuration descriptor, configuration";
    enum Fault { Failed, TimedOut, Stalled };
    for (Fault fault : {Failed, TimedOut, Stalled}) {
        for (unsigned nth = 1; nth <= blocks; ++nth) {
            SCOPED_TRACE(testing::Message() << "fault " << fault << ", request block " << nth);
            ASSERT_EQ(Add(), STATUS_SUCCESS);
            seen = 0;
            Intercept([&, fault, nth](PIRP irp, NTSTATUS* result) {
                if (!isUrb(irp) || ++seen != nth) return false;
                if (fault == TimedOut) {
                    hk::PendUntilCancelled(irp);
                    *result = STATUS_PENDING;
                    return true;
                }
                auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
                urb->UrbHeader.Status = fault == Stalled ? USBD_STATUS_STALL_PID : USBD_STATUS_REQUEST_FAILED;
                irp->IoStatus.Status = *result = STATUS_UNSUCCESSFUL;
                IofCompleteRequest(irp, IO_NO_INCREMENT);
                return true;
            });
            const int64_t sent = hk::Now100ns();
            const NTSTATUS status = Start();
            Intercept(nullptr);
            if (fault == TimedOut) {
                EXPECT_EQ(status, STATUS_IO_TIMEOUT);
                EXPECT_LE(hk::Now100ns() - sent, 300 * kMs + 2 * 156250);
            } else {
                EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
            }
            EXPECT_EQ(ReadShared(DeviceStarted), 0);
            Remove();
            EXPECT_EQ(Device(), nullptr);
            EXPECT_TRUE(hk::OutstandingPool().empty()) << "pool leaked";
            // The driver is woken from inside the bus's completion call, which
            // may not have returned yet; what is due now runs, nothing later.
            hk::BusFlush();
            EXPECT_EQ(bus_->Pending(), 0u);
            AddAndStart();
            Remove();
        }
    }
    for (const auto& v : findings.Take()) ADD_FAILURE() << v.routine << ": " << v.message;
}

// A Plug and Play stop with both streams running, on a stack whose abort
// completes before the transfers it cancels and with a hung IN transfer:
// the configuration goes away only once no stream holds its pipe (a stream
// lets go with its last transfer), and the device starts again.
TEST_F(DeviceCoreTest, StopDeconfiguresOnlyOnceEveryStreamTransferIsBack) {
    bus_->SetAbortCompletesFirst(true);
    AddAndStart();
    ASSERT_EQ(hk::OpenFile("\\\\.\\Velnor-0", &handle_), STATUS_SUCCESS);
    auto send = [&](ULONG code, const IsoStreamRequest* in = nullptr) {
        return hk::DeviceIoControl(handle_, code, in, in ? sizeof(*in) : 0, nullptr, 0).status;
    };
    ASSERT_EQ(send(IOCTL_VELNOR_START_ISO_STREAM_IN, &velnor_test::kInStream), STATUS_SUCCESS);
    ASSERT_EQ(send(IOCTL_VELNOR_ENABLE), STATUS_SUCCESS);
    ASSERT_EQ(send(IOCTL_VELNOR_START_ISO_STREAM_OUT, &velnor_test::kOutStream), STATUS_SUCCESS);
    Sleep(10);
    bus_->HangNextTransfer(velnor::sim::kIsoInEndpoint);
    Sleep(10);
    std::atomic<int> deconfigures{0};
    std::atomic<bool> claimed{true};
    Intercept([&](PIRP irp, NTSTATUS*) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) return false;
        auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION &&
            !urb->UrbSelectConfiguration.ConfigurationDescriptor) {
            ++deconfigures;
            claimed = IsoStreamClaimed(IsoStreamIn) || IsoStreamClaimed(IsoStreamOut);
        }
        return false;
    });
    ASSERT_EQ(hk::PnpSend(pdo_, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    ASSERT_EQ(hk::PnpSend(pdo_, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    Intercept(nullptr);
    ASSERT_EQ(deconfigures.load(), 1);
    EXPECT_FALSE(claimed.load()) << "a stream still held its pipe, so a transfer was still out";
    EXPECT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(send(IOCTL_VELNOR_START_ISO_STREAM_IN, &velnor_test::kInStream), STATUS_SUCCESS) << "the pipes are free";
    EXPECT_EQ(send(IOCTL_VELNOR_STOP_ISO_STREAM), STATUS_SUCCESS);
    hk::CloseFile(handle_);
    handle_ = hk::kInvalidHandle;
}

// A stop that finds a request block in flight cancels it, from the Plug and
// Play thread, while the requester waits on it; repeated so that the cancel
// lands at every point of the requester's wait and release.
TEST_F(DeviceCoreTest, StopCancelsTheRequestInFlightWithoutTouchingAFreedOne) {
    AddAndStart();
    PDEVICE_OBJECT device = Device();
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        if (round > 0) {
            ASSERT_EQ(Start(), STATUS_SUCCESS);
        }
        HangDescriptorRequests();
        std::atomic<NTSTATUS> result{0};
        auto requester = StartThread(PASSIVE_LEVEL, [&](std::stop_token) {
            Sleep(round % 4);
            ASSERT_TRUE(LockDevice(device));
            USB_DEVICE_DESCRIPTOR d;
            result = GetDeviceDescriptor(&d);
            UnlockDevice(device);
        });
        // The stop's deconfiguration goes through; its pass-down waits until
        // the descriptor request is in flight, so the cancel finds it.
        Sleep(round % 3);
        auto hang = Intercepting();
        Intercept([&, hang](PIRP irp, NTSTATUS* status) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_STOP_DEVICE)
                for (int ms = 0; ms < 50 && !PendingIrp(); ++ms) Sleep(1);
            return hang(irp, status);
        });
        ASSERT_EQ(hk::PnpSend(pdo_, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
        ASSERT_EQ(hk::PnpSend(pdo_, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
        requester.join();
        EXPECT_TRUE(result == STATUS_CANCELLED || result == STATUS_IO_TIMEOUT) << std::hex << result;
        EXPECT_EQ(PendingIrp(), nullptr);
        Intercept(nullptr);
    }
    EXPECT_GT(hk::LogCount("Velnor> Velnor_DispatchPnp: IRP_MN_STOP_DEVICE IoCancelIrp (0)"), 0u);
    EXPECT_EQ(Start(), STATUS_SUCCESS);
}

}  // namespace
