// Internal to zrperf-report: the html command, one self-contained page of
// the window: the window and hosts, the summary table (the figures of
// Summary()), the results of the objectives when there are any (as Check()
// finds them), and per counter (the first kHtmlMaxPictures) one inline SVG
// drawn by gnuplot: its percentiles, heatmap, samples per second and
// spectrum. Every name is in ShownName() form, escaped by HtmlText(); the
// page refers to nothing outside itself (its content security policy
// forbids any fetch).
//
// Thread-safety: a plain function on caller-owned data, which it only reads.
// It draws the pictures on one thread per processor (each with its own
// gnuplot), which it joins before it returns.

#ifndef ZRPERF_TOOLS_INTERNAL_HTML_H_
#define ZRPERF_TOOLS_INTERNAL_HTML_H_

#include <cstddef>
#include <string>
#include <vector>

#include "Options.h"
#include "ReportInput.h"

namespace zrreport {

// The most counters an HTML page draws (its tables hold every counter).
constexpr std::size_t kHtmlMaxPictures = 12;

// The page in `out`; `held` says whether every objective held.
bool Html(const Dataset& data, const ReportOptions& options,
          const std::vector<Objective>& objectives, std::string* out, bool* held,
          std::string* error);

}  // namespace zrreport

#endif  // ZRPERF_TOOLS_INTERNAL_HTML_H_
