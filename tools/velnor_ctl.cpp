// velnor-ctl: looks at the velnor device and sends it control requests, with
// nothing but Win32 calls and the control header, so the same file builds
// for Windows and for Linux (against the host layer).
//
//   velnor-ctl info                       descriptors, strings, pipes, driver version
//   velnor-ctl list                       the 44 control codes
//   velnor-ctl send NAME|0xCODE [--in HEX] [--u16 N] [--u32 N] [--out N]
//   velnor-ctl block [--samples N] [--channels C]
//
// `send` builds the input from --in, --u16 and --u32 in the order given
// (numbers little-endian) and prints the reply bytes and the Win32 error.
#include <windows.h>

#include "velnor/velnor_ioctl.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

std::string ErrorText(DWORD error) {
    char text[512] = "";
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                        nullptr, error, 0, text, sizeof text, nullptr))
        return "no message";
    std::string s = text;
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
    return s;
}

void PrintFailure(const char* what, DWORD error) {
    std::printf("%s: failed: error %lu (%s)\n", what, static_cast<unsigned long>(error), ErrorText(error).c_str());
}

void HexDump(const unsigned char* data, size_t n) {
    for (size_t row = 0; row < n; row += 16) {
        std::printf("  %04zx ", row);
        for (size_t i = row; i < row + 16; ++i) i < n ? std::printf(" %02x", data[i]) : std::printf("   ");
        std::printf("  ");
        for (size_t i = row; i < row + 16 && i < n; ++i) std::putchar(std::isprint(data[i]) ? data[i] : '.');
        std::printf("\n");
    }
}

uint16_t U16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const unsigned char* p) { return U16(p) | static_cast<uint32_t>(U16(p + 2)) << 16; }

struct Reply {
    bool ok = false;
    DWORD error = 0;
    Bytes data;  // the bytes returned (also for a warning such as ERROR_MORE_DATA)
};

Reply Call(HANDLE device, DWORD code, const Bytes& in, DWORD outSize) {
    Reply r;
    Bytes input = in;
    r.data.assign(outSize, 0);
    DWORD bytes = 0;
    r.ok = DeviceIoControl(device, code, input.empty() ? nullptr : input.data(), static_cast<DWORD>(input.size()),
                           r.data.empty() ? nullptr : r.data.data(), outSize, &bytes, nullptr) != 0;
    r.error = r.ok ? 0 : GetLastError();
    r.data.resize(r.ok || r.error == ERROR_MORE_DATA ? bytes : 0);
    return r;
}

HANDLE OpenDevice(const std::string& path) {
    HANDLE device =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE) PrintFailure(("CreateFile " + path).c_str(), GetLastError());
    return device;
}

// ---------------------------------------------------------------- codes
struct Code {
    DWORD value;
    const char* name;
};

// Every code the header names, found by asking it about each function
// number of both families.
std::vector<Code> AllCodes() {
    std::vector<Code> codes;
    for (uint32_t type : {VELNOR_DEVICE_TYPE_ACQ, VELNOR_DEVICE_TYPE_USB})
        for (uint32_t function = 0x800; function < 0x900; ++function)
            for (uint32_t method = 0; method < 4; ++method) {
                const uint32_t code = VELNOR_CTL_CODE(type, function, method);
                if (const char* name = VelnorIoctlName(code)) codes.push_back({code, name});
            }
    return codes;
}

bool SameText(const std::string& a, const std::string& b, bool anyCase) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (anyCase ? std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))
                    : a[i] != b[i])
            return false;
    return true;
}

bool ParseNumber(const std::string& text, uint64_t limit, uint64_t* value) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (*end || v > limit) return false;
    *value = v;
    return true;
}

// A name as the header spells it, with or without "IOCTL_VELNOR_" (an exact
// match first: two names differ only in case), or a number.
bool FindCode(const std::string& text, DWORD* code, std::string* name) {
    if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0]))) {
        uint64_t value = 0;
        if (!ParseNumber(text, 0xFFFFFFFFull, &value)) {
            std::fprintf(stderr, "velnor-ctl: \"%s\" is not a 32-bit code\n", text.c_str());
            return false;
        }
        *code = static_cast<DWORD>(value);
        const char* known = VelnorIoctlName(*code);
        *name = known ? known : "unnamed code";
        return true;
    }
    for (bool anyCase : {false, true}) {
        std::vector<Code> found;
        for (const Code& c : AllCodes()) {
            const std::string full = c.name;
            if (SameText(text, full, anyCase) || SameText(text, full.substr(13), anyCase)) found.push_back(c);
        }
        if (found.size() == 1) {
            *code = found[0].value;
            *name = found[0].name;
            return true;
        }
        if (found.size() > 1) {
            std::fprintf(stderr, "velnor-ctl: \"%s\" names %zu codes; spell it as the header does:", text.c_str(),
                         found.size());
            for (const Code& c : found) std::fprintf(stderr, " %s", c.name);
            std::fprintf(stderr, "\n");
            return false;
        }
    }
    std::fprintf(stderr, "velnor-ctl: no control code \"%s\" (velnor-ctl list shows them)\n", text.c_str());
    return false;
}

// "01 02 ff", "0102ff" or "01:02:ff".
bool ParseHex(const std::string& text, Bytes* out) {
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
        else if (c != ' ' && c != ':' && c != ',' && c != '-') return false;
    }
    if (digits.size() % 2) return false;
    for (size_t i = 0; i < digits.size(); i += 2) out->push_back(static_cast<unsigned char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return true;
}

// ---------------------------------------------------------------- info
const char* EndpointType(unsigned attributes) {
    static const char* const names[] = {"control", "isochronous", "bulk", "interrupt"};
    return names[attributes & 3];
}

std::string StringDescriptor(HANDLE device, uint8_t index, bool* ok) {
    const StringDescriptorInput request{index, 0, 0x0409};
    Bytes in(reinterpret_cast<const unsigned char*>(&request), reinterpret_cast<const unsigned char*>(&request) + 4);
    Reply r = Call(device, IOCTL_Velnor_GET_STRING_DESCRIPTOR, in, 256);
    if (!r.ok) {
        *ok = false;
        return "(error " + std::to_string(r.error) + ": " + ErrorText(r.error) + ")";
    }
    if (r.data.size() < 2 || r.data[1] != 3) return "(not a string descriptor)";
    std::string s;
    const size_t end = std::min<size_t>(r.data[0], r.data.size());
    for (size_t i = 2; i + 1 < end; i += 2) {
        const unsigned c = U16(&r.data[i]);
        s += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return "\"" + s + "\"";
}

void DecodeConfiguration(const Bytes& d) {
    for (size_t at = 0; at + 2 <= d.size() && d[at] >= 2; at += d[at]) {
        const unsigned char* p = &d[at];
        const size_t length = std::min<size_t>(p[0], d.size() - at);
        if (p[1] == 2 && length >= 9)
            std::printf("  configuration %u: %u interface(s), total %u bytes, attributes 0x%02X, max power %u mA\n", p[5],
                        p[4], U16(p + 2), p[7], p[8] * 2u);
        else if (p[1] == 4 && length >= 9)
            std::printf("  interface %u setting %u: class 0x%02X/0x%02X/0x%02X, %u endpoint(s)\n", p[2], p[3], p[5], p[6],
                        p[7], p[4]);
        else if (p[1] == 5 && length >= 7)
            std::printf("    endpoint 0x%02X %s %s, max packet %u, interval %u\n", p[2], p[2] & 0x80 ? "IN" : "OUT",
                        EndpointType(p[3]), U16(p + 4) & 0x7FF, p[6]);
        else
            std::printf("  descriptor type 0x%02X, %u bytes\n", p[1], p[0]);
    }
}

// The reply is the driver's interface record, x64 layout: 24 header bytes
// (length, number, setting, class triple, handle, pipe count), then 24 per pipe.
void DecodePipes(const Bytes& d) {
    if (d.size() < 24) {
        HexDump(d.data(), d.size());
        return;
    }
    const uint32_t pipes = U32(&d[16]);
    std::printf("  interface %u setting %u, class 0x%02X, %u pipe(s)\n", d[2], d[3], d[4], pipes);
    for (uint32_t i = 0; i < pipes && 24 + 24 * (i + 1) <= d.size(); ++i) {
        const unsigned char* p = &d[24 + 24 * i];
        static const char* const types[] = {"control", "isochronous", "bulk", "interrupt"};
        std::printf("  pipe %u: endpoint 0x%02X %s %s, max packet %u, interval %u, max transfer 0x%X\n", i, p[2],
                    p[2] & 0x80 ? "IN" : "OUT", U32(p + 4) < 4 ? types[U32(p + 4)] : "?", U16(p), p[3], U32(p + 16));
    }
}

int Info(const std::string& path) {
    HANDLE device = OpenDevice(path);
    if (device == INVALID_HANDLE_VALUE) return 1;
    bool ok = true;
    std::printf("device %s\n", path.c_str());

    Reply version = Call(device, IOCTL_VELNOR_GET_DRIVER_VERSION, {}, sizeof(DriverVersion));
    Reply revision = Call(device, IOCTL_VELNOR_GET_DRV_REV, {}, 4);
    if (version.ok && version.data.size() >= 6) {
        std::printf("driver version %u.%u.%u\n", U16(&version.data[0]), U16(&version.data[2]), U16(&version.data[4]));
    } else {
        PrintFailure("driver version", version.error);
        ok = false;
    }
    if (revision.ok && revision.data.size() >= 4) {
        std::printf("driver revision 0x%08X\n", static_cast<unsigned>(U32(&revision.data[0])));
    } else {
        PrintFailure("driver revision", revision.error);
        ok = false;
    }

    Reply dd = Call(device, IOCTL_Velnor_GET_DEVICE_DESCRIPTOR, {}, 18);
    if (dd.ok && dd.data.size() >= 18) {
        const unsigned char* d = dd.data.data();
        std::printf("device descriptor:\n  USB %x.%02x, class 0x%02X/0x%02X/0x%02X, control packet %u\n", d[3], d[2], d[4],
                    d[5], d[6], d[7]);
        std::printf("  vendor 0x%04X, product 0x%04X, release %x.%02x, %u configuration(s)\n", U16(d + 8), U16(d + 10),
                    d[13], d[12], d[17]);
        const char* roles[] = {"manufacturer", "product", "serial number"};
        for (int i = 0; i < 3; ++i)
            if (d[14 + i]) std::printf("  %s (string %u): %s\n", roles[i], d[14 + i], StringDescriptor(device, d[14 + i], &ok).c_str());
    } else {
        PrintFailure("device descriptor", dd.error);
        ok = false;
    }

    Reply cd = Call(device, IOCTL_Velnor_GET_CONFIGURATION_DESCRIPTOR, {}, 4096);
    if (cd.ok) {
        std::printf("configuration descriptor (%zu bytes):\n", cd.data.size());
        DecodeConfiguration(cd.data);
    } else {
        PrintFailure("configuration descriptor", cd.error);
        ok = false;
    }

    Reply pipes = Call(device, IOCTL_Velnor_GET_PIPE_INFO, {}, 4096);
    if (pipes.ok) {
        std::printf("pipes (%zu bytes):\n", pipes.data.size());
        DecodePipes(pipes.data);
    } else {
        PrintFailure("pipes", pipes.error);
        ok = false;
    }
    CloseHandle(device);
    return ok ? 0 : 1;
}

// ---------------------------------------------------------------- send
int Send(const std::string& path, DWORD code, const std::string& name, const Bytes& in, DWORD outSize) {
    HANDLE device = OpenDevice(path);
    if (device == INVALID_HANDLE_VALUE) return 1;
    std::printf("%s (0x%08lX): %zu byte(s) in, %lu out\n", name.c_str(), static_cast<unsigned long>(code), in.size(),
                static_cast<unsigned long>(outSize));
    Reply r = Call(device, code, in, outSize);
    CloseHandle(device);
    if (r.ok)
        std::printf("ok: %zu byte(s) returned\n", r.data.size());
    else
        std::printf("failed: error %lu (%s)%s\n", static_cast<unsigned long>(r.error), ErrorText(r.error).c_str(),
                    r.error == ERROR_MORE_DATA ? (", " + std::to_string(r.data.size()) + " byte(s) returned").c_str() : "");
    HexDump(r.data.data(), r.data.size());
    return r.ok ? 0 : 1;
}

// ---------------------------------------------------------------- block
void PrintStatus(unsigned status) {
    static const struct {
        unsigned bit;
        const char* name;
    } flags[] = {{VELNOR_STATUS_SYNC_ERROR, "sync error"},       {VELNOR_STATUS_SEQUENCE_ERRORS, "sequence errors"},
                 {VELNOR_STATUS_CHECKSUM_ERRORS, "checksum errors"}, {VELNOR_STATUS_NO_DATA, "no data"},
                 {VELNOR_STATUS_PACE, "pace"},                     {VELNOR_STATUS_FIFO_FULL, "FIFO full"},
                 {VELNOR_STATUS_LEAD_FAIL, "lead fail"}};
    std::printf("packet status 0x%04X", status);
    for (const auto& f : flags)
        if (status & f.bit) std::printf(" [%s]", f.name);
    std::printf("\n");
}

int Block(const std::string& path, int samples, int channels) {
    HANDLE device = OpenDevice(path);
    if (device == INVALID_HANDLE_VALUE) return 1;
    int result = 1;
    // The recommended IN stream (docs/simulated-module.md): pipe 0, 108-byte
    // packets, 4 per transfer, 4 transfers.
    const IsoStreamRequest stream = {0, 108, 64, 4, 4};
    Bytes start(reinterpret_cast<const unsigned char*>(&stream), reinterpret_cast<const unsigned char*>(&stream) + sizeof stream);
    Reply started = Call(device, IOCTL_VELNOR_START_ISO_STREAM_IN, start, 0);
    if (!started.ok) {
        PrintFailure("IOCTL_VELNOR_START_ISO_STREAM_IN", started.error);
        CloseHandle(device);
        return 1;
    }
    Reply enabled = Call(device, IOCTL_VELNOR_ENABLE, {}, 0);
    if (!enabled.ok) PrintFailure("IOCTL_VELNOR_ENABLE", enabled.error);

    const BlockRequest request = {0, static_cast<int16_t>(samples), static_cast<int16_t>(channels)};
    Bytes in(reinterpret_cast<const unsigned char*>(&request), reinterpret_cast<const unsigned char*>(&request) + sizeof request);
    Reply block = Call(device, IOCTL_VELNOR_READ_ISO_BUFFER, in, VelnorBlockReplyBytes(samples, channels));
    if (!block.ok) {
        PrintFailure("IOCTL_VELNOR_READ_ISO_BUFFER", block.error);
    } else if (block.data.size() == VELNOR_ERROR_BLOCK_BYTES) {
        std::printf("error block: code 0x%04X, ", U16(&block.data[0]));
        PrintStatus(U16(&block.data[2]));
    } else if (block.data.size() == VelnorBlockReplyBytes(samples, channels)) {
        auto word = [&](size_t row, size_t s) { return static_cast<int16_t>(U16(&block.data[2 * (row * samples + s)])); };
        std::printf("block of %d sample(s) x %d channel(s), signal words:\n", samples, channels);
        for (int row = 0; row <= channels; ++row) {
            std::printf(row < channels ? "  row %2d:" : "  pace  :", row);
            for (int s = 0; s < samples; ++s) std::printf(" %d", word(row, s));
            std::printf("\n");
        }
        std::printf("electrode status 0x%04X, ", U16(&block.data[block.data.size() - 4]));
        PrintStatus(U16(&block.data[block.data.size() - 2]));
        result = 0;
    } else {
        std::printf("unexpected reply of %zu bytes:\n", block.data.size());
        HexDump(block.data.data(), block.data.size());
    }
    Reply stopped = Call(device, IOCTL_VELNOR_STOP_ISO_STREAM, {}, 0);
    if (!stopped.ok) {
        PrintFailure("IOCTL_VELNOR_STOP_ISO_STREAM", stopped.error);
        result = 1;
    }
    CloseHandle(device);
    return result;
}

// The input in the order the options were given.
bool BuildInput(const std::vector<CLI::Option*>& order, const CLI::Option* hexOption, const std::vector<std::string>& hex,
                const CLI::Option* u16Option, const std::vector<std::string>& u16s, const CLI::Option* u32Option,
                const std::vector<std::string>& u32s, Bytes* in) {
    size_t next[3] = {0, 0, 0};
    for (const CLI::Option* option : order) {
        if (option == hexOption) {
            const std::string& text = hex[next[0]++];
            if (!ParseHex(text, in)) {
                std::fprintf(stderr, "velnor-ctl: --in \"%s\" is not hex bytes\n", text.c_str());
                return false;
            }
        } else if (option == u16Option || option == u32Option) {
            const bool wide = option == u32Option;
            const std::string& text = wide ? u32s[next[2]++] : u16s[next[1]++];
            uint64_t v = 0;
            if (!ParseNumber(text, wide ? 0xFFFFFFFFull : 0xFFFFull, &v)) {
                std::fprintf(stderr, "velnor-ctl: \"%s\" is not a %d-bit number\n", text.c_str(), wide ? 32 : 16);
                return false;
            }
            for (int i = 0; i < (wide ? 4 : 2); ++i) in->push_back(static_cast<unsigned char>(v >> (8 * i)));
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"velnor-ctl: the velnor device's descriptors, control requests and a block of samples"};
    app.require_subcommand(1);
    std::string path = VELNOR_USER_DEVICE_PATH;
    app.add_option("--device", path, "device path")->capture_default_str();

    app.add_subcommand("info", "descriptors, strings, pipes, driver version and revision");
    app.add_subcommand("list", "the control codes by name");

    CLI::App* send = app.add_subcommand("send", "send one control request and print the reply");
    std::string codeText;
    std::vector<std::string> hex, u16s, u32s;
    uint32_t outSize = 256;
    send->add_option("code", codeText, "a code's name (IOCTL_VELNOR_ prefix optional) or its value (0x...)")->required();
    // One value per occurrence, so the input keeps the order of the options.
    CLI::Option* hexOption = send->add_option("--in", hex, "input bytes in hex (\"01 02 ff\")")->allow_extra_args(false);
    CLI::Option* u16Option = send->add_option("--u16", u16s, "a 16-bit number for the input")->allow_extra_args(false);
    CLI::Option* u32Option = send->add_option("--u32", u32s, "a 32-bit number for the input")->allow_extra_args(false);
    send->add_option("--out", outSize, "output buffer size in bytes")->capture_default_str();

    CLI::App* block = app.add_subcommand("block", "start the IN stream, read one block, print it, stop");
    int samples = 20, channels = 7;
    block->add_option("--samples", samples, "samples per channel")->capture_default_str()->check(CLI::Range(1, 2000));
    block->add_option("--channels", channels, "channel rows (the driver's electrode selection, 7 by default)")
        ->capture_default_str()
        ->check(CLI::Range(0, 12));

    CLI11_PARSE(app, argc, argv);

    if (app.got_subcommand("info")) return Info(path);
    if (app.got_subcommand("list")) {
        for (const Code& c : AllCodes()) std::printf("0x%08lX  %s\n", static_cast<unsigned long>(c.value), c.name);
        return 0;
    }
    if (app.got_subcommand("block")) return Block(path, samples, channels);

    DWORD code = 0;
    std::string name;
    if (!FindCode(codeText, &code, &name)) return 2;
    Bytes in;
    if (!BuildInput(send->parse_order(), hexOption, hex, u16Option, u16s, u32Option, u32s, &in)) return 2;
    return Send(path, code, name, in, outSize);
}
