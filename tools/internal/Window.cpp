#include "Window.h"

#include <fnmatch.h>

#include <algorithm>
#include <unordered_map>

#include "ReportText.h"

namespace zrreport {

namespace {

// The bounds of a window.
struct Bounds {
  double from = -INFINITY;
  double to = INFINITY;
};

template <typename Names>
std::string FirstNames(const Names& names) {
  std::string known;
  std::size_t shown = 0;
  for (const std::string& name : names) {
    if (shown++ == 8) return known + ", ...";
    known += (known.empty() ? "" : ", ") + name;
  }
  return known;
}

}  // namespace

std::string Known(const std::set<std::string>& names) {
  return FirstNames(names);
}

std::string Known(const std::vector<std::string>& names) {
  return FirstNames(names);
}

std::string LiteralGlob(const std::string& name) {
  std::string glob;
  for (const char c : name) {
    if (c == '*' || c == '?' || c == '[' || c == '\\') glob += '\\';
    glob += c;
  }
  return glob;
}

bool Select(const Dataset& data, const ReportOptions& options, Selection* out, std::string* error,
            const std::set<std::string>* known) {
  if (data.intervals.empty()) {
    *error = "the input holds no interval";
    return false;
  }
  const double dataEnd = data.intervals.back().end;
  Bounds window;
  if (!options.from.empty() && !ParseTime(options.from, dataEnd, &window.from, error)) return false;
  if (!options.to.empty() && !ParseTime(options.to, dataEnd, &window.to, error)) return false;
  if (window.from >= window.to) {
    *error = "--from must be earlier than --to";
    return false;
  }
  // Each distinct name is shown (and matched) once, not once per interval.
  std::unordered_map<std::string, std::pair<std::string, bool>> shown;  // raw: shown, matches
  for (const Interval& i : data.intervals) {
    if (shown.count(i.name) != 0) continue;
    std::string name = ShownName(i.name);
    bool match = options.counters.empty();
    for (const std::string& p : options.counters) {
      match = match || fnmatch(p.c_str(), name.c_str(), 0) == 0;
    }
    shown.emplace(i.name, std::make_pair(std::move(name), match));
  }
  std::set<std::string> all;
  if (known == nullptr) {
    for (const auto& entry : shown) all.insert(entry.second.first);
    known = &all;
  }
  for (const std::string& pattern : options.counters) {
    bool any = false;
    for (const std::string& name : *known) {
      any = any || fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
    }
    if (!any) {
      *error = "no counter matches '" + ShownName(pattern) + "' (counters: " + Known(*known) + ")";
      return false;
    }
  }
  std::set<std::string> names;
  for (const Interval& i : data.intervals) {
    if (!(i.end > window.from && i.end <= window.to)) continue;
    const std::pair<std::string, bool>& name = shown.find(i.name)->second;
    if (!name.second) continue;
    if (out->intervals.empty() || i.end - i.seconds < out->first) out->first = i.end - i.seconds;
    if (out->intervals.empty() || i.end > out->last) out->last = i.end;
    out->intervals.push_back(&i);
    if (names.empty() || *names.rbegin() != name.first) names.insert(name.first);
  }
  if (out->intervals.empty()) {
    *error = "no interval of the selected counters ends in the window (" +
             (options.from.empty() ? std::string("start") : IsoTime(window.from, true)) + " .. " +
             (options.to.empty() ? std::string("end") : IsoTime(window.to, true)) +
             "); the data covers " + IsoTime(data.intervals.front().end, true) + " .. " +
             IsoTime(dataEnd, true);
    return false;
  }
  out->names.assign(names.begin(), names.end());
  return true;
}

std::string SourceLabel(const Dataset& data, const Interval& i) {
  const Source& s = data.sources[i.source];
  return s.host.empty() ? "pid " + std::to_string(s.pid) : ShownName(s.host);
}

bool AllHistograms(const Selection& selection) {
  for (const Interval* i : selection.intervals) {
    if (!i->hasHistogram) return false;
  }
  return true;
}

extern const char kNoMerge[] =
    "windows cannot be merged exactly from \"Interval Stats\" records (per-interval figures, no "
    "histogram): use 'csv' or 'plot' for their intervals, or write a histogram log "
    "(PerfCntLogger::SetHistogramLog)";

bool MergeWindow(const Dataset& data, const ReportOptions& options, const Selection& selection,
                 MergedRows* rows, std::string* error) {
  for (const Interval* i : selection.intervals) {
    if (!i->hasHistogram) {
      *error = kNoMerge;
      return false;
    }
    const std::string host = SourceLabel(data, *i);
    Merged& m = (*rows)[{ShownName(i->name), options.byHost ? host : std::string()}];
    m.snapshot.Merge(i->Snapshot());
    m.first = std::min(m.first, i->end - i->seconds);
    m.last = std::max(m.last, i->end);
    m.hosts.insert(host);
    ++m.intervals;
  }
  return true;
}

}  // namespace zrreport
