// Internal to zrperf-report: the compare command, two runs side by side.
// Options apply to each run (a relative time counts back from each run's own
// end); per counter in both, the figures of each window (samples, rate,
// mean, the percentiles, max) and their NEW/OLD ratios, and the counters in
// only one, as a table or JSON; or the counters' percentile spectra overlaid
// in a picture.
//
// Thread-safety: a plain function on caller-owned data, which it only reads;
// the picture is drawn by a gnuplot child process.

#ifndef ZRPERF_TOOLS_INTERNAL_COMPARE_H_
#define ZRPERF_TOOLS_INTERNAL_COMPARE_H_

#include <string>

#include "Options.h"
#include "ReportInput.h"

namespace zrreport {

// With an empty `plotPath`, the table (or JSON) in `out`; with `plotPath`
// (".png" or ".svg"), the spectra of at most 8 counters in both runs drawn
// there instead. A --counter glob must match a counter of either run.
bool Compare(const Dataset& oldRun, const Dataset& newRun, const ReportOptions& options,
             const std::string& plotPath, std::string* out, std::string* error);

}  // namespace zrreport

#endif  // ZRPERF_TOOLS_INTERNAL_COMPARE_H_
