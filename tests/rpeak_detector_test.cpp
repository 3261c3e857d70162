// The R-peak detector against the simulated patient's true R times: the
// twelve leads as the module quantises them, at each sampling rate, over
// rhythms and interference; beats matched within 75 ms.
#include "velnor/rpeak_detector.h"

#include <velnor_sim/ecg_model.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

using velnor::sdk::RPeakDetector;
using velnor::sim::EcgModel;
using velnor::sim::EcgSettings;

constexpr double kWindow = 0.075;  // seconds either side of a true R peak

// Twelve leads in microvolts from electrode potentials, each electrode word
// rounded to the module's 150 counts per millivolt.
std::vector<float> Leads(const velnor::sim::Potentials& p) {
    auto q = [](double mv) { return static_cast<float>(std::lround(mv * 150) / 150.0 * 1000); };
    const float la = q(p[velnor::sim::kLA]), ll = q(p[velnor::sim::kLL]), wct = (la + ll) / 3;
    std::vector<float> l = {la, ll, ll - la, -(la + ll) / 2, la - ll / 2, ll - la / 2};
    for (int v = velnor::sim::kV1; v <= velnor::sim::kV6; ++v) l.push_back(q(p[v]) - wct);
    return l;
}

struct Score {
    size_t truth = 0, detected = 0, matched = 0;
    double maxError = 0, medianError = 0;
    double Sensitivity() const { return truth ? double(matched) / truth : 1; }
    double Predictivity() const { return detected ? double(matched) / detected : 1; }
};

// Runs `seconds` of the patient through the detector at `rate`, in 100 ms
// blocks, with the pace row the driver would give (1 after each pulse).
Score Detect(const EcgSettings& settings, double rate, double seconds, uint32_t leadOffLeads = 0) {
    EcgModel model(settings);
    RPeakDetector detector(rate, 12);
    const size_t block = static_cast<size_t>(rate / 10);
    std::vector<std::vector<float>> rows(12, std::vector<float>(block));
    std::vector<uint8_t> pace(block);
    std::vector<int64_t> found;
    bool pulse = false;
    const size_t total = static_cast<size_t>(seconds * rate);
    for (size_t start = 0; start < total; start += block) {
        for (size_t s = 0; s < block; ++s) {
            const double t = static_cast<double>(start + s) / rate;
            std::vector<float> l = Leads(model.At(t));
            for (size_t r = 0; r < 12; ++r) rows[r][s] = (leadOffLeads >> r & 1) ? 218000.f : l[r];
            const bool now = model.PacePulse(t);
            pace[s] = pulse && !now;
            pulse = now;
        }
        const float* p[12];
        for (size_t r = 0; r < 12; ++r) p[r] = rows[r].data();
        detector.Push(p, block, pace.data());
        for (int64_t r : detector.Take()) {
            EXPECT_TRUE(found.empty() || r > found.back()) << "peak " << r << " out of order";
            found.push_back(r);
        }
    }
    for (int64_t r : detector.Finish()) found.push_back(r);

    Score score;
    std::vector<double> truth;
    for (const velnor::sim::Beat& b : model.Beats(seconds))
        if (b.r > 0.3 && b.r < seconds - 0.3) truth.push_back(b.r);  // whole QRS inside the run
    score.truth = truth.size();
    std::vector<double> errors;
    for (int64_t f : found) {
        const double t = static_cast<double>(f) / rate;
        if (t <= 0.3 - kWindow || t >= seconds - 0.3 + kWindow) continue;
        ++score.detected;
        auto near = std::min_element(truth.begin(), truth.end(),
                                     [&](double a, double b) { return std::fabs(a - t) < std::fabs(b - t); });
        if (near != truth.end() && std::fabs(*near - t) <= kWindow) {
            ++score.matched;
            errors.push_back(std::fabs(*near - t));
            *near = -1e9;  // each true beat matches once
        }
    }
    if (!errors.empty()) {
        std::sort(errors.begin(), errors.end());
        score.maxError = errors.back();
        score.medianError = errors[errors.size() / 2];
    }
    return score;
}

struct Case {
    const char* name;
    EcgSettings ecg;
    uint32_t leadOff = 0;
};

EcgSettings With(double bpm, void (*tweak)(EcgSettings&) = nullptr) {
    EcgSettings s;
    s.heartRate = bpm;
    if (tweak) tweak(s);
    return s;
}

TEST(RPeakDetector, FindsEveryBeatAcrossRatesRhythmsAndInterference) {
    const Case cases[] = {
        {"40 bpm", With(40)},
        {"72 bpm", With(72)},
        {"180 bpm", With(180)},
        {"paced 60 bpm", With(60, [](EcgSettings& s) { s.paced = true; })},
        {"paced 120 bpm", With(120, [](EcgSettings& s) { s.paced = true; })},
        {"mains 50 Hz 0.3 mV", With(72, [](EcgSettings& s) { s.mainsMv = 0.3; })},
        {"mains 60 Hz 0.3 mV, 150 bpm", With(150, [](EcgSettings& s) { s.mainsHz = 60, s.mainsMv = 0.3; })},
        {"wander and muscle noise", With(90, [](EcgSettings& s) { s.wanderMv = 0.5, s.muscleMv = 0.05; })},
        {"irregular with ectopics", With(80, [](EcgSettings& s) { s.irregularity = 0.3, s.ectopicEvery = 5; })},
        {"axis -30, small amplitude", With(65, [](EcgSettings& s) { s.axisDegrees = -30, s.amplitude = 0.5; })},
        {"leads I and V2 at a rail", With(75), 0x1u | 0x80u},
    };
    for (const Case& c : cases) {
        for (double rate : {2000.0, 1000.0, 500.0, 200.0}) {
            const Score s = Detect(c.ecg, rate, 60, c.leadOff);
            SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(int(rate)) + " S/s");
            EXPECT_GE(s.truth, static_cast<size_t>(c.ecg.heartRate * 0.9) - 2);
            EXPECT_GE(s.Sensitivity(), 0.995) << s.matched << " of " << s.truth;
            EXPECT_GE(s.Predictivity(), 0.995) << s.matched << " of " << s.detected << " detections";
            // Placed on the peak, not where the detector noticed it.
            EXPECT_LE(s.medianError, 0.012);
            EXPECT_LE(s.maxError, 0.040);
        }
    }
}

TEST(RPeakDetector, AsystoleGivesNoBeatsAndTheRhythmIsPickedUpAfter) {
    EcgSettings s = With(70);
    s.asystoleStart = 20;
    s.asystoleSeconds = 8;
    const Score score = Detect(s, 500, 45);
    EXPECT_GE(score.Sensitivity(), 0.995);
    EXPECT_EQ(score.detected, score.matched);  // nothing invented in the pause
}

TEST(RPeakDetector, ShortRecordingIsReportedByFinish) {
    EcgModel model(With(72));
    RPeakDetector detector(1000, 1);
    std::vector<float> lead(1500);
    for (size_t s = 0; s < lead.size(); ++s) lead[s] = Leads(model.At(s / 1000.0))[1];
    const float* p = lead.data();
    detector.Push(&p, lead.size());
    EXPECT_TRUE(detector.Take().empty());  // still learning
    const std::vector<int64_t> beats = detector.Finish();
    size_t truth = 0;
    for (const velnor::sim::Beat& b : model.Beats(1.5)) truth += b.r > 0.1 && b.r < 1.4;
    EXPECT_EQ(beats.size(), truth);
    EXPECT_TRUE(detector.Finish().empty());
}

TEST(RPeakDetector, RejectsRatesAndLeadCountsItCannotServe) {
    EXPECT_THROW(RPeakDetector(50, 1), std::invalid_argument);
    EXPECT_THROW(RPeakDetector(2000, 0), std::invalid_argument);
}

}  // namespace
