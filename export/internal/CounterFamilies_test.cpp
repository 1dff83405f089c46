#include "CounterFamilies.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <string>

#include "../../tests/support/RunTogether.h"

namespace {

// The classic boundaries of the default options (2^3 - 1 .. 2^30 - 1 units).
std::vector<std::uint64_t> DefaultBounds() {
  std::vector<std::uint64_t> bounds;
  for (unsigned k = 3; k <= 30; ++k) bounds.push_back((std::uint64_t{1} << k) - 1);
  return bounds;
}

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
  const std::vector<std::uint64_t> bounds = DefaultBounds();
  std::atomic<bool> stop{false};
  std::atomic<int> collections{0};
  zrperf_test::RunTogether(3, [&](int thread) {
    if (thread == 0) {
      for (int i = 0; i < 300; ++i) {
        for (const zrprom::Family& f : zrprom::CollectFamilies(counters.get(), bounds)) {
          if (f.type != zrprom::MetricType::kHistogram) continue;
          for (const zrprom::Metric& m : f.metrics)
            ExpectConsistent(m.histogram, m.labels[0].value);
        }
        collections.fetch_add(1);
      }
      stop = true;
      return;
    }
    // Two recorders; names equal up to a NUL share one series.
    const std::string name = thread == 1 ? std::string("dup\0a", 5) : std::string("dup\0b", 5);
    for (std::int64_t i = 0; !stop.load(); ++i) {
      counters->GetCounter(name)->AddSample(CTimeInterval((i * 7919) % 3000000));
      counters->GetCounter("solo" + std::to_string(thread))->AddSample(CTimeInterval(i % 50));
    }
  });
  EXPECT_EQ(collections.load(), 300);
  const std::vector<zrprom::Family> last = zrprom::CollectFamilies(counters.get(), bounds);
  ASSERT_EQ(last[0].name, "zrperf_elapsed_seconds");
  ASSERT_EQ(last[0].metrics.size(), 3u);  // "dup", "solo1", "solo2"
  EXPECT_EQ(last[0].metrics[0].histogram.count,
            counters->GetCounter(std::string("dup\0a", 5))->GetSnapshot().GetCount() +
                counters->GetCounter(std::string("dup\0b", 5))->GetSnapshot().GetCount());
}

}  // namespace
