// Shared by the fuzzers: the host kernel with velnor registered for the
// simulated module, a reader that turns the fuzzer's bytes into decisions,
// and checks that abort, so libFuzzer reports a broken invariant as a crash
// and keeps the input that caused it. The verifier's own findings abort too
// (its default handler).
#pragma once

#include "core/device_extension.h"
#include "velnor/velnor_ioctl.h"

#include <hostkernel/hostkernel.h>
#include <hostkernel/pnp.h>
#include <velnor_sim/acquisition_module.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace velnor_fuzz {

[[noreturn]] inline void Fail(const char* check, const char* file, int line) {
    std::fprintf(stderr, "*** FUZZ CHECK FAILED: %s (%s:%d)\n", check, file, line);
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_REQUIRE(cond) \
    do {                   \
        if (!(cond)) ::velnor_fuzz::Fail(#cond, __FILE__, __LINE__); \
    } while (0)

constexpr std::u16string_view kHardwareId = u"USB\\VID_1209&PID_7E1A";
constexpr std::u16string_view kService = u"Velnor";
constexpr char kDevicePath[] = "\\\\.\\Velnor-0";

// The fuzzer's bytes, consumed front to back; past the end every read is 0,
// so a short input still decodes to a complete (if dull) sequence.
class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    size_t Left() const { return Empty() ? 0 : size_ - pos_; }
    uint8_t U8() { return Empty() ? 0 : data_[pos_++]; }
    uint16_t U16() { return static_cast<uint16_t>(U8() | U8() << 8); }
    uint32_t U32() { return static_cast<uint32_t>(U16() | static_cast<uint32_t>(U16()) << 16); }
    // `n` bytes: as many as are left, then zeros.
    void Fill(uint8_t* out, size_t n) {
        const size_t take = std::min(n, Left());
        if (take) std::memcpy(out, data_ + pos_, take);
        if (n > take) std::memset(out + take, 0, n - take);
        pos_ += take;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Every control code of the driver's interface.
inline constexpr std::array<uint32_t, 44> kPublicCodes = {
    IOCTL_VELNOR_SET_HPF, IOCTL_VELNOR_SET_LPF, IOCTL_VELNOR_SET_NTCH, IOCTL_VELNOR_ENABLE_QRSBeep,
    IOCTL_VELNOR_DISABLE_QRSBeep, IOCTL_VELNOR_SET_QRSOutWidth, IOCTL_VELNOR_SET_QRSOutDelay,
    IOCTL_VELNOR_SET_QRSOutPol, IOCTL_VELNOR_GET_PaceThresh, IOCTL_VELNOR_SET_PaceThresh, IOCTL_VELNOR_SETLEAD_AOut,
    IOCTL_VELNOR_WRITE_AOut, IOCTL_VELNOR_GET_DRV_REV, IOCTL_VELNOR_SET_SAMPLINGFREQ, IOCTL_VELNOR_SET_PACE_ELECTRODE,
    IOCTL_VELNOR_SET_ELECTRODE_REFERENCE, IOCTL_VELNOR_ENABLE, IOCTL_VELNOR_DISABLE, IOCTL_VELNOR_KEYPAD_FLUSH,
    IOCTL_VELNOR_READ_RINGBUFFER, IOCTL_VELNOR_KEYPAD_GETKEY, IOCTL_VELNOR_SET_PacePatient,
    IOCTL_Velnor_GET_PIPE_INFO, IOCTL_Velnor_GET_DEVICE_DESCRIPTOR, IOCTL_Velnor_GET_CONFIGURATION_DESCRIPTOR,
    IOCTL_Velnor_VENDOR_REQUEST, IOCTL_Velnor_GET_CURRENT_CONFIG, IOCTL_Velnor_FIRMWARE_DOWNLOAD, IOCTL_Velnor_RESET,
    IOCTL_Velnor_RESETPIPE, IOCTL_Velnor_ABORTPIPE, IOCTL_Velnor_SETINTERFACE, IOCTL_Velnor_GET_STRING_DESCRIPTOR,
    IOCTL_VELNOR_BULK_READ, IOCTL_VELNOR_BULK_WRITE, IOCTL_VELNOR_GET_CURRENT_FRAME_NUMBER,
    IOCTL_VELNOR_VENDOR_OR_CLASS_REQUEST, IOCTL_VELNOR_GET_LAST_ERROR, IOCTL_VELNOR_FIRMWARE_DOWNLOAD,
    IOCTL_VELNOR_GET_DRIVER_VERSION, IOCTL_VELNOR_STOP_ISO_STREAM, IOCTL_VELNOR_READ_ISO_BUFFER,
    IOCTL_VELNOR_START_ISO_STREAM_IN, IOCTL_VELNOR_START_ISO_STREAM_OUT};

// Lets `ms` milliseconds of kernel time pass.
inline void RunFor(unsigned ms) {
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

inline size_t PoolBlocks() {
    size_t n = 0;
    for (const hk::PoolUsage& u : hk::OutstandingPool()) n += u.count;
    return n;
}

// The device answers the version request with the driver's version record.
inline void RequireVersionAnswer(hk::Handle handle) {
    DriverVersion version{};
    hk::IoResult r = hk::DeviceIoControl(handle, IOCTL_VELNOR_GET_DRIVER_VERSION, nullptr, 0, &version, sizeof version);
    FUZZ_REQUIRE(r.status == STATUS_SUCCESS);
    FUZZ_REQUIRE(r.information == sizeof version);
    static const DriverVersion first = version;  // every later answer is the same
    FUZZ_REQUIRE(std::memcmp(&version, &first, sizeof version) == 0);
}

// The log level is the input's to choose, mostly silent (the log's formatting
// and block dumps are code too, but printing every line costs more than the
// driver's work). Returns the level.
inline ULONG DebugLevelFor(uint8_t choice) { return (choice & 0xF0) == 0xF0 ? choice % 6u : 0u; }

// Ends every input: the lines it logged are dropped then, not at the start
// of the next one, so an input frees what it allocated and libFuzzer does
// not take the kept lines for a leak (each suspected leak costs a rerun of
// the input and a scan of the whole heap).
inline void EndInput() { hk::LogClear(); }

// Registers the linked-in driver for the module's hardware ID, once.
inline void RegisterVelnor() {
    static bool done = false;
    if (done) return;
    done = true;
    hk::pnp::RegisterDriver(kHardwareId, {std::u16string(kService), {}, DriverEntry});
}

// The module's device node; removing it leaves no driver loaded and no pool.
inline void RemoveAndRequireClean(std::unique_ptr<hk::pnp::UsbDevice>& device) {
    if (device && device->State() == hk::pnp::DeviceState::Started) device->Disable();
    device.reset();
    FUZZ_REQUIRE(hk::pnp::LoadedDriver(kService) == nullptr);
    FUZZ_REQUIRE(hk::OutstandingPool().empty());
}

}  // namespace velnor_fuzz
