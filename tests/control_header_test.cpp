// The shared control interface header: every code's value as the code table
// lists it and the name the driver logs for it. (Record layouts are checked
// at compile time in the header itself.)
#include "velnor/velnor_ioctl.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

struct Expected {
    uint32_t code;
    const char* name;
};

// The code table, as published to application writers.
const Expected kTable[] = {
    {0xBE002010, "IOCTL_VELNOR_SET_HPF"},
    {0xBE002014, "IOCTL_VELNOR_SET_LPF"},
    {0xBE002024, "IOCTL_VELNOR_SET_NTCH"},
    {0xBE002058, "IOCTL_VELNOR_ENABLE_QRSBeep"},
    {0xBE00205C, "IOCTL_VELNOR_DISABLE_QRSBeep"},
    {0xBE00206C, "IOCTL_VELNOR_SET_QRSOutWidth"},
    {0xBE002070, "IOCTL_VELNOR_SET_QRSOutDelay"},
    {0xBE002074, "IOCTL_VELNOR_SET_QRSOutPol"},
    {0xBE002078, "IOCTL_VELNOR_GET_PaceThresh"},
    {0xBE00207C, "IOCTL_VELNOR_SET_PaceThresh"},
    {0xBE00208C, "IOCTL_VELNOR_SETLEAD_AOut"},
    {0xBE002090, "IOCTL_VELNOR_WRITE_AOut"},
    {0xBE0020B0, "IOCTL_VELNOR_GET_DRV_REV"},
    {0xBE0020E4, "IOCTL_VELNOR_SET_SAMPLINGFREQ"},
    {0xBE0020E8, "IOCTL_VELNOR_SET_PACE_ELECTRODE"},
    {0xBE0020EC, "IOCTL_VELNOR_SET_ELECTRODE_REFERENCE"},
    {0xBE002118, "IOCTL_VELNOR_ENABLE"},
    {0xBE00211C, "IOCTL_VELNOR_DISABLE"},
    {0xBE002124, "IOCTL_VELNOR_KEYPAD_FLUSH"},
    {0xBE00212C, "IOCTL_VELNOR_READ_RINGBUFFER"},
    {0xBE002134, "IOCTL_VELNOR_KEYPAD_GETKEY"},
    {0xBE002138, "IOCTL_VELNOR_SET_PacePatient"},
    {0x00222000, "IOCTL_Velnor_GET_PIPE_INFO"},
    {0x00222004, "IOCTL_Velnor_GET_DEVICE_DESCRIPTOR"},
    {0x00222008, "IOCTL_Velnor_GET_CONFIGURATION_DESCRIPTOR"},
    {0x00222014, "IOCTL_Velnor_VENDOR_REQUEST"},
    {0x00222018, "IOCTL_Velnor_GET_CURRENT_CONFIG"},
    {0x0022201C, "IOCTL_Velnor_FIRMWARE_DOWNLOAD"},
    {0x00222031, "IOCTL_Velnor_RESET"},
    {0x00222035, "IOCTL_Velnor_RESETPIPE"},
    {0x0022203D, "IOCTL_Velnor_ABORTPIPE"},
    {0x00222040, "IOCTL_Velnor_SETINTERFACE"},
    {0x00222044, "IOCTL_Velnor_GET_STRING_DESCRIPTOR"},
    {0x0022204E, "IOCTL_VELNOR_BULK_READ"},
    {0x00222051, "IOCTL_VELNOR_BULK_WRITE"},
    {0x00222054, "IOCTL_VELNOR_GET_CURRENT_FRAME_NUMBER"},
    {0x00222059, "IOCTL_VELNOR_VENDOR_OR_CLASS_REQUEST"},
    {0x0022205C, "IOCTL_VELNOR_GET_LAST_ERROR"},
    {0x0022206D, "IOCTL_VELNOR_FIRMWARE_DOWNLOAD"},
    {0x00222074, "IOCTL_VELNOR_GET_DRIVER_VERSION"},
    {0x0022207C, "IOCTL_VELNOR_STOP_ISO_STREAM"},
    {0x00222080, "IOCTL_VELNOR_READ_ISO_BUFFER"},
    {0x00222084, "IOCTL_VELNOR_START_ISO_STREAM_IN"},
    {0x00222088, "IOCTL_VELNOR_START_ISO_STREAM_OUT"},
};

TEST(ControlHeader, EveryCodeHasTheTableValueAndName) {
    static_assert(sizeof(kTable) / sizeof(kTable[0]) == VELNOR_IOCTL_COUNT);
    std::set<uint32_t> codes;
    for (const auto& e : kTable) {
        const char* name = VelnorIoctlName(e.code);
        ASSERT_NE(name, nullptr) << std::hex << e.code;
        EXPECT_STREQ(name, e.name);
        codes.insert(e.code);
    }
    EXPECT_EQ(codes.size(), 44u);
    EXPECT_EQ(VelnorIoctlName(0xBE002000), nullptr);
    // The two firmware downloads differ only in the case of the product word.
    EXPECT_NE(IOCTL_Velnor_FIRMWARE_DOWNLOAD, IOCTL_VELNOR_FIRMWARE_DOWNLOAD);
    EXPECT_EQ(IOCTL_VELNOR_SET_HPF, 0xBE002010u);
    EXPECT_EQ(IOCTL_VELNOR_READ_ISO_BUFFER, 0x00222080u);
}

}  // namespace
