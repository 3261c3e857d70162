// The simulated host controller with the simulated module on it, seen from
// below the driver: descriptors and strings, vendor and class requests,
// configuration and alternate setting, bulk echo, isochronous timing,
// cancellation, abort, and the injected faults.
#include "support/module_harness.h"

#include <hostkernel/usb_bus.h>
#include <usbdlib.h>
#include <velnor_sim/acquisition_module.h>

#include <gtest/gtest.h>

#include <memory>

namespace {

using velnor::sim::AcquisitionModule;
using velnor_test::SendUrb;

class SimulatedBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = std::make_shared<AcquisitionModule>(velnor::sim::ModuleSettings{});
        bus_ = std::make_unique<hk::usb::HostController>(module_);
    }
    void TearDown() override {
        bus_.reset();
        EXPECT_TRUE(hk::OutstandingPool().empty());
    }
    PDEVICE_OBJECT Pdo() { return bus_->PhysicalDevice(); }

    // A URB on the heap, zeroed, of `size` bytes with its header set.
    PURB NewUrb(USHORT function, size_t size) {
        urbs_.emplace_back(size, 0);
        auto* urb = reinterpret_cast<PURB>(urbs_.back().data());
        urb->UrbHeader.Length = static_cast<USHORT>(size);
        urb->UrbHeader.Function = function;
        return urb;
    }
    NTSTATUS Descriptor(UCHAR type, UCHAR index, USHORT language, std::vector<uint8_t>& out) {
        PURB urb = NewUrb(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
        auto& d = urb->UrbControlDescriptorRequest;
        d.DescriptorType = type;
        d.Index = index;
        d.LanguageId = language;
        d.TransferBuffer = out.data();
        d.TransferBufferLength = static_cast<ULONG>(out.size());
        NTSTATUS s = SendUrb(Pdo(), urb);
        out.resize(d.TransferBufferLength);
        return s;
    }
    PURB Vendor(USHORT function, bool in, UCHAR request, USHORT value, std::vector<uint8_t>& data) {
        PURB urb = NewUrb(function, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
        auto& v = urb->UrbControlVendorClassRequest;
        v.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
        v.Request = request;
        v.Value = value;
        v.TransferBuffer = data.data();
        v.TransferBufferLength = static_cast<ULONG>(data.size());
        return urb;
    }
    PURB Bulk(UCHAR endpoint, std::vector<uint8_t>& data) {
        PURB urb = NewUrb(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
        auto& b = urb->UrbBulkOrInterruptTransfer;
        b.PipeHandle = pipes_.at(endpoint);
        b.TransferFlags = (endpoint & 0x80) ? USBD_TRANSFER_DIRECTION_IN : 0;
        b.TransferBuffer = data.data();
        b.TransferBufferLength = static_cast<ULONG>(data.size());
        return urb;
    }
    PURB Iso(UCHAR endpoint, ULONG packets, ULONG size, std::vector<uint8_t>& buffer) {
        buffer.assign(packets * size, 0);
        PURB urb = NewUrb(URB_FUNCTION_ISOCH_TRANSFER, 152 + 12 * packets);
        auto& t = urb->UrbIsochronousTransfer;
        t.PipeHandle = pipes_.at(endpoint);
        t.TransferFlags = USBD_START_ISO_TRANSFER_ASAP | ((endpoint & 0x80) ? USBD_TRANSFER_DIRECTION_IN : 0);
        t.TransferBuffer = buffer.data();
        t.TransferBufferLength = static_cast<ULONG>(buffer.size());
        t.NumberOfPackets = packets;
        for (ULONG p = 0; p < packets; ++p) t.IsoPacket[p] = {p * size, size, 0};
        return urb;
    }
    // Selects interface 0 with `alternate`; remembers the pipe handles.
    ULONG Select(UCHAR alternate) {
        auto config = module_->ConfigurationDescriptor();
        auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
        USBD_INTERFACE_LIST_ENTRY list[2] = {{USBD_ParseConfigurationDescriptorEx(cd, cd, 0, alternate, -1, -1, -1), nullptr},
                                             {nullptr, nullptr}};
        PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
        EXPECT_EQ(SendUrb(Pdo(), urb), STATUS_SUCCESS);
        EXPECT_NE(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
        ULONG n = list[0].Interface->NumberOfPipes;
        for (ULONG p = 0; p < n; ++p) {
            const auto& pipe = list[0].Interface->Pipes[p];
            EXPECT_NE(pipe.PipeHandle, nullptr);
            pipes_[pipe.EndpointAddress] = pipe.PipeHandle;
            types_[pipe.EndpointAddress] = pipe.PipeType;
        }
        ExFreePool(urb);
        return n;
    }
    // Sends without waiting; the event is set on completion.
    struct Sent {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        PIRP irp;
    };
    std::unique_ptr<Sent> Send(PURB urb) {
        auto s = std::make_unique<Sent>();
        KeInitializeEvent(&s->event, NotificationEvent, FALSE);
        s->irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, Pdo(), nullptr, 0, nullptr, 0, TRUE,
                                               &s->event, &s->iosb);
        IoGetNextIrpStackLocation(s->irp)->Parameters.Others.Argument1 = urb;
        EXPECT_EQ(IoCallDriver(Pdo(), s->irp), STATUS_PENDING);
        return s;
    }
    static NTSTATUS Wait(Sent& s) {
        KeWaitForSingleObject(&s.event, Executive, KernelMode, FALSE, nullptr);
        return s.iosb.Status;
    }

    std::shared_ptr<AcquisitionModule> module_;
    std::unique_ptr<hk::usb::HostController> bus_;
    std::vector<std::vector<uint8_t>> urbs_;
    std::map<UCHAR, USBD_PIPE_HANDLE> pipes_;
    std::map<UCHAR, USBD_PIPE_TYPE> types_;
};

TEST_F(SimulatedBusTest, DescriptorsAndStringsOfAFullSpeedDevice) {
    std::vector<uint8_t> d(64);
    ASSERT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, d), STATUS_SUCCESS);
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(d[2] | d[3] << 8, 0x0110) << "USB 1.1";
    std::vector<uint8_t> c(9);
    ASSERT_EQ(Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, c), STATUS_SUCCESS);
    std::vector<uint8_t> all(c[2] | c[3] << 8);
    ASSERT_EQ(Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, all), STATUS_SUCCESS);
    EXPECT_EQ(all.size(), static_cast<size_t>(c[2] | c[3] << 8)) << "the header first, then the whole set";
    std::vector<uint8_t> s(255);
    ASSERT_EQ(Descriptor(USB_STRING_DESCRIPTOR_TYPE, 0, 0, s), STATUS_SUCCESS);
    EXPECT_EQ(s, (std::vector<uint8_t>{4, 3, 0x09, 0x04})) << "language table";
    s.assign(255, 0);
    ASSERT_EQ(Descriptor(USB_STRING_DESCRIPTOR_TYPE, 3, 0x0409, s), STATUS_SUCCESS);
    EXPECT_EQ(s.size(), 2u + 2 * 8) << "SIM-0001";
    s.assign(255, 0);
    EXPECT_EQ(Descriptor(USB_STRING_DESCRIPTOR_TYPE, 9, 0x0409, s), STATUS_UNSUCCESSFUL) << "no such string: stall";
}

TEST_F(SimulatedBusTest, VendorAndClassRequestsAreAnsweredAsDocumented) {
    std::vector<uint8_t> code = {0xDE, 0xAD, 0xBE, 0xEF};
    ASSERT_EQ(SendUrb(Pdo(), Vendor(URB_FUNCTION_VENDOR_DEVICE, false, 0xA0, 0x1000, code)), STATUS_SUCCESS);
    EXPECT_EQ(module_->Firmware(0x1002), 0xBE);
    EXPECT_FALSE(module_->Firmware(0x1004).has_value());
    std::vector<uint8_t> back(6, 0x55);
    ASSERT_EQ(SendUrb(Pdo(), Vendor(URB_FUNCTION_VENDOR_DEVICE, true, 0xA0, 0x1000, back)), STATUS_SUCCESS);
    EXPECT_EQ(back, (std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF, 0, 0}));

    std::vector<uint8_t> pattern(3);
    PURB urb = Vendor(URB_FUNCTION_CLASS_INTERFACE, true, 0x21, 7, pattern);
    ASSERT_EQ(SendUrb(Pdo(), urb), STATUS_SUCCESS);
    EXPECT_EQ(pattern, (std::vector<uint8_t>{0x21, 0x22, 0x23}));
    EXPECT_EQ(module_->ControlLog().back().requestType, 0xA1) << "IN, class, interface";

    std::vector<uint8_t> none;
    urb = Vendor(URB_FUNCTION_VENDOR_OTHER, false, 0xFF, 0, none);
    EXPECT_EQ(SendUrb(Pdo(), urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_STALL_PID);
    bus_->StallNext(0);
    EXPECT_EQ(SendUrb(Pdo(), Vendor(URB_FUNCTION_VENDOR_ENDPOINT, false, 0x01, 0, none)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SendUrb(Pdo(), Vendor(URB_FUNCTION_VENDOR_ENDPOINT, false, 0x01, 0, none)), STATUS_SUCCESS);
}

TEST_F(SimulatedBusTest, ConfigurationGivesFivePipesAndTheAlternateSettingEight) {
    ASSERT_EQ(Select(0), 5u);
    EXPECT_EQ(types_[0x81], UsbdPipeTypeIsochronous);
    EXPECT_EQ(types_[0x02], UsbdPipeTypeIsochronous);
    EXPECT_EQ(types_[0x83], UsbdPipeTypeBulk);
    EXPECT_EQ(types_[0x85], UsbdPipeTypeInterrupt);
    EXPECT_EQ(Select(1), 8u);
    EXPECT_EQ(types_[0x88], UsbdPipeTypeBulk);

    std::vector<uint8_t> out = {1, 2, 3, 4, 5};
    ASSERT_EQ(SendUrb(Pdo(), Bulk(0x04, out)), STATUS_SUCCESS);
    std::vector<uint8_t> in(64);
    PURB urb = Bulk(0x83, in);
    ASSERT_EQ(SendUrb(Pdo(), urb), STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 5u) << "the bulk pipes echo";
    EXPECT_EQ(std::vector<uint8_t>(in.begin(), in.begin() + 5), out);
    std::vector<uint8_t> status(8);
    urb = Bulk(0x85, status);
    ASSERT_EQ(SendUrb(Pdo(), urb), STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 4u);
}

// One packet per frame from the frame after the request; every slot holds
// the two acquisition packets of its frame.
TEST_F(SimulatedBusTest, IsochronousTransfersTakeOnePacketPerFrame) {
    Select(0);
    std::vector<uint8_t> buffer;
    PURB urb = Iso(0x81, 8, 108, buffer);
    const uint32_t submitted = hk::usb::HostController::FrameNumber();
    ASSERT_EQ(SendUrb(Pdo(), urb), STATUS_SUCCESS);
    const auto& t = urb->UrbIsochronousTransfer;
    EXPECT_GT(t.StartFrame, submitted);
    EXPECT_GE(hk::usb::HostController::FrameNumber(), t.StartFrame + 8) << "completes after its last frame";
    for (ULONG p = 0; p < 8; ++p) {
        ASSERT_EQ(t.IsoPacket[p].Length, 6u + 68);
        const uint8_t* slot = buffer.data() + 108 * p;
        EXPECT_EQ(slot[4], 34);
        const uint32_t frame = t.StartFrame + p;
        EXPECT_EQ(slot[6] << 8 | slot[7], 0xFFFE);
        EXPECT_EQ(slot[6 + 30] << 8 | slot[6 + 31], (4 * frame) & 0xFFFF) << "SEQU of packet 2 x frame";
    }
    // The next transfer queued behind it starts where it ended.
    PURB a = Iso(0x02, 5, 16, buffer);
    std::vector<uint8_t> second;
    PURB b = Iso(0x02, 5, 16, second);
    auto sa = Send(a), sb = Send(b);
    ASSERT_EQ(Wait(*sa), STATUS_SUCCESS);
    ASSERT_EQ(Wait(*sb), STATUS_SUCCESS);
    EXPECT_EQ(b->UrbIsochronousTransfer.StartFrame, a->UrbIsochronousTransfer.StartFrame + 5);
    EXPECT_EQ(module_->Outputs().size(), 10u);
}

TEST_F(SimulatedBusTest, PendingTransfersEndByCancelAbortOrUnplugExactlyOnce) {
    Select(0);
    std::vector<uint8_t> b1, b2, b3;
    bus_->HangNextTransfer(0x81);
    auto hung = Send(Iso(0x81, 4, 108, b1));
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000LL * 100;
    EXPECT_EQ(KeWaitForSingleObject(&hung->event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_TRUE(IoCancelIrp(hung->irp));
    EXPECT_EQ(Wait(*hung), STATUS_CANCELLED);

    PURB queued = Iso(0x81, 50, 108, b2);
    auto pending = Send(queued);
    PURB abort = NewUrb(URB_FUNCTION_ABORT_PIPE, sizeof(_URB_PIPE_REQUEST));
    abort->UrbPipeRequest.PipeHandle = pipes_[0x81];
    EXPECT_EQ(SendUrb(Pdo(), abort), STATUS_SUCCESS);
    EXPECT_EQ(pending->iosb.Status, STATUS_CANCELLED) << "completed before the abort itself";
    EXPECT_EQ(queued->UrbHeader.Status, USBD_STATUS_CANCELED);

    auto gone = Send(Iso(0x81, 50, 108, b3));
    bus_->Unplug();
    EXPECT_EQ(Wait(*gone), STATUS_DEVICE_NOT_CONNECTED);
    std::vector<uint8_t> d(18);
    EXPECT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, d), STATUS_DEVICE_NOT_CONNECTED);
    bus_->Plug();
    d.assign(18, 0);
    EXPECT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, d), STATUS_SUCCESS);
    // The count drops just after each completion returns.
    for (int ms = 0; ms < 100 && bus_->Pending() != 0; ++ms) {
        LARGE_INTEGER oneMs;
        oneMs.QuadPart = -10000;
        KeDelayExecutionThread(KernelMode, FALSE, &oneMs);
    }
    EXPECT_EQ(bus_->Pending(), 0u);
}

TEST_F(SimulatedBusTest, InjectedFailuresAndDelaysHitTheChosenTransfer) {
    Select(0);
    std::vector<uint8_t> buffer;
    bus_->FailTransfer(0x81, 2, STATUS_UNSUCCESSFUL, USBD_STATUS_REQUEST_FAILED);
    EXPECT_EQ(SendUrb(Pdo(), Iso(0x81, 2, 108, buffer)), STATUS_SUCCESS);
    PURB second = Iso(0x81, 2, 108, buffer);
    EXPECT_EQ(SendUrb(Pdo(), second), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(second->UrbHeader.Status, USBD_STATUS_REQUEST_FAILED);
    EXPECT_EQ(SendUrb(Pdo(), Iso(0x81, 2, 108, buffer)), STATUS_SUCCESS);

    bus_->SetCompletionDelay(0x83, 500000);  // 50 ms
    const int64_t t0 = hk::Now100ns();
    std::vector<uint8_t> in(8);
    EXPECT_EQ(SendUrb(Pdo(), Bulk(0x83, in)), STATUS_SUCCESS);
    EXPECT_GE(hk::Now100ns() - t0, 500000);

    PURB frame = NewUrb(URB_FUNCTION_GET_CURRENT_FRAME_NUMBER, sizeof(_URB_GET_CURRENT_FRAME_NUMBER));
    EXPECT_EQ(SendUrb(Pdo(), frame), STATUS_SUCCESS);
    EXPECT_GE(frame->UrbGetCurrentFrameNumber.FrameNumber, static_cast<ULONG>(t0 / 10000 + 50));
}

}  // namespace
