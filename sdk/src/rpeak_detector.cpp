// R-peak detection (see velnor/rpeak_detector.h for the method).
#include "velnor/rpeak_detector.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace velnor::sdk {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRailMicrovolts = 200000;  // the module's rails lie at about +-218 mV
constexpr double kHistorySeconds = 5;       // covers a search-back at 30 bpm

// Second-order sections after the audio cookbook (Q = 1/sqrt(2)).
void Design(double rate, double f0, bool highPass, double* b, double* a) {
    const double w = 2 * kPi * f0 / rate, alpha = std::sin(w) / (2 * std::sqrt(0.5)), c = std::cos(w);
    const double a0 = 1 + alpha;
    if (highPass) {
        b[0] = (1 + c) / 2 / a0;
        b[1] = -(1 + c) / a0;
    } else {
        b[0] = (1 - c) / 2 / a0;
        b[1] = (1 - c) / a0;
    }
    b[2] = b[0];
    a[0] = -2 * c / a0;
    a[1] = (1 - alpha) / a0;
}

}  // namespace

double RPeakDetector::Biquad::Step(double x) {
    const double y = b0 * x + z1;
    z1 = b1 * x - a1 * y + z2;
    z2 = b2 * x - a2 * y;
    return y;
}

RPeakDetector::RPeakDetector(double rate, size_t leads) : rate_(rate), leads_(leads) {
    if (!(rate >= 100 && rate <= 4000)) throw std::invalid_argument("RPeakDetector: sample rate must be 100 to 4000 Hz");
    if (leads == 0 || leads > 64) throw std::invalid_argument("RPeakDetector: 1 to 64 leads");
    auto make = [&](double f0, bool highPass) {
        Biquad q;
        double b[3], a[2];
        Design(rate, f0, highPass, b, a);
        q.b0 = b[0], q.b1 = b[1], q.b2 = b[2], q.a1 = a[0], q.a2 = a[1];
        return std::vector<Biquad>(leads, q);
    };
    baseline_ = make(0.5, true);
    bandHigh_ = make(5, true);
    bandLow_ = make(std::min(18.0, rate * 0.4), false);
    // Mains hum survives a gentle low-pass and the derivative favours it:
    // the detection path gets a second low-pass section and 50 and 60 Hz notches.
    bandLow2_ = bandLow_;
    auto notch = [&](double f0) {
        Biquad q;
        const double w = 2 * kPi * f0 / rate, alpha = std::sin(w) / (2 * 4.0), c = std::cos(w), a0 = 1 + alpha;
        q.b0 = 1 / a0, q.b1 = -2 * c / a0, q.b2 = 1 / a0, q.a1 = -2 * c / a0, q.a2 = (1 - alpha) / a0;
        return std::vector<Biquad>(leads, q);
    };
    notch50_ = notch(50);
    notch60_ = notch(60);
    previous_.assign(leads, 0);
    railCount_.assign(leads, 0);
    held_.assign(leads, 0);
    window_ = std::max(1, static_cast<int>(std::lround(0.12 * rate)));
    refractory_ = static_cast<int>(std::lround(0.2 * rate));
    locateBack_ = static_cast<int>(std::lround(0.25 * rate));
    peakHalfWidth_ = static_cast<int>(std::lround(0.1 * rate));
    learning_ = static_cast<int>(std::lround(2 * rate));
}

double RPeakDetector::LatencySeconds() const {
    // Learning takes 2 s; after that a search-back at 30 bpm waits 1.66 RR
    // (3.3 s) past the last beat, plus the peak look-ahead.
    return 3.3 + 2 * peakHalfWidth_ / rate_ + 0.25;
}

void RPeakDetector::Push(const float* const* leads, size_t count, const uint8_t* pace) {
    std::vector<double> x(leads_);
    for (size_t s = 0; s < count; ++s) {
        for (size_t l = 0; l < leads_; ++l) x[l] = leads[l][s];
        Step(x.data(), pace && pace[s]);
    }
    if (!learned_ && n_ >= learning_) Learn();
    if (learned_) Examine(n_ - peakHalfWidth_);
    Trim();
}

void RPeakDetector::Step(const double* x, bool paced) {
    if (paced) blankUntil_ = n_ + static_cast<int64_t>(std::lround(0.04 * rate_));
    double energy = 0, magnitude = 0;
    const int holdOff = static_cast<int>(std::lround(0.3 * rate_));
    for (size_t l = 0; l < leads_; ++l) {
        // A lead at a rail is held at its last value, and left out until it
        // has been back for 300 ms (its filters settle meanwhile).
        double v = x[l];
        if (std::fabs(v) >= kRailMicrovolts || !std::isfinite(v)) {
            v = held_[l];
            railCount_[l] = holdOff;
        } else {
            held_[l] = v;
        }
        const double base = baseline_[l].Step(v);
        const double band =
            notch60_[l].Step(notch50_[l].Step(bandLow2_[l].Step(bandLow_[l].Step(bandHigh_[l].Step(v)))));
        const double d = band - previous_[l];
        previous_[l] = band;
        if (railCount_[l] > 0) {
            --railCount_[l];
            continue;
        }
        energy += d * d;
        magnitude += base * base;
    }
    if (n_ < blankUntil_) energy = 0;
    energy_.push_back(energy);
    windowSum_ += energy;
    if (n_ - window_ >= base_) windowSum_ -= At(energy_, n_ - window_);
    integrated_.push_back(std::max(0.0, windowSum_) / window_);
    magnitude_.push_back(std::sqrt(magnitude));
    ++n_;
}

// The first two seconds set the signal and noise levels: half the largest
// integrator value, and half its mean.
void RPeakDetector::Learn() {
    double largest = 0, sum = 0;
    const int64_t end = std::min<int64_t>(n_, base_ + static_cast<int64_t>(integrated_.size()));
    for (int64_t i = base_; i < end; ++i) {
        largest = std::max(largest, At(integrated_, i));
        sum += At(integrated_, i);
    }
    signalLevel_ = 0.5 * largest;
    noiseLevel_ = end > base_ ? 0.5 * sum / static_cast<double>(end - base_) : 0;
    learned_ = true;
}

void RPeakDetector::Examine(int64_t upTo) {
    upTo = std::min(upTo, n_);
    auto threshold = [&] { return noiseLevel_ + 0.25 * (signalLevel_ - noiseLevel_); };
    auto searchBackDue = [&](int64_t now) {
        if (lastBeat_ < 0 || rr_.empty() || candidates_.empty()) return false;
        double mean = 0;
        for (int64_t r : rr_) mean += static_cast<double>(r);
        mean /= static_cast<double>(rr_.size());
        return static_cast<double>(now - lastBeat_) > 1.66 * mean;
    };
    auto searchBack = [&] {
        const Candidate* best = nullptr;
        for (const Candidate& c : candidates_)
            if (c.value > threshold() / 2 && (!best || c.value > best->value)) best = &c;
        if (best) {
            const Candidate chosen = *best;
            Accept(chosen, true);
        }
        candidates_.clear();
    };
    for (int64_t i = std::max(scanned_, base_ + 1); i < upTo; ++i) {
        const double v = At(integrated_, i);
        bool peak = v > 0;
        const int64_t lo = std::max(base_, i - peakHalfWidth_), hi = std::min(n_ - 1, i + peakHalfWidth_);
        for (int64_t j = lo; peak && j < i; ++j) peak = At(integrated_, j) < v;
        for (int64_t j = i + 1; peak && j <= hi; ++j) peak = At(integrated_, j) <= v;
        if (!peak) continue;
        if (searchBackDue(i)) searchBack();
        const Candidate c{i, v};
        if (lastBeat_ >= 0 && i - lastBeat_ <= refractory_) continue;
        if (v > threshold()) {
            Accept(c, false);
        } else {
            noiseLevel_ = 0.125 * v + 0.875 * noiseLevel_;
            candidates_.push_back(c);
        }
    }
    scanned_ = std::max(scanned_, upTo);
    if (searchBackDue(upTo)) searchBack();
}

void RPeakDetector::Accept(const Candidate& c, bool searchBack) {
    if (searchBack)
        signalLevel_ = 0.25 * c.value + 0.75 * signalLevel_;
    else
        signalLevel_ = 0.125 * c.value + 0.875 * signalLevel_;
    if (lastBeat_ >= 0) {
        rr_.push_back(c.at - lastBeat_);
        if (rr_.size() > 8) rr_.pop_front();
    }
    lastBeat_ = c.at;
    candidates_.clear();
    const int64_t r = Locate(c.at);
    if (r > lastReported_) {
        found_.push_back(r);
        lastReported_ = r;
    }
}

int64_t RPeakDetector::Locate(int64_t at) const {
    const int64_t lo = std::max({base_, at - locateBack_, lastReported_ + 1});
    int64_t best = std::max(lo, std::min(at, n_ - 1));
    for (int64_t i = lo; i <= at && i < n_; ++i)
        if (At(magnitude_, i) > At(magnitude_, best)) best = i;
    return best;
}

void RPeakDetector::Trim() {
    const int64_t keep = static_cast<int64_t>(kHistorySeconds * rate_);
    // Keep the learning window whole until the levels are set.
    if (!learned_) return;
    int64_t drop = static_cast<int64_t>(integrated_.size()) - keep;
    while (drop-- > 0) {
        energy_.pop_front();
        integrated_.pop_front();
        magnitude_.pop_front();
        ++base_;
    }
}

std::vector<int64_t> RPeakDetector::Take() {
    std::vector<int64_t> out;
    out.swap(found_);
    return out;
}

std::vector<int64_t> RPeakDetector::Finish() {
    if (!learned_ && n_ > 0) Learn();
    if (learned_) Examine(n_);
    return Take();
}

}  // namespace velnor::sdk
