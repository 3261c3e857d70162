// velnor-simbus.exe: drives the simulated USB bus from a test script.
//   velnor-simbus load FILE       play FILE (34-byte packets) from its start
//   velnor-simbus out FILE        append the OUT packets received since the last read
//   velnor-simbus plug | unplug
//   velnor-simbus status
//   velnor-simbus wait            until Plug and Play has started the module's device (30 s at most)
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "velnor_simbus.h"

namespace {

int Fail(const char* what) {
    std::fprintf(stderr, "velnor-simbus: %s failed (error %lu)\n", what, GetLastError());
    return 1;
}

bool Call(HANDLE bus, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* got) {
    return DeviceIoControl(bus, code, const_cast<void*>(in), inSize, out, outSize, got, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    const char* command = argc > 1 ? argv[1] : "";
    HANDLE bus = CreateFileA("\\\\.\\VelnorSimBus", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (bus == INVALID_HANDLE_VALUE) return Fail("opening \\\\.\\VelnorSimBus");
    DWORD got = 0;
    if (!std::strcmp(command, "load") && argc == 3) {
        std::ifstream f(argv[2], std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(f)), {});
        if (!f.good() && !f.eof()) return Fail("reading the packet file");
        if (!Call(bus, IOCTL_VELNOR_SIMBUS_LOAD_PACKETS, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, 0, &got))
            return Fail("load");
        std::printf("velnor-simbus: %zu packets loaded\n", bytes.size() / 34);
        return 0;
    }
    if (!std::strcmp(command, "out") && argc == 3) {
        std::vector<char> buffer(1 << 20);
        std::ofstream f(argv[2], std::ios::binary | std::ios::app);
        size_t total = 0;
        do {
            if (!Call(bus, IOCTL_VELNOR_SIMBUS_READ_OUT, nullptr, 0, buffer.data(), static_cast<DWORD>(buffer.size()), &got))
                return Fail("out");
            f.write(buffer.data(), got);
            total += got;
        } while (got > 0);
        std::printf("velnor-simbus: %zu bytes of OUT packets\n", total);
        return f.good() ? 0 : 1;
    }
    if ((!std::strcmp(command, "plug") || !std::strcmp(command, "unplug")) && argc == 2) {
        DWORD code = command[0] == 'p' ? IOCTL_VELNOR_SIMBUS_PLUG : IOCTL_VELNOR_SIMBUS_UNPLUG;
        return Call(bus, code, nullptr, 0, nullptr, 0, &got) ? 0 : Fail(command);
    }
    if (!std::strcmp(command, "wait") && argc == 2) {
        // Plug and Play binds the driver after the install returns, later on a busy machine.
        for (int i = 0; i < 600; ++i) {
            HANDLE device = CreateFileA("\\\\.\\Velnor-0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (device != INVALID_HANDLE_VALUE) {
                CloseHandle(device);
                std::printf("velnor-simbus: the device is there\n");
                return 0;
            }
            Sleep(50);
        }
        return Fail("waiting for \\\\.\\Velnor-0");
    }
    if (!std::strcmp(command, "status") && argc == 2) {
        VelnorSimBusStatus s{};
        if (!Call(bus, IOCTL_VELNOR_SIMBUS_STATUS, nullptr, 0, &s, sizeof s, &got)) return Fail("status");
        std::printf("present %u child %u frame %u loaded %u sent %u in-slots %u out-slots %u control %u "
                    "out-bytes %u alternate %u\n",
                    s.present, s.childExists, s.frame, s.packetsLoaded, s.packetsSent, s.inSlots, s.outSlots,
                    s.controlRequests, s.recordBytes, s.alternateSetting);
        return 0;
    }
    std::fprintf(stderr, "usage: velnor-simbus load FILE | out FILE | plug | unplug | status | wait\n");
    return 2;
}
