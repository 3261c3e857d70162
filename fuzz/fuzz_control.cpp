// The control interface under libFuzzer. Each input plugs a fresh simulated
// module in (the driver loads, adds and starts the device), runs a short
// sequence of operations decoded from the input through the I/O manager as
// an application would, and pulls the device out again. Afterwards: the
// device answered the version request, the bus holds no request, no handle
// keeps the device, and once the driver has unloaded no pool is left.
#include "fuzz_host.h"

#include "usb/iso_stream.h"

#include <optional>

namespace {

using namespace velnor_fuzz;
using velnor::sim::AcquisitionModule;

constexpr size_t kMaxOps = 48;
constexpr size_t kMaxHandles = 4;
constexpr ULONG kMaxBuffer = 70000;  // beyond the largest reply any code gives
constexpr uint8_t kEndpoints[] = {0, velnor::sim::kIsoInEndpoint, velnor::sim::kIsoOutEndpoint,
                                  velnor::sim::kBulkInEndpoint, velnor::sim::kBulkOutEndpoint,
                                  velnor::sim::kInterruptEndpoint};
constexpr IsoStreamRequest kInStream = {0, 108, 64, 4, 4}, kOutStream = {1, 16, 0, 5, 4};

enum Op : uint8_t {
    kIoctl,  // weighted: the first six values
    kRead = 6,
    kOpen,
    kClose,
    kStartIn,
    kStartOut,
    kStop,
    kModuleFault,
    kBusFault,
    kWait,
    kBlock,
    kUnplug,
    kOpCount
};

struct Session {
    std::shared_ptr<AcquisitionModule> module;
    std::unique_ptr<hk::pnp::UsbDevice> device;
    std::vector<hk::Handle> handles;
    bool unplugged = false;
    bool hung = false;  // a transfer hangs until its pipe is aborted
};

hk::Handle PickHandle(Session& s, ByteReader& in) {
    if (s.handles.empty()) return hk::kInvalidHandle;
    return s.handles[in.U8() % s.handles.size()];
}

// Lengths an application gets wrong: none, a few bytes, the size of a
// record, a page, and far more than any reply.
ULONG DecodeLength(ByteReader& in) {
    switch (in.U8() % 8) {
    case 0: return 0;
    case 1: return in.U8() % 8;
    case 2: return in.U8() % 32;
    case 3: return in.U8();
    case 4: return 4;
    case 5: return 6;
    case 6: return in.U16() % 4097;
    default: return in.U32() % (kMaxBuffer + 1);
    }
}

uint32_t DecodeCode(ByteReader& in) {
    const uint8_t how = in.U8();
    const uint32_t known = kPublicCodes[in.U8() % kPublicCodes.size()];
    if (how < 200) return known;
    if (how < 230) return known ^ (in.U8() & 0x3u) ^ (static_cast<uint32_t>(in.U8() & 0x3) << 14);  // method, access
    if (how < 240) return known + static_cast<int8_t>(in.U8()) * 4u;  // a neighbouring function number
    return in.U32();
}

// One DeviceIoControl with buffers of exactly the stated lengths, the input
// buffer's first bytes taken from the fuzzer's.
void Ioctl(Session& s, ByteReader& in) {
    const hk::Handle h = PickHandle(s, in);
    const uint32_t code = DecodeCode(in);
    const ULONG inLength = DecodeLength(in), outLength = DecodeLength(in);
    std::vector<uint8_t> input(inLength), output(outLength, 0xEE);
    in.Fill(input.data(), std::min<size_t>(inLength, 64));
    if (code == IOCTL_VELNOR_READ_ISO_BUFFER && inLength >= sizeof(BlockRequest)) {
        // At most 1023 samples a block (half a second of packets), so one
        // input cannot ask for minutes of virtual time; the sign stays free.
        input[3] &= 0x83;
    }
    if (h == hk::kInvalidHandle) return;
    hk::IoResult r = hk::DeviceIoControl(h, code, inLength ? input.data() : nullptr, inLength,
                                         outLength ? output.data() : nullptr, outLength);
    if (NT_SUCCESS(r.status)) FUZZ_REQUIRE(r.information <= std::max(inLength, outLength));
}

void Read(Session& s, ByteReader& in) {
    const hk::Handle h = PickHandle(s, in);
    const ULONG length = DecodeLength(in);
    std::vector<uint8_t> buffer(length);
    if (h == hk::kInvalidHandle) return;
    hk::IoResult r = hk::ReadFile(h, length ? buffer.data() : nullptr, length);
    if (NT_SUCCESS(r.status)) FUZZ_REQUIRE(r.information <= length);
}

void Open(Session& s) {
    if (s.handles.size() >= kMaxHandles) return;
    hk::Handle h = hk::kInvalidHandle;
    if (hk::OpenFile(kDevicePath, &h) == STATUS_SUCCESS) s.handles.push_back(h);
}

void Close(Session& s, ByteReader& in) {
    if (s.handles.empty()) return;
    const size_t i = in.U8() % s.handles.size();
    hk::CloseFile(s.handles[i]);
    s.handles.erase(s.handles.begin() + static_cast<ptrdiff_t>(i));
}

void StartStream(Session& s, ByteReader& in, bool out) {
    IsoStreamRequest request = out ? kOutStream : kInStream;
    const uint8_t how = in.U8();
    if (how & 1) {
        // One field changed, to a small or a raw value.
        uint32_t* fields = &request.PipeNum;
        const uint8_t which = in.U8() % 5;
        fields[which] = (how & 2) ? in.U8() : in.U32();
    }
    const hk::Handle h = PickHandle(s, in);
    if (h == hk::kInvalidHandle) return;
    hk::DeviceIoControl(h, out ? IOCTL_VELNOR_START_ISO_STREAM_OUT : IOCTL_VELNOR_START_ISO_STREAM_IN, &request,
                        sizeof request, nullptr, 0);
}

void Stop(Session& s, ByteReader& in) {
    const hk::Handle h = PickHandle(s, in);
    if (h != hk::kInvalidHandle) hk::DeviceIoControl(h, IOCTL_VELNOR_STOP_ISO_STREAM, nullptr, 0, nullptr, 0);
}

// Packet faults, counted from the packet the module sends next.
void ModuleFault(Session& s, ByteReader& in) {
    const uint64_t first = s.module->PacketsSent() + in.U8();
    const uint64_t count = in.U8() % 8 + 1;
    switch (in.U8() % 6) {
    case 0: s.module->BadSync(first, count); break;
    case 1: s.module->BadChecksum(first, count); break;
    case 2: s.module->Lose(first, count); break;
    case 3: s.module->OversizeSlot(hk::usb::HostController::FrameNumber() + 1 + in.U8() % 32); break;
    case 4: s.module->SetLeadOff(in.U16()); break;
    default: {
        const double now = static_cast<double>(hk::Now100ns()) / 1e7;
        s.module->PressKey({in.U8() % 3 + 1, now + in.U8() / 1000.0, (in.U8() + 1) / 200.0});
        break;
    }
    }
}

void BusFault(Session& s, ByteReader& in) {
    if (s.unplugged) return;
    hk::usb::HostController& bus = s.device->Controller();
    const uint8_t endpoint = kEndpoints[in.U8() % std::size(kEndpoints)];
    switch (in.U8() % 7) {
    case 0: bus.StallNext(endpoint); break;
    case 1:
        // Not on the control pipe: the port reset of IOCTL_Velnor_RESET goes
        // there too, and the driver waits for the hub to finish a reset
        // without a bound, as it is meant to.
        if (endpoint == 0) break;
        bus.HangNextTransfer(endpoint);
        s.hung = true;
        break;
    case 2: {
        static constexpr std::pair<NTSTATUS, USBD_STATUS> kFailures[] = {
            {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},
            {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE},
            {STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING}};
        const auto& f = kFailures[in.U8() % std::size(kFailures)];
        bus.FailTransfer(endpoint, in.U8() % 4 + 1, f.first, f.second);
        break;
    }
    case 3: bus.MissIsoPackets(endpoint, in.U8() % 16); break;
    case 4: bus.MissEveryNthIsoFrame(endpoint, in.U8() % 8); break;
    case 5: bus.SetSubmissionDelay(endpoint, static_cast<int64_t>(in.U8()) * 1000); break;
    default: bus.SetCompletionDelay(endpoint, static_cast<int64_t>(in.U8()) * 1000); break;
    }
}

// A block request as the application makes it: up to 255 samples of up to
// twelve channels, with room for the reply or a little less.
void Block(Session& s, ByteReader& in) {
    const hk::Handle h = PickHandle(s, in);
    const int16_t samples = static_cast<int16_t>(in.U8()), channels = static_cast<int16_t>(in.U8() % 14);
    ULONG room = VelnorBlockReplyBytes(static_cast<uint32_t>(samples), static_cast<uint32_t>(channels));
    if (in.U8() & 1) room -= std::min<ULONG>(room, in.U8() % 8);
    std::vector<uint16_t> buffer(std::max<ULONG>(room, 6) / 2 + 1, 0xA5A5);
    buffer[0] = 0;
    buffer[1] = static_cast<uint16_t>(samples);
    buffer[2] = static_cast<uint16_t>(channels);
    if (h == hk::kInvalidHandle) return;
    hk::IoResult r = hk::DeviceIoControl(h, IOCTL_VELNOR_READ_ISO_BUFFER, buffer.data(), std::max<ULONG>(room, 6),
                                         buffer.data(), room);
    if (NT_SUCCESS(r.status)) FUZZ_REQUIRE(r.information <= room);
}

void Plug(Session& s) {
    s.module = std::make_shared<AcquisitionModule>(velnor::sim::ModuleSettings{});
    s.device = std::make_unique<hk::pnp::UsbDevice>(s.module);
    FUZZ_REQUIRE(s.device->State() == hk::pnp::DeviceState::Started);
}

// After the sequence: the streams stop on request and the bus empties, the
// device still answers, and pulling it out leaves nothing behind.
void Finish(Session& s) {
    if (!s.unplugged) {
        hk::Handle h = hk::kInvalidHandle;
        FUZZ_REQUIRE(hk::OpenFile(kDevicePath, &h) == STATUS_SUCCESS);
        s.handles.push_back(h);
        RequireVersionAnswer(h);
        hk::DeviceIoControl(h, IOCTL_VELNOR_STOP_ISO_STREAM, nullptr, 0, nullptr, 0);
        if (!s.hung) {
            // A stopped stream ends at its next completions: some frames.
            hk::usb::HostController& bus = s.device->Controller();
            for (int ms = 0; ms < 2000 && (bus.Pending() || !IsoStreamStopped); ++ms) RunFor(1);
            FUZZ_REQUIRE(bus.Pending() == 0);
            FUZZ_REQUIRE(IsoStreamStopped == 1);
            FUZZ_REQUIRE(!IsoStreamClaimed(IsoStreamIn) && !IsoStreamClaimed(IsoStreamOut));
        }
    }
    for (hk::Handle h : s.handles) hk::CloseFile(h);
    s.handles.clear();
    RemoveAndRequireClean(s.device);
    s.module.reset();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    hk::SetViolationHandler(nullptr);  // print and abort: libFuzzer reports it
    RegisterVelnor();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteReader in(data, size);
    hk::RegistrySetDword(hk::ServiceKeyPath(kService), u"DebugLevel", DebugLevelFor(in.U8()));
    Session s;
    Plug(s);
    Open(s);
    for (size_t op = 0; op < kMaxOps && !in.Empty(); ++op) {
        const uint8_t which = in.U8() % kOpCount;
        switch (which) {
        case kRead: Read(s, in); break;
        case kOpen: Open(s); break;
        case kClose: Close(s, in); break;
        case kStartIn: StartStream(s, in, false); break;
        case kStartOut: StartStream(s, in, true); break;
        case kStop: Stop(s, in); break;
        case kModuleFault: ModuleFault(s, in); break;
        case kBusFault: BusFault(s, in); break;
        case kWait: RunFor(in.U8() + 1u); break;
        case kBlock: Block(s, in); break;
        case kUnplug:
            if (!s.unplugged && in.U8() < 64) {
                s.device->Unplug();
                s.unplugged = true;
            }
            break;
        default: Ioctl(s, in); break;
        }
    }
    Finish(s);
    EndInput();
    return 0;
}
