#include "OtlpPayload.h"

#include <gtest/gtest.h>
#include <zrperf/Version.h>

#include <boost/make_shared.hpp>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <zrperf/tests/support/OtlpReceiver.h>

namespace {

using zrotlp_test::FindMetric;
using zrotlp_test::FindPoint;
using zrotlp_test::TextNode;

constexpr double kBase = 1.0442737824274138;  // 2^(1/16)

// `set` encoded with `encoding` as an exporter of service "svc", pid 4242
// would, and decoded by protoc.
TextNode Encode(CPerfCounters& set, const zrotlp::Encoding& encoding = {}) {
  zrotlp::RequestContext c;
  c.resource = {{"service.name", "svc", false, 0}, {"process.pid", "", true, 4242}};
  c.scopeVersion = ZRPERF_VERSION_STRING;
  c.wallMinusSteadyNs = 1'700'000'000'000'000'000;
  c.exporterStart = std::chrono::steady_clock::now();
  std::string body;
  zrotlp::EncodeRequest(c, set.ListTimeCounters(), set.ListMediaSpeedCounters(), {},
                        c.exporterStart, std::chrono::steady_clock::now(), encoding, &body);
  return zrotlp_test::DecodeRequest(body);
}

using Strings = std::vector<std::string>;

// OTLP index at `scale` of schema-4 bucket `index`, by the OTLP rule
// floor(k4 / 2^(4 - scale)) for k4 = index - 1.
int OtlpIndex(int index, int scale) {
  return static_cast<int>(std::floor((index - 1) / std::ldexp(1.0, 4 - scale)));
}

TEST(OtlpPayload, CountersBecomeHistogramsAndSumsSpanningFromTheirStartWithResourceAndScope) {
  ZRPERF_REQUIRE_PROTOC();
  CPerfCounters set;
  const std::vector<long long> units = {0, 0, 1, 37, 10000, 10000, 10000, 25'000'000, (1LL << 35)};
  for (long long u : units) set.GetCounter("disk0.read")->AddSample(CTimeInterval(u));
  set.GetCounter("idle");
  set.GetMediaSpeedCounter("disk0.write")->AddTransfer(65536, CTimeInterval(2000));
  set.GetMediaSpeedCounter("disk0.write")->AddTransfer(4096, CTimeInterval(1000));
  // Each name is a point of its own, whole: a NUL is "%00"; bytes that are
  // not UTF-8 are encoded as the Prometheus label encodes them.
  set.GetCounter(std::string("nul\0a", 5))->AddSample(CTimeInterval(100));
  set.GetCounter(std::string("nul\0b", 5))->AddSample(CTimeInterval(300000));
  set.GetCounter("nul")->AddSample(CTimeInterval(0));
  set.GetCounter("nul%00a")->AddSample(CTimeInterval(5));  // not the one above
  set.GetCounter(std::string("nul\0\0\xff", 6))->AddSample(CTimeInterval(50));
  set.GetCounter("bad\xff%")->AddSample(CTimeInterval(7));
  const TextNode request = Encode(set);

  const TextNode* metric = FindMetric(request, "zrperf.elapsed");
  ASSERT_NE(metric, nullptr);
  EXPECT_EQ(metric->Text("unit"), "s");
  EXPECT_EQ(metric->Child("exponential_histogram")->Value("aggregation_temporality"),
            "AGGREGATION_TEMPORALITY_CUMULATIVE");
  // disk0.read, idle, the five nul ones and bad%FF%25.
  EXPECT_EQ(metric->Child("exponential_histogram")->All("data_points").size(), 8u);

  const TextNode* p = FindPoint(request, "zrperf.elapsed", "disk0.read");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->Count("count"), units.size());
  double sum = 0;
  for (long long u : units) sum += static_cast<double>(u) / 1e7;
  EXPECT_DOUBLE_EQ(p->Number("sum"), sum);
  EXPECT_DOUBLE_EQ(p->Number("min"), 0.0);
  EXPECT_DOUBLE_EQ(p->Number("max"), static_cast<double>(1LL << 35) / 1e7);
  EXPECT_EQ(p->Value("scale"), "4");
  EXPECT_EQ(p->Count("zero_count"), 2u);
  // Each sample in the OTLP bucket whose range (base^i, base^(i+1)] holds it
  // (that they are the counter's buckets, count for count, the budget test checks).
  const TextNode* positive = p->Child("positive");
  ASSERT_NE(positive, nullptr);
  const int offset = std::stoi(positive->Value("offset"));
  std::vector<unsigned long long> counts;
  for (const std::string& c : positive->Values("bucket_counts")) counts.push_back(std::stoull(c));
  for (long long u : units) {
    if (u == 0) continue;
    const double seconds = static_cast<double>(u) / 1e7;
    int holding = 0;
    for (std::size_t k = 0; k < counts.size(); ++k) {
      const int i = offset + static_cast<int>(k);
      if (counts[k] > 0 && std::pow(kBase, i) < seconds * (1 + 1e-9) &&
          seconds <= std::pow(kBase, i + 1) * (1 + 1e-9)) {
        ++holding;
      }
    }
    EXPECT_EQ(holding, 1) << u << " units";
  }

  // A counter without samples: a point of count 0, without extremes or buckets.
  const TextNode* idle = FindPoint(request, "zrperf.elapsed", "idle");
  ASSERT_NE(idle, nullptr);
  EXPECT_EQ(idle->Count("count"), 0u);
  EXPECT_FALSE(idle->Has("min"));
  EXPECT_FALSE(idle->Has("max"));
  EXPECT_EQ(idle->Child("positive"), nullptr);

  const std::pair<const char*, double> nuls[] = {{"nul", 0.0},
                                                 {"nul%00a", 1e-5},
                                                 {"nul%00b", 0.03},
                                                 {"nul%2500a", 5e-7},
                                                 {"nul%00%00%FF", 5e-6}};
  for (const auto& [label, max] : nuls) {
    const TextNode* nul = FindPoint(request, "zrperf.elapsed", label);
    ASSERT_NE(nul, nullptr) << label;
    EXPECT_EQ(nul->Count("count"), 1u) << label;
    EXPECT_DOUBLE_EQ(nul->Number("max"), max) << label;
  }
  EXPECT_NE(FindPoint(request, "zrperf.elapsed", "bad%FF%25"), nullptr);

  const TextNode* write = FindPoint(request, "zrperf.transferred", "disk0.write");
  ASSERT_NE(write, nullptr);
  EXPECT_EQ(write->Count("as_int"), 69632u);
  EXPECT_EQ(FindPoint(request, "zrperf.transfers", "disk0.write")->Count("as_int"), 2u);
  EXPECT_DOUBLE_EQ(FindPoint(request, "zrperf.transfer", "disk0.write")->Number("as_double"), 3e-4);
  for (const char* name :
       {"zrperf.transferred", "zrperf.transfers", "zrperf.transfer", "zrperf.otlp.pushes"}) {
    const TextNode* sum = FindMetric(request, name)->Child("sum");
    ASSERT_NE(sum, nullptr) << name;
    EXPECT_EQ(sum->Value("is_monotonic"), "true") << name;
    EXPECT_EQ(sum->Value("aggregation_temporality"), "AGGREGATION_TEMPORALITY_CUMULATIVE");
  }
  EXPECT_EQ(FindMetric(request, "zrperf.transferred")->Text("unit"), "By");

  std::map<std::string, std::string> resource = zrotlp_test::Resource(request);
  EXPECT_EQ(resource["service.name"], "svc");
  EXPECT_EQ(resource["process.pid"], "4242");
  const TextNode* scope = request.Child("resource_metrics")->Child("scope_metrics")->Child("scope");
  EXPECT_EQ(scope->Text("name"), "zrperf");
  EXPECT_EQ(scope->Text("version"), ZRPERF_VERSION_STRING);

  // Points span from the counter's start, which only Reset() moves.
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  set.GetCounter("disk0.read")->AddSample(CTimeInterval(5));
  const TextNode second = Encode(set);
  for (const char* metric : {"zrperf.elapsed", "zrperf.transfers"}) {
    const std::string name = metric[7] == 'e' ? "disk0.read" : "disk0.write";
    const TextNode* p1 = FindPoint(request, metric, name);
    const TextNode* p2 = FindPoint(second, metric, name);
    ASSERT_TRUE(p1 != nullptr && p2 != nullptr) << metric;
    EXPECT_EQ(p1->Value("start_time_unix_nano"), p2->Value("start_time_unix_nano")) << metric;
    EXPECT_LT(p1->Count("time_unix_nano"), p2->Count("time_unix_nano")) << metric;
    EXPECT_LE(p1->Count("start_time_unix_nano"), p1->Count("time_unix_nano")) << metric;
    // The offset of the context applies: a 2023-or-later Unix time.
    EXPECT_GT(p1->Count("start_time_unix_nano"), 1'700'000'000'000'000'000ULL) << metric;
  }
  EXPECT_EQ(FindPoint(second, "zrperf.elapsed", "disk0.read")->Count("count"), units.size() + 1);
  set.Reset();
  const TextNode reset = Encode(set);
  const TextNode* after = FindPoint(reset, "zrperf.elapsed", "disk0.read");
  EXPECT_GT(after->Count("start_time_unix_nano"),
            FindPoint(second, "zrperf.elapsed", "disk0.read")->Count("time_unix_nano"));
  EXPECT_EQ(after->Count("count"), 0u);
}

TEST(OtlpPayload, EachPointTakesTheLargestScaleWithinTheBudgetEachBucketTheExactSumItCovers) {
  ZRPERF_REQUIRE_PROTOC();
  CPerfCounters set;
  // From 100 ns past the last bucket (2^13 s), one each side of 1 s (two
  // buckets at every scale), one bucket.
  for (long long u = 1; u < (1LL << 37); u += u / 5 + 1) {
    set.GetCounter("wide")->AddSample(CTimeInterval(u));
  }
  set.GetCounter("straddle")->AddSample(CTimeInterval(9'000'000));
  set.GetCounter("straddle")->AddSample(CTimeInterval(11'000'000));
  for (int i = 0; i < 3; ++i) set.GetCounter("one")->AddSample(CTimeInterval(12345));
  std::set<int> scales;
  for (std::size_t budget : {0, 1, 2, 3, 4, 6, 10, 20, 40, 80, 160, 1000}) {
    const TextNode request = Encode(set, {false, budget});
    for (const auto& entry : set.ListTimeCounters()) {
      const std::string at = entry.first + " within " + std::to_string(budget);
      const TextNode* p = FindPoint(request, "zrperf.elapsed", entry.first);
      ASSERT_NE(p, nullptr) << at;
      const int scale = std::atoi(p->Value("scale").c_str());  // protoc leaves 0 out
      const CTimeCounterSnapshot snap = entry.second->GetSnapshot();
      const std::vector<CTimeCounterSnapshot::Bucket>& buckets = snap.GetBuckets();
      std::map<int, unsigned long long> expected;
      for (const CTimeCounterSnapshot::Bucket& b : buckets) {
        expected[OtlpIndex(b.index, scale)] += b.count;
      }
      std::vector<std::string> dense;  // from the lowest to the highest non-empty bucket
      const int low = expected.empty() ? 0 : expected.begin()->first;
      const int high = expected.empty() ? -1 : expected.rbegin()->first;
      for (int k = low; k <= high; ++k) dense.push_back(std::to_string(expected[k]));
      const TextNode* positive = p->Child("positive");
      EXPECT_EQ(positive != nullptr ? positive->Values("bucket_counts") : Strings(), dense)
          << at << " at scale " << scale;
      EXPECT_EQ(positive != nullptr ? std::atoi(positive->Value("offset").c_str()) : 0, low) << at;
      if (budget == 0 || buckets.empty()) {
        EXPECT_EQ(scale, 4) << at;
        continue;
      }
      scales.insert(scale);
      EXPECT_LE(dense.size(), scale > -10 ? budget : 2) << at;
      if (scale < 4) {  // not lowered further than needed: one scale up it would not fit
        const int up = scale + 1;
        EXPECT_GT(OtlpIndex(buckets.back().index, up) - OtlpIndex(buckets.front().index, up) + 1,
                  static_cast<int>(budget))
            << at << " at scale " << scale;
      }
    }
  }
  // Below -4 the only boundary within 100 ns to 2^13 s is 1 s, so -5 fits
  // whatever -10 fits: -6 to -9 are never the largest that fits, and -10
  // is reached only by points that fit nowhere (a budget of 1).
  EXPECT_EQ(scales, (std::set<int>{-10, -5, -4, -3, -2, -1, 0, 1, 2, 3, 4}));
}

}  // namespace
