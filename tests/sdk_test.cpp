// The SDK on the simulated module, as an application uses it: blocks against
// the packets the module sent, the leads derived from them, the settings
// across stream restarts, and a device that goes away under a Device.
#include <windows.h>

#include "support/win32_bridge.h"
#include "velnor/sdk.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <vector>

namespace {

using namespace velnor::sdk;

constexpr double kUvPerCount = 1000.0 / 150;

// Packet word of each electrode, in block order (LA, LL, V1..V6, H, E, I, M).
constexpr int kWord[kElectrodeCount] = {1, 2, 9, 8, 7, 6, 4, 3, 11, 12, 13, 14};

// Reads `blocks` blocks of `samples` and checks every row, and every derived
// lead, sample by sample against the module's packets, one packet each
// `stride`: nothing scaled wrongly, lost or doubled, at the block edges too.
void ExpectBlocksAreTheModulesPackets(Device& device, int blocks, uint32_t samples, int stride) {
    std::vector<Block> read;
    std::vector<int16_t> la, ll;
    for (int b = 0; b < blocks; ++b) {
        read.push_back(device.ReadBlock(samples));
        ASSERT_EQ(read.back().error, BlockError::None) << BlockErrorName(read.back().error);
        ASSERT_EQ(read.back().Length(), samples);
        ASSERT_EQ(read.back().electrodes, device.CurrentSettings().electrodes.List());
        la.insert(la.end(), read.back().raw[0].begin(), read.back().raw[0].end());
        ll.insert(ll.end(), read.back().raw[1].begin(), read.back().raw[1].end());
    }
    const int64_t k0 = win32_test::FindModulePacket(la.data(), ll.data(), la.size(), stride);
    ASSERT_GE(k0, 0) << "the blocks' LA and LL are not a run of the module's packets";
    int64_t k = k0;
    for (const Block& block : read) {
        const Leads leads = DeriveLeads(block);
        for (size_t s = 0; s < block.Length(); ++s, k += stride) {
            const std::array<uint16_t, 17> w = win32_test::ModulePacket(static_cast<uint64_t>(k));
            auto uv = [&](Electrode e) { return static_cast<int16_t>(w[kWord[static_cast<int>(e)]]) * kUvPerCount; };
            for (size_t r = 0; r < block.electrodes.size(); ++r)
                ASSERT_NEAR(block.samples[r][s], uv(block.electrodes[r]), 0.01)
                    << ElectrodeName(block.electrodes[r]) << ", packet " << k;
            // Every electrode is measured against the right arm: RA is 0.
            const double a = uv(Electrode::LA), f = uv(Electrode::LL), wct = (0 + a + f) / 3;
            const double want[kLeadCount] = {a - 0,        f - 0,        f - a,        0 - (a + f) / 2,
                                             a - (0 + f) / 2, f - (0 + a) / 2, uv(Electrode::V1) - wct,
                                             uv(Electrode::V2) - wct, uv(Electrode::V3) - wct,
                                             uv(Electrode::V4) - wct, uv(Electrode::V5) - wct,
                                             uv(Electrode::V6) - wct};
            for (int l = 0; l < kLeadCount; ++l)
                ASSERT_NEAR(leads.lead[static_cast<size_t>(l)].at(s), want[l], 0.05)
                    << LeadName(static_cast<Lead>(l)) << ", packet " << k;
        }
    }
}

// First with the defaults and no Configure (the driver's selection left as a
// freshly loaded driver has it, without V6), then all twelve electrodes at 500 S/s.
TEST(SdkDevice, BlocksAreTheModulesWordsInMicrovoltsAndTheLeadsAgainstWilsonsTerminal) {
    HANDLE raw = CreateFileA(VELNOR_USER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(raw, INVALID_HANDLE_VALUE);
    uint32_t loadDefault = 0xFF;
    DWORD bytes = 0;
    ASSERT_TRUE(DeviceIoControl(raw, IOCTL_VELNOR_SET_ELECTRODE_REFERENCE, &loadDefault, 4, nullptr, 0, &bytes, nullptr));
    ASSERT_TRUE(CloseHandle(raw));
    {
        Device device;
        device.StartStreams();
        ExpectBlocksAreTheModulesPackets(device, 3, 200, 1);
    }
    Device device;
    Settings settings;
    settings.rate = SamplingRate::Hz500;
    settings.electrodes = ElectrodeSet::WithFrank();
    device.Configure(settings);
    device.StartStreams();
    ExpectBlocksAreTheModulesPackets(device, 4, 50, 4);
}

// The driver's stop puts its filters back to their defaults and its start
// sets the analog outputs to the zero line; the settings hold across both.
TEST(SdkDevice, SettingsHoldAcrossAStopAndAStartOfTheStreams) {
    Device device;
    Settings settings;
    settings.highPass = HighPass::Hz0_05;
    settings.lowPass = LowPass::Hz150;
    settings.mains = Mains::Hz60;
    settings.analog[1].level = 2000;
    device.Configure(settings);
    auto run = [&] {
        device.StartStreams();
        for (int b = 0; b < 3; ++b) EXPECT_EQ(device.ReadBlock(200).error, BlockError::None);
        EXPECT_EQ(win32_test::LatestAnalogOutputs()[1], 2000) << "output 2 holds its level";
        return win32_test::ReadDriverFilters();
    };
    const win32_test::DriverFilters first = run();
    device.StopStreams();
    const win32_test::DriverFilters stopped = win32_test::ReadDriverFilters();
    EXPECT_FALSE(first == stopped) << "the chosen filters are not the driver's defaults";
    EXPECT_TRUE(first.mainsOn);
    const win32_test::DriverFilters again = run();
    EXPECT_TRUE(again == first) << "the filters after a restart are the chosen ones";
    EXPECT_EQ(device.CurrentSettings().analog[1].level, 2000);
}

// The module pulled out while streaming: the block request fails with an
// Error that names it, the Device goes without throwing and lets go of its
// handle (the device node can then be removed), and a new module serves.
TEST(SdkDevice, AnUnpluggedModuleEndsInAnErrorAndTheDeviceLetsGoOfIt) {
    {
        Device device;
        device.StartStreams();
        EXPECT_EQ(device.ReadBlock(20).error, BlockError::None);
        win32_test::UnplugModule();
        std::optional<Error> failure;
        for (int i = 0; i < 5 && !failure; ++i) {
            try {
                device.ReadBlock(20);
            } catch (const Error& e) {
                failure = e;
            }
        }
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->ControlCode(), IOCTL_VELNOR_READ_ISO_BUFFER);
        EXPECT_NE(failure->Win32Error(), 0u);
    }
    EXPECT_STREQ(win32_test::DeviceState(), "Removed") << "the handle was closed";
    win32_test::PlugNewModule();
    Device device;
    device.StartStreams();
    EXPECT_EQ(device.ReadBlock(20).error, BlockError::None);
}

}  // namespace

int main(int argc, char** argv) {
    // Muscle noise makes every run of samples the module's own (read before the first call boots the runtime).
    setenv("VELNOR_SIM", "noise=0.05,seed=11", 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
