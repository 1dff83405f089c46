// zrperf-report: summaries, tables and plots of zrperf histogram logs (and of
// the "Interval Stats" records of ordinary logs). See --help and
// docs/histogram-log.md.
//
// Exit status: 0 on success (check: every objective held), 3 when check finds
// an objective breached, 1 on a fault of the input or output (one line on
// standard error; nothing is written, to -o FILE nor to standard output), 2 on
// a bad command line. No exception leaves main(): an unexpected one is a
// fault with exit status 1 too.

#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <zrperf/tools/internal/Check.h>
#include <zrperf/tools/internal/Compare.h>
#include <zrperf/tools/internal/Csv.h>
#include <zrperf/tools/internal/Html.h>
#include <zrperf/tools/internal/Options.h>
#include <zrperf/tools/internal/OutputFile.h>
#include <zrperf/tools/internal/Plot.h>
#include <zrperf/tools/internal/ReportInput.h>
#include <zrperf/tools/internal/ReportText.h>
#include <zrperf/tools/internal/Summary.h>

namespace {

const char kUsage[] =
    "Usage: zrperf-report COMMAND [OPTION]... FILE...\n"
    "Reads zrperf histogram logs (PerfCntLogger::SetHistogramLog, zrperf-demo\n"
    "--histogram-log) and reports on their counters; the rotated files beside a\n"
    "log (NAME.1.EXT, NAME.2.EXT, ...) are read with it. Logs of several\n"
    "processes and hosts are merged by counter name.\n"
    "\n"
    "Commands:\n"
    "  summary   per counter over the window: samples, rate, mean, percentiles\n"
    "            (p50, p90, p99, p99.9) and max, merged exactly from the window's\n"
    "            intervals\n"
    "  csv       one row per interval and counter with the same figures\n"
    "  plot      a PNG or SVG (by the -o name) drawn by gnuplot: latency\n"
    "            percentiles over time per counter, samples per second, and the\n"
    "            latency distribution of the window\n"
    "  compare   two runs, OLD and NEW (each a log with its rotated files):\n"
    "            per counter the figures of each window and the NEW/OLD\n"
    "            ratios; the counters in only one listed; with -o FILE.png or\n"
    "            FILE.svg, their percentile spectra overlaid instead\n"
    "  html      one self-contained HTML page (-o FILE.html): the window, the\n"
    "            summary table, the --slo results, and per counter (at most\n"
    "            12) its percentiles, heatmap, samples per second and spectrum\n"
    "  check     tests latency objectives (--slo) over the window, or in each\n"
    "            interval: one line per objective and counter, held or breached\n"
    "\n"
    "Options:\n"
    "  --counter GLOB   only counters whose (shown) name matches GLOB; repeatable\n"
    "  --from TIME      only intervals that end after TIME\n"
    "  --to TIME        only intervals that end at or before TIME\n"
    "                   TIME: Unix seconds, YYYY-MM-DDTHH:MM[:SS][Z] (UTC), or -N\n"
    "                   with s, m, h or d: that long before the data's last interval\n"
    "                   (N, and Unix seconds, digits with decimals or none: -1.5h)\n"
    "  --by-host        summary: one row per counter and host\n"
    "  --slo 'GLOB:STAT OP VALUE'  check, html: an objective, repeatable; STAT p<N>\n"
    "                   (p99, p99.9), mean or max; OP < or <=; VALUE a number\n"
    "                   with ns, us, ms, s, m or h: 'disk.*:p99 < 5ms'\n"
    "  --each-interval  check, html: every interval must hold, not only the window\n"
    "  --percentiles LIST  summary, csv, plot, compare, html: the percentiles, e.g.\n"
    "                   50,90,99,99.9,99.99 (default 50,90,99,99.9; at most 10)\n"
    "  --json           summary, csv, check, compare: JSON instead of a table or CSV\n"
    "  -o, --output FILE  write to FILE (replaced whole; a character device such as\n"
    "                   /dev/null written to, a FIFO or a directory refused) instead\n"
    "                   of standard output; required for plot (.png or .svg)\n"
    "  --heatmap        plot: a latency heatmap panel under each counter's\n"
    "                   percentiles (time, latency, colour by samples)\n"
    "  --size WxH       plot: the image size in pixels (default 1000 wide, 280 per\n"
    "                   panel high)\n"
    "  -h, --help       show this help\n"
    "\n"
    "Ordinary log files are read for their \"Interval Stats\" records: csv and plot\n"
    "show those intervals, but a window cannot be merged exactly from them.\n"
    "\n"
    "Names are shown escaped as in the log records; bytes that are not UTF-8, and\n"
    "those of C1 controls and of invisible or bidirectional format characters, as\n"
    "\\xHH; CSV cells that start like a formula (= + - @) get a leading '.\n"
    "Inputs must be regular files; lines over 1 MiB, and torn lines of a histogram\n"
    "log (a write cut by a kill or a full disk), are skipped with a warning.\n"
    "\n"
    "Exit status: 0 on success (check: every objective held), 3 when check finds\n"
    "an objective breached, 1 on bad input (an objective matching no counter\n"
    "too) or a failed write, 2 on a bad command line or a malformed objective.\n";

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Messages quote command-line text in the form names are shown in, so that
// no byte of an argument reaches the terminal as a control character.
int Usage(const std::string& message) {
  std::fprintf(stderr, "zrperf-report: %s\nTry 'zrperf-report --help' for more information.\n",
               message.c_str());
  return 2;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "zrperf-report: %s\n", message.c_str());
  return 1;
}

// Reads `paths` into `data`, its warnings to standard error.
bool Read(const std::vector<std::string>& paths, zrreport::Dataset* data, std::string* error) {
  if (!zrreport::ReadInputs(paths, data, error)) return false;
  for (const std::string& warning : data->warnings) {
    std::fprintf(stderr, "zrperf-report: warning: %s\n", warning.c_str());
  }
  return true;
}

// A command on the data of its inputs: its output text (empty when it wrote
// its own file), false with `error` set on a fault; `held` false when check
// found an objective breached.
using Command = bool (*)(const zrreport::Dataset& data, const zrreport::Invocation& in,
                         std::string* text, bool* held, std::string* error);

bool SummaryCommand(const zrreport::Dataset& data, const zrreport::Invocation& in,
                    std::string* text, bool*, std::string* error) {
  return zrreport::Summary(data, in.options, text, error);
}

bool CsvCommand(const zrreport::Dataset& data, const zrreport::Invocation& in, std::string* text,
                bool*, std::string* error) {
  return zrreport::Csv(data, in.options, text, error);
}

bool PlotCommand(const zrreport::Dataset& data, const zrreport::Invocation& in, std::string*, bool*,
                 std::string* error) {
  return zrreport::Plot(data, in.options, in.output, error);
}

bool CheckCommand(const zrreport::Dataset& data, const zrreport::Invocation& in, std::string* text,
                  bool* held, std::string* error) {
  return zrreport::Check(data, in.options, in.objectives, text, held, error);
}

// The page reports breached objectives; only check gates by its status.
bool HtmlCommand(const zrreport::Dataset& data, const zrreport::Invocation& in, std::string* text,
                 bool*, std::string* error) {
  bool held = true;
  return zrreport::Html(data, in.options, in.objectives, text, &held, error);
}

// The commands, in the order the messages list them; compare (null here)
// reads two runs.
const std::pair<const char*, Command> kCommands[] = {
    {"summary", SummaryCommand}, {"csv", CsvCommand},  {"plot", PlotCommand},
    {"check", CheckCommand},     {"compare", nullptr}, {"html", HtmlCommand}};

int RunCompare(const zrreport::Invocation& in) {
  std::string error;
  zrreport::Dataset oldRun, newRun;
  if (!Read({in.inputs[0]}, &oldRun, &error) || !Read({in.inputs[1]}, &newRun, &error)) {
    return Fail(error);
  }
  const bool picture = EndsWith(in.output, ".png") || EndsWith(in.output, ".svg");
  std::string text;
  if (!zrreport::Compare(oldRun, newRun, in.options, picture ? in.output : "", &text, &error)) {
    return Fail(error);
  }
  if (!picture && !zrreport::WriteOutput(in.output, text, &error)) return Fail(error);
  return 0;
}

int Run(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  std::vector<std::string> names;
  for (const auto& command : kCommands) names.emplace_back(command.first);
  zrreport::Invocation in;
  std::string error;
  if (!zrreport::ParseCommandLine(argc, argv, names, &in, &error)) return Usage(error);
  if (in.command == "compare") return RunCompare(in);
  Command command = nullptr;
  for (const auto& entry : kCommands) {
    if (in.command == entry.first) command = entry.second;
  }
  zrreport::Dataset data;
  if (!Read(in.inputs, &data, &error)) return Fail(error);
  std::string text;
  bool held = true;
  if (!command(data, in, &text, &held, &error)) return Fail(error);
  if (in.command != "plot" && !zrreport::WriteOutput(in.output, text, &error)) return Fail(error);
  // After the output: a fault stays the one line on standard error.
  if (data.anyRecords && in.command != "summary") {
    std::fprintf(stderr,
                 "zrperf-report: note: \"Interval Stats\" records hold per-interval figures "
                 "only; windows cannot be merged exactly from them\n");
  }
  return held ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    return Fail("out of memory");
  } catch (const std::exception& e) {
    return Fail(std::string("unexpected failure: ") + zrreport::ShownName(e.what()));
  } catch (...) {
    return Fail("unexpected failure");
  }
}
