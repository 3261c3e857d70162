// The control interface as an application sees it, through Win32 only:
// every code's reply, inputs and outputs of every size, codes that are not
// the driver's, the module pulled out under an open handle, the IN stream
// started again, and keys taken with ReadFile. The module holds key 2 down
// throughout (VELNOR_SIM, set in main).
#include <windows.h>

#include "support/win32_bridge.h"
#include "velnor/host_thread.h"
#include "velnor/velnor_ioctl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr DWORD kUntouched = 0xDEADF00D, kOk = 0, kNotSent = 0xFFFFFFFF;
constexpr DWORD kBadParameter = ERROR_INVALID_PARAMETER, kTooSmall = ERROR_INSUFFICIENT_BUFFER,
                kFailure = ERROR_GEN_FAILURE, kNoDevice = ERROR_FILE_NOT_FOUND;
const IsoStreamRequest kInStream = {0, 108, 64, 4, 4}, kOutStream = {1, 16, 0, 5, 4};  // the recommended streams
constexpr DWORD kPipeInfoBytes = 24 + 5 * 24;  // the interface record of setting 0 and its five pipes
const Bytes kVersion = {13, 0, 1, 0, 9, 0};

template <typename T>
Bytes Of(const T& record) {
    Bytes b(sizeof record);
    std::memcpy(b.data(), &record, sizeof record);
    return b;
}
Bytes U32(uint32_t v) { return Of(v); }
Bytes Room(size_t n) { return Bytes(n, 0xEE); }
Bytes Pattern(size_t n, uint8_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + 7 * i);
    return b;
}
uint16_t Word(const Bytes& b, size_t i) { return static_cast<uint16_t>(b[2 * i] | b[2 * i + 1] << 8); }

HANDLE Open() {
    return CreateFileA(VELNOR_USER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// One DeviceIoControl: its result (kOk for TRUE, else GetLastError), the
// bytes returned, and the output (the data buffer of a direct code) as the
// call left it. Empty buffers are passed as null.
struct Reply {
    DWORD result, bytes;
    Bytes out;
};
Reply Send(HANDLE h, DWORD code, Bytes in = {}, Bytes out = {}) {
    Reply r{kOk, kUntouched, std::move(out)};
    SetLastError(kUntouched);
    if (!DeviceIoControl(h, code, in.empty() ? nullptr : in.data(), static_cast<DWORD>(in.size()),
                         r.out.empty() ? nullptr : r.out.data(), static_cast<DWORD>(r.out.size()), &r.bytes, nullptr))
        r.result = GetLastError();
    return r;
}

class ControlInterface : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(h_ = Open(), INVALID_HANDLE_VALUE) << GetLastError(); }
    // Both streams stopped and gone, for the next test.
    void TearDown() override {
        if (h_ == INVALID_HANDLE_VALUE) return;
        Send(h_, IOCTL_VELNOR_STOP_ISO_STREAM);
        Sleep(50);
        EXPECT_TRUE(CloseHandle(h_));
    }
    DWORD Result(DWORD code, Bytes in = {}, Bytes out = {}) { return Send(h_, code, in, std::move(out)).result; }
    void ExpectAnswers() { EXPECT_EQ(Send(h_, IOCTL_VELNOR_GET_DRIVER_VERSION, {}, Room(6)).out, kVersion); }
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// ------------------------------------------------------------------ valid requests
// Every code once, in an order that gives each what it needs (the IN
// stream, the module enabled), with what the reply shows to user mode.
TEST_F(ControlInterface, EveryCodeServesAValidRequest) {
    const Bytes image = Pattern(512), image2 = Pattern(100, 0x40), echo = Pattern(40, 9);
    const Bytes serial = {18, 3, 'S', 0, 'I', 0, 'M', 0, '-', 0, '0', 0, '0', 0, '0', 0, '1', 0};
    struct Valid {
        DWORD code;
        Bytes in = {}, out = {};
        DWORD bytes = 0;
        Bytes reply = {};  // the reply's first bytes, where known
        DWORD result = kOk;
    };
    const Valid rows[] = {
        {IOCTL_VELNOR_GET_DRIVER_VERSION, {}, Room(6), 6, kVersion},
        {IOCTL_VELNOR_GET_DRV_REV, {}, Room(4), 4, U32(VELNOR_DRIVER_REVISION)},
        {IOCTL_VELNOR_SET_HPF, U32(HPF_FILTER_05)}, {IOCTL_VELNOR_SET_LPF, U32(LPF_FILTER_150)},
        {IOCTL_VELNOR_SET_NTCH, U32(VELNOR_NOTCH_60HZ)}, {IOCTL_VELNOR_ENABLE_QRSBeep}, {IOCTL_VELNOR_DISABLE_QRSBeep},
        {IOCTL_VELNOR_SET_QRSOutWidth, U32(10)}, {IOCTL_VELNOR_SET_QRSOutDelay, U32(5)},
        {IOCTL_VELNOR_SET_QRSOutPol, U32(1)}, {IOCTL_VELNOR_SET_PaceThresh, Of(uint16_t{0x0123})},
        {IOCTL_VELNOR_GET_PaceThresh, {}, Room(4), 4, U32(0x0123)},
        {IOCTL_VELNOR_SETLEAD_AOut, Of(AOutChannelRequest{0, 3})}, {IOCTL_VELNOR_WRITE_AOut, Of(AOutChannelRequest{1, 2000})},
        {IOCTL_VELNOR_SET_SAMPLINGFREQ, U32(2000)}, {IOCTL_VELNOR_SET_PACE_ELECTRODE, U32(1)},
        {IOCTL_VELNOR_SET_ELECTRODE_REFERENCE, U32(0xFF)}, {IOCTL_VELNOR_SET_PacePatient, U32(0)},
        {IOCTL_VELNOR_DISABLE},  // no IN stream holds its transfers
        {IOCTL_VELNOR_KEYPAD_FLUSH},
        {IOCTL_Velnor_GET_DEVICE_DESCRIPTOR, {}, Room(18), 18, {18, 1}},
        {IOCTL_Velnor_GET_CONFIGURATION_DESCRIPTOR, {}, Room(9), 9, {9, 2}},
        {IOCTL_Velnor_GET_STRING_DESCRIPTOR, Of(StringDescriptorInput{3, 0, 0x0409}), Room(64), 18, serial},
        {IOCTL_Velnor_GET_CURRENT_CONFIG}, {IOCTL_Velnor_GET_PIPE_INFO, {}, Room(512), kPipeInfoBytes},
        {IOCTL_Velnor_SETINTERFACE, Of(SetInterfaceInput{0, 0})},
        // Firmware in, and read back with the module's vendor request 0xA0.
        {IOCTL_Velnor_FIRMWARE_DOWNLOAD, image},
        {IOCTL_Velnor_VENDOR_REQUEST, Of(VendorRequestInput{0xA0, 0, 0, 8, 1, 0}), Room(8), 8, Bytes(&image[0], &image[8])},
        {IOCTL_VELNOR_FIRMWARE_DOWNLOAD, Of(uint16_t{0x1000}), image2},
        {IOCTL_VELNOR_VENDOR_OR_CLASS_REQUEST, Of(VendorOrClassRequestInput{1, 2, 0, 0, 0xA0, 0, 0x1000, 0}),
         Room(100), 100, image2},
        // Windows Vista and later fail the port enable that follows the reset.
        {IOCTL_Velnor_RESET, {}, {}, kUntouched, {}, ERROR_NOT_SUPPORTED},
        {IOCTL_VELNOR_BULK_WRITE, U32(3), echo, 40}, {IOCTL_VELNOR_BULK_READ, U32(2), Room(40), 40, echo},
        {IOCTL_Velnor_RESETPIPE, U32(2)}, {IOCTL_Velnor_ABORTPIPE, U32(2)},
        {IOCTL_VELNOR_GET_CURRENT_FRAME_NUMBER, {}, Room(4), 4}, {IOCTL_VELNOR_GET_LAST_ERROR, {}, Room(4), 4},
        {IOCTL_VELNOR_START_ISO_STREAM_IN, Of(kInStream)}, {IOCTL_VELNOR_ENABLE},
        {IOCTL_VELNOR_READ_ISO_BUFFER, Of(BlockRequest{0, 20, 2}), Room(124), VelnorBlockReplyBytes(20, 2)},
        {IOCTL_VELNOR_START_ISO_STREAM_OUT, Of(kOutStream)},  // after two IN transfers: packets are held
        {IOCTL_VELNOR_READ_RINGBUFFER, U32(32), Room(32), 32}, {IOCTL_VELNOR_KEYPAD_GETKEY, U32(1), Room(4), 4},
        {IOCTL_VELNOR_STOP_ISO_STREAM},
    };
    std::set<DWORD> codes;
    std::map<DWORD, Bytes> replies;
    for (const Valid& row : rows) {
        SCOPED_TRACE(VelnorIoctlName(row.code));
        codes.insert(row.code);
        Reply r = Send(h_, row.code, row.in, row.out);
        EXPECT_EQ(r.result, row.result);
        EXPECT_EQ(r.bytes, row.bytes);
        EXPECT_TRUE(std::equal(row.reply.begin(), row.reply.end(), r.out.begin()));
        replies[row.code] = r.out;
    }
    EXPECT_EQ(codes.size(), size_t{VELNOR_IOCTL_COUNT});

    EXPECT_EQ(Word(replies[IOCTL_Velnor_GET_DEVICE_DESCRIPTOR], 4), 0x1209) << "idVendor";
    EXPECT_EQ(Word(replies[IOCTL_Velnor_GET_DEVICE_DESCRIPTOR], 5), 0x7E1A) << "idProduct";
    EXPECT_EQ(Word(replies[IOCTL_Velnor_GET_PIPE_INFO], 0), kPipeInfoBytes) << "the record's Length";
    EXPECT_EQ(Word(replies[IOCTL_Velnor_GET_PIPE_INFO], 8), 5) << "NumberOfPipes";
    EXPECT_NE(replies[IOCTL_VELNOR_GET_CURRENT_FRAME_NUMBER], Bytes(4, 0));
    EXPECT_EQ(Word(replies[IOCTL_VELNOR_READ_ISO_BUFFER], 61), 0) << "PacketStatus";
    // The raw packet's words LA to CHKS sum to zero.
    const Bytes& packet = replies[IOCTL_VELNOR_READ_RINGBUFFER];
    uint16_t sum = 0;
    for (size_t i = 0; i < 16; ++i) sum = static_cast<uint16_t>(sum + Word(packet, i));
    EXPECT_EQ(sum, 0);
}

// ------------------------------------------------------------------ buffer sizes
// Each code with no input (null), one byte short of its record, the record
// and a byte more, against no output (null), one byte short of the shortest
// output served, that output and 64 bytes more. A refusal is FALSE with the
// code's error and bytes untouched; a reply fits the output.
struct Sizes {
    DWORD code;
    Bytes in = {};                      // the shortest input served
    DWORD out = 0;                      // the shortest output served
    DWORD inError = 0, outError = 0;    // for a shorter input, a shorter output
    bool exactIn = false;               // a longer input is refused too
    DWORD served = kOk;                 // once both fit; kNotSent: only the refusals are sent
    bool stream = false;                // needs the IN stream
};
Sizes Input(DWORD code, Bytes in) { return {code, std::move(in), 0, kBadParameter}; }
Sizes Output(DWORD code, DWORD out, DWORD error) { return {code, {}, out, 0, error}; }

DWORD Expected(const Sizes& s, size_t in, size_t out) {
    if (in < s.in.size() || (s.exactIn && in != s.in.size())) return s.inError;
    if (out < s.out) return s.outError;
    return s.served;
}

TEST_F(ControlInterface, InputsAndOutputsOfEverySizeAreRefusedWithTheirErrorOrServed) {
    const Sizes table[] = {
        Input(IOCTL_VELNOR_SET_HPF, U32(HPF_FILTER_01)), Input(IOCTL_VELNOR_SET_LPF, U32(LPF_FILTER_100)),
        Input(IOCTL_VELNOR_SET_NTCH, U32(VELNOR_NOTCH_50HZ)), {IOCTL_VELNOR_ENABLE_QRSBeep},
        {IOCTL_VELNOR_DISABLE_QRSBeep}, Input(IOCTL_VELNOR_SET_QRSOutWidth, U32(4)),
        Input(IOCTL_VELNOR_SET_QRSOutDelay, U32(0)), Input(IOCTL_VELNOR_SET_QRSOutPol, U32(1)),
        Output(IOCTL_VELNOR_GET_PaceThresh, 4, kTooSmall), Input(IOCTL_VELNOR_SET_PaceThresh, Of(uint16_t{4})),
        Input(IOCTL_VELNOR_SETLEAD_AOut, Of(AOutChannelRequest{0, 10})),
        Input(IOCTL_VELNOR_WRITE_AOut, Of(AOutChannelRequest{0, VELNOR_AOUT_ZERO})),
        Output(IOCTL_VELNOR_GET_DRV_REV, 4, kTooSmall), Input(IOCTL_VELNOR_SET_SAMPLINGFREQ, U32(2000)),
        Input(IOCTL_VELNOR_SET_PACE_ELECTRODE, U32(0)), Input(IOCTL_VELNOR_SET_ELECTRODE_REFERENCE, U32(0xFF)),
        {IOCTL_VELNOR_ENABLE}, {IOCTL_VELNOR_DISABLE}, {IOCTL_VELNOR_KEYPAD_FLUSH},
        {IOCTL_VELNOR_READ_RINGBUFFER, U32(4), 4, kBadParameter, kTooSmall, false, kOk, true},
        {IOCTL_VELNOR_KEYPAD_GETKEY, U32(1), 4, kBadParameter, kTooSmall}, Input(IOCTL_VELNOR_SET_PacePatient, U32(0)),
        Output(IOCTL_Velnor_GET_PIPE_INFO, kPipeInfoBytes, kTooSmall),
        Output(IOCTL_Velnor_GET_DEVICE_DESCRIPTOR, 18, kTooSmall), {IOCTL_Velnor_GET_CONFIGURATION_DESCRIPTOR},
        {IOCTL_Velnor_VENDOR_REQUEST, Of(VendorRequestInput{0x30, 0, 0, 4, 1, 0}), 4, kBadParameter, kTooSmall},
        {IOCTL_Velnor_GET_CURRENT_CONFIG}, {IOCTL_Velnor_FIRMWARE_DOWNLOAD},
        {.code = IOCTL_Velnor_RESET, .served = ERROR_NOT_SUPPORTED}, Input(IOCTL_Velnor_RESETPIPE, U32(2)),
        Input(IOCTL_Velnor_ABORTPIPE, U32(2)), Input(IOCTL_Velnor_SETINTERFACE, Of(SetInterfaceInput{0, 0})),
        {IOCTL_Velnor_GET_STRING_DESCRIPTOR, Of(StringDescriptorInput{3, 0, 0x0409}), 1, kBadParameter,
         kBadParameter, true},
        Input(IOCTL_VELNOR_BULK_READ, U32(2)), Input(IOCTL_VELNOR_BULK_WRITE, U32(3)),
        Output(IOCTL_VELNOR_GET_CURRENT_FRAME_NUMBER, 4, kBadParameter),
        {IOCTL_VELNOR_VENDOR_OR_CLASS_REQUEST, Of(VendorOrClassRequestInput{1, 2, 0, 0, 0x40, 0, 0, 0}), 0,
         kBadParameter, 0, true},
        Output(IOCTL_VELNOR_GET_LAST_ERROR, 4, kFailure),
        {IOCTL_VELNOR_FIRMWARE_DOWNLOAD, Of(uint16_t{0x2000}), 1, kBadParameter, kBadParameter, true},
        Output(IOCTL_VELNOR_GET_DRIVER_VERSION, 6, kFailure), {IOCTL_VELNOR_STOP_ISO_STREAM},
        {IOCTL_VELNOR_READ_ISO_BUFFER, Of(BlockRequest{0, 4, 1}), VelnorBlockReplyBytes(4, 1), kBadParameter,
         kTooSmall, false, kOk, true},
        {IOCTL_VELNOR_START_ISO_STREAM_IN, Of(kInStream), 0, kBadParameter, 0, false, kNotSent},
        {IOCTL_VELNOR_START_ISO_STREAM_OUT, Of(kOutStream), 0, kBadParameter, 0, false, kNotSent, true},
    };
    std::set<DWORD> codes;
    for (bool stream : {false, true}) {
        if (stream) {
            ASSERT_EQ(Result(IOCTL_VELNOR_START_ISO_STREAM_IN, Of(kInStream)), kOk);
        }
        for (const Sizes& s : table) {
            if (s.stream != stream) continue;
            SCOPED_TRACE(VelnorIoctlName(s.code));
            codes.insert(s.code);
            ASSERT_EQ(Result(IOCTL_VELNOR_ENABLE), kOk);  // GETKEY's condition
            const size_t n = s.in.size(), m = s.out;
            for (size_t in : {size_t{0}, n - 1, n, n + 1}) {
                for (size_t out : {size_t{0}, m - 1, m, m + 64}) {
                    const DWORD expected = Expected(s, in, out);
                    if (in > n + 1 || out > m + 64 || expected == kNotSent) continue;  // n - 1 of 0
                    Bytes input = s.in;
                    input.resize(in, 0);
                    Reply r = Send(h_, s.code, input, Pattern(out));
                    EXPECT_EQ(r.result, expected) << "in " << in << ", out " << out;
                    EXPECT_TRUE(r.result == kOk ? r.bytes <= out : r.bytes == kUntouched) << r.bytes;
                }
            }
            ExpectAnswers();
        }
    }
    EXPECT_EQ(codes.size(), size_t{VELNOR_IOCTL_COUNT});
}

// ------------------------------------------------------------------ other codes
// Unknown functions of both device types, and each of the 44 codes with
// other method bits, another device type or access bits: refused, and none
// reaches a handler (the pace threshold stays).
TEST_F(ControlInterface, CodesThatDifferFromTheDriversAreInvalidParameters) {
    ASSERT_EQ(Result(IOCTL_VELNOR_SET_PaceThresh, Of(uint16_t{0x55})), kOk);
    std::vector<DWORD> real, others;
    for (DWORD type : {VELNOR_DEVICE_TYPE_ACQ, VELNOR_DEVICE_TYPE_USB})
        for (DWORD function = 0x7F0; function < 0x860; ++function)
            for (DWORD method = 0; method < 4; ++method) {
                const DWORD code = VELNOR_CTL_CODE(type, function, method);
                (VelnorIoctlName(code) ? real : others).push_back(code);
            }
    ASSERT_EQ(real.size(), size_t{VELNOR_IOCTL_COUNT});
    for (DWORD code : real) {
        for (DWORD method = 0; method < 4; ++method) others.push_back((code & ~3u) | method);
        for (DWORD type : {0x0000u, 0xBE01u, 0x0023u, VELNOR_DEVICE_TYPE_ACQ ^ VELNOR_DEVICE_TYPE_USB ^ (code >> 16)})
            others.push_back((code & 0xFFFFu) | type << 16);
        for (DWORD access = 1; access < 4; ++access) others.push_back(code | access << 14);
    }
    size_t sent = 0;
    for (DWORD code : others) {
        if (VelnorIoctlName(code)) continue;  // a variant that is another real code
        Reply r = Send(h_, code, U32(0x77), Room(8));
        EXPECT_EQ(r.result, kBadParameter) << std::hex << code;
        EXPECT_EQ(r.bytes, kUntouched) << std::hex << code;
        ++sent;
    }
    EXPECT_GT(sent, 900u);
    EXPECT_EQ(Send(h_, IOCTL_VELNOR_GET_PaceThresh, {}, Room(4)).out, U32(0x55));
}

// ------------------------------------------------------------------ removal
// The module pulled out under an open handle: the device is surprise-removed
// and requests still reach the driver, which has stopped the streams,
// disconnected the module and is no longer started; closing the handle
// completes the removal, and a new module is found again.
TEST_F(ControlInterface, TheModulePulledOutUnderAnOpenHandle) {
    ASSERT_EQ(Result(IOCTL_VELNOR_START_ISO_STREAM_IN, Of(kInStream)), kOk);
    ASSERT_EQ(Result(IOCTL_VELNOR_ENABLE), kOk);
    ASSERT_EQ(Result(IOCTL_VELNOR_READ_ISO_BUFFER, Of(BlockRequest{0, 20, 1}), Room(84)), kOk);
    win32_test::UnplugModule();
    EXPECT_STREQ(win32_test::DeviceState(), "SurpriseRemoved");
    Sleep(50);  // the IN transfers come back failed and end
    ExpectAnswers();
    EXPECT_EQ(Result(IOCTL_VELNOR_READ_ISO_BUFFER, Of(BlockRequest{0, 20, 1}), Room(84)), kFailure) << "no IN stream";
    EXPECT_EQ(Result(IOCTL_VELNOR_KEYPAD_GETKEY, U32(1), Room(4)), kNoDevice) << "the module is disconnected";
    EXPECT_EQ(Result(IOCTL_VELNOR_BULK_READ, U32(2), Room(8)), kFailure) << "the device is not started";
    DWORD key, bytes;
    EXPECT_FALSE(ReadFile(h_, &key, 4, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), kNoDevice);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE) << "no new handle";
    EXPECT_EQ(GetLastError(), kFailure);

    EXPECT_TRUE(CloseHandle(std::exchange(h_, INVALID_HANDLE_VALUE)));
    EXPECT_STREQ(win32_test::DeviceState(), "Removed");
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), kNoDevice) << "the device name is gone";

    win32_test::PlugNewModule();
    ASSERT_NE(h_ = Open(), INVALID_HANDLE_VALUE) << GetLastError();
    ExpectAnswers();
}

// ------------------------------------------------------------------ the IN stream
// Blocks of the recommended streams (the OUT stream drains the copy of the
// packets the IN stream keeps for it), stopped and started again at another
// sampling frequency: a start while they run is refused as busy, the blocks
// are normal, with clean status words (the sequence check follows the read
// unit of 4, then 1 packet), and carry a signal with its beats.
TEST_F(ControlInterface, TheStreamsStopAndStartAgainWithoutSequenceErrors) {
    const DWORD length = VelnorBlockReplyBytes(200, 2);
    uint16_t low = 0xFFFF, high = 0;
    for (uint32_t rate : {500, 2000}) {
        SCOPED_TRACE(rate);
        ASSERT_EQ(Result(IOCTL_VELNOR_SET_SAMPLINGFREQ, U32(rate)), kOk);
        ASSERT_EQ(Result(IOCTL_VELNOR_START_ISO_STREAM_IN, Of(kInStream)), kOk);
        ASSERT_EQ(Result(IOCTL_VELNOR_START_ISO_STREAM_OUT, Of(kOutStream)), kOk);
        ASSERT_EQ(Result(IOCTL_VELNOR_ENABLE), kOk);
        const Reply again = Send(h_, IOCTL_VELNOR_START_ISO_STREAM_IN, Of(kInStream));
        EXPECT_TRUE(again.result == ERROR_BUSY && again.bytes == 0) << "a warning: FALSE, its (empty) data counted";
        for (int b = 0; b < 5; ++b) {
            Reply r = Send(h_, IOCTL_VELNOR_READ_ISO_BUFFER, Of(BlockRequest{0, 200, 2}), Room(length));
            ASSERT_EQ(r.result, kOk);
            ASSERT_EQ(r.bytes, length) << "an error block: status " << Word(r.out, 1);
            EXPECT_EQ(Word(r.out, 600), 0) << "electrode status, block " << b;
            EXPECT_EQ(Word(r.out, 601), 0) << "PacketStatus, block " << b;
            for (size_t s = 200; s < 400; ++s) {  // row 1: LL, lead II
                low = std::min(low, static_cast<uint16_t>(Word(r.out, s) + 0x8000));
                high = std::max(high, static_cast<uint16_t>(Word(r.out, s) + 0x8000));
            }
        }
        ASSERT_EQ(Result(IOCTL_VELNOR_STOP_ISO_STREAM), kOk);
    }
    EXPECT_GT(high - low, 100) << "an R wave is about 180 counts";
}

// ------------------------------------------------------------------ keys
// ReadFile while a thread of the application reads blocks: key 2 pressed,
// then, held beyond 50 blocks, reported released once as a stuck key.
TEST_F(ControlInterface, ReadFileTakesTheHeldKeyAndItsReleaseAsStuck) {
    ASSERT_EQ(Result(IOCTL_VELNOR_START_ISO_STREAM_IN, Of(kInStream)), kOk);
    ASSERT_EQ(Result(IOCTL_VELNOR_START_ISO_STREAM_OUT, Of(kOutStream)), kOk);
    ASSERT_EQ(Result(IOCTL_VELNOR_ENABLE), kOk);
    ASSERT_EQ(Result(IOCTL_VELNOR_KEYPAD_FLUSH), kOk);

    std::atomic<bool> done{false};
    velnor::HostThread reader([&] {
        const BlockRequest request = {0, 20, 1};
        for (int b = 0; b < 60; ++b)
            EXPECT_EQ(Send(h_, IOCTL_VELNOR_READ_ISO_BUFFER, Of(request), Room(84)).bytes, 84u);
        done = true;
    });
    DWORD keys[4], bytes;
    std::vector<DWORD> seen;  // the entries other than zero
    while (!done) {
        Sleep(5);
        ASSERT_TRUE(ReadFile(h_, keys, sizeof keys, &bytes, nullptr)) << GetLastError();
        ASSERT_TRUE(bytes >= 4 && bytes % 4 == 0) << bytes;
        for (DWORD i = 0; i < bytes / 4; ++i)
            if (keys[i]) seen.push_back(keys[i]);
    }
    reader.join();
    ASSERT_TRUE(ReadFile(h_, keys, sizeof keys, &bytes, nullptr));
    EXPECT_TRUE(bytes == 4 && keys[0] == 0) << "the queue is empty: one zero entry";
    ASSERT_GE(seen.size(), 2u);
    auto is = [](DWORD flag) { return [flag](DWORD e) { return (e & ~0x00FF0000u) == (VELNOR_KEY2_CODE | flag); }; };
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end() - 1, is(VELNOR_KEY_MAKE))) << std::hex << seen.front();
    EXPECT_TRUE(is(VELNOR_KEY_BREAK)(seen.back())) << std::hex << seen.back();
}

}  // namespace

int main(int argc, char** argv) {
    // Key 2 of the module is held down from the start (read before the first call boots the runtime).
    setenv("VELNOR_SIM", "key=2:0:1000000", 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
