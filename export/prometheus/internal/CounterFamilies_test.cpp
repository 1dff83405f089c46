#include "CounterFamilies.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <chrono>
#include <cstdlib>
#include <map>
#include <string>

#include <zrperf/tests/support/RunTogether.h>
#include "ExpositionText.h"
#include "ProtoExposition.h"

namespace {

// What Prometheus checks of a histogram: the count is the zero bucket plus the
// native buckets and equals the +Inf bucket; classic counts never go down.
void ExpectConsistent(const zrprom::Histogram& h, const std::string& label) {
  std::uint64_t native = h.native.zeroCount;
  for (const zrprom::NativeBucket& b : h.native.positive) native += b.count;
  EXPECT_EQ(native, h.count) << label;
  std::uint64_t previous = 0;
  for (const zrprom::ClassicBucket& b : h.buckets) {
    EXPECT_GE(b.cumulativeCount, previous) << label;
    previous = b.cumulativeCount;
  }
  EXPECT_LE(previous, h.count) << label;
}

TEST(CounterFamilies, ClassicAndNativeBucketsDescribeTheSameSamplesWhileRecordingRaces) {
  auto counters = boost::make_shared<CPerfCounters>();
  const std::vector<std::int32_t> bounds = zrprom::ClassicBoundIndices({});
  std::atomic<bool> stop{false};
  zrperf_test::RunTogether(3, [&](int thread) {
    if (thread == 0) {
      std::map<std::string, std::uint64_t> last;  // by series: counts never go back
      for (int i = 0; i < 300; ++i) {
        for (const zrprom::Family& f : zrprom::CollectFamilies(counters.get(), bounds, 0)) {
          if (f.type != zrprom::MetricType::kHistogram) continue;
          for (const zrprom::Metric& m : f.metrics) {
            ExpectConsistent(m.histogram, m.labels[0].value);
            EXPECT_GE(m.histogram.count, last[m.labels[0].value]) << m.labels[0].value;
            last[m.labels[0].value] = m.histogram.count;
          }
        }
      }
      stop = true;
      return;
    }
    // Two recorders; names equal up to a NUL share one series.
    const std::string name = thread == 1 ? std::string("dup\0a", 5) : std::string("dup\0b", 5);
    // At least one round each, however soon the collections end.
    for (std::int64_t i = 0; i == 0 || !stop.load(); ++i) {
      counters->GetCounter(name)->AddSample(CTimeInterval((i * 7919) % 3000000));
      counters->GetCounter("solo" + std::to_string(thread))->AddSample(CTimeInterval(i % 50));
    }
  });
  const std::vector<zrprom::Family> last = zrprom::CollectFamilies(counters.get(), bounds, 0);
  ASSERT_EQ(last[0].name, "zrperf_elapsed_seconds");
  ASSERT_EQ(last[0].metrics.size(), 3u);  // "dup", "solo1", "solo2"
  EXPECT_EQ(last[0].metrics[0].histogram.count,
            counters->GetCounter(std::string("dup\0a", 5))->GetSnapshot().GetCount() +
                counters->GetCounter(std::string("dup\0b", 5))->GetSnapshot().GetCount());
}

// The families are written one series at a time from reused buffers: every
// series must hold its own counters' samples and nothing of the series before
// it, and every format must write what the kept model holds.
TEST(CounterFamilies, EachStreamedSeriesHoldsOnlyItsOwnCounters) {
  auto counters = boost::make_shared<CPerfCounters>();
  for (long long i = 1; i <= 4000; ++i)
    counters->GetCounter("a.busy")->AddSample(CTimeInterval(i * i));
  counters->GetCounter("b.idle");
  counters->GetCounter(std::string("c\0x", 3))->AddSample(CTimeInterval(30));
  counters->GetCounter(std::string("c\0y", 3))->AddSample(CTimeInterval(0));
  counters->GetCounter(std::string("c\0y", 3))->AddSample(CTimeInterval(5000000));
  counters->GetCounter("d.one")->AddSample(CTimeInterval(700));
  counters->GetMediaSpeedCounter("e.speed")->AddTransfer(4096, CTimeInterval(10));
  const std::vector<std::int32_t> bounds = zrprom::ClassicBoundIndices({});
  const std::vector<zrprom::Family> families = zrprom::CollectFamilies(counters.get(), bounds, 0);

  ASSERT_EQ(families[0].name, "zrperf_elapsed_seconds");
  const std::vector<zrprom::Metric>& series = families[0].metrics;
  ASSERT_EQ(series.size(), 4u);
  const std::vector<std::vector<std::string>> names = {
      {"a.busy"}, {"b.idle"}, {std::string("c\0x", 3), std::string("c\0y", 3)}, {"d.one"}};
  for (std::size_t s = 0; s < series.size(); ++s) {
    // The expected native buckets: the sum of the series' own snapshots.
    std::map<std::int32_t, std::uint64_t> expected;
    std::uint64_t zero = 0, count = 0;
    for (const std::string& name : names[s]) {
      const CTimeCounterSnapshot snap = counters->GetCounter(name)->GetSnapshot();
      zero += snap.GetZeroCount();
      count += snap.GetCount();
      for (const CTimeCounterSnapshot::Bucket& b : snap.GetBuckets()) expected[b.index] += b.count;
    }
    const zrprom::Histogram& h = series[s].histogram;
    std::map<std::int32_t, std::uint64_t> got;
    for (const zrprom::NativeBucket& b : h.native.positive) got[b.index] += b.count;
    EXPECT_EQ(got, expected) << s;
    EXPECT_EQ(h.native.zeroCount, zero) << s;
    EXPECT_EQ(h.count, count) << s;
    ASSERT_EQ(h.buckets.size(), bounds.size());
    ExpectConsistent(h, series[s].labels[0].value);
  }
  EXPECT_EQ(series[1].histogram.buckets.back().cumulativeCount, 0u);  // idle after busy

  std::string text, keptText, proto, keptProto;
  {
    zrprom::ExpositionTextSink textSink(&text);
    zrprom::DelimitedFamiliesSink protoSink(&proto);
    zrprom::WriteCounterFamilies(counters.get(), bounds, 0, &textSink);
    zrprom::WriteCounterFamilies(counters.get(), bounds, 0, &protoSink);
  }
  zrprom::AppendExpositionText(families, &keptText);
  zrprom::AppendDelimitedFamilies(families, &keptProto);
  EXPECT_EQ(text, keptText);
  EXPECT_EQ(proto, keptProto);
}

// A series starts at its counter's creation, or at the counter set's last
// Reset(), as wall-clock time; a series of several counters at the earliest.
TEST(CounterFamilies, SeriesStartAtTheirCountersCreationOrLastResetInWallClockTime) {
  using Clock = std::chrono::steady_clock;
  const auto UnixNanosOf = &CTimeCounterSnapshot::UnixNanosOf;
  // The wall clock's reading, within any skew (a wrong sign or unit is decades off).
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  EXPECT_LT(std::llabs(UnixNanosOf(Clock::now()) - std::chrono::nanoseconds(now).count()),
            1000000000LL);

  auto counters = boost::make_shared<CPerfCounters>();
  const Clock::time_point t0 = Clock::now();
  counters->GetCounter(std::string("pair\0early", 10))->AddSample(CTimeInterval(10));
  counters->GetMediaSpeedCounter("net")->AddTransfer(1, CTimeInterval(1));
  const Clock::time_point t1 = Clock::now();
  counters->GetCounter(std::string("pair\0late", 9));
  // The start of the last series of each family; only counters and histograms have one.
  const auto starts = [&] {
    std::map<std::string, std::int64_t> byFamily;
    for (const zrprom::Family& f :
         zrprom::CollectFamilies(counters.get(), zrprom::ClassicBoundIndices({}), 0)) {
      for (const zrprom::Metric& m : f.metrics) {
        EXPECT_EQ(m.createdUnixNanos != 0, f.type != zrprom::MetricType::kGauge) << f.name;
        byFamily[f.name] = m.createdUnixNanos;
      }
    }
    return byFamily;
  };
  const Clock::time_point t2 = Clock::now();
  std::map<std::string, std::int64_t> got = starts();
  EXPECT_EQ(starts(), got);  // the same in every scrape
  counters->Reset();
  const Clock::time_point t3 = Clock::now();
  const std::map<std::string, std::int64_t> reset = starts();
  for (const char* family : {"zrperf_elapsed_seconds", "zrperf_transfers_total"}) {
    EXPECT_TRUE(got[family] >= UnixNanosOf(t0) && got[family] <= UnixNanosOf(t1)) << family;
    EXPECT_TRUE(reset.at(family) >= UnixNanosOf(t2) && reset.at(family) <= UnixNanosOf(t3))
        << family;
  }
}

}  // namespace
