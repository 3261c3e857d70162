// What the USB control codes do inside the driver and on the simulated bus:
// setup packets, firmware addresses and chunks, bulk directions, timeouts in
// virtual time, pipe and port resets, interface selection and log lines.
// Replies and buffer sizes as an application sees them: control_interface_test.
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
    // One request; `out` is the output or data buffer (none when empty).
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
    // The (address, length) of the firmware writes (vendor request 0xA0 out)
    // sent since the log held `before`.
    std::vector<std::pair<uint16_t, uint16_t>> Chunks(size_t before) const {
        std::vector<std::pair<uint16_t, uint16_t>> v;
        const auto log = module_->ControlLog();
        for (size_t i = before; i < log.size(); ++i) {
            EXPECT_TRUE(log[i].requestType == 0x40 && log[i].request == 0xA0) << i;
            v.emplace_back(log[i].value, log[i].length);
        }
        return v;
    }
    // The device answers afterwards on the control pipe and echoes on the bulk pipes.
    void ExpectUsable() {
        EXPECT_EQ(Call(IOCTL_Velnor_GET_DEVICE_DESCRIPTOR, {}, 18).out, module_->DeviceDescriptor());
        const Bytes sent = Pattern(40, 9);
        ASSERT_EQ(Call(IOCTL_Velnor_SETINTERFACE, Of(SetInterfaceInput{0, 0})).status, STATUS_SUCCESS);
        ASSERT_EQ(Call(IOCTL_Velnor_RESET, {}).status, STATUS_NOT_SUPPORTED);  // the port reset drops any echo
        ASSERT_EQ(Bulk(IOCTL_VELNOR_BULK_WRITE, kBulkOutPipe, sent).status, STATUS_SUCCESS);
        EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_READ, kBulkInPipe, Bytes(40)).out, sent);
    }
};

TEST_F(UsbControlTest, InformationCodesAnswerFromTheDriversTablesAndTheBus) {
    const USHORT infoLength = ext_->InterfaceInfo->Length;
    Reply p = Call(IOCTL_Velnor_GET_PIPE_INFO, {}, 512);
    ASSERT_EQ(p.info, infoLength);
    EXPECT_EQ(0, std::memcmp(p.out.data(), ext_->InterfaceInfo, infoLength));
    // More than the control pipe carries: the length asked is cut to it.
    EXPECT_EQ(Call(IOCTL_Velnor_GET_CONFIGURATION_DESCRIPTOR, {}, 8192).Got(), module_->ConfigurationDescriptor());
    EXPECT_EQ(Call(IOCTL_Velnor_GET_STRING_DESCRIPTOR, Of(StringDescriptorInput{9, 0, 0x0409}), 255).status,
              STATUS_UNSUCCESSFUL) << "no such string";

    // The frame number is the bus's and moves with virtual time.
    RunFor(0.01);
    auto frame = [&] {
        ULONG n;
        std::memcpy(&n, Call(IOCTL_VELNOR_GET_CURRENT_FRAME_NUMBER, {}, 4).out.data(), 4);
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
    EXPECT_EQ(in.Got(), (Bytes{0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37}));
    const hk::usb::Setup setup = module_->ControlLog().back();
    EXPECT_TRUE(setup.requestType == 0xC0 && setup.value == 5 && setup.index == 7 && setup.length == 8);
    // A request the module stalls received nothing: no byte of the buffer
    // goes back, whatever length the stack left in the request block.
    Reply stalled = Call(IOCTL_Velnor_VENDOR_REQUEST, Of(VendorRequestInput{velnor::sim::kStallRequest, 0, 0, 12, 1, 0}), 16);
    EXPECT_TRUE(stalled.status == STATUS_SUCCESS && stalled.info == 0);
    // Host to device: a counting pattern, or the data byte of a 1-byte request.
    Reply out = Call(IOCTL_Velnor_VENDOR_REQUEST, Of(VendorRequestInput{0xA0, 0x2000, 0, 4, 0, 0x77}), 16);
    EXPECT_TRUE(out.status == STATUS_SUCCESS && out.info == 0);
    EXPECT_EQ(Firmware(0x2000, 5), (Bytes{0, 1, 2, 3, 0xEE}));
    EXPECT_EQ(Call(IOCTL_Velnor_VENDOR_REQUEST, Of(VendorRequestInput{0xA0, 0x2100, 0, 1, 0, 0x5A}), 0).status,
              STATUS_SUCCESS);
    EXPECT_EQ(Firmware(0x2100, 1), Bytes{0x5A});

    // Class or vendor request to any recipient: requestType x 4 | recipient.
    const uint8_t cases[][4] = {{1, 2, 3, 0xC3}, {1, 1, 1, 0xA1}, {1, 2, 0, 0xC0}, {0, 1, 2, 0x22}, {1, 1, 5, 0xA1}};
    for (const auto& [direction, type, recipient, setupType] : cases) {
        SCOPED_TRACE(testing::Message() << int(type) << "/" << int(recipient));
        Reply r = Vendor2(direction, type, recipient, 0x40, 0x1234, Bytes(6, 0xEE));
        EXPECT_TRUE(r.status == STATUS_SUCCESS && r.info == 6u);
        EXPECT_EQ(module_->ControlLog().back().requestType, setupType);
        EXPECT_EQ(module_->ControlLog().back().value, 0x1234);
        EXPECT_TRUE(!direction || r.out == (Bytes{0x40, 0x41, 0x42, 0x43, 0x44, 0x45}));
    }
    ASSERT_EQ(Vendor2(0, 2, 0, 0xA0, 0x3000, Bytes{9, 8, 7}).status, STATUS_SUCCESS);
    EXPECT_EQ(Firmware(0x3000, 3), (Bytes{9, 8, 7})) << "the data buffer goes to the device";
    // Refused before any traffic: no such type, past the control pipe's 4 KB.
    const size_t before = ControlCount();
    EXPECT_EQ(Vendor2(1, 0, 0, 0x40, 0, Bytes(4)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Vendor2(1, 3, 0, 0x40, 0, Bytes(4)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Vendor2(0, 2, 0, 0xA0, 0, Bytes(4097)).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ControlCount(), before);
    EXPECT_EQ(Vendor2(1, 2, 0, velnor::sim::kStallRequest, 0, Bytes(4)).status, STATUS_UNSUCCESSFUL);
}

TEST_F(UsbControlTest, FirmwareDownloadsWriteTheModulesMemoryChunkByChunk) {
    // Buffered: whole 512-byte chunks from address 0, the rest dropped.
    const Bytes image = Pattern(1300);
    size_t before = ControlCount();
    EXPECT_EQ(Call(IOCTL_Velnor_FIRMWARE_DOWNLOAD, image, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Chunks(before), (std::vector<std::pair<uint16_t, uint16_t>>{{0, 512}, {512, 512}}));
    EXPECT_EQ(Firmware(0, 1024), Bytes(image.begin(), image.begin() + 1024));
    EXPECT_FALSE(module_->Firmware(1024).has_value());
    before = ControlCount();
    EXPECT_EQ(Call(IOCTL_Velnor_FIRMWARE_DOWNLOAD, Pattern(511), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(ControlCount(), before) << "no whole chunk";
    bus_->FailTransfer(0, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    EXPECT_EQ(Call(IOCTL_Velnor_FIRMWARE_DOWNLOAD, Pattern(1024), 0).status, STATUS_SUCCESS) << "failures ignored";
    EXPECT_EQ(ControlCount(), before + 1) << "the second chunk is sent after the first failed";

    // Direct: 64-byte chunks from the given address, 16-bit wrap.
    const struct { uint16_t start; size_t length; std::vector<std::pair<uint16_t, uint16_t>> chunks; } cases[] = {
        {0x1000, 130, {{0x1000, 64}, {0x1040, 64}, {0x1080, 2}}}, {0xFFC0, 128, {{0xFFC0, 64}, {0, 64}}}};
    for (const auto& c : cases) {
        const Bytes code = Pattern(c.length, static_cast<uint8_t>(c.start >> 8));
        before = ControlCount();
        Reply r = Call(IOCTL_VELNOR_FIRMWARE_DOWNLOAD, Of(c.start), code);
        EXPECT_TRUE(r.status == STATUS_SUCCESS && r.info == 0) << c.start;
        EXPECT_EQ(Chunks(before), c.chunks) << c.start;
        EXPECT_EQ(Firmware(c.start, c.length), code) << c.start;
    }
    // A failing chunk ends the download with its status.
    before = ControlCount();
    bus_->FailTransfer(0, 2, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    EXPECT_EQ(Call(IOCTL_VELNOR_FIRMWARE_DOWNLOAD, Of(uint16_t{0x5000}), Pattern(130)).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ControlCount(), before + 1) << "the third chunk is not sent";
    // A start address not of 2 bytes, an empty image: logged; an image that cannot be mapped: not sent.
    hk::LogClear();
    for (const auto& [in, code] : {std::pair{Bytes(3), Pattern(64)}, {Bytes(1), Pattern(64)}, {Bytes(2), Bytes{}}})
        EXPECT_EQ(Call(IOCTL_VELNOR_FIRMWARE_DOWNLOAD, in, code).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(hk::LogCount("Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_FIRMWARE_DOWNLOAD: Error Invalid Parameter"), 3u);
    {
        hk::FailAllocations fail({hk::Alloc::MmMapLockedPagesSpecifyCache, 0, 1});
        EXPECT_EQ(Call(IOCTL_VELNOR_FIRMWARE_DOWNLOAD, Of(uint16_t{0}), Pattern(64)).status,
                  STATUS_INSUFFICIENT_RESOURCES);
    }
    EXPECT_EQ(ControlCount(), before + 1);
}

TEST_F(UsbControlTest, BulkTransfersTakeTheirDirectionFromTheEndpoint) {
    const Bytes sent = Pattern(100);
    EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_WRITE, kBulkOutPipe, sent).info, 100u);
    EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_READ, kBulkInPipe, Bytes(64)).Got(), Bytes(sent.begin(), sent.begin() + 64));
    // The code only picks the log line: a write on the IN pipe reads, a
    // read on the OUT pipe writes.
    EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_WRITE, kBulkInPipe, Bytes(50, 0xEE)).Got(), Bytes(sent.begin() + 64, sent.end()))
        << "a short transfer is no error";
    DebugLevel = 3;
    EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_READ, kBulkOutPipe, Bytes{1, 2, 0xAB}).status, STATUS_SUCCESS);
    DebugLevel = 2;
    std::string dump = "Velnor> Velnor_Read_Write: BULK OUT:  1  2 ab";
    for (int i = 3; i < 32; ++i) dump += "  0";
    EXPECT_TRUE(hk::LogHasLine(dump)) << "only the bytes transferred are shown";
    EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_READ, kBulkInPipe, Bytes(8)).Got(), (Bytes{1, 2, 0xAB})) << "the read sent them";
    EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_READ, kInterruptPipe, Bytes(8)).info, 4u) << "the interrupt pipe's status";

    // A transfer of 0 bytes is sent; none above the pipe's limit, on a pipe
    // that is not bulk or interrupt, beyond the table or before the start.
    const uint64_t out = bus_->Completed(kBulkOutEndpoint);
    Reply w = Bulk(IOCTL_VELNOR_BULK_WRITE, kBulkOutPipe, {});
    EXPECT_TRUE(w.status == STATUS_SUCCESS && w.info == 0);
    EXPECT_EQ(bus_->Completed(kBulkOutEndpoint), out + 1);
    const ULONG limit = ext_->InterfaceInfo->Pipes[kBulkOutPipe].MaximumTransferSize;
    EXPECT_EQ(limit, 0x18FFFu);
    const std::pair<ULONG, const char*> refused[] = {{kBulkOutPipe, "ERROR: Velnor_Read_Write() - invalid transfer size"},
                                                     {kIsoInPipe, "ERROR: Velnor_Read_Write() - invalid pipe type"},
                                                     {kPipes, "ERROR: Velnor_Read_Write() - invalid pipe num"}};
    for (const auto& [pipe, line] : refused) {
        EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_WRITE, pipe, Bytes(pipe == kBulkOutPipe ? limit + 1 : 8)).status,
                  STATUS_INVALID_PARAMETER) << line;
        EXPECT_TRUE(hk::LogHasLine(std::string("Velnor> ") + line));
    }
    EXPECT_EQ(bus_->Completed(kBulkOutEndpoint), out + 1);
    DeviceStarted = 0;
    EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_READ, kBulkInPipe, Bytes(8)).status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(hk::LogHasLine("Velnor> Velnor_ProcessIOCTL: IOCTL_VELNOR_BULK_READ_WRITE not possible"));
    DeviceStarted = 1;
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
    // An OSR2.1 stack takes the 4-byte shorter pipe requests (the current one refuses them).
    DebugLevel = 5;
    hk::SetUsbdiVersion(0x100);
    for (const auto& [code, line] : {std::pair{IOCTL_Velnor_RESETPIPE, "Velnor> Velnor_ResetPipe() Detected OSR2.1"},
                                     {IOCTL_Velnor_ABORTPIPE, "Velnor> Velnor_AbortPipe() Detected OSR2.1"}}) {
        EXPECT_EQ(Call(code, Of(kBulkInPipe)).status, STATUS_SUCCESS);
        EXPECT_TRUE(hk::LogHasLine(line));
    }
    hk::SetUsbdiVersion(0x600);
    DebugLevel = 2;

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
    const auto& alt = *ext_->InterfaceInfo;
    ASSERT_EQ(alt.NumberOfPipes, 8u);
    EXPECT_TRUE(alt.AlternateSetting == 1 && alt.Pipes[7].EndpointAddress == 0x88 && alt.Pipes[7].MaximumPacketSize == 100);
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

// The driver waits 300 ms of virtual time for a bulk transfer, cancels it and
// takes the next request as if nothing happened. Port reset goes through; the
// enable that follows is refused by stacks of Windows Vista and later, and is
// bounded to 30 ms on older ones.
TEST_F(UsbControlTest, BulkTimeoutAndPortResetOnOldAndNewStacks) {
    bus_->HangNextTransfer(kBulkInEndpoint);
    int64_t start = hk::Now100ns();
    EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_READ, kBulkInPipe, Bytes(64)).status, STATUS_IO_TIMEOUT);
    const int64_t waited = hk::Now100ns() - start;
    EXPECT_TRUE(waited >= 3000000 && waited < 3500000) << waited;
    EXPECT_EQ(Bulk(IOCTL_VELNOR_BULK_READ, kBulkInPipe, Bytes(16)).info, 16u);
    ExpectUsable();

    ASSERT_EQ(Bulk(IOCTL_VELNOR_BULK_WRITE, kBulkOutPipe, Pattern(5)).status, STATUS_SUCCESS);
    EXPECT_EQ(Call(IOCTL_Velnor_RESET, {}).status, STATUS_NOT_SUPPORTED);
    EXPECT_NE(Bulk(IOCTL_VELNOR_BULK_READ, kBulkInPipe, Bytes(5)).out, Pattern(5)) << "the port reset dropped the echo";
    hk::SetUsbdiVersion(0x500);
    EXPECT_EQ(Call(IOCTL_Velnor_RESET, {}).status, STATUS_SUCCESS);
    // Both port requests reach the controller 100 ms late: the reset waits,
    // the enable gives up after 30 ms and its request is cancelled.
    bus_->SetSubmissionDelay(0, 1000000);
    start = hk::Now100ns();
    EXPECT_EQ(Call(IOCTL_Velnor_RESET, {}).status, STATUS_UNSUCCESSFUL);
    const int64_t took = hk::Now100ns() - start;
    EXPECT_TRUE(took >= 1300000 && took < 1700000) << took;
    EXPECT_TRUE(hk::LogHasLine("Velnor> ERROR: Velnor_EnablePort() - STATUS_TIMEOUT"));
    bus_->SetSubmissionDelay(0, 0);
    EXPECT_EQ(Call(IOCTL_Velnor_RESET, {}).status, STATUS_SUCCESS);
    hk::SetUsbdiVersion(0x600);
    ExpectUsable();
}

// Requests refused for their buffers' sizes send nothing to the module and
// write nothing into the caller's buffers; every code logs its name.
TEST_F(UsbControlTest, RefusedRequestsSendAndWriteNothingAndEveryCodeLogsItsName) {
    const std::tuple<ULONG, size_t, size_t> cases[] = {
        {IOCTL_Velnor_GET_PIPE_INFO, 0, ext_->InterfaceInfo->Length - 1u}, {IOCTL_Velnor_GET_DEVICE_DESCRIPTOR, 0, 17},
        {IOCTL_Velnor_GET_STRING_DESCRIPTOR, 5, 64}, {IOCTL_Velnor_VENDOR_REQUEST, 8, 64},
        {IOCTL_VELNOR_BULK_READ, 3, 8}, {IOCTL_VELNOR_GET_CURRENT_FRAME_NUMBER, 0, 3},
        {IOCTL_VELNOR_GET_LAST_ERROR, 0, 3}, {IOCTL_VELNOR_FIRMWARE_DOWNLOAD, 3, 64},
    };
    const size_t before = ControlCount();
    for (const auto& [code, in, out] : cases) {
        Reply r = Call(code, Bytes(in, 0), out);
        EXPECT_TRUE(r.status != STATUS_SUCCESS && r.info == 0) << VelnorIoctlName(code);
        EXPECT_EQ(r.out, Bytes(out, 0xEE)) << VelnorIoctlName(code) << ": nothing written";
    }
    // A device-to-host vendor request whose answer would not fit the output.
    EXPECT_EQ(Call(IOCTL_Velnor_VENDOR_REQUEST, Of(VendorRequestInput{0x30, 0, 0, 8, 1, 0}), 7).status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ControlCount(), before) << "nothing refused went to the module";

    size_t codes = 0;
    for (ULONG function = 0x800; function <= 0x822; ++function)
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
    EXPECT_EQ(codes, 22u);
}

}  // namespace
