// The configuration path under libFuzzer: a module whose configuration
// descriptor (and, on request, device descriptor) comes from the input is
// plugged in, so the driver's start reads, checks and selects whatever it
// says: lengths that lie, no endpoints, thirty of them, records cut short.
// A device that started is then asked for its pipes and descriptors and to
// select an interface, and pulled out; nothing may be left in the pool.
#include "fuzz_host.h"

#include <optional>

namespace {

using namespace velnor_fuzz;

constexpr size_t kMaxConfiguration = 2048;

// Identifies as the acquisition module, so velnor binds to it; answers every
// other request by stalling or with no data.
class DescriptorModule : public hk::usb::Function {
public:
    DescriptorModule(std::vector<uint8_t> device, std::vector<uint8_t> configuration)
        : device_(std::move(device)), configuration_(std::move(configuration)) {}
    std::vector<uint8_t> DeviceDescriptor() override { return device_; }
    std::vector<uint8_t> ConfigurationDescriptor() override { return configuration_; }
    std::optional<std::vector<uint8_t>> StringDescriptor(uint8_t, uint16_t) override { return std::nullopt; }
    bool Control(const hk::usb::Setup&, std::vector<uint8_t>&) override { return false; }
    size_t IsoIn(uint8_t, uint32_t, uint8_t*, size_t) override { return 0; }
    void IsoOut(uint8_t, uint32_t, const uint8_t*, size_t) override {}
    size_t BulkIn(uint8_t, uint8_t*, size_t) override { return 0; }
    void BulkOut(uint8_t, const uint8_t*, size_t) override {}

private:
    std::vector<uint8_t> device_, configuration_;
};

std::vector<uint8_t> DeviceDescriptor(ByteReader& in, bool fuzzed) {
    std::vector<uint8_t> d = {18, 1, 0x10, 0x01, 0, 0, 0, 64, 0x09, 0x12, 0x1A, 0x7E, 0, 1, 1, 2, 3, 1};
    if (!fuzzed) return d;
    in.Fill(d.data(), d.size());
    // The identity stays the module's; everything else is the input's.
    d[8] = 0x09;
    d[9] = 0x12;
    d[10] = 0x1A;
    d[11] = 0x7E;
    return d;
}

void Exercise(ByteReader& in, uint8_t flags) {
    hk::Handle h = hk::kInvalidHandle;
    FUZZ_REQUIRE(hk::OpenFile(kDevicePath, &h) == STATUS_SUCCESS);
    std::vector<uint8_t> out(4096);
    const ULONG pipeRoom = in.U8() % 2 ? 4096 : in.U16() % 4097;
    hk::IoResult r = hk::DeviceIoControl(h, IOCTL_Velnor_GET_PIPE_INFO, nullptr, 0, out.data(), pipeRoom);
    if (NT_SUCCESS(r.status)) FUZZ_REQUIRE(r.information <= pipeRoom);
    const ULONG configRoom = in.U16() % 4097;
    r = hk::DeviceIoControl(h, IOCTL_Velnor_GET_CONFIGURATION_DESCRIPTOR, nullptr, 0, out.data(), configRoom);
    if (NT_SUCCESS(r.status)) FUZZ_REQUIRE(r.information <= configRoom);
    if (flags & 2) {
        SetInterfaceInput select{in.U8(), in.U8()};
        hk::DeviceIoControl(h, IOCTL_Velnor_SETINTERFACE, &select, sizeof select, nullptr, 0);
        r = hk::DeviceIoControl(h, IOCTL_Velnor_GET_PIPE_INFO, nullptr, 0, out.data(), 4096);
        if (NT_SUCCESS(r.status)) FUZZ_REQUIRE(r.information <= 4096);
    }
    if (flags & 4) {
        // A stream on whatever pipe the table holds at that index.
        const IsoStreamRequest request = {in.U8() % 32u, 108, 64, 4, 4};
        hk::DeviceIoControl(h, IOCTL_VELNOR_START_ISO_STREAM_IN, &request, sizeof request, nullptr, 0);
        RunFor(in.U8() % 16 + 1);
        hk::DeviceIoControl(h, IOCTL_VELNOR_STOP_ISO_STREAM, nullptr, 0, nullptr, 0);
    }
    RequireVersionAnswer(h);
    hk::CloseFile(h);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    hk::SetViolationHandler(nullptr);
    RegisterVelnor();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteReader in(data, size);
    hk::RegistrySetDword(hk::ServiceKeyPath(kService), u"DebugLevel", DebugLevelFor(in.U8()));
    const uint8_t flags = in.U8();
    std::vector<uint8_t> device = DeviceDescriptor(in, flags & 1);
    std::vector<uint8_t> configuration(std::min(in.Left(), kMaxConfiguration));
    in.Fill(configuration.data(), configuration.size());
    // The requests after the start read from the tail of the input.
    ByteReader tail(data + size - std::min<size_t>(size, 8), std::min<size_t>(size, 8));
    auto plugged = std::make_unique<hk::pnp::UsbDevice>(
        std::make_shared<DescriptorModule>(std::move(device), std::move(configuration)));
    if (plugged->State() == hk::pnp::DeviceState::Started) Exercise(tail, flags);
    RemoveAndRequireClean(plugged);
    EndInput();
    return 0;
}
