// velnor-acq: records a 12-lead ECG from the module to an EDF+ file and
// prints the standard 12-lead report of an EDF file.
//
//   velnor-acq record -o ecg.edf -d 10 [--rate 500] [--mains 50] ...
//   velnor-acq print ecg.edf -o report.pdf
//   velnor-acq info
//
// Built for Windows with mingw and, on Linux, against the host layer with the
// simulated module, whose patient the --sim-* options choose.
#include "velnor/rpeak_detector.h"
#include "velnor/sdk.h"

#include "report.h"

#include <windows.h>

#include <CLI/CLI.hpp>
#include <edflib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define VELNOR_ISATTY(f) _isatty(_fileno(f))
#else
#include <unistd.h>
#define VELNOR_ISATTY(f) isatty(fileno(f))
#endif

namespace {

using namespace velnor::sdk;

std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_fileClosed{false};

BOOL WINAPI OnConsoleEvent(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) {
        g_interrupted = true;
        return TRUE;
    }
    if (type == CTRL_CLOSE_EVENT) {
        // The console window closed: Windows ends the process as soon as this
        // returns (and at the latest after 5 s), so wait for the file.
        g_interrupted = true;
        for (int i = 0; i < 90 && !g_fileClosed; ++i) Sleep(50);
        return TRUE;
    }
    return FALSE;
}

// ---------------------------------------------------------------- options
struct PatientOptions {
    std::string name = "X", code, sex, birthdate, additional;
    std::string admin, technician, equipment, recording;
};

struct RecordOptions {
    std::string out;
    double seconds = 0;  // 0: until Ctrl-C
    int rate = 2000;
    bool frank = false;
    std::string highPass = "0.05", lowPass = "150", mains = "off";
    int paceThreshold = 4;
    bool pacedPatient = false;
    int triggerWidth = 10, triggerDelay = 0;
    std::string triggerPolarity = "positive";
    bool beep = false;
    std::vector<std::string> analog;  // CHANNEL=LEAD or CHANNEL=LEVEL
    int inPackets = 1, inTransfers = 16;
    int timerPeriod = 0;
    PatientOptions patient;
    std::string sim;  // VELNOR_SIM items (Linux)
};

// ---------------------------------------------------------------- EDF+ signals
// The leads of sample s of a block, in counts (the order of Signals()).
void LeadsInCounts(const Block& b, size_t s, bool frank, double* out) {
    auto word = [&](Electrode e) -> double {
        for (size_t r = 0; r < b.electrodes.size(); ++r)
            if (b.electrodes[r] == e) return b.raw[r][s];
        return 0;
    };
    const double la = word(Electrode::LA), ll = word(Electrode::LL), wct = (la + ll) / 3;
    out[0] = la;
    out[1] = ll;
    out[2] = ll - la;
    out[3] = -(la + ll) / 2;
    out[4] = la - ll / 2;
    out[5] = ll - la / 2;
    const Electrode chest[6] = {Electrode::V1, Electrode::V2, Electrode::V3, Electrode::V4, Electrode::V5, Electrode::V6};
    for (int i = 0; i < 6; ++i) out[6 + i] = word(chest[i]) - wct;
    if (frank) {
        const Electrode f[4] = {Electrode::H, Electrode::E, Electrode::I, Electrode::M};
        for (int i = 0; i < 4; ++i) out[12 + i] = word(f[i]);
    }
}

// Each signal is a lead computed from the electrode words, in counts, with
// the lead's whole range over the module's words: no lead the module can
// produce is clipped, and 16 bits hold each within one count.
struct Signal {
    std::string label;
    double low, high;  // counts
};

std::vector<Signal> Signals(bool frank) {
    std::vector<Signal> s;
    for (const char* l : {"ECG I", "ECG II", "ECG III", "ECG aVR", "ECG aVL", "ECG aVF", "ECG V1", "ECG V2", "ECG V3",
                          "ECG V4", "ECG V5", "ECG V6"})
        s.push_back({l, 0, 0});
    if (frank)
        for (const char* l : {"ECG H", "ECG E", "ECG Frank I", "ECG M"}) s.push_back({l, 0, 0});
    // A lead is linear in LA, LL and at most one more electrode: its
    // extremes lie where those three words sit at their rails.
    Block rails;
    rails.electrodes = ElectrodeSet::WithFrank().List();
    rails.raw.assign(rails.electrodes.size(), std::vector<int16_t>(1));
    std::vector<double> value(s.size());
    for (int corner = 0; corner < 8; ++corner) {
        for (size_t r = 0; r < rails.electrodes.size(); ++r) {
            const int bit = rails.electrodes[r] == Electrode::LA ? 1 : rails.electrodes[r] == Electrode::LL ? 2 : 4;
            rails.raw[r][0] = corner & bit ? kRailHigh : kRailLow;
        }
        LeadsInCounts(rails, 0, frank, value.data());
        for (size_t i = 0; i < s.size(); ++i) {
            s[i].low = corner ? std::min(s[i].low, value[i]) : value[i];
            s[i].high = corner ? std::max(s[i].high, value[i]) : value[i];
        }
    }
    return s;
}

class EdfFile {
public:
    EdfFile(const RecordOptions& o, const std::vector<Signal>& signals, const DeviceInfo& info) : signals_(signals) {
        handle_ = edfopen_file_writeonly(o.out.c_str(), EDFLIB_FILETYPE_EDFPLUS, static_cast<int>(signals.size()));
        if (handle_ < 0) throw std::runtime_error("cannot create " + o.out + " (EDFlib error " + std::to_string(handle_) + ")");
        const int perRecord = o.rate / 10;
        bool ok = edf_set_datarecord_duration(handle_, 10000) == 0;  // 100 ms, in 10 us units
        // Room for several annotations a record: beats, pace pulses, keys and flags.
        ok = ok && edf_set_number_of_annotation_signals(handle_, 4) == 0;
        const double uv = 1000.0 / kCountsPerMillivolt;
        for (int i = 0; i < static_cast<int>(signals.size()); ++i) {
            ok = ok && edf_set_samplefrequency(handle_, i, perRecord) == 0;
            ok = ok && edf_set_digital_maximum(handle_, i, 32767) == 0 && edf_set_digital_minimum(handle_, i, -32768) == 0;
            // Whole microvolts, rounded outwards, fit EDF's 8-character
            // fields exactly; the samples are scaled by the limits as written.
            const double pmax = std::ceil(signals[i].high * uv), pmin = std::floor(signals[i].low * uv);
            scale_.push_back((pmax - pmin) / 65535 / uv);  // counts per digital unit
            offset_.push_back(pmin / uv);                  // counts at digital -32768
            ok = ok && edf_set_physical_maximum(handle_, i, pmax) == 0;
            ok = ok && edf_set_physical_minimum(handle_, i, pmin) == 0;
            ok = ok && edf_set_label(handle_, i, signals[i].label.c_str()) == 0;
            ok = ok && edf_set_physical_dimension(handle_, i, "uV") == 0;
            ok = ok && edf_set_transducer(handle_, i, "AgAgCl electrode") == 0;
            const std::string filter = "HP:" + o.highPass + "Hz LP:" + o.lowPass + "Hz";
            ok = ok && edf_set_prefilter(handle_, i, filter.c_str()) == 0;
        }
        const std::time_t now = std::time(nullptr);
        std::tm t{};
#ifdef _WIN32
        localtime_s(&t, &now);
#else
        localtime_r(&now, &t);
#endif
        ok = ok && edf_set_startdatetime(handle_, t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                                         t.tm_sec) == 0;
        const PatientOptions& p = o.patient;
        ok = ok && edf_set_patientname(handle_, p.name.c_str()) == 0;
        if (!p.code.empty()) ok = ok && edf_set_patientcode(handle_, p.code.c_str()) == 0;
        if (p.sex == "M" || p.sex == "F") ok = ok && edf_set_gender(handle_, p.sex == "M" ? 1 : 0) == 0;
        int y, m, d;
        if (std::sscanf(p.birthdate.c_str(), "%d-%d-%d", &y, &m, &d) == 3)
            ok = ok && edf_set_birthdate(handle_, y, m, d) == 0;
        if (!p.additional.empty()) ok = ok && edf_set_patient_additional(handle_, p.additional.c_str()) == 0;
        if (!p.admin.empty()) ok = ok && edf_set_admincode(handle_, p.admin.c_str()) == 0;
        if (!p.technician.empty()) ok = ok && edf_set_technician(handle_, p.technician.c_str()) == 0;
        const std::string equipment =
            p.equipment.empty() ? (info.product.empty() ? std::string("velnor") : info.product) : p.equipment;
        ok = ok && edf_set_equipment(handle_, equipment.c_str()) == 0;
        if (!p.recording.empty()) ok = ok && edf_set_recording_additional(handle_, p.recording.c_str()) == 0;
        if (!ok) {
            edfclose_file(handle_);
            throw std::runtime_error("cannot set up the EDF+ header of " + o.out +
                                     " (a patient or recording field too long?)");
        }
        record_.resize(signals.size() * static_cast<size_t>(perRecord));
        perRecord_ = static_cast<size_t>(perRecord);
    }
    ~EdfFile() { Close(); }

    // One 100 ms record: values[signal][sample] in counts.
    void Write(const std::vector<std::vector<double>>& values) {
        for (size_t i = 0; i < signals_.size(); ++i)
            for (size_t s = 0; s < perRecord_; ++s) {
                const double d = std::round((values[i][s] - offset_[i]) / scale_[i]) - 32768;
                record_[i * perRecord_ + s] = static_cast<short>(std::clamp(d, -32768.0, 32767.0));
            }
        if (edf_blockwrite_digital_short_samples(handle_, record_.data()) != 0)
            throw std::runtime_error("writing the EDF+ file failed (disk full?)");
        ++records_;
    }
    void Annotate(double seconds, double duration, const std::string& text) {
        edfwrite_annotation_utf8(handle_, std::llround(seconds * 10000),
                                 duration >= 0 ? std::llround(duration * 10000) : -1, text.c_str());
        ++annotations_;
    }
    void Close() {
        if (handle_ >= 0) edfclose_file(handle_);
        handle_ = -1;
    }
    size_t Records() const { return records_; }

private:
    std::vector<Signal> signals_;
    std::vector<short> record_;
    std::vector<double> scale_, offset_;
    size_t perRecord_ = 0, records_ = 0, annotations_ = 0;
    int handle_ = -1;
};

// ---------------------------------------------------------------- recording
// A block flag kept on over consecutive blocks becomes one annotation with a
// duration, so a flag that stays set does not flood the file.
struct Interval {
    const char* name;
    bool on = false;
    double since = 0;
    size_t count = 0;  // blocks with the flag
    void Update(bool set, double t, EdfFile& edf) {
        if (set) ++count;
        if (set && !on) since = t;
        if (!set && on) edf.Annotate(since, t - since, name);
        on = set;
    }
    void Finish(double t, EdfFile& edf) { Update(false, t, edf); }
};

struct Totals {
    size_t blocks = 0, errorBlocks = 0, samples = 0, beats = 0, paces = 0, keys = 0;
    size_t fifoFull = 0, timeouts = 0, noModule = 0, otherErrors = 0, lostRecords = 0;
};

double Now() {
    LARGE_INTEGER t, f;
    QueryPerformanceCounter(&t);
    QueryPerformanceFrequency(&f);
    return static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

Settings ToSettings(const RecordOptions& o) {
    Settings s;
    s.rate = static_cast<SamplingRate>(o.rate);
    s.electrodes = o.frank ? ElectrodeSet::WithFrank() : ElectrodeSet::Standard();
    s.highPass = o.highPass == "0.01" ? HighPass::Hz0_01 : HighPass::Hz0_05;
    s.lowPass = o.lowPass == "100" ? LowPass::Hz100 : LowPass::Hz150;
    s.mains = o.mains == "50" ? Mains::Hz50 : o.mains == "60" ? Mains::Hz60 : Mains::Off;
    s.paceThreshold = static_cast<uint16_t>(o.paceThreshold);
    s.pacePatient = o.pacedPatient;
    s.trigger.widthMs = static_cast<uint32_t>(o.triggerWidth);
    s.trigger.delayMs = static_cast<uint32_t>(o.triggerDelay);
    s.trigger.polarity = o.triggerPolarity == "negative" ? TriggerPolarity::Negative : TriggerPolarity::Positive;
    s.trigger.beep = o.beep;
    for (const std::string& a : o.analog) {
        // "1=II" follows lead II on output 1; "2=2000" holds level 2000.
        const size_t eq = a.find('=');
        const int channel = std::atoi(a.substr(0, eq).c_str()) - 1;
        const std::string v = a.substr(eq + 1);
        AnalogOutput out;
        bool isLead = false;
        for (int l = 0; l < kLeadCount; ++l)
            if (v == LeadName(static_cast<Lead>(l))) out.follows = true, out.lead = static_cast<Lead>(l), isLead = true;
        if (!isLead) out.level = static_cast<uint16_t>(std::clamp(std::atoi(v.c_str()), 0, 4095));
        s.analog[static_cast<size_t>(channel)] = out;
    }
    return s;
}

// EDFlib keeps 40 characters of an annotation: the settings go in pieces.
std::vector<std::string> SettingsText(const RecordOptions& o) {
    char a[64], b[64], c[64];
    std::snprintf(a, sizeof a, "Settings: %d S/s, HP %s, LP %s Hz", o.rate, o.highPass.c_str(), o.lowPass.c_str());
    std::snprintf(b, sizeof b, "Settings: mains %s, pace thr %d%s", o.mains.c_str(), o.paceThreshold,
                  o.pacedPatient ? ", paced" : "");
    std::snprintf(c, sizeof c, "Settings: %s", o.frank ? "12 leads + Frank H E I M" : "12 leads");
    return {a, b, c};
}

class StatusLine {
public:
    explicit StatusLine(double total) : total_(total), tty_(VELNOR_ISATTY(stdout) != 0) {}
    void Show(double t, double heartRate, const Totals& n, bool leadOff, bool force = false) {
        const auto now = std::chrono::steady_clock::now();
        if (tty_) {
            if (!force && now - shown_ < std::chrono::milliseconds(100)) return;
        } else if (!force && t < next_) {
            return;
        }
        shown_ = now;
        next_ = std::floor(t / 10) * 10 + 10;  // piped: a line each 10 s of recording
        char total[32] = "";
        if (total_ > 0) std::snprintf(total, sizeof total, " / %.1f", total_);
        char hr[16] = "--";
        if (heartRate > 0) std::snprintf(hr, sizeof hr, "%.0f", heartRate);
        std::printf("%s%7.1f%s s  HR %s bpm  blocks %zu  errors %zu  lead-off %s%s", tty_ ? "\r" : "", t, total, hr,
                    n.blocks, n.errorBlocks, leadOff ? "YES" : "no", tty_ ? "   " : "\n");
        std::fflush(stdout);
        drawn_ = tty_;
    }
    void End() {
        if (drawn_) std::printf("\n");
        drawn_ = false;
    }

private:
    double total_;
    bool tty_;
    bool drawn_ = false;
    double next_ = 0;
    std::chrono::steady_clock::time_point shown_{};
};

int Record(const RecordOptions& o) {
    if (!o.sim.empty()) {
#ifdef _WIN32
        std::fprintf(stderr, "velnor-acq: the --sim options choose the simulated module's patient (Linux only)\n");
        return 2;
#else
        const char* had = std::getenv("VELNOR_SIM");
        const std::string items = had && *had ? std::string(had) + "," + o.sim : o.sim;
        setenv("VELNOR_SIM", items.c_str(), 1);
#endif
    }
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);

    Device device;
    const DeviceInfo info = device.Info();
    device.Configure(ToSettings(o));
    const std::vector<Signal> signals = Signals(o.frank);
    EdfFile edf(o, signals, info);
    for (const std::string& text : SettingsText(o)) edf.Annotate(0, -1, text);

    StreamParameters stream;
    stream.in.PacketsPerTransfer = static_cast<uint32_t>(o.inPackets);
    stream.in.TransferCount = static_cast<uint32_t>(o.inTransfers);
    stream.timerPeriodMs = static_cast<uint32_t>(o.timerPeriod);
    device.StartStreams(stream);

    const size_t perRecord = static_cast<size_t>(o.rate / 10);
    const size_t wanted = o.seconds > 0 ? static_cast<size_t>(std::llround(o.seconds * 10)) : SIZE_MAX;
    RPeakDetector detector(o.rate, kLeadCount);
    std::vector<std::vector<double>> counts(signals.size(), std::vector<double>(perRecord));
    std::vector<std::vector<float>> leads(kLeadCount, std::vector<float>(perRecord));
    std::vector<double> sample(signals.size());
    std::vector<double> beats;  // R times, seconds
    Totals n;
    Interval leadOff{"Lead off"}, sync{"Sync error"}, sequence{"Sequence error"}, checksum{"Checksum error"};
    StatusLine status(o.seconds);
    std::string ending;
    int exitCode = 0;
    double lastBlockEnd = Now();
    auto heartRate = [&] {
        // Over the last 10 s of beats.
        if (beats.size() < 2) return 0.0;
        size_t first = beats.size() - 1;
        while (first > 0 && beats.back() - beats[first - 1] <= 10) --first;
        const size_t k = beats.size() - 1 - first;
        return k ? 60.0 * static_cast<double>(k) / (beats.back() - beats[first]) : 0.0;
    };
    auto takeBeats = [&](const std::vector<int64_t>& peaks) {
        for (int64_t r : peaks) {
            const double t = static_cast<double>(r) / o.rate;
            beats.push_back(t);
            edf.Annotate(t, -1, "R");
            ++n.beats;
        }
    };
    auto flatRecords = [&](size_t k) {
        for (auto& c : counts) std::fill(c.begin(), c.end(), 0.0);
        for (size_t i = 0; i < k && edf.Records() < wanted; ++i) {
            edf.Write(counts);
            for (auto& l : leads) std::fill(l.begin(), l.end(), 0.0f);
            const float* p[kLeadCount];
            for (int l = 0; l < kLeadCount; ++l) p[l] = leads[l].data();
            detector.Push(p, perRecord);
            ++n.lostRecords;
        }
    };

    try {
        while (edf.Records() < wanted && !g_interrupted) {
            const double t0 = static_cast<double>(edf.Records()) / 10;
            Block block = device.ReadBlock(static_cast<uint32_t>(perRecord));
            ++n.blocks;
            if (block.error != BlockError::None) {
                ++n.errorBlocks;
                const char* what = block.error == BlockError::FifoFull  ? "FIFO full"
                                   : block.error == BlockError::Timeout ? "Timeout"
                                   : block.error == BlockError::NoModule ? "No module"
                                                                         : "Block error";
                edf.Annotate(t0, -1, what);
                (block.error == BlockError::FifoFull ? n.fifoFull
                 : block.error == BlockError::Timeout ? n.timeouts
                 : block.error == BlockError::NoModule ? n.noModule
                                                       : n.otherErrors)++;
                // The time the samples did not arrive stays in the file as a
                // flat stretch, so later annotations keep their true times.
                const double now = Now();
                const size_t gap = static_cast<size_t>((now - lastBlockEnd) * 10);
                flatRecords(gap);
                lastBlockEnd += static_cast<double>(gap) / 10;
                // A full ring stays full until the streams start again.
                if (block.error == BlockError::FifoFull) device.StartStreams(stream);
                continue;
            }
            lastBlockEnd = Now();
            for (size_t s = 0; s < perRecord; ++s) {
                LeadsInCounts(block, s, o.frank, sample.data());
                for (size_t i = 0; i < signals.size(); ++i) counts[i][s] = sample[i];
                for (int l = 0; l < kLeadCount; ++l)
                    leads[l][s] = static_cast<float>(sample[l]) * kMicrovoltsPerCount;
                if (block.pace[s]) {
                    edf.Annotate(t0 + static_cast<double>(s) / o.rate, -1, "Pace");
                    ++n.paces;
                }
            }
            edf.Write(counts);
            n.samples += perRecord;
            const float* p[kLeadCount];
            for (int l = 0; l < kLeadCount; ++l) p[l] = leads[l].data();
            detector.Push(p, perRecord, block.pace.data());
            takeBeats(detector.Take());

            const double t1 = t0 + 0.1;
            leadOff.Update(block.status.leadFail, t0, edf);
            sync.Update(block.status.syncError, t0, edf);
            sequence.Update(block.status.sequenceErrors, t0, edf);
            checksum.Update(block.status.checksumErrors, t0, edf);
            // The driver queues a key the block after the one it was first
            // seen in, and marks it released in the first block without it:
            // a press is placed at the start of the block before this one, a
            // release at the start of this one (100 ms resolution).
            for (const KeyEvent& k : device.ReadKeys()) {
                if (k.action == KeyAction::Held) continue;
                const bool down = k.action == KeyAction::Down;
                edf.Annotate(down ? std::max(0.0, t0 - 0.1) : t0, -1,
                             "Key " + std::to_string(k.key) + (down ? " down" : " up"));
                n.keys += k.action == KeyAction::Down;
            }
            status.Show(t1, heartRate(), n, leadOff.on);
        }
        if (g_interrupted) ending = "stopped by Ctrl-C";
    } catch (const Error& e) {
        // A module pulled out shows as a failed block request (its streams
        // are gone) or as the device itself gone; either way the file is kept.
        if (!e.DeviceGone() && e.ControlCode() != IOCTL_VELNOR_READ_ISO_BUFFER && device.Answers()) throw;
        ending = std::string("the module was unplugged or stopped sending (") + e.what() + ")";
        exitCode = 3;
    }
    const double end = static_cast<double>(edf.Records()) / 10;
    takeBeats(detector.Finish());
    for (Interval* i : {&leadOff, &sync, &sequence, &checksum}) i->Finish(end, edf);
    status.Show(end, heartRate(), n, leadOff.on, true);
    status.End();
    edf.Close();
    g_fileClosed = true;
    if (exitCode == 0) device.StopStreams();

    // A Ctrl-C is the user's own ending; an unplug is an error and goes where errors go.
    if (!ending.empty())
        std::fprintf(exitCode == 0 ? stdout : stderr, "velnor-acq: %s at %.1f s; the recording so far is saved.\n",
                     ending.c_str(), end);
    double meanHr = 0;
    if (beats.size() >= 2) meanHr = 60.0 * static_cast<double>(beats.size() - 1) / (beats.back() - beats.front());
    std::printf("recorded %.1f s, %zu samples per lead at %d S/s, %zu signals\n", end, edf.Records() * perRecord,
                o.rate, signals.size());
    std::printf("beats %zu, mean heart rate %.0f bpm, pace pulses %zu, key presses %zu\n", n.beats, meanHr, n.paces,
                n.keys);
    std::printf("blocks %zu: lead-off %zu, sync errors %zu, sequence errors %zu, checksum errors %zu\n", n.blocks,
                leadOff.count, sync.count, sequence.count, checksum.count);
    // The module sends 2000 packets a second whatever the rate: the time an
    // error block stood for is that many packets the file does not have.
    std::printf("error blocks %zu: FIFO full %zu, timeout %zu, no module %zu, other %zu; lost %zu packets, %.1f s "
                "(flat in the file)\n",
                n.errorBlocks, n.fifoFull, n.timeouts, n.noModule, n.otherErrors, n.lostRecords * 200,
                static_cast<double>(n.lostRecords) / 10);
    std::printf("file %s\n", o.out.c_str());
    return exitCode;
}

// ---------------------------------------------------------------- info
int Info() {
    Device device;
    const DeviceInfo i = device.Info();
    std::printf("module     %s (%s), serial %s\n", i.product.c_str(), i.manufacturer.c_str(),
                i.serialNumber.empty() ? "-" : i.serialNumber.c_str());
    std::printf("USB        %x.%02x, vendor 0x%04X, product 0x%04X, release %x.%02x\n", i.usbVersion >> 8,
                i.usbVersion & 0xFF, i.vendorId, i.productId, i.release >> 8, i.release & 0xFF);
    std::printf("driver     version %u.%u.%u, revision 0x%08X\n", i.driverMajor, i.driverMinor, i.driverBuild,
                static_cast<unsigned>(i.driverRevision));
    std::printf("config     %zu bytes, frame %u\n", i.configurationDescriptor.size(), static_cast<unsigned>(i.frameNumber));
    std::printf("scale      %.0f counts/mV (%.3f uV a count)\n", kCountsPerMillivolt, kMicrovoltsPerCount);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"velnor-acq: record a 12-lead ECG to EDF+ and print the 12-lead report"};
    app.require_subcommand(1);

    RecordOptions r;
    CLI::App* record = app.add_subcommand("record", "record from the module to an EDF+ file");
    record->add_option("-o,--output", r.out, "the EDF+ file to write")->required();
    record->add_option("-d,--duration", r.seconds, "seconds to record (default: until Ctrl-C)")
        ->check(CLI::Range(0.1, 7.0 * 24 * 3600));
    record->add_option("--rate", r.rate, "samples per second")->check(CLI::IsMember({200, 500, 1000, 2000}))
        ->capture_default_str();
    record->add_flag("--frank", r.frank, "also record the Frank electrodes H, E, I, M");
    record->add_option("--highpass", r.highPass, "high-pass filter of the outputs, Hz")
        ->check(CLI::IsMember({"0.01", "0.05"}))->capture_default_str();
    record->add_option("--lowpass", r.lowPass, "low-pass filter of the outputs, Hz")
        ->check(CLI::IsMember({"100", "150"}))->capture_default_str();
    record->add_option("--mains", r.mains, "mains canceller")->check(CLI::IsMember({"off", "50", "60"}))
        ->capture_default_str();
    record->add_option("--pace-threshold", r.paceThreshold, "pace pulse threshold")->check(CLI::Range(0, 65535))
        ->capture_default_str();
    record->add_flag("--paced-patient", r.pacedPatient, "the patient has a pacemaker");
    record->add_option("--trigger-width", r.triggerWidth, "QRS trigger pulse width, ms")->check(CLI::Range(4, 100))
        ->capture_default_str();
    record->add_option("--trigger-delay", r.triggerDelay, "QRS trigger delay, ms")->check(CLI::Range(0, 100))
        ->capture_default_str();
    record->add_option("--trigger-polarity", r.triggerPolarity, "QRS trigger polarity")
        ->check(CLI::IsMember({"positive", "negative"}))->capture_default_str();
    record->add_flag("--beep", r.beep, "beep on every QRS");
    record->add_option("--analog", r.analog, "analog output: N=LEAD (follows I..V6) or N=LEVEL (0..4095), N 1..4")
        ->check([](const std::string& v) -> std::string {
            const size_t eq = v.find('=');
            if (eq != 1 || v[0] < '1' || v[0] > '4' || eq + 1 >= v.size()) return "expected N=LEAD or N=LEVEL, N 1 to 4";
            return {};
        });
    record->add_option("--in-packets", r.inPackets, "isochronous IN packets per transfer")->check(CLI::Range(1, 255))
        ->capture_default_str();
    record->add_option("--in-transfers", r.inTransfers, "isochronous IN transfers in flight")->check(CLI::Range(1, 64))
        ->capture_default_str();
    record->add_option("--timer-period", r.timerPeriod,
                       "ms; ask the system for this timer period while recording (1: blocks within 2 ms, 0: as it is)")
        ->check(CLI::Range(0, 1000))
        ->capture_default_str();
    record->add_option("--patient", r.patient.name, "patient name")->capture_default_str();
    record->add_option("--patient-code", r.patient.code, "patient code");
    record->add_option("--sex", r.patient.sex, "patient sex")->check(CLI::IsMember({"M", "F"}));
    record->add_option("--birthdate", r.patient.birthdate, "patient birth date, YYYY-MM-DD");
    record->add_option("--patient-info", r.patient.additional, "more about the patient");
    record->add_option("--admin-code", r.patient.admin, "recording's administration code");
    record->add_option("--technician", r.patient.technician, "technician");
    record->add_option("--equipment", r.patient.equipment, "equipment (default: the module's product name)");
    record->add_option("--recording-info", r.patient.recording, "more about the recording");
#ifndef _WIN32
    double simRate = 0, simNoise = -1, simUnplug = -1;
    std::string simRhythm, simMains, simLeadOff, simRecording;
    bool simPaced = false;
    int simSeed = -1;
    auto* g = record->add_option_group("simulated module", "the simulated patient (Linux)");
    g->add_option("--sim-heart-rate", simRate, "beats per minute")->check(CLI::Range(30, 300));
    g->add_option("--sim-rhythm", simRhythm, "regular, irregular or ectopic")
        ->check(CLI::IsMember({"regular", "irregular", "ectopic"}));
    g->add_flag("--sim-paced", simPaced, "every beat paced");
    g->add_option("--sim-mains", simMains, "mains interference HZ:MV, e.g. 50:0.2");
    g->add_option("--sim-noise", simNoise, "muscle noise, mV")->check(CLI::Range(0.0, 10.0));
    g->add_option("--sim-lead-off", simLeadOff, "electrodes off, as a mask (bit 0 LA, 1 LL, 2..7 V1..V6)");
    g->add_option("--sim-recording", simRecording, "an EDF/EDF+ or CSV file to play instead of the model");
    g->add_option("--sim-seed", simSeed, "seed for irregularity and noise")->check(CLI::Range(0, 1 << 30));
    g->add_option("--sim-unplug-at", simUnplug, "pull the module's plug after this many seconds");
    g->add_option("--sim", r.sim, "more VELNOR_SIM items, e.g. \"wander=0.3,key=1:2:0.5\"");
#endif

    CLI::App* print = app.add_subcommand("print", "draw the 12-lead report of an EDF/EDF+ file");
    velnor::acq::ReportOptions p;
    print->add_option("file", p.edfPath, "the EDF or EDF+ file")->required()->check(CLI::ExistingFile);
    print->add_option("-o,--output", p.outPath, "the report: .pdf, .svg or .png")->required();
    print->add_option("--format", p.format, "pdf, svg or png (default: from the output's extension)")
        ->check(CLI::IsMember({"pdf", "svg", "png"}));
    print->add_option("--start", p.startSeconds, "where the 10 s page begins, seconds into the file")
        ->check(CLI::Range(0.0, 1e7));

    app.add_subcommand("info", "show the module and the driver");

    CLI11_PARSE(app, argc, argv);
    try {
        if (app.got_subcommand("record")) {
#ifndef _WIN32
            std::vector<std::string> items;
            if (simRate > 0) items.push_back("rate=" + std::to_string(simRate));
            if (simRhythm == "irregular") items.push_back("irregularity=0.25");
            if (simRhythm == "ectopic") items.push_back("ectopic=5");
            if (simPaced) items.push_back("paced=1");
            if (!simMains.empty()) items.push_back("mains=" + simMains);
            if (simNoise >= 0) items.push_back("noise=" + std::to_string(simNoise));
            if (!simLeadOff.empty()) items.push_back("leadoff=" + simLeadOff);
            if (!simRecording.empty()) items.push_back("recording=" + simRecording);
            if (simSeed >= 0) items.push_back("seed=" + std::to_string(simSeed));
            if (simUnplug >= 0) items.push_back("unplug=" + std::to_string(simUnplug));
            for (const std::string& i : items) r.sim += (r.sim.empty() ? "" : ",") + i;
#endif
            return Record(r);
        }
        if (app.got_subcommand("print")) {
            velnor::acq::PrintReport(p);
            std::printf("report %s\n", p.outPath.c_str());
            return 0;
        }
        return Info();
    } catch (const Error& e) {
        std::fprintf(stderr, "velnor-acq: %s\n", e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velnor-acq: %s\n", e.what());
        return 1;
    }
}
