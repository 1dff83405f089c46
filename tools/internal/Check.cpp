#include "Check.h"

#include <fnmatch.h>

#include <zrperf/counters/internal/DurationText.h>

#include "ReportText.h"
#include "Table.h"

namespace zrreport {

namespace {

std::uint64_t StatUnits(const CTimeCounterSnapshot& s, const Stat& stat) {
  switch (stat.kind) {
    case Stat::kMean:
      return Units(s.GetMean());
    case Stat::kMax:
      return Units(s.GetMax());
    case Stat::kPercentile:
      break;
  }
  return Units(s.GetPercentile(stat.percent / 100.0));
}

bool Holds(const Objective& o, std::uint64_t units) {
  const double ns = static_cast<double>(units) * 100.0;
  return o.orEqual ? ns <= o.limitNs : ns < o.limitNs;
}

// Which objectives (their indexes) apply to each counter.
using Applies = std::map<std::string, std::vector<std::size_t>>;

// Each objective on every interval of its counters: the worst interval's value.
void EachInterval(const std::vector<Objective>& objectives, const Selection& selection,
                  const Applies& applies, CheckResults* results) {
  for (const Interval* i : selection.intervals) {
    const std::string name = ShownName(i->name);
    const auto it = applies.find(name);
    if (it == applies.end()) continue;
    const CTimeCounterSnapshot snapshot = i->Snapshot();
    for (const std::size_t k : it->second) {
      CheckResult& r = (*results)[{k, name}];
      const std::uint64_t value = StatUnits(snapshot, objectives[k].stat);
      const bool holds = Holds(objectives[k], value);
      if (r.intervals++ == 0 || value > r.value) r.value = value, r.worstEnd = i->end;
      r.samples += snapshot.GetCount();
      r.breached += holds ? 0 : 1;
      r.held = r.held && holds;
    }
  }
}

// Each objective on its counters' windows, merged exactly.
bool OverTheWindow(const Dataset& data, const ReportOptions& options,
                   const std::vector<Objective>& objectives, const Selection& selection,
                   const Applies& applies, CheckResults* results, std::string* error) {
  ReportOptions merged = options;
  merged.byHost = false;
  MergedRows rows;
  if (!MergeWindow(data, merged, selection, &rows, error)) return false;
  for (const auto& row : rows) {
    const auto it = applies.find(row.first.first);
    if (it == applies.end()) continue;
    for (const std::size_t k : it->second) {
      CheckResult& r = (*results)[{k, row.first.first}];
      r.value = StatUnits(row.second.snapshot, objectives[k].stat);
      r.samples = row.second.snapshot.GetCount();
      r.intervals = row.second.intervals;
      r.held = Holds(objectives[k], r.value);
    }
  }
  return true;
}

// One result as a JSON object.
std::string JsonResult(const Objective& o, const std::string& name, const CheckResult& r,
                       bool eachInterval) {
  std::string text =
      "{\"objective\": " + JsonString(o.Shown()) + ", \"counter\": " + JsonString(name) +
      ", \"stat\": " + JsonString(o.stat.label) +
      ", \"op\": " + JsonString(o.orEqual ? "<=" : "<") +
      ", \"limit_us\": " + JsonNumber(o.limitNs / 1000.0, 3) +
      ", \"held\": " + (r.held ? "true" : "false") + ", \"value_us\": " + Micros(r.value) +
      ", \"samples\": " + std::to_string(r.samples);
  if (eachInterval) {
    text += ", \"intervals\": " + std::to_string(r.intervals) +
            ", \"breached_intervals\": " + std::to_string(r.breached) +
            ", \"worst_end\": " + JsonString(IsoTime(r.worstEnd, true));
  }
  return text + "}";
}

// One result as a line of text.
std::string TextResult(const Objective& o, const std::string& name, const CheckResult& r,
                       bool eachInterval) {
  std::string line = r.held ? "held     " : "BREACHED ";
  line += name.size() < 32 ? name + std::string(32 - name.size(), ' ') : name;
  const std::string tail = o.Tail();
  line += " " + tail + std::string(tail.size() < 20 ? 20 - tail.size() : 0, ' ');
  line += " " + zrfw::DurationText(r.value);
  if (eachInterval) {
    line += " worst, breached in " + std::to_string(r.breached) + " of " +
            std::to_string(r.intervals) + " intervals (worst ending " + IsoTime(r.worstEnd, false) +
            ")";
  }
  return line + "\n";
}

}  // namespace

bool Evaluate(const Dataset& data, const ReportOptions& options,
              const std::vector<Objective>& objectives, Selection* selection, CheckResults* results,
              std::string* error) {
  if (!Select(data, options, selection, error)) return false;
  for (const Interval* i : selection->intervals) {
    if (!i->hasHistogram) {
      *error = kNoMerge;
      return false;
    }
  }
  // Which objectives apply to each counter; every objective to at least one.
  Applies applies;
  for (std::size_t k = 0; k < objectives.size(); ++k) {
    bool any = false;
    for (const std::string& name : selection->names) {
      if (fnmatch(objectives[k].glob.c_str(), name.c_str(), 0) != 0) continue;
      applies[name].push_back(k);
      any = true;
    }
    if (!any) {
      *error = "the objective '" + objectives[k].Shown() +
               "' matches no counter (counters: " + Known(selection->names) + ")";
      return false;
    }
  }
  if (options.eachInterval) {
    EachInterval(objectives, *selection, applies, results);
    return true;
  }
  return OverTheWindow(data, options, objectives, *selection, applies, results, error);
}

bool Check(const Dataset& data, const ReportOptions& options,
           const std::vector<Objective>& objectives, std::string* out, bool* held,
           std::string* error) {
  Selection selection;
  CheckResults results;
  if (!Evaluate(data, options, objectives, &selection, &results, error)) return false;
  std::size_t breached = 0;
  for (const auto& r : results) breached += r.second.held ? 0 : 1;
  *held = breached == 0;
  std::string text;
  if (options.json) {
    text = "{" + WindowJson(selection) +
           ", \"each_interval\": " + (options.eachInterval ? "true" : "false") +
           ", \"held\": " + (*held ? "true" : "false") + ", \"results\": [";
  } else {
    text = "window " + WindowText(selection) +
           (options.eachInterval ? ", each interval checked\n" : "\n");
  }
  bool first = true;
  for (const auto& entry : results) {
    const Objective& o = objectives[entry.first.first];
    if (options.json) {
      text += first ? "\n  " : ",\n  ";
      text += JsonResult(o, entry.first.second, entry.second, options.eachInterval);
    } else {
      text += TextResult(o, entry.first.second, entry.second, options.eachInterval);
    }
    first = false;
  }
  if (options.json) {
    text += "\n]}\n";
  } else {
    text += std::to_string(*held ? results.size() : breached) + " of " +
            std::to_string(results.size()) + (*held ? " held\n" : " breached\n");
  }
  *out = std::move(text);
  return true;
}

}  // namespace zrreport
