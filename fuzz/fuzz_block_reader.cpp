// The block reader and the key step under libFuzzer: arbitrary byte streams
// stored in DataRingBuffer the way the IN completion stores them, read back
// as blocks of any shape at any sampling frequency and channel selection,
// keys taken out by GETKEY and by read requests. The device is plugged in
// once; no stream runs, so the ring holds exactly what the input put there.
#include "fuzz_host.h"

#include "acquisition/block_reader.h"
#include "acquisition/key_events.h"
#include "acquisition/ring_buffer.h"

namespace {

using namespace velnor_fuzz;

constexpr size_t kMaxSteps = 64;
constexpr uint32_t kFrequencies[] = {2000, 1000, 500, 200, 0, 4000};

struct Bench {
    std::unique_ptr<hk::pnp::UsbDevice> device;
    DeviceExtension* ext = nullptr;
    hk::Handle handle = hk::kInvalidHandle;
};
Bench* g_bench = nullptr;

NTSTATUS Send(uint32_t code, const void* in, ULONG inLength, void* out = nullptr, ULONG outLength = 0) {
    return hk::DeviceIoControl(g_bench->handle, code, in, inLength, out, outLength).status;
}

// Every selected channel of the reference bits: the block's largest height.
ULONG SelectedChannels(ULONG reference) {
    constexpr ULONG kAll = VELNOR_REF_LA | VELNOR_REF_LL | VELNOR_REF_V1 | VELNOR_REF_V2 | VELNOR_REF_V3 | VELNOR_REF_V4 |
                           VELNOR_REF_V5 | VELNOR_REF_V6 | VELNOR_REF_H | VELNOR_REF_E | VELNOR_REF_I | VELNOR_REF_M;
    return static_cast<ULONG>(__builtin_popcount(reference & kAll));
}

void Settings(ByteReader& in) {
    const uint32_t frequency = kFrequencies[in.U8() % std::size(kFrequencies)];
    Send(IOCTL_VELNOR_SET_SAMPLINGFREQ, &frequency, sizeof frequency);
    const uint32_t reference = in.U16();
    Send(IOCTL_VELNOR_SET_ELECTRODE_REFERENCE, &reference, sizeof reference);
    const uint16_t threshold = in.U16();
    Send(IOCTL_VELNOR_SET_PaceThresh, &threshold, sizeof threshold);
}

// Up to 255 bytes, written in the input's chunk size (34 as the IN
// completion writes, or any other): all or nothing, as the ring takes them.
void Store(ByteReader& in) {
    const size_t chunk = in.U8() % 2 ? VELNOR_PACKET_BYTES : in.U8() % 64 + 1;
    size_t left = in.U8();
    uint8_t bytes[64];
    while (left && !in.Empty()) {
        const size_t n = std::min(left, chunk);
        in.Fill(bytes, n);
        WriteRingBuffer(g_bench->ext->DataRingBuffer, bytes, static_cast<ULONG>(n));
        left -= n;
    }
}

// One block. Without the timeout flag it asks for no more samples than the
// ring holds units, so the reader never waits its second of virtual time.
void ReadBlock(ByteReader& in) {
    const uint8_t flags = in.U8();
    const ULONG unit = ReadUnitBytes();
    const ULONG units = g_bench->ext->DataRingBuffer->currentSize / unit;
    int16_t samples = static_cast<int16_t>(in.U16());
    if (samples > 0) samples = static_cast<int16_t>(samples % (units + 1));
    if ((flags & 0xC0) == 0xC0 && in.U8() == 0x5A) samples = static_cast<int16_t>(units + 1 + (in.U8() & 7));
    const ULONG selected = SelectedChannels(ElectrodeReference);
    int16_t channels = static_cast<int16_t>(flags & 0x20 ? static_cast<int16_t>(in.U16()) : in.U8() % (selected + 2));
    ULONG room = samples >= 0 && channels >= 0
                     ? VelnorBlockReplyBytes(static_cast<uint32_t>(samples), static_cast<uint32_t>(channels))
                     : 6;
    if (flags & 0x10) room -= std::min<ULONG>(room, in.U8() % 8);
    if (room > 70000) room = 6;
    ULONG inLength = flags & 0x08 ? in.U8() % 8 : std::max<ULONG>(room, 6);
    std::vector<uint16_t> buffer(std::max<ULONG>(room, inLength) / 2 + 4, 0xA5A5);
    buffer[0] = in.U16();
    buffer[1] = static_cast<uint16_t>(samples);
    buffer[2] = static_cast<uint16_t>(channels);
    hk::IoResult r = hk::DeviceIoControl(g_bench->handle, IOCTL_VELNOR_READ_ISO_BUFFER, buffer.data(), inLength,
                                         buffer.data(), room);
    if (!NT_SUCCESS(r.status)) return;
    FUZZ_REQUIRE(samples >= 0 && channels >= 0 && static_cast<ULONG>(channels) <= selected);
    FUZZ_REQUIRE(r.information == VelnorBlockReplyBytes(static_cast<uint32_t>(samples), static_cast<uint32_t>(channels)));
    // The pace row holds flags only.
    for (int s = 0; s < samples; ++s) FUZZ_REQUIRE(buffer[static_cast<size_t>(channels) * samples + s] <= 1);
}

void GetKeys(ByteReader& in) {
    const ULONG room = in.U8() % 2 ? in.U8() % 16 * 4 : in.U8() % 70;
    std::vector<uint8_t> buffer(std::max<ULONG>(room, 4) + 4, 0);
    const uint32_t wanted = in.U8() % 2 ? in.U8() % 12 : in.U32();
    std::memcpy(buffer.data(), &wanted, sizeof wanted);
    const ULONG inLength = in.U8() % 2 ? 4 : in.U8() % 8;
    hk::IoResult r = hk::DeviceIoControl(g_bench->handle, IOCTL_VELNOR_KEYPAD_GETKEY, buffer.data(), inLength,
                                         buffer.data(), room);
    if (NT_SUCCESS(r.status)) FUZZ_REQUIRE(r.information <= room && r.information % 4 == 0);
}

void ReadKeys(ByteReader& in) {
    const ULONG length = in.U8() % 64;
    std::vector<uint8_t> buffer(length + 1);
    hk::IoResult r = hk::ReadFile(g_bench->handle, length ? buffer.data() : nullptr, length);
    if (NT_SUCCESS(r.status)) FUZZ_REQUIRE(r.information <= length);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    hk::SetViolationHandler(nullptr);
    RegisterVelnor();
    g_bench = new Bench;  // lives until exit: the process ends with the device in place
    g_bench->device = std::make_unique<hk::pnp::UsbDevice>(
        std::make_shared<velnor::sim::AcquisitionModule>(velnor::sim::ModuleSettings{}));
    FUZZ_REQUIRE(g_bench->device->State() == hk::pnp::DeviceState::Started);
    PDEVICE_OBJECT device = hk::FindDeviceByName(u"\\Device\\Velnor-0");
    FUZZ_REQUIRE(device != nullptr);
    g_bench->ext = static_cast<DeviceExtension*>(device->DeviceExtension);
    FUZZ_REQUIRE(hk::OpenFile(kDevicePath, &g_bench->handle) == STATUS_SUCCESS);
    std::atexit([] {
        // The driver's unload checks for leaks; what it leaves is a finding
        // too. On a thread of its own: this thread's thread-locals are gone
        // by the time exit() calls this.
        hk::SimThread teardown("fuzz-exit", [] {
            hk::CloseFile(g_bench->handle);
            RemoveAndRequireClean(g_bench->device);
        });
        teardown.Join();
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteReader in(data, size);
    WriteShared(DebugLevel, static_cast<LONG>(DebugLevelFor(in.U8())));
    // Each input starts from the same reader and key state.
    ResetRingBuffer(g_bench->ext->DataRingBuffer);
    Velnor_KeypadFlush(g_bench->ext);
    PacketStatus = 0;
    HwStat = 0;
    PaceCount = PaceSum = PrevPaceSum = 0;
    if (in.U8() & 1)
        ArmSequenceCheck(in.U16());
    else
        DisarmSequenceCheck();
    Settings(in);
    for (size_t step = 0; step < kMaxSteps && !in.Empty(); ++step) {
        switch (in.U8() % 8) {
        case 0:
        case 1:
        case 2: Store(in); break;
        case 3:
        case 4: ReadBlock(in); break;
        case 5: GetKeys(in); break;
        case 6: ReadKeys(in); break;
        default: Settings(in); break;
        }
    }
    EndInput();
    return 0;
}
