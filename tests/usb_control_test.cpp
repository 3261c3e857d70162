// The stream and USB control codes through the I/O manager, the driver's
// dispatcher and the simulated bus and module, with buffers of every size.
// The host kernel allocates each request's buffers exactly, so a handler that
// reads or writes past them fails under AddressSanitizer.
#include "support/module_harness.h"

#include <cstring>

namespace {

using velnor::sim::kBulkInEndpoint;
using velnor::sim::kBulkOutEndpoint;
using Bytes = std::vector<uint8_t>;

// Pipe numbers of interface 0, setting 0.
constexpr ULONG kIsoInPipe = 0, kBulkInPipe = 2, kBulkOutPipe = 3, kInterruptPipe = 4, kPipes = 5;

template <typename T>
Bytes Of(const T& record) {
    Bytes b(sizeof(T));
    std::memcpy(b.data(), &record, sizeof(T));
    return b;
}
Bytes Pattern(size_t n, uint8_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + 7 * i);
    return b;
}

struct Reply {
    NTSTATUS status;
    ULONG_PTR info;
    Bytes out;  // the caller's output (buffered) or data buffer (direct) afterwards
    Bytes Got() const { return Bytes(out.begin(), out.begin() + std::min<size_t>(info, out.size())); }
};

class UsbControlTest : public velnor_test::ModuleFixture {
protected:
    // One request; `out` is the output or data buffer the caller passes
    // (its size the output length; none when empty).
    Reply Call(ULONG code, const Bytes& in, Bytes out = {}) {
        hk::IoResult r = hk::DeviceIoControl(handle_, code, in.empty() ? nullptr : in.data(), static_cast<ULONG>(in.size()),
                                             out.empty() ? nullptr : out.data(), static_cast<ULONG>(out.size()));
        return {r.status, r.information, std::move(out)};
    }
    Reply Call(ULONG code, const Bytes& in, size_t outLength) { return Call(code, in, Bytes(outLength, 0xEE)); }
    Reply Bulk(ULONG code, ULONG pipe, Bytes data) { return Call(code, Of(pipe), std::move(data)); }
    Reply Vendor2(uint8_t direction, uint8_t type, uint8_t recipient, uint8_t request, uint16_t value, Bytes data) {
        return Call(IOCTL_VELNOR_VENDOR_OR_CLASS_REQUEST,
                    Of(VendorOrClassRequestInput{direction, type, recipient, 0, request, 0, value, 0}), std::move(data));
    }
    size_t ControlCount() const { return module_->ControlLog().size(); }
    // The firmware bytes the module holds from `address` on.
    Bytes Firmware(uint16_t address, size_t n) const {
        Bytes b;
        for (size_t i = 0; i < n; ++i) b.push_back(module_->Firmware(static_cast<uint16_t>(address + i)).value_or(0xEE));
        return b;
    }
    // The device answers afterwards: version, descriptor, bulk echo.
    void ExpectUsable() {
        EXPECT_EQ(Call(IOCTL_VELNOR_GET_DRIVER_VERSION, {}, 6).status, STATUS_SUCCESS);
        EXPECT_EQ(Call(IOCTL_Velnor_GET_DEVICE_DESCRIPTOR, {}, 18).out, module_->DeviceDescriptor());
        Bytes sent = Pattern(40, 9);
        ASSERT_EQ(Call(IOCTL_Velnor_SETINTERFACE, Of(SetInterfaceInput{0, 0})).status, STATUS_SUCCESS);
        ASSERT_EQ(Call(IOCTL_Velnor_RESET, {}).status, STATUS_NOT_SUPPORTED);  // the port reset drops any echo
        ASSERT_EQ(Bulk(IOCTL_VELNOR_BULK_WRITE, kBulkOutPipe, sent).status, STATUS_SUCCESS);
        EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_READ, kBulkInPipe, Bytes(40)).out, sent);
    }
};

// The driver's version, the current configuration and the replies' sizes
// are the application's view: control_interface_test.
TEST_F(UsbControlTest, InformationCodesAnswerWithTheModulesAndTheDriversData) {
    ext_->LastError = 0;
    Reply e = Call(IOCTL_VELNOR_GET_LAST_ERROR, {}, 4);
    EXPECT_EQ(e.status, STATUS_SUCCESS);
    EXPECT_EQ(e.Got(), Bytes(4, 0));

    const USHORT infoLength = ext_->InterfaceInfo->Length;
    Reply p = Call(IOCTL_Velnor_GET_PIPE_INFO, {}, 512);
    ASSERT_EQ(p.status, STATUS_SUCCESS);
    ASSERT_EQ(p.info, infoLength);
    EXPECT_EQ(0, std::memcmp(p.out.data(), ext_->InterfaceInfo, infoLength));

    EXPECT_EQ(Call(IOCTL_Velnor_GET_DEVICE_DESCRIPTOR, {}, 64).Got(), module_->DeviceDescriptor());

    const Bytes config = module_->ConfigurationDescriptor();
    EXPECT_EQ(Call(IOCTL_Velnor_GET_CONFIGURATION_DESCRIPTOR, {}, 9).Got(), Bytes(config.begin(), config.begin() + 9));
    // More than the control pipe carries: the length asked is cut to it.
    EXPECT_EQ(Call(IOCTL_Velnor_GET_CONFIGURATION_DESCRIPTOR, {}, 8192).Got(), config);

    Reply s = Call(IOCTL_Velnor_GET_STRING_DESCRIPTOR, Of(StringDescriptorInput{0, 0, 0}), 255);
    EXPECT_EQ(s.Got(), (Bytes{4, 3, 0x09, 0x04})) << "the language table";
    EXPECT_EQ(Call(IOCTL_Velnor_GET_STRING_DESCRIPTOR, Of(StringDescriptorInput{9, 0, 0x0409}), 255).status,
              STATUS_UNSUCCESSFUL) << "no such string";

    // The frame number is the bus's and moves with virtual time.
    RunFor(0.01);
    auto frame = [&] {
        Reply f = Call(IOCTL_VELNOR_GET_CURRENT_FRAME_NUMBER, {}, 4);
        EXPECT_EQ(f.status, STATUS_SUCCESS);
        EXPECT_EQ(f.info, 4u);
        ULONG n;
        std::memcpy(&n, f.out.data(), 4);
        return n;
    };
    const ULONG first = frame();
    EXPECT_LE(first, hk::usb::HostController::FrameNumber());
    EXPECT_GE(first + 1, hk::usb::HostController::FrameNumber());
    RunFor(0.25);
    EXPECT_NEAR(static_cast<double>(frame() - first), 250.0, 16.0);
}

TEST_F(UsbControlTest, VendorRequestsReachTheModuleWithTheirSetupAndData) {
    // Fixed layout: device to host answers into the output.
    Reply in = Call(IOCTL_Velnor_VENDOR_REQUEST, Of(VendorRequestInput{0x30, 5, 7, 8, 1, 0}), 16);
    EXPECT_EQ(in.status, STATUS_SUCCESS);
    EXPECT_EQ(in.Got(), (Bytes{0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37}));
    const hk::usb::Setup setup = module_->ControlLog().back();
    EXPECT_EQ(setup.requestType, 0xC0);
    EXPECT_EQ(setup.value, 5);
    EXPECT_EQ(setup.index, 7);
    EXPECT_EQ(setup.length, 8);
    // Host to device: a counting pattern, or the data byte of a 1-byte request.
    // A request the module stalls received nothing: no byte of the buffer
    // goes back, whatever length the stack left in the request block.
    Reply stalled = Call(IOCTL_Velnor_VENDOR_REQUEST, Of(VendorRequestInput{velnor::sim::kStallRequest, 0, 0, 12, 1, 0}), 16);
    EXPECT_EQ(stalled.status, STATUS_SUCCESS);
    EXPECT_EQ(stalled.info, 0u);

    Reply out = Call(IOCTL_Velnor_VENDOR_REQUEST, Of(VendorRequestInput{0xA0, 0x2000, 0, 4, 0, 0x77}), 16);
    EXPECT_EQ(out.status, STATUS_SUCCESS);
    EXPECT_EQ(out.info, 0u);
    EXPECT_EQ(Firmware(0x2000, 5), (Bytes{0, 1, 2, 3, 0xEE}));
    EXPECT_EQ(Call(IOCTL_Velnor_VENDOR_REQUEST, Of(VendorRequestInput{0xA0, 0x2100, 0, 1, 0, 0x5A}), 0).status,
              STATUS_SUCCESS);
    EXPECT_EQ(Firmware(0x2100, 1), Bytes{0x5A});

    // Class or vendor request to any recipient: requestType x 4 | recipient.
    struct Case {
        uint8_t direction, type, recipient, setupType;
    };
    for (const Case& c : {Case{1, 2, 3, 0xC3}, Case{1, 1, 1, 0xA1}, Case{1, 2, 0, 0xC0}, Case{0, 1, 2, 0x22},
                          Case{1, 1, 5, 0xA1}}) {
        Reply r = Vendor2(c.direction, c.type, c.recipient, 0x40, 0x1234, Bytes(6, 0xEE));
        EXPECT_EQ(r.status, STATUS_SUCCESS) << int(c.type) << "/" << int(c.recipient);
        EXPECT_EQ(module_->ControlLog().back().requestType, c.setupType) << int(c.type) << "/" << int(c.recipient);
        EXPECT_EQ(module_->ControlLog().back().value, 0x1234);
        EXPECT_EQ(r.info, 6u);
        if (c.direction) {
            EXPECT_EQ(r.out, (Bytes{0x40, 0x41, 0x42, 0x43, 0x44, 0x45}));
        }
    }
    ASSERT_EQ(Vendor2(0, 2, 0, 0xA0, 0x3000, Bytes{9, 8, 7}).status, STATUS_SUCCESS);
    EXPECT_EQ(Firmware(0x3000, 3), (Bytes{9, 8, 7})) << "the data buffer goes to the device";
    // Refused before any traffic: no such function, wrong input length; a
    // stall and the control pipe's 4 KB limit come back from the stack.
    const size_t before = ControlCount();
    EXPECT_EQ(Vendor2(1, 0, 0, 0x40, 0, Bytes(4)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Vendor2(1, 3, 0, 0x40, 0, Bytes(4)).status, STATUS_INVALID_PARAMETER);
    for (size_t n : {0, 9, 11})
        EXPECT_EQ(Call(IOCTL_VELNOR_VENDOR_OR_CLASS_REQUEST, Bytes(n, 2), Bytes(4)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Vendor2(0, 2, 0, 0xA0, 0, Bytes(4097)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ControlCount(), before);
    EXPECT_EQ(Vendor2(1, 2, 0, velnor::sim::kStallRequest, 0, Bytes(4)).status, STATUS_UNSUCCESSFUL);
}

TEST_F(UsbControlTest, FirmwareDownloadsWriteTheModulesMemoryChunkByChunk) {
    // Buffered: whole 512-byte chunks from address 0, the rest dropped.
    const Bytes image = Pattern(1300);
    size_t before = ControlCount();
    Reply r = Call(IOCTL_Velnor_FIRMWARE_DOWNLOAD, image, 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    auto log = module_->ControlLog();
    ASSERT_EQ(log.size() - before, 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(log[before + i].requestType, 0x40);
        EXPECT_EQ(log[before + i].request, 0xA0);
        EXPECT_EQ(log[before + i].value, 512 * i);
        EXPECT_EQ(log[before + i].length, 512);
    }
    EXPECT_EQ(Firmware(0, 1024), Bytes(image.begin(), image.begin() + 1024));
    EXPECT_FALSE(module_->Firmware(1024).has_value());
    before = ControlCount();
    EXPECT_EQ(Call(IOCTL_Velnor_FIRMWARE_DOWNLOAD, Pattern(511), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(ControlCount(), before) << "no whole chunk";
    bus_->FailTransfer(0, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    EXPECT_EQ(Call(IOCTL_Velnor_FIRMWARE_DOWNLOAD, Pattern(1024), 0).status, STATUS_SUCCESS) << "failures ignored";
    EXPECT_EQ(ControlCount(), before + 1) << "the second chunk is sent after the first failed";

    // Direct: 64-byte chunks from the given address, 16-bit wrap.
    struct Case {
        uint16_t start;
        size_t length;
        std::vector<uint16_t> values;
        std::vector<uint16_t> lengths;
    };
    for (const Case& c : {Case{0x1000, 130, {0x1000, 0x1040, 0x1080}, {64, 64, 2}},
                          Case{0x4000, 128, {0x4000, 0x4040}, {64, 64}},
                          Case{0xFFC0, 128, {0xFFC0, 0x0000}, {64, 64}}}) {
        const Bytes code = Pattern(c.length, static_cast<uint8_t>(c.start >> 8));
        before = ControlCount();
        r = Call(IOCTL_VELNOR_FIRMWARE_DOWNLOAD, Of(c.start), code);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.info, 0u);
        log = module_->ControlLog();
        ASSERT_EQ(log.size() - before, c.values.size()) << c.start;
        for (size_t i = 0; i < c.values.size(); ++i) {
            EXPECT_EQ(log[before + i].value, c.values[i]);
            EXPECT_EQ(log[before + i].length, c.lengths[i]);
        }
        EXPECT_EQ(Firmware(c.start, c.length), code) << c.start;
    }
    // A failing chunk ends the download with its status.
    before = ControlCount();
    bus_->FailTransfer(0, 2, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    EXPECT_EQ(Call(IOCTL_VELNOR_FIRMWARE_DOWNLOAD, Of(uint16_t{0x5000}), Pattern(130)).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ControlCount(), before + 1) << "the third chunk is not sent";
    // The start address is exactly 2 bytes and the image not empty.
    hk::LogClear();
    for (const auto& [in, image2] : {std::pair{Bytes(3), Pattern(64)}, std::pair{Bytes(1), Pattern(64)},
                                     std::pair{Bytes(2), Bytes{}}}) {
        EXPECT_EQ(Call(IOCTL_VELNOR_FIRMWARE_DOWNLOAD, in, image2).status, STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(hk::LogCount("Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_FIRMWARE_DOWNLOAD: Error Invalid Parameter"), 3u);
    EXPECT_EQ(ControlCount(), before + 1);
    // An image that cannot be mapped is not sent.
    {
        hk::FailAllocations fail({hk::Alloc::MmMapLockedPagesSpecifyCache, 0, 1});
        EXPECT_EQ(Call(IOCTL_VELNOR_FIRMWARE_DOWNLOAD, Of(uint16_t{0}), Pattern(64)).status,
                  STATUS_INSUFFICIENT_RESOURCES);
    }
    EXPECT_EQ(ControlCount(), before + 1);
}

TEST_F(UsbControlTest, BulkTransfersTakeTheirDirectionFromTheEndpoint) {
    const Bytes sent = Pattern(100);
    Reply w = Bulk(IOCTL_VELNOR_BULK_WRITE, kBulkOutPipe, sent);
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.info, 100u);
    Reply r = Bulk(IOCTL_VELNOR_BULK_READ, kBulkInPipe, Bytes(64));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.Got(), Bytes(sent.begin(), sent.begin() + 64));
    // The code only picks the log line: a write on the IN pipe reads, a
    // read on the OUT pipe writes.
    r = Bulk(IOCTL_VELNOR_BULK_WRITE, kBulkInPipe, Bytes(50, 0xEE));
    EXPECT_EQ(r.Got(), Bytes(sent.begin() + 64, sent.end())) << "a short transfer is no error";
    DebugLevel = 3;
    EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_READ, kBulkOutPipe, Bytes{1, 2, 0xAB}).status, STATUS_SUCCESS);
    DebugLevel = 2;
    std::string dump = "Velnor> Velnor_Read_Write: BULK OUT:  1  2 ab";
    for (int i = 3; i < 32; ++i) dump += "  0";
    EXPECT_TRUE(hk::LogHasLine(dump)) << "only the bytes transferred are shown";
    EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_READ, kBulkInPipe, Bytes(8)).Got(), (Bytes{1, 2, 0xAB})) << "the read sent them";
    EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_READ, kInterruptPipe, Bytes(8)).info, 4u) << "the interrupt pipe's status";

    // A transfer of 0 bytes is sent; one above the pipe's limit is not, nor
    // one on a pipe that is not bulk or interrupt, or beyond the table.
    const uint64_t out = bus_->Completed(kBulkOutEndpoint);
    w = Bulk(IOCTL_VELNOR_BULK_WRITE, kBulkOutPipe, {});
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.info, 0u);
    EXPECT_EQ(bus_->Completed(kBulkOutEndpoint), out + 1);
    const ULONG limit = ext_->InterfaceInfo->Pipes[kBulkOutPipe].MaximumTransferSize;
    EXPECT_EQ(limit, 0x18FFFu);
    EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_WRITE, kBulkOutPipe, Bytes(limit + 1)).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(hk::LogHasLine("Velnor> ERROR: Velnor_Read_Write() - invalid transfer size"));
    EXPECT_EQ(bus_->Completed(kBulkOutEndpoint), out + 1);
    EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_READ, kIsoInPipe, Bytes(8)).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(hk::LogHasLine("Velnor> ERROR: Velnor_Read_Write() - invalid pipe type"));
    EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_READ, kPipes, Bytes(8)).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(hk::LogHasLine("Velnor> ERROR: Velnor_Read_Write() - invalid pipe num"));
    EXPECT_EQ(Call(IOCTL_VELNOR_BULK_READ, Bytes(3, 0), Bytes(8)).status, STATUS_INVALID_PARAMETER);
    DeviceStarted = 0;
    EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_READ, kBulkInPipe, Bytes(8)).status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_BULK_READ_WRITE not possible"));
    DeviceStarted = 1;
}

// The driver waits 300 ms of virtual time for a transfer, cancels it and
// takes the next request as if nothing happened.
TEST_F(UsbControlTest, UnansweredBulkReadTimesOutAfter300Milliseconds) {
    bus_->HangNextTransfer(kBulkInEndpoint);
    const int64_t start = hk::Now100ns();
    EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_READ, kBulkInPipe, Bytes(64)).status, STATUS_IO_TIMEOUT);
    const int64_t waited = hk::Now100ns() - start;
    EXPECT_GE(waited, 3000000);
    EXPECT_LT(waited, 3500000);
    EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_READ, kBulkInPipe, Bytes(16)).info, 16u);
    ExpectUsable();
}

TEST_F(UsbControlTest, PipeResetAbortAndInterfaceSelection) {
    // A stalled pipe works again after its reset.
    bus_->StallNext(kBulkInEndpoint);
    EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_READ, kBulkInPipe, Bytes(8)).status, STATUS_UNSUCCESSFUL);
    ASSERT_TRUE(bus_->Halted(kBulkInEndpoint));
    EXPECT_EQ(Call(IOCTL_Velnor_RESETPIPE, Of(kBulkInPipe)).status, STATUS_SUCCESS);
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_ProcessIOCTL: IOCTL_Velnor_RESETPIPE pipenum 2"));
    EXPECT_FALSE(bus_->Halted(kBulkInEndpoint));
    EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_READ, kBulkInPipe, Bytes(8)).status, STATUS_SUCCESS);
    EXPECT_EQ(Call(IOCTL_Velnor_ABORTPIPE, Of(kBulkInPipe)).status, STATUS_SUCCESS);
    // An OSR2.1 stack takes the 4-byte shorter pipe requests (the current one refuses them).
    DebugLevel = 5;
    hk::SetUsbdiVersion(0x100);
    EXPECT_EQ(Call(IOCTL_Velnor_RESETPIPE, Of(kBulkInPipe)).status, STATUS_SUCCESS);
    EXPECT_EQ(Call(IOCTL_Velnor_ABORTPIPE, Of(kBulkInPipe)).status, STATUS_SUCCESS);
    hk::SetUsbdiVersion(0x600);
    DebugLevel = 2;
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_ResetPipe() Detected OSR2.1"));
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_AbortPipe() Detected OSR2.1"));

    // Bad pipe numbers are refused before anything is looked up.
    for (ULONG pipe : {kPipes, 0xFFFFFFFFu, 0x80000000u}) {
        EXPECT_EQ(Call(IOCTL_Velnor_RESETPIPE, Of(pipe)).status, STATUS_INVALID_PARAMETER) << pipe;
        EXPECT_EQ(Call(IOCTL_Velnor_ABORTPIPE, Of(pipe)).status, STATUS_INVALID_PARAMETER) << pipe;
    }
    EXPECT_TRUE(hk::LogHasLine("Velnor> ERROR: Velnor_ResetPipe() - invalid pipe"));
    PUSBD_INTERFACE_INFORMATION info = std::exchange(ext_->InterfaceInfo, nullptr);
    EXPECT_EQ(Call(IOCTL_Velnor_RESETPIPE, Of(kBulkInPipe)).status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(hk::LogHasLine("Velnor> ERROR: Velnor_ResetPipe() - no interface info"));
    EXPECT_EQ(Call(IOCTL_Velnor_ABORTPIPE, Of(kBulkInPipe)).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_READ, kBulkInPipe, Bytes(8)).status, STATUS_UNSUCCESSFUL);
    const Reply none = Call(IOCTL_Velnor_GET_PIPE_INFO, {}, 512);
    EXPECT_TRUE(none.status == STATUS_SUCCESS && none.info == 0) << "no table, nothing returned";
    ext_->InterfaceInfo = info;

    // The alternate setting has eight pipes, pipe 7 with the packet size
    // the driver asks for; the bulk pipe 0x88 of it works.
    EXPECT_EQ(Call(IOCTL_Velnor_SETINTERFACE, Of(SetInterfaceInput{0, 1})).status, STATUS_SUCCESS);
    ASSERT_EQ(ext_->InterfaceInfo->NumberOfPipes, 8u);
    EXPECT_EQ(ext_->InterfaceInfo->AlternateSetting, 1);
    EXPECT_EQ(ext_->InterfaceInfo->Pipes[7].EndpointAddress, 0x88);
    EXPECT_EQ(ext_->InterfaceInfo->Pipes[7].MaximumPacketSize, 100);
    EXPECT_EQ(Call(IOCTL_Velnor_GET_PIPE_INFO, {}, 512).info, ext_->InterfaceInfo->Length);
    EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_READ, 7, Bytes(8)).info, 8u);
    EXPECT_EQ(Call(IOCTL_Velnor_RESETPIPE, Of(ULONG{7})).status, STATUS_SUCCESS);
    // No such setting: nothing changes, the request still succeeds.
    EXPECT_EQ(Call(IOCTL_Velnor_SETINTERFACE, Of(SetInterfaceInput{0, 9})).status, STATUS_SUCCESS);
    EXPECT_EQ(ext_->InterfaceInfo->NumberOfPipes, 8u);
    EXPECT_EQ(Call(IOCTL_Velnor_SETINTERFACE, Of(SetInterfaceInput{0, 0})).status, STATUS_SUCCESS);
    EXPECT_EQ(ext_->InterfaceInfo->NumberOfPipes, kPipes);
    EXPECT_EQ(Call(IOCTL_Velnor_RESETPIPE, Of(ULONG{7})).status, STATUS_INVALID_PARAMETER);
    ExpectUsable();
}

// Port reset goes through; the enable that follows is refused by stacks of
// Windows Vista and later, and is bounded to 30 ms on older ones.
TEST_F(UsbControlTest, ResetReEnablesThePortOnlyOnOldStacks) {
    ASSERT_EQ(Bulk(IOCTL_VELNOR_BULK_WRITE, kBulkOutPipe, Pattern(5)).status, STATUS_SUCCESS);
    EXPECT_EQ(Call(IOCTL_Velnor_RESET, {}).status, STATUS_NOT_SUPPORTED);
    EXPECT_NE(Bulk(IOCTL_VELNOR_BULK_READ, kBulkInPipe, Bytes(5)).out, Pattern(5)) << "the port reset dropped the echo";
    hk::SetUsbdiVersion(0x500);
    EXPECT_EQ(Call(IOCTL_Velnor_RESET, {}).status, STATUS_SUCCESS);
    // Both port requests reach the controller 100 ms late: the reset waits,
    // the enable gives up after 30 ms and its request is cancelled.
    bus_->SetSubmissionDelay(0, 1000000);
    const int64_t start = hk::Now100ns();
    EXPECT_EQ(Call(IOCTL_Velnor_RESET, {}).status, STATUS_UNSUCCESSFUL);
    const int64_t took = hk::Now100ns() - start;
    EXPECT_GE(took, 1300000);
    EXPECT_LT(took, 1700000);
    EXPECT_TRUE(hk::LogHasLine("Velnor> ERROR: Velnor_EnablePort() - STATUS_TIMEOUT"));
    bus_->SetSubmissionDelay(0, 0);
    EXPECT_EQ(Call(IOCTL_Velnor_RESET, {}).status, STATUS_SUCCESS);
    hk::SetUsbdiVersion(0x600);
    ExpectUsable();
}

// Requests refused for their buffers' sizes (their statuses are the
// application's view: control_interface_test) send nothing to the module and
// write nothing into the caller's buffers.
TEST_F(UsbControlTest, RequestsRefusedForTheirSizesSendAndWriteNothing) {
    const ULONG pipeInfo = ext_->InterfaceInfo->Length;
    struct Case {
        ULONG code;
        size_t in, out;
    };
    const Case cases[] = {
        {IOCTL_Velnor_GET_PIPE_INFO, 0, pipeInfo - 1}, {IOCTL_Velnor_GET_DEVICE_DESCRIPTOR, 64, 0},
        {IOCTL_Velnor_GET_DEVICE_DESCRIPTOR, 0, 17},   {IOCTL_Velnor_GET_STRING_DESCRIPTOR, 3, 64},
        {IOCTL_Velnor_GET_STRING_DESCRIPTOR, 5, 64},   {IOCTL_Velnor_GET_STRING_DESCRIPTOR, 4, 0},
        {IOCTL_Velnor_VENDOR_REQUEST, 8, 64},          {IOCTL_Velnor_RESETPIPE, 3, 0},
        {IOCTL_Velnor_ABORTPIPE, 0, 0},                {IOCTL_Velnor_SETINTERFACE, 1, 0},
        {IOCTL_VELNOR_BULK_WRITE, 0, 8},               {IOCTL_VELNOR_BULK_READ, 3, 8},
        {IOCTL_VELNOR_GET_CURRENT_FRAME_NUMBER, 0, 3}, {IOCTL_VELNOR_GET_LAST_ERROR, 0, 3},
        {IOCTL_VELNOR_FIRMWARE_DOWNLOAD, 3, 64},       {IOCTL_VELNOR_READ_ISO_BUFFER, 0, 0},
        {IOCTL_VELNOR_START_ISO_STREAM_IN, 19, 0},
    };
    const size_t before = ControlCount();
    for (const Case& c : cases) {
        Reply r = Call(c.code, Bytes(c.in, 0), c.out);
        EXPECT_NE(r.status, STATUS_SUCCESS) << VelnorIoctlName(c.code) << " in " << c.in << " out " << c.out;
        EXPECT_EQ(r.info, 0u) << VelnorIoctlName(c.code);
        EXPECT_EQ(r.out, Bytes(c.out, 0xEE)) << VelnorIoctlName(c.code) << ": nothing written";
    }
    // A device-to-host vendor request whose answer would not fit the output.
    EXPECT_EQ(Call(IOCTL_Velnor_VENDOR_REQUEST, Of(VendorRequestInput{0x30, 0, 0, 8, 1, 0}), 7).status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ControlCount(), before) << "nothing refused went to the module";
}

// Every code logs its name (buffers of every size: control_interface_test).
TEST_F(UsbControlTest, EveryCodeLogsItsName) {
    size_t codes = 0;
    for (ULONG function = 0x800; function <= 0x822; ++function) {
        for (ULONG method = 0; method < 3; ++method) {
            const ULONG code = VELNOR_CTL_CODE(VELNOR_DEVICE_TYPE_USB, function, method);
            const char* name = VelnorIoctlName(code);
            if (!name) continue;
            ++codes;
            hk::LogClear();
            Call(code, {}, 0);
            const std::string line = std::string("Velnor> Velnor_ProcessIOCTL: ") + name;
            EXPECT_TRUE(hk::LogHasLine(code == IOCTL_VELNOR_READ_ISO_BUFFER ? line + " In" : line)) << name;
        }
    }
    EXPECT_EQ(codes, 22u);
}

}  // namespace
