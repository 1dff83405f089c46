// Internal to zrperf-report: the csv command. One row per interval and
// counter in the window, with the figures of the interval alone (a record's
// own figures for "Interval Stats" records): CSV with a header row (cells
// by CsvCell()), or a JSON array.
//
// Thread-safety: a plain function on caller-owned data, which it only reads.

#ifndef ZRPERF_TOOLS_INTERNAL_CSV_H_
#define ZRPERF_TOOLS_INTERNAL_CSV_H_

#include <string>

#include "Options.h"
#include "ReportInput.h"

namespace zrreport {

// The rows of the window. False with `error` set.
bool Csv(const Dataset& data, const ReportOptions& options, std::string* out, std::string* error);

}  // namespace zrreport

#endif  // ZRPERF_TOOLS_INTERNAL_CSV_H_
