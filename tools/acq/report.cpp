// The 12-lead report page (see report.h).
#include "report.h"

#include "velnor/rpeak_detector.h"

#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <cairo.h>
#include <edflib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>

namespace velnor::acq {

namespace {

constexpr double kMmPerSecond = 25, kMmPerMv = 10, kPageSeconds = 10, kCellSeconds = 2.5;
enum LeadIndex { I, II, III, aVR, aVL, aVF, V1, V2, V3, V4, V5, V6, kLeads };
constexpr const char* kLeadNames[kLeads] = {"I", "II", "III", "aVR", "aVL", "aVF", "V1", "V2", "V3", "V4", "V5", "V6"};
// The standard layout: rows of four leads, each column 2.5 s later.
constexpr LeadIndex kLayout[3][4] = {{I, aVR, V1, V4}, {II, aVL, V2, V5}, {III, aVF, V3, V6}};

struct Trace {
    std::vector<double> mv;  // the page's samples, millivolts
    double rate = 0;
    bool present = false;
    bool derived = false;
};

struct Page {
    std::array<Trace, kLeads> leads;
    std::vector<double> beats, paces;  // seconds from the page start
    std::string patient, date, equipment, settings, file;
    double seconds = 0, fileSeconds = 0, start = 0;
    ReportSummary summary;
};

// "ECG V1", "EKG-ii", "Lead aVR" -> "v1", "ii", "avr".
std::string Normalise(const char* label) {
    std::string s;
    for (const char* p = label; *p; ++p)
        if (!std::isspace(static_cast<unsigned char>(*p)) && *p != '-' && *p != '_')
            s += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    for (const char* prefix : {"ecg", "ekg", "lead"})
        if (s.rfind(prefix, 0) == 0 && s.size() > std::string(prefix).size()) {
            s.erase(0, std::string(prefix).size());
            break;
        }
    return s;
}

double UnitToMv(const char* dimension) {
    std::string d;
    for (const char* p = dimension; *p; ++p)
        if (!std::isspace(static_cast<unsigned char>(*p))) d += *p;
    if (d == "uV" || d == "uv" || d == "\xC2\xB5V") return 1e-3;
    if (d == "mV" || d == "mv") return 1;
    if (d == "V" || d == "v") return 1e3;
    return 0;
}

class EdfReader {
public:
    explicit EdfReader(const std::string& path) {
        if (edfopen_file_readonly(path.c_str(), &hdr_, EDFLIB_READ_ALL_ANNOTATIONS) != 0) {
            const char* why = "not an EDF/EDF+ file it can read";
            switch (hdr_.filetype) {
            case EDFLIB_NO_SUCH_FILE_OR_DIRECTORY: why = "no such file"; break;
            case EDFLIB_FILE_CONTAINS_FORMAT_ERRORS: why = "the file has format errors"; break;
            case EDFLIB_FILE_READ_ERROR: why = "the file cannot be read"; break;
            case EDFLIB_FILE_IS_DISCONTINUOUS: why = "discontinuous EDF+ (EDF+D) is not supported"; break;
            }
            throw std::runtime_error(path + ": " + why);
        }
    }
    ~EdfReader() { edfclose_file(hdr_.handle); }
    const edf_hdr_struct& Header() const { return hdr_; }
    double Rate(int s) const {
        return hdr_.signalparam[s].smp_in_datarecord * 1e7 / static_cast<double>(hdr_.datarecord_duration);
    }
    std::vector<double> Read(int s, long long first, long long count) {
        std::vector<double> v(static_cast<size_t>(std::max(0LL, count)));
        if (count <= 0 || edfseek(hdr_.handle, s, first, EDFSEEK_SET) < 0) return {};
        const int n = edfread_physical_samples(hdr_.handle, s, static_cast<int>(count), v.data());
        v.resize(static_cast<size_t>(std::max(0, n)));
        return v;
    }
    std::vector<std::pair<double, std::string>> Annotations() {
        std::vector<std::pair<double, std::string>> a;
        for (long long i = 0; i < hdr_.annotations_in_file; ++i) {
            edf_annotation_struct x{};
            if (edf_get_annotation(hdr_.handle, static_cast<int>(i), &x) == 0) a.emplace_back(x.onset / 1e7, x.annotation);
        }
        return a;
    }

private:
    edf_hdr_struct hdr_{};
};

Page Load(const ReportOptions& o) {
    EdfReader edf(o.edfPath);
    const edf_hdr_struct& h = edf.Header();
    Page page;
    page.start = o.startSeconds;
    page.fileSeconds = static_cast<double>(h.file_duration) / 1e7;
    if (page.start >= page.fileSeconds)
        throw std::runtime_error(o.edfPath + ": the file lasts " + std::to_string(page.fileSeconds) +
                                 " s; nothing to draw from " + std::to_string(page.start) + " s");
    page.seconds = std::min(kPageSeconds, page.fileSeconds - page.start);

    for (int s = 0; s < h.edfsignals; ++s) {
        const std::string name = Normalise(h.signalparam[s].label);
        for (int l = 0; l < kLeads; ++l) {
            std::string want = kLeadNames[l];
            std::transform(want.begin(), want.end(), want.begin(), [](char c) { return std::tolower(c); });
            Trace& t = page.leads[l];
            if (name != want || t.present) continue;
            const double scale = UnitToMv(h.signalparam[s].physdimension);
            if (scale == 0) continue;
            t.rate = edf.Rate(s);
            const long long first = std::llround(page.start * t.rate), count = std::llround(page.seconds * t.rate);
            t.mv = edf.Read(s, first, count);
            for (double& v : t.mv) v *= scale;
            t.present = !t.mv.empty();
        }
    }
    // Limb leads from two of I, II and III (Einthoven), the augmented ones from I and II.
    std::array<Trace, kLeads>& L = page.leads;
    auto derive = [&](LeadIndex out, auto f) {
        if (L[out].present) return;
        const Trace &a = L[I], &b = L[II];
        L[out].rate = a.rate;
        L[out].mv.resize(std::min(a.mv.size(), b.mv.size()));
        for (size_t s = 0; s < L[out].mv.size(); ++s) L[out].mv[s] = f(a.mv[s], b.mv[s]);
        L[out].present = L[out].derived = true;
    };
    if (!L[I].present && L[II].present && L[III].present && L[II].rate == L[III].rate) {
        L[I].rate = L[II].rate;
        L[I].mv.resize(std::min(L[II].mv.size(), L[III].mv.size()));
        for (size_t s = 0; s < L[I].mv.size(); ++s) L[I].mv[s] = L[II].mv[s] - L[III].mv[s];
        L[I].present = L[I].derived = true;
    }
    if (!L[II].present && L[I].present && L[III].present && L[I].rate == L[III].rate) {
        L[II].rate = L[I].rate;
        L[II].mv.resize(std::min(L[I].mv.size(), L[III].mv.size()));
        for (size_t s = 0; s < L[II].mv.size(); ++s) L[II].mv[s] = L[I].mv[s] + L[III].mv[s];
        L[II].present = L[II].derived = true;
    }
    if (!L[I].present || !L[II].present || L[I].rate != L[II].rate)
        throw std::runtime_error(o.edfPath +
                                 ": no limb leads found (two of I, II and III are needed, labelled like \"ECG I\", "
                                 "\"II\" or \"Lead III\", in uV, mV or V, at one rate)");
    derive(III, [](double i, double ii) { return ii - i; });
    derive(aVR, [](double i, double ii) { return -(i + ii) / 2; });
    derive(aVL, [](double i, double ii) { return i - ii / 2; });
    derive(aVF, [](double i, double ii) { return ii - i / 2; });
    for (int l = 0; l < kLeads; ++l)
        if (!L[l].present) page.summary.absentLeads.push_back(kLeadNames[l]);

    std::vector<double> allBeats;
    for (const auto& [t, text] : edf.Annotations()) {
        if (text == "R") allBeats.push_back(t);
        if (text == "Pace" && t >= page.start && t < page.start + page.seconds) page.paces.push_back(t - page.start);
        if (text.rfind("Settings: ", 0) == 0) page.settings += (page.settings.empty() ? "" : ", ") + text.substr(10);
    }
    for (double t : allBeats)
        if (t >= page.start && t < page.start + page.seconds) page.beats.push_back(t - page.start);
    auto rateOf = [](const std::vector<double>& b) {
        return b.size() >= 2 ? 60.0 * static_cast<double>(b.size() - 1) / (b.back() - b.front()) : 0.0;
    };
    if (page.beats.size() >= 2) {
        page.summary.heartRate = rateOf(page.beats);
        page.summary.heartRateFromAnnotations = true;
    } else if (allBeats.empty()) {
        // A file without R annotations: find the beats on the page's leads.
        std::vector<const float*> rows;
        std::vector<std::vector<float>> uv;
        for (int l = 0; l < kLeads; ++l)
            if (L[l].present && L[l].rate == L[I].rate && L[l].mv.size() == L[I].mv.size()) {
                uv.emplace_back(L[l].mv.size());
                for (size_t s = 0; s < L[l].mv.size(); ++s) uv.back()[s] = static_cast<float>(L[l].mv[s] * 1000);
            }
        for (const auto& r : uv) rows.push_back(r.data());
        if (L[I].rate >= 100 && L[I].rate <= 4000 && !uv.empty() && !uv[0].empty()) {
            velnor::sdk::RPeakDetector detector(L[I].rate, rows.size());
            detector.Push(rows.data(), uv[0].size());
            for (int64_t r : detector.Finish()) page.beats.push_back(static_cast<double>(r) / L[I].rate);
            page.summary.heartRate = rateOf(page.beats);
        }
    }
    page.summary.pageSeconds = page.seconds;

    const char* name = h.filetype == EDFLIB_FILETYPE_EDFPLUS || h.filetype == EDFLIB_FILETYPE_BDFPLUS ? h.patient_name
                                                                                                       : h.patient;
    page.patient = name;
    if (h.patientcode[0]) page.patient += std::string("  (") + h.patientcode + ")";
    if (h.birthdate[0]) page.patient += std::string("  born ") + h.birthdate;
    if (h.gender[0]) page.patient += std::string("  ") + h.gender;
    char date[64];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d %02d:%02d:%02d", h.startdate_year, h.startdate_month,
                  h.startdate_day, h.starttime_hour, h.starttime_minute, h.starttime_second);
    page.date = date;
    page.equipment = h.equipment;
    const size_t slash = o.edfPath.find_last_of("/\\");
    page.file = slash == std::string::npos ? o.edfPath : o.edfPath.substr(slash + 1);
    return page;
}

// ---------------------------------------------------------------- drawing (units: mm)
void Text(cairo_t* cr, double x, double y, double size, const std::string& s, bool bold = false) {
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    cairo_move_to(cr, x, y);
    cairo_show_text(cr, s.c_str());
}

void Grid(cairo_t* cr, double left, double top, double width, double height) {
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_rectangle(cr, 0, 0, kPageWidthMm, kPageHeightMm);
    cairo_fill(cr);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    for (int pass = 0; pass < 2; ++pass) {
        const bool major = pass == 1;
        if (major)
            cairo_set_source_rgb(cr, 0.93, 0.55, 0.55);
        else
            cairo_set_source_rgb(cr, 0.99, 0.84, 0.84);
        cairo_set_line_width(cr, major ? 0.2 : 0.1);
        for (int i = 0; i <= std::lround(width); ++i)
            if ((i % 5 == 0) == major) {
                cairo_move_to(cr, left + i, top);
                cairo_line_to(cr, left + i, top + height);
            }
        for (int i = 0; i <= std::lround(height); ++i)
            if ((i % 5 == 0) == major) {
                cairo_move_to(cr, left, top + i);
                cairo_line_to(cr, left + width, top + i);
            }
        cairo_stroke(cr);
    }
}

void DrawTrace(cairo_t* cr, const Trace& t, double from, double to, double x0, double baseline, double clipTop,
           double clipBottom) {
    if (!t.present || t.mv.empty()) return;
    cairo_save(cr);
    cairo_rectangle(cr, x0 - 0.5, clipTop, (to - from) * kMmPerSecond + 1, clipBottom - clipTop);
    cairo_clip(cr);
    const size_t a = static_cast<size_t>(std::max(0.0, std::floor(from * t.rate)));
    const size_t b = std::min(t.mv.size(), static_cast<size_t>(std::ceil(to * t.rate)));
    for (size_t s = a; s < b; ++s) {
        const double x = x0 + (static_cast<double>(s) / t.rate - from) * kMmPerSecond;
        const double y = baseline - t.mv[s] * kMmPerMv;
        if (s == a)
            cairo_move_to(cr, x, y);
        else
            cairo_line_to(cr, x, y);
    }
    cairo_stroke(cr);
    cairo_restore(cr);
}

void Draw(cairo_t* cr, const Page& p) {
    const double left = kGridLeftMm, top = kGridTopMm, width = kGridWidthMm, height = 4 * kRowHeightMm;
    Grid(cr, left, top, width, height);

    cairo_set_source_rgb(cr, 0, 0, 0);
    char line[512];
    Text(cr, left, 12, 5, "12-lead ECG", true);
    std::snprintf(line, sizeof line, "Patient: %s", p.patient.empty() ? "-" : p.patient.c_str());
    Text(cr, left + 45, 12, 3.5, line);
    if (p.summary.heartRate > 0)
        std::snprintf(line, sizeof line, "Heart rate %.0f bpm", p.summary.heartRate);
    else
        std::snprintf(line, sizeof line, "Heart rate -- bpm");
    Text(cr, left, 19, 4.2, line, true);
    std::snprintf(line, sizeof line, "Recorded %s   %s   page %.1f to %.1f s of %.1f s%s", p.date.c_str(),
                  p.equipment.c_str(), p.start, p.start + p.seconds, p.fileSeconds,
                  p.seconds < kPageSeconds ? " (shorter than 10 s)" : "");
    Text(cr, left + 45, 19, 3.2, line);
    std::string settings = "25 mm/s   10 mm/mV";
    if (!p.settings.empty()) settings += "   " + p.settings;
    if (!p.summary.absentLeads.empty()) {
        settings += "   absent:";
        for (const std::string& l : p.summary.absentLeads) settings += " " + l;
    }
    Text(cr, left, 26, 3.0, settings);
    Text(cr, left, 31.5, 2.6, p.file);

    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    for (int row = 0; row < 4; ++row) {
        const double rowTop = top + row * kRowHeightMm, baseline = rowTop + kRowHeightMm * 0.6;
        // Calibration pulse: 1 mV for 0.2 s.
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_set_line_width(cr, 0.3);
        cairo_move_to(cr, left, baseline);
        cairo_line_to(cr, left + 2, baseline);
        cairo_line_to(cr, left + 2, baseline - kMmPerMv);
        cairo_line_to(cr, left + 7, baseline - kMmPerMv);
        cairo_line_to(cr, left + 7, baseline);
        cairo_line_to(cr, left + kTraceOffsetMm, baseline);
        cairo_stroke(cr);
        const double x0 = left + kTraceOffsetMm;
        for (int col = 0; col < (row < 3 ? 4 : 1); ++col) {
            const LeadIndex lead = row < 3 ? kLayout[row][col] : II;
            const double from = row < 3 ? col * kCellSeconds : 0, to = row < 3 ? from + kCellSeconds : kPageSeconds;
            const double x = x0 + from * kMmPerSecond;
            cairo_set_source_rgb(cr, 0, 0, 0);
            cairo_set_line_width(cr, 0.3);
            DrawTrace(cr, p.leads[lead], from, to, x, baseline, rowTop, rowTop + kRowHeightMm);
            std::string label = kLeadNames[lead];
            if (!p.leads[lead].present) label += " (absent)";
            Text(cr, x + 1.5, rowTop + 5, 3.6, label, true);
            if (col > 0) {  // a short divider where the next lead begins
                cairo_set_line_width(cr, 0.3);
                cairo_move_to(cr, x, baseline - 3);
                cairo_line_to(cr, x, baseline + 3);
                cairo_stroke(cr);
            }
        }
        // Beat and pacemaker marks along the row's top and bottom edges.
        cairo_set_line_width(cr, 0.35);
        cairo_set_source_rgb(cr, 0.1, 0.2, 0.7);
        for (double t : p.beats) {
            cairo_move_to(cr, x0 + t * kMmPerSecond, rowTop + 0.5);
            cairo_line_to(cr, x0 + t * kMmPerSecond, rowTop + 2.5);
        }
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0.0, 0.55, 0.2);
        for (double t : p.paces) {
            const double x = x0 + t * kMmPerSecond, y = rowTop + kRowHeightMm - 0.5;
            cairo_move_to(cr, x, y - 2);
            cairo_line_to(cr, x - 1, y);
            cairo_line_to(cr, x + 1, y);
            cairo_close_path(cr);
        }
        cairo_fill(cr);
    }
    cairo_set_source_rgb(cr, 0, 0, 0);
    Text(cr, left, top + height + 6, 2.6,
         "R peaks: blue ticks above each row   pacemaker pulses: green marks below   calibration 1 mV");
}

std::string FormatOf(const ReportOptions& o) {
    if (!o.format.empty()) return o.format;
    const size_t dot = o.outPath.find_last_of('.');
    std::string ext = dot == std::string::npos ? "" : o.outPath.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](char c) { return std::tolower(c); });
    if (ext == "pdf" || ext == "svg" || ext == "png") return ext;
    throw std::runtime_error(o.outPath + ": the report is .pdf, .svg or .png (or say which with --format)");
}

}  // namespace

ReportSummary PrintReportWithSummary(const ReportOptions& o) {
    const std::string format = FormatOf(o);
    const Page page = Load(o);
    constexpr double kPointsPerMm = 72 / 25.4;
    cairo_surface_t* surface;
    double scale = kPointsPerMm;
    if (format == "pdf") {
        surface = cairo_pdf_surface_create(o.outPath.c_str(), kPageWidthMm * kPointsPerMm, kPageHeightMm * kPointsPerMm);
    } else if (format == "svg") {
        surface = cairo_svg_surface_create(o.outPath.c_str(), kPageWidthMm * kPointsPerMm, kPageHeightMm * kPointsPerMm);
    } else {
        scale = kPngPixelsPerMm;
        surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(kPageWidthMm * scale),
                                             static_cast<int>(kPageHeightMm * scale));
    }
    cairo_t* cr = cairo_create(surface);
    cairo_scale(cr, scale, scale);
    Draw(cr, page);
    cairo_show_page(cr);
    cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    if (status == CAIRO_STATUS_SUCCESS && format == "png") status = cairo_surface_write_to_png(surface, o.outPath.c_str());
    cairo_surface_finish(surface);
    if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS)
        throw std::runtime_error(o.outPath + ": cannot write the report (" + cairo_status_to_string(status) + ")");
    return page.summary;
}

void PrintReport(const ReportOptions& o) { PrintReportWithSummary(o); }

}  // namespace velnor::acq
