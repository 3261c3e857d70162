// The simulated module as a patient simulator: a 12-lead ECG that looks
// like one, its rhythms, the status bits and packet faults, interference,
// recorded ECGs from EDF and CSV files; and end to end through the driver.
#include "support/module_harness.h"

#include <edflib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

using velnor::sim::AcquisitionModule;
using velnor::sim::ModuleSettings;

constexpr double kCountsPerMv = 150;

// The leads the output stage derives, in millivolts, from packet k.
struct Leads {
    double I, II, aVR, aVF, V[6];
};
Leads LeadsOf(const std::vector<uint16_t>& p) {
    auto mv = [&](int w) { return static_cast<int16_t>(p[w]) / kCountsPerMv; };
    Leads l{};
    l.I = mv(VELNOR_W_LA);
    l.II = mv(VELNOR_W_LL);
    l.aVR = -(l.I + l.II) / 2;
    l.aVF = l.II - l.I / 2;
    const double wct = (l.I + l.II) / 3;
    const int chest[6] = {VELNOR_W_V1, VELNOR_W_V2, VELNOR_W_V3, VELNOR_W_V4, VELNOR_W_V5, VELNOR_W_V6};
    for (int v = 0; v < 6; ++v) l.V[v] = mv(chest[v]) - wct;
    return l;
}

uint64_t PacketAtTime(double seconds) { return static_cast<uint64_t>(std::llround(seconds * 2000)); }

// A module with the default settings changed by `change`.
template <class F>
AcquisitionModule With(F change) {
    ModuleSettings s;
    change(s);
    return AcquisitionModule(s);
}

TEST(SimulatedPatient, TwelveLeadsLookLikeAnEcgAndFollowTheAxis) {
    AcquisitionModule module({});
    const double r = module.Beats(3).back().r;
    Leads peak = LeadsOf(module.PacketAt(PacketAtTime(r)));
    EXPECT_NEAR(peak.II, 1.2, 0.3) << "R wave in lead II";
    EXPECT_GT(peak.I, 0.3);
    EXPECT_LT(peak.aVR, -0.5) << "aVR is inverted";
    EXPECT_LT(peak.V[0], 0) << "V1 mostly negative";
    EXPECT_GT(peak.V[5], 0.3) << "V6 positive";
    EXPECT_LT(peak.V[0], peak.V[2]);
    EXPECT_LT(peak.V[2], peak.V[4]) << "R wave progression";
    Leads baseline = LeadsOf(module.PacketAt(PacketAtTime(r - 0.4)));
    EXPECT_NEAR(baseline.II, 0, 0.02) << "flat between T and P";

    AcquisitionModule left = With([](auto& s) { s.ecg.axisDegrees = -30; });
    Leads l = LeadsOf(left.PacketAt(PacketAtTime(left.Beats(3).back().r)));
    EXPECT_GT(l.I, peak.I);
    EXPECT_LT(l.aVF, 0) << "an axis of -30 degrees makes aVF negative";
}

TEST(SimulatedPatient, RhythmsFollowTheSettings) {
    for (double bpm : {30.0, 120.0, 300.0}) {
        AcquisitionModule module = With([&](auto& s) { s.ecg.heartRate = bpm; });
        EXPECT_NEAR(static_cast<double>(module.Beats(60.5).size()), bpm, 1.0) << bpm;
    }
    auto beats = With([](auto& s) { s.ecg.irregularity = 0.3; }).Beats(60);
    double shortest = 10, longest = 0;
    for (size_t i = 1; i < beats.size(); ++i) {
        shortest = std::min(shortest, beats[i].r - beats[i - 1].r);
        longest = std::max(longest, beats[i].r - beats[i - 1].r);
    }
    EXPECT_LT(shortest, 0.7);
    EXPECT_GT(longest, 1.0);

    beats = With([](auto& s) {
                s.ecg.ectopicEvery = 4;
                s.ecg.asystoleStart = 20;
                s.ecg.asystoleSeconds = 5;
            }).Beats(40);
    for (size_t i = 0; i < beats.size(); ++i) {
        EXPECT_FALSE(beats[i].r >= 20 && beats[i].r < 25) << "asystole";
        if (beats[i].ectopic && i > 0 && i + 1 < beats.size()) {
            EXPECT_GT(beats[i + 1].r - beats[i].r, beats[i].r - beats[i - 1].r) << "compensatory pause";
        }
    }
    EXPECT_GE(std::count_if(beats.begin(), beats.end(), [](const auto& b) { return b.ectopic; }), 6);
}

TEST(SimulatedPatient, StatusWordsCarryLeadOffKeysAndPacePulses) {
    AcquisitionModule module = With([](auto& s) {
        s.ecg.paced = true;
        s.leadOffMask = 1u << velnor::sim::kV3;
        s.keys.push_back({2, 1.0, 0.5});
    });
    auto p = module.PacketAt(PacketAtTime(0.3));
    EXPECT_EQ(p[VELNOR_W_STA1] & VELNOR_STA1_LEAD_FAIL, VELNOR_STA1_LEAD_FAIL);
    EXPECT_EQ(p[VELNOR_W_V3], 0x7FFF) << "an electrode that is off saturates";
    EXPECT_EQ(module.PacketAt(PacketAtTime(1.2))[VELNOR_W_STA1] & 0xE000, 0x4000) << "key 2 held";
    EXPECT_EQ(module.PacketAt(PacketAtTime(1.6))[VELNOR_W_STA1] & 0xE000, 0);

    const double r = module.Beats(3).back().r;
    int pulsePackets = 0;
    for (uint64_t k = PacketAtTime(r - 0.1); k < PacketAtTime(r); ++k) {
        auto q = module.PacketAt(k);
        if (q[VELNOR_W_STA1] & VELNOR_STA1_PACE) {
            ++pulsePackets;
            EXPECT_EQ(q[VELNOR_W_STA2], 0x40);
        }
    }
    EXPECT_EQ(pulsePackets, 3) << "a 1.5 ms pulse before the paced QRS";
}

TEST(SimulatedPatient, PacketsAreValidUnlessAFaultIsAsked) {
    AcquisitionModule module({});
    for (uint64_t k = 0; k < 200; ++k) {
        auto p = module.PacketAt(k);
        uint16_t sum = 0;
        for (int w = 1; w <= 16; ++w) sum = static_cast<uint16_t>(sum + p[w]);
        ASSERT_EQ(sum, 0) << k;
        ASSERT_EQ(p[VELNOR_W_SYNC], VELNOR_SYNC_WORD);
        ASSERT_EQ(p[VELNOR_W_SEQU], (2 * k) & 0xFFFF);
    }
    module.BadSync(10);
    module.BadChecksum(11);
    module.Lose(12);
    module.OversizeSlot(7);
    EXPECT_EQ(module.PacketAt(10)[VELNOR_W_SYNC], 0xFFFF);
    uint16_t sum = 0;
    for (uint16_t w : module.PacketAt(11)) sum = static_cast<uint16_t>(sum + w);
    EXPECT_NE(static_cast<uint16_t>(sum - module.PacketAt(11)[0]), 0);
    uint8_t slot[108];
    EXPECT_EQ(module.IsoIn(velnor::sim::kIsoInEndpoint, 6, slot, sizeof slot), 6u + 34) << "packet 12 lost";
    EXPECT_EQ(slot[4], 17);
    EXPECT_EQ(slot[6 + 30] << 8 | slot[6 + 31], 26) << "packet 13 follows with its own number";
    module.IsoIn(velnor::sim::kIsoInEndpoint, 7, slot, sizeof slot);
    EXPECT_EQ(slot[4], 52) << "a slot claiming more than 51 words";
}

// The test bench's packet file: played two a slot once an OUT transfer has
// ended, as far as each slot has room, then nothing; OUT slots recorded
// whole and handed out in whole records only.
TEST(BenchPlayback, FilePacketsFollowAnOutTransferAndOutSlotsAreRecordedWhole) {
    using velnor::sim::kIsoInEndpoint;
    using velnor::sim::kIsoOutEndpoint;
    AcquisitionModule module({});
    EXPECT_TRUE(module.TakeOutRecord(1000).empty()) << "nothing is recorded before a file is played";
    std::vector<uint8_t> file(5 * 34);
    for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7 + 1);
    module.PlayPackets(file, true);

    uint8_t slot[108];
    EXPECT_EQ(module.IsoIn(kIsoInEndpoint, 1, slot, sizeof slot), 6u) << "waits for an OUT transfer to end";
    EXPECT_EQ(slot[2], 0);
    module.IsoTransferEnd(kIsoInEndpoint, 1);
    EXPECT_EQ(module.IsoIn(kIsoInEndpoint, 2, slot, sizeof slot), 6u) << "an IN transfer's end does not start it";
    module.IsoTransferEnd(kIsoOutEndpoint, 2);
    EXPECT_EQ(module.IsoIn(kIsoInEndpoint, 2, slot, sizeof slot), 6u) << "a slot of the OUT transfer's last frame";
    module.IsoTransferEnd(kIsoOutEndpoint, 7);
    ASSERT_EQ(module.IsoIn(kIsoInEndpoint, 3, slot, sizeof slot), 6u + 68) << "the first end counts";
    EXPECT_EQ(slot[2], 2);
    EXPECT_EQ(slot[4], 34);
    EXPECT_TRUE(std::equal(file.begin(), file.begin() + 68, slot + 6)) << "the file's bytes as they are";
    uint8_t narrow[6 + 34 + 33];
    ASSERT_EQ(module.IsoIn(kIsoInEndpoint, 4, narrow, sizeof narrow), 6u + 34) << "room for one packet";
    EXPECT_TRUE(std::equal(file.begin() + 68, file.begin() + 102, narrow + 6));
    EXPECT_EQ(module.IsoIn(kIsoInEndpoint, 5, slot, sizeof slot), 6u + 68);
    EXPECT_TRUE(std::equal(file.begin() + 102, file.end(), slot + 6));
    EXPECT_EQ(module.IsoIn(kIsoInEndpoint, 6, slot, sizeof slot), 6u) << "the file has run out";
    auto counts = module.Bench();
    EXPECT_EQ(counts.packetsLoaded, 5u);
    EXPECT_EQ(counts.packetsSent, 5u);
    EXPECT_EQ(counts.inSlots, 7u);

    const uint8_t full[16] = {1, 2, 3, 4, 5, 6, 7, 8, 0xFF, 0, 20, 5, 0, 0, 0, 0};
    const uint8_t shortSlot[3] = {9, 8, 7};
    module.IsoOut(kIsoOutEndpoint, 7, full, sizeof full);
    module.IsoOut(kIsoOutEndpoint, 8, shortSlot, sizeof shortSlot);
    EXPECT_EQ(module.Bench().recordBytes, 18u + 5u);
    EXPECT_EQ(module.Bench().outSlots, 2u);
    EXPECT_TRUE(module.TakeOutRecord(1).empty()) << "no record fits";
    auto first = module.TakeOutRecord(18 + 4);
    ASSERT_EQ(first.size(), 18u) << "only whole records";
    EXPECT_EQ(first[0], 16);
    EXPECT_EQ(first[1], 0);
    EXPECT_TRUE(std::equal(full, full + 16, first.begin() + 2));
    EXPECT_EQ(module.TakeOutRecord(100), (std::vector<uint8_t>{3, 0, 9, 8, 7}));
    EXPECT_TRUE(module.TakeOutRecord(100).empty()) << "taken once";
    EXPECT_EQ(module.Outputs().size(), 1u) << "the short slot drives no output";

    // A new file plays from its start at once; what was received stays to be read.
    module.IsoOut(kIsoOutEndpoint, 9, full, sizeof full);
    module.PlayPackets(file, false);
    ASSERT_EQ(module.IsoIn(kIsoInEndpoint, 10, slot, sizeof slot), 6u + 68);
    EXPECT_TRUE(std::equal(file.begin(), file.begin() + 68, slot + 6));
    EXPECT_EQ(module.TakeOutRecord(100).size(), 18u);
}

// Interference shows in the electrode signals at its own frequency.
TEST(SimulatedPatient, InterferenceAppearsAtItsFrequencies) {
    auto amplitudeAt = [](const ModuleSettings& s, double hz) {
        AcquisitionModule module(s);
        double re = 0, im = 0;
        const int n = 4000;  // two seconds, a whole number of cycles
        for (int k = 0; k < n; ++k) {
            double v = static_cast<int16_t>(module.PacketAt(static_cast<uint64_t>(k))[VELNOR_W_V5]) / kCountsPerMv;
            re += v * std::cos(2 * M_PI * hz * k / 2000.0);
            im += v * std::sin(2 * M_PI * hz * k / 2000.0);
        }
        return 2 * std::hypot(re, im) / n;
    };
    ModuleSettings quiet, noisy;
    quiet.ecg.heartRate = noisy.ecg.heartRate = 30;
    noisy.ecg.mainsHz = 60;
    noisy.ecg.mainsMv = 0.5;
    noisy.ecg.carrierMv = 0.3;
    EXPECT_LT(amplitudeAt(quiet, 60), 0.01);
    EXPECT_GT(amplitudeAt(noisy, 60), 0.1);
    EXPECT_GT(amplitudeAt(noisy, 250), 0.05);
    EXPECT_LT(amplitudeAt(noisy, 50), 0.01);
}

class RecordingTest : public ::testing::Test {
protected:
    void SetUp() override { dir_ = std::filesystem::temp_directory_path() / ("velnor-rec-" + std::to_string(::getpid())); std::filesystem::create_directories(dir_); }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::filesystem::path dir_;
};

// Leads I, II and V1 as slow sines in an EDF+ file at 250 Hz, in uV.
TEST_F(RecordingTest, EdfAndCsvLeadsBecomeElectrodeSignals) {
    const std::string path = (dir_ / "ecg.edf").string();
    int h = edfopen_file_writeonly(path.c_str(), EDFLIB_FILETYPE_EDFPLUS, 3);
    ASSERT_GE(h, 0);
    const char* labels[3] = {"ECG I", "ECG II", "ECG V1"};
    for (int s = 0; s < 3; ++s) {
        edf_set_samplefrequency(h, s, 250);
        edf_set_physical_maximum(h, s, 5000);
        edf_set_physical_minimum(h, s, -5000);
        edf_set_digital_maximum(h, s, 32767);
        edf_set_digital_minimum(h, s, -32768);
        edf_set_label(h, s, labels[s]);
        edf_set_physical_dimension(h, s, "uV");
    }
    auto lead = [](int s, double t) { return (s + 1) * 400 * std::sin(2 * M_PI * 1.0 * t); };  // uV
    for (int record = 0; record < 4 * 3; ++record) {  // four seconds, three signals each
        double buf[250];
        for (int i = 0; i < 250; ++i) buf[i] = lead(record % 3, record / 3 + i / 250.0);
        ASSERT_EQ(edfwrite_physical_samples(h, buf), 0);
    }
    ASSERT_EQ(edfclose_file(h), 0);

    AcquisitionModule module = With([&](auto& s) { s.recording = path; });
    for (double t : {0.25, 1.1, 2.6}) {
        Leads l = LeadsOf(module.PacketAt(PacketAtTime(t)));
        EXPECT_NEAR(l.I, lead(0, t) / 1000, 0.02) << t;
        EXPECT_NEAR(l.II, lead(1, t) / 1000, 0.02) << t;
        EXPECT_NEAR(l.V[0], lead(2, t) / 1000, 0.02) << "V1 against Wilson's terminal at " << t;
        EXPECT_NEAR(l.V[3], 0, 0.02) << "absent chest leads are flat";
    }
    EXPECT_NEAR(LeadsOf(module.PacketAt(PacketAtTime(4.25))).I, lead(0, 0.25) / 1000, 0.02) << "the recording loops";

    // CSV with a time column at 100 Hz, leads II and III; and files that cannot be used.
    const std::string csv = (dir_ / "ecg.csv").string();
    {
        std::ofstream out(csv);
        out << "time,II,III\n";
        for (int i = 0; i < 1000; ++i) out << i / 100.0 << "," << i * 0.001 << "," << 0.5 << "\n";
    }
    Leads l = LeadsOf(With([&](auto& s) { s.recording = csv; }).PacketAt(PacketAtTime(2.0)));
    EXPECT_NEAR(l.II, 0.2, 0.005);
    EXPECT_NEAR(l.I, 0.2 - 0.5, 0.005) << "I derived as II - III";

    std::ofstream(dir_ / "bad.csv") << "V1,V2\n0.1,0.2\n";
    ModuleSettings s;
    s.recording = (dir_ / "bad.csv").string();
    EXPECT_THROW(AcquisitionModule{s}, std::runtime_error);
    s.recording = (dir_ / "missing.edf").string();
    EXPECT_THROW(AcquisitionModule{s}, std::runtime_error);
}

// Through the driver: the module's pace pulses, key, lead-off and a lost
// packet arrive in blocks and key events as the application sees them.
class EndToEndTest : public velnor_test::ModuleFixture {
protected:
    ModuleSettings Settings() override {
        ModuleSettings s;
        s.ecg.paced = true;
        s.ecg.heartRate = 90;
        return s;
    }
};

TEST_F(EndToEndTest, PaceKeysLeadOffAndLostPacketsReachTheApplication) {
    ASSERT_EQ(StartIn(), STATUS_SUCCESS);
    ASSERT_EQ(Request(IOCTL_VELNOR_ENABLE), STATUS_SUCCESS);
    ASSERT_EQ(StartOut(), STATUS_SUCCESS);  // it drains the packet ring, which would otherwise stop the IN stream
    Flush();
    const double now = hk::Now100ns() / 1e7;
    module_->PressKey({1, now + 0.6, 0.3});
    module_->Lose(2 * hk::usb::HostController::FrameNumber() + 400, 3);  // one gap of three packets
    int paceMarks = 0;
    std::vector<ULONG> keys;
    bool sequenceSeen = false;
    for (int block = 0; block < 30; ++block) {
        if (block == 20) module_->SetLeadOff(1u << velnor::sim::kLL);
        auto r = ReadBlock(200, 7);
        ASSERT_EQ(r.length, 3204u);
        for (int s = 0; s < 200; ++s) paceMarks += r.words[7 * 200 + s];
        if (block >= 22 || block < 20) {  // the lead-off takes a block to show
            EXPECT_EQ(r.words[1601] & VELNOR_STATUS_LEAD_FAIL, block >= 22 ? VELNOR_STATUS_LEAD_FAIL : 0u) << block;
        }
        sequenceSeen |= hk::LogHasLine("Velnor> Velnor_ReadBlock: Sequence Number fail");
        for (ULONG k : GetKeys(16))
            if (k) keys.push_back(k);
    }
    EXPECT_GE(paceMarks, 4) << "one mark per paced beat: 90 bpm for 3 s";
    EXPECT_LE(paceMarks, 5);
    EXPECT_TRUE(sequenceSeen) << "the lost packets are a real gap";
    ASSERT_FALSE(keys.empty());
    EXPECT_EQ(VELNOR_KEY_CODE(keys.back()), 7u);
    EXPECT_NE(keys.back() & VELNOR_KEY_BREAK, 0u) << "key 1 pressed and released";
}

}  // namespace
