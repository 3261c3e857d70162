// velnor-blocks.exe: the acquisition path of an application, from Win32
// calls, writing what it reads in velnor-replay's block and key formats so a
// run on Windows (Wine) compares byte for byte with velnor-replay on the same
// packet file and settings (velnor-replay's defaults: 100 Hz low-pass,
// 0.01 Hz high-pass, 50 Hz line canceller, 2000 samples/s, electrodes 0xFF,
// pace threshold 4).
//   velnor-blocks N OUT.blk OUT.keys [SAMPLES CHANNELS]
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "velnor/velnor_ioctl.h"

namespace {

HANDLE device = INVALID_HANDLE_VALUE;

bool Control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* got, const char* name) {
    DWORD ignored = 0;
    if (DeviceIoControl(device, code, const_cast<void*>(in), inSize, out, outSize, got ? got : &ignored, nullptr)) return true;
    std::fprintf(stderr, "velnor-blocks: %s failed (error %lu)\n", name, GetLastError());
    return false;
}
template <typename T>
bool Set(DWORD code, T value, const char* name) { return Control(code, &value, sizeof value, nullptr, 0, nullptr, name); }

void PutU32(std::ofstream& out, uint32_t v) {
    const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    out.write(b, 4);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 6) {
        std::fprintf(stderr, "usage: velnor-blocks N OUT.blk OUT.keys [SAMPLES CHANNELS]\n");
        return 2;
    }
    const int blocks = std::atoi(argv[1]);
    const uint32_t samples = argc == 6 ? std::atoi(argv[4]) : 200, channels = argc == 6 ? std::atoi(argv[5]) : 7;
    std::ofstream blk(argv[2], std::ios::binary), keys(argv[3], std::ios::binary);
    device = CreateFileA("\\\\.\\Velnor-0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "velnor-blocks: cannot open \\\\.\\Velnor-0 (error %lu)\n", GetLastError());
        return 1;
    }
    bool ok = Set<ULONG>(IOCTL_VELNOR_SET_LPF, LPF_FILTER_100, "SET_LPF") && Set<ULONG>(IOCTL_VELNOR_SET_HPF, HPF_FILTER_01, "SET_HPF") &&
              Set<ULONG>(IOCTL_VELNOR_SET_NTCH, 50, "SET_NTCH") && Set<ULONG>(IOCTL_VELNOR_SET_SAMPLINGFREQ, 2000, "SET_SAMPLINGFREQ") &&
              Set<ULONG>(IOCTL_VELNOR_SET_ELECTRODE_REFERENCE, 0xFF, "SET_ELECTRODE_REFERENCE") &&
              Set<USHORT>(IOCTL_VELNOR_SET_PaceThresh, 4, "SET_PaceThresh");
    // The recommended IN stream: pipe 0, 108-byte slots, 4 per transfer, 4 transfers.
    // The OUT stream drains the packet ring the IN stream also fills; without
    // it the IN stream stops on overflow after a few hundred milliseconds.
    const IsoStreamRequest stream = {0, 108, 64, 4, 4}, out = {1, 16, 64, 5, 4};
    ok = ok && Control(IOCTL_VELNOR_START_ISO_STREAM_IN, &stream, sizeof stream, nullptr, 0, nullptr, "START_ISO_STREAM_IN") &&
         Control(IOCTL_VELNOR_ENABLE, nullptr, 0, nullptr, 0, nullptr, "ENABLE") &&
         Control(IOCTL_VELNOR_START_ISO_STREAM_OUT, &out, sizeof out, nullptr, 0, nullptr, "START_ISO_STREAM_OUT") &&
         Control(IOCTL_VELNOR_KEYPAD_FLUSH, nullptr, 0, nullptr, 0, nullptr, "KEYPAD_FLUSH");
    const DWORD replyBytes = VelnorBlockReplyBytes(samples, channels);
    std::vector<uint16_t> buffer((replyBytes + 1) / 2);
    for (int b = 0; ok && b < blocks; ++b) {
        std::fill(buffer.begin(), buffer.end(), 0);
        buffer[1] = static_cast<uint16_t>(samples);
        buffer[2] = static_cast<uint16_t>(channels);
        DWORD got = 0;
        ok = Control(IOCTL_VELNOR_READ_ISO_BUFFER, buffer.data(), replyBytes, buffer.data(), replyBytes, &got, "READ_ISO_BUFFER");
        if (!ok) break;
        PutU32(blk, got);
        blk.write(reinterpret_cast<const char*>(buffer.data()), got);
        uint32_t keyBuffer[VELNOR_KEY_QUEUE_LENGTH] = {VELNOR_KEY_QUEUE_LENGTH};
        ok = Control(IOCTL_VELNOR_KEYPAD_GETKEY, keyBuffer, 4, keyBuffer, sizeof keyBuffer, &got, "KEYPAD_GETKEY");
        PutU32(keys, got / 4);
        for (uint32_t i = 0; i < got / 4; ++i) PutU32(keys, keyBuffer[i]);
    }
    // Disabling succeeds once the IN stream has let go, a few frames after the stop.
    DWORD bytes = 0;
    DeviceIoControl(device, IOCTL_VELNOR_DISABLE, nullptr, 0, nullptr, 0, &bytes, nullptr);
    ok = Control(IOCTL_VELNOR_STOP_ISO_STREAM, nullptr, 0, nullptr, 0, nullptr, "STOP_ISO_STREAM") && ok;
    bool disabled = false;
    for (int i = 0; i < 100 && !disabled; ++i) {
        disabled = DeviceIoControl(device, IOCTL_VELNOR_DISABLE, nullptr, 0, nullptr, 0, &bytes, nullptr);
        if (!disabled) Sleep(1);
    }
    if (!disabled) std::fprintf(stderr, "velnor-blocks: the IN stream did not stop\n");
    ok = ok && disabled;
    CloseHandle(device);
    if (ok) std::printf("velnor-blocks: %d block(s) of %lu x %lu\n", blocks, static_cast<unsigned long>(samples), static_cast<unsigned long>(channels));
    return ok && blk && keys ? 0 : 1;
}
