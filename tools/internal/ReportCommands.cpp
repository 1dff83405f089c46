#include "ReportCommands.h"

#include <fnmatch.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>

#include <zrperf/counters/internal/DurationText.h>

#include "Gnuplot.h"
#include "OutputFile.h"
#include "ReportText.h"

namespace zrreport {

namespace {

// ---- Figures ------------------------------------------------------------------

// The reported figures of one interval or window; durations in 100 ns units.
struct Figures {
  std::uint64_t samples = 0;
  double seconds = 0;
  std::uint64_t mean = 0, max = 0;
  std::vector<std::uint64_t> p;  // the chosen percentiles (Percentiles()), in order
  double Rate() const { return seconds > 0 ? static_cast<double>(samples) / seconds : 0.0; }
};

std::uint64_t Units(CTimeInterval value) {
  return static_cast<std::uint64_t>(value.Get100ns());
}

// The percentiles of the tables and plots: the options' list, or by default
// p50, p90, p99 and p99.9.
std::vector<Stat> Percentiles(const ReportOptions& options) {
  if (!options.percentiles.empty()) return options.percentiles;
  std::vector<Stat> out;
  std::string unused;
  ParsePercentiles("50,90,99,99.9", &out, &unused);
  return out;
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

// An "Interval Stats" record's figure for `percent`, or null when the record
// has none (it gives p50, p90, p99 and p99.9).
const std::uint64_t* RecordPercentile(const RecordFigures& r, double percent) {
  return percent == 50     ? &r.p50
         : percent == 90   ? &r.p90
         : percent == 99   ? &r.p99
         : percent == 99.9 ? &r.p999
                           : nullptr;
}

// False with `error` set when records are selected and lack a percentile.
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

// The JSON key or CSV column of a percentile: "p99_9_us".
std::string Key(const Stat& stat) {
  std::string key = stat.label + "_us";
  std::replace(key.begin(), key.end(), '.', '_');
  return key;
}

// ---- Text ---------------------------------------------------------------------

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

std::string Micros(std::uint64_t units) {
  return std::to_string(units / 10) + "." + std::to_string(units % 10);
}

std::string IsoTime(double unix, bool millis) {
  const long long ms = std::llround(unix * 1000.0);
  const std::time_t whole = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
  std::tm utc{};
  gmtime_r(&whole, &utc);
  char text[40];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
  std::string out = text;
  if (millis) {
    char fraction[8];
    std::snprintf(fraction, sizeof(fraction), ".%03lld", ((ms % 1000) + 1000) % 1000);
    out += fraction;
  }
  return out + "Z";
}

// ---- Selection ----------------------------------------------------------------

struct Window {
  double from = -INFINITY;
  double to = INFINITY;
};

struct Selection {
  std::vector<const Interval*> intervals;  // in the data's order
  std::vector<std::string> names;          // the counters that have some, ascending
  double first = 0, last = 0;              // the span the intervals cover
};

// The first names of `names`, for a message.
template <typename Names>
std::string Known(const Names& names) {
  std::string known;
  std::size_t shown = 0;
  for (const std::string& name : names) {
    if (shown++ == 8) return known + ", ...";
    known += (known.empty() ? "" : ", ") + name;
  }
  return known;
}

// Selects the window's intervals of the chosen counters. Each --counter glob
// must match one of `known` (by default the data's shown names).
bool Select(const Dataset& data, const ReportOptions& options, Selection* out, std::string* error,
            const std::set<std::string>* known = nullptr) {
  if (data.intervals.empty()) {
    *error = "the input holds no interval";
    return false;
  }
  const double dataEnd = data.intervals.back().end;
  Window window;
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

// The host of an interval's writer as shown (or its pid, for ordinary logs).
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

const char kNoMerge[] =
    "windows cannot be merged exactly from \"Interval Stats\" records (per-interval figures, no "
    "histogram): use 'csv' or 'plot' for their intervals, or write a histogram log "
    "(PerfCntLogger::SetHistogramLog)";

// Per counter (or counter and host): the merged snapshot and its span.
struct Merged {
  CTimeCounterSnapshot snapshot;
  double first = INFINITY, last = -INFINITY;
  std::set<std::string> hosts;
  std::size_t intervals = 0;
};

// Rows keyed by the shown counter name and (with --by-host) the shown host.
using MergedRows = std::map<std::pair<std::string, std::string>, Merged>;

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

// The JSON members of the figures from "mean_us" to "max_us".
std::string JsonDurations(const Figures& f, const std::vector<Stat>& percentiles) {
  std::string text = "\"mean_us\": " + Micros(f.mean);
  for (std::size_t k = 0; k < percentiles.size(); ++k) {
    text += ", \"" + Key(percentiles[k]) + "\": " + Micros(f.p[k]);
  }
  return text + ", \"max_us\": " + Micros(f.max);
}

// The JSON members of a row's figures, from "samples" on.
std::string JsonFigures(const Figures& f, const std::vector<Stat>& percentiles) {
  return "\"samples\": " + std::to_string(f.samples) +
         ", \"seconds\": " + JsonNumber(f.seconds, 3) + ", \"rate\": " + JsonNumber(f.Rate(), 3) +
         ", " + JsonDurations(f, percentiles);
}

// A decimal number at `*at` ("12", "99.9"): digits, then optionally a point
// and digits; no sign, exponent, infinity or hexadecimal. Advances `*at`.
bool Decimal(const std::string& text, std::size_t* at, double* value) {
  const std::size_t start = *at;
  const auto digits = [&] {
    const std::size_t from = *at;
    while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9') ++*at;
    return *at > from;
  };
  if (!digits()) return false;
  if (*at < text.size() && text[*at] == '.' && (++*at, !digits())) return false;
  *value = std::strtod(text.substr(start, *at - start).c_str(), nullptr);
  return std::isfinite(*value);
}

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

std::string ObjectiveTail(const Objective& o) {
  return o.stat.label + (o.orEqual ? " <= " : " < ") + o.limitText;
}

// A duration in milliseconds for a plot's latency axis, a log scale, which
// has no 0: a duration of 0 is drawn at 100 ns (one unit), as the heatmap
// draws it, so that a counter whose samples all took 0 units is drawn too.
double Ms(std::uint64_t units) {
  return static_cast<double>(std::max<std::uint64_t>(units, 1)) / 1e4;
}

// The percentile spectrum of a window as data lines "x latency_ms": x is
// 1 / (1 - percentile), from 1 to the sample count, 50 points a decade, the
// last the maximum.
std::vector<std::string> SpectrumPoints(const CTimeCounterSnapshot& w) {
  std::vector<std::string> points;
  const double n = static_cast<double>(w.GetCount());
  for (int k = 0; k <= 300; ++k) {
    const double x = std::pow(10.0, k / 50.0);
    if (x > n) break;
    points.push_back(DataNumber(x) + ' ' + DataNumber(Ms(Units(w.GetPercentile(1.0 - 1.0 / x)))));
  }
  points.push_back(DataNumber(std::max(n, 1.0)) + ' ' + DataNumber(Ms(Units(w.GetMax()))));
  return points;
}

// The latency heatmap's rows: kHeatBinsPerDecade per decade of latency, a
// histogram bucket (16 a doubling) going whole to the row of its geometric
// middle, zero durations to the row of 100 ns.
constexpr int kHeatBinsPerDecade = 10;

// The most columns of a heatmap: more intervals than this are merged in
// runs of consecutive ones, so that a column stays a few pixels wide.
constexpr std::size_t kHeatMaxColumns = 240;

// One counter's heatmap as data lines of boxes, "x y xlow xhigh ylow yhigh
// samples": per column (an interval, or a run of them, from its start to its
// end) and latency row (milliseconds) holding samples.
std::vector<std::string> HeatmapBoxes(
    const std::map<long long, std::pair<CTimeCounterSnapshot, double>>& byTime) {
  std::vector<std::string> boxes;
  const auto row = [](double seconds) {
    return static_cast<int>(std::floor(std::log10(seconds) * kHeatBinsPerDecade));
  };
  const std::size_t run = (byTime.size() + kHeatMaxColumns - 1) / kHeatMaxColumns;
  std::map<int, std::uint64_t> rows;
  double start = 0;
  std::size_t taken = 0;
  for (const auto& point : byTime) {
    const CTimeCounterSnapshot& snapshot = point.second.first;
    const double end = static_cast<double>(point.first);
    if (taken++ % run == 0) start = end - point.second.second;
    if (snapshot.GetZeroCount() > 0) rows[row(1e-7)] += snapshot.GetZeroCount();
    for (const CTimeCounterSnapshot::Bucket& b : snapshot.GetBuckets()) {
      rows[row(std::exp2((b.index - 0.5) / 16.0))] += b.count;
    }
    if (taken % run != 0 && taken != byTime.size()) continue;
    for (const auto& r : rows) {
      const double low = std::pow(10.0, r.first / double{kHeatBinsPerDecade}) * 1e3;
      const double high = std::pow(10.0, (r.first + 1) / double{kHeatBinsPerDecade}) * 1e3;
      // Times to the millisecond: DataNumber()'s nine figures are ten seconds
      // of a Unix time.
      boxes.push_back(Format("%.3f", (start + end) / 2) + ' ' + DataNumber(std::sqrt(low * high)) +
                      ' ' + Format("%.3f", start) + ' ' + Format("%.3f", end) + ' ' +
                      DataNumber(low) + ' ' + DataNumber(high) + ' ' + std::to_string(r.second));
    }
    rows.clear();
  }
  return boxes;
}

// A heatmap panel's settings and plot of block `block`, titled by `title` (a
// gnuplot string expression).
std::string HeatmapPanel(const std::string& block, const std::string& title) {
  return "set logscale y\nset ylabel 'latency (ms)'\nset logscale cb\nset cblabel 'samples'\n"
         "set palette defined (0 '#440154', 1 '#3b528b', 2 '#21918c', 3 '#5ec962', "
         "4 '#fde725')\nset title " +
         title + "\nplot " + block +
         " using 1:2:3:4:5:6:7 with boxxyerror fs solid 1.0 noborder lc palette notitle\n"
         "unset logscale cb\nunset cblabel\n";
}

// The axes of a spectrum panel.
const char kSpectrumAxes[] =
    "set format x '%g'\nset logscale xy\nset xrange [1:*]\nunset xtics\n"
    "set xtics ('0%%' 1, '90%%' 10, '99%%' 100, '99.9%%' 1000, '99.99%%' 10000, "
    "'99.999%%' 100000, '99.9999%%' 1000000)\n"
    "set xlabel 'percentile'\nset ylabel 'latency (ms)'\n";

// A right-aligned table column of 10 characters after a space.
std::string Column(const std::string& text) {
  return " " + (text.size() < 10 ? std::string(10 - text.size(), ' ') : "") + text;
}

}  // namespace

bool ParseTime(const std::string& text, double dataEnd, double* unix, std::string* error) {
  const auto bad = [&] {
    *error = "cannot read the time '" + ShownName(text) +
             "' (Unix seconds, YYYY-MM-DDTHH:MM[:SS][Z] in UTC, or -N followed by s, m, h or d)";
    return false;
  };
  double n = 0;
  std::size_t at = text.compare(0, 1, "-") == 0 ? 1 : 0;
  if (at == 1) {
    // -N<unit>: that long before the data's last interval.
    if (!Decimal(text, &at, &n)) return bad();
    const std::string unit = text.substr(at);
    const double scale = unit == "s"   ? 1
                         : unit == "m" ? 60
                         : unit == "h" ? 3600
                         : unit == "d" ? 86400
                                       : 0;
    if (scale == 0) return bad();
    *unix = dataEnd - n * scale;
    return true;
  }
  if (Decimal(text, &at, &n) && at == text.size()) {
    *unix = n;  // Unix seconds
    return true;
  }
  // YYYY-MM-DDTHH:MM[:SS][Z], UTC: two digits a field (four for the year).
  static const char kForm[] = "dddd-dd-ddTdd:dd:dd";
  const std::size_t length = text.size() - (!text.empty() && text.back() == 'Z' ? 1 : 0);
  if (length != 16 && length != 19) return bad();
  for (std::size_t k = 0; k < length; ++k) {
    const bool digit = text[k] >= '0' && text[k] <= '9';
    if (kForm[k] == 'd' ? !digit : text[k] != kForm[k]) return bad();
  }
  const auto field = [&text](std::size_t from, std::size_t digits) {
    int value = 0;
    for (std::size_t k = from; k < from + digits; ++k) value = value * 10 + (text[k] - '0');
    return value;
  };
  std::tm tm{};
  tm.tm_year = field(0, 4) - 1900;
  tm.tm_mon = field(5, 2) - 1;
  tm.tm_mday = field(8, 2);
  tm.tm_hour = field(11, 2);
  tm.tm_min = field(14, 2);
  tm.tm_sec = length == 19 ? field(17, 2) : 0;
  const std::tm given = tm;
  const std::time_t seconds = timegm(&tm);
  // timegm() carries a field past its range into the next one (February 30
  // is March 2): such a time names no time of the calendar.
  if (tm.tm_year != given.tm_year || tm.tm_mon != given.tm_mon || tm.tm_mday != given.tm_mday ||
      tm.tm_hour != given.tm_hour || tm.tm_min != given.tm_min || tm.tm_sec != given.tm_sec) {
    return bad();
  }
  *unix = static_cast<double>(seconds);
  return true;
}

std::string Objective::Shown() const {
  return ShownName(glob) + ":" + ObjectiveTail(*this);
}

bool ParseStat(const std::string& text, Stat* stat, std::string* error) {
  if (text == "mean" || text == "max") {
    stat->kind = text == "mean" ? Stat::kMean : Stat::kMax;
    stat->label = text;
    return true;
  }
  std::size_t at = 1;
  double percent = 0;
  const std::size_t point = text.find('.');
  if (text.size() < 2 || text[0] != 'p' || !Decimal(text, &at, &percent) || at != text.size() ||
      !(percent > 0 && percent < 100) || (point != std::string::npos && text.size() - point > 7)) {
    *error = "'" + ShownName(text) + "' is not a figure: p<N> with 0 < N < 100 (p99, p99.9; " +
             "at most six decimals), mean or max";
    return false;
  }
  stat->kind = Stat::kPercentile;
  stat->percent = percent;
  std::string number = Format("%.6f", percent);
  number.erase(number.find_last_not_of('0') + 1);
  if (number.back() == '.') number.pop_back();
  stat->label = "p" + number;
  return true;
}

bool ParsePercentiles(const std::string& text, std::vector<Stat>* percentiles, std::string* error) {
  std::vector<Stat> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    std::string item = text.substr(start, comma - start);
    item.erase(0, item.find_first_not_of(' '));
    item.erase(item.find_last_not_of(' ') + 1);
    Stat stat;
    std::string why;
    if (item.empty() || item[0] == 'p' || !ParseStat("p" + item, &stat, &why)) {
      *error = "--percentiles: '" + ShownName(item) +
               "' is not a percentile (a number above 0 and below 100, at most six decimals)";
      return false;
    }
    for (const Stat& seen : out) {
      if (seen.label != stat.label) continue;
      *error = "--percentiles: " + stat.label + " is listed twice";
      return false;
    }
    out.push_back(stat);
    if (comma == text.size()) break;
    start = comma + 1;
  }
  if (out.size() > kMaxPercentiles) {
    *error = "--percentiles: at most " + std::to_string(kMaxPercentiles) + " percentiles";
    return false;
  }
  std::sort(out.begin(), out.end(),
            [](const Stat& a, const Stat& b) { return a.percent < b.percent; });
  *percentiles = std::move(out);
  return true;
}

bool ParseObjective(const std::string& text, Objective* objective, std::string* error) {
  const std::string shown = "malformed objective '" + ShownName(text) + "': ";
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    *error = shown + "it needs GLOB:STAT OP VALUE (\"disk.*:p99 < 5ms\")";
    return false;
  }
  Objective o;
  o.glob = text.substr(0, colon);
  std::size_t at = colon + 1;
  const auto spaces = [&] {
    while (at < text.size() && text[at] == ' ') ++at;
  };
  spaces();
  const std::size_t statEnd = std::min(text.find_first_of(" <>=", at), text.size());
  std::string why;
  if (!ParseStat(text.substr(at, statEnd - at), &o.stat, &why)) {
    *error = shown + why;
    return false;
  }
  at = statEnd;
  spaces();
  if (text.compare(at, 2, "<=") == 0) {
    o.orEqual = true;
    at += 2;
  } else if (text.compare(at, 1, "<") == 0) {
    at += 1;
  } else {
    *error = shown + "the comparison must be < or <= (an objective is a bound from above)";
    return false;
  }
  spaces();
  double number = 0;
  const std::size_t valueStart = at;
  const bool isNumber = Decimal(text, &at, &number);
  const std::size_t numberEnd = at;
  spaces();
  std::size_t unitEnd = at;
  while (unitEnd < text.size() && text[unitEnd] >= 'a' && text[unitEnd] <= 'z') ++unitEnd;
  const std::string unit = text.substr(at, unitEnd - at);
  const double scale = unit == "ns"   ? 1
                       : unit == "us" ? 1e3
                       : unit == "ms" ? 1e6
                       : unit == "s"  ? 1e9
                       : unit == "m"  ? 60e9
                       : unit == "h"  ? 3600e9
                                      : 0;
  at = unitEnd;
  spaces();
  if (!isNumber || scale == 0 || at != text.size()) {
    *error = shown + "the value must be a number with a unit: ns, us, ms, s, m or h (5ms, 2.5 s)";
    return false;
  }
  o.limitNs = number * scale;
  o.limitText = text.substr(valueStart, numberEnd - valueStart) + unit;
  *objective = std::move(o);
  return true;
}

namespace {

// One objective's outcome on one counter.
struct CheckResult {
  std::uint64_t value = 0;  // the window's figure, or the worst interval's
  std::uint64_t samples = 0;
  std::size_t intervals = 0, breached = 0;
  double worstEnd = 0;
  bool held = true;
};
// By objective (its index), then counter.
using CheckResults = std::map<std::pair<std::size_t, std::string>, CheckResult>;

// Selects the window and checks every objective on it (Check()).
bool Evaluate(const Dataset& data, const ReportOptions& options,
              const std::vector<Objective>& objectives, Selection& selection, CheckResults* results,
              std::string* error) {
  if (!Select(data, options, &selection, error)) return false;
  for (const Interval* i : selection.intervals) {
    if (!i->hasHistogram) {
      *error = kNoMerge;
      return false;
    }
  }
  // Which objectives apply to each counter; every objective to at least one.
  std::map<std::string, std::vector<std::size_t>> applies;
  for (std::size_t k = 0; k < objectives.size(); ++k) {
    bool any = false;
    for (const std::string& name : selection.names) {
      if (fnmatch(objectives[k].glob.c_str(), name.c_str(), 0) != 0) continue;
      applies[name].push_back(k);
      any = true;
    }
    if (!any) {
      *error = "the objective '" + objectives[k].Shown() +
               "' matches no counter (counters: " + Known(selection.names) + ")";
      return false;
    }
  }
  if (options.eachInterval) {
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
  } else {
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
  }

  return true;
}

}  // namespace

bool Check(const Dataset& data, const ReportOptions& options,
           const std::vector<Objective>& objectives, std::string* out, bool* held,
           std::string* error) {
  Selection selection;
  CheckResults results;
  if (!Evaluate(data, options, objectives, selection, &results, error)) return false;
  std::size_t breached = 0;
  for (const auto& r : results) breached += r.second.held ? 0 : 1;
  *held = breached == 0;
  std::string text;
  if (options.json) {
    text = "{\"from\": " + JsonString(IsoTime(selection.first, true)) +
           ", \"to\": " + JsonString(IsoTime(selection.last, true)) +
           ", \"seconds\": " + JsonNumber(selection.last - selection.first, 3) +
           ", \"intervals\": " + std::to_string(selection.intervals.size()) +
           ", \"each_interval\": " + (options.eachInterval ? "true" : "false") +
           ", \"held\": " + (*held ? "true" : "false") + ", \"results\": [";
  } else {
    text = "window " + IsoTime(selection.first, true) + " .. " + IsoTime(selection.last, true) +
           " (" + Format("%.1f", selection.last - selection.first) + " s), " +
           std::to_string(selection.intervals.size()) + " intervals" +
           (options.eachInterval ? ", each interval checked\n" : "\n");
  }
  bool first = true;
  for (const auto& entry : results) {
    const Objective& o = objectives[entry.first.first];
    const std::string& name = entry.first.second;
    const CheckResult& r = entry.second;
    if (options.json) {
      text += first ? "\n  " : ",\n  ";
      text += "{\"objective\": " + JsonString(o.Shown()) + ", \"counter\": " + JsonString(name) +
              ", \"stat\": " + JsonString(o.stat.label) +
              ", \"op\": " + JsonString(o.orEqual ? "<=" : "<") +
              ", \"limit_us\": " + JsonNumber(o.limitNs / 1000.0, 3) +
              ", \"held\": " + (r.held ? "true" : "false") + ", \"value_us\": " + Micros(r.value) +
              ", \"samples\": " + std::to_string(r.samples);
      if (options.eachInterval) {
        text += ", \"intervals\": " + std::to_string(r.intervals) +
                ", \"breached_intervals\": " + std::to_string(r.breached) +
                ", \"worst_end\": " + JsonString(IsoTime(r.worstEnd, true));
      }
      text += "}";
    } else {
      std::string line = r.held ? "held     " : "BREACHED ";
      line += name.size() < 32 ? name + std::string(32 - name.size(), ' ') : name;
      const std::string tail = ObjectiveTail(o);
      line += " " + tail + std::string(tail.size() < 20 ? 20 - tail.size() : 0, ' ');
      line += " " + zrfw::DurationText(r.value);
      if (options.eachInterval) {
        line += " worst, breached in " + std::to_string(r.breached) + " of " +
                std::to_string(r.intervals) + " intervals (worst ending " +
                IsoTime(r.worstEnd, false) + ")";
      }
      text += line + "\n";
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
    text = "{\"from\": " + JsonString(IsoTime(selection.first, true)) +
           ", \"to\": " + JsonString(IsoTime(selection.last, true)) +
           ", \"seconds\": " + JsonNumber(selection.last - selection.first, 3) +
           ", \"intervals\": " + std::to_string(selection.intervals.size()) + ", \"counters\": [";
  } else {
    text = "window " + IsoTime(selection.first, true) + " .. " + IsoTime(selection.last, true) +
           " (" + Format("%.1f", selection.last - selection.first) + " s), " +
           std::to_string(selection.intervals.size()) + " intervals from " + hostList + "\n";
    char head[100];
    std::snprintf(head, sizeof(head), "%-32s %12s %10s", "counter", "samples", "rate/s");
    text += head + Column("mean");
    for (const Stat& stat : percentiles) text += Column(stat.label);
    text += Column("max") + "\n";
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
      std::string label = name;
      if (options.byHost) label.append(" @").append(host);
      char figures[100];
      std::snprintf(figures, sizeof(figures), " %12llu %10.2f",
                    static_cast<unsigned long long>(f.samples), f.Rate());
      if (label.size() < 32) label.append(32 - label.size(), ' ');
      text += label + figures + Column(zrfw::DurationText(f.mean));
      for (const std::uint64_t value : f.p) text += Column(zrfw::DurationText(value));
      text += Column(zrfw::DurationText(f.max)) + "\n";
    }
    firstRow = false;
  }
  if (options.json) text += "\n]}\n";
  *out = std::move(text);
  return true;
}

bool Csv(const Dataset& data, const ReportOptions& options, std::string* out, std::string* error) {
  Selection selection;
  if (!Select(data, options, &selection, error)) return false;
  const std::vector<Stat> percentiles = Percentiles(options);
  if (!RecordsHave(selection.intervals, percentiles, error)) return false;
  std::string text = "[";
  if (!options.json) {
    text = "end,end_unix,interval_s,host,pid,counter,samples,rate,mean_us";
    for (const Stat& stat : percentiles) text += "," + Key(stat);
    text += ",max_us\n";
  }
  bool first = true;
  for (const Interval* i : selection.intervals) {
    const Figures f = Of(*i, percentiles);
    const Source& s = data.sources[i->source];
    const std::string host = ShownName(s.host);
    const std::string name = ShownName(i->name);
    if (options.json) {
      text += first ? "\n  " : ",\n  ";
      text += "{\"end\": " + JsonString(IsoTime(i->end, true)) +
              ", \"end_unix\": " + JsonNumber(i->end, 6) +
              ", \"interval_s\": " + JsonNumber(i->seconds, 6) + ", \"host\": " + JsonString(host) +
              ", \"pid\": " + std::to_string(s.pid) + ", \"counter\": " + JsonString(name) +
              ", \"samples\": " + std::to_string(f.samples) +
              ", \"rate\": " + JsonNumber(f.Rate(), 3) + ", " + JsonDurations(f, percentiles) + "}";
    } else {
      text += CsvCell(IsoTime(i->end, true)) + "," + Format("%.6f", i->end) + "," +
              Format("%.6f", i->seconds) + "," + CsvCell(host) + "," + std::to_string(s.pid) + "," +
              CsvCell(name) + "," + std::to_string(f.samples) + "," + Format("%.3f", f.Rate()) +
              "," + Micros(f.mean);
      for (const std::uint64_t value : f.p) text += "," + Micros(value);
      text += "," + Micros(f.max) + "\n";
    }
    first = false;
  }
  if (options.json) text += "\n]\n";
  *out = std::move(text);
  return true;
}

namespace {

// The gnuplot script of a plot (Plot()), for a PNG or an SVG.
bool PlotScript(const Dataset& data, const ReportOptions& options, const std::string& ext,
                std::string* script, std::string* error) {
  Selection selection;
  if (!Select(data, options, &selection, error)) return false;
  const std::vector<Stat> percentiles = Percentiles(options);
  if (!RecordsHave(selection.intervals, percentiles, error)) return false;
  constexpr std::size_t kMaxCounters = 8;
  if (options.heatmap && !selection.intervals.empty() && !AllHistograms(selection)) {
    *error = std::string("the heatmap needs histograms: ") + kNoMerge;
    return false;
  }
  if (selection.names.size() > kMaxCounters) {
    *error = std::to_string(selection.names.size()) + " counters selected; a plot takes at most " +
             std::to_string(kMaxCounters) + " (choose them with --counter GLOB)";
    return false;
  }

  // Everything read from the logs goes in as data (Gnuplot.h): the names as
  // the lines of $NAMES, each counter's series as $Sc (time, then the
  // figures of each interval, summed over sources that end in the same
  // second) and its distribution over the window as $Pc.
  std::string s;
  AppendDataBlock(s, "$NAMES", selection.names);
  std::map<std::string, Merged> windows;
  bool spectrum = true;  // the distribution needs histograms
  for (const Interval* i : selection.intervals) spectrum = spectrum && i->hasHistogram;
  std::size_t longest = 0;  // the most points of a series
  for (std::size_t c = 0; c < selection.names.size(); ++c) {
    const std::string& name = selection.names[c];
    std::map<long long, std::pair<CTimeCounterSnapshot, double>> byTime;
    std::map<long long, Figures> recordsByTime;
    for (const Interval* i : selection.intervals) {
      if (ShownName(i->name) != name) continue;
      const long long key = std::llround(i->end);
      if (i->hasHistogram) {
        const CTimeCounterSnapshot snapshot = i->Snapshot();
        auto& slot = byTime[key];
        slot.first.Merge(snapshot);
        slot.second = std::max(slot.second, i->seconds);
        windows[name].snapshot.Merge(snapshot);
      } else {
        recordsByTime[key] = Of(*i, percentiles);
      }
    }
    std::vector<std::string> series;
    // Columns: time, the percentiles, max, samples per second.
    const auto row = [&series](long long t, const Figures& f) {
      std::string line = std::to_string(t);
      for (const std::uint64_t value : f.p) line += ' ' + DataNumber(Ms(value));
      series.push_back(line + ' ' + DataNumber(Ms(f.max)) + ' ' + DataNumber(f.Rate()));
    };
    for (const auto& point : byTime) {
      row(point.first, Of(point.second.first, point.second.second, percentiles));
    }
    for (const auto& point : recordsByTime) row(point.first, point.second);
    longest = std::max(longest, series.size());
    AppendDataBlock(s, "$S" + std::to_string(c), series);

    if (spectrum) {
      AppendDataBlock(s, "$P" + std::to_string(c), SpectrumPoints(windows[name].snapshot));
    }
    if (options.heatmap) AppendDataBlock(s, "$H" + std::to_string(c), HeatmapBoxes(byTime));
  }

  const std::size_t counters = selection.names.size();
  const std::size_t panels = counters * (options.heatmap ? 2 : 1) + 1 + (spectrum ? 1 : 0);
  const int width = options.width > 0 ? options.width : 1000;
  const int height = options.height > 0 ? options.height : static_cast<int>(280 * panels);
  s += ext == ".png" ? "set terminal pngcairo noenhanced font 'sans,9' size "
                     : "set terminal svg noenhanced font 'sans,9' size ";
  s += std::to_string(width) + "," + std::to_string(height) + " background rgb 'white'\n";
  s += "set multiplot layout " + std::to_string(panels) + ",1\n";
  s += "set grid\nset key outside right top\nset lmargin 12\nset rmargin 24\n";
  // At most about eight time labels, at a round step, over the data's span.
  const double span = selection.last - selection.first;
  double step = 1;
  for (double candidate : {1,   2,    5,    10,   15,    30,    60,    120,   300,    600,
                           900, 1800, 3600, 7200, 10800, 21600, 43200, 86400, 172800, 604800}) {
    step = candidate;
    if (span / candidate <= 8) break;
  }
  s += "set xdata time\nset timefmt '%s'\nset xlabel 'time (UTC)'\n";
  s += std::string("set format x '") + (span > 86400 ? "%m-%d %H:%M" : "%H:%M:%S") + "'\n";
  s += "set xtics " + Format("%.0f", step) + "\n";
  // Whole seconds around the span; a span within one whole second (intervals
  // shorter than the log's microsecond, ending on the second) gets that
  // second after it: gnuplot refuses an empty range.
  const double left = std::floor(selection.first);
  s += "set xrange [" + Format("%.0f", left) + ":" +
       Format("%.0f", std::max(std::ceil(selection.last), left + 1)) + "]\n";
  const std::size_t columns = percentiles.size() + 1;  // and max
  // Points mark the intervals while they are a few pixels apart; beyond
  // kMarkedPoints they would only blur the lines (and swell an SVG).
  constexpr std::size_t kMarkedPoints = 300;
  const std::string style =
      longest > kMarkedPoints ? " with lines lw 1.5" : " with linespoints pointsize 0.4 lw 1.5";
  for (std::size_t c = 0; c < counters; ++c) {
    const std::string index = std::to_string(c + 1);  // $NAMES counts from 1
    s += "set logscale y\nset ylabel 'latency (ms)'\n";
    s += "set title 'Latency percentiles per interval: '.$NAMES[" + index + "]\n";
    s += "plot ";
    for (std::size_t col = 0; col < columns; ++col) {
      s += std::string(col == 0 ? "" : ", ") + "$S" + std::to_string(c) +
           " using 1:" + std::to_string(col + 2) + style + " title '" +
           (col < percentiles.size() ? percentiles[col].label : "max") + "'";
    }
    s += "\n";
    if (options.heatmap) {
      s += HeatmapPanel("$H" + std::to_string(c), "'Latency heatmap: '.$NAMES[" + index + "]");
    }
  }
  s += "unset logscale y\nset ylabel 'samples/s'\nset yrange [0:*]\n";
  s += "set title 'Samples per second'\nplot ";
  for (std::size_t c = 0; c < counters; ++c) {
    s += std::string(c == 0 ? "" : ", ") + "$S" + std::to_string(c) +
         " using 1:" + std::to_string(columns + 2) + style + " title $NAMES[" +
         std::to_string(c + 1) + "]";
  }
  s += "\nset yrange [*:*]\n";
  if (spectrum) {
    s += "set xdata\n";
    s += kSpectrumAxes;
    s += "set title 'Latency by percentile over the window " + IsoTime(selection.first, false) +
         " .. " + IsoTime(selection.last, false) + "'\nplot ";
    for (std::size_t c = 0; c < counters; ++c) {
      s += std::string(c == 0 ? "" : ", ") + "$P" + std::to_string(c) +
           " using 1:2 with steps lw 1.5 title $NAMES[" + std::to_string(c + 1) + "]";
    }
    s += "\n";
  }
  s += "unset multiplot\n";

  *script = std::move(s);
  return true;
}

}  // namespace

bool Plot(const Dataset& data, const ReportOptions& options, const std::string& path,
          std::string* error) {
  const std::size_t dot = path.rfind('.');
  const std::string ext = dot == std::string::npos ? "" : path.substr(dot);
  if (ext != ".png" && ext != ".svg") {
    *error = "the plot's output name must end in .png or .svg, not '" + ShownName(path) + "'";
    return false;
  }
  std::string script;
  if (!PlotScript(data, options, ext, &script, error)) return false;
  // gnuplot writes the picture to its standard output, an anonymous file
  // that goes to the target through an OutputFile once gnuplot succeeded.
  std::string picture;
  return RunGnuplotToText(script, &picture, error) && WriteOutput(path, picture, error);
}

namespace {

// The picture terminal's opening lines for `path` (".png" or ".svg").
std::string Terminal(const std::string& path, int width, int height) {
  const bool png = path.size() > 4 && path.compare(path.size() - 4, 4, ".png") == 0;
  return std::string(png ? "set terminal pngcairo noenhanced font 'sans,9' size "
                         : "set terminal svg noenhanced font 'sans,9' size ") +
         std::to_string(width) + "," + std::to_string(height) + " background rgb 'white'\n";
}

// NEW/OLD as a ratio's text, "-" when OLD is 0.
std::string Ratio(double newValue, double oldValue, bool json) {
  if (!(oldValue > 0)) return json ? "null" : "-";
  return Format(json ? "%.4f" : "%.3fx", newValue / oldValue);
}

std::string SpanText(const Selection& s) {
  return "window " + IsoTime(s.first, true) + " .. " + IsoTime(s.last, true) + " (" +
         Format("%.1f", s.last - s.first) + " s), " + std::to_string(s.intervals.size()) +
         " intervals";
}

}  // namespace

bool Compare(const Dataset& oldRun, const Dataset& newRun, const ReportOptions& options,
             const std::string& plotPath, std::string* out, std::string* error) {
  std::set<std::string> known;
  for (const Dataset* run : {&oldRun, &newRun}) {
    for (const Interval& i : run->intervals) known.insert(ShownName(i.name));
  }
  ReportOptions merged = options;
  merged.byHost = false;
  Selection selections[2];
  MergedRows rows[2];
  const Dataset* runs[2] = {&oldRun, &newRun};
  const char* kRun[2] = {"old", "new"};
  for (int r = 0; r < 2; ++r) {
    if (!Select(*runs[r], merged, &selections[r], error, &known) ||
        !MergeWindow(*runs[r], merged, selections[r], &rows[r], error)) {
      *error = std::string(kRun[r]) + " run: " + *error;
      return false;
    }
  }
  std::vector<std::string> both, only[2];
  for (int r = 0; r < 2; ++r) {
    for (const auto& row : rows[r]) {
      const std::string& name = row.first.first;
      if (rows[1 - r].count({name, ""}) == 0) {
        only[r].push_back(name);
      } else if (r == 0) {
        both.push_back(name);
      }
    }
  }
  const std::vector<Stat> percentiles = Percentiles(options);

  if (!plotPath.empty()) {
    constexpr std::size_t kMaxCounters = 8;
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
        AppendDataBlock(s, block, SpectrumPoints(rows[r][{both[c], ""}].snapshot));
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
    s += Terminal(plotPath, options.width > 0 ? options.width : 1000,
                  options.height > 0 ? options.height : 500);
    s += "set grid\nset key outside right top\nset lmargin 12\nset rmargin 30\n";
    s += kSpectrumAxes;
    s += "set title 'Latency by percentile: the old run dashed (from " +
         IsoTime(selections[0].first, false) + "), the new run solid (from " +
         IsoTime(selections[1].first, false) + ")'\n";
    s += plot + "\n";
    std::string picture;
    return RunGnuplotToText(s, &picture, error) && WriteOutput(plotPath, picture, error);
  }

  std::string text;
  if (options.json) {
    text = "{";
    for (int r = 0; r < 2; ++r) {
      text += std::string(r == 0 ? "" : ", ") + "\"" + kRun[r] +
              "\": {\"from\": " + JsonString(IsoTime(selections[r].first, true)) +
              ", \"to\": " + JsonString(IsoTime(selections[r].last, true)) +
              ", \"seconds\": " + JsonNumber(selections[r].last - selections[r].first, 3) +
              ", \"intervals\": " + std::to_string(selections[r].intervals.size()) + "}";
    }
    text += ", \"counters\": [";
  } else {
    text = "old: " + SpanText(selections[0]) + "\nnew: " + SpanText(selections[1]) + "\n";
    char head[100];
    std::snprintf(head, sizeof(head), "%-32s %-8s %12s %10s", "counter", "run", "samples",
                  "rate/s");
    text += head + Column("mean");
    for (const Stat& stat : percentiles) text += Column(stat.label);
    text += Column("max") + "\n";
  }
  bool first = true;
  for (const std::string& name : both) {
    Figures f[2];
    for (int r = 0; r < 2; ++r) {
      const Merged& m = rows[r][{name, ""}];
      f[r] = Of(m.snapshot, m.last - m.first, percentiles);
    }
    const auto ratios = [&](bool json) {
      std::vector<std::pair<std::string, std::string>> out = {
          {"samples",
           Ratio(static_cast<double>(f[1].samples), static_cast<double>(f[0].samples), json)},
          {"rate", Ratio(f[1].Rate(), f[0].Rate(), json)},
          {"mean", Ratio(static_cast<double>(f[1].mean), static_cast<double>(f[0].mean), json)}};
      for (std::size_t k = 0; k < percentiles.size(); ++k) {
        std::string key = Key(percentiles[k]);
        out.emplace_back(
            key.substr(0, key.size() - 3),
            Ratio(static_cast<double>(f[1].p[k]), static_cast<double>(f[0].p[k]), json));
      }
      out.emplace_back("max",
                       Ratio(static_cast<double>(f[1].max), static_cast<double>(f[0].max), json));
      return out;
    };
    if (options.json) {
      text += first ? "\n  " : ",\n  ";
      text += "{\"counter\": " + JsonString(name) + ", \"old\": {" +
              JsonFigures(f[0], percentiles) + "}, \"new\": {" + JsonFigures(f[1], percentiles) +
              "}, \"ratio\": {";
      bool firstRatio = true;
      for (const auto& ratio : ratios(true)) {
        text += std::string(firstRatio ? "" : ", ") + "\"" + ratio.first + "\": " + ratio.second;
        firstRatio = false;
      }
      text += "}}";
    } else {
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
          const auto values = ratios(false);
          std::snprintf(run, sizeof(run), " %-8s %12s %10s", "new/old", values[0].second.c_str(),
                        values[1].second.c_str());
          text += label + run;
          for (std::size_t k = 2; k < values.size(); ++k) text += Column(values[k].second);
          text += "\n";
        }
      }
    }
    first = false;
  }
  if (options.json) {
    for (int r = 0; r < 2; ++r) {
      text += std::string(r == 0 ? "\n], " : ", ") + "\"only_" + kRun[r] + "\": [";
      for (std::size_t k = 0; k < only[r].size(); ++k) {
        text += (k == 0 ? "" : ", ") + JsonString(only[r][k]);
      }
      text += "]";
    }
    text += "}\n";
  } else {
    for (int r = 0; r < 2; ++r) {
      for (const std::string& name : only[r]) {
        text += std::string("only in the ") + kRun[r] + " run: " + name + "\n";
      }
    }
  }
  *out = std::move(text);
  return true;
}

namespace {

// A glob that matches exactly `name`.
std::string LiteralGlob(const std::string& name) {
  std::string glob;
  for (const char c : name) {
    if (c == '*' || c == '?' || c == '[' || c == '\\') glob += '\\';
    glob += c;
  }
  return glob;
}

const char kHtmlStyle[] =
    "body{font-family:sans-serif;margin:1.5em;color:#222}"
    "table{border-collapse:collapse;margin:.5em 0 1.5em}"
    "th,td{padding:2px 10px;text-align:right;border-bottom:1px solid #ddd;white-space:nowrap}"
    "th:first-child,td:first-child{text-align:left}th{background:#f2f2f2}"
    ".held{color:#1a7f37}.breached{color:#c62828;font-weight:bold}"
    "section{margin-top:2em}svg{max-width:100%;height:auto}";

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
  const std::vector<Stat> percentiles = Percentiles(options);
  CheckResults results;
  Selection checked;
  if (!objectives.empty() && !Evaluate(data, window, objectives, checked, &results, error)) {
    return false;
  }
  std::set<std::string> hosts, files;
  for (const auto& row : rows) hosts.insert(row.second.hosts.begin(), row.second.hosts.end());
  for (const Interval* i : selection.intervals)
    files.insert(ShownName(data.sources[i->source].file));
  const auto list = [](const std::set<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + HtmlText(item);
    return text;
  };
  const std::string span = IsoTime(selection.first, true) + " .. " + IsoTime(selection.last, true);

  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "style-src 'unsafe-inline'\">\n<title>zrperf report " +
      span + "</title>\n<style>" + kHtmlStyle + "</style></head>\n<body>\n<h1>zrperf report</h1>\n";
  page += "<p>Window " + span + " (" + Format("%.1f", selection.last - selection.first) + " s), " +
          std::to_string(selection.intervals.size()) + " intervals from " + list(hosts) +
          ".<br>Files: " + list(files) + ".</p>\n";

  if (!objectives.empty()) {
    std::size_t breached = 0;
    for (const auto& r : results) breached += r.second.held ? 0 : 1;
    *held = breached == 0;
    page += "<h2>Objectives</h2>\n<p class=\"" + std::string(*held ? "held" : "breached") + "\">" +
            std::to_string(*held ? results.size() : breached) + " of " +
            std::to_string(results.size()) + (*held ? " held" : " breached") +
            (options.eachInterval ? ", each interval checked" : "") +
            "</p>\n<table id=\"objectives\">\n<tr><th>counter</th><th>objective</th><th>result</th>"
            "<th>measured</th>" +
            (options.eachInterval ? "<th>intervals breached</th>" : "") + "</tr>\n";
    for (const auto& entry : results) {
      const CheckResult& r = entry.second;
      page += "<tr><td>" + HtmlText(entry.first.second) + "</td><td>" +
              HtmlText(ObjectiveTail(objectives[entry.first.first])) + "</td><td class=\"" +
              (r.held ? "held\">held" : "breached\">BREACHED") + "</td><td>" +
              zrfw::DurationText(r.value) + "</td>" +
              (options.eachInterval ? "<td>" + std::to_string(r.breached) + " of " +
                                          std::to_string(r.intervals) + "</td>"
                                    : "") +
              "</tr>\n";
    }
    page += "</table>\n";
  } else {
    *held = true;
  }

  page +=
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

  // One picture per counter: gnuplot's SVG from its <svg> element on, names
  // in it as gnuplot escapes XML text. The pictures are drawn on as many
  // threads as there are processors (each builds its own script from the
  // shared, unchanging data and runs its own gnuplot).
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
    page += "<section id=\"c" + std::to_string(c) + "\">\n<h2>" + HtmlText(selection.names[c]) +
            "</h2>\n" + svgs[c].substr(svgs[c].find("<svg")) + "</section>\n";
  }
  page += "</body></html>\n";
  *out = std::move(page);
  return true;
}

}  // namespace zrreport
