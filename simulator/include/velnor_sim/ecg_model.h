// The simulated patient: a heart dipole whose projection onto each
// electrode's lead vector gives that electrode's potential, with a rhythm,
// ectopic beats, pacing, asystole, and the usual interference. All of it is
// a deterministic function of time and the settings.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace velnor::sim {

// The module's electrode signals, each measured against the right arm.
enum Electrode { kLA, kLL, kV1, kV2, kV3, kV4, kV5, kV6, kH, kE, kI, kM, kElectrodeCount };
using Potentials = std::array<double, kElectrodeCount>;  // millivolts

struct EcgSettings {
    double heartRate = 72;       // beats per minute, 30 to 300
    double amplitude = 1.0;      // scales the heart vector; 1 gives an R wave of about 1.2 mV in lead II
    double axisDegrees = 60;     // frontal-plane QRS axis
    double irregularity = 0;     // 0 to 0.5: each RR interval varies by up to this fraction
    int ectopicEvery = 0;        // every Nth beat is a ventricular ectopic beat (0: none)
    bool paced = false;          // a pacemaker pulse leads every QRS, which is then wide
    double asystoleStart = -1;   // seconds; no beats from here on ...
    double asystoleSeconds = 0;  // ... for this long
    double mainsHz = 50;         // mains interference frequency
    double mainsMv = 0;          // its amplitude
    double wanderMv = 0;         // baseline wander (0.3 Hz breathing) amplitude
    double muscleMv = 0;         // muscle noise amplitude (20 to 150 Hz)
    double carrierMv = 0;        // the 250 Hz carrier amplitude
    uint32_t seed = 1;           // for irregularity and noise
};

struct Beat {
    double r;      // time of the R peak, seconds
    bool ectopic;  // ventricular ectopic (or paced) beat: wide QRS, no P wave
};

class EcgModel {
public:
    explicit EcgModel(const EcgSettings& settings);

    // Electrode potentials against the right arm at time t (seconds).
    Potentials At(double t);
    // A pacemaker pulse is on at t (the 1.5 ms before a paced QRS starts).
    bool PacePulse(double t);
    // Every beat with its R peak before `until` seconds.
    std::vector<Beat> Beats(double until);

    const EcgSettings& Settings() const { return settings_; }

private:
    void ScheduleUntil(double t);

    EcgSettings settings_;
    std::vector<Beat> beats_;
    double nextBeat_;
    uint64_t rng_;
    int beatIndex_ = 0;
    std::array<std::array<double, 4>, kElectrodeCount + 1> noise_{};  // per electrode (and RA): mains, wander, carrier gains, phase
    std::array<std::array<double, 6>, kElectrodeCount + 1> muscleHz_{}, musclePhase_{};
};

}  // namespace velnor::sim
