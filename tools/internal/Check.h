// Internal to zrperf-report: the check command, latency objectives
// (Options.h) tested on the window's counters: on the window merged exactly,
// or (options.eachInterval) in every interval of it, the worst one named.
// The html command shows the same results (Evaluate()).
//
// Thread-safety: plain functions on caller-owned data, which they only read.

#ifndef ZRPERF_TOOLS_INTERNAL_CHECK_H_
#define ZRPERF_TOOLS_INTERNAL_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Options.h"
#include "ReportInput.h"
#include "Window.h"

namespace zrreport {

// One objective's outcome on one counter.
struct CheckResult {
  std::uint64_t value = 0;  // the window's figure, or the worst interval's (100 ns units)
  std::uint64_t samples = 0;
  std::size_t intervals = 0, breached = 0;
  double worstEnd = 0;
  bool held = true;
};

// By objective (its index), then counter.
using CheckResults = std::map<std::pair<std::size_t, std::string>, CheckResult>;

// Selects the window and checks every objective on every selected counter
// its glob matches. False with `error` set on a fault of the input
// (intervals without histograms), and when an objective's glob matches no
// selected counter.
bool Evaluate(const Dataset& data, const ReportOptions& options,
              const std::vector<Objective>& objectives, Selection* selection, CheckResults* results,
              std::string* error);

// Evaluate(), written as one line per objective and counter (held or
// BREACHED) and a closing count, or as JSON. `held` is false when any is
// breached.
bool Check(const Dataset& data, const ReportOptions& options,
           const std::vector<Objective>& objectives, std::string* out, bool* held,
           std::string* error);

}  // namespace zrreport

#endif  // ZRPERF_TOOLS_INTERNAL_CHECK_H_
