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
// Each command builds its whole output (text, or gnuplot's picture) before
// anything is written, and writes a file through an OutputFile (OutputFile.h);
// on a fault it returns false with one line in `error`. Names, hosts and
// durations are written in the forms of ReportText.h; nothing read from a log
// reaches gnuplot as a command (Gnuplot.h).
//
// Thread-safety: plain functions on caller-owned data, which they only read
// (Plot, Compare and Html run gnuplot; Html runs one per processor at once,
// on threads of its own that it joins before it returns).

#ifndef ZRPERF_TOOLS_INTERNAL_REPORTCOMMANDS_H_
#define ZRPERF_TOOLS_INTERNAL_REPORTCOMMANDS_H_

#include <cstddef>
#include <string>
#include <vector>

#include "ReportInput.h"

namespace zrreport {

// A figure of a window or interval: a percentile, the mean or the maximum.
struct Stat {
  enum Kind { kPercentile, kMean, kMax } kind = kPercentile;
  double percent = 0;  // kPercentile: above 0, below 100
  std::string label;   // "p99.9", "mean", "max"
};

// A latency objective, "GLOB:STAT OP VALUE" ("disk.*:p99.9 <= 20ms"): STAT
// p<N>, mean or max; OP < or <=; VALUE a number with a unit (ns, us, ms, s,
// m, h). The glob is the part before the last ':'.
struct Objective {
  std::string glob;
  Stat stat;
  bool orEqual = false;  // "<=" rather than "<"
  double limitNs = 0;
  std::string limitText;      // the value as given, spaces removed ("20ms")
  std::string Shown() const;  // "GLOB:STAT OP VALUE", the glob in ShownName() form
};

struct ReportOptions {
  std::vector<std::string> counters;  // glob patterns (fnmatch) on shown names; empty: all
  std::string from, to;       // Unix seconds, ISO 8601 UTC, or -N{s,m,h,d} before the data's end
  bool json = false;          // summary, csv, check, compare: JSON instead of text / CSV
  bool byHost = false;        // summary: one row per counter and host
  int width = 0, height = 0;  // plot: pixels; 0 picks the default
  bool heatmap = false;       // plot: a latency heatmap panel per counter
  bool eachInterval = false;  // check, html: every interval rather than the window
  // summary, csv, plot, compare, html: the percentiles shown (ParsePercentiles()); empty:
  // p50, p90, p99 and p99.9.
  std::vector<Stat> percentiles;
};

// The most percentiles a list takes.
constexpr std::size_t kMaxPercentiles = 10;

// Parses "p99.9", "mean" or "max": a percentile above 0 and below 100 with
// at most six decimals. False with `error` set.
bool ParseStat(const std::string& text, Stat* stat, std::string* error);

// Parses a list of percentiles, "50,90,99,99.9,99.99": at most
// kMaxPercentiles, each once; sorted ascending. False with `error` set.
bool ParsePercentiles(const std::string& text, std::vector<Stat>* percentiles, std::string* error);

// Parses an objective. False with `error` saying what is wrong with it.
bool ParseObjective(const std::string& text, Objective* objective, std::string* error);

// Checks every objective on every selected counter its glob matches: over
// the window, or in every interval of it (options.eachInterval). `held` is
// false when any is breached. False with `error` set on a fault of the input,
// and when an objective's glob matches no selected counter.
bool Check(const Dataset& data, const ReportOptions& options,
           const std::vector<Objective>& objectives, std::string* out, bool* held,
           std::string* error);

// The summary table (or JSON) of the window.
bool Summary(const Dataset& data, const ReportOptions& options, std::string* out,
             std::string* error);

// One row per interval and counter in the window: CSV with a header row, or
// a JSON array.
bool Csv(const Dataset& data, const ReportOptions& options, std::string* out, std::string* error);

// Draws the window with gnuplot into `path` (".png" or ".svg"), written
// through an OutputFile when gnuplot has succeeded.
bool Plot(const Dataset& data, const ReportOptions& options, const std::string& path,
          std::string* error);

// Two runs side by side (options apply to each; a relative time counts back
// from each run's own end): per counter in both, the figures of each window
// (samples, rate, mean, the percentiles, max) and their NEW/OLD ratios, and
// the counters in only one, as a table or JSON. With `plotPath` (".png" or
// ".svg"), draws the counters' percentile spectra overlaid there instead
// (at most 8 counters). A --counter glob must match a counter of either run.
bool Compare(const Dataset& oldRun, const Dataset& newRun, const ReportOptions& options,
             const std::string& plotPath, std::string* out, std::string* error);

// The most counters an HTML page draws (its tables hold every counter).
constexpr std::size_t kHtmlMaxPictures = 12;

// One self-contained HTML page of the window: the window and hosts, the
// summary table (the figures of Summary()), the results of `objectives`
// when there are any (as Check() finds them; `held` says whether all held),
// and per counter (the first kHtmlMaxPictures) one inline SVG drawn by
// gnuplot: its percentiles, heatmap, samples per second and spectrum. Every
// name is in ShownName() form, escaped by HtmlText(); the page refers to
// nothing outside itself (its content security policy forbids any fetch).
bool Html(const Dataset& data, const ReportOptions& options,
          const std::vector<Objective>& objectives, std::string* out, bool* held,
          std::string* error);

// Parses a time option ("1765072200", "2026-12-07T01:50:00Z", "-30m"):
// Unix seconds or -N followed by s, m, h or d (N, like the seconds, digits
// with decimals after one point or none; relative times count back from
// `dataEnd`), or YYYY-MM-DDTHH:MM[:SS][Z] in UTC, two digits a field, a time
// of the calendar. Anything else is refused with `error` set.
bool ParseTime(const std::string& text, double dataEnd, double* unix, std::string* error);

}  // namespace zrreport

#endif  // ZRPERF_TOOLS_INTERNAL_REPORTCOMMANDS_H_
