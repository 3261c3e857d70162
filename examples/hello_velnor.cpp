// hello_velnor: opens the velnor device, asks for the driver's version and
// the module's USB device descriptor, and closes the device again. Exits 0
// when every step worked, 1 otherwise.
//
// The same file builds for Windows and, against the host layer, for Linux:
//   x86_64-w64-mingw32-g++ -std=c++20 -Iinclude examples/hello_velnor.cpp -o hello_velnor.exe -static
//   g++ -std=c++20 -Iinclude -Iwin32/include examples/hello_velnor.cpp build/libvelnor-win32.a -lpthread -ldl -o hello_velnor
#include <windows.h>

#include "velnor/velnor_ioctl.h"

#include <cstdio>
#include <cstring>

namespace {

// "what failed: error N (the system's text)"
void PrintError(const char* what) {
    const DWORD error = GetLastError();
    char text[256] = "";
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                       nullptr, error, 0, text, sizeof text, nullptr)) {
        size_t n = std::strlen(text);
        while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\r' || text[n - 1] == '\n')) text[--n] = 0;
    }
    std::printf("%s failed: error %lu (%s)\n", what, static_cast<unsigned long>(error), text);
}

bool ShowDriverVersion(HANDLE device) {
    DriverVersion version{};
    DWORD bytes = 0;
    if (!DeviceIoControl(device, IOCTL_VELNOR_GET_DRIVER_VERSION, nullptr, 0, &version, sizeof version, &bytes,
                         nullptr)) {
        PrintError("IOCTL_VELNOR_GET_DRIVER_VERSION");
        return false;
    }
    if (bytes < sizeof version) {
        std::printf("IOCTL_VELNOR_GET_DRIVER_VERSION: short reply (%lu bytes)\n", static_cast<unsigned long>(bytes));
        return false;
    }
    std::printf("driver version %u.%u.%u\n", version.MajorVersion, version.MinorVersion, version.BuildVersion);
    return true;
}

bool ShowDeviceDescriptor(HANDLE device) {
    unsigned char d[18] = {};
    DWORD bytes = 0;
    if (!DeviceIoControl(device, IOCTL_Velnor_GET_DEVICE_DESCRIPTOR, nullptr, 0, d, sizeof d, &bytes, nullptr)) {
        PrintError("IOCTL_Velnor_GET_DEVICE_DESCRIPTOR");
        return false;
    }
    if (bytes < sizeof d) {
        std::printf("IOCTL_Velnor_GET_DEVICE_DESCRIPTOR: short reply (%lu bytes)\n", static_cast<unsigned long>(bytes));
        return false;
    }
    std::printf("device descriptor: USB %x.%02x, vendor 0x%04X, product 0x%04X, release %x.%02x, %u configuration(s)\n",
                d[3], d[2], d[8] | d[9] << 8, d[10] | d[11] << 8, d[13], d[12], d[17]);
    return true;
}

}  // namespace

int main() {
    HANDLE device = CreateFileA(VELNOR_USER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        PrintError("CreateFile " VELNOR_USER_DEVICE_PATH);
        return 1;
    }
    std::printf("opened %s\n", VELNOR_USER_DEVICE_PATH);
    bool ok = ShowDriverVersion(device);
    ok = ShowDeviceDescriptor(device) && ok;
    if (!CloseHandle(device)) {
        PrintError("CloseHandle");
        return 1;
    }
    std::printf("closed\n");
    return ok ? 0 : 1;
}
