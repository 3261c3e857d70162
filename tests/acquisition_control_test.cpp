// What the acquisition-control codes do inside the driver: each driver-wide
// setting they write and its log line, the range checks, requests refused
// for their buffers without effect, the raw packet read, and codes of
// neither family. Replies and buffer sizes as an application sees them:
// control_interface_test.
#include "output/packet_builder.h"
#include "output/signal_filter.h"
#include "support/velnor_harness.h"

#include <cstdio>
#include <cstring>
#include <iomanip>
#include <sstream>
#include <string>

namespace {

using velnor_test::MakePacket;

template <size_t N>
std::vector<float> Copy(const float (&a)[N]) {
    return {a, a + N};
}

// The raw bytes of each value, in a row.
template <typename... T>
std::vector<unsigned char> Bytes(const volatile T&... x) {
    std::vector<unsigned char> v;
    auto add = [&v](const volatile void* p, size_t n) {
        const auto* b = static_cast<const unsigned char*>(const_cast<const void*>(p));
        v.insert(v.end(), b, b + n);
    };
    (add(&x, sizeof(T)), ...);
    return v;
}

class AcquisitionControlTest : public velnor_test::DeviceFixture {
protected:
    void SetUp() override {
        DeviceFixture::SetUp();
        // Settings as device creation leaves them.
        velnor_filter_load_defaults();
        ClearFilterFlag(FILTER_QRS_BEEP);
        LoadOutputDefaults();
        bPace = 0;
        IsoStreamStopped = 0;
        DebugLevel = 2;
        hk::LogClear();
    }

    hk::IoResult Send(ULONG code, const void* in = nullptr, ULONG inLength = 0, void* out = nullptr,
                      ULONG outLength = 0) {
        return hk::DeviceIoControl(handle_, code, in, inLength, out, outLength);
    }
    NTSTATUS SendU32(ULONG code, ULONG value) { return Send(code, &value, 4).status; }
    NTSTATUS SendAOut(ULONG code, USHORT channel, USHORT value) {
        AOutChannelRequest request{channel, value};
        return Send(code, &request, sizeof(request)).status;
    }
    // Status and Information of a completed request.
    static testing::AssertionResult Replied(hk::IoResult r, NTSTATUS status, ULONG_PTR information) {
        if (r.status == status && r.information == information) return testing::AssertionSuccess();
        return testing::AssertionFailure() << std::hex << "status " << r.status << ", information " << r.information;
    }
    static bool Logged(const std::string& line) { return hk::LogHasLine("Velnor> Velnor_ProcessIOCTL: " + line); }

    // Every driver-wide value a control request may write, and the queue and ring.
    std::vector<unsigned char> Settings() const {
        return Bytes(FilterFlags, LpfCoefficients, HpfCoefficients, NotchCoefficients, QrsOutWidth, QrsOutDelay,
                     QrsOutPolarity, AOutLead, AOutFollowLead, AOutLevel, PaceThresh, PacketReadSize,
                     ElectrodeReference, bPace, AcqModuleConnected, ext_->KeyCount,
                     ext_->DataRingBuffer->currentSize);
    }
};

TEST_F(AcquisitionControlTest, FilterRequestsCopyTheChosenTableAndRefuseOtherValues) {
    velnor_filter_set_hpf(HPF_FILTER_05);
    velnor_filter_set_lpf(LPF_FILTER_150);
    const auto hpf05 = Copy(HpfCoefficients), lpf150 = Copy(LpfCoefficients);
    velnor_filter_load_defaults();
    const auto hpf01 = Copy(HpfCoefficients), lpf100 = Copy(LpfCoefficients);
    ASSERT_TRUE(hpf01 != hpf05 && lpf100 != lpf150);
    const struct { ULONG code, value; NTSTATUS status; const std::vector<float>&hpf, &lpf; const char* line; } cases[] = {
        {IOCTL_VELNOR_SET_HPF, 2, STATUS_SUCCESS, hpf05, lpf100, "velnor_filter_set_lpf(HPF_FILTER_05) 2"},
        {IOCTL_VELNOR_SET_LPF, 1, STATUS_SUCCESS, hpf05, lpf150, "velnor_filter_set_lpf(LPF_FILTER_150) 1"},
        {IOCTL_VELNOR_SET_HPF, 3, STATUS_INVALID_PARAMETER, hpf05, lpf150, nullptr},
        {IOCTL_VELNOR_SET_LPF, 2, STATUS_INVALID_PARAMETER, hpf05, lpf150, nullptr},
        {IOCTL_VELNOR_SET_LPF, 0xFFFFFFFF, STATUS_INVALID_PARAMETER, hpf05, lpf150, nullptr},
        {IOCTL_VELNOR_SET_HPF, 1, STATUS_SUCCESS, hpf01, lpf150, "velnor_filter_set_lpf(HPF_FILTER_01) 1"},
        {IOCTL_VELNOR_SET_LPF, 0, STATUS_SUCCESS, hpf01, lpf100, "velnor_filter_set_lpf(LPF_FILTER_100) 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << VelnorIoctlName(c.code) << " " << c.value);
        hk::LogClear();
        EXPECT_EQ(SendU32(c.code, c.value), c.status);
        EXPECT_TRUE(Copy(HpfCoefficients) == c.hpf && Copy(LpfCoefficients) == c.lpf);
        EXPECT_TRUE(!c.line || Logged(c.line));
    }
}

// NOTCH_ON and NOTCH_OFF switch the canceller and keep the 50/60 Hz
// selection. 55 is refused (the filter routine alone would take it as 50 Hz).
TEST_F(AcquisitionControlTest, NotchSelectsTheLineFrequencyAndSwitchesTheCancellerSeparately) {
    const float k50 = 0.95105654f, k60 = 0.9297765f;
    const struct { ULONG value; NTSTATUS status; bool on; float k; } cases[] = {
        {60, STATUS_SUCCESS, true, k60}, {1, STATUS_SUCCESS, true, k60}, {0, STATUS_SUCCESS, false, k60},
        {1, STATUS_SUCCESS, true, k60}, {0, STATUS_SUCCESS, false, k60}, {55, STATUS_INVALID_PARAMETER, false, k60},
        {50, STATUS_SUCCESS, true, k50}};
    for (const auto& c : cases) {
        EXPECT_EQ(SendU32(IOCTL_VELNOR_SET_NTCH, c.value), c.status) << c.value;
        EXPECT_EQ((FilterFlags & FILTER_NOTCH_ON) != 0, c.on) << c.value;
        EXPECT_TRUE(NotchCoefficients[3] == c.k && NotchFastCoefficients[3] == c.k) << c.value;
    }
    for (const char* line : {"(NOTCH_60HZ_SET) 60", "(NOTCH_ON) 1", "(NOTCH_OFF) 0", "(NOTCH_50HZ_SET) 50"})
        EXPECT_TRUE(Logged(std::string("velnor_filter_set_line_notch") + line)) << line;
}

TEST_F(AcquisitionControlTest, BeepTriggerPaceReferenceAndRateSettingsKeepTheirRanges) {
    const LONG others = FilterFlags & ~static_cast<LONG>(FILTER_QRS_BEEP);
    EXPECT_EQ(Send(IOCTL_VELNOR_ENABLE_QRSBeep).status, STATUS_SUCCESS);
    EXPECT_EQ(+FilterFlags, others | static_cast<LONG>(FILTER_QRS_BEEP));
    EXPECT_EQ(Send(IOCTL_VELNOR_DISABLE_QRSBeep).status, STATUS_SUCCESS);
    EXPECT_EQ(+FilterFlags, others);

    // Code, the setting it writes, the value sent, and the setting after (unchanged: refused).
    const ULONG width = IOCTL_VELNOR_SET_QRSOutWidth, delay = IOCTL_VELNOR_SET_QRSOutDelay,
                pol = IOCTL_VELNOR_SET_QRSOutPol, rate = IOCTL_VELNOR_SET_SAMPLINGFREQ;
    const struct { ULONG code; volatile ULONG& setting; ULONG value, after; } cases[] = {
        {width, QrsOutWidth, 4, 4},   {width, QrsOutWidth, 3, 4},    {width, QrsOutWidth, 100, 100},
        {width, QrsOutWidth, 101, 100}, {delay, QrsOutDelay, 100, 100}, {delay, QrsOutDelay, 101, 100},
        {delay, QrsOutDelay, 0xFFFFFFFF, 100}, {delay, QrsOutDelay, 0, 0}, {pol, QrsOutPolarity, 0, 0},
        {pol, QrsOutPolarity, 7, 255}, {IOCTL_VELNOR_SET_ELECTRODE_REFERENCE, ElectrodeReference, 0x3C1FE, 0x3C1FE},
        {IOCTL_VELNOR_SET_PacePatient, bPace, 0xAB, 0xAB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << VelnorIoctlName(c.code) << " " << c.value);
        const bool refused = c.after != c.value && c.code != pol;
        EXPECT_EQ(SendU32(c.code, c.value), refused ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS);
        EXPECT_EQ(+c.setting, c.after);
    }
    EXPECT_EQ(hk::LogCount("Velnor> Velnor_ProcessIOCTL: Setting TTL Width to 4"), 1u);
    EXPECT_FALSE(Logged("Setting TTL Width to 101"));

    const USHORT thresh = 0x1234;
    EXPECT_TRUE(Replied(Send(IOCTL_VELNOR_SET_PaceThresh, &thresh, 2), STATUS_SUCCESS, 0));
    EXPECT_EQ(+PaceThresh, 0x1234);
    ULONG reply = 0;
    EXPECT_TRUE(Replied(Send(IOCTL_VELNOR_GET_PaceThresh, nullptr, 0, &reply, 4), STATUS_SUCCESS, 4));
    const auto before = Settings();
    EXPECT_EQ(SendU32(IOCTL_VELNOR_SET_PACE_ELECTRODE, 0x2F), STATUS_SUCCESS);
    EXPECT_EQ(Settings(), before);

    const std::pair<ULONG, USHORT> rates[] = {{200, 340}, {2000, 34}, {500, 136}, {250, 34}, {1000, 68}, {0, 34}};
    for (auto [frequency, bytes] : rates) {
        EXPECT_EQ(SendU32(rate, frequency), STATUS_SUCCESS);
        EXPECT_EQ(+PacketReadSize, bytes) << frequency;
    }
    for (const char* line : {"Setting TTL Width to 100", "Setting TTL Delay to 0", "Setting TTL Polarity Negative 0",
                             "Setting TTL Polarity Positive 7", "IOCTL_VELNOR_SET_PaceThresh = 1234",
                             "IOCTL_VELNOR_GET_PaceThresh = 1234", "ElectrodeReference 3c1fe", "bPace AB",
                             "PaceElectrode 2f", "SAMPLINGFREQ c8", "SAMPLINGFREQ 3e8"})
        EXPECT_TRUE(Logged(line)) << line;
}

TEST_F(AcquisitionControlTest, AnalogOutputsFollowALeadOrHoldAClampedLevel) {
    EXPECT_EQ(SendAOut(IOCTL_VELNOR_SETLEAD_AOut, 1, 2), STATUS_SUCCESS);
    EXPECT_TRUE(AOutFollowLead[1] == 1 && AOutLead[1] == 0) << "lead code 2 is row 0";
    EXPECT_EQ(SendAOut(IOCTL_VELNOR_SETLEAD_AOut, 3, 17), STATUS_SUCCESS);
    EXPECT_TRUE(AOutFollowLead[3] == 1 && AOutLead[3] == 15) << "lead code 17 is the last row";
    EXPECT_TRUE(Logged("Set AOut Channel 3 to Lead 0011"));

    // No lead (code 10), codes below 2, and 18, one row past the store:
    // following stops and the row is kept.
    for (USHORT code : {10, 1, 18, 0xFFFF}) {
        ASSERT_EQ(SendAOut(IOCTL_VELNOR_SETLEAD_AOut, 3, 17), STATUS_SUCCESS);
        EXPECT_EQ(SendAOut(IOCTL_VELNOR_SETLEAD_AOut, 3, code), STATUS_SUCCESS);
        EXPECT_TRUE(AOutFollowLead[3] == 0 && AOutLead[3] == 15) << code;
    }
    auto before = Settings();
    EXPECT_EQ(SendAOut(IOCTL_VELNOR_SETLEAD_AOut, 7, 5), STATUS_SUCCESS);
    EXPECT_EQ(Settings(), before) << "channel 7 changes nothing";

    // Output 1 follows a lead; a level stops that and fills all 50 entries.
    EXPECT_EQ(SendAOut(IOCTL_VELNOR_WRITE_AOut, 1, 5000), STATUS_SUCCESS);
    EXPECT_EQ(+AOutFollowLead[1], 0);
    for (USHORT level : AOutLevel[1]) ASSERT_EQ(level, 4095);
    EXPECT_EQ(SendAOut(IOCTL_VELNOR_WRITE_AOut, 2, 123), STATUS_SUCCESS);
    for (USHORT level : AOutLevel[2]) ASSERT_EQ(level, 123);
    for (USHORT level : AOutLevel[0]) ASSERT_EQ(level, VELNOR_AOUT_ZERO) << "other outputs untouched";
    EXPECT_TRUE(Logged("Channel 2"));
    before = Settings();
    EXPECT_EQ(SendAOut(IOCTL_VELNOR_WRITE_AOut, 4, 100), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Settings(), before);
}

TEST_F(AcquisitionControlTest, DriverRevisionLogAndTheModuleSwitch) {
    ULONG reply = 0;
    EXPECT_EQ(Send(IOCTL_VELNOR_GET_DRV_REV, nullptr, 0, &reply, 4).status, STATUS_SUCCESS);
    EXPECT_TRUE(Logged("ACQ IOCTL: Driver Software Rev = 03196400"));
    EXPECT_TRUE(Replied(Send(IOCTL_VELNOR_KEYPAD_GETKEY, &reply, 4, &reply, 4), STATUS_NO_SUCH_DEVICE, 0));
    DebugLevel = 5;
    EXPECT_EQ(Send(IOCTL_VELNOR_ENABLE).status, STATUS_SUCCESS);
    EXPECT_EQ(+AcqModuleConnected, 1);
    // The IN stream still holds its resources: refused, but disabled.
    EXPECT_EQ(Send(IOCTL_VELNOR_DISABLE).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(+AcqModuleConnected, 0);
    for (const char* line : {"AcqModuleConnected_5  1", "AcqModuleConnected_6  0", "IsoStreamStopped  0"})
        EXPECT_TRUE(hk::LogHasLine(line)) << line;
    IsoStreamStopped = 1;
    AcqModuleConnected = 1;
    EXPECT_EQ(Send(IOCTL_VELNOR_DISABLE).status, STATUS_SUCCESS);
    EXPECT_EQ(+AcqModuleConnected, 0);
    DebugLevel = 2;
}

TEST_F(AcquisitionControlTest, ReadRingBufferTakesOnePacketAndReturnsItsWordsAfterSync) {
    std::vector<USHORT> words;
    auto read = [&](ULONG count, ULONG outLength) {
        words.assign((std::max<ULONG>(outLength, 4) + 1) / 2, 0xA5A5);
        std::memcpy(words.data(), &count, 4);
        hk::IoResult r = Send(IOCTL_VELNOR_READ_RINGBUFFER, words.data(), 4, words.data(), outLength);
        words.resize(r.information / 2);
        return r;
    };
    auto held = [&] { return ext_->DataRingBuffer->currentSize; };
    const auto p1 = MakePacket(2, 0x100);
    Store(p1);
    Store(MakePacket(4, 0x200));
    DebugLevel = 3;
    EXPECT_TRUE(Replied(read(32, 32), STATUS_SUCCESS, 32));
    EXPECT_EQ(words, std::vector<USHORT>(p1.begin() + 1, p1.end()));
    std::string line = "ISO IN packet:";
    for (USHORT w : p1) line += (std::ostringstream() << ' ' << std::hex << std::setw(4) << w).str();
    EXPECT_TRUE(Logged(line)) << line;
    DebugLevel = 2;
    EXPECT_EQ(held(), 34u);

    // Refused before a packet is taken: output shorter than the count, a
    // count past the packet.
    EXPECT_TRUE(Replied(read(8, 7), STATUS_BUFFER_TOO_SMALL, 0));
    EXPECT_TRUE(Logged("STATUS_BUFFER_TOO_SMALL"));
    EXPECT_TRUE(Replied(read(33, 64), STATUS_INVALID_PARAMETER, 0));
    EXPECT_EQ(held(), 34u);

    EXPECT_TRUE(Replied(read(0, 0), STATUS_SUCCESS, 0));
    EXPECT_EQ(held(), 0u) << "count 0 still takes the packet";
    const UCHAR part[20] = {1, 2, 3};
    ASSERT_EQ(WriteRingBuffer(ext_->DataRingBuffer, part, sizeof(part)), 20u);
    EXPECT_TRUE(Replied(read(4, 4), STATUS_SUCCESS, 0)) << "less than a packet held";
    EXPECT_EQ(held(), 20u);

    FreeRingBuffer(ext_->DescriptorRingBuffer);
    ext_->DescriptorRingBuffer = nullptr;
    EXPECT_TRUE(Replied(read(4, 4), STATUS_UNSUCCESSFUL, 0));
    EXPECT_TRUE(Logged("no ring buffer 2"));
    EXPECT_EQ(held(), 20u);
}

// Every code logs its name once, and a request refused for its buffers
// (empty, one byte short of its input record or of its reply) changes no
// setting. Codes of neither family are logged as such and run no handler.
TEST_F(AcquisitionControlTest, EveryCodeLogsItsNameAndRefusedRequestsChangeNothing) {
    // Each code and the bytes of its input record and of its reply.
    const std::tuple<ULONG, ULONG, ULONG> rows[] = {
        {IOCTL_VELNOR_SET_HPF, 4, 0}, {IOCTL_VELNOR_SET_LPF, 4, 0}, {IOCTL_VELNOR_SET_NTCH, 4, 0},
        {IOCTL_VELNOR_ENABLE_QRSBeep, 0, 0}, {IOCTL_VELNOR_DISABLE_QRSBeep, 0, 0},
        {IOCTL_VELNOR_SET_QRSOutWidth, 4, 0}, {IOCTL_VELNOR_SET_QRSOutDelay, 4, 0},
        {IOCTL_VELNOR_SET_QRSOutPol, 4, 0}, {IOCTL_VELNOR_GET_PaceThresh, 0, 4}, {IOCTL_VELNOR_SET_PaceThresh, 2, 0},
        {IOCTL_VELNOR_SETLEAD_AOut, 4, 0}, {IOCTL_VELNOR_WRITE_AOut, 4, 0}, {IOCTL_VELNOR_GET_DRV_REV, 0, 4},
        {IOCTL_VELNOR_SET_SAMPLINGFREQ, 4, 0}, {IOCTL_VELNOR_SET_PACE_ELECTRODE, 4, 0},
        {IOCTL_VELNOR_SET_ELECTRODE_REFERENCE, 4, 0}, {IOCTL_VELNOR_ENABLE, 0, 0}, {IOCTL_VELNOR_DISABLE, 0, 0},
        {IOCTL_VELNOR_KEYPAD_FLUSH, 0, 0}, {IOCTL_VELNOR_READ_RINGBUFFER, 4, 0}, {IOCTL_VELNOR_KEYPAD_GETKEY, 4, 4},
        {IOCTL_VELNOR_SET_PacePatient, 4, 0},
    };
    static_assert(std::size(rows) == 22);
    IsoStreamStopped = 1;
    Store(MakePacket(0));
    for (const auto& [code, input, output] : rows) {
        SCOPED_TRACE(VelnorIoctlName(code));
        hk::LogClear();
        AcqModuleConnected = 1;  // lets GETKEY reach its buffer checks
        auto before = Settings();
        Send(code);
        EXPECT_EQ(hk::LogCount(std::string("Velnor> Velnor_ProcessIOCTL: ") + VelnorIoctlName(code)), 1u);
        EXPECT_TRUE(!(input || output) || Settings() == before);
        AcqModuleConnected = 1;
        before = Settings();
        // Valid values in the bytes present: 2 selects HPF_FILTER_05, 60 Hz...
        const ULONG value = code == IOCTL_VELNOR_SET_NTCH ? 60 : 2;
        EXPECT_TRUE(input <= 1 || Send(code, &value, input - 1).status == STATUS_INVALID_PARAMETER);
        unsigned char buffer[8] = {1};
        EXPECT_TRUE(!output || Send(code, buffer, 8, buffer, output - 1).status == STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(Settings(), before);
    }

    // An unused function; SET_HPF as METHOD_IN_DIRECT, with FILE_READ_ACCESS, with the other
    // family's device type; ENABLE as METHOD_NEITHER and with device type 0xBE01.
    const auto before = Settings();
    for (ULONG code : {0xBE002000u, IOCTL_VELNOR_SET_HPF | 1, IOCTL_VELNOR_SET_HPF | 0x4000,
                       (IOCTL_VELNOR_SET_HPF & 0xFFFF) | 0x00220000, IOCTL_VELNOR_ENABLE | 3,
                       IOCTL_VELNOR_ENABLE + 0x10000}) {
        hk::LogClear();
        ULONG value = 2;
        EXPECT_TRUE(Replied(Send(code, &value, 4, &value, 4), STATUS_INVALID_PARAMETER, 0)) << std::hex << code;
        char line[64];
        std::snprintf(line, sizeof(line), "ACQ IOCTL:%08X NOT SUPPORTED ", code);
        EXPECT_TRUE(Logged(line)) << line;
        EXPECT_EQ(hk::LogLines().size(), 1u) << "no handler ran";
    }
    EXPECT_EQ(Settings(), before);
}

}  // namespace
