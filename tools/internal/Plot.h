// Internal to zrperf-report: the plot command, and the pieces of a picture
// that compare and html draw too. A plot has, per counter, its percentiles
// and max over time (and with options.heatmap its latency heatmap), then
// the samples per second of every counter, and the window's percentile
// spectrum.
//
// Everything read from a log goes into the script as data (Gnuplot.h);
// gnuplot writes the picture to its standard output, which goes to the
// target through an OutputFile once gnuplot has succeeded.
//
// Thread-safety: plain functions on caller-owned data, which they only read;
// Plot() runs gnuplot as a child process.

#ifndef ZRPERF_TOOLS_INTERNAL_PLOT_H_
#define ZRPERF_TOOLS_INTERNAL_PLOT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "Options.h"
#include "ReportInput.h"

namespace zrreport {

// The gnuplot script of a plot of `data` for a picture of kind `ext`
// (".png" or ".svg"). False with `error` set (no interval, more than 8
// counters, a heatmap of records, percentiles the records lack).
bool PlotScript(const Dataset& data, const ReportOptions& options, const std::string& ext,
                std::string* script, std::string* error);

// Draws the window with gnuplot into `path` (".png" or ".svg").
bool Plot(const Dataset& data, const ReportOptions& options, const std::string& path,
          std::string* error);

// The picture terminal's opening lines for `path` (".png" or ".svg").
std::string Terminal(const std::string& path, int width, int height);

// The percentile spectrum of a window as data lines "x latency_ms": x is
// 1 / (1 - percentile), from 1 to the sample count, 50 points a decade, the
// last the maximum.
std::vector<std::string> SpectrumPoints(const CTimeCounterSnapshot& w);

// The axes of a spectrum panel.
extern const char kSpectrumAxes[];

}  // namespace zrreport

#endif  // ZRPERF_TOOLS_INTERNAL_PLOT_H_
