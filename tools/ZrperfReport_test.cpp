// The histogram log read back by zrperf-report: exact merges, windows,
// rotation, torn and corrupt input, names, hosts, plots.

#include <gtest/gtest.h>
#if defined(ZRPERF_TEST_HAVE_PNG)
#include <png.h>
#endif
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <zrperf/perf/HistogramLog.h>
#include <zrperf/tests/support/TempDir.h>
#include <zrperf/tools/internal/ReportCommands.h>
#include <zrperf/tools/internal/ReportInput.h>

namespace {

using zrperf_test::ReadFile;
using zrperf_test::TempDir;
using zrperf_test::WriteFile;
using Counters = CHistogramLog::CounterList;

constexpr double kT0 = 1765000000.0;  // the first pass's Unix time

// Durations from 0 to about 10 s, spread evenly over the logarithm, so that
// every decade's buckets fill.
std::vector<long long> Samples(unsigned seed, int n) {
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> exponent(0.0, 8.0);
  std::vector<long long> out;
  for (int i = 0; i < n; ++i) {
    out.push_back(i % 97 == 0 ? 0 : static_cast<long long>(std::pow(10.0, exponent(random))));
  }
  return out;
}

// Feeds `samples` to both counters.
void Feed(CTimeCounter& logged, CTimeCounter& reference, const std::vector<long long>& samples) {
  for (long long s : samples) {
    logged.AddSample(CTimeInterval(s));
    reference.AddSample(CTimeInterval(s));
  }
}

zrreport::Dataset Read(const std::vector<std::string>& paths) {
  zrreport::Dataset data;
  std::string error;
  EXPECT_TRUE(zrreport::ReadInputs(paths, &data, &error)) << error;
  return data;
}

CTimeCounterSnapshot MergeAll(const zrreport::Dataset& data, const std::string& name,
                              double after = -1, double upTo = 1e18) {
  CTimeCounterSnapshot merged;
  for (const zrreport::Interval& i : data.intervals) {
    if (i.name == name && i.end > after && i.end <= upTo) merged.Merge(i.Snapshot());
  }
  return merged;
}

void ExpectSameHistogram(const CTimeCounterSnapshot& merged, const CTimeCounterSnapshot& ref) {
  EXPECT_EQ(merged.GetCount(), ref.GetCount());
  EXPECT_EQ(merged.GetTotal().Get100ns(), ref.GetTotal().Get100ns());
  EXPECT_EQ(merged.GetZeroCount(), ref.GetZeroCount());
  ASSERT_EQ(merged.GetBuckets().size(), ref.GetBuckets().size());
  for (std::size_t b = 0; b < ref.GetBuckets().size(); ++b) {
    const auto& m = merged.GetBuckets()[b];
    const auto& r = ref.GetBuckets()[b];
    EXPECT_EQ(m.index, r.index);
    EXPECT_EQ(m.count, r.count) << "bucket " << r.index;
    EXPECT_EQ(m.low, r.low);
    EXPECT_EQ(m.high, r.high);
  }
}

std::string Micros(CTimeInterval value) {
  const long long units = value.Get100ns();
  return std::to_string(units / 10) + "." + std::to_string(units % 10);
}

int RunTool(const std::string& arguments) {
  const int status = std::system(
      (std::string(ZRPERF_REPORT_BINARY) + " " + arguments + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---- Exact figures --------------------------------------------------------------

TEST(ReportMerge, WindowOfAllIntervalsEqualsOneCounterBucketForBucket) {
  TempDir dir("report");
  std::string error;
  auto log = CHistogramLog::Open(dir.Path("a.hlog"), {}, &error);
  ASSERT_TRUE(log) << error;
  auto logged = boost::shared_ptr<CTimeCounter>(new CTimeCounter());
  CTimeCounter reference;
  for (int pass = 0; pass < 12; ++pass) {
    Feed(*logged, reference, Samples(pass, 500 + 300 * pass));
    ASSERT_TRUE(log->WritePass(Counters{{"read", logged}}, kT0 + 60 * pass));
  }
  const zrreport::Dataset data = Read({dir.Path("a.hlog")});
  ASSERT_EQ(data.intervals.size(), 12u);
  const CTimeCounterSnapshot merged = MergeAll(data, "read");
  const CTimeCounterSnapshot ref = reference.GetSnapshot();
  ExpectSameHistogram(merged, ref);
  EXPECT_EQ(merged.GetMin().Get100ns(), ref.GetMin().Get100ns());
  EXPECT_EQ(merged.GetMax().Get100ns(), ref.GetMax().Get100ns());
  for (double f : {0.0, 0.001, 0.1, 0.5, 0.9, 0.99, 0.999, 0.9999, 1.0}) {
    EXPECT_EQ(merged.GetPercentile(f).Get100ns(), ref.GetPercentile(f).Get100ns()) << f;
  }
}

// A window takes the intervals that end in it, whole; the extremes of a later
// interval are bounds, so percentiles are compared away from both ends.
TEST(ReportMerge, WindowTakesTheIntervalsEndingInIt) {
  TempDir dir("report");
  std::string error;
  auto log = CHistogramLog::Open(dir.Path("w.hlog"), {}, &error);
  auto logged = boost::shared_ptr<CTimeCounter>(new CTimeCounter());
  CTimeCounter outside, inside;
  for (int pass = 0; pass < 10; ++pass) {
    Feed(*logged, pass >= 3 && pass <= 6 ? inside : outside, Samples(100 + pass, 2000));
    ASSERT_TRUE(log->WritePass(Counters{{"op", logged}}, kT0 + 60 * pass));
  }
  const zrreport::Dataset data = Read({dir.Path("w.hlog")});
  // (kT0+150, kT0+360] holds the ends of passes 3..6; its edges cut intervals 2 and 6.
  const CTimeCounterSnapshot window = MergeAll(data, "op", kT0 + 150, kT0 + 360);
  const CTimeCounterSnapshot ref = inside.GetSnapshot();
  ExpectSameHistogram(window, ref);
  for (double f : {0.25, 0.5, 0.9, 0.99}) {
    EXPECT_EQ(window.GetPercentile(f).Get100ns(), ref.GetPercentile(f).Get100ns()) << f;
  }

  zrreport::ReportOptions options;
  options.from = std::to_string(static_cast<long long>(kT0 + 150));
  options.to = std::to_string(static_cast<long long>(kT0 + 360));
  options.json = true;
  std::string text;
  ASSERT_TRUE(zrreport::Summary(data, options, &text, &error)) << error;
  EXPECT_NE(text.find("\"samples\": " + std::to_string(ref.GetCount())), std::string::npos) << text;
  EXPECT_NE(text.find("\"p99_us\": " + Micros(ref.GetPercentile(0.99))), std::string::npos);
  options.from = "-0s";  // after the last interval: an empty window
  options.to.clear();
  EXPECT_FALSE(zrreport::Summary(data, options, &text, &error));
  EXPECT_NE(error.find("no interval"), std::string::npos) << error;
}

TEST(ReportMerge, TwoHostsMergeIntoOneRowOrSplitByHost) {
  TempDir dir("report");
  std::string error;
  CTimeCounter reference;
  for (const char* file : {"h1.hlog", "h2.hlog"}) {
    auto log = CHistogramLog::Open(dir.Path(file), {}, &error);
    auto counter = boost::shared_ptr<CTimeCounter>(new CTimeCounter());
    for (int pass = 0; pass < 3; ++pass) {
      Feed(*counter, reference, Samples(file[1] * 10 + pass, 1000));
      ASSERT_TRUE(log->WritePass(Counters{{"svc.read", counter}}, kT0 + 60 * pass));
    }
  }
  // The second file as another host wrote it.
  std::string other = ReadFile(dir.Path("h2.hlog"));
  const std::size_t host = other.find("#host ");
  other.replace(host, other.find('\n', host) - host, "#host other-host");
  WriteFile(dir.Path("h2.hlog"), other);

  const zrreport::Dataset data = Read({dir.Path("h1.hlog"), dir.Path("h2.hlog")});
  ExpectSameHistogram(MergeAll(data, "svc.read"), reference.GetSnapshot());
  zrreport::ReportOptions options;
  options.json = true;
  std::string text;
  ASSERT_TRUE(zrreport::Summary(data, options, &text, &error)) << error;
  EXPECT_NE(text.find("\"samples\": 6000"), std::string::npos) << text;
  EXPECT_NE(text.find("\"p99_9_us\": " + Micros(reference.GetSnapshot().GetPercentile(0.999))),
            std::string::npos);
  options.byHost = true;
  ASSERT_TRUE(zrreport::Summary(data, options, &text, &error)) << error;
  EXPECT_NE(text.find("\"host\": \"other-host\", \"samples\": 3000"), std::string::npos) << text;
}

// ---- Files ------------------------------------------------------------------------

TEST(ReportFiles, RotatedFilesAreReadOldestFirstAndWhole) {
  TempDir dir("report");
  std::string error;
  HistogramLogOptions options;
  options.maxBytes = 4096;
  options.keptFiles = 50;
  auto log = CHistogramLog::Open(dir.Path("r.hlog"), options, &error);
  auto counter = boost::shared_ptr<CTimeCounter>(new CTimeCounter());
  CTimeCounter reference;
  for (int pass = 0; pass < 40; ++pass) {
    Feed(*counter, reference, Samples(300 + pass, 400));
    ASSERT_TRUE(log->WritePass(Counters{{"rot", counter}}, kT0 + pass));
  }
  ASSERT_TRUE(std::filesystem::exists(dir.Path("r.3.hlog")));
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_EQ(ReadFile(entry.path().string()).rfind("#zrperf-histogram-log 1\n", 0), 0u)
        << entry.path();
  }
  const zrreport::Dataset data = Read({dir.Path("r.hlog")});
  ASSERT_EQ(data.intervals.size(), 40u);
  for (int pass = 0; pass < 40; ++pass) EXPECT_EQ(data.intervals[pass].end, kT0 + pass);
  ExpectSameHistogram(MergeAll(data, "rot"), reference.GetSnapshot());
}

TEST(ReportFiles, TornLastLineIsSkippedAndReportedCorruptLineFails) {
  TempDir dir("report");
  std::string error;
  auto log = CHistogramLog::Open(dir.Path("t.hlog"), {}, &error);
  auto counter = boost::shared_ptr<CTimeCounter>(new CTimeCounter());
  for (int pass = 0; pass < 3; ++pass) {
    counter->AddSample(CTimeInterval(1000 + pass));
    log->WritePass(Counters{{"c", counter}}, kT0 + pass);
  }
  log.reset();
  const std::string whole = ReadFile(dir.Path("t.hlog"));
  // Killed inside the last line's write: any cut leaves two whole intervals.
  const std::size_t lastLine = whole.rfind('\n', whole.size() - 2) + 1;
  for (std::size_t cut = lastLine + 1; cut < whole.size(); cut += 3) {
    WriteFile(dir.Path("t.hlog"), whole.substr(0, cut));
    const zrreport::Dataset data = Read({dir.Path("t.hlog")});
    EXPECT_EQ(data.intervals.size(), 2u) << cut;
    ASSERT_EQ(data.warnings.size(), 1u) << cut;
    EXPECT_NE(data.warnings[0].find("torn"), std::string::npos);
  }
  // A torn line followed by a restart's header is skipped too; a new writer
  // starts its header on a line of its own.
  WriteFile(dir.Path("t.hlog"), whole.substr(0, lastLine + 10));
  CHistogramLog::Open(dir.Path("t.hlog"), {}, &error)
      ->WritePass(Counters{{"c", counter}}, kT0 + 10);
  zrreport::Dataset data = Read({dir.Path("t.hlog")});
  EXPECT_EQ(data.intervals.size(), 3u);
  EXPECT_EQ(data.warnings.size(), 1u);
  EXPECT_EQ(data.sources.size(), 2u);

  std::string corrupt = whole;
  corrupt[lastLine - 5] = '!';  // inside the second interval's bucket field
  EXPECT_FALSE(zrreport::ReadText("x.hlog", corrupt, &data, &error));
  EXPECT_NE(error.find("x.hlog:"), std::string::npos);
  EXPECT_NE(error.find("corrupt line"), std::string::npos) << error;
}

TEST(ReportFiles, NamesWithControlCharactersAndNulsStayDistinctAndExact) {
  TempDir dir("report");
  std::string error;
  auto log = CHistogramLog::Open(dir.Path("n.hlog"), {}, &error);
  const std::string names[] = {std::string("a\0x", 3), std::string("a\0y", 3), "line\nfeed\ttab\\n",
                               "sp ace,\"q\""};
  Counters counters;
  for (const std::string& name : names) {
    counters.emplace_back(name, boost::shared_ptr<CTimeCounter>(new CTimeCounter()));
    counters.back().second->AddSample(CTimeInterval(static_cast<long long>(name.size())));
  }
  ASSERT_TRUE(log->WritePass(counters, kT0));
  const std::string text = ReadFile(dir.Path("n.hlog"));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 7 + 4);  // header and one line each
  const zrreport::Dataset data = Read({dir.Path("n.hlog")});
  ASSERT_EQ(data.intervals.size(), 4u);
  for (const std::string& name : names) {
    EXPECT_EQ(MergeAll(data, name).GetCount(), 1u) << name;
  }
  zrreport::ReportOptions options;
  options.counters = {"a\\\\x00*"};  // glob on the escaped form
  std::string table;
  ASSERT_TRUE(zrreport::Csv(data, options, &table, &error)) << error;
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 3);
}

TEST(ReportFiles, ForeignVersionLayoutAndSelectionFaultsExitNonZeroWritingNothing) {
  TempDir dir("report");
  std::string error;
  auto log = CHistogramLog::Open(dir.Path("ok.hlog"), {}, &error);
  auto counter = boost::shared_ptr<CTimeCounter>(new CTimeCounter());
  counter->AddSample(CTimeInterval(5));
  log->WritePass(Counters{{"c", counter}}, kT0);
  const std::string good = ReadFile(dir.Path("ok.hlog"));
  std::string v2 = good;
  v2.replace(v2.find(" 1\n"), 3, " 2\n");
  std::string layout = good;
  layout.replace(layout.find("schema=4"), 8, "schema=3");
  dir.Write("foreign.txt", "hello\nworld\n");
  dir.Write("v2.hlog", v2);
  dir.Write("layout.hlog", layout);
  dir.Write("empty.hlog", "");

  const std::string out = dir.Path("out.csv");
  for (const std::string& args :
       {"summary " + dir.Path("foreign.txt"), "csv " + dir.Path("v2.hlog"),
        "csv " + dir.Path("layout.hlog"), "summary " + dir.Path("empty.hlog"),
        "summary " + dir.Path("missing.hlog"), "csv --counter nosuch* " + dir.Path("ok.hlog"),
        "csv --from " + std::to_string(static_cast<long long>(kT0 + 1)) + " " + dir.Path("ok.hlog"),
        "plot " + dir.Path("ok.hlog")}) {
    EXPECT_EQ(RunTool(args + " -o " + out), args.rfind("plot", 0) == 0 ? 2 : 1) << args;
    EXPECT_FALSE(std::filesystem::exists(out)) << args;
  }
  zrreport::Dataset data;
  EXPECT_FALSE(zrreport::ReadText("v2.hlog", v2, &data, &error));
  EXPECT_NE(error.find("version '2'"), std::string::npos) << error;
  EXPECT_EQ(RunTool("csv -o " + out + " " + dir.Path("ok.hlog")), 0);
  EXPECT_NE(ReadFile(out).find(",c,1,"), std::string::npos);
}

// The ordinary log's records give per-interval rows; a window of them cannot
// be merged.
TEST(ReportFiles, IntervalStatsRecordsGiveRowsButNoMergedWindow) {
  const std::string log =
      "2026-12-07 01:50:00.250 [info] [42:43] [void CPerfCounters::Log():40] Interval Stats: \n"
      "\t\t\t\tdisk.read: seconds=1.00 samples=200 rate=200.00 mean=1.26ms p50=1.21ms "
      "p90=1.66ms p99=2.30ms p99.9=4.10ms max=12.50ms\n"
      "\t\t\t\tx: y: seconds=2.00 samples=3 rate=1.50 mean=700ns p50=700ns p90=700ns "
      "p99=700ns p99.9=700ns max=800ns\n"
      "2026-12-07 01:50:01.250 [info] [42:43] [void Other():1] unrelated\n";
  zrreport::Dataset data;
  std::string error;
  ASSERT_TRUE(zrreport::ReadText("app.log", log, &data, &error)) << error;
  ASSERT_EQ(data.intervals.size(), 2u);
  zrreport::ReportOptions options;
  std::string text;
  ASSERT_TRUE(zrreport::Csv(data, options, &text, &error)) << error;
  EXPECT_NE(text.find(",42,disk.read,200,200.000,1260.0,1210.0,1660.0,2300.0,4100.0,12500.0"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(",x: y,3,1.500,0.7,"), std::string::npos) << text;
  EXPECT_FALSE(zrreport::Summary(data, options, &text, &error));
  EXPECT_NE(error.find("cannot be merged exactly"), std::string::npos) << error;
}

// ---- Plots -------------------------------------------------------------------------

zrreport::Dataset PlotData(const TempDir& dir) {
  std::string error;
  auto log = CHistogramLog::Open(dir.Path("p.hlog"), {}, &error);
  Counters counters = {{"disk.read", boost::shared_ptr<CTimeCounter>(new CTimeCounter())},
                       {"disk.write", boost::shared_ptr<CTimeCounter>(new CTimeCounter())}};
  CTimeCounter ignored;
  for (int pass = 0; pass < 20; ++pass) {
    for (auto& c : counters) Feed(*c.second, ignored, Samples(pass * 7 + c.first.size(), 3000));
    log->WritePass(counters, kT0 + 60 * pass);
  }
  return Read({dir.Path("p.hlog")});
}

TEST(ReportPlot, PngHasTheAskedSizeAndIsNotBlank) {
#if !defined(ZRPERF_TEST_HAVE_PNG)
  GTEST_SKIP() << "built without libpng to read the plot back";
#else
  TempDir dir("report");
  const zrreport::Dataset data = PlotData(dir);
  zrreport::ReportOptions options;
  options.width = 900;
  options.height = 1100;
  std::string error;
  ASSERT_TRUE(zrreport::Plot(data, options, dir.Path("p.png"), &error)) << error;

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, dir.Path("p.png").c_str()));
  EXPECT_EQ(image.width, 900u);
  EXPECT_EQ(image.height, 1100u);
  image.format = PNG_FORMAT_GRAY;
  std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
  double sum = 0, squares = 0;
  std::size_t dark = 0;
  for (unsigned char p : pixels) {
    sum += p;
    squares += static_cast<double>(p) * p;
    dark += p < 128 ? 1 : 0;
  }
  const double n = static_cast<double>(pixels.size());
  EXPECT_GT(squares / n - (sum / n) * (sum / n), 100.0);  // far from one flat colour
  EXPECT_GT(dark, pixels.size() / 200);                   // lines and text drawn
#endif
}

TEST(ReportPlot, SvgHoldsEverySeriesAndNothingIsLeftOnFailure) {
  TempDir dir("report");
  const zrreport::Dataset data = PlotData(dir);
  zrreport::ReportOptions options;
  options.counters = {"disk.*"};
  std::string error;
  ASSERT_TRUE(zrreport::Plot(data, options, dir.Path("p.svg"), &error)) << error;
  const std::string svg = ReadFile(dir.Path("p.svg"));
  EXPECT_NE(svg.find("<svg"), std::string::npos);
  EXPECT_NE(svg.find("width=\"1000\""), std::string::npos);
  for (const char* text :
       {"disk.read", "disk.write", "p99.9", "Samples per second", "Latency by percentile"}) {
    EXPECT_NE(svg.find(text), std::string::npos) << text;
  }
  EXPECT_GT(std::count(svg.begin(), svg.end(), 'M'), 200);  // path moves: the series' points

  options.counters = {"nothing"};
  EXPECT_FALSE(zrreport::Plot(data, options, dir.Path("q.svg"), &error));
  EXPECT_FALSE(zrreport::Plot(data, {}, dir.Path("q.gif"), &error));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            2);  // p.hlog and p.svg only
}

}  // namespace
