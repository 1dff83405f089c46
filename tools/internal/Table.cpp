#include "Table.h"

#include <algorithm>

#include "ReportText.h"

namespace zrreport {

std::uint64_t Units(CTimeInterval value) {
  return static_cast<std::uint64_t>(value.Get100ns());
}

Figures Of(const CTimeCounterSnapshot& s, double seconds, const std::vector<Stat>& percentiles) {
  Figures f;
  f.samples = s.GetCount();
  f.seconds = seconds;
  f.mean = Units(s.GetMean());
  for (const Stat& stat : percentiles) f.p.push_back(Units(s.GetPercentile(stat.percent / 100.0)));
  f.max = Units(s.GetMax());
  return f;
}

namespace {

// An "Interval Stats" record's figure for `percent`, or null when the record
// has none (it gives p50, p90, p99 and p99.9).
const std::uint64_t* RecordPercentile(const RecordFigures& r, double percent) {
  return percent == 50     ? &r.p50
         : percent == 90   ? &r.p90
         : percent == 99   ? &r.p99
         : percent == 99.9 ? &r.p999
                           : nullptr;
}

}  // namespace

bool RecordsHave(const std::vector<const Interval*>& intervals,
                 const std::vector<Stat>& percentiles, std::string* error) {
  for (const Interval* i : intervals) {
    if (i->hasHistogram) continue;
    for (const Stat& stat : percentiles) {
      if (RecordPercentile(i->record, stat.percent) != nullptr) continue;
      *error = "\"Interval Stats\" records give p50, p90, p99 and p99.9 only, not " + stat.label;
      return false;
    }
  }
  return true;
}

Figures Of(const Interval& interval, const std::vector<Stat>& percentiles) {
  if (interval.hasHistogram) return Of(interval.Snapshot(), interval.seconds, percentiles);
  Figures f;
  f.samples = interval.count;
  f.seconds = interval.seconds;
  f.mean = interval.record.mean;
  for (const Stat& stat : percentiles) {
    const std::uint64_t* value = RecordPercentile(interval.record, stat.percent);
    f.p.push_back(value != nullptr ? *value : 0);
  }
  f.max = interval.record.max;
  return f;
}

std::string Key(const Stat& stat) {
  std::string key = stat.label + "_us";
  std::replace(key.begin(), key.end(), '.', '_');
  return key;
}

std::string Micros(std::uint64_t units) {
  return std::to_string(units / 10) + "." + std::to_string(units % 10);
}

std::string JsonDurations(const Figures& f, const std::vector<Stat>& percentiles) {
  std::string text = "\"mean_us\": " + Micros(f.mean);
  for (std::size_t k = 0; k < percentiles.size(); ++k) {
    text += ", \"" + Key(percentiles[k]) + "\": " + Micros(f.p[k]);
  }
  return text + ", \"max_us\": " + Micros(f.max);
}

std::string JsonFigures(const Figures& f, const std::vector<Stat>& percentiles) {
  return "\"samples\": " + std::to_string(f.samples) +
         ", \"seconds\": " + JsonNumber(f.seconds, 3) + ", \"rate\": " + JsonNumber(f.Rate(), 3) +
         ", " + JsonDurations(f, percentiles);
}

std::string Column(const std::string& text) {
  return " " + (text.size() < 10 ? std::string(10 - text.size(), ' ') : "") + text;
}

std::string HeadingRow(const std::string& lead, const std::vector<Stat>& percentiles) {
  std::string row = lead + Column("mean");
  for (const Stat& stat : percentiles) row += Column(stat.label);
  return row + Column("max") + "\n";
}

std::string WindowText(const Selection& s) {
  return IsoTime(s.first, true) + " .. " + IsoTime(s.last, true) + " (" +
         Format("%.1f", s.last - s.first) + " s), " + std::to_string(s.intervals.size()) +
         " intervals";
}

std::string WindowJson(const Selection& s) {
  return "\"from\": " + JsonString(IsoTime(s.first, true)) +
         ", \"to\": " + JsonString(IsoTime(s.last, true)) +
         ", \"seconds\": " + JsonNumber(s.last - s.first, 3) +
         ", \"intervals\": " + std::to_string(s.intervals.size());
}

}  // namespace zrreport
