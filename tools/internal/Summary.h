// Internal to zrperf-report: the summary command. Per counter (or counter
// and host) over the window: samples, rate, mean, the percentiles and max,
// each merged exactly from the window's intervals (Window.h), as a text
// table or JSON.
//
// Thread-safety: a plain function on caller-owned data, which it only reads.

#ifndef ZRPERF_TOOLS_INTERNAL_SUMMARY_H_
#define ZRPERF_TOOLS_INTERNAL_SUMMARY_H_

#include <string>

#include "Options.h"
#include "ReportInput.h"

namespace zrreport {

// The summary table (or JSON) of the window. False with `error` set.
bool Summary(const Dataset& data, const ReportOptions& options, std::string* out,
             std::string* error);

}  // namespace zrreport

#endif  // ZRPERF_TOOLS_INTERNAL_SUMMARY_H_
