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
#include <vector>

#include <zrperf/tools/internal/OutputFile.h>
#include <zrperf/tools/internal/ReportCommands.h>
#include <zrperf/tools/internal/ReportInput.h>
#include <zrperf/tools/internal/ReportText.h>
#include <zrperf/util/internal/CommandLine.h>

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

int Run(int argc, char** argv) {
  using zrreport::ShownName;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  zrperf::CommandLine args(argc, argv);
  const char kCommands[] = "summary, csv, plot, check, compare or html";
  if (args.Done()) return Usage(std::string("a command is needed: ") + kCommands);
  const std::string command = args.Next().text;
  if (command != "summary" && command != "csv" && command != "plot" && command != "check" &&
      command != "compare" && command != "html") {
    return Usage("unknown command '" + ShownName(command) + "' (" + kCommands + ")");
  }

  zrreport::ReportOptions options;
  std::vector<zrreport::Objective> objectives;
  std::string output;
  std::vector<std::string> inputs;
  std::string error;
  while (!args.Done()) {
    zrperf::CommandLineArg arg = args.Next();
    const std::string& name = arg.name;
    const bool takesValue = name == "--counter" || name == "--from" || name == "--to" ||
                            name == "-o" || name == "--output" || name == "--size" ||
                            name == "--slo" || name == "--percentiles";
    if (takesValue && !args.TakeValue(&arg, &error)) return Usage(ShownName(error));
    const std::string& value = arg.value;
    if (name == "--counter") {
      options.counters.push_back(value);
    } else if (name == "--from") {
      options.from = value;
    } else if (name == "--to") {
      options.to = value;
    } else if (name == "-o" || name == "--output") {
      if (value.empty()) return Usage(name + " needs a file name");
      output = value;
    } else if (name == "--size") {
      int w = 0, h = 0;
      char extra = 0;
      if (std::sscanf(value.c_str(), "%dx%d%c", &w, &h, &extra) != 2 || w < 100 || h < 100 ||
          w > 10000 || h > 10000) {
        return Usage("--size needs WIDTHxHEIGHT in pixels (100 to 10000), not '" +
                     ShownName(value) + "'");
      }
      options.width = w;
      options.height = h;
    } else if (name == "--slo") {
      objectives.emplace_back();
      if (!zrreport::ParseObjective(value, &objectives.back(), &error)) return Usage(error);
    } else if (name == "--percentiles") {
      if (!zrreport::ParsePercentiles(value, &options.percentiles, &error)) return Usage(error);
    } else if (name == "--each-interval" && !arg.inlineValue) {
      options.eachInterval = true;
    } else if (name == "--json" && !arg.inlineValue) {
      options.json = true;
    } else if (name == "--heatmap" && !arg.inlineValue) {
      options.heatmap = true;
    } else if (name == "--by-host" && !arg.inlineValue) {
      options.byHost = true;
    } else if (arg.text.size() > 1 && arg.text[0] == '-') {
      return Usage("unknown option '" + ShownName(arg.text) + "'");
    } else {
      inputs.push_back(arg.text);
    }
  }
  if (inputs.empty()) return Usage("no input file");
  if (command == "compare" && inputs.size() != 2) return Usage("compare takes two logs: OLD NEW");
  if (command == "plot" && !EndsWith(output, ".png") && !EndsWith(output, ".svg")) {
    return Usage("plot needs -o FILE.png or -o FILE.svg");
  }
  if (command == "plot" && options.json) return Usage("--json is for summary, csv, check, compare");
  if (command == "compare" && options.json &&
      (EndsWith(output, ".png") || EndsWith(output, ".svg"))) {
    return Usage("--json is for the table of compare, not its picture");
  }
  if (command != "summary" && options.byHost) return Usage("--by-host is for summary");
  if (command != "plot" && options.heatmap) return Usage("--heatmap is for plot");
  const bool checks = command == "check" || command == "html";
  if (command == "check" && objectives.empty()) return Usage("check needs an objective: --slo");
  if (!checks && !objectives.empty()) return Usage("--slo is for check and html");
  if (!checks && options.eachInterval) return Usage("--each-interval is for check and html");
  if (command == "html" && !EndsWith(output, ".html")) return Usage("html needs -o FILE.html");
  if (command == "html" && options.json) return Usage("--json is not for html");
  if (command == "check" && !options.percentiles.empty()) {
    return Usage("--percentiles is for summary, csv and plot (check takes any p<N> in --slo)");
  }

  const auto read = [&](const std::vector<std::string>& paths, zrreport::Dataset* data) {
    if (!zrreport::ReadInputs(paths, data, &error)) return false;
    for (const std::string& warning : data->warnings) {
      std::fprintf(stderr, "zrperf-report: warning: %s\n", warning.c_str());
    }
    return true;
  };
  if (command == "compare") {
    zrreport::Dataset oldRun, newRun;
    if (!read({inputs[0]}, &oldRun) || !read({inputs[1]}, &newRun)) return Fail(error);
    const bool picture = EndsWith(output, ".png") || EndsWith(output, ".svg");
    std::string text;
    if (!zrreport::Compare(oldRun, newRun, options, picture ? output : "", &text, &error)) {
      return Fail(error);
    }
    if (!picture && !zrreport::WriteOutput(output, text, &error)) return Fail(error);
    return 0;
  }
  zrreport::Dataset data;
  if (!read(inputs, &data)) return Fail(error);
  if (data.anyRecords && command != "summary") {
    std::fprintf(stderr,
                 "zrperf-report: note: \"Interval Stats\" records hold per-interval figures "
                 "only; windows cannot be merged exactly from them\n");
  }

  if (command == "plot") {
    if (!zrreport::Plot(data, options, output, &error)) return Fail(error);
    return 0;
  }
  std::string text;
  if (command == "html") {
    bool held = true;
    if (!zrreport::Html(data, options, objectives, &text, &held, &error)) return Fail(error);
    // The page reports breached objectives; only check gates by its status.
    if (!zrreport::WriteOutput(output, text, &error)) return Fail(error);
    return 0;
  }
  if (command == "check") {
    bool held = false;
    if (!zrreport::Check(data, options, objectives, &text, &held, &error)) return Fail(error);
    if (!zrreport::WriteOutput(output, text, &error)) return Fail(error);
    return held ? 0 : 3;
  }
  const bool ok = command == "summary" ? zrreport::Summary(data, options, &text, &error)
                                       : zrreport::Csv(data, options, &text, &error);
  if (!ok) return Fail(error);
  if (!zrreport::WriteOutput(output, text, &error)) return Fail(error);
  return 0;
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
