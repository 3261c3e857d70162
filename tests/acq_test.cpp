// velnor-acq as a user runs it, on the simulated module: the EDF+ file it
// writes, read back with EDFlib, against what the module sent; Ctrl-C and
// the plug pulled mid-record; and the report drawn from the file.
#include <velnor_sim/acquisition_module.h>

#include "report.h"

#include <cairo.h>
#include <edflib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string kAcq = VELNOR_ACQ_PATH;
constexpr double kUvPerCount = 1000.0 / 150;

std::string Dir() {
    static const std::string dir = [] {
        char t[] = "/tmp/velnor-acq-test-XXXXXX";
        return std::string(mkdtemp(t));
    }();
    return dir;
}

struct Outcome {
    int exit = -1;
    std::string out;
};

// Runs velnor-acq with `args` (and VELNOR_SIM); with `interruptAfter`, sends
// SIGINT once that text has appeared in its output.
Outcome Acq(const std::string& args, const std::string& interruptAfter = "") {
    int fd[2];
    EXPECT_EQ(pipe(fd), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);  // its own group, so the interrupt reaches velnor-acq whatever the shell does
        dup2(fd[1], 1);
        dup2(fd[1], 2);
        close(fd[0]);
        execl("/bin/sh", "sh", "-c", ("exec " + kAcq + " " + args).c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fd[1]);
    Outcome r;
    char buf[4096];
    bool sent = false;
    for (ssize_t n; (n = read(fd[0], buf, sizeof buf)) > 0;) {
        r.out.append(buf, static_cast<size_t>(n));
        if (!interruptAfter.empty() && !sent && r.out.find(interruptAfter) != std::string::npos) {
            kill(-pid, SIGINT);
            sent = true;
        }
    }
    close(fd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

struct EdfFile {
    edf_hdr_struct h{};
    bool ok = false;
    std::map<std::string, std::vector<double>> signals;  // by label, physical values
    std::vector<std::pair<double, std::string>> annotations;
    explicit EdfFile(const std::string& path) {
        if (edfopen_file_readonly(path.c_str(), &h, EDFLIB_READ_ALL_ANNOTATIONS) != 0) return;
        ok = true;
        for (int s = 0; s < h.edfsignals; ++s) {
            std::vector<double> v(static_cast<size_t>(h.signalparam[s].smp_in_file));
            edfread_physical_samples(h.handle, s, static_cast<int>(v.size()), v.data());
            std::string label = h.signalparam[s].label;
            label.erase(label.find_last_not_of(' ') + 1);
            signals[label] = v;
        }
        for (long long i = 0; i < h.annotations_in_file; ++i) {
            edf_annotation_struct a{};
            edf_get_annotation(h.handle, static_cast<int>(i), &a);
            annotations.emplace_back(a.onset / 1e7, a.annotation);
        }
        edfclose_file(h.handle);
    }
    std::vector<double> Times(const std::string& text) const {
        std::vector<double> t;
        for (const auto& [at, a] : annotations)
            if (a == text) t.push_back(at);
        return t;
    }
};

// The module packet whose electrode words begin the file: the first samples
// of leads I and II (LA and LL) matched against the module's own packets.
int64_t FirstPacket(const EdfFile& f, velnor::sim::AcquisitionModule& m, int stride) {
    const std::vector<double>&I = f.signals.at("ECG I"), &II = f.signals.at("ECG II");
    for (int64_t k = 0; k < 40000; ++k) {
        bool match = true;
        for (int j = 0; j < 40 && match; ++j) {
            const std::vector<uint16_t> w = m.PacketAt(static_cast<uint64_t>(k + j * stride));
            match = std::lround(I[j] / kUvPerCount) == static_cast<int16_t>(w[1]) &&
                    std::lround(II[j] / kUvPerCount) == static_cast<int16_t>(w[2]);
        }
        if (match) return k;
    }
    return -1;
}

// The twelve leads in counts from the LA and LL words and the chest words
// V1 to V6; every electrode is measured against the right arm.
std::array<double, 12> LeadsOf(double la, double ll, const std::array<double, 6>& v) {
    const double wct = (la + ll) / 3;
    return {la, ll, ll - la, -(la + ll) / 2, la - ll / 2, ll - la / 2,
            v[0] - wct, v[1] - wct, v[2] - wct, v[3] - wct, v[4] - wct, v[5] - wct};
}

TEST(VelnorAcq, FileHoldsEveryLeadWithinOneCountAndEveryBeatAtEachRate) {
    // The module's full range: each lead where its electrodes sit at the rails.
    std::array<double, 12> lowest{}, highest{};
    for (int corner = 0; corner < 8; ++corner) {
        auto rail = [&](int bit) { return corner & bit ? 32767.0 : -32768.0; };
        std::array<double, 6> chest;
        chest.fill(rail(4));
        const std::array<double, 12> l = LeadsOf(rail(1), rail(2), chest);
        for (int s = 0; s < 12; ++s) {
            lowest[s] = corner ? std::min(lowest[s], l[s]) : l[s];
            highest[s] = corner ? std::max(highest[s], l[s]) : l[s];
        }
    }
    for (int rate : {2000, 1000, 500, 200}) {
        SCOPED_TRACE("rate " + std::to_string(rate));
        const std::string file = Dir() + "/rate" + std::to_string(rate) + ".edf";
        const Outcome r = Acq("record -o " + file + " -d 8 --rate " + std::to_string(rate) +
                          " --sim-heart-rate 95 --sim-mains 50:0.2 --sim-seed 7");
        ASSERT_EQ(r.exit, 0) << r.out;
        const EdfFile f(file);
        ASSERT_TRUE(f.ok);
        EXPECT_EQ(f.h.filetype, EDFLIB_FILETYPE_EDFPLUS);
        EXPECT_EQ(f.h.datarecord_duration, 1000000);  // 100 ms
        ASSERT_EQ(f.h.edfsignals, 12);
        const char* labels[] = {"ECG I",  "ECG II", "ECG III", "ECG aVR", "ECG aVL", "ECG aVF",
                                "ECG V1", "ECG V2", "ECG V3",  "ECG V4",  "ECG V5",  "ECG V6"};
        for (int s = 0; s < 12; ++s) {
            EXPECT_EQ(std::string(f.h.signalparam[s].label).substr(0, std::strlen(labels[s])), labels[s]);
            EXPECT_STREQ(f.h.signalparam[s].physdimension, "uV      ");
            EXPECT_EQ(f.h.signalparam[s].smp_in_file, 8 * rate);  // nothing lost or doubled
            EXPECT_LE(f.h.signalparam[s].phys_min, lowest[s] * kUvPerCount) << labels[s];
            EXPECT_GE(f.h.signalparam[s].phys_max, highest[s] * kUvPerCount) << labels[s];
        }

        velnor::sim::ModuleSettings settings;
        settings.ecg.heartRate = 95, settings.ecg.mainsHz = 50, settings.ecg.mainsMv = 0.2, settings.ecg.seed = 7;
        velnor::sim::AcquisitionModule module(settings);
        const int stride = 2000 / rate;
        const int64_t k0 = FirstPacket(f, module, stride);
        ASSERT_GE(k0, 0) << "the file's first samples are not the module's";
        size_t worst = 0;
        double worstCounts = 0;
        for (size_t j = 0; j < static_cast<size_t>(8 * rate); ++j) {
            const std::vector<uint16_t> w = module.PacketAt(static_cast<uint64_t>(k0 + static_cast<int64_t>(j) * stride));
            auto e = [&](int word) { return static_cast<double>(static_cast<int16_t>(w[word])); };
            const std::array<double, 12> want = LeadsOf(e(1), e(2), {e(9), e(8), e(7), e(6), e(4), e(3)});
            for (int s = 0; s < 12; ++s) {
                const double d = std::fabs(f.signals.at(labels[s])[j] / kUvPerCount - want[s]);
                if (d > worstCounts) worstCounts = d, worst = j;
            }
        }
        EXPECT_LE(worstCounts, 1.0 + 1e-3) << "at sample " << worst;

        // R annotations against the patient's beats, in the file's time.
        std::vector<double> truth;
        for (const velnor::sim::Beat& b : module.Beats(k0 / 2000.0 + 8))
            if (b.r - k0 / 2000.0 > 0.3 && b.r - k0 / 2000.0 < 7.7) truth.push_back(b.r - k0 / 2000.0);
        const std::vector<double> found = f.Times("R");
        size_t matched = 0, inside = 0;
        for (double t : found) {
            if (t <= 0.3 - 0.075 || t >= 7.7 + 0.075) continue;
            ++inside;
            matched += std::any_of(truth.begin(), truth.end(), [&](double b) { return std::fabs(b - t) <= 0.075; });
        }
        EXPECT_EQ(matched, truth.size());
        EXPECT_EQ(inside, matched);
        EXPECT_FALSE(f.Times("Settings: " + std::to_string(rate) + " S/s, HP 0.05, LP 150 Hz").empty());
    }
}

TEST(VelnorAcq, PacedPatientLeadOffAndKeysAreAnnotated) {
    const std::string file = Dir() + "/events.edf";
    const Outcome r = Acq("record -o " + file + " -d 6 --rate 500 --paced-patient --sim-paced --sim-heart-rate 70 "
                      "--sim-lead-off 0x4 --sim key=2:1.5:0.6,key=3:4:0.3");
    ASSERT_EQ(r.exit, 0) << r.out;
    const EdfFile f(file);
    ASSERT_TRUE(f.ok);
    const std::vector<double> paces = f.Times("Pace"), beats = f.Times("R");
    EXPECT_GE(paces.size(), 5u);
    // Each pacemaker pulse is followed by the beat it paces.
    for (double p : paces)
        EXPECT_TRUE(std::any_of(beats.begin(), beats.end(), [&](double b) { return b > p && b - p < 0.2; })) << p;
    // V1 held off from the start: one lead-off interval over the recording.
    ASSERT_EQ(f.Times("Lead off").size(), 1u);
    EXPECT_NE(r.out.find("lead-off 60"), std::string::npos) << r.out;
    // Keys are seen per 100 ms block; presses here start and end on block edges.
    const auto near = [](const std::vector<double>& t, double at) { return t.size() == 1 && std::abs(t[0] - at) < 0.01; };
    EXPECT_TRUE(near(f.Times("Key 2 down"), 1.5)) << r.out;
    EXPECT_TRUE(near(f.Times("Key 2 up"), 2.1)) << r.out;
    EXPECT_TRUE(near(f.Times("Key 3 down"), 4.0)) << r.out;
    EXPECT_TRUE(near(f.Times("Key 3 up"), 4.3)) << r.out;
    EXPECT_TRUE(f.Times("Key 1 down").empty());
    EXPECT_NE(r.out.find("key presses 2"), std::string::npos) << r.out;
}

TEST(VelnorAcq, CtrlCAndUnplugEndWithAValidFileAndAClearMessage) {
    {
        const std::string file = Dir() + "/ctrlc.edf";
        const Outcome r = Acq("record -o " + file + " --rate 1000", "  20.0 s");  // piped: a line each 10 s
        EXPECT_EQ(r.exit, 0) << r.out;
        EXPECT_NE(r.out.find("stopped by Ctrl-C"), std::string::npos) << r.out;
        const EdfFile f(file);
        ASSERT_TRUE(f.ok);
        EXPECT_GE(f.h.file_duration, 200000000);
        EXPECT_EQ(f.signals.at("ECG II").size(), static_cast<size_t>(f.h.datarecords_in_file * 100));
    }
    {
        const std::string file = Dir() + "/unplug.edf";
        const Outcome r = Acq("record -o " + file + " -d 10 --sim-unplug-at 3");
        EXPECT_EQ(r.exit, 3) << r.out;
        EXPECT_NE(r.out.find("the module was unplugged"), std::string::npos) << r.out;
        // The second without packets before the driver gave up is counted, not hidden.
        EXPECT_NE(r.out.find("timeout 1, no module 0, other 0; lost 2000 packets, 1.0 s"), std::string::npos) << r.out;
        const EdfFile f(file);
        ASSERT_TRUE(f.ok);
        EXPECT_GE(f.h.file_duration, 25000000);
        EXPECT_LE(f.h.file_duration, 40000000);
    }
}

// ---------------------------------------------------------------- the report
TEST(VelnorAcqReport, RendersAllThreeFormatsWithTenMillimetreCalibrationPulses) {
    const std::string file = Dir() + "/report.edf";
    ASSERT_EQ(Acq("record -o " + file + " -d 10 --rate 500").exit, 0);
    const std::string png = Dir() + "/report.png", svg = Dir() + "/report.svg", pdf = Dir() + "/report.pdf";
    for (const std::string& out : {png, svg, pdf}) {
        const Outcome r = Acq("print " + file + " -o " + out);
        ASSERT_EQ(r.exit, 0) << r.out;
    }
    std::ifstream in(pdf, std::ios::binary);
    std::string head(5, '\0');
    in.read(head.data(), 5);
    EXPECT_EQ(head, "%PDF-");
    std::ifstream s(svg);
    const std::string text((std::istreambuf_iterator<char>(s)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("<svg"), std::string::npos);

    cairo_surface_t* page = cairo_image_surface_create_from_png(png.c_str());
    ASSERT_EQ(cairo_surface_status(page), CAIRO_STATUS_SUCCESS);
    const int w = cairo_image_surface_get_width(page), h = cairo_image_surface_get_height(page);
    const int stride = cairo_image_surface_get_stride(page) / 4;
    const uint32_t* px = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(page));
    EXPECT_EQ(w, 2970);  // A4 landscape at 10 px/mm
    EXPECT_EQ(h, 2100);
    auto rgb = [&](int x, int y) { return px[y * stride + x] & 0xFFFFFF; };
    auto dark = [&](int x, int y) {
        const uint32_t c = rgb(x, y);
        return (c >> 16 & 0xFF) < 110 && (c >> 8 & 0xFF) < 110 && (c & 0xFF) < 110;
    };
    // The pulse's rising edge, 2 mm into each row: its dark run is 10 mm
    // plus the line's width (0.3 mm).
    const int x = static_cast<int>(std::lround((velnor::acq::kGridLeftMm + 2) * 10));
    for (int row = 0; row < 4; ++row) {
        const int top = static_cast<int>((velnor::acq::kGridTopMm + row * velnor::acq::kRowHeightMm) * 10);
        int run = 0, longest = 0;
        for (int y = top; y < top + 400; ++y) {
            run = dark(x, y) ? run + 1 : 0;
            longest = std::max(longest, run);
        }
        EXPECT_GE(longest, 100) << "row " << row;
        EXPECT_LE(longest, 104) << "row " << row;
    }
    cairo_surface_destroy(page);

    const velnor::acq::ReportSummary summary = velnor::acq::PrintReportWithSummary({file, png, "", 0});
    EXPECT_TRUE(summary.heartRateFromAnnotations);
    EXPECT_NEAR(summary.heartRate, 72, 1);
    EXPECT_EQ(summary.pageSeconds, 10);
    EXPECT_TRUE(summary.absentLeads.empty());
}

TEST(VelnorAcqReport, UnusableFileGetsAClearError) {
    const std::string bad = Dir() + "/not.edf";
    std::ofstream(bad) << "hello";
    const Outcome r = Acq("print " + bad + " -o " + Dir() + "/x.png");
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.out.find("not.edf"), std::string::npos) << r.out;
    const Outcome ext = Acq("print " + bad + " -o " + Dir() + "/x.jpg");  // the format is checked first
    EXPECT_NE(ext.out.find(".pdf, .svg or .png"), std::string::npos) << ext.out;
}

}  // namespace
