// The heart dipole model. Coordinates: x toward the patient's left, y
// toward the feet, z anterior. Limb electrodes sit on the frontal-plane
// triangle (so lead I is the x component and lead II the projection at
// 60 degrees), chest electrodes in the horizontal plane at their usual
// angles, and the four extra electrodes on the neck (H), front (E), right
// side (I) and back (M).
#include "velnor_sim/ecg_model.h"

#include <cmath>

namespace velnor::sim {
namespace {

struct Vec3 {
    double x, y, z;
};
double Dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 Scale(Vec3 v, double k) { return {v.x * k, v.y * k, v.z * k}; }
Vec3 Add(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 Unit(double x, double y, double z) {
    double n = std::sqrt(x * x + y * y + z * z);
    return {x / n, y / n, z / n};
}
constexpr double kPi = 3.14159265358979323846;
double Rad(double degrees) { return degrees * kPi / 180.0; }

// A limb electrode at `degrees` on the frontal plane, scaled so that lead I
// is exactly the x component.
Vec3 Limb(double degrees) { return Scale({std::cos(Rad(degrees)), std::sin(Rad(degrees)), 0}, 1 / std::sqrt(3.0)); }
Vec3 Chest(double degrees) { return {std::cos(Rad(degrees)), 0, std::sin(Rad(degrees))}; }

const Vec3 kRightArm = Limb(-150);
const std::array<Vec3, kElectrodeCount> kLeads = {
    Limb(-30),  Limb(90),   Chest(115),          Chest(94),          Chest(75),         Chest(60),
    Chest(30),  Chest(0),   Vec3{0, -0.8, 0},    Vec3{0, 0, 1.0},    Vec3{-1.0, 0, 0},  Vec3{0, 0, -0.8},
};

// One wave of the dipole: a Gaussian in time along a fixed direction.
struct Wave {
    double at;     // seconds from the R peak
    double width;  // standard deviation, seconds
    double size;   // millivolts
    Vec3 direction;
};
double Bump(double dt, double width) { return std::exp(-0.5 * (dt / width) * (dt / width)); }

uint64_t Next(uint64_t& s) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
}
double Uniform(uint64_t& s) { return static_cast<double>(Next(s) >> 11) / 9007199254740992.0; }  // [0, 1)

}  // namespace

EcgModel::EcgModel(const EcgSettings& settings) : settings_(settings), nextBeat_(0.5), rng_(settings.seed * 2654435761u + 1) {
    for (auto& e : noise_) {
        e[0] = 0.5 + Uniform(rng_);            // mains gain of this electrode
        e[1] = 0.5 + Uniform(rng_);            // wander gain
        e[2] = 0.5 + Uniform(rng_);            // carrier gain
        e[3] = 2 * kPi * Uniform(rng_);        // phase
    }
    for (size_t i = 0; i < muscleHz_.size(); ++i) {
        for (size_t k = 0; k < muscleHz_[i].size(); ++k) {
            muscleHz_[i][k] = 20 + 130 * Uniform(rng_);
            musclePhase_[i][k] = 2 * kPi * Uniform(rng_);
        }
    }
}

void EcgModel::ScheduleUntil(double t) {
    const double rr = 60.0 / std::fmin(300.0, std::fmax(30.0, settings_.heartRate));
    while (nextBeat_ < t) {
        ++beatIndex_;
        bool ectopic = settings_.paced || (settings_.ectopicEvery > 0 && beatIndex_ % settings_.ectopicEvery == 0);
        double r = nextBeat_;
        // An ectopic beat comes early and is followed by a compensatory pause.
        if (settings_.ectopicEvery > 0 && !settings_.paced && beatIndex_ % settings_.ectopicEvery == 0) r -= 0.35 * rr;
        bool silent = settings_.asystoleStart >= 0 && r >= settings_.asystoleStart &&
                      r < settings_.asystoleStart + settings_.asystoleSeconds;
        if (!silent) beats_.push_back({r, ectopic});
        double jitter = settings_.irregularity * (2 * Uniform(rng_) - 1);
        nextBeat_ += rr * (1 + jitter);
    }
}

std::vector<Beat> EcgModel::Beats(double until) {
    ScheduleUntil(until + 1);
    std::vector<Beat> v;
    for (const Beat& b : beats_)
        if (b.r < until) v.push_back(b);
    return v;
}

bool EcgModel::PacePulse(double t) {
    if (!settings_.paced) return false;
    ScheduleUntil(t + 1);
    for (auto it = beats_.rbegin(); it != beats_.rend(); ++it) {
        double start = it->r - 0.06;  // the pulse precedes the wide QRS
        if (t >= start - 0.0015 && t < start) return true;
        if (it->r < t - 1) break;
    }
    return false;
}

Potentials EcgModel::At(double t) {
    ScheduleUntil(t + 1);
    const double axis = Rad(settings_.axisDegrees);
    const Vec3 rDir = Unit(std::cos(axis), std::sin(axis), -0.25);
    const double rr = 60.0 / std::fmin(300.0, std::fmax(30.0, settings_.heartRate));
    const double qt = 0.30 * std::sqrt(rr);  // T wave position follows the rate
    const Wave normal[] = {
        {-0.16, 0.025, 0.15, Unit(std::cos(axis), std::sin(axis), 0.2)},  // P
        {-0.025, 0.008, 0.15, Unit(-0.6, 0.2, 0.8)},                       // septal q
        {0.0, 0.011, 1.3, rDir},                                            // R
        {0.03, 0.01, 0.35, Unit(-0.6, -0.5, -0.6)},                         // S
        {qt, 0.05, 0.35, Unit(std::cos(axis), std::sin(axis), 0.35)},       // T
    };
    const Wave wide[] = {
        {0.0, 0.03, 1.6, Unit(-0.3, -0.7, 0.65)},
        {qt + 0.05, 0.07, 0.5, Unit(0.3, 0.7, -0.65)},
    };

    Vec3 d{0, 0, 0};
    for (auto it = beats_.rbegin(); it != beats_.rend(); ++it) {
        double dt = t - it->r;
        if (dt > 1.0) break;
        if (dt < -0.4) continue;
        if (it->ectopic) {
            for (const Wave& w : wide) d = Add(d, Scale(w.direction, w.size * Bump(dt - w.at, w.width)));
        } else {
            for (const Wave& w : normal) d = Add(d, Scale(w.direction, w.size * Bump(dt - w.at, w.width)));
        }
    }
    d = Scale(d, settings_.amplitude);

    // Interference differs from electrode to electrode, so it survives the
    // reference to the right arm.
    auto interference = [&](size_t e) {
        const auto& n = noise_[e];
        // A source that is off costs nothing: the sines are most of a long
        // simulated recording's time otherwise.
        auto wave = [&](double mv, double gain, double hz) {
            return mv == 0 ? 0.0 : mv * gain * std::sin(2 * kPi * hz * t + n[3]);
        };
        double v = wave(settings_.mainsMv, n[0], settings_.mainsHz) + wave(settings_.wanderMv, n[1], 0.3) +
                   wave(settings_.carrierMv, n[2], 250);
        if (settings_.muscleMv > 0) {
            double m = 0;
            for (size_t k = 0; k < muscleHz_[e].size(); ++k) m += std::sin(2 * kPi * muscleHz_[e][k] * t + musclePhase_[e][k]);
            v += settings_.muscleMv * m / std::sqrt(static_cast<double>(muscleHz_[e].size()));
        }
        return v;
    };
    const double rightArm = Dot(kRightArm, d) + interference(kElectrodeCount);
    Potentials p{};
    for (size_t e = 0; e < kElectrodeCount; ++e) p[e] = Dot(kLeads[e], d) + interference(e) - rightArm;
    return p;
}

}  // namespace velnor::sim
