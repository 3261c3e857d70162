// velnor SDK: the acquisition module from an application, on the Win32 calls
// only (CreateFile, DeviceIoControl, ReadFile). The same source builds with
// mingw for Windows and, against the host layer, for Linux.
//
// A session, in the order the driver expects:
//
//   velnor::sdk::Device device;                    // opens \\.\Velnor-0
//   velnor::sdk::Settings settings;                // 2000 S/s, 12 leads, ...
//   settings.mains = velnor::sdk::Mains::Hz50;
//   device.Configure(settings);                    // every acquisition setting
//   device.StartStreams();                         // IN and OUT, enable
//   while (...) {
//       velnor::sdk::Block block = device.ReadBlock(200);   // 100 ms
//       if (block.error) ...;                      // a named error block
//       velnor::sdk::Leads leads = velnor::sdk::DeriveLeads(block);
//       for (velnor::sdk::KeyEvent key : device.ReadKeys()) ...;
//   }
//   device.StopStreams();                          // also done by ~Device()
//
// Every failure throws velnor::sdk::Error with the control code, the Win32
// error and the driver's last USB error.
#pragma once

#include "velnor/velnor_ioctl.h"

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace velnor::sdk {

// ---------------------------------------------------------------- scale
// The module's signal words: 150 counts per millivolt, two's complement,
// each electrode against the right arm. Everything the SDK hands out in
// microvolts is count * kMicrovoltsPerCount.
inline constexpr double kCountsPerMillivolt = 150.0;
inline constexpr float kMicrovoltsPerCount = static_cast<float>(1000.0 / kCountsPerMillivolt);
// A word at either rail means the input is saturated (an electrode off).
inline constexpr int16_t kRailHigh = 32767, kRailLow = -32768;

// ---------------------------------------------------------------- settings
enum class SamplingRate : uint32_t { Hz2000 = 2000, Hz1000 = 1000, Hz500 = 500, Hz200 = 200 };
enum class HighPass : uint32_t { Hz0_01 = HPF_FILTER_01, Hz0_05 = HPF_FILTER_05 };
enum class LowPass : uint32_t { Hz100 = LPF_FILTER_100, Hz150 = LPF_FILTER_150 };
enum class Mains { Off, Hz50, Hz60 };  // the driver's mains canceller (trigger and analog outputs)

// The module's electrodes, in the order a block carries them.
enum class Electrode { LA, LL, V1, V2, V3, V4, V5, V6, H, E, I, M };
inline constexpr int kElectrodeCount = 12;
const char* ElectrodeName(Electrode e);

// A set of electrodes (the driver's channel selection bits).
struct ElectrodeSet {
    uint32_t bits = 0;
    static ElectrodeSet Standard() { return {0x1FEu}; }            // LA, LL, V1..V6: the twelve leads
    static ElectrodeSet WithFrank() { return {0x1FEu | 0x3C000u}; }  // and H, E, I, M
    bool Has(Electrode e) const;
    std::vector<Electrode> List() const;  // in block order
};

// The standard leads, in report order, and the analog outputs' lead codes.
enum class Lead { I, II, III, aVR, aVL, aVF, V1, V2, V3, V4, V5, V6 };
inline constexpr int kLeadCount = 12;
const char* LeadName(Lead lead);  // "I", "II", ..., "aVR", ..., "V6"

// An analog output follows a lead of the driver's filtered signal, or holds
// a constant level (0 to 4095, 1365 is the zero line).
struct AnalogOutput {
    bool follows = false;
    Lead lead = Lead::II;
    uint16_t level = VELNOR_AOUT_ZERO;
};

enum class TriggerPolarity { Negative, Positive };
struct QrsTrigger {
    uint32_t widthMs = 10;  // 4 to 100
    uint32_t delayMs = 0;   // 0 to 100
    TriggerPolarity polarity = TriggerPolarity::Positive;
    bool beep = false;
};

struct Settings {
    SamplingRate rate = SamplingRate::Hz2000;
    ElectrodeSet electrodes = ElectrodeSet::Standard();
    HighPass highPass = HighPass::Hz0_05;
    LowPass lowPass = LowPass::Hz150;
    Mains mains = Mains::Off;
    uint16_t paceThreshold = 4;  // halved sum of a pulse's STA2 values that flags it
    bool pacePatient = false;
    QrsTrigger trigger;
    std::array<AnalogOutput, 4> analog{};
};

// The two isochronous streams. The defaults are the recommended ones, with
// the IN transfers one packet long (16 transfers keep 16 ms queued against a
// late completion). The driver polls for data every millisecond, but its
// sleeps end on the system's timer: with Windows' default 15.6 ms tick a
// block reaches the application up to a tick after the packet that completes
// it; with timerPeriodMs = 1 (timeBeginPeriod while streaming) within 2 ms,
// at the cost of a timer interrupt every millisecond.
struct StreamParameters {
    IsoStreamRequest in = {0, 108, 64, 1, 16};
    IsoStreamRequest out = {1, 16, 0, 5, 4};
    bool startOut = true;        // the OUT stream drives the outputs and keeps the IN stream fed
    uint32_t timerPeriodMs = 0;  // 0: the system's timer as it is; else asked for while streaming
};

// ---------------------------------------------------------------- errors
class Error : public std::runtime_error {
public:
    Error(const std::string& what, uint32_t controlCode, uint32_t win32Error, uint32_t driverLastError);
    uint32_t ControlCode() const { return code_; }      // 0: not a control request (opening, say)
    uint32_t Win32Error() const { return win32_; }      // GetLastError() of the failed call
    uint32_t DriverLastError() const { return last_; }  // IOCTL_VELNOR_GET_LAST_ERROR after it (0 if unknown)
    // The device is gone (unplugged, or removed while open).
    bool DeviceGone() const;

private:
    uint32_t code_, win32_, last_;
};

// ---------------------------------------------------------------- blocks
// PacketStatus, decoded.
struct BlockStatus {
    bool syncError = false;
    bool sequenceErrors = false;
    bool checksumErrors = false;
    bool noData = false;
    bool pace = false;
    bool fifoFull = false;
    bool leadFail = false;
    uint16_t raw = 0;
    static BlockStatus Decode(uint16_t word);
};

enum class BlockError {
    None,
    NoModule,  // no data: the module is not sending, or 90 units out of sync
    Timeout,   // the stream stopped mid-block (about 1 s without data)
    FifoFull,  // the application fell behind: the driver's ring overflowed (restart the streams)
    Other,
};
const char* BlockErrorName(BlockError e);

struct Block {
    BlockError error = BlockError::None;  // an error block carries no samples
    uint16_t errorCode = 0;               // the driver's code (OR of 2, 3, 4, 6, 7)
    BlockStatus status;
    uint16_t electrodeStatus = 0;           // the driver's electrode status word of the block
    uint32_t rate = 2000;                   // samples per second
    std::vector<Electrode> electrodes;      // the rows, in order
    // samples[row][s], microvolts; raw[row][s] the module's words.
    std::vector<std::vector<float>> samples;
    std::vector<std::vector<int16_t>> raw;
    std::vector<uint8_t> pace;              // 1 where the driver flagged a pacemaker pulse
    size_t Length() const { return pace.size(); }
    // The row of an electrode, or null when it was not selected.
    const std::vector<float>* Row(Electrode e) const;
    // Rows that sit at a rail in this block (an electrode off).
    bool Saturated(Electrode e) const;
};

// The twelve standard leads of a block, microvolts (lead I = LA, II = LL,
// Vi against Wilson's central terminal (LA + LL) / 3, all relative to RA).
// Needs LA and LL; a chest lead whose electrode is missing is empty.
struct Leads {
    std::array<std::vector<float>, kLeadCount> lead;
    const std::vector<float>& operator[](Lead l) const { return lead[static_cast<size_t>(l)]; }
};
Leads DeriveLeads(const Block& block);

// ---------------------------------------------------------------- keys
enum class KeyAction { Down, Held, Up };
struct KeyEvent {
    int key = 0;  // 1, 2 or 3
    KeyAction action = KeyAction::Down;
    uint32_t repeat = 0;  // the driver's repeat count
    uint32_t raw = 0;     // the driver's entry
};

// ---------------------------------------------------------------- device
struct DeviceInfo {
    uint16_t usbVersion = 0, vendorId = 0, productId = 0, release = 0;
    std::string manufacturer, product, serialNumber;  // empty when the module has none
    uint16_t driverMajor = 0, driverMinor = 0, driverBuild = 0;
    uint32_t driverRevision = 0;
    uint32_t frameNumber = 0;  // 0: not known
    std::vector<uint8_t> deviceDescriptor, configurationDescriptor;
};

class Device {
public:
    // Opens the first module (\\.\Velnor-0).
    Device();
    explicit Device(const std::string& path);
    ~Device();  // stops the streams if they run and closes the handle; never throws
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    DeviceInfo Info();
    // Every acquisition setting, in the driver's order.
    void Configure(const Settings& settings);
    const Settings& CurrentSettings() const { return settings_; }

    // Sends the current settings again (the driver's stop resets its filters,
    // its start the analog output levels), starts the IN stream, enables the
    // module (keys), then the OUT stream. The first start on a handle also
    // flushes the keypad: the driver honours no key until a flush, so without
    // it no key would ever be seen.
    void StartStreams(const StreamParameters& parameters = {});
    // Disables the module and stops both streams (waits up to 100 ms for
    // them); gives back the timer period StartStreams asked for.
    void StopStreams();
    bool Streaming() const { return streaming_; }

    // The next `samples` samples of every selected electrode: a block, or an
    // error block (block.error). Blocks about 1 s at most.
    Block ReadBlock(uint32_t samples);
    // Key events since the last call (none before StartStreams).
    std::vector<KeyEvent> ReadKeys();
    void FlushKeys();

    // Single settings, for use while streaming.
    void SetAnalogOutput(int channel, const AnalogOutput& output);
    void SetQrsTrigger(const QrsTrigger& trigger);

    void Close();  // as the destructor, but throws on failure
    // The driver still answers (false once the module is unplugged: a
    // stream request then fails with a plain device error).
    bool Answers();
    bool IsOpen() const;

private:
    uint32_t Control(uint32_t code, const void* in, uint32_t inBytes, void* out, uint32_t outBytes,
                     const char* what);
    uint32_t DriverLastError();
    void SetU32(uint32_t code, uint32_t value, const char* what);

    void* handle_;
    Settings settings_;
    bool streaming_ = false;
    std::array<bool, 3> held_{};
    bool keysArmed_ = false;
    uint32_t timerPeriod_ = 0;  // the timer period this device asked for, 0: none
    std::vector<uint16_t> buffer_;
};

}  // namespace velnor::sdk
