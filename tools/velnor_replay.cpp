// velnor-replay: runs recorded acquisition packets through the driver's own
// block reader, key step, filter stage and output packet builder on the host
// kernel, so any recording can be replayed and compared byte for byte.
// The driver is loaded in this process and driven as an application drives
// it: every setting, block and key goes through its control dispatcher.
//
//   velnor-replay out IN OUT [options]              output packets (mode A)
//   velnor-replay blocks IN OUT.blk OUT.keys [opts] blocks and keys (mode B)
#include "acquisition/block_reader.h"
#include "acquisition/key_events.h"
#include "acquisition/ring_buffer.h"
#include "control/stream_control.h"
#include "core/device_core.h"
#include "output/packet_builder.h"
#include "output/signal_filter.h"
#include "velnor/velnor_ioctl.h"

#include <hostkernel/hostkernel.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const char kUsage[] =
    "usage: velnor-replay out IN OUT [options]\n"
    "       velnor-replay blocks IN OUT.blk OUT.keys [options]\n"
    "options: --lpf 100|150  --hpf 0.01|0.05  --notch 0|1|50|60  --beep  --pace-patient\n"
    "         --sampling-freq F  --qrs-width 4..100  --qrs-delay 0..100  --qrs-polarity 0|1\n"
    "         --aout CH:LEAD  --aout-level CH:LEVEL\n"
    "  out:    --n 1..50  --in-per-call K  --runs R\n"
    "  blocks: --nsamples S  --nchannels C  --electrode-reference R  --pace-thresh T\n"
    "          --tail ignore|timeout\n"
    "         --debug-level N (driver log to stderr)\n";

// Decimal or 0x-hex, the whole string.
uint64_t Number(const std::string& text, const std::string& option) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 16) throw UsageError(option + ": not a number: " + text);
    uint64_t value = 0;
    for (char ch : digits) {
        int d = (ch >= '0' && ch <= '9') ? ch - '0'
                : hex && ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                : hex && ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                                                : -1;
        if (d < 0) throw UsageError(option + ": not a number: " + text);
        value = value * (hex ? 16 : 10) + static_cast<uint64_t>(d);
    }
    return value;
}

uint64_t Ranged(const std::string& text, const std::string& option, uint64_t low, uint64_t high) {
    uint64_t v = Number(text, option);
    if (v < low || v > high)
        throw UsageError(option + " " + text + " is out of range " + std::to_string(low) + ".." + std::to_string(high));
    return v;
}

// The channel as the 16-bit field of the request carries it.
std::pair<uint64_t, uint64_t> Pair(const std::string& text, const std::string& option) {
    auto colon = text.find(':');
    if (colon == std::string::npos) throw UsageError(option + " wants CH:VALUE, got " + text);
    return {Ranged(text.substr(0, colon), option + " channel", 0, 0xFFFF), Number(text.substr(colon + 1), option)};
}

// A value the driver checks itself (filter selection, trigger width and
// delay, output channel) is only parsed here: the driver's refusal is the
// error. `text` keeps the option as given for that message.
struct AOutSetting {
    bool isLevel;
    USHORT channel, value;
    std::string text;
};

struct Options {
    ULONG lpf = LPF_FILTER_100, hpf = HPF_FILTER_01, notch = 50;
    bool beep = false, pacePatient = false;
    ULONG samplingFreq = 2000;
    long long qrsWidth = -1, qrsDelay = -1, qrsPolarity = -1;
    std::vector<AOutSetting> aout;
    ULONG n = 10;
    uint64_t inPerCall = 0;  // 0: 2n
    ULONG runs = 0;          // 0: the calls alone; R: R stream sessions
    long nSamples = 200, nChannels = 7;
    ULONG electrodeReference = 0xFF, paceThresh = 4;
    bool tailTimeout = false;
    long debugLevel = -1;
};

Options Parse(const std::vector<std::string>& args, bool blocks) {
    Options o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
            return args[++i];
        };
        if (a == "--lpf") {
            std::string v = value();
            if (v != "100" && v != "150") throw UsageError("--lpf takes 100 or 150");
            o.lpf = v == "100" ? LPF_FILTER_100 : LPF_FILTER_150;
        } else if (a == "--hpf") {
            std::string v = value();
            if (v != "0.01" && v != "0.05") throw UsageError("--hpf takes 0.01 or 0.05");
            o.hpf = v == "0.01" ? HPF_FILTER_01 : HPF_FILTER_05;
        } else if (a == "--notch") {
            o.notch = static_cast<ULONG>(Ranged(value(), a, 0, 0xFFFFFFFF));
        } else if (a == "--beep") {
            o.beep = true;
        } else if (a == "--pace-patient") {
            o.pacePatient = true;
        } else if (a == "--sampling-freq") {
            o.samplingFreq = static_cast<ULONG>(Ranged(value(), a, 0, 0xFFFFFFFF));
        } else if (a == "--qrs-width") {
            o.qrsWidth = static_cast<long long>(Ranged(value(), a, 0, 0xFFFFFFFF));
        } else if (a == "--qrs-delay") {
            o.qrsDelay = static_cast<long long>(Ranged(value(), a, 0, 0xFFFFFFFF));
        } else if (a == "--qrs-polarity") {
            o.qrsPolarity = static_cast<long long>(Ranged(value(), a, 0, 1));
        } else if (a == "--aout") {
            const std::string& text = value();
            auto p = Pair(text, a);
            // The driver takes both without complaint: a channel it does not
            // have is ignored, and 18 silently means no lead.
            if (p.first > 3) throw UsageError("--aout channel " + std::to_string(p.first) + " is out of range 0..3");
            if (p.second == 18) throw UsageError("--aout: lead code 18 names no lead row");
            if (p.second > 0xFFFF) throw UsageError("--aout: lead code out of range");
            o.aout.push_back({false, static_cast<USHORT>(p.first), static_cast<USHORT>(p.second), a + " " + text});
        } else if (a == "--aout-level") {
            const std::string& text = value();
            auto p = Pair(text, a);
            if (p.second > 0xFFFF) throw UsageError("--aout-level: level out of range 0..65535");
            o.aout.push_back({true, static_cast<USHORT>(p.first), static_cast<USHORT>(p.second), a + " " + text});
        } else if (a == "--debug-level") {
            o.debugLevel = static_cast<long>(Ranged(value(), a, 0, 5));
        } else if (!blocks && a == "--n") {
            o.n = static_cast<ULONG>(Ranged(value(), a, 1, 50));
        } else if (!blocks && a == "--runs") {
            o.runs = static_cast<ULONG>(Ranged(value(), a, 1, 100));
        } else if (!blocks && a == "--in-per-call") {
            o.inPerCall = Ranged(value(), a, 1, 1u << 30);
        } else if (blocks && a == "--nsamples") {
            o.nSamples = static_cast<long>(Ranged(value(), a, 1, 32767));
        } else if (blocks && a == "--nchannels") {
            o.nChannels = static_cast<long>(Ranged(value(), a, 0, 12));
        } else if (blocks && a == "--electrode-reference") {
            o.electrodeReference = static_cast<ULONG>(Ranged(value(), a, 0, 0xFFFFFFFF));
        } else if (blocks && a == "--pace-thresh") {
            o.paceThresh = static_cast<ULONG>(Ranged(value(), a, 0, 0xFFFF));
        } else if (blocks && a == "--tail") {
            std::string v = value();
            if (v != "ignore" && v != "timeout") throw UsageError("--tail takes ignore or timeout");
            o.tailTimeout = v == "timeout";
        } else {
            throw UsageError("unknown option " + a);
        }
    }
    return o;
}

std::vector<uint8_t> ReadInput(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() % 34) throw std::runtime_error(path + ": length " + std::to_string(bytes.size()) +
                                                    " is not a multiple of 34 bytes");
    // Host word order, as the IN completion stores them.
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        uint16_t word = static_cast<uint16_t>(bytes[i] << 8 | bytes[i + 1]);
        std::memcpy(&bytes[i], &word, 2);
    }
    return bytes;
}

void StorePackets(RingBuffer* ring, const uint8_t* data, size_t bytes) {
    for (size_t off = 0; off + 34 <= bytes; off += 34) WriteRingBuffer(ring, data + off, 34);  // refused: lost
}

void PutU32(std::ofstream& out, uint32_t v) {
    const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    out.write(b, 4);
}

std::string Hex(NTSTATUS status) {
    char s[16];
    std::snprintf(s, sizeof s, "0x%08X", static_cast<unsigned>(status));
    return s;
}

std::string CodeName(ULONG code) {
    const char* name = VelnorIoctlName(code);
    return name ? name : Hex(static_cast<NTSTATUS>(code));
}

// The driver loaded in this process with its device as add-device and a
// start leave it, but with no bus below: the packets go into the rings the
// way the IN completion stores them, everything else is asked for through the
// I/O manager (real METHOD_BUFFERED requests to the driver's dispatcher).
class LoadedDevice {
public:
    explicit LoadedDevice(ULONG debugLevel) {
        try {
            Open(debugLevel);
        } catch (...) {
            Close();
            throw;
        }
    }
    ~LoadedDevice() { Close(); }
    LoadedDevice(const LoadedDevice&) = delete;
    LoadedDevice& operator=(const LoadedDevice&) = delete;

    DeviceExtension& Extension() { return *static_cast<DeviceExtension*>(device_->DeviceExtension); }

    hk::IoResult Control(ULONG code, void* in, ULONG inLength, void* out, ULONG outLength) {
        return hk::DeviceIoControl(handle_, code, in, inLength, out, outLength);
    }

    // A setting request; a value the driver refuses is the named option's error.
    template <typename T>
    void Set(ULONG code, T value, const std::string& option) {
        hk::IoResult r = Control(code, &value, sizeof value, nullptr, 0);
        if (r.status == STATUS_INVALID_PARAMETER)
            throw UsageError(option + ": the driver refused the value (" + CodeName(code) + ", status " +
                             Hex(r.status) + ")");
        if (!NT_SUCCESS(r.status)) throw std::runtime_error(CodeName(code) + " failed with status " + Hex(r.status));
    }
    void Send(ULONG code) {
        hk::IoResult r = Control(code, nullptr, 0, nullptr, 0);
        if (!NT_SUCCESS(r.status)) throw std::runtime_error(CodeName(code) + " failed with status " + Hex(r.status));
    }
    // The module unplugged and plugged in again: a new device, the driver stays loaded.
    void Replug() {
        DeleteDevice();
        CreateDevice();
    }

private:
    static constexpr char16_t kService[] = u"Velnor";
    static constexpr ULONG kDescriptorRingBytes = 12 * 10;  // what the IN stream's start allocates

    void Open(ULONG debugLevel) {
        // The log level comes from the service key, as on a real system.
        hk::RegistryCreateKey(hk::ServiceKeyPath(kService));
        hk::RegistrySetDword(hk::ServiceKeyPath(kService), u"DebugLevel", debugLevel);
        driver_ = hk::LoadDriver(DriverEntry, kService);
        if (!driver_) throw std::runtime_error("the driver did not load");
        CreateDevice();
    }

    void CreateDevice() {
        NTSTATUS status = Velnor_CreateDeviceObject(hk::DriverObjectOf(driver_), &device_);
        if (!NT_SUCCESS(status)) throw std::runtime_error("device creation failed with status " + Hex(status));
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
        device_->Flags |= DO_DIRECT_IO;
        DeviceExtension& ext = Extension();
        KeInitializeEvent(&ext.RemoveEvent, NotificationEvent, FALSE);
        ext.PendingIoCount = 1;
        DeviceStarted = 1;
        ext.DescriptorRingBuffer = AllocRingBuffer(kDescriptorRingBytes);
        if (!ext.DescriptorRingBuffer) throw std::runtime_error("out of memory for the descriptor ring");
        status = hk::OpenFile(VELNOR_USER_DEVICE_PATH, &handle_);
        if (!NT_SUCCESS(status)) throw std::runtime_error("cannot open the device: status " + Hex(status));
    }

    // What removal releases, then the unload, which reports any leak.
    void Close() {
        DeleteDevice();
        if (driver_) hk::UnloadDriver(driver_);
        driver_ = nullptr;
    }

    void DeleteDevice() {
        if (handle_ != hk::kInvalidHandle) hk::CloseFile(handle_);
        handle_ = hk::kInvalidHandle;
        if (device_) {
            DeviceExtension& ext = Extension();
            for (RingBuffer** ring : {&ext.DataRingBuffer, &ext.IsoPacketRingBuffer, &ext.DescriptorRingBuffer}) {
                if (*ring) FreeRingBuffer(*ring);
                *ring = nullptr;
            }
            if (IsoOutBuffer) ExFreePool(IsoOutBuffer);
            IsoOutBuffer = nullptr;
            UNICODE_STRING link;
            RtlInitUnicodeString(&link, ext.DeviceLinkName);
            IoDeleteSymbolicLink(&link);
            DeviceStarted = 0;
            IoDeleteDevice(device_);
            device_ = nullptr;
        }
    }

    hk::Driver* driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    hk::Handle handle_ = hk::kInvalidHandle;
};

// The settings, sent in a fixed order.
void Apply(LoadedDevice& device, const Options& o) {
    device.Set(IOCTL_VELNOR_SET_LPF, o.lpf, "--lpf");
    device.Set(IOCTL_VELNOR_SET_HPF, o.hpf, "--hpf");
    device.Set(IOCTL_VELNOR_SET_NTCH, o.notch, "--notch " + std::to_string(o.notch));
    if (o.beep) device.Send(IOCTL_VELNOR_ENABLE_QRSBeep);
    if (o.pacePatient) device.Set(IOCTL_VELNOR_SET_PacePatient, ULONG{1}, "--pace-patient");
    device.Set(IOCTL_VELNOR_SET_SAMPLINGFREQ, o.samplingFreq, "--sampling-freq");
    if (o.qrsWidth >= 0)
        device.Set(IOCTL_VELNOR_SET_QRSOutWidth, static_cast<ULONG>(o.qrsWidth),
                   "--qrs-width " + std::to_string(o.qrsWidth));
    if (o.qrsDelay >= 0)
        device.Set(IOCTL_VELNOR_SET_QRSOutDelay, static_cast<ULONG>(o.qrsDelay),
                   "--qrs-delay " + std::to_string(o.qrsDelay));
    if (o.qrsPolarity >= 0) device.Set(IOCTL_VELNOR_SET_QRSOutPol, static_cast<ULONG>(o.qrsPolarity), "--qrs-polarity");
    for (const AOutSetting& a : o.aout) {
        const ULONG code = a.isLevel ? IOCTL_VELNOR_WRITE_AOut : IOCTL_VELNOR_SETLEAD_AOut;
        device.Set(code, AOutChannelRequest{a.channel, a.value}, a.text);
    }
}

std::ofstream OpenOutput(const std::string& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    return out;
}

// The OUT completion's step, which no request starts: the ring it reads
// from, the packet reader and the packet formatter, called directly.
void RunOut(LoadedDevice& device, const std::vector<uint8_t>& input, const std::string& outPath, const Options& o) {
    std::ofstream out = OpenOutput(outPath);
    const size_t packets = input.size() / 34;
    const uint64_t k = o.inPerCall ? o.inPerCall : 2 * o.n;
    std::vector<uint8_t> slots(o.n * 13);
    // The device's, looked up each time: a replug makes a new one.
    auto call = [&] {
        Velnor_ReadPacket(&device.Extension(), o.n);
        std::fill(slots.begin(), slots.end(), 0);
        FormatIsoOutPackets(slots.data(), o.n, 13);
        out.write(reinterpret_cast<const char*>(slots.data()), static_cast<std::streamsize>(slots.size()));
    };
    auto play = [&] {
        for (size_t next = 0; next < packets;) {
            size_t take = std::min<uint64_t>(k, packets - next);
            StorePackets(device.Extension().IsoPacketRingBuffer, input.data() + next * 34, take * 34);
            next += take;
            call();
        }
    };
    if (!o.runs) play();
    // Sessions as an application runs them on a module: settings, the
    // streams' start (which resets the output stage; the constant analog
    // levels are written again after it), a call before the packets come,
    // the packets, a call after them, the stop; then the module is unplugged
    // and plugged in again and the settings are sent anew.
    for (ULONG run = 0; run < o.runs; ++run) {
        if (run > 0) {
            device.Send(IOCTL_VELNOR_STOP_ISO_STREAM);
            device.Replug();
            Apply(device, o);
        }
        ResetOutputStage();
        for (const AOutSetting& a : o.aout)
            if (a.isLevel) device.Set(IOCTL_VELNOR_WRITE_AOut, AOutChannelRequest{a.channel, a.value}, a.text);
        call();
        play();
        call();
    }
    if (!out) throw std::runtime_error("cannot write " + outPath);
}

void RunBlocks(LoadedDevice& device, const std::vector<uint8_t>& input, const std::string& blkPath,
               const std::string& keysPath, const Options& o) {
    std::ofstream blk = OpenOutput(blkPath);
    std::ofstream keys = OpenOutput(keysPath);
    device.Set(IOCTL_VELNOR_SET_ELECTRODE_REFERENCE, o.electrodeReference, "--electrode-reference");
    device.Set(IOCTL_VELNOR_SET_PaceThresh, static_cast<USHORT>(o.paceThresh), "--pace-thresh");
    device.Send(IOCTL_VELNOR_ENABLE);
    device.Send(IOCTL_VELNOR_KEYPAD_FLUSH);
    // The ring bytes one block takes, from the rate the request above set.
    const size_t unit = static_cast<size_t>(PacketReadSize) * static_cast<size_t>(o.nSamples);
    const ULONG bufferBytes =
        VelnorBlockReplyBytes(static_cast<uint32_t>(o.nSamples), static_cast<uint32_t>(o.nChannels));
    std::vector<uint16_t> buffer((bufferBytes + 1) / 2);
    DeviceExtension& ext = device.Extension();

    auto block = [&] {
        std::fill(buffer.begin(), buffer.end(), 0);
        buffer[0] = 0;
        buffer[1] = static_cast<uint16_t>(o.nSamples);
        buffer[2] = static_cast<uint16_t>(o.nChannels);
        hk::IoResult read =
            device.Control(IOCTL_VELNOR_READ_ISO_BUFFER, buffer.data(), bufferBytes, buffer.data(), bufferBytes);
        if (read.status == STATUS_INVALID_PARAMETER)
            throw UsageError("--nchannels " + std::to_string(o.nChannels) +
                             ": the driver refused the block request (status " + Hex(read.status) +
                             "): more channels than --electrode-reference selects");
        if (!NT_SUCCESS(read.status))
            throw std::runtime_error("the block request failed with status " + Hex(read.status));
        uint32_t length = static_cast<uint32_t>(read.information);
        PutU32(blk, length);
        blk.write(reinterpret_cast<const char*>(buffer.data()), length);

        uint32_t keyBuffer[VELNOR_KEY_QUEUE_LENGTH] = {VELNOR_KEY_QUEUE_LENGTH};
        hk::IoResult get = device.Control(IOCTL_VELNOR_KEYPAD_GETKEY, keyBuffer, 4, keyBuffer, sizeof keyBuffer);
        if (!NT_SUCCESS(get.status)) throw std::runtime_error("the key request failed with status " + Hex(get.status));
        uint32_t m = static_cast<uint32_t>(get.information / 4);
        PutU32(keys, m);
        for (uint32_t i = 0; i < m; ++i) PutU32(keys, keyBuffer[i]);
    };

    size_t offset = 0;
    for (; input.size() - offset >= unit; offset += unit) {
        StorePackets(ext.DataRingBuffer, input.data() + offset, unit);
        block();
    }
    if (o.tailTimeout && offset < input.size()) {
        StorePackets(ext.DataRingBuffer, input.data() + offset, input.size() - offset);
        // No more data comes: on the discrete clock the poll's second of
        // virtual time runs out as fast as the CPU allows.
        block();
    }
    if (!blk || !keys) throw std::runtime_error("cannot write the outputs");
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.empty() || (args[0] != "out" && args[0] != "blocks")) throw UsageError("choose a mode: out or blocks");
        const bool blocks = args[0] == "blocks";
        const size_t files = blocks ? 3 : 2;
        if (args.size() < 1 + files) throw UsageError("missing file names");
        Options o = Parse({args.begin() + 1 + static_cast<long>(files), args.end()}, blocks);
        hk::LogEcho(o.debugLevel >= 0 ? stderr : nullptr);
        std::vector<uint8_t> input = ReadInput(args[1]);

        LoadedDevice device(o.debugLevel >= 0 ? static_cast<ULONG>(o.debugLevel) : 0);
        Apply(device, o);
        if (blocks)
            RunBlocks(device, input, args[2], args[3], o);
        else
            RunOut(device, input, args[2], o);
        return 0;
    } catch (const UsageError& e) {
        std::fprintf(stderr, "velnor-replay: %s\n%s", e.what(), kUsage);
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velnor-replay: %s\n", e.what());
        return 1;
    }
}
