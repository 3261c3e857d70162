// R-peak detection for recordings and live displays: where each beat's R
// wave peaks, so that annotations line up with the QRS for beat averaging
// and heart-rate variability.
//
// Method: Pan and Tompkins' detector (band-pass 5 to 18 Hz with 50 and
// 60 Hz notches, derivative,
// squaring, 120 ms moving-window integration, signal and noise peak levels
// with a threshold a quarter of the way between them, search-back at half
// the threshold after 1.66 mean RR intervals without a beat, 200 ms
// refractory period), run on the sum of the leads' squared derivatives so
// that no single lead's axis decides. Each detection is then placed at the
// maximum of the spatial QRS magnitude (the baseline-removed leads' root sum
// of squares) in the 200 ms before the integrator's peak. Leads sitting at
// a rail (an electrode off) and the 40 ms after a pacemaker pulse are left
// out. Standard library only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace velnor::sdk {

class RPeakDetector {
public:
    // sampleRateHz: 100 to 4000 (the module's rates are 200, 500, 1000 and
    // 2000); leads: how many leads each Push gives.
    RPeakDetector(double sampleRateHz, size_t leads);

    // The next `count` samples of every lead: leads[i] points at `count`
    // floats in microvolts. pace: `count` bytes, nonzero where a pacemaker
    // pulse was flagged at that sample; may be null.
    void Push(const float* const* leads, size_t count, const uint8_t* pace = nullptr);

    // R peaks found since the last call, as sample indexes counted from the
    // first sample pushed, ascending, each reported once. A peak is reported
    // at most LatencySeconds() after it.
    std::vector<int64_t> Take();

    // At the end of a recording: whatever is still held back.
    std::vector<int64_t> Finish();

    double LatencySeconds() const;

private:
    struct Biquad {
        double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0, z1 = 0, z2 = 0;
        double Step(double x);
    };
    struct Candidate {
        int64_t at;    // the integrator's peak
        double value;
    };

    void Step(const double* x, bool paced);
    void Learn();
    void Examine(int64_t upTo);
    void Accept(const Candidate& c, bool searchBack);
    int64_t Locate(int64_t integratorPeak) const;
    double At(const std::deque<double>& d, int64_t index) const { return d[static_cast<size_t>(index - base_)]; }
    void Trim();

    double rate_;
    size_t leads_;
    std::vector<Biquad> baseline_, bandLow_, bandLow2_, bandHigh_, notch50_, notch60_;
    std::vector<double> previous_;   // band-passed sample before, per lead
    std::vector<int> railCount_;     // samples left out after a rail, per lead
    std::vector<double> held_;       // last value off the rails, per lead
    int64_t n_ = 0;                  // samples taken
    int64_t blankUntil_ = -1;        // pacemaker blanking
    std::deque<double> energy_;      // summed squared derivative
    std::deque<double> integrated_;  // its moving-window integral
    std::deque<double> magnitude_;   // spatial QRS magnitude
    int64_t base_ = 0;               // sample index of the deques' front
    double windowSum_ = 0;
    int window_, refractory_, locateBack_, peakHalfWidth_, learning_;
    int64_t scanned_ = 0;            // integrator samples examined for local maxima
    bool learned_ = false;
    double signalLevel_ = 0, noiseLevel_ = 0;
    std::vector<Candidate> candidates_;  // peaks after the last beat, for the search-back
    int64_t lastBeat_ = -1;          // integrator peak of the last beat
    std::deque<int64_t> rr_;         // recent RR intervals, samples
    std::vector<int64_t> found_;
    int64_t lastReported_ = -1;
};

}  // namespace velnor::sdk
