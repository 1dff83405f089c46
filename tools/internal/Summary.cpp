#include "Summary.h"

#include <cstdio>
#include <set>
#include <utility>

#include <zrperf/counters/internal/DurationText.h>

#include "ReportText.h"
#include "Table.h"
#include "Window.h"

namespace zrreport {

namespace {

// One row of the text table: the counter (with --by-host, "@host"), its
// samples and rate, then its durations.
std::string TextRow(const std::string& name, const std::string& host, bool byHost,
                    const Figures& f) {
  std::string label = name;
  if (byHost) label.append(" @").append(host);
  char figures[100];
  std::snprintf(figures, sizeof(figures), " %12llu %10.2f",
                static_cast<unsigned long long>(f.samples), f.Rate());
  if (label.size() < 32) label.append(32 - label.size(), ' ');
  std::string row = label + figures + Column(zrfw::DurationText(f.mean));
  for (const std::uint64_t value : f.p) row += Column(zrfw::DurationText(value));
  return row + Column(zrfw::DurationText(f.max)) + "\n";
}

}  // namespace

bool Summary(const Dataset& data, const ReportOptions& options, std::string* out,
             std::string* error) {
  Selection selection;
  if (!Select(data, options, &selection, error)) return false;
  MergedRows rows;
  if (!MergeWindow(data, options, selection, &rows, error)) return false;
  const std::vector<Stat> percentiles = Percentiles(options);

  std::set<std::string> hosts;
  for (const auto& row : rows) hosts.insert(row.second.hosts.begin(), row.second.hosts.end());
  std::string hostList;
  for (const std::string& h : hosts) hostList += (hostList.empty() ? "" : ", ") + h;

  std::string text;
  if (options.json) {
    text = "{" + WindowJson(selection) + ", \"counters\": [";
  } else {
    text = "window " + WindowText(selection) + " from " + hostList + "\n";
    char head[100];
    std::snprintf(head, sizeof(head), "%-32s %12s %10s", "counter", "samples", "rate/s");
    text += HeadingRow(head, percentiles);
  }
  bool firstRow = true;
  for (const auto& row : rows) {
    const Merged& m = row.second;
    const Figures f = Of(m.snapshot, m.last - m.first, percentiles);
    const std::string& name = row.first.first;
    const std::string& host = row.first.second;
    if (options.json) {
      text += firstRow ? "\n  " : ",\n  ";
      text += "{\"counter\": " + JsonString(name) +
              (options.byHost ? ", \"host\": " + JsonString(host) : "") + ", " +
              JsonFigures(f, percentiles) + "}";
    } else {
      text += TextRow(name, host, options.byHost, f);
    }
    firstRow = false;
  }
  if (options.json) text += "\n]}\n";
  *out = std::move(text);
  return true;
}

}  // namespace zrreport
