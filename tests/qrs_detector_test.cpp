// The QRS detector: threshold arithmetic, search and waiting phases with
// their counts, refractory spacing, holds, and detection on synthetic ECGs
// at 40 to 200 bpm and on mains noise alone.
#include "support/ecg_synth.h"
#include "support/signal_harness.h"

#include <gtest/gtest.h>

namespace {

using velnor_test::RunStage;
using velnor_test::SyntheticEcg;

class QrsDetectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        bPace = 0;
        velnor_filter_load_defaults();
    }

    // One detector step with the given taps; true when it marked a complex.
    static bool Step(float tap0, ULONG index = 0) {
        QrsLeadInput[0] = tap0;
        QrsLeadInput[1] = QrsLeadInput[2] = 0.0f;
        TriggerBuffer[index] = 0;
        ULONG flags = static_cast<ULONG>(FilterFlags);
        QrsDetectorStep(index, &flags);
        return TriggerBuffer[index] != 0;
    }

    // Steps with zero taps until the search phase ends; returns the steps taken.
    static int EndSearch() {
        int steps = 0;
        while (FilterFlags & FILTER_QRS_SEARCH) {
            Step(0);
            ++steps;
        }
        return steps;
    }
};

TEST_F(QrsDetectorTest, FirstPeakOfOneThousandRaisesTheThresholdFrom46To102) {
    ASSERT_EQ(QRSThreshold, 46);
    QrsRaisePeak(1000.0f);
    EXPECT_EQ(QRSPeak, 1000);
    EXPECT_EQ(QRSThreshold, 102) << "46 + (500 - 46) / 8, truncated";
    EXPECT_EQ(QRSRefCtr, 184);
    bPace = 1;
    QrsRaisePeak(1001.9f);
    EXPECT_EQ(QRSPeak, 1001);
    EXPECT_EQ(QRSThreshold, 102 + (500 - 102) / 8);
    EXPECT_EQ(QRSRefCtr, 204) << "the pace-patient count is taken at the next load";
}

TEST_F(QrsDetectorTest, SearchAfterResetEndsAfter186QuietSamplesOr206ForPacePatients) {
    EXPECT_EQ(EndSearch(), 186);
    EXPECT_EQ(QRSTimeout, 1000);
    bPace = 1;
    velnor_filter_init();
    EXPECT_EQ(QRSRefCtr, 204);
    EXPECT_EQ(EndSearch(), 206);
}

// Single-sample pulses: the second can be detected no sooner than 187
// processing samples after the first (207 for pace patients).
TEST_F(QrsDetectorTest, RefractoryGapIs187ProcessingSamplesOr207) {
    for (ULONG pace : {0u, 1u}) {
        int earliest = 1 << 30;
        for (int gap = 150; gap <= 230; ++gap) {
            bPace = pace;
            velnor_filter_init();
            EndSearch();
            for (int i = 0; i < 300; ++i) Step(0);  // let the band-pass settle
            int first = -1, second = -1;
            for (int i = 0; i < gap + 60; ++i) {
                bool mark = Step((i == 0 || i == gap) ? 3000.0f : 0.0f);
                if (mark && first < 0)
                    first = i;
                else if (mark && second < 0)
                    second = i;
            }
            ASSERT_EQ(first, 0);
            if (second >= 0) earliest = std::min(earliest, second - first);
        }
        EXPECT_EQ(earliest, pace ? 207 : 187);
    }
}

TEST_F(QrsDetectorTest, ThresholdFallsBackTo46After1001QuietWaitingSamples) {
    EndSearch();
    ASSERT_TRUE(Step(5000));
    EndSearch();
    ASSERT_GT(QRSThreshold, 46);
    int waiting = 0;
    while (QRSThreshold != 46) {
        Step(0);
        ++waiting;
    }
    EXPECT_EQ(waiting, 1001);
}

TEST_F(QrsDetectorTest, MarksGoToTheTriggerBufferAndToTheBeepBufferOnlyWhenEnabled) {
    SyntheticEcg ecg{90};
    auto source = [&](int c, long i) { return (c == 1 || c == 2 || c == 6) ? ecg.Counts(i) : 0.0; };
    auto run = RunStage(source, 2000 * 6);
    EXPECT_FALSE(run.triggers.empty());
    EXPECT_TRUE(run.beeps.empty());
    SetFilterFlag(FILTER_QRS_BEEP);
    run = RunStage(source, 2000 * 6, 100, 2000 * 6);
    EXPECT_EQ(run.beeps, run.triggers);
    for (long t : run.triggers) EXPECT_EQ(t % 2, 0) << "marks sit on processing samples";
}

TEST_F(QrsDetectorTest, NothingIsDetectedWhileEveryTapIsOnHold) {
    SyntheticEcg ecg{120};
    ecg.firstR = 0.1;
    auto run = RunStage([&](int, long i) { return ecg.Counts(i); }, 1400);  // 700 processing samples
    EXPECT_TRUE(run.triggers.empty());
    EXPECT_NE(LeadHoldMask & 0x46u, 0u);
}

// Every beat of a clean synthetic ECG is marked exactly once, within 80 ms
// after its R peak, across the rate range.
TEST_F(QrsDetectorTest, EveryBeatOfACleanEcgIsMarkedOnceFrom40To200Bpm) {
    for (double bpm : {40.0, 60.0, 90.0, 120.0, 160.0, 200.0}) {
        SCOPED_TRACE(bpm);
        velnor_filter_load_defaults();
        SyntheticEcg ecg{bpm};
        ecg.firstR = 2.0;  // after the reset's holds
        const double seconds = 22;
        auto run = RunStage([&](int c, long i) { return ecg.Counts(i, c == 2 ? -0.6 : 1.0); },
                            static_cast<long>(2000 * seconds));
        auto peaks = ecg.Peaks(seconds - 0.2);
        std::erase_if(run.triggers, [&](long t) { return t / 2000.0 > peaks.back() + 0.1; });
        size_t matched = 0;
        for (double r : peaks) {
            size_t hits = 0;
            for (long t : run.triggers) hits += (t / 2000.0 >= r - 0.02 && t / 2000.0 <= r + 0.08);
            EXPECT_EQ(hits, 1u) << "beat at " << r << " s";
            matched += hits;
        }
        EXPECT_EQ(run.triggers.size(), matched) << "no mark outside a beat; first mark at " << run.triggers.front() / 2000.0 << " s";
    }
}

// The taps switch on all at once when the reset's holds end (0.75 s), which
// the detector may take for one complex; after that mains noise never
// triggers.
TEST_F(QrsDetectorTest, MainsNoiseAloneIsNeverDetectedOnceTheResetHoldsHaveEnded) {
    for (ULONG notch : {NOTCH_50HZ_SET, NOTCH_60HZ_SET}) {
        velnor_filter_load_defaults();
        velnor_filter_set_line_notch(notch);
        double hz = notch == NOTCH_60HZ_SET ? 60 : 50;
        auto run = RunStage([&](int, long i) { return 300 * std::sin(2 * M_PI * hz * i / 2000.0); }, 2000 * 10);
        std::erase_if(run.triggers, [](long t) { return t < 2000; });
        EXPECT_TRUE(run.triggers.empty()) << hz;
    }
}

}  // namespace
