// Recorded ECGs: EDF through EDFlib, CSV by hand.
#include "velnor_sim/recording.h"

#include <edflib.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace velnor::sim {
namespace {

// "ECG II", "Lead V1", " ii " -> "II", "V1"; anything else as given, upper case.
std::string LeadName(std::string label) {
    std::string s;
    for (char c : label)
        if (!std::isspace(static_cast<unsigned char>(c))) s += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const char* prefix : {"ECG", "LEAD", "EKG"})
        if (s.rfind(prefix, 0) == 0 && s.size() > std::string(prefix).size()) s = s.substr(std::string(prefix).size());
    return s;
}

double MillivoltsPer(const std::string& unit) {
    std::string u;
    for (char c : unit)
        if (!std::isspace(static_cast<unsigned char>(c))) u += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (u == "uv" || u == "\xb5v") return 0.001;
    if (u == "mv" || u.empty()) return 1.0;
    if (u == "v") return 1000.0;
    throw std::runtime_error("unknown physical unit \"" + unit + "\"");
}

}  // namespace

Recording Recording::FromLeads(std::vector<std::string> names, std::vector<std::vector<double>> columns, double rate) {
    auto find = [&](const char* name) -> const std::vector<double>* {
        for (size_t i = 0; i < names.size(); ++i)
            if (names[i] == name) return &columns[i];
        return nullptr;
    };
    const auto* leadI = find("I");
    const auto* leadII = find("II");
    const auto* leadIII = find("III");
    std::vector<double> derived;
    if (!leadI && leadII && leadIII) {  // Einthoven: I = II - III
        derived.resize(leadII->size());
        for (size_t i = 0; i < derived.size(); ++i) derived[i] = (*leadII)[i] - (*leadIII)[i];
        leadI = &derived;
    } else if (leadI && !leadII && leadIII) {
        derived.resize(leadI->size());
        for (size_t i = 0; i < derived.size(); ++i) derived[i] = (*leadI)[i] + (*leadIII)[i];
        leadII = &derived;
    }
    if (!leadI || !leadII) throw std::runtime_error("the recording needs two of the leads I, II and III");
    if (!(rate > 0)) throw std::runtime_error("the recording has no sample rate");
    Recording r;
    r.rate_ = rate;
    const size_t n = std::min(leadI->size(), leadII->size());
    if (n < 2) throw std::runtime_error("the recording holds fewer than two samples");
    r.samples_.resize(n);
    const char* chest[] = {"V1", "V2", "V3", "V4", "V5", "V6"};
    for (size_t i = 0; i < n; ++i) {
        Potentials& p = r.samples_[i];
        p.fill(0);
        p[kLA] = (*leadI)[i];
        p[kLL] = (*leadII)[i];
        // Chest leads are against Wilson's terminal, which is (I + II) / 3
        // above the right arm.
        const double wilson = ((*leadI)[i] + (*leadII)[i]) / 3;
        for (int v = 0; v < 6; ++v) {
            const auto* column = find(chest[v]);
            p[kV1 + v] = (column && i < column->size() ? (*column)[i] : 0.0) + wilson;
        }
        for (int e : {kH, kE, kI, kM}) p[e] = wilson;
    }
    r.seconds_ = static_cast<double>(n) / rate;
    return r;
}

Recording Recording::Load(const std::string& path, double csvRate) {
    std::string lower = path;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".edf") == 0) {
        edf_hdr_struct header{};
        if (edfopen_file_readonly(path.c_str(), &header, EDFLIB_DO_NOT_READ_ANNOTATIONS) != 0)
            throw std::runtime_error(path + ": not a readable EDF or EDF+ file (EDFlib error " +
                                     std::to_string(header.filetype) + ")");
        std::vector<std::string> names;
        std::vector<std::vector<double>> columns;
        double rate = 0;
        for (int s = 0; s < header.edfsignals; ++s) {
            const edf_param_struct& sp = header.signalparam[s];
            double signalRate = static_cast<double>(sp.smp_in_datarecord) * EDFLIB_TIME_DIMENSION /
                                static_cast<double>(header.datarecord_duration);
            std::string name = LeadName(sp.label);
            bool wanted = name == "I" || name == "II" || name == "III" || (name.size() == 2 && name[0] == 'V' && name[1] >= '1' && name[1] <= '6');
            if (!wanted) continue;
            if (rate == 0) rate = signalRate;
            if (std::fabs(signalRate - rate) > 1e-6) continue;  // leads of another rate are left out
            std::vector<double> values(static_cast<size_t>(sp.smp_in_file));
            if (edfread_physical_samples(header.handle, s, static_cast<int>(values.size()), values.data()) < 0) {
                edfclose_file(header.handle);
                throw std::runtime_error(path + ": cannot read signal " + sp.label);
            }
            double scale = MillivoltsPer(sp.physdimension);
            for (double& v : values) v *= scale;
            names.push_back(name);
            columns.push_back(std::move(values));
        }
        edfclose_file(header.handle);
        return FromLeads(names, columns, rate);
    }

    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::string line;
    if (!std::getline(in, line)) throw std::runtime_error(path + ": empty file");
    std::vector<std::string> names;
    {
        std::stringstream header(line);
        std::string cell;
        while (std::getline(header, cell, ',')) names.push_back(LeadName(cell));
    }
    std::vector<std::vector<double>> columns(names.size());
    size_t lineNumber = 1;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (line.empty() || line == "\r") continue;
        std::stringstream row(line);
        std::string cell;
        for (size_t c = 0; c < names.size(); ++c) {
            if (!std::getline(row, cell, ','))
                throw std::runtime_error(path + ":" + std::to_string(lineNumber) + ": too few columns");
            char* end = nullptr;
            double v = std::strtod(cell.c_str(), &end);
            if (end == cell.c_str()) throw std::runtime_error(path + ":" + std::to_string(lineNumber) + ": not a number: " + cell);
            columns[c].push_back(v);
        }
    }
    double rate = csvRate;
    for (size_t c = 0; c < names.size(); ++c) {
        if (names[c] != "TIME") continue;
        const auto& t = columns[c];
        if (t.size() >= 2 && t.back() > t.front()) rate = static_cast<double>(t.size() - 1) / (t.back() - t.front());
    }
    return FromLeads(names, columns, rate);
}

Potentials Recording::At(double t) const {
    double position = std::fmod(t * rate_, static_cast<double>(samples_.size()));
    if (position < 0) position += static_cast<double>(samples_.size());
    size_t i = static_cast<size_t>(position);
    size_t j = (i + 1) % samples_.size();
    double f = position - static_cast<double>(i);
    Potentials p{};
    for (size_t e = 0; e < p.size(); ++e) p[e] = samples_[i][e] * (1 - f) + samples_[j][e] * f;
    return p;
}

}  // namespace velnor::sim
