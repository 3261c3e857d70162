// Test support for the Win32 layer: what a test written on the
// application's side (<windows.h>) needs from the kernel's side, in plain
// types, since no translation unit sees both headers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace win32_test {

// A driver of its own, for statuses the velnor driver cannot be made to
// return: \\.\VelnorStatus completes kReturnStatus and kReturnStatusRead
// (both buffered; the second requires read access) with the status its
// StatusRequest input names, after writing `information` bytes of 0xA5
// (at most the output's length) and reporting them as Information.
constexpr uint32_t kReturnStatus = 0x00222400;      // CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)
constexpr uint32_t kReturnStatusRead = 0x00226404;  // CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_READ_ACCESS)
constexpr uint8_t kFill = 0xA5;
struct StatusRequest {
    uint32_t status;
    uint32_t information;
};
void LoadStatusDriver();  // once per process

// Holds a key (1 to 3) of the simulated module down from now for `seconds`
// of kernel time.
void PressKey(int key, double seconds);

// The device going away (tests/control_interface_kernel_side.cpp): pulls the
// simulated module's plug, names the device node's state ("Started",
// "SurpriseRemoved", "Removed", ...), and plugs a new module in once the
// removal has finished.
void UnplugModule();
const char* DeviceState();
void PlugNewModule();

// The SDK's test, kernel side (tests/sdk_kernel_side.cpp): the signal
// settings the driver holds, the module's packets and its analog outputs.
struct DriverFilters {
    std::array<float, 3> highPass;
    std::array<float, 16> lowPass;
    float mainsCosine;  // the line canceller's frequency
    bool mainsOn;
    bool operator==(const DriverFilters&) const = default;
};
DriverFilters ReadDriverFilters();
// The first of the module's packets whose LA and LL words are la[j] and
// ll[j] at packets k, k + stride, ...; -1 when none of the recent ones is.
int64_t FindModulePacket(const int16_t* la, const int16_t* ll, size_t n, int stride);
std::array<uint16_t, 17> ModulePacket(uint64_t k);
std::array<uint16_t, 4> LatestAnalogOutputs();  // of the last output packet the module took

}  // namespace win32_test
