// The standard 12-lead report of an EDF or EDF+ file, drawn with cairo:
// 3 x 4 leads of 2.5 s and a 10 s lead-II rhythm strip at 25 mm/s and
// 10 mm/mV on a 1 mm / 5 mm grid, with calibration pulses, a header (heart
// rate, date, patient, settings) and R-peak and pace marks.
#pragma once

#include <string>
#include <vector>

namespace velnor::acq {

struct ReportOptions {
    std::string edfPath;      // an EDF or EDF+ file, velnor-acq's own or another's
    std::string outPath;      // .pdf, .svg or .png
    std::string format;       // "pdf", "svg", "png"; empty: from outPath's extension
    double startSeconds = 0;  // where the 10 s page begins in the file
};

// PNG pages are drawn at this many pixels per millimetre.
inline constexpr double kPngPixelsPerMm = 10;
// Page geometry, millimetres from the top left of an A4 landscape page.
inline constexpr double kPageWidthMm = 297, kPageHeightMm = 210;
inline constexpr double kGridLeftMm = 13.5, kGridTopMm = 36, kGridWidthMm = 270, kRowHeightMm = 40;
inline constexpr double kTraceOffsetMm = 10;  // the calibration pulse sits before the traces

// Draws the page. Throws std::runtime_error with a clear message for a file
// it cannot use (unreadable, no leads I and II or equivalents, nothing at
// the start time).
void PrintReport(const ReportOptions& options);

// What the page was drawn from (for tests and the program's summary).
struct ReportSummary {
    double heartRate = 0;  // bpm, 0 when unknown
    bool heartRateFromAnnotations = false;
    double pageSeconds = 0;  // signal drawn, up to 10 s
    std::vector<std::string> absentLeads;
};
ReportSummary PrintReportWithSummary(const ReportOptions& options);

}  // namespace velnor::acq
