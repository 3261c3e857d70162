// velnor-replay: runs recorded acquisition packets through the driver's own
// block reader, key step, filter stage and output packet builder on the host
// kernel, so any recording can be replayed and compared byte for byte.
//
//   velnor-replay out IN OUT [options]              output packets (mode A)
//   velnor-replay blocks IN OUT.blk OUT.keys [opts] blocks and keys (mode B)
#include "acquisition/block_reader.h"
#include "acquisition/key_events.h"
#include "acquisition/ring_buffer.h"
#include "output/packet_builder.h"
#include "output/signal_filter.h"

#include <hostkernel/hostkernel.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
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
    "  out:    --n 1..50  --in-per-call K\n"
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

std::pair<uint64_t, uint64_t> Pair(const std::string& text, const std::string& option) {
    auto colon = text.find(':');
    if (colon == std::string::npos) throw UsageError(option + " wants CH:VALUE, got " + text);
    return {Ranged(text.substr(0, colon), option + " channel", 0, 3), Number(text.substr(colon + 1), option)};
}

struct Options {
    ULONG lpf = LPF_FILTER_100, hpf = HPF_FILTER_01, notch = 50;
    bool beep = false, pacePatient = false;
    uint64_t samplingFreq = 2000;
    long qrsWidth = -1, qrsDelay = -1, qrsPolarity = -1;
    std::vector<std::pair<bool, std::pair<uint64_t, uint64_t>>> aout;  // (is level, (channel, value))
    ULONG n = 10;
    uint64_t inPerCall = 0;  // 0: 2n
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
            uint64_t v = Number(value(), a);
            if (v != 0 && v != 1 && v != 50 && v != 60) throw UsageError("--notch takes 0, 1, 50 or 60");
            o.notch = static_cast<ULONG>(v);
        } else if (a == "--beep") {
            o.beep = true;
        } else if (a == "--pace-patient") {
            o.pacePatient = true;
        } else if (a == "--sampling-freq") {
            o.samplingFreq = Ranged(value(), a, 0, 0xFFFFFFFF);
        } else if (a == "--qrs-width") {
            o.qrsWidth = static_cast<long>(Ranged(value(), a, 4, 100));
        } else if (a == "--qrs-delay") {
            o.qrsDelay = static_cast<long>(Ranged(value(), a, 0, 100));
        } else if (a == "--qrs-polarity") {
            o.qrsPolarity = static_cast<long>(Ranged(value(), a, 0, 1));
        } else if (a == "--aout") {
            auto p = Pair(value(), a);
            if (p.second == 18) throw UsageError("--aout: lead code 18 names no lead row");
            if (p.second > 0xFFFF) throw UsageError("--aout: lead code out of range");
            o.aout.push_back({false, p});
        } else if (a == "--aout-level") {
            auto p = Pair(value(), a);
            if (p.second > 0xFFFF) throw UsageError("--aout-level: level out of range 0..65535");
            o.aout.push_back({true, p});
        } else if (a == "--debug-level") {
            o.debugLevel = static_cast<long>(Ranged(value(), a, 0, 5));
        } else if (!blocks && a == "--n") {
            o.n = static_cast<ULONG>(Ranged(value(), a, 1, 50));
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

// The settings, applied as the control requests apply them, in their fixed order.
void Apply(const Options& o) {
    velnor_filter_set_lpf(o.lpf);
    velnor_filter_set_hpf(o.hpf);
    velnor_filter_set_line_notch(o.notch);
    if (o.beep) SetFilterFlag(FILTER_QRS_BEEP);
    if (o.pacePatient) bPace = 1;
    const uint64_t f = o.samplingFreq;
    PacketReadSize = f == 200 ? 340 : f == 500 ? 136 : f == 1000 ? 68 : 34;
    if (o.qrsWidth >= 0) QrsOutWidth = static_cast<ULONG>(o.qrsWidth);
    if (o.qrsDelay >= 0) QrsOutDelay = static_cast<ULONG>(o.qrsDelay);
    if (o.qrsPolarity >= 0) QrsOutPolarity = o.qrsPolarity ? 255 : 0;
    for (const auto& [isLevel, cv] : o.aout) {
        const auto [channel, v] = cv;
        if (isLevel) {
            USHORT level = static_cast<USHORT>(v > 4095 ? 4095 : v);
            for (USHORT& e : AOutLevel[channel]) e = level;
            AOutFollowLead[channel] = 0;
        } else {
            ULONG index = (v >= 2 && v <= 18) ? static_cast<ULONG>(v - 2) : 8;
            AOutFollowLead[channel] = 0;
            if (index != 8) {
                AOutFollowLead[channel] = 1;
                AOutLead[channel] = static_cast<UCHAR>(index);
            }
        }
    }
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

// A buffered control request to one of the driver's handlers.
struct Request {
    PIRP irp;
    explicit Request(ULONG code, void* buffer, ULONG inLength, ULONG outLength) {
        irp = IoAllocateIrp(1, FALSE);
        if (!irp) throw std::runtime_error("out of request memory");
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = code;
        stack->Parameters.DeviceIoControl.InputBufferLength = inLength;
        stack->Parameters.DeviceIoControl.OutputBufferLength = outLength;
        irp->AssociatedIrp.SystemBuffer = buffer;
    }
    ~Request() { IoFreeIrp(irp); }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
};

std::ofstream OpenOutput(const std::string& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    return out;
}

void RunOut(DeviceExtension& ext, const std::vector<uint8_t>& input, const std::string& outPath, const Options& o) {
    std::ofstream out = OpenOutput(outPath);
    const size_t packets = input.size() / 34;
    const uint64_t k = o.inPerCall ? o.inPerCall : 2 * o.n;
    std::vector<uint8_t> slots(o.n * 13);
    for (size_t next = 0; next < packets;) {
        size_t take = std::min<uint64_t>(k, packets - next);
        StorePackets(ext.IsoPacketRingBuffer, input.data() + next * 34, take * 34);
        next += take;
        Velnor_ReadPacket(&ext, o.n);
        std::fill(slots.begin(), slots.end(), 0);
        FormatIsoOutPackets(slots.data(), o.n, 13);
        out.write(reinterpret_cast<const char*>(slots.data()), static_cast<std::streamsize>(slots.size()));
    }
    if (!out) throw std::runtime_error("cannot write " + outPath);
}

void RunBlocks(DeviceExtension& ext, const std::vector<uint8_t>& input, const std::string& blkPath,
               const std::string& keysPath, const Options& o) {
    std::ofstream blk = OpenOutput(blkPath);
    std::ofstream keys = OpenOutput(keysPath);
    ElectrodeReference = o.electrodeReference;
    PaceThresh = static_cast<USHORT>(o.paceThresh);
    AcqModuleConnected = 1;
    Velnor_KeypadFlush(&ext);
    const size_t unit = static_cast<size_t>(PacketReadSize) * static_cast<size_t>(o.nSamples);
    const ULONG bufferBytes = static_cast<ULONG>(2 * (o.nChannels + 1) * o.nSamples + 4);
    std::vector<uint16_t> buffer((bufferBytes + 1) / 2);

    auto block = [&] {
        std::fill(buffer.begin(), buffer.end(), 0);
        buffer[0] = 0;
        buffer[1] = static_cast<uint16_t>(o.nSamples);
        buffer[2] = static_cast<uint16_t>(o.nChannels);
        Request read(IOCTL_VELNOR_READ_ISO_BUFFER, buffer.data(), bufferBytes, bufferBytes);
        NTSTATUS status = Velnor_ReadBlock(&ext, read.irp);
        if (!NT_SUCCESS(status))
            throw UsageError("the driver refused the block request (status 0x" + [&] {
                char s[16];
                std::snprintf(s, sizeof s, "%08X", static_cast<unsigned>(status));
                return std::string(s);
            }() + "): --nchannels exceeds the channels --electrode-reference selects");
        uint32_t length = static_cast<uint32_t>(read.irp->IoStatus.Information);
        PutU32(blk, length);
        blk.write(reinterpret_cast<const char*>(buffer.data()), length);

        uint32_t keyBuffer[16] = {16};
        Request get(IOCTL_VELNOR_KEYPAD_GETKEY, keyBuffer, 4, sizeof keyBuffer);
        Velnor_GetKey(&ext, get.irp);
        uint32_t m = static_cast<uint32_t>(get.irp->IoStatus.Information / 4);
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

        // The state of a driver just loaded with its device just created.
        DebugLevel = o.debugLevel >= 0 ? o.debugLevel : 0;
        DeviceExtension ext{};
        struct Rings {
            DeviceExtension& ext;
            ~Rings() {
                if (ext.IsoPacketRingBuffer) FreeRingBuffer(ext.IsoPacketRingBuffer);
                if (ext.DataRingBuffer) FreeRingBuffer(ext.DataRingBuffer);
            }
        } rings{ext};
        ext.IsoPacketRingBuffer = AllocRingBuffer(20000);
        ext.DataRingBuffer = AllocRingBuffer(680000);
        if (!ext.IsoPacketRingBuffer || !ext.DataRingBuffer) throw std::runtime_error("out of memory for the rings");
        velnor_filter_load_defaults();
        LoadOutputDefaults();
        Apply(o);
        if (blocks)
            RunBlocks(ext, input, args[2], args[3], o);
        else
            RunOut(ext, input, args[2], o);
        return 0;
    } catch (const UsageError& e) {
        std::fprintf(stderr, "velnor-replay: %s\n%s", e.what(), kUsage);
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velnor-replay: %s\n", e.what());
        return 1;
    }
}
