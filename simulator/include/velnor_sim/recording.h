// A recorded ECG played back as the module's electrode signals: EDF or
// EDF+ files (read with EDFlib) and CSV files. Leads I and II are needed (or
// two of I, II, III); V1 to V6 are used when present. The leads are turned
// into electrode potentials against the right arm, resampled to the
// module's 2000 samples per second by linear interpolation, and looped.
#pragma once

#include "velnor_sim/ecg_model.h"

#include <string>
#include <vector>

namespace velnor::sim {

class Recording {
public:
    // EDF/EDF+ by the file's extension (.edf), otherwise CSV: a header line
    // naming the columns (I, II, III, V1..V6, optionally "time" in seconds),
    // then one line of millivolts per sample; without a time column the
    // samples are `csvRate` per second. Throws std::runtime_error with the
    // reason when the file cannot be used.
    static Recording Load(const std::string& path, double csvRate = 500);

    Potentials At(double t) const;
    double Seconds() const { return seconds_; }
    double Rate() const { return rate_; }

private:
    static Recording FromLeads(std::vector<std::string> names, std::vector<std::vector<double>> columns, double rate);

    double rate_ = 0;
    double seconds_ = 0;
    std::vector<Potentials> samples_;
};

}  // namespace velnor::sim
