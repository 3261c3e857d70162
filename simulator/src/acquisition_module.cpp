// The simulated acquisition module.
#include "velnor_sim/acquisition_module.h"

#include <algorithm>
#include <cmath>

namespace velnor::sim {
namespace {

constexpr size_t kSlotHeader = 6;
constexpr size_t kPacketWords = 17;
constexpr size_t kPacketBytes = 2 * kPacketWords;
constexpr size_t kMaxOutputs = 4u << 20;  // about 70 minutes of output packets
constexpr size_t kMaxEcho = 65536;

// Packet word positions of the twelve electrodes (see Electrode).
constexpr int kWordOf[kElectrodeCount] = {1, 2, 9, 8, 7, 6, 4, 3, 11, 12, 13, 14};

void Put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

std::vector<uint8_t> Endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval) {
    std::vector<uint8_t> d = {7, 5, address, attributes};
    Put16(d, maxPacket);
    d.push_back(interval);
    return d;
}

std::vector<uint8_t> Utf16String(const std::string& s) {
    std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * s.size()), 3};
    for (char c : s) Put16(d, static_cast<uint8_t>(c));
    return d;
}

}  // namespace

AcquisitionModule::AcquisitionModule(ModuleSettings settings) : settings_(std::move(settings)), model_(settings_.ecg) {
    if (!settings_.recording.empty()) recording_ = Recording::Load(settings_.recording, settings_.csvRate);
}

void AcquisitionModule::BadSync(uint64_t first, uint64_t count) {
    std::lock_guard<std::mutex> guard(lock_);
    for (uint64_t k = first; k < first + count; ++k) badSync_.insert(k);
}
void AcquisitionModule::BadChecksum(uint64_t first, uint64_t count) {
    std::lock_guard<std::mutex> guard(lock_);
    for (uint64_t k = first; k < first + count; ++k) badChecksum_.insert(k);
}
void AcquisitionModule::Lose(uint64_t first, uint64_t count) {
    std::lock_guard<std::mutex> guard(lock_);
    for (uint64_t k = first; k < first + count; ++k) lost_.insert(k);
}
void AcquisitionModule::OversizeSlot(uint32_t frame) {
    std::lock_guard<std::mutex> guard(lock_);
    oversize_.insert(frame);
}
void AcquisitionModule::SetLeadOff(uint32_t mask) {
    std::lock_guard<std::mutex> guard(lock_);
    settings_.leadOffMask = mask;
}
void AcquisitionModule::PressKey(KeyPress press) {
    std::lock_guard<std::mutex> guard(lock_);
    settings_.keys.push_back(press);
}

uint16_t AcquisitionModule::KeyBits(double t) const {
    uint16_t bits = 0;
    for (const KeyPress& k : settings_.keys)
        if (k.key >= 1 && k.key <= 3 && t >= k.start && t < k.start + k.duration) bits |= static_cast<uint16_t>(0x10000 >> k.key);
    return bits;
}

std::vector<uint16_t> AcquisitionModule::BuildPacket(uint64_t k) {
    const double t = static_cast<double>(k) / kPacketsPerSecond;
    const Potentials p = recording_ ? recording_->At(t) : model_.At(t);
    const bool pace = !recording_ && model_.PacePulse(t);
    std::vector<uint16_t> w(kPacketWords, 0);
    w[0] = 0xFFFE;
    for (int e = 0; e < kElectrodeCount; ++e) {
        double counts = std::round(p[e] * settings_.countsPerMv);
        counts = std::clamp(counts, -32768.0, 32767.0);
        // An electrode that is off drives its input into saturation.
        if (settings_.leadOffMask & (1u << e)) counts = 32767;
        w[kWordOf[e]] = static_cast<uint16_t>(static_cast<int16_t>(counts));
    }
    uint16_t sta1 = KeyBits(t);
    if (settings_.leadOffMask) sta1 |= 0x0002;
    if (pace) sta1 |= 0x0004;
    w[5] = sta1;
    w[10] = pace ? static_cast<uint16_t>(settings_.paceValue & 0x01FE) : 0;
    w[15] = static_cast<uint16_t>(2 * k);  // two apart per packet
    uint16_t sum = 0;
    for (size_t i = 1; i < 16; ++i) sum = static_cast<uint16_t>(sum + w[i]);
    w[16] = static_cast<uint16_t>(0u - sum);
    if (badChecksum_.count(k)) w[16] = static_cast<uint16_t>(w[16] + 1);
    if (badSync_.count(k)) w[0] = 0xFFFF;
    return w;
}

std::vector<uint16_t> AcquisitionModule::PacketAt(uint64_t k) {
    std::lock_guard<std::mutex> guard(lock_);
    return BuildPacket(k);
}

size_t AcquisitionModule::IsoIn(uint8_t endpoint, uint32_t frame, uint8_t* data, size_t capacity) {
    if ((endpoint != kIsoInEndpoint && endpoint != 0x86) || capacity < kSlotHeader) return 0;
    std::lock_guard<std::mutex> guard(lock_);
    if (playback_) return PlaybackIn(frame, data, capacity);
    std::vector<uint16_t> words;
    const size_t fit = (capacity - kSlotHeader) / kPacketBytes;
    size_t count = 0;
    for (uint64_t k = 2ull * frame; k < 2ull * frame + 2 && count < fit; ++k) {
        if (lost_.count(k)) continue;
        auto p = BuildPacket(k);
        words.insert(words.end(), p.begin(), p.end());
        ++count;
    }
    packetsSent_ += count;
    data[0] = data[1] = 0;
    data[2] = static_cast<uint8_t>(count);  // buffer status: packets in this slot
    data[3] = 0;
    data[4] = static_cast<uint8_t>(oversize_.count(frame) ? 52 : words.size());
    data[5] = 0;
    for (size_t i = 0; i < words.size(); ++i) {
        data[kSlotHeader + 2 * i] = static_cast<uint8_t>(words[i] >> 8);  // most significant byte first
        data[kSlotHeader + 2 * i + 1] = static_cast<uint8_t>(words[i]);
    }
    return kSlotHeader + 2 * words.size();
}

// The slot's packets come straight from the file: its words are already in
// wire order, faults and keys included.
size_t AcquisitionModule::PlaybackIn(uint32_t frame, uint8_t* data, size_t capacity) {
    Playback& p = *playback_;
    ++p.inSlots;
    size_t count = 0;
    if (!p.waitForOut && (!p.afterOut || static_cast<int32_t>(frame - p.startFrame) >= 0))
        while (count < 2 && (p.next + 1) * kPacketBytes <= p.packets.size() &&
               kSlotHeader + (count + 1) * kPacketBytes <= capacity) {
            std::copy_n(p.packets.begin() + static_cast<std::ptrdiff_t>(p.next * kPacketBytes), kPacketBytes,
                        data + kSlotHeader + count * kPacketBytes);
            ++p.next, ++count;
        }
    packetsSent_ += count;
    data[0] = data[1] = data[3] = data[5] = 0;
    data[2] = static_cast<uint8_t>(count);
    data[4] = static_cast<uint8_t>(count * kPacketWords);
    return kSlotHeader + count * kPacketBytes;
}

void AcquisitionModule::PlayPackets(std::vector<uint8_t> packets, bool afterOutTransfer) {
    std::lock_guard<std::mutex> guard(lock_);
    Playback p;
    if (playback_) p.outRecord = std::move(playback_->outRecord);  // what was received is still to be read
    p.packets = std::move(packets);
    p.waitForOut = p.afterOut = afterOutTransfer;
    playback_ = std::move(p);
}

// The file starts in the frame after an OUT transfer's last one, as the
// Windows test bus starts it. When the controller completes a frame's IN
// transfers before its OUT ones, each OUT transfer the driver builds then
// finds exactly the packets of the frames since the last one.
void AcquisitionModule::IsoTransferEnd(uint8_t endpoint, uint32_t lastFrame) {
    if (endpoint != kIsoOutEndpoint && endpoint != 0x07) return;
    std::lock_guard<std::mutex> guard(lock_);
    if (playback_ && playback_->waitForOut) {
        playback_->waitForOut = false;
        playback_->startFrame = lastFrame + 1;
    }
}

std::vector<uint8_t> AcquisitionModule::TakeOutRecord(size_t max) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!playback_) return {};
    std::vector<uint8_t>& r = playback_->outRecord;
    size_t n = 0;
    while (n + 2 <= r.size()) {
        const size_t size = 2 + (r[n] | r[n + 1] << 8);
        if (n + size > max) break;
        n += size;
    }
    std::vector<uint8_t> taken(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(n));
    r.erase(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(n));
    return taken;
}

AcquisitionModule::BenchCounts AcquisitionModule::Bench() const {
    std::lock_guard<std::mutex> guard(lock_);
    if (!playback_) return {};
    const Playback& p = *playback_;
    return {p.packets.size() / kPacketBytes, p.next, p.inSlots, p.outSlots, p.outRecord.size()};
}

void AcquisitionModule::IsoOut(uint8_t endpoint, uint32_t frame, const uint8_t* data, size_t length) {
    if (endpoint != kIsoOutEndpoint && endpoint != 0x07) return;
    std::lock_guard<std::mutex> guard(lock_);
    if (playback_) {
        constexpr size_t kRecordLimit = 4u << 20;
        ++playback_->outSlots;
        std::vector<uint8_t>& r = playback_->outRecord;
        if (r.size() + 2 + length <= kRecordLimit) {
            r.push_back(static_cast<uint8_t>(length));
            r.push_back(static_cast<uint8_t>(length >> 8));
            r.insert(r.end(), data, data + length);
        }
    }
    if (length < 13) return;
    OutputSample s{frame, {}, data[8], data[9], data[10], data[11], data[12]};
    for (int j = 0; j < 4; ++j) s.an[j] = static_cast<uint16_t>(data[2 * j] << 8 | data[2 * j + 1]);
    if (outputs_.size() >= kMaxOutputs) outputs_.pop_front();
    outputs_.push_back(s);
}

std::vector<OutputSample> AcquisitionModule::Outputs() const {
    std::lock_guard<std::mutex> guard(lock_);
    return {outputs_.begin(), outputs_.end()};
}

std::vector<uint32_t> AcquisitionModule::TriggerFrames() const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<uint32_t> frames;
    for (const OutputSample& s : outputs_)
        if (s.trig) frames.push_back(s.frame);
    return frames;
}

std::optional<uint8_t> AcquisitionModule::Firmware(uint16_t address) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = firmware_.find(address);
    if (it == firmware_.end()) return std::nullopt;
    return it->second;
}

std::vector<hk::usb::Setup> AcquisitionModule::ControlLog() const {
    std::lock_guard<std::mutex> guard(lock_);
    return controlLog_;
}

uint64_t AcquisitionModule::PacketsSent() const {
    std::lock_guard<std::mutex> guard(lock_);
    return packetsSent_;
}

std::vector<Beat> AcquisitionModule::Beats(double until) {
    std::lock_guard<std::mutex> guard(lock_);
    return model_.Beats(until);
}

std::vector<uint8_t> AcquisitionModule::DeviceDescriptor() {
    std::vector<uint8_t> d = {18, 1};
    Put16(d, 0x0110);                   // USB 1.1, full speed
    d.insert(d.end(), {0xFF, 0, 0, 64});
    Put16(d, kVendorId);
    Put16(d, kProductId);
    Put16(d, 0x0100);                   // release
    d.insert(d.end(), {1, 2, 3, 1});    // strings, one configuration
    return d;
}

std::vector<uint8_t> AcquisitionModule::ConfigurationDescriptor() {
    std::vector<uint8_t> body;
    auto add = [&](const std::vector<uint8_t>& d) { body.insert(body.end(), d.begin(), d.end()); };
    add({9, 4, 0, 0, 5, 0xFF, 0, 0, 4});
    add(Endpoint(kIsoInEndpoint, 0x01, kIsoInMaxPacket, 1));
    add(Endpoint(kIsoOutEndpoint, 0x01, kIsoOutMaxPacket, 1));
    add(Endpoint(kBulkInEndpoint, 0x02, 64, 0));
    add(Endpoint(kBulkOutEndpoint, 0x02, 64, 0));
    add(Endpoint(kInterruptEndpoint, 0x03, 8, 10));
    add({9, 4, 0, 1, 8, 0xFF, 0, 0, 5});  // alternate setting with every pipe
    add(Endpoint(kIsoInEndpoint, 0x01, 256, 1));
    add(Endpoint(kIsoOutEndpoint, 0x01, 64, 1));
    add(Endpoint(kBulkInEndpoint, 0x02, 64, 0));
    add(Endpoint(kBulkOutEndpoint, 0x02, 64, 0));
    add(Endpoint(kInterruptEndpoint, 0x03, 8, 10));
    add(Endpoint(0x86, 0x01, kIsoInMaxPacket, 1));
    add(Endpoint(0x07, 0x01, kIsoOutMaxPacket, 1));
    add(Endpoint(0x88, 0x02, 64, 0));
    std::vector<uint8_t> d = {9, 2};
    Put16(d, static_cast<uint16_t>(9 + body.size()));
    d.insert(d.end(), {1, 1, 0, 0x80, 100});  // one interface, value 1, bus powered, 200 mA
    d.insert(d.end(), body.begin(), body.end());
    return d;
}

std::optional<std::vector<uint8_t>> AcquisitionModule::StringDescriptor(uint8_t index, uint16_t language) {
    if (index == 0) return std::vector<uint8_t>{4, 3, 0x09, 0x04};  // English (United States)
    if (language != 0x0409) return std::nullopt;
    switch (index) {
    case 1: return Utf16String("velnor");
    case 2: return Utf16String("velnor ECG acquisition module (simulated)");
    case 3: return Utf16String("SIM-0001");
    case 4: return Utf16String("acquisition");
    case 5: return Utf16String("acquisition, all pipes");
    default: return std::nullopt;
    }
}

bool AcquisitionModule::Control(const hk::usb::Setup& setup, std::vector<uint8_t>& data) {
    std::lock_guard<std::mutex> guard(lock_);
    controlLog_.push_back(setup);
    if (setup.request == kStallRequest) return false;
    const bool in = setup.requestType & 0x80;
    const bool vendor = (setup.requestType & 0x60) == 0x40;
    if (vendor && setup.request == kFirmwareRequest) {
        // Firmware memory: OUT writes at wValue on, IN reads back (0 where never written).
        if (in) {
            data.resize(setup.length);
            for (size_t i = 0; i < data.size(); ++i) {
                auto it = firmware_.find(static_cast<uint16_t>(setup.value + i));
                data[i] = it == firmware_.end() ? 0 : it->second;
            }
        } else {
            for (size_t i = 0; i < data.size(); ++i) firmware_[static_cast<uint16_t>(setup.value + i)] = data[i];
        }
        return true;
    }
    if (in) {
        data.resize(setup.length);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(setup.request + i);
    }
    return true;
}

size_t AcquisitionModule::BulkIn(uint8_t endpoint, uint8_t* data, size_t capacity) {
    std::lock_guard<std::mutex> guard(lock_);
    if (endpoint == kInterruptEndpoint) {
        // Status: keys, lead-off mask, frame.
        const uint32_t frame = hk::usb::HostController::FrameNumber();
        const uint8_t status[4] = {static_cast<uint8_t>(KeyBits(frame / 1000.0) >> 13),
                                   static_cast<uint8_t>(settings_.leadOffMask), static_cast<uint8_t>(settings_.leadOffMask >> 8),
                                   static_cast<uint8_t>(frame)};
        size_t n = std::min<size_t>(4, capacity);
        std::copy(status, status + n, data);
        return n;
    }
    if (endpoint != kBulkInEndpoint && endpoint != 0x88) return 0;
    // What came in on the bulk OUT pipe goes back out; with nothing queued a counting pattern.
    size_t n = 0;
    if (!echo_.empty()) {
        for (; n < capacity && !echo_.empty(); ++n) {
            data[n] = echo_.front();
            echo_.pop_front();
        }
        return n;
    }
    for (; n < capacity; ++n) data[n] = bulkCounter_++;
    return n;
}

void AcquisitionModule::BulkOut(uint8_t endpoint, const uint8_t* data, size_t length) {
    if (endpoint != kBulkOutEndpoint) return;
    std::lock_guard<std::mutex> guard(lock_);
    for (size_t i = 0; i < length && echo_.size() < kMaxEcho; ++i) echo_.push_back(data[i]);
}

void AcquisitionModule::PortReset() {
    std::lock_guard<std::mutex> guard(lock_);
    echo_.clear();
}

}  // namespace velnor::sim
