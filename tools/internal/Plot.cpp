#include "Plot.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

#include "Gnuplot.h"
#include "OutputFile.h"
#include "ReportText.h"
#include "Table.h"
#include "Window.h"

namespace zrreport {

namespace {

double Ms(std::uint64_t units) {
  return static_cast<double>(std::max<std::uint64_t>(units, 1)) / 1e4;
}

}  // namespace

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

namespace {

// One point of a counter's series over time: the intervals that really
// cover one span (the hosts of a fleet that pass together). Consecutive
// intervals of one source do not overlap, so a pass that jitters across a
// second's edge stays a point of its own.
struct Point {
  double start = 0, end = 0;  // the first member's span: what "the same span" is measured on
  double last = 0;            // the latest end of a member: the point's time
  bool histogram = true;        // false: one "Interval Stats" record
  CTimeCounterSnapshot merged;  // the members' histograms
  Figures record;               // the record's own figures
  double rate = 0;              // the sum of the members' samples per second
};

// Whether interval `i` covers the span of `point`: both have histograms and
// the two overlap by more than half of the longer one.
bool SameSpan(const Point& point, const Interval& i) {
  if (!point.histogram || !i.hasHistogram) return false;
  const double start = i.end - i.seconds;
  const double overlap = std::min(point.end, i.end) - std::max(point.start, start);
  return overlap > 0.5 * std::max(point.end - point.start, i.seconds);
}

// The points of counter `name` in the selection, ascending by time.
std::vector<Point> SeriesPoints(const Selection& selection, const std::string& name,
                                const std::vector<Stat>& percentiles) {
  std::vector<const Interval*> intervals;
  for (const Interval* i : selection.intervals) {
    if (ShownName(i->name) == name) intervals.push_back(i);
  }
  std::stable_sort(intervals.begin(), intervals.end(),
                   [](const Interval* a, const Interval* b) { return a->end < b->end; });
  std::vector<Point> points;
  for (const Interval* i : intervals) {
    // Intervals come by their ends: a point of the same span is among the
    // last ones, those that end after this interval starts.
    Point* joined = nullptr;
    for (auto p = points.rbegin(); p != points.rend() && p->end > i->end - i->seconds; ++p) {
      if (SameSpan(*p, *i)) {
        joined = &*p;
        break;
      }
    }
    if (joined == nullptr) {
      points.emplace_back();
      joined = &points.back();
      joined->start = i->end - i->seconds;
      joined->end = i->end;
      joined->histogram = i->hasHistogram;
      if (!i->hasHistogram) joined->record = Of(*i, percentiles);
    }
    joined->last = std::max(joined->last, i->end);
    if (i->hasHistogram) joined->merged.Merge(i->Snapshot());
    joined->rate += i->seconds > 0 ? static_cast<double>(i->count) / i->seconds : 0.0;
  }
  std::stable_sort(points.begin(), points.end(),
                   [](const Point& a, const Point& b) { return a.last < b.last; });
  return points;
}

// Whether no interval covers the time between `before` and `after`: the
// time from one point to the next is over 1.5 of the later one's interval.
// Lines break there and no heatmap column spans it.
bool Gap(const Point& before, const Point& after) {
  return after.last - before.last > 1.5 * (after.end - after.start);
}

// The latency heatmap's rows: kHeatBinsPerDecade per decade of latency, a
// histogram bucket (16 a doubling) going whole to the row of its geometric
// middle, zero durations to the row of 100 ns.
constexpr int kHeatBinsPerDecade = 10;

// The most columns of a heatmap: more points than this are merged in runs
// of consecutive ones (never across a gap), so that a column stays a few
// pixels wide.
constexpr std::size_t kHeatMaxColumns = 240;

// One counter's heatmap as data lines of boxes, "x y xlow xhigh ylow yhigh
// samples": per column (a point, or a run of them, from its start to its
// end) and latency row (milliseconds) holding samples.
std::vector<std::string> HeatmapBoxes(const std::vector<Point>& points) {
  std::vector<std::string> boxes;
  const auto row = [](double seconds) {
    return static_cast<int>(std::floor(std::log10(seconds) * kHeatBinsPerDecade));
  };
  const std::size_t run = (points.size() + kHeatMaxColumns - 1) / kHeatMaxColumns;
  std::map<int, std::uint64_t> rows;
  double start = 0;
  std::size_t taken = 0;  // points in the column
  for (std::size_t k = 0; k < points.size(); ++k) {
    const CTimeCounterSnapshot& snapshot = points[k].merged;
    const double end = points[k].last;
    if (taken++ == 0) start = points[k].start;
    if (snapshot.GetZeroCount() > 0) rows[row(1e-7)] += snapshot.GetZeroCount();
    for (const CTimeCounterSnapshot::Bucket& b : snapshot.GetBuckets()) {
      rows[row(std::exp2((b.index - 0.5) / 16.0))] += b.count;
    }
    if (taken < run && k + 1 < points.size() && !Gap(points[k], points[k + 1])) continue;
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
    taken = 0;
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

}  // namespace

extern const char kSpectrumAxes[] =
    "set format x '%g'\nset logscale xy\nset xrange [1:*]\nunset xtics\n"
    "set xtics ('0%%' 1, '90%%' 10, '99%%' 100, '99.9%%' 1000, '99.99%%' 10000, "
    "'99.999%%' 100000, '99.9999%%' 1000000)\n"
    "set xlabel 'percentile'\nset ylabel 'latency (ms)'\n";

std::string Terminal(const std::string& path, int width, int height) {
  const bool png = path.size() >= 4 && path.compare(path.size() - 4, 4, ".png") == 0;
  return std::string(png ? "set terminal pngcairo noenhanced font 'sans,9' size "
                         : "set terminal svg noenhanced font 'sans,9' size ") +
         std::to_string(width) + "," + std::to_string(height) + " background rgb 'white'\n";
}

namespace {

// The most counters a plot draws.
constexpr std::size_t kMaxCounters = 8;

// Points mark the intervals while they are a few pixels apart; beyond
// kMarkedPoints they would only blur the lines (and swell an SVG).
constexpr std::size_t kMarkedPoints = 300;

// False with `error` set when the selection cannot be drawn.
bool Drawable(const Selection& selection, const ReportOptions& options,
              const std::vector<Stat>& percentiles, std::string* error) {
  if (!RecordsHave(selection.intervals, percentiles, error)) return false;
  if (options.heatmap && !selection.intervals.empty() && !AllHistograms(selection)) {
    *error = std::string("the heatmap needs histograms: ") + kNoMerge;
    return false;
  }
  if (selection.names.size() > kMaxCounters) {
    *error = std::to_string(selection.names.size()) + " counters selected; a plot takes at most " +
             std::to_string(kMaxCounters) + " (choose them with --counter GLOB)";
    return false;
  }
  return true;
}

// Counter `c`'s data blocks, appended to `s`: its series $Sc (a line per
// point: its time, the percentiles and max in milliseconds, the samples per
// second; an empty line, which breaks gnuplot's lines, at each gap), its
// distribution over the window $Pc (with `spectrum`) and its heatmap $Hc
// (with options.heatmap). Returns the number of points of $Sc.
std::size_t CounterBlocks(const Selection& selection, const ReportOptions& options,
                          const std::vector<Stat>& percentiles, std::size_t c, bool spectrum,
                          std::string& s) {
  const std::vector<Point> points = SeriesPoints(selection, selection.names[c], percentiles);
  CTimeCounterSnapshot window;
  std::vector<std::string> series;
  for (std::size_t k = 0; k < points.size(); ++k) {
    const Point& point = points[k];
    if (k > 0 && Gap(points[k - 1], point)) series.emplace_back();
    window.Merge(point.merged);
    const Figures f = point.histogram ? Of(point.merged, 0, percentiles) : point.record;
    // Times to the millisecond, as the heatmap's.
    std::string line = Format("%.3f", point.last);
    for (const std::uint64_t value : f.p) line += ' ' + DataNumber(Ms(value));
    series.push_back(line + ' ' + DataNumber(Ms(f.max)) + ' ' + DataNumber(point.rate));
  }
  AppendDataBlock(s, "$S" + std::to_string(c), series);
  if (spectrum) AppendDataBlock(s, "$P" + std::to_string(c), SpectrumPoints(window));
  if (options.heatmap) AppendDataBlock(s, "$H" + std::to_string(c), HeatmapBoxes(points));
  return points.size();
}

// The terminal, the layout of `panels` panels and the time axis over the
// selection's span.
std::string Layout(const Selection& selection, const ReportOptions& options, const std::string& ext,
                   std::size_t panels) {
  const int width = options.width > 0 ? options.width : 1000;
  const int height = options.height > 0 ? options.height : static_cast<int>(280 * panels);
  std::string s = Terminal(ext, width, height);
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
  return s;
}

// The panels over time: per counter its percentiles and max (and heatmap),
// then every counter's samples per second.
std::string TimePanels(std::size_t counters, const std::vector<Stat>& percentiles, bool heatmap,
                       const std::string& style) {
  std::string s;
  const std::size_t columns = percentiles.size() + 1;  // and max
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
    if (heatmap) {
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
  return s + "\nset yrange [*:*]\n";
}

// The spectrum panel of the window.
std::string SpectrumPanel(const Selection& selection) {
  std::string s = "set xdata\n";
  s += kSpectrumAxes;
  s += "set title 'Latency by percentile over the window " + IsoTime(selection.first, false) +
       " .. " + IsoTime(selection.last, false) + "'\nplot ";
  for (std::size_t c = 0; c < selection.names.size(); ++c) {
    s += std::string(c == 0 ? "" : ", ") + "$P" + std::to_string(c) +
         " using 1:2 with steps lw 1.5 title $NAMES[" + std::to_string(c + 1) + "]";
  }
  return s + "\n";
}

}  // namespace

bool PlotScript(const Dataset& data, const ReportOptions& options, const std::string& ext,
                std::string* script, std::string* error) {
  Selection selection;
  if (!Select(data, options, &selection, error)) return false;
  const std::vector<Stat> percentiles = Percentiles(options);
  if (!Drawable(selection, options, percentiles, error)) return false;
  // Everything read from the logs goes in as data (Gnuplot.h): the names as
  // the lines of $NAMES, and each counter's blocks (CounterBlocks()).
  std::string s;
  AppendDataBlock(s, "$NAMES", selection.names);
  const bool spectrum = AllHistograms(selection);  // the distribution needs histograms
  std::size_t longest = 0;                         // the most points of a series
  for (std::size_t c = 0; c < selection.names.size(); ++c) {
    longest = std::max(longest, CounterBlocks(selection, options, percentiles, c, spectrum, s));
  }
  const std::size_t counters = selection.names.size();
  const std::size_t panels = counters * (options.heatmap ? 2 : 1) + 1 + (spectrum ? 1 : 0);
  s += Layout(selection, options, ext, panels);
  const std::string style =
      longest > kMarkedPoints ? " with lines lw 1.5" : " with linespoints pointsize 0.4 lw 1.5";
  s += TimePanels(counters, percentiles, options.heatmap, style);
  if (spectrum) s += SpectrumPanel(selection);
  s += "unset multiplot\n";
  *script = std::move(s);
  return true;
}
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

}  // namespace zrreport
