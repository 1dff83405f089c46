#include "Compare.h"

#include <cstdio>
#include <set>
#include <utility>
#include <vector>

#include <zrperf/counters/internal/DurationText.h>

#include "Gnuplot.h"
#include "OutputFile.h"
#include "Plot.h"
#include "ReportText.h"
#include "Table.h"
#include "Window.h"

namespace zrreport {

namespace {

const char* const kRun[2] = {"old", "new"};

// The most counters the overlay draws.
constexpr std::size_t kMaxCounters = 8;

// The two runs' windows, merged per counter, and which counters each has.
struct Runs {
  Selection selections[2];
  MergedRows rows[2];
  std::vector<std::string> both, only[2];
  const Merged& Of(int r, const std::string& name) { return rows[r][{name, ""}]; }
};

// NEW/OLD as a ratio's text, "-" when OLD is 0.
std::string Ratio(double newValue, double oldValue, bool json) {
  if (!(oldValue > 0)) return json ? "null" : "-";
  return Format(json ? "%.4f" : "%.3fx", newValue / oldValue);
}

// The NEW/OLD ratios of two rows' figures, by name: samples, rate, mean,
// the percentiles ("p99_9"), max.
std::vector<std::pair<std::string, std::string>> Ratios(const Figures f[2],
                                                        const std::vector<Stat>& percentiles,
                                                        bool json) {
  const auto ratio = [&](std::uint64_t n, std::uint64_t o) {
    return Ratio(static_cast<double>(n), static_cast<double>(o), json);
  };
  std::vector<std::pair<std::string, std::string>> out = {
      {"samples", ratio(f[1].samples, f[0].samples)},
      {"rate", Ratio(f[1].Rate(), f[0].Rate(), json)},
      {"mean", ratio(f[1].mean, f[0].mean)}};
  for (std::size_t k = 0; k < percentiles.size(); ++k) {
    const std::string key = Key(percentiles[k]);
    out.emplace_back(key.substr(0, key.size() - 3), ratio(f[1].p[k], f[0].p[k]));
  }
  out.emplace_back("max", ratio(f[1].max, f[0].max));
  return out;
}

// Selects and merges both runs' windows and sorts their counters.
bool Gather(const Dataset& oldRun, const Dataset& newRun, const ReportOptions& options, Runs* runs,
            std::string* error) {
  std::set<std::string> known;
  for (const Dataset* run : {&oldRun, &newRun}) {
    for (const Interval& i : run->intervals) known.insert(ShownName(i.name));
  }
  ReportOptions merged = options;
  merged.byHost = false;
  const Dataset* data[2] = {&oldRun, &newRun};
  for (int r = 0; r < 2; ++r) {
    if (!Select(*data[r], merged, &runs->selections[r], error, &known) ||
        !MergeWindow(*data[r], merged, runs->selections[r], &runs->rows[r], error)) {
      *error = std::string(kRun[r]) + " run: " + *error;
      return false;
    }
  }
  for (int r = 0; r < 2; ++r) {
    for (const auto& row : runs->rows[r]) {
      const std::string& name = row.first.first;
      if (runs->rows[1 - r].count({name, ""}) == 0) {
        runs->only[r].push_back(name);
      } else if (r == 0) {
        runs->both.push_back(name);
      }
    }
  }
  return true;
}

// The overlay of the spectra of the counters in both runs, drawn into `path`.
bool Overlay(Runs& runs, const ReportOptions& options, const std::string& path,
             std::string* error) {
  const std::vector<std::string>& both = runs.both;
  if (both.empty() || both.size() > kMaxCounters) {
    *error = std::to_string(both.size()) + " counters in both runs; the overlay takes 1 to " +
             std::to_string(kMaxCounters) + " (choose them with --counter GLOB)";
    return false;
  }
  // The names and spectra go in as data (Gnuplot.h); each counter has one
  // colour, the old run dashed and the new one solid.
  std::string s;
  AppendDataBlock(s, "$NAMES", both);
  std::string plot;
  for (std::size_t c = 0; c < both.size(); ++c) {
    const std::string index = std::to_string(c + 1);
    for (int r = 0; r < 2; ++r) {
      const std::string block = std::string(r == 0 ? "$O" : "$N") + std::to_string(c);
      AppendDataBlock(s, block, SpectrumPoints(runs.Of(r, both[c]).snapshot));
      plot += plot.empty() ? "plot " : ", ";
      plot += block;
      plot += " using 1:2 with steps lw 1.5 lc ";
      plot += index;
      plot += r == 0 ? " dt 2" : " dt 1";
      plot += " title ($NAMES[";
      plot += index;
      plot += "].' ";
      plot += kRun[r];
      plot += "')";
    }
  }
  s += Terminal(path, options.width > 0 ? options.width : 1000,
                options.height > 0 ? options.height : 500);
  s += "set grid\nset key outside right top\nset lmargin 12\nset rmargin 30\n";
  s += kSpectrumAxes;
  s += "set title 'Latency by percentile: the old run dashed (from " +
       IsoTime(runs.selections[0].first, false) + "), the new run solid (from " +
       IsoTime(runs.selections[1].first, false) + ")'\n";
  s += plot + "\n";
  std::string picture;
  return RunGnuplotToText(s, &picture, error) && WriteOutput(path, picture, error);
}

// The JSON document of the comparison.
std::string Json(Runs& runs, const std::vector<Stat>& percentiles) {
  std::string text = "{";
  for (int r = 0; r < 2; ++r) {
    text += std::string(r == 0 ? "" : ", ") + "\"" + kRun[r] + "\": {" +
            WindowJson(runs.selections[r]) + "}";
  }
  text += ", \"counters\": [";
  bool first = true;
  for (const std::string& name : runs.both) {
    Figures f[2];
    for (int r = 0; r < 2; ++r) {
      const Merged& m = runs.Of(r, name);
      f[r] = zrreport::Of(m.snapshot, m.last - m.first, percentiles);
    }
    text += first ? "\n  " : ",\n  ";
    text += "{\"counter\": " + JsonString(name) + ", \"old\": {" + JsonFigures(f[0], percentiles) +
            "}, \"new\": {" + JsonFigures(f[1], percentiles) + "}, \"ratio\": {";
    bool firstRatio = true;
    for (const auto& ratio : Ratios(f, percentiles, true)) {
      text += std::string(firstRatio ? "" : ", ") + "\"" + ratio.first + "\": " + ratio.second;
      firstRatio = false;
    }
    text += "}}";
    first = false;
  }
  for (int r = 0; r < 2; ++r) {
    text += std::string(r == 0 ? "\n], " : ", ") + "\"only_" + kRun[r] + "\": [";
    for (std::size_t k = 0; k < runs.only[r].size(); ++k) {
      text += (k == 0 ? "" : ", ") + JsonString(runs.only[r][k]);
    }
    text += "]";
  }
  return text + "}\n";
}

// A counter's three rows of the table: old, new and new/old.
std::string TextRows(const std::string& name, const Figures f[2],
                     const std::vector<Stat>& percentiles) {
  std::string text;
  for (int r = 0; r < 3; ++r) {
    std::string label = r == 0 ? name : "";
    if (label.size() < 32) label.append(32 - label.size(), ' ');
    char run[100];
    if (r < 2) {
      std::snprintf(run, sizeof(run), " %-8s %12llu %10.2f", kRun[r],
                    static_cast<unsigned long long>(f[r].samples), f[r].Rate());
      text += label + run + Column(zrfw::DurationText(f[r].mean));
      for (const std::uint64_t value : f[r].p) text += Column(zrfw::DurationText(value));
      text += Column(zrfw::DurationText(f[r].max)) + "\n";
    } else {
      const auto values = Ratios(f, percentiles, false);
      std::snprintf(run, sizeof(run), " %-8s %12s %10s", "new/old", values[0].second.c_str(),
                    values[1].second.c_str());
      text += label + run;
      for (std::size_t k = 2; k < values.size(); ++k) text += Column(values[k].second);
      text += "\n";
    }
  }
  return text;
}

// The text table of the comparison.
std::string Text(Runs& runs, const std::vector<Stat>& percentiles) {
  std::string text = "old: window " + WindowText(runs.selections[0]) + "\nnew: window " +
                     WindowText(runs.selections[1]) + "\n";
  char head[100];
  std::snprintf(head, sizeof(head), "%-32s %-8s %12s %10s", "counter", "run", "samples", "rate/s");
  text += HeadingRow(head, percentiles);
  for (const std::string& name : runs.both) {
    Figures f[2];
    for (int r = 0; r < 2; ++r) {
      const Merged& m = runs.Of(r, name);
      f[r] = zrreport::Of(m.snapshot, m.last - m.first, percentiles);
    }
    text += TextRows(name, f, percentiles);
  }
  for (int r = 0; r < 2; ++r) {
    for (const std::string& name : runs.only[r]) {
      text += std::string("only in the ") + kRun[r] + " run: " + name + "\n";
    }
  }
  return text;
}

}  // namespace

bool Compare(const Dataset& oldRun, const Dataset& newRun, const ReportOptions& options,
             const std::string& plotPath, std::string* out, std::string* error) {
  Runs runs;
  if (!Gather(oldRun, newRun, options, &runs, error)) return false;
  if (!plotPath.empty()) return Overlay(runs, options, plotPath, error);
  const std::vector<Stat> percentiles = Percentiles(options);
  *out = options.json ? Json(runs, percentiles) : Text(runs, percentiles);
  return true;
}

}  // namespace zrreport
