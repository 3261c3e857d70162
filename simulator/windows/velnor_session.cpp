// velnor-session.exe: an application's whole session through the SDK, on a
// Windows host with the simulated USB bus (velnorsimbus.sys) as its bench:
// open, configure, start both streams, read blocks and keys, stop; unplug
// the module, see the device go, plug it in again and do it all once more.
// Each run plays the packet file from its start and writes what the
// application got and what the module received:
//   PREFIX-R.blk   blocks in velnor-replay's format (u32 length, reply bytes)
//   PREFIX-R.keys  per block: u32 count, the driver's key entries
//   PREFIX-R.out   OUT packets as the bus recorded them (u16 length, bytes)
// The settings are fixed here and written out by `velnor-session settings`
// as velnor-replay options (a line for both modes, a line for blocks), so
// both sides run with the same ones.
//   velnor-session FILE PREFIX BLOCKS | velnor-session settings
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "velnor/sdk.h"
#include "velnor_simbus.h"

namespace {

namespace sdk = velnor::sdk;

constexpr uint32_t kSamples = 200;

// Analog outputs on three leads and a constant level, a trigger with a
// width, delay and polarity other than the defaults, and the beep.
sdk::Settings SessionSettings() {
    sdk::Settings s;
    s.highPass = sdk::HighPass::Hz0_05;
    s.lowPass = sdk::LowPass::Hz150;
    s.mains = sdk::Mains::Hz50;
    s.trigger = {20, 5, sdk::TriggerPolarity::Negative, true};
    s.analog[0] = {true, sdk::Lead::II, 0};
    s.analog[1] = {true, sdk::Lead::V5, 0};
    s.analog[2] = {false, sdk::Lead::II, 3000};
    s.analog[3] = {true, sdk::Lead::aVF, 0};
    return s;
}

// The same settings for velnor-replay (lead codes are lead store rows + 2),
// then the block options.
const char kReplayOptions[] =
    "--hpf 0.05 --lpf 150 --notch 50 --qrs-width 20 --qrs-delay 5 --qrs-polarity 0 --beep "
    "--aout 0:3 --aout 1:5 --aout-level 2:3000 --aout 3:17\n"
    "--electrode-reference 0x1FE --nchannels 8 --nsamples 200";

struct Failure {
    std::string what;
};

// The bench: the simulated bus's control device.
class Bench {
public:
    Bench() : bus_(CreateFileA("\\\\.\\VelnorSimBus", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {
        if (bus_ == INVALID_HANDLE_VALUE) throw Failure{"cannot open \\\\.\\VelnorSimBus"};
    }
    ~Bench() { CloseHandle(bus_); }
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    void Call(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* got, const char* what) {
        DWORD ignored = 0;
        if (!DeviceIoControl(bus_, code, const_cast<void*>(in), inSize, out, outSize, got ? got : &ignored, nullptr))
            throw Failure{std::string("bus: ") + what + " failed (error " + std::to_string(GetLastError()) + ")"};
    }
    VelnorSimBusStatus Status() {
        VelnorSimBusStatus s{};
        Call(IOCTL_VELNOR_SIMBUS_STATUS, nullptr, 0, &s, sizeof s, nullptr, "status");
        return s;
    }
    // Waits until the bus has run `frames` more frames (its own clock, not ours).
    void WaitFrames(unsigned long frames) {
        const unsigned long until = Status().frame + frames;
        for (int ms = 0; Status().frame < until; ++ms) {
            if (ms > 20000) throw Failure{"bus: the frames stopped"};
            Sleep(1);
        }
    }
    void Load(const std::vector<char>& packets) {
        Call(IOCTL_VELNOR_SIMBUS_LOAD_PACKETS_AT_OUT, packets.data(), static_cast<DWORD>(packets.size()), nullptr, 0,
             nullptr, "load");
    }
    void SaveOut(const std::string& path) {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        std::vector<char> buffer(1 << 20);
        DWORD got = 0;
        do {
            Call(IOCTL_VELNOR_SIMBUS_READ_OUT, nullptr, 0, buffer.data(), static_cast<DWORD>(buffer.size()), &got, "out");
            f.write(buffer.data(), got);
        } while (got > 0);
        if (!f) throw Failure{"cannot write " + path};
    }
    void Plug(bool in) {
        Call(in ? IOCTL_VELNOR_SIMBUS_PLUG : IOCTL_VELNOR_SIMBUS_UNPLUG, nullptr, 0, nullptr, 0, nullptr, "plug");
    }

private:
    HANDLE bus_;
};

void PutU32(std::ofstream& out, uint32_t v) {
    const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    out.write(b, 4);
}
void PutU16(std::ofstream& out, uint16_t v) {
    const char b[2] = {char(v), char(v >> 8)};
    out.write(b, 2);
}

// The reply as the driver wrote it, from the SDK's block.
void WriteBlock(std::ofstream& out, const sdk::Block& b) {
    if (b.error != sdk::BlockError::None) {
        PutU32(out, VELNOR_ERROR_BLOCK_BYTES);
        PutU16(out, b.errorCode);
        PutU16(out, b.status.raw);
        return;
    }
    PutU32(out, VelnorBlockReplyBytes(static_cast<uint32_t>(b.Length()), static_cast<uint32_t>(b.raw.size())));
    for (const auto& row : b.raw)
        for (int16_t v : row) PutU16(out, static_cast<uint16_t>(v));
    for (uint8_t p : b.pace) PutU16(out, p);
    PutU16(out, b.electrodeStatus);
    PutU16(out, b.status.raw);
}

// The driver's entries back from the SDK's events: an entry gives a Down,
// a Held or an Up, or a Down and an Up (a press within one block).
void WriteKeys(std::ofstream& out, const std::vector<sdk::KeyEvent>& events) {
    std::vector<uint32_t> entries;
    for (size_t i = 0; i < events.size(); ++i) {
        const bool sameEntry = i > 0 && events[i].action == sdk::KeyAction::Up &&
                               events[i - 1].action == sdk::KeyAction::Down && events[i - 1].raw == events[i].raw;
        if (!sameEntry) entries.push_back(events[i].raw);
    }
    PutU32(out, static_cast<uint32_t>(entries.size()));
    for (uint32_t e : entries) PutU32(out, e);
}

// Opens the module once Plug and Play has started it again. Until the old
// device is gone an open can still reach it; that handle answers nothing.
std::unique_ptr<sdk::Device> OpenWhenBack() {
    for (int i = 0;; ++i) {
        try {
            auto device = std::make_unique<sdk::Device>();
            if (device->Answers()) return device;
        } catch (const sdk::Error&) {
            if (i >= 1000) throw;
        }
        if (i >= 1000) throw Failure{"the device did not come back after the replug"};
        Sleep(10);
    }
}

void Run(Bench& bench, sdk::Device& device, const std::vector<char>& packets, int blocks, const std::string& prefix) {
    bench.Load(packets);
    device.Configure(SessionSettings());
    device.StartStreams();
    std::ofstream blk(prefix + ".blk", std::ios::binary | std::ios::trunc);
    std::ofstream keys(prefix + ".keys", std::ios::binary | std::ios::trunc);
    for (int b = 0; b < blocks; ++b) {
        const sdk::Block block = device.ReadBlock(kSamples);
        if (block.error != sdk::BlockError::None)
            std::printf("velnor-session: block %d: %s (code %u)\n", b, sdk::BlockErrorName(block.error), block.errorCode);
        WriteBlock(blk, block);
        WriteKeys(keys, device.ReadKeys());
    }
    // The OUT stream takes the last packets within a transfer (5 frames) and
    // sends what it made of them four transfers later.
    bench.WaitFrames(40);
    device.StopStreams();
    bench.SaveOut(prefix + ".out");
    if (!blk || !keys) throw Failure{"cannot write " + prefix + ".blk/.keys"};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "settings") {
        std::printf("%s\n", kReplayOptions);
        return 0;
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: velnor-session FILE PREFIX BLOCKS | velnor-session settings\n");
        return 2;
    }
    const std::string prefix = argv[2];
    const int blocks = std::atoi(argv[3]);
    std::ifstream f(argv[1], std::ios::binary);
    const std::vector<char> packets((std::istreambuf_iterator<char>(f)), {});
    try {
        if (packets.empty() || packets.size() % VELNOR_PACKET_BYTES) throw Failure{std::string("bad packet file ") + argv[1]};
        Bench bench;
        auto device = std::make_unique<sdk::Device>();
        const sdk::DeviceInfo info = device->Info();
        std::printf("velnor-session: driver %u.%u.%u, module %04X:%04X\n", info.driverMajor, info.driverMinor,
                    info.driverBuild, info.vendorId, info.productId);
        Run(bench, *device, packets, blocks, prefix + "-1");

        // Pulled while open: a new open is refused once the device is going
        // (the driver refuses opens while its device is not started; Wine
        // removes the device, link and all, at once). On Windows the old
        // handle may still answer requests that need no module until it is
        // closed, so those prove nothing.
        bench.Plug(false);
        bool gone = false;
        for (int i = 0; i < 1000 && !gone; ++i) {
            try {
                sdk::Device probe;
                probe.Close();
                Sleep(10);
            } catch (const sdk::Error& e) {
                if (!e.DeviceGone() && e.Win32Error() != ERROR_GEN_FAILURE) throw;
                gone = true;
            }
        }
        if (!gone) throw Failure{"the device still opens after the unplug"};
        device.reset();
        bench.Plug(true);
        device = OpenWhenBack();
        Run(bench, *device, packets, blocks, prefix + "-2");
        device->Close();
        std::printf("velnor-session: 2 runs of %d block(s), unplugged and plugged in between\n", blocks);
        return 0;
    } catch (const sdk::Error& e) {
        std::fprintf(stderr, "velnor-session: %s\n", e.what());
    } catch (const Failure& e) {
        std::fprintf(stderr, "velnor-session: %s\n", e.what.c_str());
    }
    return 1;
}
