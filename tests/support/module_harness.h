// Test support: the driver's device over the simulated host controller with
// the simulated acquisition module, configured as the start request will
// configure it, and the stream requests through the I/O manager.
#pragma once

#include "support/velnor_harness.h"

#include "output/packet_builder.h"
#include "output/signal_filter.h"
#include "usb/iso_stream.h"

#include <hostkernel/usb_bus.h>
#include <usbdlib.h>
#include <velnor_sim/acquisition_module.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <string_view>
#include <memory>
#include <thread>

namespace velnor_test {

// Sends one URB to a device and waits for it.
inline NTSTATUS SendUrb(PDEVICE_OBJECT device, PURB urb) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, device, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    if (IoCallDriver(device, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return iosb.Status;
}

// Runs every body on a thread of its own, all let go together, and waits for
// them. Every test thread that calls into the driver is started here.
inline void RunConcurrently(const std::vector<std::function<void()>>& bodies) {
    std::atomic<size_t> arrived{0};
    std::vector<std::unique_ptr<hk::SimThread>> threads;
    for (const auto& body : bodies)
        threads.push_back(std::make_unique<hk::SimThread>("concurrent", [&arrived, &body, n = bodies.size()] {
            arrived.fetch_add(1);
            while (arrived.load() < n) std::this_thread::yield();
            body();
        }));
    for (auto& t : threads) t->Join();
}

// A device between the driver and the simulated host controller that sends
// each endpoint's first `pass` transfers on to the controller (all of them
// when `pass` is negative) and fails the others at once, inside
// IoCallDriver, as a USB stack whose device is gone does. Everything else
// goes on to the controller.
class FailingStack {
public:
    FailingStack(PDEVICE_OBJECT controller, USBD_PIPE_HANDLE in, USBD_PIPE_HANDLE out)
        : controller_(controller), in_(in), out_(out) {
        device_ = hk::CreateLowerDevice([this](PDEVICE_OBJECT, PIRP irp) { return Dispatch(irp); });
        device_->StackSize = static_cast<CCHAR>(controller->StackSize + 1);
    }
    ~FailingStack() { hk::DeleteLowerDevice(device_); }
    FailingStack(const FailingStack&) = delete;
    FailingStack& operator=(const FailingStack&) = delete;

    PDEVICE_OBJECT Device() const { return device_; }
    void Pass(int in, int out) {
        passIn_ = in;
        passOut_ = out;
    }
    size_t Failed() const { return failed_; }
    // The status a refused submission completes with (the device is gone, by default).
    void FailWith(NTSTATUS status) { failWith_ = status; }
    // Marks a refused request pending before completing it, as some stacks do.
    void PendBeforeFailing(bool on) { pendFirst_ = on; }

private:
    NTSTATUS Dispatch(PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        auto* urb = stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB
                        ? static_cast<PURB>(stack->Parameters.Others.Argument1)
                        : nullptr;
        std::atomic<int>* pass = nullptr;
        if (urb && urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
            USBD_PIPE_HANDLE pipe = urb->UrbIsochronousTransfer.PipeHandle;
            pass = pipe == in_ ? &passIn_ : pipe == out_ ? &passOut_ : nullptr;
        }
        int left = pass ? pass->load() : -1;
        while (left > 0 && !pass->compare_exchange_weak(left, left - 1)) {
        }
        if (left == 0) {
            ++failed_;
            const NTSTATUS status = failWith_;
            urb->UrbHeader.Status = status == STATUS_DEVICE_NOT_CONNECTED ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_INVALID_PARAMETER;
            irp->IoStatus.Status = status;
            irp->IoStatus.Information = 0;
            const bool pend = pendFirst_;
            if (pend) IoMarkIrpPending(irp);
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return pend ? STATUS_PENDING : status;
        }
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(controller_, irp);
    }

    PDEVICE_OBJECT controller_;
    USBD_PIPE_HANDLE in_, out_;
    PDEVICE_OBJECT device_ = nullptr;
    std::atomic<int> passIn_{-1}, passOut_{-1};
    std::atomic<size_t> failed_{0};
    std::atomic<NTSTATUS> failWith_{STATUS_DEVICE_NOT_CONNECTED};
    std::atomic<bool> pendFirst_{false};
};

// The recommended stream parameters (see docs/simulated-module.md): IN
// 108-byte slots (two packets a frame), 4 packets a transfer, 4 in flight;
// OUT 16-byte slots, 5 packets a transfer, 4 in flight.
constexpr IsoStreamRequest kInStream = {0, 108, 64, 4, 4};
constexpr IsoStreamRequest kOutStream = {1, 16, 0, 5, 4};

class ModuleFixture : public DeviceFixture {
protected:

    virtual velnor::sim::ModuleSettings Settings() { return {}; }
    // The controller's completion mode: ctest runs the stream tests once on
    // the bus thread, once completing inside IoCallDriver and once with each
    // pipe's completions on a thread of their own (VELNOR_BUS_MODE).
    static std::string_view BusMode() {
        const char* mode = std::getenv("VELNOR_BUS_MODE");
        return mode ? mode : "";
    }
    static bool InlineCompletion() { return BusMode() == "inline"; }
    virtual hk::usb::HostController::Options BusOptions() {
        hk::usb::HostController::Options options;
        options.inlineCompletion = InlineCompletion();
        options.completionThreadPerPipe = BusMode() == "threads";
        return options;
    }
    // The function on the bus: the acquisition module unless a test brings its own.
    virtual std::shared_ptr<hk::usb::Function> MakeFunction() {
        return std::make_shared<velnor::sim::AcquisitionModule>(Settings());
    }

    void SetUp() override {
        DeviceFixture::SetUp();
        FreeRingBuffer(ext_->DescriptorRingBuffer);  // only a running IN stream has one
        ext_->DescriptorRingBuffer = nullptr;
        function_ = MakeFunction();
        module_ = std::dynamic_pointer_cast<velnor::sim::AcquisitionModule>(function_);
        bus_ = std::make_unique<hk::usb::HostController>(function_, BusOptions());
        ext_->StackDeviceObject = IoAttachDeviceToDeviceStack(device_, bus_->PhysicalDevice());
        // As the start request leaves them for Velnor_CallUSBD.
        KeInitializeSemaphore(&ext_->CallUsbdSemaphore, 1, 1);
        KeInitializeSpinLock(&ext_->PendingIrpLock);
        ext_->IsoPacketRingBuffer = AllocRingBuffer(20000);
        IsoOutBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 10000, VELNOR_POOL_TAG));
        RtlZeroMemory(IsoOutBuffer, 10000);
        FirstIsoPacket = 1;
        StopIsoStream = 0;
        IsoStreamStopped = 1;
        IsoInCompleted = 0;
        bPace = 0;
        velnor_filter_load_defaults();
        LoadOutputDefaults();
        Configure();
    }

    void TearDown() override {
        if (bus_) {
            Stop();
            EXPECT_TRUE(WaitFor([&] { return StreamsEnded(); }, 5.0)) << "the streams did not wind down";
            if (ext_->InterfaceInfo) ExFreePool(ext_->InterfaceInfo);
            ext_->InterfaceInfo = nullptr;
            ExFreePool(IsoOutBuffer);
            IsoOutBuffer = nullptr;
            IoDetachDevice(ext_->StackDeviceObject);
            bus_.reset();
        }
        DeviceFixture::TearDown();
    }

    // Selects configuration 1 with interface 0, setting 0; keeps the pipe
    // table in pool as the device's InterfaceInfo.
    void Configure() {
        std::vector<uint8_t> config = function_->ConfigurationDescriptor();
        auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
        USBD_INTERFACE_LIST_ENTRY list[2] = {{USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1), nullptr},
                                             {nullptr, nullptr}};
        PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
        // The transfer limit the driver's own configuration asks for.
        for (ULONG p = 0; p < list[0].Interface->NumberOfPipes; ++p) list[0].Interface->Pipes[p].MaximumTransferSize = 0x18FFF;
        ASSERT_EQ(SendUrb(bus_->PhysicalDevice(), urb), STATUS_SUCCESS);
        ext_->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        ext_->InterfaceInfo =
            static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePoolWithTag(NonPagedPool, list[0].Interface->Length, VELNOR_POOL_TAG));
        RtlCopyMemory(ext_->InterfaceInfo, list[0].Interface, list[0].Interface->Length);
        ExFreePool(urb);
    }

    // Both streams have released everything and the bus touches no buffer.
    bool StreamsEnded() const {
        return bus_->Pending() == 0 && ReadShared(IsoStreamStopped) == 1 && !IsoStreamClaimed(IsoStreamIn) &&
               !IsoStreamClaimed(IsoStreamOut);
    }

    // A packet ring of 10 s instead of 0.3 s, for tests that keep the IN
    // stream running without an OUT stream to drain it.
    void UseLargePacketRing() {
        FreeRingBuffer(ext_->IsoPacketRingBuffer);
        ext_->IsoPacketRingBuffer = AllocRingBuffer(kDataRingBytes);
        ASSERT_NE(ext_->IsoPacketRingBuffer, nullptr);
    }

    NTSTATUS Request(ULONG code, const IsoStreamRequest* request = nullptr) {
        return hk::DeviceIoControl(handle_, code, request, request ? sizeof(*request) : 0, nullptr, 0).status;
    }
    NTSTATUS StartIn(const IsoStreamRequest& r = kInStream) { return Request(IOCTL_VELNOR_START_ISO_STREAM_IN, &r); }
    NTSTATUS StartOut(const IsoStreamRequest& r = kOutStream) { return Request(IOCTL_VELNOR_START_ISO_STREAM_OUT, &r); }
    NTSTATUS Stop() { return Request(IOCTL_VELNOR_STOP_ISO_STREAM); }

    // Lets `seconds` of kernel time pass.
    static void RunFor(double seconds) {
        LARGE_INTEGER interval;
        interval.QuadPart = -static_cast<LONGLONG>(seconds * 1e7);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    // Polls every millisecond of kernel time, for at most `seconds`.
    static bool WaitFor(const std::function<bool()>& done, double seconds) {
        for (int ms = 0; ms < seconds * 1000; ++ms) {
            if (done()) return true;
            RunFor(0.001);
        }
        return done();
    }

    // Every whole packet a ring holds, as words, read the way the readers
    // read (under the ring's lock) while the stream may still write.
    static std::vector<USHORT> Drain(RingBuffer* ring) {
        std::vector<USHORT> words;
        USHORT packet[17];
        while (ReadRingBuffer(ring, reinterpret_cast<PUCHAR>(packet), sizeof packet) == sizeof packet)
            words.insert(words.end(), packet, packet + 17);
        return words;
    }

    std::shared_ptr<hk::usb::Function> function_;
    std::shared_ptr<velnor::sim::AcquisitionModule> module_;
    std::unique_ptr<hk::usb::HostController> bus_;
};

}  // namespace velnor_test
