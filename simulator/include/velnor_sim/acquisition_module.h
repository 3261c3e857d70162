// The simulated acquisition module: a full-speed USB function that sends
// acquisition packets on its isochronous IN pipe (two per 1 ms frame), takes
// output packets on its isochronous OUT pipe and records what they drive,
// keeps a firmware memory written by vendor request 0xA0, echoes its bulk
// pipes, and can be told to misbehave. See docs/simulated-module.md.
#pragma once

#include "velnor_sim/ecg_model.h"
#include "velnor_sim/recording.h"

#include <hostkernel/usb_bus.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

namespace velnor::sim {

// The module's USB identity and the hardware ID Plug and Play matches a driver by.
constexpr uint16_t kVendorId = 0x1209;
constexpr uint16_t kProductId = 0x7E1A;
constexpr char16_t kHardwareId[] = u"USB\\VID_1209&PID_7E1A";

// Endpoint addresses of interface 0, alternate setting 0.
constexpr uint8_t kIsoInEndpoint = 0x81;    // acquisition packets
constexpr uint8_t kIsoOutEndpoint = 0x02;   // output packets
constexpr uint8_t kBulkInEndpoint = 0x83;
constexpr uint8_t kBulkOutEndpoint = 0x04;
constexpr uint8_t kInterruptEndpoint = 0x85;
constexpr uint16_t kIsoInMaxPacket = 108;   // 6 header bytes and three packets
constexpr uint16_t kIsoOutMaxPacket = 16;
constexpr uint8_t kFirmwareRequest = 0xA0;
constexpr uint8_t kStallRequest = 0xFF;     // any request with this code stalls

constexpr double kPacketsPerSecond = 2000;

struct KeyPress {
    int key;          // 1, 2 or 3
    double start;     // seconds
    double duration;  // seconds
};

struct ModuleSettings {
    EcgSettings ecg;
    double countsPerMv = 150;       // signal words per millivolt (6.67 uV a count)
    std::string recording;          // EDF/EDF+ or CSV file played instead of the model
    double csvRate = 500;           // samples per second of a CSV file without a time column
    uint32_t leadOffMask = 0;       // bit e: electrode e (see Electrode) is off
    std::vector<KeyPress> keys;
    uint16_t paceValue = 0x40;      // STA2 pace value sent with each pacemaker pulse packet
    double unplugAfter = -1;        // the host runtime pulls the plug this many seconds after plug-in
};

// One output packet as the module received it.
struct OutputSample {
    uint32_t frame;
    uint16_t an[4];
    uint8_t trig, beep, width, delay, polarity;
};

class AcquisitionModule : public hk::usb::Function {
public:
    explicit AcquisitionModule(ModuleSettings settings);

    // Packet faults, by packet number (packet k is sent at k / 2000 s).
    void BadSync(uint64_t first, uint64_t count = 1);
    void BadChecksum(uint64_t first, uint64_t count = 1);
    void Lose(uint64_t first, uint64_t count = 1);  // not sent; SEQU shows the gap
    void OversizeSlot(uint32_t frame);              // that frame's slot claims 52 words
    void SetLeadOff(uint32_t mask);
    void PressKey(KeyPress press);

    // Bench playback, as the Windows test bus plays a packet file: from now
    // on the IN pipe carries the file's packets (34 bytes each, as on the
    // wire) two a frame, and none once they have run out; with
    // `afterOutTransfer` they start in the frame after the next isochronous
    // OUT transfer ends. Every OUT slot received from then on is recorded
    // (up to 4 MiB, as the Windows bus keeps).
    void PlayPackets(std::vector<uint8_t> packets, bool afterOutTransfer);
    // The recorded OUT slots, oldest first, each a u16 length (LE) and its
    // bytes: as many whole records as fit in `max` bytes, taken away.
    std::vector<uint8_t> TakeOutRecord(size_t max);
    struct BenchCounts {
        uint64_t packetsLoaded, packetsSent, inSlots, outSlots, recordBytes;
    };
    BenchCounts Bench() const;

    // What the module sent and received.
    std::vector<uint16_t> PacketAt(uint64_t k);    // the 17 words of packet k, host order
    std::vector<OutputSample> Outputs() const;     // every output packet received, oldest first
    std::vector<uint32_t> TriggerFrames() const;   // frames whose packet had TRIG set
    std::optional<uint8_t> Firmware(uint16_t address) const;
    std::vector<hk::usb::Setup> ControlLog() const;
    uint64_t PacketsSent() const;
    std::vector<Beat> Beats(double until);         // the model's R peaks (not for recordings)

    // hk::usb::Function
    std::vector<uint8_t> DeviceDescriptor() override;
    std::vector<uint8_t> ConfigurationDescriptor() override;
    std::optional<std::vector<uint8_t>> StringDescriptor(uint8_t index, uint16_t language) override;
    bool Control(const hk::usb::Setup& setup, std::vector<uint8_t>& data) override;
    size_t IsoIn(uint8_t endpoint, uint32_t frame, uint8_t* data, size_t capacity) override;
    void IsoOut(uint8_t endpoint, uint32_t frame, const uint8_t* data, size_t length) override;
    void IsoTransferEnd(uint8_t endpoint, uint32_t lastFrame) override;
    size_t BulkIn(uint8_t endpoint, uint8_t* data, size_t capacity) override;
    void BulkOut(uint8_t endpoint, const uint8_t* data, size_t length) override;
    void PortReset() override;

private:
    std::vector<uint16_t> BuildPacket(uint64_t k);
    uint16_t KeyBits(double t) const;

    mutable std::mutex lock_;
    ModuleSettings settings_;
    EcgModel model_;
    std::optional<Recording> recording_;
    std::set<uint64_t> badSync_, badChecksum_, lost_;
    std::set<uint32_t> oversize_;
    std::deque<OutputSample> outputs_;
    std::map<uint16_t, uint8_t> firmware_;
    std::vector<hk::usb::Setup> controlLog_;
    std::deque<uint8_t> echo_;
    uint64_t packetsSent_ = 0;
    struct Playback {
        std::vector<uint8_t> packets;
        size_t next = 0;                 // packets sent
        bool afterOut = false;           // the file starts after an OUT transfer,
        bool waitForOut = false;         // which has not ended yet
        uint32_t startFrame = 0;         // the first frame that carries the file
        std::vector<uint8_t> outRecord;  // u16 length, slot bytes
        uint64_t inSlots = 0, outSlots = 0;
    };
    std::optional<Playback> playback_;
    size_t PlaybackIn(uint32_t frame, uint8_t* data, size_t capacity);
    uint8_t bulkCounter_ = 0;
};

}  // namespace velnor::sim
