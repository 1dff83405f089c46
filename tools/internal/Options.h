// Internal to zrperf-report: what a command line asks for. The command, its
// options and the forms of their values: figures ("p99.9", "mean", "max"),
// lists of percentiles, latency objectives and times. Each parser refuses
// anything but its documented form with one line in `error`, every piece of
// the text it quotes in ShownName() form (ReportText.h), so that no byte of
// an argument reaches a terminal as a control character.
//
// Thread-safety: plain functions and values; the parsers keep no state.

#ifndef ZRPERF_TOOLS_INTERNAL_OPTIONS_H_
#define ZRPERF_TOOLS_INTERNAL_OPTIONS_H_

#include <cstddef>
#include <string>
#include <vector>

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
  std::string Tail() const;   // "STAT OP VALUE"
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

// A whole command line: the command, its options and its files.
struct Invocation {
  std::string command;  // one of the names ParseCommandLine() was given
  ReportOptions options;
  std::vector<Objective> objectives;  // --slo, in the order given
  std::string output;                 // -o FILE; empty: standard output
  std::vector<std::string> inputs;
};

// The most percentiles a list takes.
constexpr std::size_t kMaxPercentiles = 10;

// Reads argv[1..] (the command, then options and files; --help is the
// caller's) for one of `commands`. False with `error` set, for the usage
// message, when the command is missing or unknown, an option is unknown, a
// value malformed, or an option does not go with the command.
bool ParseCommandLine(int argc, char** argv, const std::vector<std::string>& commands,
                      Invocation* out, std::string* error);

// The percentiles of the tables and plots: the options' list, or by default
// p50, p90, p99 and p99.9.
std::vector<Stat> Percentiles(const ReportOptions& options);

// Parses "p99.9", "mean" or "max": a percentile above 0 and below 100 with
// at most six decimals. False with `error` set.
bool ParseStat(const std::string& text, Stat* stat, std::string* error);

// Parses a list of percentiles, "50,90,99,99.9,99.99": at most
// kMaxPercentiles, each once; sorted ascending. False with `error` set.
bool ParsePercentiles(const std::string& text, std::vector<Stat>* percentiles, std::string* error);

// Parses an objective. False with `error` saying what is wrong with it.
bool ParseObjective(const std::string& text, Objective* objective, std::string* error);

// Parses a time option ("1765072200", "2026-12-07T01:50:00Z", "-30m"):
// Unix seconds or -N followed by s, m, h or d (N, like the seconds, digits
// with decimals after one point or none; relative times count back from
// `dataEnd`), or YYYY-MM-DDTHH:MM[:SS][Z] in UTC, two digits a field, a time
// of the calendar. Anything else is refused with `error` set.
bool ParseTime(const std::string& text, double dataEnd, double* unix, std::string* error);

}  // namespace zrreport

#endif  // ZRPERF_TOOLS_INTERNAL_OPTIONS_H_
