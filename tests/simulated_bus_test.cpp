// The simulated host controller with the simulated module on it, seen from
// below the driver, as the driver's USB stack.
#include "support/module_harness.h"

#include <hostkernel/usb_bus.h>
#include <usbdlib.h>
#include <velnor_sim/acquisition_module.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

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
    // `urb` after `change`, for tables of requests.
    template <class Change> static PURB With(PURB urb, Change change) {
        change(urb);
        return urb;
    }
    PURB DescriptorUrb(UCHAR type, UCHAR index, USHORT language, std::vector<uint8_t>& out) {
        PURB urb = NewUrb(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
        auto& d = urb->UrbControlDescriptorRequest;
        d.DescriptorType = type;
        d.Index = index;
        d.LanguageId = language;
        d.TransferBuffer = out.data();
        d.TransferBufferLength = static_cast<ULONG>(out.size());
        return urb;
    }
    NTSTATUS Descriptor(UCHAR type, UCHAR index, USHORT language, std::vector<uint8_t>& out) {
        PURB urb = DescriptorUrb(type, index, language, out);
        NTSTATUS s = SendUrb(Pdo(), urb);
        out.resize(urb->UrbControlDescriptorRequest.TransferBufferLength);
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
    // A select-configuration request for interface 0 with `alternate`, from the pool.
    PURB ConfigRequest(UCHAR alternate, USBD_INTERFACE_LIST_ENTRY (&list)[2]) {
        config_ = module_->ConfigurationDescriptor();  // the request points into it
        auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_.data());
        list[0] = {USBD_ParseConfigurationDescriptorEx(cd, cd, 0, alternate, -1, -1, -1), nullptr};
        list[1] = {nullptr, nullptr};
        return USBD_CreateConfigurationRequestEx(cd, list);
    }
    // Selects interface 0 with `alternate`; remembers the pipe handles.
    ULONG Select(UCHAR alternate) {
        USBD_INTERFACE_LIST_ENTRY list[2];
        PURB urb = ConfigRequest(alternate, list);
        EXPECT_EQ(SendUrb(Pdo(), urb), STATUS_SUCCESS);
        EXPECT_NE(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
        configuration_ = urb->UrbSelectConfiguration.ConfigurationHandle;
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
    PURB PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe) {
        PURB urb = NewUrb(function, sizeof(_URB_PIPE_REQUEST));
        urb->UrbPipeRequest.PipeHandle = pipe;
        return urb;
    }
    NTSTATUS PipeOp(USHORT function, UCHAR endpoint) { return SendUrb(Pdo(), PipeRequest(function, pipes_.at(endpoint))); }
    // Sends and waits; the final status and the URB's own.
    PURB Expect(PURB urb, NTSTATUS status, USBD_STATUS usbd, const std::string& what = {}) {
        EXPECT_EQ(SendUrb(Pdo(), urb), status) << what;
        EXPECT_EQ(urb->UrbHeader.Status, usbd) << what;
        return urb;
    }

    // A request of our own, with a completion routine that notes where and
    // in which order it ran; the routine keeps the request.
    struct Tracked {
        SimulatedBusTest* owner = nullptr;
        PIRP irp = nullptr;
        int completedAs = 0;  // the how-manieth completion of the test
        KEVENT done;
        NTSTATUS status = STATUS_PENDING;
        KIRQL irql = 0;
        std::thread::id thread;
        bool onBus = false;
        ~Tracked() { IoFreeIrp(irp); }
    };
    static NTSTATUS TrackedDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* t = static_cast<Tracked*>(context);
        t->status = irp->IoStatus.Status;
        t->irql = KeGetCurrentIrql();
        t->thread = std::this_thread::get_id();
        t->onBus = hk::OnBusThread();
        t->completedAs = ++t->owner->completions_;
        KeSetEvent(&t->done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    std::unique_ptr<Tracked> Track(PURB urb) {
        auto t = std::make_unique<Tracked>();
        t->owner = this;
        KeInitializeEvent(&t->done, NotificationEvent, FALSE);
        t->irp = IoAllocateIrp(Pdo()->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(t->irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb;
        IoSetCompletionRoutine(t->irp, TrackedDone, t.get(), TRUE, TRUE, TRUE);
        return t;
    }
    NTSTATUS Call(Tracked& t, KIRQL at = PASSIVE_LEVEL) {
        KIRQL irql;
        KeRaiseIrql(at, &irql);
        NTSTATUS s = IoCallDriver(Pdo(), t.irp);
        KeLowerIrql(irql);
        return s;
    }
    // Sends, expecting the request to pend; Wait gives its final status.
    std::unique_ptr<Tracked> Send(PURB urb) {
        auto t = Track(urb);
        EXPECT_EQ(Call(*t), STATUS_PENDING);
        return t;
    }
    static NTSTATUS Wait(Tracked& t) {
        KeWaitForSingleObject(&t.done, Executive, KernelMode, FALSE, nullptr);
        return t.status;
    }
    // Sends and expects the dispatch routine to complete it before returning.
    NTSTATUS Refused(PURB urb) {
        auto t = Track(urb);
        NTSTATUS returned = Call(*t);
        EXPECT_EQ(KeReadStateEvent(&t->done), 1) << "completed inside IoCallDriver";
        EXPECT_EQ(returned, t->status);
        return returned;
    }
    void ExpectRefused(PURB urb, NTSTATUS status, USBD_STATUS usbd, const std::string& what = {}) {
        EXPECT_EQ(Refused(urb), status) << what;
        EXPECT_EQ(urb->UrbHeader.Status, usbd) << what;
    }
    static void Fill(std::vector<uint8_t>& buffer) { std::fill(buffer.begin(), buffer.end(), 0xA5); }
    static bool Untouched(const uint8_t* slot, size_t n) {
        return std::all_of(slot, slot + n, [](uint8_t b) { return b == 0xA5; });
    }

    std::shared_ptr<AcquisitionModule> module_;
    std::unique_ptr<hk::usb::HostController> bus_;
    std::vector<std::vector<uint8_t>> urbs_;
    std::vector<uint8_t> config_;
    USBD_CONFIGURATION_HANDLE configuration_ = nullptr;
    std::map<UCHAR, USBD_PIPE_HANDLE> pipes_;
    std::map<UCHAR, USBD_PIPE_TYPE> types_;
    std::atomic<int> completions_{0};
};

TEST_F(SimulatedBusTest, DescriptorsComeBackAtTheirOwnLengthAndAMissingOneStalls) {
    std::vector<uint8_t> c(9);
    ASSERT_EQ(Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, c), STATUS_SUCCESS);
    std::vector<uint8_t> all(c[2] | c[3] << 8);
    ASSERT_EQ(Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, all), STATUS_SUCCESS);
    EXPECT_EQ(all.size(), static_cast<size_t>(c[2] | c[3] << 8)) << "the header first, then the whole set";
    std::vector<uint8_t> s(255);
    ASSERT_EQ(Descriptor(USB_STRING_DESCRIPTOR_TYPE, 3, 0x0409, s), STATUS_SUCCESS);
    EXPECT_EQ(s.size(), 2u + 2 * 8) << "cut to the string's own length";
    s.assign(255, 0);
    EXPECT_EQ(Descriptor(USB_STRING_DESCRIPTOR_TYPE, 9, 0x0409, s), STATUS_UNSUCCESSFUL) << "no such string: stall";
}

TEST_F(SimulatedBusTest, VendorAndClassRequestsAreAnsweredAsDocumented) {
    std::vector<uint8_t> code = {0xDE, 0xAD, 0xBE, 0xEF};
    ASSERT_EQ(SendUrb(Pdo(), Vendor(URB_FUNCTION_VENDOR_DEVICE, false, 0xA0, 0x1000, code)), STATUS_SUCCESS);
    EXPECT_EQ(module_->Firmware(0x1002), 0xBE);
    std::vector<uint8_t> back(6, 0x55);
    ASSERT_EQ(SendUrb(Pdo(), Vendor(URB_FUNCTION_VENDOR_DEVICE, true, 0xA0, 0x1000, back)), STATUS_SUCCESS);
    EXPECT_EQ(back, (std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF, 0, 0}));

    std::vector<uint8_t> pattern(3), none;
    ASSERT_EQ(SendUrb(Pdo(), Vendor(URB_FUNCTION_CLASS_INTERFACE, true, 0x21, 7, pattern)), STATUS_SUCCESS);
    EXPECT_EQ(module_->ControlLog().back().requestType, 0xA1) << "IN, class, interface";
    Expect(Vendor(URB_FUNCTION_VENDOR_OTHER, false, 0xFF, 0, none), STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    bus_->StallNext(0);
    EXPECT_EQ(SendUrb(Pdo(), Vendor(URB_FUNCTION_VENDOR_ENDPOINT, false, 0x01, 0, none)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SendUrb(Pdo(), Vendor(URB_FUNCTION_VENDOR_ENDPOINT, false, 0x01, 0, none)), STATUS_SUCCESS);
}

TEST_F(SimulatedBusTest, ConfigurationGivesFivePipesAndTheAlternateSettingEight) {
    ASSERT_EQ(Select(0), 5u);
    EXPECT_EQ(types_, (std::map<UCHAR, USBD_PIPE_TYPE>{{0x81, UsbdPipeTypeIsochronous}, {0x02, UsbdPipeTypeIsochronous},
                                                      {0x83, UsbdPipeTypeBulk}, {0x04, UsbdPipeTypeBulk},
                                                      {0x85, UsbdPipeTypeInterrupt}}));
    EXPECT_EQ(Select(1), 8u);
    EXPECT_EQ(types_[0x88], UsbdPipeTypeBulk);
    std::vector<uint8_t> in(64);

    // An interface record without room for all eight pipes is refused, not
    // truncated, and the interface keeps the pipes it had.
    const size_t room5 = offsetof(USBD_INTERFACE_INFORMATION, Pipes) + 5 * sizeof(USBD_PIPE_INFORMATION);
    PURB urb = NewUrb(URB_FUNCTION_SELECT_INTERFACE, offsetof(_URB_SELECT_INTERFACE, Interface) + room5);
    urb->UrbSelectInterface.ConfigurationHandle = configuration_;
    urb->UrbSelectInterface.Interface.Length = static_cast<USHORT>(room5);
    urb->UrbSelectInterface.Interface.AlternateSetting = 1;
    Expect(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb->UrbSelectInterface.Interface.NumberOfPipes, 0u) << "no pipe list handed out";
    EXPECT_EQ(SendUrb(Pdo(), Bulk(0x88, in)), STATUS_SUCCESS) << "the eighth pipe's handle still holds";
    // The same for a configuration.
    USBD_INTERFACE_LIST_ENTRY list[2];
    urb = ConfigRequest(1, list);
    ASSERT_NE(urb, nullptr);
    urb->UrbSelectConfiguration.Interface.Length -= 3 * sizeof(USBD_PIPE_INFORMATION);
    urb->UrbHeader.Length -= 3 * sizeof(USBD_PIPE_INFORMATION);
    Expect(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    ExFreePool(urb);
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
        const uint8_t* slot = buffer.data() + 108 * p;
        EXPECT_EQ(slot[6 + 30] << 8 | slot[6 + 31], (4 * (t.StartFrame + p)) & 0xFFFF) << "the packets of frame " << p;
    }
    // The next transfer queued behind it starts where it ended.
    std::vector<uint8_t> second;
    PURB a = Iso(0x02, 5, 16, buffer), b = Iso(0x02, 5, 16, second);
    auto sa = Send(a), sb = Send(b);
    ASSERT_TRUE(Wait(*sa) == STATUS_SUCCESS && Wait(*sb) == STATUS_SUCCESS);
    EXPECT_EQ(b->UrbIsochronousTransfer.StartFrame, a->UrbIsochronousTransfer.StartFrame + 5);
    // The second one was queued behind the first; a packet whose frame had
    // gone by the time it got there (a slow thread) was not sent.
    EXPECT_EQ(module_->Outputs().size(), 10u - b->UrbIsochronousTransfer.ErrorCount);
}

// Transfers that end with the same frame complete in the order they were
// sent, or IN before OUT when asked; the module learns where the OUT one
// ended, and the bench's packet file starts in the frame after it.
TEST_F(SimulatedBusTest, TransfersEndingInOneFrameCompleteInOrderSentOrInBeforeOut) {
    EXPECT_FALSE(bus_->AlternateSetting(0)) << "no selection yet";
    Select(0);
    EXPECT_EQ(bus_->AlternateSetting(0), 0);
    std::vector<uint8_t> outBuffer, inBuffer;
    auto outThenIn = [&] {
        PURB out = Iso(0x02, 5, 16, outBuffer);
        PURB in = Iso(0x81, 5, 108, inBuffer);
        auto so = Send(out), si = Send(in);
        EXPECT_EQ(Wait(*so), STATUS_SUCCESS);
        EXPECT_EQ(Wait(*si), STATUS_SUCCESS);
        EXPECT_EQ(out->UrbIsochronousTransfer.StartFrame, in->UrbIsochronousTransfer.StartFrame);
        return si->completedAs < so->completedAs;
    };
    EXPECT_FALSE(outThenIn()) << "by default the OUT transfer, sent first, completes first";
    bus_->SetIsoInBeforeOut(true);
    module_->PlayPackets(std::vector<uint8_t>(4 * 34, 0x5A), true);
    EXPECT_TRUE(outThenIn()) << "IN before OUT";
    for (ULONG p = 0; p < 5; ++p) EXPECT_EQ(inBuffer[108 * p + 2], 0) << "slot " << p << " came before the OUT end";
    std::vector<uint8_t> next;
    ASSERT_EQ(SendUrb(Pdo(), Iso(0x81, 3, 108, next)), STATUS_SUCCESS);
    EXPECT_EQ(next[2], 2);
    EXPECT_EQ(next[6], 0x5A) << "the file's first packet";
    EXPECT_EQ(next[108 + 2], 2);
    EXPECT_EQ(next[2 * 108 + 2], 0) << "four packets, two slots";
    EXPECT_EQ(module_->TakeOutRecord(1000).size(), 5u * 18) << "each OUT slot with its length";
}

TEST_F(SimulatedBusTest, PendingTransfersEndByCancelAbortOrUnplugExactlyOnce) {
    Select(0);
    std::vector<uint8_t> b1, b3;
    bus_->HangNextTransfer(0x81);
    auto hung = Send(Iso(0x81, 4, 108, b1));
    LARGE_INTEGER timeout{.QuadPart = -10000LL * 100};
    EXPECT_EQ(KeWaitForSingleObject(&hung->done, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_TRUE(IoCancelIrp(hung->irp));
    EXPECT_EQ(Wait(*hung), STATUS_CANCELLED);

    auto gone = Send(Iso(0x81, 50, 108, b3));
    bus_->Unplug();
    EXPECT_EQ(Wait(*gone), STATUS_DEVICE_NOT_CONNECTED);
    std::vector<uint8_t> d(18);
    EXPECT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, d), STATUS_DEVICE_NOT_CONNECTED);
    bus_->Plug();
    // The count drops just after each completion returns.
    LARGE_INTEGER oneMs{.QuadPart = -10000};
    for (int ms = 0; ms < 100 && bus_->Pending() != 0; ++ms) KeDelayExecutionThread(KernelMode, FALSE, &oneMs);
    EXPECT_EQ(bus_->Pending(), 0u);
}

TEST_F(SimulatedBusTest, InjectedFailuresAndDelaysHitTheChosenTransfer) {
    Select(0);
    std::vector<uint8_t> buffer;
    bus_->FailTransfer(0x81, 2, STATUS_UNSUCCESSFUL, USBD_STATUS_REQUEST_FAILED);
    for (int n = 1; n <= 3; ++n)
        Expect(Iso(0x81, 2, 108, buffer), n == 2 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS,
               n == 2 ? USBD_STATUS_REQUEST_FAILED : USBD_STATUS_SUCCESS, std::to_string(n));

    bus_->SetCompletionDelay(0x83, 500000);  // 50 ms
    const int64_t t0 = hk::Now100ns();
    std::vector<uint8_t> in(8);
    EXPECT_EQ(SendUrb(Pdo(), Bulk(0x83, in)), STATUS_SUCCESS);
    EXPECT_GE(hk::Now100ns() - t0, 500000);

    PURB frame = NewUrb(URB_FUNCTION_GET_CURRENT_FRAME_NUMBER, sizeof(_URB_GET_CURRENT_FRAME_NUMBER));
    EXPECT_EQ(SendUrb(Pdo(), frame), STATUS_SUCCESS);
    EXPECT_GE(frame->UrbGetCurrentFrameNumber.FrameNumber, static_cast<ULONG>(t0 / 10000 + 50));

    // A buffer given by an unmapped MDL (data at StartVa + ByteOffset): the
    // controller reaches it without a mapping call of the driver's, so the
    // low-resources simulation neither counts nor fails anything for it.
    std::vector<uint8_t> raw(8 + 2 * 108);
    Fill(raw);
    MDL mdl{};
    mdl.StartVa = raw.data();
    mdl.ByteOffset = 8;
    mdl.ByteCount = 2 * 108;
    PURB urb = Iso(0x81, 2, 108, buffer);
    urb->UrbIsochronousTransfer.TransferBuffer = nullptr;
    urb->UrbIsochronousTransfer.TransferBufferMDL = &mdl;
    hk::ResetAllocationCalls();
    hk::FailAllocations rule({hk::Alloc::MmMapLockedPagesSpecifyCache, 0, 1, 1000});
    EXPECT_EQ(SendUrb(Pdo(), urb), STATUS_SUCCESS);
    EXPECT_EQ(hk::AllocationCalls(hk::Alloc::MmMapLockedPagesSpecifyCache), 0u);
    EXPECT_EQ(rule.Matched(), 0u);
    EXPECT_EQ(urb->UrbIsochronousTransfer.IsoPacket[1].Length, 74u);
    EXPECT_TRUE(Untouched(raw.data(), 8)) << "nothing before the MDL's byte offset";
    EXPECT_EQ(raw[8 + 108 + 6] << 8 | raw[8 + 108 + 7], 0xFFFE) << "the second slot holds its packets";
    EXPECT_EQ(mdl.MdlFlags, 0) << "the MDL was not mapped on the driver's behalf";
}

// Packets the controller did not send come back one by one with their own
// status, Length 0 and their bytes untouched; the request fails only when
// none got through.
TEST_F(SimulatedBusTest, LateAndMissedIsochronousPacketsComeBackEmptyWithTheirOwnStatus) {
    Select(0);
    // Missed: every third frame, and the next two packets of the pipe.
    bus_->MissEveryNthIsoFrame(0x81, 3);
    bus_->MissIsoPackets(0x81, 2);
    std::vector<uint8_t> buffer;
    PURB urb = Iso(0x81, 12, 108, buffer);
    Fill(buffer);
    ASSERT_EQ(SendUrb(Pdo(), urb), STATUS_SUCCESS);
    const auto& t = urb->UrbIsochronousTransfer;
    EXPECT_EQ(t.Hdr.Status, USBD_STATUS_SUCCESS) << "most packets got through";
    ULONG missed = 0, nextTwo = 2;
    for (ULONG p = 0; p < 12; ++p) {
        const bool miss = (t.StartFrame + p) % 3 == 0 || (nextTwo > 0 && nextTwo--);
        missed += miss;
        EXPECT_EQ(t.IsoPacket[p].Status, miss ? USBD_STATUS_ISO_NOT_ACCESSED_BY_HW : USBD_STATUS_SUCCESS) << p;
        EXPECT_EQ(t.IsoPacket[p].Length, miss ? 0u : 74u) << p;
        EXPECT_EQ(Untouched(buffer.data() + 108 * p, 108), miss) << p;
    }
    EXPECT_EQ(t.ErrorCount, missed);
    EXPECT_EQ(t.TransferBufferLength, (12 - missed) * 74);
    bus_->MissEveryNthIsoFrame(0x81, 0);

    // A completion that comes long after its frames: a transfer queued now
    // behind the one still on the bus finds every frame of its own gone.
    // (The delays leave seconds of virtual time for a slow thread.)
    std::vector<uint8_t> b1, b2, b3;
    bus_->SetCompletionDelay(0x81, 10000000);
    auto first = Send(Iso(0x81, 2, 108, b1));
    bus_->SetCompletionDelay(0x81, 30000000);
    PURB second = Iso(0x81, 2, 108, b2);
    auto secondSent = Send(second);
    bus_->SetCompletionDelay(0x81, 0);
    ASSERT_EQ(Wait(*first), STATUS_SUCCESS);
    PURB late = Iso(0x81, 4, 108, b3);
    Fill(b3);
    EXPECT_EQ(SendUrb(Pdo(), late), STATUS_UNSUCCESSFUL) << "no packet got through";
    const auto& l = late->UrbIsochronousTransfer;
    EXPECT_EQ(l.Hdr.Status, USBD_STATUS_ISOCH_REQUEST_FAILED);
    EXPECT_EQ(l.ErrorCount, 4u);
    for (ULONG p = 0; p < 4; ++p)
        EXPECT_TRUE(l.IsoPacket[p].Status == USBD_STATUS_ISO_NOT_ACCESSED_LATE && l.IsoPacket[p].Length == 0) << p;
    EXPECT_TRUE(Untouched(b3.data(), b3.size()));
    Wait(*secondSent);
    EXPECT_EQ(l.StartFrame, second->UrbIsochronousTransfer.StartFrame + 2) << "right behind the queued one";

    // A start frame in the past: the packets of frames gone when the
    // transfer got there are late, the rest are sent.
    std::vector<uint8_t> b4;
    PURB past = Iso(0x81, 200, 108, b4);
    Fill(b4);
    const uint32_t f0 = hk::usb::HostController::FrameNumber();
    past->UrbIsochronousTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
    past->UrbIsochronousTransfer.StartFrame = f0 - 3;
    auto pastSent = Send(past);
    const uint32_t f1 = hk::usb::HostController::FrameNumber();
    ASSERT_EQ(Wait(*pastSent), STATUS_SUCCESS);
    const auto& q = past->UrbIsochronousTransfer;
    EXPECT_EQ(q.Hdr.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(q.StartFrame, f0 - 3);
    bool seenSent = false;
    for (ULONG p = 0; p < 200; ++p) {
        const uint32_t frame = f0 - 3 + p;
        const bool isLate = q.IsoPacket[p].Status == USBD_STATUS_ISO_NOT_ACCESSED_LATE;
        EXPECT_TRUE(frame >= f0 || isLate) << p;
        EXPECT_TRUE(frame < f1 || q.IsoPacket[p].Status == USBD_STATUS_SUCCESS) << p;
        EXPECT_FALSE(isLate && seenSent) << "late packets come first";
        seenSent = seenSent || !isLate;
        EXPECT_TRUE(isLate ? Untouched(b4.data() + 108 * p, 108) : q.IsoPacket[p].Length == 74u) << p;
    }
}

// What the USB stack refuses is completed by its dispatch routine with the
// stack's status; nothing reaches the device.
TEST_F(SimulatedBusTest, UrbsTheStackRefusesCompleteAtOnceWithItsStatus) {
    std::vector<uint8_t> data(64), buffer, control;
    // Before a configuration no pipe exists.
    PURB urb = NewUrb(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
    urb->UrbBulkOrInterruptTransfer.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t{0x5B000183});
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = data.data();
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 64;
    ExpectRefused(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    EXPECT_EQ(Refused(PipeRequest(URB_FUNCTION_ABORT_PIPE, urb->UrbBulkOrInterruptTransfer.PipeHandle)),
              STATUS_INVALID_PARAMETER);

    // A handle of a replaced configuration is no longer one.
    Select(0);
    const USBD_PIPE_HANDLE oldIn = pipes_[0x81];
    Select(0);
    ASSERT_NE(pipes_[0x81], oldIn);
    urb = Iso(0x81, 2, 108, buffer);
    urb->UrbIsochronousTransfer.PipeHandle = oldIn;
    ExpectRefused(urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    const uint64_t packetsBefore = module_->PacketsSent();
    const size_t controlBefore = module_->ControlLog().size();

    // Header lengths: the structure's size (isochronous: room for every
    // packet); the isochronous limits of a full-speed controller and the pipe.
    const auto iso4 = [&](auto change) { return With(Iso(0x81, 4, 108, buffer), change); };
    const auto shorter = [](USHORT by) { return [by](PURB u) { u->UrbHeader.Length -= by; }; };
    const auto oldPipeRequest = [&] { return With(PipeRequest(URB_FUNCTION_RESET_PIPE, pipes_[0x81]), shorter(4)); };
    control.assign(4097, 0);  // the default control pipe carries at most 4 KB
    const std::pair<const char*, std::function<PURB()>> invalid[] = {
        {"short descriptor request", [&] { return With(DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, data), shorter(8)); }},
        {"long frame number request",
         [&] { return NewUrb(URB_FUNCTION_GET_CURRENT_FRAME_NUMBER, sizeof(_URB_GET_CURRENT_FRAME_NUMBER) + 8); }},
        {"the old pipe request on a current stack", oldPipeRequest},
        {"room for three packets and a part",
         [&] {
             return iso4([](PURB u) {
                 u->UrbHeader.Length = static_cast<USHORT>(offsetof(_URB_ISOCH_TRANSFER, IsoPacket) + 12 * 4 - 1);
             });
         }},
        {"no packet", [&] { return Iso(0x81, 0, 108, buffer); }},
        {"256 packets", [&] { return Iso(0x81, 256, 108, buffer); }},
        {"packets above the pipe's 108 bytes", [&] { return Iso(0x81, 4, 109, buffer); }},
        {"a last packet that runs past 108 bytes",
         [&] { return iso4([](PURB u) { u->UrbIsochronousTransfer.TransferBufferLength += 1; }); }},
        {"offsets out of order", [&] { return iso4([](PURB u) { u->UrbIsochronousTransfer.IsoPacket[2].Offset = 500; }); }},
        {"isochronous transfer on a bulk pipe", [&] { return Iso(0x83, 4, 64, buffer); }},
        {"bulk transfer on an isochronous pipe", [&] { return Bulk(0x81, data); }},
        {"descriptor request above 4 KB", [&] { return DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, control); }},
        {"vendor request above 4 KB", [&] { return Vendor(URB_FUNCTION_VENDOR_DEVICE, false, 0xA0, 0, control); }},
        {"vendor request with a length and no buffer",
         [&] {
             return With(Vendor(URB_FUNCTION_VENDOR_DEVICE, true, 0x30, 0, data),
                         [](PURB u) { u->UrbControlVendorClassRequest.TransferBuffer = nullptr; });
         }},
    };
    for (const auto& [what, make] : invalid)
        ExpectRefused(make(), STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, what);
    hk::SetUsbdiVersion(0x100);
    EXPECT_EQ(SendUrb(Pdo(), oldPipeRequest()), STATUS_SUCCESS) << "an OSR2.1 stack takes it";
    hk::SetUsbdiVersion(0x600);
    // Without ASAP the start frame must lie within 1024 frames of now.
    for (int32_t distance : {1500, -1500}) {
        urb = Iso(0x81, 4, 108, buffer);
        urb->UrbIsochronousTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
        urb->UrbIsochronousTransfer.StartFrame = hk::usb::HostController::FrameNumber() + distance;
        ExpectRefused(urb, STATUS_UNSUCCESSFUL, USBD_STATUS_BAD_START_FRAME, std::to_string(distance));
    }

    // Functions: reserved or unknown codes are not URB functions; a defined
    // one this controller does not carry out is not supported.
    for (USHORT f : {USHORT{0x16}, USHORT{0x1D}, USHORT{0x99}})
        ExpectRefused(NewUrb(f, sizeof(_URB_HEADER)), STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION,
                      std::to_string(f));
    EXPECT_EQ(Refused(NewUrb(URB_FUNCTION_CONTROL_TRANSFER, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST))),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(module_->PacketsSent(), packetsBefore) << "nothing refused reached the module";
    EXPECT_EQ(module_->ControlLog().size(), controlBefore);

    // 255 packets is the most a transfer may carry. Sending the same URB
    // again while the stack holds it breaks the driver's side of the contract.
    PURB most = Iso(0x81, 255, 108, buffer);
    auto held = Send(most);
    {
        hk::ViolationRecorder recorder;
        EXPECT_EQ(Refused(most), STATUS_INVALID_PARAMETER);
        EXPECT_TRUE(recorder.Any("IofCallDriver"));
    }
    EXPECT_EQ(most->UrbHeader.Status, USBD_STATUS_SUCCESS) << "the held URB is left alone";
    EXPECT_EQ(PipeOp(URB_FUNCTION_ABORT_PIPE, 0x81), STATUS_SUCCESS);
    EXPECT_EQ(Wait(*held), STATUS_CANCELLED);
}

// A stall halts a bulk pipe until it is reset; an abort may complete before
// the transfers it cancels.
TEST_F(SimulatedBusTest, StalledPipeStaysHaltedUntilResetAndAbortMayCompleteFirst) {
    Select(0);
    std::vector<uint8_t> out = {1, 2, 3}, in(64), early(64);
    // A transfer queued before the stall fails with its pipe, moving nothing.
    Fill(early);
    PURB queued = Bulk(0x83, early);
    auto queuedSent = Send(queued);
    bus_->StallNext(0x83);
    Expect(Bulk(0x83, in), STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(bus_->Halted(0x83));
    EXPECT_EQ(Wait(*queuedSent), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(queued->UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_EQ(queued->UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_TRUE(Untouched(early.data(), early.size()));
    for (int i = 0; i < 2; ++i) Expect(Bulk(0x83, in), STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED, "still halted");
    EXPECT_EQ(SendUrb(Pdo(), Bulk(0x04, out)), STATUS_SUCCESS) << "other pipes go on";
    // Resetting the host side alone: the device still stalls the next
    // transfer; clearing the device's stall alone leaves the host side
    // halted; both together, the pipe works again.
    const std::tuple<USHORT, NTSTATUS, USBD_STATUS> steps[] = {
        {URB_FUNCTION_SYNC_RESET_PIPE, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},
        {URB_FUNCTION_SYNC_CLEAR_STALL, STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED},
        {URB_FUNCTION_SYNC_RESET_PIPE, STATUS_SUCCESS, USBD_STATUS_SUCCESS}};
    PURB urb = nullptr;
    for (const auto& [function, status, usbd] : steps) {
        EXPECT_EQ(PipeOp(function, 0x83), STATUS_SUCCESS);
        EXPECT_EQ(bus_->Halted(0x83), function == URB_FUNCTION_SYNC_CLEAR_STALL);
        urb = Expect(Bulk(0x83, in), status, usbd, std::to_string(function));
        EXPECT_EQ(bus_->Halted(0x83), status != STATUS_SUCCESS);
    }
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 3u) << "what was sent before the stall";
    // RESET_PIPE does both in one request.
    bus_->StallNext(0x83);
    EXPECT_EQ(SendUrb(Pdo(), Bulk(0x83, in)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(PipeOp(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 0x83), STATUS_SUCCESS);
    EXPECT_FALSE(bus_->Halted(0x83));
    EXPECT_EQ(SendUrb(Pdo(), Bulk(0x83, in)), STATUS_SUCCESS);

    // By default the aborted transfers complete first; with the option the
    // abort does, and they follow a frame later.
    for (bool abortFirst : {false, true}) {
        bus_->SetAbortCompletesFirst(abortFirst);
        std::vector<uint8_t> b1, b2;
        PURB first = Iso(0x81, 250, 108, b1);
        auto a = Send(first), b = Send(Iso(0x81, 250, 108, b2));
        auto abort = Track(PipeRequest(URB_FUNCTION_ABORT_PIPE, pipes_[0x81]));
        Call(*abort);
        for (Tracked* t : {a.get(), b.get(), abort.get()}) Wait(*t);
        EXPECT_TRUE(a->status == STATUS_CANCELLED && b->status == STATUS_CANCELLED);
        EXPECT_EQ(first->UrbHeader.Status, USBD_STATUS_CANCELED);
        EXPECT_EQ(abort->status, STATUS_SUCCESS);
        const int transfers[] = {a->completedAs, b->completedAs};
        EXPECT_EQ(abort->completedAs < *std::min_element(transfers, transfers + 2), abortFirst) << abortFirst;
        EXPECT_EQ(abort->completedAs > *std::max_element(transfers, transfers + 2), !abortFirst) << abortFirst;
    }
}

// With inline completion a request from a thread below DISPATCH_LEVEL is
// completed, in that thread, before IoCallDriver returns; one submitted at
// DISPATCH_LEVEL completes on the bus thread. An unplugged device fails
// requests inline in either mode.
TEST_F(SimulatedBusTest, InlineCompletionRunsTheCompletionBeforeIoCallDriverReturns) {
    bus_ = std::make_unique<hk::usb::HostController>(module_, hk::usb::HostController::Options{true, false, 1});
    Select(0);
    std::vector<uint8_t> b1, b3;
    PURB urb = Iso(0x81, 4, 108, b1);
    auto t = Track(urb);
    EXPECT_EQ(Call(*t), STATUS_SUCCESS) << "the final status, not STATUS_PENDING";
    EXPECT_EQ(KeReadStateEvent(&t->done), 1);
    EXPECT_TRUE(t->thread == std::this_thread::get_id() && t->irql == DISPATCH_LEVEL) << "in this thread, as the bus";
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_GE(hk::usb::HostController::FrameNumber(), urb->UrbIsochronousTransfer.StartFrame + 4)
        << "it waited for its frames";
    EXPECT_EQ(urb->UrbIsochronousTransfer.IsoPacket[3].Length, 74u);

    // IoCallDriver holds its caller only for a request done within 8
    // frames: one due later, or a hung one, pends and completes on the bus.
    std::vector<uint8_t> b4;
    for (auto [packets, irql] : {std::pair{4u, KIRQL(DISPATCH_LEVEL)}, {20u, KIRQL(PASSIVE_LEVEL)}}) {
        auto later = Track(Iso(0x81, packets, 108, b4));
        EXPECT_EQ(Call(*later, irql), STATUS_PENDING) << packets;
        EXPECT_EQ(Wait(*later), STATUS_SUCCESS);
        EXPECT_TRUE(later->onBus) << packets;
    }
    bus_->HangNextTransfer(0x81);
    auto hung = Track(Iso(0x81, 4, 108, b3));
    EXPECT_EQ(Call(*hung), STATUS_PENDING) << "a hung transfer never holds IoCallDriver";
    EXPECT_EQ(KeReadStateEvent(&hung->done), 0);
    EXPECT_EQ(PipeOp(URB_FUNCTION_ABORT_PIPE, 0x81), STATUS_SUCCESS);
    EXPECT_EQ(Wait(*hung), STATUS_CANCELLED);

    // A waiting submitter's request can still be aborted from elsewhere
    // (1 ms ticks, so the abort comes before its seven frames are over).
    hk::SetTimeIncrement(10000);
    auto waited = Track(Iso(0x81, 7, 108, b4));
    NTSTATUS waitedReturned = STATUS_PENDING;
    hk::SimThread submitter("submitter", [&] { waitedReturned = Call(*waited); });
    LARGE_INTEGER oneMs{.QuadPart = -10000};
    // Time moves only once the submitter is blocked, so after one delay its
    // transfer is surely held by the controller.
    int delays = 0;
    do KeDelayExecutionThread(KernelMode, FALSE, &oneMs);
    while (bus_->Pending() == 0 && ++delays < 1000);
    EXPECT_NE(bus_->Pending(), 0u) << "the submitter's transfer never reached the controller";
    EXPECT_EQ(PipeOp(URB_FUNCTION_ABORT_PIPE, 0x81), STATUS_SUCCESS);
    submitter.Join();
    hk::SetTimeIncrement(156250);
    EXPECT_TRUE(waitedReturned == STATUS_CANCELLED && waited->status == STATUS_CANCELLED);

    bus_->SetInlineCompletion(false);
    bus_->Unplug();
    auto gone = Track(Iso(0x81, 4, 108, b3));
    EXPECT_EQ(Call(*gone, DISPATCH_LEVEL), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(KeReadStateEvent(&gone->done), 1) << "completed inside IoCallDriver";
    bus_->Plug();
}

// A module whose configuration ends in an endpoint record cut short: its
// interface claims six endpoints, five are whole. The controller hands out
// pipes for the whole records only and never reads past the descriptor.
class TruncatedEndpointModule : public AcquisitionModule {
public:
    TruncatedEndpointModule() : AcquisitionModule(velnor::sim::ModuleSettings{}) {}
    std::vector<uint8_t> ConfigurationDescriptor() override {
        std::vector<uint8_t> d = AcquisitionModule::ConfigurationDescriptor();
        const size_t setting0 = 9 + 9 + 5 * 7;
        d.resize(setting0);
        d[2] = static_cast<uint8_t>(setting0);
        d[3] = 0;
        d[9 + 4] = 6;  // bNumEndpoints
        d.insert(d.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x86});
        return d;
    }
};

TEST_F(SimulatedBusTest, EndpointRecordCutShortGivesNoPipe) {
    bus_.reset();
    auto module = std::make_shared<TruncatedEndpointModule>();
    bus_ = std::make_unique<hk::usb::HostController>(module);
    config_ = module->ConfigurationDescriptor();
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {{USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1), nullptr},
                                         {nullptr, nullptr}};
    ASSERT_NE(list[0].InterfaceDescriptor, nullptr);
    PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(SendUrb(Pdo(), urb), STATUS_SUCCESS);
    ASSERT_EQ(list[0].Interface->NumberOfPipes, 5u);
    for (ULONG p = 0; p < 5; ++p) EXPECT_NE(list[0].Interface->Pipes[p].EndpointAddress, 0x86);
    ExFreePool(urb);
}

}  // namespace
