#include "Html.h"

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>
#include <utility>

#include <zrperf/counters/internal/DurationText.h>

#include "Check.h"
#include "Gnuplot.h"
#include "Plot.h"
#include "ReportText.h"
#include "Table.h"
#include "Window.h"

namespace zrreport {

namespace {

const char kHtmlStyle[] =
    "body{font-family:sans-serif;margin:1.5em;color:#222}"
    "table{border-collapse:collapse;margin:.5em 0 1.5em}"
    "th,td{padding:2px 10px;text-align:right;border-bottom:1px solid #ddd;white-space:nowrap}"
    "th:first-child,td:first-child{text-align:left}th{background:#f2f2f2}"
    ".held{color:#1a7f37}.breached{color:#c62828;font-weight:bold}"
    "section{margin-top:2em}svg{max-width:100%;height:auto}";

// Items of a set, each escaped, comma separated.
std::string List(const std::set<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + HtmlText(item);
  return text;
}

// The page's head and its opening paragraph: the window, its hosts and files.
std::string Opening(const Dataset& data, const Selection& selection, const MergedRows& rows) {
  std::set<std::string> hosts, files;
  for (const auto& row : rows) hosts.insert(row.second.hosts.begin(), row.second.hosts.end());
  for (const Interval* i : selection.intervals) {
    files.insert(ShownName(data.sources[i->source].file));
  }
  const std::string span = IsoTime(selection.first, true) + " .. " + IsoTime(selection.last, true);
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
         "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
         "style-src 'unsafe-inline'\">\n<title>zrperf report " +
         span + "</title>\n<style>" + kHtmlStyle +
         "</style></head>\n<body>\n<h1>zrperf report</h1>\n<p>Window " + WindowText(selection) +
         " from " + List(hosts) + ".<br>Files: " + List(files) + ".</p>\n";
}

// The objectives' section: the count held or breached, a row per result.
std::string Objectives(const std::vector<Objective>& objectives, const CheckResults& results,
                       bool eachInterval, bool* held) {
  std::size_t breached = 0;
  for (const auto& r : results) breached += r.second.held ? 0 : 1;
  *held = breached == 0;
  std::string page = "<h2>Objectives</h2>\n<p class=\"" + std::string(*held ? "held" : "breached") +
                     "\">" + std::to_string(*held ? results.size() : breached) + " of " +
                     std::to_string(results.size()) + (*held ? " held" : " breached") +
                     (eachInterval ? ", each interval checked" : "") +
                     "</p>\n<table id=\"objectives\">\n<tr><th>counter</th><th>objective</th>"
                     "<th>result</th><th>measured</th>" +
                     (eachInterval ? "<th>intervals breached</th>" : "") + "</tr>\n";
  for (const auto& entry : results) {
    const CheckResult& r = entry.second;
    page += "<tr><td>" + HtmlText(entry.first.second) + "</td><td>" +
            HtmlText(objectives[entry.first.first].Tail()) + "</td><td class=\"" +
            (r.held ? "held\">held" : "breached\">BREACHED") + "</td><td>" +
            zrfw::DurationText(r.value) + "</td>" +
            (eachInterval ? "<td>" + std::to_string(r.breached) + " of " +
                                std::to_string(r.intervals) + "</td>"
                          : "") +
            "</tr>\n";
  }
  return page + "</table>\n";
}

// The summary table; the first kHtmlMaxPictures names link to their pictures.
std::string SummaryTable(const Selection& selection, const MergedRows& rows,
                         const std::vector<Stat>& percentiles) {
  std::string page =
      "<h2>Summary</h2>\n<table id=\"summary\">\n<tr><th>counter</th><th>samples</th>"
      "<th>rate/s</th><th>mean</th>";
  for (const Stat& stat : percentiles) page += "<th>" + stat.label + "</th>";
  page += "<th>max</th></tr>\n";
  std::size_t index = 0;
  for (const auto& row : rows) {
    const Merged& m = row.second;
    const Figures f = Of(m.snapshot, m.last - m.first, percentiles);
    const std::string name = HtmlText(row.first.first);
    page +=
        "<tr><td>" +
        (index < kHtmlMaxPictures ? "<a href=\"#c" + std::to_string(index) + "\">" + name + "</a>"
                                  : name) +
        "</td><td>" + std::to_string(f.samples) + "</td><td>" + Format("%.2f", f.Rate()) +
        "</td><td>" + zrfw::DurationText(f.mean) + "</td>";
    for (const std::uint64_t value : f.p) page += "<td>" + zrfw::DurationText(value) + "</td>";
    page += "<td>" + zrfw::DurationText(f.max) + "</td></tr>\n";
    ++index;
  }
  page += "</table>\n";
  if (selection.names.size() > kHtmlMaxPictures) {
    page += "<p>Pictures of the first " + std::to_string(kHtmlMaxPictures) + " of " +
            std::to_string(selection.names.size()) +
            " counters; choose others with --counter GLOB.</p>\n";
  }
  return page;
}

// One section per counter (the first kHtmlMaxPictures): gnuplot's SVG from
// its <svg> element on, names in it as gnuplot escapes XML text. The
// pictures are drawn on as many threads as there are processors (each
// builds its own script from the shared, unchanging data and runs its own
// gnuplot).
bool Pictures(const Dataset& data, const ReportOptions& options, const Selection& selection,
              std::string* page, std::string* error) {
  const std::size_t pictures = std::min(selection.names.size(), kHtmlMaxPictures);
  std::vector<std::string> svgs(pictures), errors(pictures);
  std::atomic<std::size_t> next{0};
  const auto draw = [&] {
    for (std::size_t c = next++; c < pictures; c = next++) {
      ReportOptions one = options;
      one.counters = {LiteralGlob(selection.names[c])};
      one.heatmap = true;
      one.width = options.width > 0 ? options.width : 1000;
      std::string script;
      if (PlotScript(data, one, ".svg", &script, &errors[c]) &&
          RunGnuplotToText(script, &svgs[c], &errors[c]) &&
          svgs[c].find("<svg") == std::string::npos) {
        errors[c] = "gnuplot wrote no SVG";
      }
    }
  };
  std::vector<std::thread> threads;
  const std::size_t workers =
      std::min<std::size_t>(pictures, std::max(1u, std::thread::hardware_concurrency()));
  for (std::size_t t = 1; t < workers; ++t) threads.emplace_back(draw);
  draw();
  for (std::thread& t : threads) t.join();
  for (std::size_t c = 0; c < pictures; ++c) {
    if (!errors[c].empty()) {
      *error = errors[c];
      return false;
    }
    *page += "<section id=\"c" + std::to_string(c) + "\">\n<h2>" + HtmlText(selection.names[c]) +
             "</h2>\n" + svgs[c].substr(svgs[c].find("<svg")) + "</section>\n";
  }
  return true;
}

}  // namespace

bool Html(const Dataset& data, const ReportOptions& options,
          const std::vector<Objective>& objectives, std::string* out, bool* held,
          std::string* error) {
  ReportOptions window = options;
  window.byHost = false;
  Selection selection;
  MergedRows rows;
  if (!Select(data, window, &selection, error) ||
      !MergeWindow(data, window, selection, &rows, error)) {
    return false;
  }
  CheckResults results;
  Selection checked;
  if (!objectives.empty() && !Evaluate(data, window, objectives, &checked, &results, error)) {
    return false;
  }
  std::string page = Opening(data, selection, rows);
  *held = true;
  if (!objectives.empty()) page += Objectives(objectives, results, options.eachInterval, held);
  page += SummaryTable(selection, rows, Percentiles(options));
  if (!Pictures(data, options, selection, &page, error)) return false;
  *out = page + "</body></html>\n";
  return true;
}

}  // namespace zrreport
