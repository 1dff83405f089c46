// Plot: every series in the SVG, the PNG's size and ink, heatmaps, the chosen percentiles in every
// output, windows of one instant and durations of zero drawn by every command that plots, and
// gnuplot's own error.

#include "Plot.h"

#include <gtest/gtest.h>
#if defined(ZRPERF_TEST_HAVE_PNG)
#include <png.h>
#endif

#include <algorithm>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <zrperf/tests/support/ReportLogs.h>
#include <zrperf/tools/internal/Compare.h>
#include <zrperf/tools/internal/Csv.h>
#include <zrperf/tools/internal/Gnuplot.h>
#include <zrperf/tools/internal/Html.h>
#include <zrperf/tools/internal/Summary.h>

namespace {

using namespace zrreport_test;

// Sets the interval length of every line of the log at `path` to `seconds` (the writer measures
// the real time between its passes; a test's passes are a moment apart, stamped a minute apart).
void SetLengths(const std::string& path, const std::string& seconds) {
  std::istringstream in(ReadFile(path));
  std::string text;
  for (std::string line; std::getline(in, line);) {
    const std::size_t tab = line.find('\t');
    if (line[0] != '#' && tab != std::string::npos)
      line = line.substr(0, tab + 1) + seconds + line.substr(line.find('\t', tab + 1));
    text += line + "\n";
  }
  WriteFile(path, text);
}

// The lines of data block `name` of a gnuplot script, each split at its spaces.
std::vector<std::vector<std::string>> Block(const std::string& script, const std::string& name) {
  const std::size_t from = script.find(name + " << EOD\n") + name.size() + 8;
  std::istringstream in(script.substr(from, script.find("\nEOD\n", from) - from));
  std::vector<std::vector<std::string>> lines;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    lines.emplace_back(std::istream_iterator<std::string>(words),
                       std::istream_iterator<std::string>());
  }
  return lines;
}

// A point per interval of each source: passes that jitter across a second's edge stay two points
// at the rate of each; intervals of hosts that cover one span are one point at their summed rate;
// a time no interval covers breaks the lines and holds no heatmap column.
TEST(ReportPlot, EachIntervalIsAPointAtItsOwnRateAndAGapBreaksTheLines) {
  CTimeCounter counter;
  for (int k = 0; k < 100; ++k) counter.AddSample(CTimeInterval(10000));
  const CTimeCounterSnapshot hundred = counter.GetSnapshot();
  const auto writer = [&](const std::string& host, long pid,
                          const std::vector<std::pair<double, double>>& intervals) {
    std::string text = histlog::HeaderText(host, pid, kT0);
    for (const auto& [end, seconds] : intervals)
      histlog::AppendLine(text, kT0 + end, seconds, "op", hundred);
    return text;
  };
  const auto series = [](const std::string& text, std::vector<std::vector<std::string>>* heat) {
    zrreport::Dataset data;
    std::string error, script;
    EXPECT_TRUE(zrreport::ReadText("x.hlog", text, &data, &error)) << error;
    zrreport::ReportOptions options;
    options.heatmap = true;
    EXPECT_TRUE(zrreport::PlotScript(data, options, ".svg", &script, &error)) << error;
    *heat = Block(script, "$H0");
    return Block(script, "$S0");
  };
  std::vector<std::vector<std::string>> heat;
  // One process whose ends round to the same second (x.51, x+1.495).
  auto s =
      series(writer("h", 1, {{0.51, 1.0}, {1.495, 0.985}, {2.51, 1.015}, {3.49, 0.98}}), &heat);
  ASSERT_EQ(s.size(), 4u);
  const char* ends[] = {"1765000000.510", "1765000001.495", "1765000002.510", "1765000003.490"};
  const double lengths[] = {1.0, 0.985, 1.015, 0.98};
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(s[k][0], ends[k]);
    EXPECT_NEAR(std::stod(s[k].back()), 100 / lengths[k], 1e-3) << k;  // samples per second
  }
  EXPECT_EQ(heat.size(), 4u);  // one latency row, a column per interval

  // Hosts passing together are one point at their summed rate: b a little later than a, d more
  // than half an interval over a's; c, half an interval off, covers another span.
  s = series(writer("a", 1, {{1.0, 1.0}, {2.0, 1.0}}) + writer("b", 2, {{1.02, 1.0}, {2.03, 1.0}}) +
                 writer("c", 3, {{2.5, 1.0}}) + writer("d", 4, {{2.45, 1.0}}),
             &heat);
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0][0], "1765000001.020");
  EXPECT_NEAR(std::stod(s[0].back()), 200, 1e-6);
  EXPECT_EQ(s[1][0], "1765000002.450");
  EXPECT_NEAR(std::stod(s[1].back()), 300, 1e-6);
  EXPECT_EQ(s[2][0], "1765000002.500");
  EXPECT_NEAR(std::stod(s[2].back()), 100, 1e-6);
  ASSERT_EQ(heat.size(), 3u);
  EXPECT_EQ(heat[0].back(), "200");

  // "Interval Stats" records hold no histogram to merge: two of one span stay two points.
  zrreport::Dataset records;
  std::string error, script;
  for (const char* file : {"a.log", "b.log"})
    ASSERT_TRUE(
        zrreport::ReadText(file, Record("op: seconds=1.00 samples=2 rate=2.00"), &records, &error));
  ASSERT_TRUE(zrreport::PlotScript(records, {}, ".svg", &script, &error)) << error;
  EXPECT_EQ(Block(script, "$S0").size(), 2u);

  // Two runs six seconds apart, and a pass 1.6 of its interval after the one before: a break (an
  // empty line) before each, and no heatmap column over the time between; a pass ending 1.5 of
  // its interval after the one before is no gap.
  s = series(
      writer("h", 1, {{1, 1}, {2, 1}, {3.5, 1}, {5.1, 1}}) + writer("h", 2, {{12, 1}, {13, 1}}),
      &heat);
  ASSERT_EQ(s.size(), 8u);
  for (std::size_t k = 0; k < s.size(); ++k) EXPECT_EQ(s[k].empty(), k == 3 || k == 5) << k;
  ASSERT_EQ(heat.size(), 6u);
  for (const auto& box : heat) {  // x y xlow xhigh ...: no box spans 3.5 .. 4.1 or 5.1 .. 11
    for (const double t : {3.8, 8.0})
      EXPECT_FALSE(std::stod(box[2]) < kT0 + t && std::stod(box[3]) > kT0 + t) << box[2];
  }
}

// The SVG holds every series, nothing is left on failure, the PNG has the asked size and is not
// blank. --percentiles: the chosen figures in every output.
TEST(ReportPlot, PlotsAndChosenPercentilesHoldEverySeriesAndNothingIsLeftOnFailure) {
  TempDir dir("report");
  const zrreport::Dataset data = Read({PlotDataLog(dir)});
  zrreport::ReportOptions options;
  options.counters = {"disk.*"};
  std::string error;
  ASSERT_TRUE(zrreport::Plot(data, options, dir.Path("p.svg"), &error)) << error;
  const std::string svg = ReadFile(dir.Path("p.svg"));
  for (const char* text : {"<svg", "width=\"1000\"", "disk.read", "disk.write", "p99.9",
                           "Samples per second", "Latency by percentile"})
    EXPECT_TRUE(Has(svg, text));
  EXPECT_GT(std::count(svg.begin(), svg.end(), 'M'), 200);  // path moves: the series' points

  options.counters = {"nothing"};
  EXPECT_FALSE(zrreport::Plot(data, options, dir.Path("q.svg"), &error));
  EXPECT_FALSE(zrreport::Plot(data, {}, dir.Path("q.gif"), &error));
  EXPECT_EQ(Entries(dir.path()), 2);  // p.hlog and p.svg only

  // --percentiles: the chosen figures in the summary, its JSON keys, the CSV and the plot.
  const CTimeCounterSnapshot read = MergeAll(data, "disk.read");
  std::string text;
  options = {};
  ASSERT_TRUE(zrreport::ParsePercentiles("99.99,50", &options.percentiles, &error));
  ASSERT_TRUE(zrreport::Summary(data, options, &text, &error)) << error;
  EXPECT_TRUE(Has(text, "       mean        p50     p99.99        max\n"));
  options.json = true;
  ASSERT_TRUE(zrreport::Summary(data, options, &text, &error)) << error;
  EXPECT_TRUE(Has(text, "\"p50_us\": " + Micros(read.GetPercentile(0.5)) + ", \"p99_99_us\": " +
                            Micros(read.GetPercentile(0.9999)) + ", \"max_us\""));
  options.json = false;
  ASSERT_TRUE(zrreport::Csv(data, options, &text, &error)) << error;
  EXPECT_EQ(
      text.substr(0, text.find('\n')),
      "end,end_unix,interval_s,host,pid,counter,samples,rate,mean_us,p50_us,p99_99_us,max_us");
  ASSERT_TRUE(zrreport::Plot(data, options, dir.Path("p.svg"), &error)) << error;
  EXPECT_TRUE(Has(ReadFile(dir.Path("p.svg")), ">p99.99<"));
  EXPECT_FALSE(Has(ReadFile(dir.Path("p.svg")), ">p90<"));

#if !defined(ZRPERF_TEST_HAVE_PNG)
  GTEST_SKIP() << "built without libpng to read the plot back";
#else
  options.percentiles.clear();
  options.width = 900;
  options.height = 1100;
  ASSERT_TRUE(zrreport::Plot(data, options, dir.Path("p.png"), &error)) << error;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, dir.Path("p.png").c_str()));
  EXPECT_EQ(std::make_pair(image.width, image.height), std::make_pair(900u, 1100u));
  image.format = PNG_FORMAT_GRAY;
  std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
  const std::size_t dark =
      std::count_if(pixels.begin(), pixels.end(), [](int p) { return p < 128; });
  EXPECT_GT(dark, pixels.size() / 200);  // lines and text drawn
  EXPECT_LT(dark, pixels.size() / 2);    // on a light background
#endif
}

// The heatmap: a box per interval and latency row holding samples (the two logs differ by one
// sample in a row of its own). Series of more than 300 intervals have no point marks; heatmaps
// of more than 240 intervals merge runs of them into one column.
TEST(ReportPlot, HeatmapsHoldABoxPerColumnAndRowAndLongSeriesDropTheirMarks) {
  TempDir dir("report");
  const auto draw = [&](const zrreport::Dataset& data, int intervals, bool heatmap) {
    zrreport::ReportOptions options;
    options.to = std::to_string(static_cast<long long>(kT0) + 60 * (intervals - 1));
    options.heatmap = heatmap;
    std::string error;
    EXPECT_TRUE(zrreport::Plot(data, options, dir.Path("h.svg"), &error)) << error;
    return ReadFile(dir.Path("h.svg"));
  };
  std::size_t polygons[2];
  for (int variant = 0; variant < 2; ++variant) {
    // Rows of 10 a decade: 1 ms and 1.1 ms share one; 2 ms and 1.3 ms each have their own.
    const auto feed = [variant](Counters& c, int pass) {
      for (long long units : {10000, 11000, 20000}) Add(c, 0, units);
      if (pass == 1 && variant == 1) Add(c, 0, 13000);
    };
    const std::string log = WriteLog(dir, "h" + std::to_string(variant) + ".hlog", {"op"}, 3, feed);
    const std::string plot = draw(Read({log}), 3, true);
    polygons[variant] = Occurrences(plot, "<polygon");
    EXPECT_TRUE(Has(plot, "<text>Latency heatmap: op</text>"));
  }
  EXPECT_EQ(polygons[1], polygons[0] + 1);

  const std::string longLog =
      WriteLog(dir, "l.hlog", {"op"}, 301, [](Counters& c, int) { Add(c, 0, 10000); });
  SetLengths(longLog, "60.000000");  // passes a minute apart that cover their minute: no gap
  const zrreport::Dataset longRun = Read({longLog});
  EXPECT_GT(Occurrences(draw(longRun, 300, false), "<use xlink:href='#gpPt"), 300u);
  // Only the marks' definitions are left.
  EXPECT_LT(Occurrences(draw(longRun, 301, false), "<use xlink:href='#gpPt"), 20u);
  // One sample a interval, so one box a column: 240 columns, then 121.
  EXPECT_EQ(Occurrences(draw(longRun, 240, true), "<polygon") -
                Occurrences(draw(longRun, 241, true), "<polygon"),
            240u - 121u);
}

// A window of one instant (an interval shorter than the log's microsecond that ends on a second)
// and a counter whose samples all took 0 units are drawn by every command that plots; when gnuplot
// fails, its error names the fault, not a warning written after it.
TEST(ReportPlot, AnIntervalShorterThanHalfAMicrosecondAndDurationsOfZeroAreDrawn) {
  TempDir dir("report");
  std::string text = zrperf::histlog::HeaderText("h", 1, kT0);
  CTimeCounter fast, zero;
  fast.AddSample(CTimeInterval(5));
  zero.AddSample(CTimeInterval(0));
  zrperf::histlog::AppendLine(text, kT0 + 60, 0.0000004, "fast", fast.GetSnapshot());
  zrperf::histlog::AppendLine(text, kT0 + 60, 0.0000004, "zero", zero.GetSnapshot());
  ASSERT_TRUE(Has(text, "\t0.000000\tfast\t"));
  const std::string log = dir.Write("i.hlog", text);
  const zrreport::Dataset data = Read({log});
  const std::vector<std::string> commands[] = {{"plot", "-o", dir.Path("p.svg")},
                                               {"plot", "--heatmap", "-o", dir.Path("p.png")},
                                               {"html", "-o", dir.Path("p.html")},
                                               {"compare", "-o", dir.Path("c.svg"), log}};
  for (const std::vector<std::string>& command : commands) {
    for (const char* counter : {"fast", "zero"}) {
      std::vector<std::string> args = command;
      args.insert(args.end(), {"--counter", counter, log});
      const zrreport::Invocation in = Invoke(args);
      std::string page, error;
      bool held = true;
      const bool drawn = in.command == "plot" ? zrreport::Plot(data, in.options, in.output, &error)
                         : in.command == "html"
                             ? zrreport::Html(data, in.options, in.objectives, &page, &held, &error)
                             : zrreport::Compare(data, data, in.options, in.output, &page, &error);
      EXPECT_TRUE(drawn) << command[0] << " " << counter << ": " << error;
    }
  }
  std::string out, error;
  EXPECT_FALSE(zrreport::RunGnuplotToText("plot nosuch(x)\nprint '  line 2: warning: after it'\n",
                                          &out, &error));
  EXPECT_EQ(error, "gnuplot failed: line 0: undefined function: nosuch");
}

}  // namespace
