#include "PrometheusCollector.h"

#include <gtest/gtest.h>
#include <prometheus/metric_family.h>
#include <sys/wait.h>
#include <zrperf/Version.h>
#include <boost/make_shared.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <zrperf/tests/support/TempDir.h>

namespace {

using namespace std::string_literals;
using Families = std::vector<prometheus::MetricFamily>;

const prometheus::MetricFamily* FindFamily(const Families& families, const std::string& name) {
  for (const auto& f : families) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

// The series of `family` labelled counter=`label`.
const prometheus::ClientMetric* FindSeries(const Families& families, const std::string& family,
                                           const std::string& label) {
  const prometheus::MetricFamily* f = FindFamily(families, family);
  if (f == nullptr) return nullptr;
  for (const auto& m : f->metric) {
    if (m.label.size() == 1 && m.label[0].name == "counter" && m.label[0].value == label) return &m;
  }
  return nullptr;
}

TEST(PrometheusCollector, BucketsCountExactlyTheSamplesAtMostTheirBoundaryAtEveryDensity) {
  const CPrometheusCollector::Options layouts[] = {
      {1, -23, 12}, {2, -20, 7}, {4, -10, 0}, {8, -15, -5}, {16, -23, 12}};
  for (const CPrometheusCollector::Options& layout : layouts) {
    const unsigned density = layout.bucketsPerPower;
    SCOPED_TRACE(::testing::Message() << "density " << density << " powers " << layout.firstPower
                                      << ".." << layout.lastPower);
    auto counters = boost::make_shared<CPerfCounters>();
    CPrometheusCollector collector(counters, layout);
    const std::vector<std::uint64_t>& bounds = collector.BoundUnits();
    // The documented boundaries: 2^(j/d) s, which in whole units is the
    // largest t with t * 100 ns <= 2^(j/d) s.
    ASSERT_EQ(bounds.size(),
              density * static_cast<unsigned>(layout.lastPower - layout.firstPower) + 1);
    for (std::size_t i = 0; i < bounds.size(); ++i) {
      const long double le = std::exp2(static_cast<long double>(layout.firstPower) +
                                       static_cast<long double>(i) / density);
      ASSERT_LE(static_cast<long double>(bounds[i]) / 1e7L, le) << i;
      ASSERT_GT(static_cast<long double>(bounds[i] + 1) / 1e7L, le) << i;
    }

    // Samples on, just below and just above every boundary, and far beyond
    // the last one.
    std::vector<std::uint64_t> samples{0, std::uint64_t{1} << 40};
    for (std::uint64_t b : bounds) {
      for (std::uint64_t s : {b - 1, b, b + 1}) samples.push_back(s);
    }
    boost::shared_ptr<CTimeCounter>& counter = counters->GetCounter("disk0.read");
    std::uint64_t sum = 0;
    for (std::uint64_t s : samples) {
      counter->AddSample(CTimeInterval(static_cast<long long>(s)));
      sum += s;
    }

    const Families families = collector.Collect();
    const prometheus::ClientMetric* h =
        FindSeries(families, "zrperf_elapsed_seconds", "disk0.read");
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(h->histogram.bucket.size(), bounds.size() + 1);
    for (std::size_t i = 0; i < bounds.size(); ++i) {
      const auto atMost = static_cast<std::uint64_t>(std::count_if(
          samples.begin(), samples.end(), [&](std::uint64_t s) { return s <= bounds[i]; }));
      EXPECT_EQ(h->histogram.bucket[i].cumulative_count, atMost) << "le " << bounds[i] << " units";
      EXPECT_DOUBLE_EQ(h->histogram.bucket[i].upper_bound,
                       std::exp2(layout.firstPower + static_cast<double>(i) / density))
          << "le " << i;
    }
    EXPECT_EQ(h->histogram.bucket.back().upper_bound, std::numeric_limits<double>::infinity());
    EXPECT_EQ(h->histogram.bucket.back().cumulative_count, samples.size());
    // _count and _sum are the counter's own figures.
    EXPECT_EQ(h->histogram.sample_count, samples.size());
    EXPECT_DOUBLE_EQ(h->histogram.sample_sum, static_cast<double>(sum) / 1e7);
    EXPECT_DOUBLE_EQ(FindSeries(families, "zrperf_elapsed_min_seconds", "disk0.read")->gauge.value,
                     0.0);
    EXPECT_DOUBLE_EQ(FindSeries(families, "zrperf_elapsed_max_seconds", "disk0.read")->gauge.value,
                     static_cast<double>(std::uint64_t{1} << 40) / 1e7);
  }
}

// Also odd names, which must give text that promtool accepts and stay distinct.
TEST(PrometheusCollector, FixedBoundariesEveryFamilyAndOddNamesThatPromtoolAccepts) {
  auto counters = boost::make_shared<CPerfCounters>();
  CPrometheusCollector collector(counters);
  const std::string names[] = {"say \"hi\"",    "back\\slash", "line\nfeed", "100%",
                               "bad \xFF\xC3(", "nul"s,        "nul\0tail"s, "caf\xC3\xA9"};
  for (const std::string& name : names) {
    counters->GetCounter(name)->AddSample(CTimeInterval(42));
    counters->GetMediaSpeedCounter(name)->AddTransfer(10, CTimeInterval(5));
  }
  counters->GetCounter("idle");
  boost::shared_ptr<CTimeCounter>& busy = counters->GetCounter("busy");
  for (long long i = 0; i < 5000; ++i) busy->AddSample(CTimeInterval(100 + i * i));
  boost::shared_ptr<CMediaSpeedCounter>& speed = counters->GetMediaSpeedCounter("disk0.write");
  speed->AddTransfer(65536, CTimeInterval(1500));
  speed->AddTransfer(1000, CTimeInterval(2500));

  const Families families = collector.Collect();
  // Defaults: one boundary per power of two from 2^-20 s to 2^7 s.
  ASSERT_EQ(collector.BoundUnits().size(), 28u);
  const prometheus::ClientMetric* idle = FindSeries(families, "zrperf_elapsed_seconds", "idle");
  const prometheus::ClientMetric* full = FindSeries(families, "zrperf_elapsed_seconds", "busy");
  ASSERT_TRUE(idle != nullptr && full != nullptr);
  ASSERT_EQ(idle->histogram.bucket.size(), 29u);
  ASSERT_EQ(full->histogram.bucket.size(), 29u);
  for (std::size_t i = 0; i < 29; ++i) {
    EXPECT_EQ(idle->histogram.bucket[i].upper_bound, full->histogram.bucket[i].upper_bound);
    EXPECT_EQ(idle->histogram.bucket[i].cumulative_count, 0u);
  }
  EXPECT_EQ(idle->histogram.sample_count, 0u);
  EXPECT_EQ(FindSeries(families, "zrperf_elapsed_max_seconds", "idle")->gauge.value, 0.0);
  EXPECT_EQ(full->histogram.sample_count, 5000u);
  EXPECT_DOUBLE_EQ(full->histogram.sample_sum, busy->GetTotal().Get100ns() / 1e7);
  EXPECT_DOUBLE_EQ(FindSeries(families, "zrperf_elapsed_min_seconds", "busy")->gauge.value, 1e-5);
  EXPECT_DOUBLE_EQ(FindSeries(families, "zrperf_elapsed_max_seconds", "busy")->gauge.value,
                   busy->GetMax().Get100ns() / 1e7);

  EXPECT_EQ(FindSeries(families, "zrperf_transferred_bytes_total", "disk0.write")->counter.value,
            66536.0);
  EXPECT_EQ(FindSeries(families, "zrperf_transfers_total", "disk0.write")->counter.value, 2.0);
  EXPECT_DOUBLE_EQ(
      FindSeries(families, "zrperf_transfer_seconds_total", "disk0.write")->counter.value, 4e-4);
  const prometheus::MetricFamily* info = FindFamily(families, "zrperf_build_info");
  ASSERT_TRUE(info != nullptr && info->metric.size() == 1);
  EXPECT_EQ(info->metric[0].label[0].name, "version");
  EXPECT_EQ(info->metric[0].label[0].value, ZRPERF_VERSION_STRING);
  EXPECT_EQ(info->metric[0].gauge.value, 1.0);
  // "nul" and "nul\0tail" are one series holding both samples.
  EXPECT_EQ(FindFamily(families, "zrperf_elapsed_seconds")->metric.size(), 9u);
  EXPECT_EQ(FindSeries(families, "zrperf_elapsed_seconds", "nul")->histogram.sample_count, 2u);
  EXPECT_EQ(FindSeries(families, "zrperf_transfers_total", "nul")->counter.value, 2.0);

  // The `le` texts are the shortest round-trip decimals of 2^(j/d), as
  // Prometheus itself writes them.
  const std::string leText = CPrometheusCollector(counters, {2, -21, 7}).SerializeText();
  for (const char* le : {"9.5367431640625e-07", "6.743495761743046e-07", "0.0009765625",
                         "6.103515625e-05", "0.7071067811865476", "1.4142135623730951", "128"}) {
    EXPECT_NE(leText.find("zrperf_elapsed_seconds_bucket{counter=\"busy\",le=\""s + le + "\"}"),
              std::string::npos)
        << le;
  }

  // Options outside the documented ranges are refused.
  for (CPrometheusCollector::Options bad :
       {CPrometheusCollector::Options{3, -20, 7}, CPrometheusCollector::Options{2, -20, 13},
        CPrometheusCollector::Options{2, -24, 7}, CPrometheusCollector::Options{2, 5, 5}}) {
    EXPECT_FALSE(CPrometheusCollector::CheckOptions(bad));
    EXPECT_THROW(CPrometheusCollector(counters, bad), std::invalid_argument);
  }

  const std::string text = collector.SerializeText();
  for (const char* expected :
       {"counter=\"say \\\"hi\\\"\"", "counter=\"back\\\\slash\"", "counter=\"line%0Afeed\"",
        "counter=\"100%25\"", "counter=\"bad %FF%C3(\"", "counter=\"caf\xC3\xA9\""}) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected;
  }

  const char* env = std::getenv("ZRPERF_PROMTOOL");
  const std::string promtool = env != nullptr && *env != '\0' ? env : "/usr/bin/promtool";
  if (!std::filesystem::exists(promtool)) GTEST_SKIP() << promtool << " is not installed";
  zrperf_test::TempDir dir("zrperf-promtool");
  const std::string command = promtool + " check metrics < " + dir.Write("metrics.prom", text) +
                              " > " + dir.Path("out") + " 2>&1";
  const int status = std::system(command.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << zrperf_test::ReadFile(dir.Path("out")) << "\n"
      << text;
}

}  // namespace
