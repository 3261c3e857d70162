// A simple synthetic ECG for detector tests: P, QRS and T as Gaussian
// bumps, one beat every 60/bpm seconds, at 2000 samples per second.
#pragma once

#include <cmath>
#include <vector>

namespace velnor_test {

struct SyntheticEcg {
    double bpm = 60;
    double countsPerMv = 150;
    double firstR = 0.5;  // seconds

    // Seconds of every R peak before `seconds`.
    std::vector<double> Peaks(double seconds) const {
        std::vector<double> v;
        for (double t = firstR; t < seconds; t += 60.0 / bpm) v.push_back(t);
        return v;
    }

    // Millivolts at time t of a lead with the given QRS gain.
    double Millivolts(double t, double gain = 1.0) const {
        double rr = 60.0 / bpm;
        if (t < firstR - rr / 2) return 0.0;  // a flat line before the first beat
        double phase = std::fmod(t - firstR + 10 * rr, rr);  // seconds since the last R
        if (phase > rr / 2) phase -= rr;                     // nearest R, before or after
        auto bump = [&](double at, double width, double height) {
            double x = (phase - at) / width;
            return height * std::exp(-0.5 * x * x);
        };
        return bump(-0.16, 0.025, 0.1) + gain * (bump(-0.02, 0.008, -0.1) + bump(0.0, 0.01, 1.0) +
                                                 bump(0.025, 0.01, -0.25)) +
               bump(0.26, 0.045, 0.25);
    }

    double Counts(long index, double gain = 1.0) const { return countsPerMv * Millivolts(index / 2000.0, gain); }
};

}  // namespace velnor_test
