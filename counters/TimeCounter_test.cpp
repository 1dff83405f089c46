#include "TimeCounter.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <zrperf/tests/support/ExactDeviation.h>
#include <zrperf/tests/support/RunTogether.h>

namespace {

// The value of `key` ("max=" etc.) in a counter's text.
std::string Field(const std::string& text, const std::string& key) {
  const std::size_t at = text.find(" " + key);
  if (at == std::string::npos) return "<no " + key + ">";
  const std::size_t begin = at + 1 + key.size();
  return text.substr(begin, text.find(' ', begin) - begin);
}

TEST(TimeCounter, FiguresAndTextOfAFewSamplesOfNoneOfNegativeAndOfHugeOnes) {
  CTimeCounter counter;
  EXPECT_EQ(counter.GetTotalSamples(), 0);
  EXPECT_EQ(counter.AsString(), "samples=0");
  for (const CTimeInterval& figure : {counter.GetTotal(), counter.GetMin(), counter.GetMax(),
                                      counter.GetMean(), counter.GetPercentile(0.5)})
    EXPECT_EQ(figure, CTimeInterval(0));

  for (long long units : {5'000, 2'000, 9'000}) counter.AddSample(CTimeInterval(units));
  EXPECT_EQ(counter.GetTotalSamples(), 3);
  EXPECT_EQ(counter.GetTotal(), CTimeInterval(16'000));
  EXPECT_EQ(counter.GetMean(), CTimeInterval(5'333));
  const CTimeInterval min(2'000), max(9'000);
  EXPECT_EQ(counter.GetMin(), min);
  EXPECT_EQ(counter.GetMax(), max);
  // Fractions outside [0, 1] (and NaN) are taken as the nearer end. The top,
  // 9000, lies in [8956, 9351] units, whose 9149 is held at the maximum.
  for (double f : {0.0, -3.0, std::nan("")}) EXPECT_EQ(counter.GetPercentile(f), min) << f;
  for (double f : {1.0, 7.0, 0.9}) EXPECT_EQ(counter.GetPercentile(f), max) << f;
  // The median 5000 lies in bucket -175, [4883, 5098] units, which reads 4988.
  EXPECT_EQ(counter.GetPercentile(0.5), CTimeInterval(4'988));
  // Population deviation: sqrt(((-3333.3)^2 + (-333.3)^2 + 3666.7^2) / 3) = 2867.4.
  EXPECT_EQ(counter.AsString(),
            "samples=3 total=1.60ms mean=533.30us stddev=286.70us min=200.00us p50=498.80us "
            "p90=900.00us p99=900.00us p99.9=900.00us max=900.00us");

  // Negative intervals count as zero; the total holds at its largest value.
  CTimeCounter negative;
  negative.AddSample(CTimeInterval(-12'345));
  negative.AddSample(CTimeInterval(30));
  EXPECT_EQ(negative.GetTotalSamples(), 2);
  EXPECT_EQ(negative.GetTotal(), CTimeInterval(30));
  EXPECT_EQ(negative.GetMin(), CTimeInterval(0));

  CTimeCounter huge;
  huge.AddSample(CTimeInterval(LLONG_MAX));
  huge.AddSample(CTimeInterval(LLONG_MAX));
  const CTimeCounterSnapshot two = huge.GetSnapshot();
  huge.AddSample(CTimeInterval(LLONG_MAX / 2));
  EXPECT_EQ(huge.GetTotalSamples(), 3);
  // Held in every read, and in the text; an interval past the hold is exact.
  EXPECT_EQ(two.GetTotal(), CTimeInterval(LLONG_MAX));
  EXPECT_EQ(Field(huge.AsString(), "total="), "922337203685.47s");
  const CTimeCounterSnapshot third = huge.GetSnapshot().Since(two);
  EXPECT_EQ(third.GetCount(), 1u);
  EXPECT_EQ(third.GetTotal(), CTimeInterval(LLONG_MAX / 2));
  EXPECT_EQ(third.GetMean(), CTimeInterval(LLONG_MAX / 2));
  EXPECT_EQ(huge.GetMax(), CTimeInterval(LLONG_MAX));
  // The last bucket's 2^13 s, kept within [min, max].
  EXPECT_EQ(huge.GetPercentile(0.5), CTimeInterval(LLONG_MAX / 2));
  // The mean stays that of the samples (5/6 of the largest value), not the
  // held total over the count.
  EXPECT_EQ(huge.GetMean(), CTimeInterval(LLONG_MAX / 6 * 5 + 1));
}

// The deviation is exact whatever the magnitudes (squares past 2^126 that
// cancel, a few huge among many small, samples past 7 minutes), from a thread
// that ended and one still recording.
TEST(TimeCounter, TheStandardDeviationIsExactForHugeAndCancellingSamples) {
  const std::vector<std::vector<long long>> cases = {
      {LLONG_MAX, LLONG_MAX - 1},          // 0.5 units: rounds up
      {LLONG_MAX, LLONG_MAX, LLONG_MAX},   // none
      {5, 5, 5, 5, 5, 5, LLONG_MAX},       // one outlier
      {4'294'967'296, 4'294'967'295, 3},   // squares of 2^64 and just below
      {36'000'000'000, 36'000'000'001, 7}  // an hour
  };
  for (const std::vector<long long>& pattern : cases) {
    std::vector<long long> all;
    for (int i = 0; i < 2'001; ++i)
      all.push_back(pattern[static_cast<std::size_t>(i) % pattern.size()]);
    CTimeCounter counter;
    std::thread([&] {
      for (std::size_t i = 0; i < all.size() / 2; ++i) counter.AddSample(CTimeInterval(all[i]));
    }).join();
    for (std::size_t i = all.size() / 2; i < all.size(); ++i)
      counter.AddSample(CTimeInterval(all[i]));
    const auto want = static_cast<long long>(zrperf_test::ExactDeviation(all));
    EXPECT_EQ(counter.GetSnapshot().GetStandardDeviation(), CTimeInterval(want)) << pattern[0];
    EXPECT_EQ(counter.GetTotalSamples(), static_cast<long long>(all.size()));
  }
}

TEST(TimeCounter, DurationUnitsChangeAtTheirBoundaries) {
  const std::pair<long long, const char*> cases[] = {
      {0, "0ns"},
      {1, "100ns"},
      {9, "900ns"},
      {10, "1.00us"},
      {15, "1.50us"},
      {9'999, "999.90us"},
      {10'000, "1.00ms"},
      {12'345, "1.23ms"},
      {9'999'999, "999.99ms"},
      {10'000'000, "1.00s"},
      {36'000'000'000, "3600.00s"},
  };
  for (const auto& [units, want] : cases) {
    CTimeCounter counter;
    counter.AddSample(CTimeInterval(units));
    const std::string text = counter.AsString();
    EXPECT_EQ(Field(text, "max="), want) << units;
    EXPECT_EQ(Field(text, "p50="), want) << units;  // one sample: every percentile is it
  }
}

// Percentiles within 2^(1/32) - 1 plus half a unit of the exact nearest-rank ones.
TEST(TimeCounter, PercentilesStayWithinTheHistogramsErrorOfTheExactValues) {
  std::mt19937_64 random(20240611);
  std::lognormal_distribution<double> logNormal(std::log(20'000.0), 2.0);  // median 2 ms
  std::uniform_real_distribution<double> exponent(0, std::log(36e9));      // 100 ns .. 1 h
  std::uniform_int_distribution<long long> uniform(1, 1'000'000);
  std::normal_distribution<double> fast(200, 20), slow(5e6, 1e5);
  const std::pair<const char*, std::function<double()>> distributions[] = {
      {"log-normal", [&] { return logNormal(random); }},
      {"log-uniform", [&] { return std::exp(exponent(random)); }},
      {"uniform", [&] { return static_cast<double>(uniform(random)); }},
      {"bimodal", [&] { return random() % 10 == 0 ? slow(random) : fast(random); }},
      {"constant", [] { return 4242.0; }},
  };
  for (const auto& [name, draw] : distributions) {
    CTimeCounter counter;
    std::vector<long long> values;
    for (int i = 0; i < 50'000; ++i) {
      values.push_back(std::max(1LL, std::min(static_cast<long long>(draw()), 36'000'000'000LL)));
      counter.AddSample(CTimeInterval(values.back()));
    }
    std::sort(values.begin(), values.end());
    for (double fraction : {0.001, 0.25, 0.5, 0.9, 0.99, 0.999}) {
      const auto rank = static_cast<std::size_t>(std::ceil(fraction * values.size()));
      const double exact = static_cast<double>(values[rank - 1]);
      const double estimate = static_cast<double>(counter.GetPercentile(fraction).Get100ns());
      EXPECT_LE(std::fabs(estimate - exact), exact * (std::exp2(1.0 / 32) - 1) + 0.5)
          << name << " p" << fraction * 100 << ": " << estimate << " vs " << exact;
    }
  }
}

// Short-lived threads each feeding more counters than the slot cache holds:
// every sample stays after its thread ends (LeakSanitizer sees the slots freed).
TEST(TimeCounter, ThreadsThatEndKeepTheirSamplesInEveryCounter) {
  constexpr int kCounters = 200, kRounds = 20, kThreads = 4;
  std::vector<CTimeCounter> counters(kCounters);
  for (int round = 0; round < kRounds; ++round) {
    zrperf_test::RunTogether(kThreads, [&](int t) {
      for (int i = 0; i < 5 * kCounters; ++i)
        counters[i % kCounters].AddSample(CTimeInterval(10 * (t + 1)));
    });
  }
  for (const auto& counter : counters) {
    ASSERT_EQ(counter.GetTotalSamples(), kRounds * kThreads * 5);
    ASSERT_EQ(counter.GetTotal(), CTimeInterval(kRounds * 5 * (10 + 20 + 30 + 40)));
    ASSERT_EQ(counter.GetMin(), CTimeInterval(10));
    ASSERT_EQ(counter.GetMax(), CTimeInterval(40));
    ASSERT_EQ(counter.GetPercentile(0.5), CTimeInterval(20));  // below 16 units buckets are exact
  }
}

// Counters replaced under living threads: a new one (often at a dead one's
// address) starts from nothing, and replacing them does not pile up memory.
TEST(TimeCounter, CountersDestroyedWhileTheirRecordersLiveLeaveNothingBehind) {
  constexpr int kThreads = 3, kRounds = 300;
  std::unique_ptr<CTimeCounter> counter;
  std::atomic<int> round{-1};    // the last round the recorders may run
  std::atomic<int> recorded{0};  // rounds recorded, summed over the recorders
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int r = 0; r < kRounds; ++r) {
        while (round.load() < r) std::this_thread::yield();
        for (int i = 0; i < 20; ++i) counter->AddSample(CTimeInterval(r + 1));
        recorded.fetch_add(1);
      }
    });
  }
  long long heapBefore = 0;
  for (int r = 0; r < kRounds; ++r) {
    if (r == 10) heapBefore = static_cast<long long>(mallinfo2().uordblks);
    counter.reset();
    counter.reset(new CTimeCounter);
    round.store(r);
    while (recorded.load() < (r + 1) * kThreads) std::this_thread::yield();
    ASSERT_EQ(counter->GetTotalSamples(), kThreads * 20) << "round " << r;
    ASSERT_EQ(counter->GetMin(), CTimeInterval(r + 1));
    ASSERT_EQ(counter->GetMax(), CTimeInterval(r + 1));
  }
  [[maybe_unused]] const long long heapGrowth =
      static_cast<long long>(mallinfo2().uordblks) - heapBefore;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter->GetTotalSamples(), kThreads * 20) << "lost in the fold at thread end";
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // (The sanitizers' allocators do not report through mallinfo2.) Slots left
  // until their threads end would add 290 rounds x 3 threads x 2.3 KiB, 2 MB.
  EXPECT_LT(heapGrowth, 256 * 1024) << "slots of destroyed counters were not freed";
#endif
}

// No sample is lost or counted twice by the move of a thread's bucket at a
// million samples, nor by the fold at its end, while a reader watches.
TEST(TimeCounter, BucketsMovedIntoTheCounterKeepEverySample) {
  constexpr long long kFives = 1'500'000, kNines = 1'400'000;
  CTimeCounter counter;
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    for (long long last = 0; !stop.load(); counter.GetPercentile(0.5)) {
      const long long now = counter.GetTotalSamples();
      EXPECT_GE(now, last);
      last = now;
    }
  });
  std::thread([&] {
    for (long long i = 0; i < kFives; ++i) counter.AddSample(CTimeInterval(5));
    for (long long i = 0; i < kNines; ++i) counter.AddSample(CTimeInterval(9));
    // Rank 1,450,000 is a 5 and rank 1,508,000 a 9: a lost or doubled
    // million of fives moves one of them.
    EXPECT_EQ(counter.GetPercentile(0.5), CTimeInterval(5));
    EXPECT_EQ(counter.GetPercentile(0.52), CTimeInterval(9));
  }).join();
  stop.store(true);
  reader.join();
  EXPECT_EQ(counter.GetTotalSamples(), kFives + kNines);
  EXPECT_EQ(counter.GetTotal(), CTimeInterval(5 * kFives + 9 * kNines));
  EXPECT_EQ(counter.GetPercentile(0.5), CTimeInterval(5));
  EXPECT_EQ(counter.GetPercentile(0.52), CTimeInterval(9));
}

TEST(ScopedTimeSample, AddsTheScopesDurationOnce) {
  CTimeCounter counter;
  {
    CScopedTimeSample sample(&counter);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(counter.GetTotalSamples(), 0);
  }
  EXPECT_EQ(counter.GetTotalSamples(), 1);
  EXPECT_GE(counter.GetMin(), CTimeInterval::FromMilliseconds(2));
  { CScopedTimeSample nothing(nullptr); }
}

}  // namespace
