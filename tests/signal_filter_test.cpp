// The filter stage measured like a DSP block: responses against masks for
// the low-pass, the carrier canceller, the high-pass sets and the line
// canceller; holds, output limits and the coefficient selections.
#include "support/signal_harness.h"
#include "support/test_thread.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using velnor_test::Amplitude;
using velnor_test::Db;
using velnor_test::RunStage;
using velnor_test::Sine;

constexpr double kOutputGain = 2.667;  // output counts per input count in the pass band

class SignalFilterTest : public ::testing::Test {
protected:
    void SetUp() override { velnor_filter_load_defaults(); }

    // Gain in dB of a sine at `hz` through the whole stage, after settling.
    static double GainDb(double hz, double amplitude = 8000) {
        auto run = RunStage(Sine(hz, amplitude), 2000 * 3);
        return Db(Amplitude(run.out[0], 1000) / (amplitude * kOutputGain));
    }
};

TEST_F(SignalFilterTest, LowPassCornersSitAtOneHundredAndOneHundredFiftyHertz) {
    struct Case {
        ULONG table;
        double corner, stop, stopDb;
    };
    for (Case c : {Case{LPF_FILTER_100, 100, 300, -60}, Case{LPF_FILTER_150, 150, 400, -40}}) {
        SCOPED_TRACE(c.corner);
        velnor_filter_set_line_notch(NOTCH_OFF);
        velnor_filter_set_lpf(c.table);
        EXPECT_NEAR(GainDb(20), 0.0, 0.1) << "pass band";
        EXPECT_NEAR(GainDb(c.corner), -3.0, 0.3);
        EXPECT_LT(GainDb(c.stop), c.stopDb) << "stop band";
    }
}

TEST_F(SignalFilterTest, CarrierEstimateFollowsASteadyTwoHundredFiftyHertzTone) {
    const double amplitude = 300;
    double peak = 0;
    // Blocks of two, so the estimate is seen at every phase of the tone.
    RunStage(Sine(250, amplitude, 4), 2000 * 2, 2, 0, [&](long done) {
        if (done > 2000 * 2 - 200) peak = std::max(peak, double(std::fabs(CarrierEstimate[4])));
    });
    EXPECT_NEAR(peak, amplitude, 0.05 * amplitude) << "A1 follows the removed component";
    EXPECT_LT(std::fabs(CarrierEstimate[3]), 1.0) << "other channels see nothing";
    EXPECT_EQ(LeadHoldMask & (1u << 4), 0u) << "a 300-count tone stays below the envelope limit";
}

TEST_F(SignalFilterTest, StrongCarrierPutsTheChannelOnHold) {
    RunStage(Sine(250, 450, 5), 2000 * 2);
    EXPECT_GT(CarrierEnvelope[5], 15990784.0f);
    EXPECT_NE(LeadHoldMask & (1u << 5), 0u);
    EXPECT_EQ(LeadHoldMask & (1u << 4), 0u);
    EXPECT_EQ(NotchFastMask & 0xFFF, LeadHoldMask & 0xFFF);
}

// The high-pass as a step response: decay after one second against the time
// constant of each corner.
TEST_F(SignalFilterTest, HighPassCornersSetTheStepDecay) {
    struct Case {
        ULONG selection;
        double corner;
    };
    for (Case c : {Case{HPF_FILTER_01, 0.00998}, Case{HPF_FILTER_05, 0.04998}}) {
        velnor_filter_load_defaults();
        velnor_filter_set_hpf(c.selection);
        velnor_filter_set_line_notch(NOTCH_OFF);
        const double step = 300;  // small enough to stay off the recovery set
        RunStage([](int, long) { return 0.0; }, 2000, 100, 0);  // the initial holds expire
        auto run = RunStage([&](int, long) { return step; }, 4000, 100, 2000);
        double first = run.out[0][50];     // 50 ms after the step
        double later = run.out[0][1050];   // one second later
        double expected = std::exp(-2 * M_PI * c.corner * 1.0);
        EXPECT_NEAR(later / first, expected, 0.01) << c.corner;
    }
}

// A step of 3000 up on channel 0 and down on channel 3 at the same moment:
// the recovery set is chosen by the size of the baseline, whatever its
// sign, so the two outputs mirror each other (up to what the never-reset
// filter state still carries from earlier blocks: a few counts of 8000).
TEST_F(SignalFilterTest, LargeBaselineRecoversWithTheFasterSetAndHoldsUseTheFastest) {
    velnor_filter_set_line_notch(NOTCH_OFF);
    RunStage([](int, long) { return 0.0; }, 2000);
    auto run = RunStage([](int c, long) { return c == 0 ? 3000.0 : c == 3 ? -3000.0 : 0.0; }, 4000, 100, 2000);
    double ratio = double(run.out[0][1050]) / run.out[0][50];
    EXPECT_LT(ratio, 0.5) << "a baseline beyond the recovery level decays far faster than at 0.01 Hz";
    EXPECT_GT(ratio, 0.05);
    EXPECT_LT(run.out[3][50], -7000);
    EXPECT_NEAR(double(run.out[3][1050]) / run.out[3][50], ratio, 0.01) << "a negative step recovers as fast";
    for (size_t k = 0; k < run.out[0].size(); ++k)
        ASSERT_LE(std::abs(run.out[0][k] + run.out[3][k]), 64) << "processing sample " << k;

    // Right after a reset every channel is held: the 5.69 Hz set removes the
    // step (and what the slower sets left) within 0.4 s.
    velnor_filter_init();
    run = RunStage([](int, long) { return 300.0; }, 800, 100, 6000);
    EXPECT_LT(std::abs(run.out[0].back()), 5);
    EXPECT_NE(LeadHoldMask & 1u, 0u);
}

TEST_F(SignalFilterTest, LineCancellerSuppressesTheSelectedMainsFrequencyAfterAdapting) {
    struct Case {
        ULONG selection;
        double hz;
    };
    for (Case c : {Case{NOTCH_50HZ_SET, 50}, Case{NOTCH_60HZ_SET, 60}}) {
        velnor_filter_load_defaults();
        velnor_filter_set_line_notch(c.selection);
        auto run = RunStage(Sine(c.hz, 500, 7), 2000 * 4);
        double gain = Db(Amplitude(run.out[7], 500) / (500 * kOutputGain));
        EXPECT_LT(gain, -30.0) << c.hz << " Hz after adaptation";
    }
    // Switched off, the output is the high-pass output and the tone passes.
    velnor_filter_set_line_notch(NOTCH_OFF);
    auto run = RunStage(Sine(60, 500, 7), 2000 * 2, 100, 8000 * 4);
    EXPECT_NEAR(Db(Amplitude(run.out[7], 500) / (500 * kOutputGain)), 0.0, 0.3);
    // Switched on again: the canceller kept adapting meanwhile.
    velnor_filter_set_line_notch(NOTCH_ON);
    run = RunStage(Sine(60, 500, 7), 200, 100, 8000 * 5);
    EXPECT_LT(Db(Amplitude(run.out[7], 50) / (500 * kOutputGain)), -30.0);
}

// Off keeps the frequency for a later "on"; any unknown value means 50 Hz.
TEST_F(SignalFilterTest, LineNotchSelectionRules) {
    velnor_filter_set_line_notch(NOTCH_60HZ_SET);
    velnor_filter_set_line_notch(NOTCH_OFF);
    EXPECT_EQ(FilterFlags & FILTER_NOTCH_ON, 0);
    velnor_filter_set_line_notch(NOTCH_ON);
    EXPECT_NE(FilterFlags & FILTER_NOTCH_ON, 0);
    EXPECT_FLOAT_EQ(NotchCoefficients[3], 0.9297765f);
    velnor_filter_set_line_notch(55);
    EXPECT_FLOAT_EQ(NotchCoefficients[3], 0.95105654f);
    EXPECT_FLOAT_EQ(NotchFastCoefficients[3], 0.95105654f);
}

// Saturation holds a channel for exactly 750 processing samples after its
// last failing sample; observed one processing sample at a time.
TEST_F(SignalFilterTest, SaturationHoldLastsSevenHundredFiftyProcessingSamples) {
    RunStage([](int, long) { return 0.0; }, 2000, 2);
    ASSERT_EQ(LeadHoldMask & 0xFFF, 0u) << "the reset's holds have expired";
    long lastFailing = -1, cleared = -1, processed = 0;
    RunStage([](int c, long i) { return (c == 3 && i < 2200) ? 32767.0 : 0.0; }, 6000, 2, 2000, [&](long) {
        ++processed;
        if (std::fabs(MonitorLevel[3]) >= 32512.0f) lastFailing = processed;
        if (lastFailing > 0 && cleared < 0 && !(LeadHoldMask & (1u << 3))) cleared = processed;
    });
    ASSERT_GT(lastFailing, 0);
    // Set during processing sample P, the bit clears at the end of the 750th
    // processing period counted from P: observed after sample P + 749.
    EXPECT_EQ(cleared - lastFailing, 749);
    EXPECT_EQ(LeadHoldMask & ~(1u << 3) & 0xFFF, 0u) << "no other channel was held";
}

// The value clamps to +32766 / -32767 before 0.5 is added and the sum is
// truncated toward zero, so the outputs reach +32766 and -32766.
TEST_F(SignalFilterTest, OutputClampsBeforeRounding) {
    velnor_filter_set_line_notch(NOTCH_OFF);
    auto run = RunStage([](int c, long i) { return i < 600 ? 0.0 : (c == 0 ? 20000.0 : -20000.0); }, 1200);
    EXPECT_EQ(*std::max_element(run.out[0].begin(), run.out[0].end()), 32766);
    EXPECT_EQ(*std::min_element(run.out[1].begin(), run.out[1].end()), -32766);
}

TEST_F(SignalFilterTest, BlockLayoutAndCountZero) {
    RunStage(Sine(10, 1000), 2000);
    TriggerBuffer[0] = 0x5A;
    BeepBuffer[3] = 0xA5;
    FilterOutput[0] = 1234;
    velnor_filter_process(0);
    EXPECT_EQ(TriggerBuffer[0], 0x5A);
    EXPECT_EQ(BeepBuffer[3], 0xA5);
    EXPECT_EQ(FilterOutput[0], 1234);

    // 100 inputs give 50 outputs per channel at c*50 + i/2; nothing past them.
    for (int i = 600; i < 1200; ++i) FilterOutput[i] = 0x7777;
    for (int i = 0; i < 1200; ++i) FilterInput[i] = static_cast<SHORT>((i / 100) * 100);
    velnor_filter_process(100);
    for (int i = 600; i < 1200; ++i) ASSERT_EQ(FilterOutput[i], 0x7777);
}

TEST_F(SignalFilterTest, ControlBitsSurviveTheStageFlippingItsOwn) {
    auto stage = velnor_test::StartThread(DISPATCH_LEVEL, [](std::stop_token stop) {
        while (!stop.stop_requested()) RunStage(Sine(10, 1000), 200);
    });
    for (int i = 0; i < 2000; ++i) {
        SetFilterFlag(FILTER_QRS_BEEP);
        ASSERT_NE(ReadShared(FilterFlags) & FILTER_QRS_BEEP, 0);
        ClearFilterFlag(FILTER_QRS_BEEP);
        ASSERT_EQ(ReadShared(FilterFlags) & FILTER_QRS_BEEP, 0);
    }
    stage.request_stop();
    stage.join();
    EXPECT_NE(FilterFlags & FILTER_NOTCH_ON, 0);
}

}  // namespace
