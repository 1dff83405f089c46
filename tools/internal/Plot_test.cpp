// Plot: every series in the SVG, the PNG's size and ink, heatmaps, the chosen percentiles in every
// output, windows of one instant and durations of zero drawn by every command that plots, and
// gnuplot's own error.

#include "Plot.h"

#include <gtest/gtest.h>
#if defined(ZRPERF_TEST_HAVE_PNG)
#include <png.h>
#endif

#include <algorithm>
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

// The SVG holds every series, nothing is left on failure, the PNG has the asked size and is not
// blank. --percentiles: the chosen figures in every output.
TEST(ReportPlot, PlotsHeatmapsAndChosenPercentilesHoldEverySeriesAndNothingIsLeftOnFailure) {
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

  // The heatmap: a box per interval and latency row holding samples (the two logs differ by one
  // sample in a row of its own). Series of more than 300 intervals have no point marks; heatmaps
  // of more than 240 intervals merge runs of them into one column.
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

  const zrreport::Dataset longRun =
      Read({WriteLog(dir, "l.hlog", {"op"}, 301, [](Counters& c, int) { Add(c, 0, 10000); })});
  EXPECT_GT(Occurrences(draw(longRun, 300, false), "<use xlink:href='#gpPt"), 300u);
  // Only the marks' definitions are left.
  EXPECT_LT(Occurrences(draw(longRun, 301, false), "<use xlink:href='#gpPt"), 20u);
  // One sample a interval, so one box a column: 240 columns, then 121.
  EXPECT_EQ(Occurrences(draw(longRun, 240, true), "<polygon") -
                Occurrences(draw(longRun, 241, true), "<polygon"),
            240u - 121u);

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
