// Test support for the signal path: runs the filter stage over generated
// input in blocks, the way the output packet builder feeds it, and keeps
// every channel's output and every trigger mark.
#pragma once

#include "output/signal_filter.h"

#include <cmath>
#include <functional>
#include <vector>

namespace velnor_test {

// Input sample value of a channel at a global input index (2000 per second).
using Source = std::function<double(int channel, long index)>;

struct StageRun {
    std::vector<std::vector<short>> out;  // per channel, one value per processing sample
    std::vector<long> triggers;           // global input indexes with a trigger mark
    std::vector<long> beeps;
};

inline short ToSample(double v) {
    v = std::round(v);
    if (v > 32767) v = 32767;
    if (v < -32768) v = -32768;
    return static_cast<short>(v);
}

// Runs `samples` input samples (a multiple of `count`) from `start` on.
inline StageRun RunStage(const Source& source, long samples, int count = 100, long start = 0,
                         const std::function<void(long)>& afterBlock = nullptr) {
    StageRun run;
    run.out.resize(VELNOR_FILTER_CHANNELS);
    for (long base = start; base < start + samples; base += count) {
        for (int c = 0; c < VELNOR_FILTER_CHANNELS; ++c)
            for (int i = 0; i < count; ++i) FilterInput[c * count + i] = ToSample(source(c, base + i));
        velnor_filter_process(static_cast<SHORT>(count));
        for (int c = 0; c < VELNOR_FILTER_CHANNELS; ++c)
            for (int k = 0; k < count / 2; ++k) run.out[c].push_back(FilterOutput[c * count / 2 + k]);
        for (int i = 0; i < count; ++i) {
            if (TriggerBuffer[i]) run.triggers.push_back(base + i);
            if (BeepBuffer[i]) run.beeps.push_back(base + i);
        }
        if (afterBlock) afterBlock(base + count);
    }
    return run;
}

// Amplitude of a sine from the last `n` values: RMS about their mean (a
// start-up step decays slowly through the 0.01 Hz high-pass), times sqrt(2).
inline double Amplitude(const std::vector<short>& v, size_t n) {
    double mean = 0;
    for (size_t i = v.size() - n; i < v.size(); ++i) mean += v[i];
    mean /= double(n);
    double sum = 0;
    for (size_t i = v.size() - n; i < v.size(); ++i) sum += (v[i] - mean) * (v[i] - mean);
    return std::sqrt(2 * sum / double(n));
}

inline double Db(double ratio) { return 20 * std::log10(ratio); }

inline Source Sine(double hz, double amplitude, int channel = -1) {
    return [=](int c, long i) {
        return (channel < 0 || c == channel) ? amplitude * std::sin(2 * M_PI * hz * i / 2000.0) : 0.0;
    };
}

}  // namespace velnor_test
