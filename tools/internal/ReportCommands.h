// Internal to zrperf-report: the commands, on a Dataset (ReportInput.h).
//
// Every figure comes from the library's own snapshot code: an interval is
// rebuilt with CTimeCounterSnapshot::FromParts(), a window is the Merge() of
// its intervals, and percentiles are GetPercentile() of the result, so a
// window's figures equal those the process would have read from one counter
// fed the same samples.
//
// An interval belongs to the window [from, to] when it ends within it
// (from < end <= to): intervals are never cut, so a window's edges move out
// to the edges of the intervals it takes, and the output says which span the
// figures cover.
//
// Each command builds its whole output (text, or a temporary file made
// exclusively beside the target: OutputFile.h) before anything is written;
// on a fault it returns false with one line in `error`. Names, hosts and
// durations are written in the forms of ReportText.h; nothing read from a log
// reaches gnuplot as a command (Gnuplot.h).
//
// Thread-safety: plain functions on caller-owned data (Plot runs gnuplot).

#ifndef ZRPERF_TOOLS_INTERNAL_REPORTCOMMANDS_H_
#define ZRPERF_TOOLS_INTERNAL_REPORTCOMMANDS_H_

#include <string>
#include <vector>

#include "ReportInput.h"

namespace zrreport {

struct ReportOptions {
  std::vector<std::string> counters;  // glob patterns (fnmatch) on shown names; empty: all
  std::string from, to;       // Unix seconds, ISO 8601 UTC, or -N{s,m,h,d} before the data's end
  bool json = false;          // summary and csv: JSON instead of text / CSV
  bool byHost = false;        // summary: one row per counter and host
  int width = 0, height = 0;  // plot: pixels; 0 picks the default
};

// The summary table (or JSON) of the window.
bool Summary(const Dataset& data, const ReportOptions& options, std::string* out,
             std::string* error);

// One row per interval and counter in the window: CSV with a header row, or
// a JSON array.
bool Csv(const Dataset& data, const ReportOptions& options, std::string* out, std::string* error);

// Draws the window with gnuplot into `path` (".png" or ".svg") through an
// OutputFile: gnuplot writes the picture into the temporary, which is
// renamed into place when gnuplot succeeds.
bool Plot(const Dataset& data, const ReportOptions& options, const std::string& path,
          std::string* error);

// Parses a time option ("1765072200", "2026-12-07T01:50:00Z", "-30m");
// relative times count back from `dataEnd`.
bool ParseTime(const std::string& text, double dataEnd, double* unix, std::string* error);

}  // namespace zrreport

#endif  // ZRPERF_TOOLS_INTERNAL_REPORTCOMMANDS_H_
