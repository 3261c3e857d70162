// The velnor SDK on the Win32 calls (see velnor/sdk.h).
#include "velnor/sdk.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace velnor::sdk {

namespace {

// Block order of the electrodes and their selection bits.
constexpr uint32_t kElectrodeBits[kElectrodeCount] = {VELNOR_REF_LA, VELNOR_REF_LL, VELNOR_REF_V1, VELNOR_REF_V2,
                                                      VELNOR_REF_V3, VELNOR_REF_V4, VELNOR_REF_V5, VELNOR_REF_V6,
                                                      VELNOR_REF_H,  VELNOR_REF_E,  VELNOR_REF_I,  VELNOR_REF_M};

// The analog outputs' lead codes: rows of the driver's filtered lead store, plus 2.
uint16_t AnalogLeadCode(Lead lead) {
    switch (lead) {
    case Lead::I: return 2;
    case Lead::II: return 3;
    case Lead::V6: return 4;
    case Lead::V5: return 5;
    case Lead::V4: return 6;
    case Lead::V3: return 7;
    case Lead::V2: return 8;
    case Lead::V1: return 9;
    case Lead::III: return 14;
    case Lead::aVR: return 15;
    case Lead::aVL: return 16;
    case Lead::aVF: return 17;
    }
    return 0;
}

std::string Describe(const char* what, uint32_t code, uint32_t error) {
    char text[256] = "";
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                       nullptr, error, 0, text, sizeof text, nullptr)) {
        size_t n = std::strlen(text);
        while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.'))
            text[--n] = 0;
    }
    std::string s = what;
    if (const char* name = VelnorIoctlName(code)) s += std::string(" (") + name + ")";
    s += ": error " + std::to_string(error);
    if (text[0]) s += std::string(" (") + text + ")";
    return s;
}

std::string Utf16String(const uint8_t* d, size_t bytes) {
    // A string descriptor: bLength, type 3, then UTF-16LE. Non-ASCII becomes '?'.
    std::string s;
    if (bytes < 2 || d[1] != 3) return s;
    const size_t n = d[0] < bytes ? d[0] : bytes;
    for (size_t i = 2; i + 1 < n; i += 2) {
        const unsigned c = d[i] | d[i + 1] << 8;
        s += c < 128 ? static_cast<char>(c) : '?';
    }
    return s;
}

}  // namespace

// ---------------------------------------------------------------- names
const char* ElectrodeName(Electrode e) {
    static const char* const names[kElectrodeCount] = {"LA", "LL", "V1", "V2", "V3", "V4",
                                                       "V5", "V6", "H",  "E",  "I",  "M"};
    return names[static_cast<int>(e)];
}

const char* LeadName(Lead lead) {
    static const char* const names[kLeadCount] = {"I",  "II", "III", "aVR", "aVL", "aVF",
                                                  "V1", "V2", "V3",  "V4",  "V5",  "V6"};
    return names[static_cast<int>(lead)];
}

const char* BlockErrorName(BlockError e) {
    switch (e) {
    case BlockError::None: return "none";
    case BlockError::NoModule: return "no module";
    case BlockError::Timeout: return "timeout";
    case BlockError::FifoFull: return "FIFO full";
    case BlockError::Other: return "error";
    }
    return "error";
}

bool ElectrodeSet::Has(Electrode e) const { return (bits & kElectrodeBits[static_cast<int>(e)]) != 0; }

std::vector<Electrode> ElectrodeSet::List() const {
    std::vector<Electrode> list;
    for (int i = 0; i < kElectrodeCount; ++i)
        if (bits & kElectrodeBits[i]) list.push_back(static_cast<Electrode>(i));
    return list;
}

// ---------------------------------------------------------------- errors
Error::Error(const std::string& what, uint32_t controlCode, uint32_t win32Error, uint32_t driverLastError)
    : std::runtime_error(what), code_(controlCode), win32_(win32Error), last_(driverLastError) {}

bool Error::DeviceGone() const {
    return win32_ == ERROR_FILE_NOT_FOUND || win32_ == ERROR_DEVICE_NOT_CONNECTED || win32_ == ERROR_ACCESS_DENIED ||
           win32_ == ERROR_INVALID_HANDLE;
}

// ---------------------------------------------------------------- blocks
BlockStatus BlockStatus::Decode(uint16_t w) {
    BlockStatus s;
    s.raw = w;
    s.syncError = w & VELNOR_STATUS_SYNC_ERROR;
    s.sequenceErrors = w & VELNOR_STATUS_SEQUENCE_ERRORS;
    s.checksumErrors = w & VELNOR_STATUS_CHECKSUM_ERRORS;
    s.noData = w & VELNOR_STATUS_NO_DATA;
    s.pace = w & VELNOR_STATUS_PACE;
    s.fifoFull = w & VELNOR_STATUS_FIFO_FULL;
    s.leadFail = w & VELNOR_STATUS_LEAD_FAIL;
    return s;
}

const std::vector<float>* Block::Row(Electrode e) const {
    for (size_t r = 0; r < electrodes.size(); ++r)
        if (electrodes[r] == e && r < samples.size()) return &samples[r];
    return nullptr;
}

bool Block::Saturated(Electrode e) const {
    for (size_t r = 0; r < electrodes.size() && r < raw.size(); ++r) {
        if (electrodes[r] != e) continue;
        for (int16_t v : raw[r])
            if (v == kRailHigh || v == kRailLow) return true;
    }
    return false;
}

Leads DeriveLeads(const Block& block) {
    Leads out;
    const std::vector<float>* la = block.Row(Electrode::LA);
    const std::vector<float>* ll = block.Row(Electrode::LL);
    if (!la || !ll) return out;
    const size_t n = la->size();
    auto lead = [&](Lead l) -> std::vector<float>& {
        std::vector<float>& v = out.lead[static_cast<size_t>(l)];
        v.resize(n);
        return v;
    };
    std::vector<float>&I = lead(Lead::I), &II = lead(Lead::II), &III = lead(Lead::III), &aVR = lead(Lead::aVR),
    &aVL = lead(Lead::aVL), &aVF = lead(Lead::aVF);
    std::vector<float> wct(n);
    for (size_t s = 0; s < n; ++s) {
        const float a = (*la)[s], f = (*ll)[s];
        I[s] = a;
        II[s] = f;
        III[s] = f - a;
        aVR[s] = -(a + f) / 2;
        aVL[s] = a - f / 2;
        aVF[s] = f - a / 2;
        wct[s] = (a + f) / 3;
    }
    static constexpr Electrode kChest[6] = {Electrode::V1, Electrode::V2, Electrode::V3,
                                            Electrode::V4, Electrode::V5, Electrode::V6};
    for (int i = 0; i < 6; ++i) {
        const std::vector<float>* v = block.Row(kChest[i]);
        if (!v) continue;
        std::vector<float>& out_v = lead(static_cast<Lead>(static_cast<int>(Lead::V1) + i));
        for (size_t s = 0; s < n; ++s) out_v[s] = (*v)[s] - wct[s];
    }
    return out;
}

// ---------------------------------------------------------------- device
Device::Device() : Device(VELNOR_USER_DEVICE_PATH) {}

Device::Device(const std::string& path) {
    handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        throw Error(Describe(("opening " + path).c_str(), 0, error) + " - is the module plugged in?", 0, error, 0);
    }
}

Device::~Device() {
    try {
        Close();
    } catch (...) {
        // A destructor has no one to tell; the handle is closed either way.
    }
}

bool Device::IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

void Device::Close() {
    if (!IsOpen()) return;
    // The handle is closed whatever the stop throws (an Error, or no memory
    // for its message); the stop's own Error is passed on afterwards.
    struct Closer {
        Device& d;
        ~Closer() {
            CloseHandle(d.handle_);
            d.handle_ = INVALID_HANDLE_VALUE;
            d.streaming_ = false;
        }
    } closer{*this};
    if (streaming_) {
        try {
            StopStreams();
        } catch (const Error& e) {
            if (!e.DeviceGone()) throw;
        }
    }
}

bool Device::Answers() {
    DriverVersion version{};
    DWORD bytes = 0;
    return IsOpen() && DeviceIoControl(handle_, IOCTL_VELNOR_GET_DRIVER_VERSION, nullptr, 0, &version, sizeof version,
                                       &bytes, nullptr);
}

uint32_t Device::DriverLastError() {
    uint32_t last = 0;
    DWORD bytes = 0;
    if (!DeviceIoControl(handle_, IOCTL_VELNOR_GET_LAST_ERROR, nullptr, 0, &last, sizeof last, &bytes, nullptr) ||
        bytes < sizeof last)
        return 0;
    return last;
}

uint32_t Device::Control(uint32_t code, const void* in, uint32_t inBytes, void* out, uint32_t outBytes,
                         const char* what) {
    if (!IsOpen()) throw Error(std::string(what) + ": the device is closed", code, ERROR_INVALID_HANDLE, 0);
    DWORD bytes = 0;
    if (!DeviceIoControl(handle_, code, const_cast<void*>(in), inBytes, out, outBytes, &bytes, nullptr)) {
        const DWORD error = GetLastError();
        const uint32_t last = DriverLastError();
        std::string text = Describe(what, code, error);
        if (last) {
            char hex[32];
            std::snprintf(hex, sizeof hex, ", USB status 0x%08X", static_cast<unsigned>(last));
            text += hex;
        }
        throw Error(text, code, error, last);
    }
    return bytes;
}

void Device::SetU32(uint32_t code, uint32_t value, const char* what) { Control(code, &value, 4, nullptr, 0, what); }

DeviceInfo Device::Info() {
    DeviceInfo info;
    uint8_t d[18] = {};
    if (Control(IOCTL_Velnor_GET_DEVICE_DESCRIPTOR, nullptr, 0, d, sizeof d, "reading the device descriptor") <
        sizeof d)
        throw Error("reading the device descriptor: short reply", IOCTL_Velnor_GET_DEVICE_DESCRIPTOR, 0, 0);
    info.deviceDescriptor.assign(d, d + sizeof d);
    info.usbVersion = static_cast<uint16_t>(d[2] | d[3] << 8);
    info.vendorId = static_cast<uint16_t>(d[8] | d[9] << 8);
    info.productId = static_cast<uint16_t>(d[10] | d[11] << 8);
    info.release = static_cast<uint16_t>(d[12] | d[13] << 8);

    std::vector<uint8_t> config(4096);
    const uint32_t n = Control(IOCTL_Velnor_GET_CONFIGURATION_DESCRIPTOR, nullptr, 0, config.data(),
                               static_cast<uint32_t>(config.size()), "reading the configuration descriptor");
    config.resize(n);
    info.configurationDescriptor = config;

    // Strings: a module without one stalls the request; that is not an error here.
    auto text = [&](uint8_t index) -> std::string {
        if (!index) return {};
        StringDescriptorInput request = {index, 0, 0x0409};
        uint8_t s[256] = {};
        DWORD bytes = 0;
        if (!DeviceIoControl(handle_, IOCTL_Velnor_GET_STRING_DESCRIPTOR, &request, sizeof request, s, sizeof s,
                             &bytes, nullptr))
            return {};
        return Utf16String(s, bytes);
    };
    info.manufacturer = text(d[14]);
    info.product = text(d[15]);
    info.serialNumber = text(d[16]);

    DriverVersion version{};
    Control(IOCTL_VELNOR_GET_DRIVER_VERSION, nullptr, 0, &version, sizeof version, "reading the driver version");
    info.driverMajor = version.MajorVersion;
    info.driverMinor = version.MinorVersion;
    info.driverBuild = version.BuildVersion;
    Control(IOCTL_VELNOR_GET_DRV_REV, nullptr, 0, &info.driverRevision, sizeof info.driverRevision,
            "reading the driver revision");
    // The driver cannot tell frame 0 from a failure and refuses it: not an error here.
    DWORD bytes = 0;
    if (!DeviceIoControl(handle_, IOCTL_VELNOR_GET_CURRENT_FRAME_NUMBER, nullptr, 0, &info.frameNumber,
                         sizeof info.frameNumber, &bytes, nullptr))
        info.frameNumber = 0;
    return info;
}

void Device::Configure(const Settings& s) {
    if (s.trigger.widthMs < 4 || s.trigger.widthMs > 100)
        throw Error("the QRS trigger width must be 4 to 100 ms", IOCTL_VELNOR_SET_QRSOutWidth, ERROR_INVALID_PARAMETER,
                    0);
    if (s.trigger.delayMs > 100)
        throw Error("the QRS trigger delay must be 0 to 100 ms", IOCTL_VELNOR_SET_QRSOutDelay, ERROR_INVALID_PARAMETER,
                    0);
    if (s.electrodes.List().empty())
        throw Error("no electrode selected", IOCTL_VELNOR_SET_ELECTRODE_REFERENCE, ERROR_INVALID_PARAMETER, 0);
    SetU32(IOCTL_VELNOR_SET_HPF, static_cast<uint32_t>(s.highPass), "setting the high-pass filter");
    SetU32(IOCTL_VELNOR_SET_LPF, static_cast<uint32_t>(s.lowPass), "setting the low-pass filter");
    // The canceller's frequency is chosen first, then it is switched on or off.
    SetU32(IOCTL_VELNOR_SET_NTCH, s.mains == Mains::Hz60 ? VELNOR_NOTCH_60HZ : VELNOR_NOTCH_50HZ,
           "choosing the mains frequency");
    SetU32(IOCTL_VELNOR_SET_NTCH, s.mains == Mains::Off ? VELNOR_NOTCH_OFF : VELNOR_NOTCH_ON,
           "switching the mains canceller");
    settings_ = s;
    SetQrsTrigger(s.trigger);
    for (int channel = 0; channel < 4; ++channel) SetAnalogOutput(channel, s.analog[channel]);
    SetU32(IOCTL_VELNOR_SET_SAMPLINGFREQ, static_cast<uint32_t>(s.rate), "setting the sampling rate");
    SetU32(IOCTL_VELNOR_SET_ELECTRODE_REFERENCE, s.electrodes.bits, "selecting the electrodes");
    const uint16_t threshold = s.paceThreshold;
    Control(IOCTL_VELNOR_SET_PaceThresh, &threshold, sizeof threshold, nullptr, 0, "setting the pace threshold");
    SetU32(IOCTL_VELNOR_SET_PacePatient, s.pacePatient ? 1 : 0, "marking the patient paced");
}

void Device::SetQrsTrigger(const QrsTrigger& t) {
    SetU32(IOCTL_VELNOR_SET_QRSOutWidth, t.widthMs, "setting the QRS trigger width");
    SetU32(IOCTL_VELNOR_SET_QRSOutDelay, t.delayMs, "setting the QRS trigger delay");
    SetU32(IOCTL_VELNOR_SET_QRSOutPol, t.polarity == TriggerPolarity::Positive ? 1 : 0,
           "setting the QRS trigger polarity");
    Control(t.beep ? IOCTL_VELNOR_ENABLE_QRSBeep : IOCTL_VELNOR_DISABLE_QRSBeep, nullptr, 0, nullptr, 0,
            "switching the QRS beep");
    settings_.trigger = t;
}

void Device::SetAnalogOutput(int channel, const AnalogOutput& o) {
    if (channel < 0 || channel > 3)
        throw Error("analog output channels are 0 to 3", IOCTL_VELNOR_SETLEAD_AOut, ERROR_INVALID_PARAMETER, 0);
    if (o.follows) {
        AOutChannelRequest r = {static_cast<uint16_t>(channel), AnalogLeadCode(o.lead)};
        Control(IOCTL_VELNOR_SETLEAD_AOut, &r, sizeof r, nullptr, 0, "setting an analog output's lead");
    } else {
        AOutChannelRequest r = {static_cast<uint16_t>(channel), o.level};
        Control(IOCTL_VELNOR_WRITE_AOut, &r, sizeof r, nullptr, 0, "setting an analog output's level");
    }
    settings_.analog[channel] = o;
}

void Device::StartStreams(const StreamParameters& p) {
    if (streaming_) StopStreams();
    // The driver keeps its settings driver-wide, and a stop puts the filters
    // back to their defaults: every start sends this handle's settings again,
    // so the blocks carry the electrodes ReadBlock expects.
    const Settings settings = settings_;
    Configure(settings);
    Control(IOCTL_VELNOR_START_ISO_STREAM_IN, &p.in, sizeof p.in, nullptr, 0, "starting the IN stream");
    streaming_ = true;
    // Starting the IN stream sets every analog output to its zero line; a
    // constant level goes in after it (an output following a lead keeps it).
    for (int channel = 0; channel < 4; ++channel)
        if (!settings_.analog[channel].follows) SetAnalogOutput(channel, settings_.analog[channel]);
    Control(IOCTL_VELNOR_ENABLE, nullptr, 0, nullptr, 0, "enabling the module");
    if (p.startOut)
        Control(IOCTL_VELNOR_START_ISO_STREAM_OUT, &p.out, sizeof p.out, nullptr, 0, "starting the OUT stream");
    if (!keysArmed_) {
        FlushKeys();
        keysArmed_ = true;
    }
    held_ = {};
    if (p.timerPeriodMs) {
        if (timeBeginPeriod(p.timerPeriodMs) != TIMERR_NOERROR)
            throw Error("the timer period of " + std::to_string(p.timerPeriodMs) + " ms is not available", 0, 0, 0);
        timerPeriod_ = p.timerPeriodMs;
    }
}

void Device::StopStreams() {
    if (!IsOpen()) return;
    streaming_ = false;
    if (timerPeriod_) timeEndPeriod(timerPeriod_);  // first: the stop below may throw
    timerPeriod_ = 0;
    // Disabling reports whether the IN stream has let go yet; the stop is what counts.
    DWORD bytes = 0;
    DeviceIoControl(handle_, IOCTL_VELNOR_DISABLE, nullptr, 0, nullptr, 0, &bytes, nullptr);
    Control(IOCTL_VELNOR_STOP_ISO_STREAM, nullptr, 0, nullptr, 0, "stopping the streams");
    // The streams end at their next completions (a few frames).
    for (int i = 0; i < 100; ++i) {
        if (DeviceIoControl(handle_, IOCTL_VELNOR_DISABLE, nullptr, 0, nullptr, 0, &bytes, nullptr)) break;
        Sleep(1);
    }
}

Block Device::ReadBlock(uint32_t samples) {
    const std::vector<Electrode> rows = settings_.electrodes.List();
    if (samples == 0 || samples > 32767)
        throw Error("a block has 1 to 32767 samples", IOCTL_VELNOR_READ_ISO_BUFFER, ERROR_INVALID_PARAMETER, 0);
    const uint32_t bytes = VelnorBlockReplyBytes(samples, static_cast<uint32_t>(rows.size()));
    buffer_.assign(bytes / 2, 0);
    BlockRequest request = {0, static_cast<int16_t>(samples), static_cast<int16_t>(rows.size())};
    std::memcpy(buffer_.data(), &request, sizeof request);
    const uint32_t got = Control(IOCTL_VELNOR_READ_ISO_BUFFER, buffer_.data(), bytes, buffer_.data(), bytes,
                                 "reading a block");
    Block block;
    block.rate = static_cast<uint32_t>(settings_.rate);
    if (got == VELNOR_ERROR_BLOCK_BYTES) {
        block.errorCode = buffer_[0];
        block.status = BlockStatus::Decode(buffer_[1]);
        block.error = block.status.fifoFull                          ? BlockError::FifoFull
                      : (block.errorCode & ERR_SSI_TIMEOUT) != 0     ? BlockError::Timeout
                      : block.status.noData                          ? BlockError::NoModule
                                                                     : BlockError::Other;
        return block;
    }
    if (got != bytes) {
        char text[96];
        std::snprintf(text, sizeof text, "reading a block: %u bytes back, %u expected", static_cast<unsigned>(got),
                      static_cast<unsigned>(bytes));
        throw Error(text, IOCTL_VELNOR_READ_ISO_BUFFER, 0, 0);
    }
    block.electrodes = rows;
    block.samples.assign(rows.size(), std::vector<float>(samples));
    block.raw.assign(rows.size(), std::vector<int16_t>(samples));
    for (size_t r = 0; r < rows.size(); ++r) {
        const uint16_t* w = &buffer_[r * samples];
        for (uint32_t s = 0; s < samples; ++s) {
            const int16_t v = static_cast<int16_t>(w[s]);
            block.raw[r][s] = v;
            block.samples[r][s] = static_cast<float>(v) * kMicrovoltsPerCount;
        }
    }
    const uint16_t* pace = &buffer_[rows.size() * samples];
    block.pace.assign(pace, pace + samples);
    block.electrodeStatus = buffer_[(rows.size() + 1) * samples];
    block.status = BlockStatus::Decode(buffer_[(rows.size() + 1) * samples + 1]);
    return block;
}

std::vector<KeyEvent> Device::ReadKeys() {
    std::vector<KeyEvent> events;
    if (!streaming_) return events;
    uint32_t entries[VELNOR_KEY_QUEUE_LENGTH] = {VELNOR_KEY_QUEUE_LENGTH};
    DWORD bytes = 0;
    if (!DeviceIoControl(handle_, IOCTL_VELNOR_KEYPAD_GETKEY, entries, sizeof entries, entries, sizeof entries, &bytes,
                         nullptr)) {
        const DWORD error = GetLastError();
        // Not enabled yet (the module is marked connected after the start): no keys.
        if (error == ERROR_FILE_NOT_FOUND && IsOpen()) return events;
        throw Error(Describe("reading keys", IOCTL_VELNOR_KEYPAD_GETKEY, error), IOCTL_VELNOR_KEYPAD_GETKEY, error,
                    DriverLastError());
    }
    // Never more entries than the buffer holds, whatever count comes back.
    const DWORD count = std::min<DWORD>(bytes / 4, VELNOR_KEY_QUEUE_LENGTH);
    for (DWORD i = 0; i < count; ++i) {
        const uint32_t e = entries[i];
        const uint32_t code = VELNOR_KEY_CODE(e);
        const int key = code == VELNOR_KEY1_CODE ? 1 : code == VELNOR_KEY2_CODE ? 2 : code == VELNOR_KEY3_CODE ? 3 : 0;
        if (!key) continue;
        bool& held = held_[key - 1];
        KeyEvent ev{key, KeyAction::Held, VELNOR_KEY_REPEAT(e), e};
        if (!held) {
            ev.action = KeyAction::Down;
            events.push_back(ev);
            held = true;
        }
        if (e & VELNOR_KEY_BREAK) {
            ev.action = KeyAction::Up;
            events.push_back(ev);
            held = false;
        } else if (ev.action == KeyAction::Held) {
            events.push_back(ev);
        }
    }
    return events;
}

void Device::FlushKeys() {
    Control(IOCTL_VELNOR_KEYPAD_FLUSH, nullptr, 0, nullptr, 0, "flushing the keys");
    held_ = {};
}

}  // namespace velnor::sdk
