#include "TimeCounterSnapshot.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <ucontext.h>
#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <tuple>
#include <vector>

#include <zrperf/tests/support/ExactDeviation.h>
#include <zrperf/tests/support/RunTogether.h>
#include "TimeCounter.h"

namespace {

TEST(TimeCounterSnapshot, HoldsTheCountersFiguresAndOnlyItsNonEmptyBuckets) {
  const CTimeCounterSnapshot none;
  EXPECT_EQ(none.GetCount(), 0u);
  EXPECT_EQ(none.GetCounterId(), 0u);
  EXPECT_TRUE(none.GetBuckets().empty());
  EXPECT_EQ(none.AsString(), "samples=0");
  // The mean rounds half up: 1 and 2 units average to 2.
  CTimeCounter tie;
  for (long long units : {1LL, 2LL}) tie.AddSample(CTimeInterval(units));
  EXPECT_EQ(tie.GetSnapshot().GetMean(), CTimeInterval(2));

  CTimeCounter counter;
  // 0 (the zero bucket), 7 units (a bucket of its own), twice 5000 (bucket
  // -175: [4883, 5098] units, 2^(-176/16) s < 500 us <= 2^(-175/16) s) and
  // one beyond the layout (the last bucket, open-ended).
  for (long long units : {5'000LL, 7LL, 0LL, 5'000LL, 1LL << 40})
    counter.AddSample(CTimeInterval(units));
  const CTimeCounterSnapshot snapshot = counter.GetSnapshot();
  EXPECT_NE(snapshot.GetCounterId(), 0u);
  EXPECT_EQ(snapshot.GetCount(), 5u);
  EXPECT_EQ(snapshot.GetZeroCount(), 1u);
  EXPECT_EQ(snapshot.GetMax(), CTimeInterval(1LL << 40));
  EXPECT_EQ(snapshot.AsString(), counter.AsString());  // every figure, percentiles too
  EXPECT_TRUE(snapshot.IsMinExact() && snapshot.IsMaxExact());
  EXPECT_LE(snapshot.GetStart(), snapshot.GetEnd());

  using Row = std::tuple<std::int32_t, std::uint64_t, std::uint64_t, std::uint64_t>;
  std::vector<Row> buckets;
  for (const CTimeCounterSnapshot::Bucket& b : snapshot.GetBuckets())
    buckets.emplace_back(b.index, b.low, b.high, b.count);
  EXPECT_EQ(buckets, (std::vector<Row>{
                         {-327, 7, 7, 1},
                         {-175, 4'883, 5'098, 2},
                         {CTimeCounterSnapshot::kMaxBucketIndex, 78'446'860'755, UINT64_MAX, 1}}));
  // The upper bounds of the ends, of a whole power of two and of a fraction of one.
  EXPECT_EQ(CTimeCounterSnapshot::BucketUpperUnits(CTimeCounterSnapshot::kMinBucketIndex), 1u);
  EXPECT_EQ(CTimeCounterSnapshot::BucketUpperUnits(CTimeCounterSnapshot::kMaxBucketIndex),
            81'920'000'000u);  // 2^13 s
  EXPECT_EQ(CTimeCounterSnapshot::BucketUpperSeconds(-16 * 20), std::ldexp(1.0, -20));
  EXPECT_EQ(CTimeCounterSnapshot::BucketUpperSeconds(8), std::sqrt(2.0));
}

// The exact figures of the samples of one interval.
struct Reference {
  std::vector<std::uint64_t> samples;

  CTimeInterval Deviation() const {
    return CTimeInterval(static_cast<long long>(zrperf_test::ExactDeviation(samples)));
  }

  std::uint64_t Percentile(double fraction) const {
    std::vector<std::uint64_t> sorted = samples;
    std::sort(sorted.begin(), sorted.end());
    const double wanted = std::ceil(fraction * static_cast<double>(sorted.size()));
    const std::size_t rank = wanted < 1.0 ? 1 : static_cast<std::size_t>(wanted);
    return sorted[std::min(rank, sorted.size()) - 1];
  }
};

// Count, total, mean and spread exact; extremes exact where marked so, else
// outside the true ones by under a bucket and inside the lifetime ones;
// percentiles within 2^(1/32) - 1 plus half a unit.
void ExpectMatches(const CTimeCounterSnapshot& interval, const Reference& exact,
                   const CTimeCounterSnapshot& lifetime) {
  ASSERT_EQ(interval.GetCount(), exact.samples.size());
  if (exact.samples.empty()) return;
  std::uint64_t total = 0;
  for (std::uint64_t units : exact.samples) total += units;
  EXPECT_EQ(interval.GetTotal(), CTimeInterval(static_cast<long long>(total)));
  const std::uint64_t n = exact.samples.size();
  EXPECT_EQ(interval.GetMean(),
            CTimeInterval(static_cast<long long>((2 * total + n) / (2 * n))));  // rounded

  const long long min = static_cast<long long>(exact.Percentile(0));
  const long long max = static_cast<long long>(exact.Percentile(1));
  const long long gotMin = interval.GetMin().Get100ns(), gotMax = interval.GetMax().Get100ns();
  if (interval.IsMinExact()) {
    EXPECT_EQ(gotMin, min);
  } else {
    EXPECT_LE(gotMin, min);
    EXPECT_LE(min - gotMin, min / 16);  // one bucket: under 4.5 %
    EXPECT_GE(interval.GetMin(), lifetime.GetMin());
  }
  if (interval.IsMaxExact()) {
    EXPECT_EQ(gotMax, max);
  } else {
    EXPECT_GE(gotMax, max);
    EXPECT_LE(gotMax - max, max / 16);
    EXPECT_LE(interval.GetMax(), lifetime.GetMax());
  }
  for (double fraction : {0.5, 0.9, 0.99, 0.999}) {
    const double want = static_cast<double>(exact.Percentile(fraction));
    const double got = static_cast<double>(interval.GetPercentile(fraction).Get100ns());
    EXPECT_LE(std::fabs(got - want), want * (std::exp2(1.0 / 32) - 1) + 0.5) << fraction;
  }
  EXPECT_EQ(interval.GetStandardDeviation(), exact.Deviation());
}

// Bursts across passes from threads that end before the pass, from one that
// lives through all, and into a counter replaced (a Reset()) between passes.
TEST(TimeCounterSnapshot, SinceGivesTheFiguresOfTheSamplesRecordedInBetween) {
  constexpr int kThreads = 3;
  auto counter = std::make_unique<CTimeCounter>();
  CTimeCounterSnapshot previous = counter->GetSnapshot();
  std::mt19937_64 random(12);
  for (int pass = 0; pass < 8; ++pass) {
    if (pass == 5) counter = std::make_unique<CTimeCounter>();  // a Reset()
    // Passes 0, 3 and 5 reach new extremes; the others stay inside [800, 90000].
    const std::uint64_t low = pass == 0 ? 500 : pass == 3 ? 100 : 800;
    const std::uint64_t high = pass == 0 || pass == 3 ? 100'000 : 90'000;
    std::vector<Reference> perThread(kThreads + 1);
    for (Reference& burst : perThread) {
      const std::size_t size = 1 + random() % 3'000;
      for (std::size_t i = 0; i < size; ++i) burst.samples.push_back(low + random() % (high - low));
    }
    zrperf_test::RunTogether(kThreads, [&](int t) {
      for (std::uint64_t units : perThread[t].samples)
        counter->AddSample(CTimeInterval(static_cast<long long>(units)));
    });
    for (std::uint64_t units : perThread[kThreads].samples)
      counter->AddSample(CTimeInterval(static_cast<long long>(units)));

    Reference exact;
    for (const Reference& burst : perThread)
      exact.samples.insert(exact.samples.end(), burst.samples.begin(), burst.samples.end());
    const CTimeCounterSnapshot now = counter->GetSnapshot();
    const CTimeCounterSnapshot interval = now.Since(previous);
    SCOPED_TRACE(pass);
    ExpectMatches(interval, exact, now);
    // After the replacement, the new counter's figures alone, from its creation.
    EXPECT_EQ(interval.GetStart(), pass == 5 ? now.GetStart() : previous.GetEnd());
    EXPECT_EQ(interval.GetEnd(), now.GetEnd());
    previous = now;
  }
  // Nothing recorded, and an interval taken backwards: empty, all of whose
  // figures are 0 (the differences never go negative).
  const CTimeCounterSnapshot later = counter->GetSnapshot();
  counter->AddSample(CTimeInterval(0));
  counter->AddSample(CTimeInterval(1'234));
  for (const CTimeCounterSnapshot& none :
       {later.Since(previous), previous.Since(counter->GetSnapshot())}) {
    EXPECT_EQ(none.AsString(), "samples=0");
    const std::string text = none.AsIntervalString();
    EXPECT_EQ(text.substr(text.find(" mean=")),
              " mean=0ns p50=0ns p90=0ns p99=0ns p99.9=0ns max=0ns");
    EXPECT_TRUE(none.GetMin() == CTimeInterval(0) && none.GetTotal() == CTimeInterval(0));
    EXPECT_TRUE(none.GetZeroCount() == 0 && none.GetBuckets().empty());
  }
}

// Merged intervals keep the exact spread (samples past 7 minutes too); a
// snapshot built from parts has none, nor has anything merged with one.
TEST(TimeCounterSnapshot, MergedIntervalsKeepTheExactSpreadUpTo160BitsOfSquaresAndPartsHaveNone) {
  CTimeCounter counter;
  CTimeCounterSnapshot previous = counter.GetSnapshot(), merged;
  Reference all;
  std::mt19937_64 random(3);
  for (int pass = 0; pass < 5; ++pass) {
    for (int i = 0; i < 1'000; ++i) {
      const std::uint64_t units = random() % (pass == 2 ? 1'000'000'000'000 : 5'000);
      counter.AddSample(CTimeInterval(static_cast<long long>(units)));
      all.samples.push_back(units);
    }
    const CTimeCounterSnapshot now = counter.GetSnapshot();
    merged.Merge(now.Since(previous));
    previous = now;
  }
  EXPECT_EQ(previous.GetStandardDeviation(), all.Deviation());
  EXPECT_EQ(merged.GetStandardDeviation(), all.Deviation());
  EXPECT_EQ(merged.AsString(), previous.AsString());

  const CTimeCounterSnapshot parts = CTimeCounterSnapshot::FromParts(2, 20, 5, 15, 0, {});
  EXPECT_EQ(parts.GetStandardDeviation(), CTimeInterval(0));
  merged.Merge(parts);
  EXPECT_EQ(merged.GetCount(), 5'002u);
  EXPECT_EQ(merged.GetStandardDeviation(), CTimeInterval(0));

  // An interval whose sums of squares straddle 2^128 keeps its exact spread;
  // merges stay exact up to 2^160 units^2, then the sum is held (not wrapped).
  constexpr std::uint64_t kTop = LLONG_MAX;
  CTimeCounter longest;
  Reference first, later;
  first.samples = {kTop, 0, kTop};
  later.samples = {kTop - 1, 1, kTop - 1, kTop - 1, 1};
  const auto record = [&longest](const Reference& samples) {
    for (std::uint64_t units : samples.samples)
      longest.AddSample(CTimeInterval(static_cast<long long>(units)));
  };
  record(first);
  const CTimeCounterSnapshot before = longest.GetSnapshot();  // about 2^127 units^2
  record(later);
  // About 5 * 2^126 units^2: the low 128 bits went below the earlier ones.
  first.samples.insert(first.samples.end(), later.samples.begin(), later.samples.end());
  const CTimeCounterSnapshot both = longest.GetSnapshot();
  EXPECT_EQ(both.Since(before).GetStandardDeviation(), later.Deviation());
  EXPECT_EQ(both.GetStandardDeviation(), first.Deviation());

  // Samples kTop and 0 in equal numbers deviate by kTop / 2, which rounds to
  // 2^62; each merge with itself doubles the sums. 2^34 of each have
  // kTop^2 * 2^34 < 2^160 units^2, twice that passes it.
  CTimeCounter pair;
  pair.AddSample(CTimeInterval(LLONG_MAX));
  pair.AddSample(CTimeInterval(0));
  CTimeCounterSnapshot doubled = pair.GetSnapshot();
  for (int doubling = 1; doubling <= 35; ++doubling) {
    const CTimeCounterSnapshot copy = doubled;
    doubled.Merge(copy);
    if (doubling <= 34) {
      ASSERT_EQ(doubled.GetStandardDeviation(), CTimeInterval(std::int64_t{1} << 62)) << doubling;
    }
  }
  EXPECT_EQ(doubled.GetCount(), std::uint64_t{1} << 36);
  EXPECT_GT(doubled.GetStandardDeviation(), CTimeInterval(0));
  EXPECT_LT(doubled.GetStandardDeviation(), CTimeInterval(std::int64_t{1} << 62));
}

TEST(TimeCounterSnapshot, LoweredBucketsAreTheExactSumsOfTheSchema4BucketsEachCovers) {
  using Snap = CTimeCounterSnapshot;
  using Pairs = std::vector<std::pair<std::int32_t, std::uint64_t>>;
  std::vector<Snap::LoweredBucket> lowered;  // reused: each call replaces what it holds
  const auto lower = [&lowered](const std::vector<Snap::Bucket>& buckets, int schema) {
    Snap::LowerBuckets(buckets, schema, &lowered);
    Pairs got;
    for (const Snap::LoweredBucket& b : lowered) got.emplace_back(b.index, b.count);
    return got;
  };
  // Every schema-4 bucket, with counts that tell them apart.
  std::vector<Snap::Bucket> all;
  for (std::int32_t i = Snap::kMinBucketIndex; i <= Snap::kMaxBucketIndex; ++i)
    all.push_back({i, 0, 0, static_cast<std::uint64_t>(i - Snap::kMinBucketIndex) * 7 + 1});
  for (int s = Snap::kMaxSchema; s >= Snap::kMinSchema; --s) {
    // Independently: bucket j at schema s holds 2^((j-1)/2^s) < d <= 2^(j/2^s),
    // so schema-4 bucket i (upper bound 2^(i/16)) lies in the j with
    // (j-1)/2^s < i/16 <= j/2^s; compared in integers scaled by 2^10 * 16.
    std::map<std::int32_t, std::uint64_t> expected;
    for (const Snap::Bucket& b : all) {
      const std::int64_t scaled = b.index * (std::int64_t{1} << (s + 10));  // i * 2^s * 2^10
      std::int64_t j = -400;
      while (!(scaled <= j * (1 << 14))) ++j;  // products: shifting a negative is undefined
      ASSERT_GT(scaled, (j - 1) * (1 << 14));
      expected[static_cast<std::int32_t>(j)] += b.count;
      // The exponential-histogram form: offset k = index - 1 at every scale.
      ASSERT_EQ(j - 1,
                static_cast<std::int64_t>(std::floor((b.index - 1) / std::ldexp(1.0, 4 - s))));
    }
    EXPECT_EQ(lower(all, s), Pairs(expected.begin(), expected.end())) << "schema " << s;
  }
  // Only non-empty buckets come out; schemas past either end clamp to it.
  const std::vector<Snap::Bucket> sparse = {{-300, 0, 0, 2}, {-299, 0, 0, 3}, {17, 0, 0, 5}};
  for (const auto& [schema, want] :
       {std::pair{9, Pairs{{-300, 2}, {-299, 3}, {17, 5}}}, std::pair{0, Pairs{{-18, 5}, {2, 5}}},
        std::pair{-99, Pairs{{0, 5}, {1, 5}}}})
    EXPECT_EQ(lower(sparse, schema), want) << "schema " << schema;
}

// A read racing a fresh counter's first sample shows no extreme before the
// count, and extremes in order once it counts.
TEST(TimeCounterSnapshot, AReadRacingAFirstSampleShowsNoExtremeBeforeTheCount) {
  for (int round = 0; round < 2'000; ++round) {
    CTimeCounter counter;
    zrperf_test::RunTogether(2, [&](int t) {
      if (t == 0) {
        counter.AddSample(CTimeInterval(5'000));
        return;
      }
      for (;;) {
        const CTimeCounterSnapshot now = counter.GetSnapshot();
        if (now.GetCount() != 0) {
          EXPECT_LE(now.GetMin(), now.GetMax());
          return;
        }
        ASSERT_TRUE(now.GetMax() == CTimeInterval(0) && now.GetMin() == CTimeInterval(0)) << round;
      }
    });
  }
}

// A reader takes snapshot after snapshot while a (preempted, as busy threads
// outnumber the cores) thread records: the intervals add up exactly to the
// final count, total and buckets, each with its figures in order.
TEST(TimeCounterSnapshot, IntervalsReadWhileAThreadRecordsAddUpExactlyToTheLifetime) {
  constexpr int kSamples = 200'000, kBusy = 2;
  for (int round = 0; round < 10; ++round) {
    CTimeCounter counter;
    std::atomic<bool> recording{true};
    unsigned long long count = 0, inBuckets = 0;
    long long total = 0;
    zrperf_test::RunTogether(2 + kBusy, [&](int t) {
      if (t == 0) {
        for (int i = 0; i < kSamples; ++i)
          counter.AddSample(CTimeInterval(1 + (i * 7919) % 50'000));
        recording = false;
      } else if (t > 1) {  // keeps a core busy, so that the recorder is preempted
        while (recording.load(std::memory_order_relaxed)) continue;
      } else {
        CTimeCounterSnapshot previous;
        for (bool last = false; !last;) {
          last = !recording.load();
          const CTimeCounterSnapshot now = counter.GetSnapshot();
          const CTimeCounterSnapshot interval = now.Since(previous);
          count += interval.GetCount();
          total += interval.GetTotal().Get100ns();
          inBuckets += interval.GetZeroCount();
          for (const CTimeCounterSnapshot::Bucket& b : interval.GetBuckets()) inBuckets += b.count;
          if (interval.GetCount() != 0) {
            EXPECT_LE(interval.GetMin(), interval.GetPercentile(0.001));
            EXPECT_LE(interval.GetMin(), interval.GetMean());
            EXPECT_LE(interval.GetMean(), interval.GetMax());
            EXPECT_LE(interval.GetPercentile(0.99), interval.GetMax());
            EXPECT_GE(interval.GetMin(), now.GetMin());
          }
          previous = now;
        }
      }
    });
    ASSERT_EQ(count, std::uint64_t{kSamples}) << "round " << round;
    ASSERT_EQ(inBuckets, count) << "round " << round;
    ASSERT_EQ(CTimeInterval(total), counter.GetTotal()) << "round " << round;
  }
}

#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
// The trap flag stops the recorder after each instruction and the SIGTRAP
// handler reads the counter there: every state a record passes through is
// read. (Sanitizers defer signals: plain builds only.)
namespace stepped {
CTimeCounter* g_counter = nullptr;
CTimeCounterSnapshot g_previous;
unsigned long long g_count = 0, g_reads = 0;
long long g_total = 0;
volatile bool g_stepping = false;

void OnStep(int, siginfo_t*, void* context) {
  auto* registers = static_cast<ucontext_t*>(context);
  if (!g_stepping) {
    registers->uc_mcontext.gregs[REG_EFL] &= ~0x100LL;  // stop stepping
    return;
  }
  CTimeCounterSnapshot now = g_counter->GetSnapshot();
  const CTimeCounterSnapshot interval = now.Since(g_previous);
  g_count += interval.GetCount();
  g_total += interval.GetTotal().Get100ns();
  ++g_reads;
  g_previous = std::move(now);
}
}  // namespace stepped

TEST(TimeCounterSnapshot, IntervalsReadAfterEveryInstructionOfARecordAddUpExactly) {
  struct sigaction step = {}, old = {};
  step.sa_sigaction = stepped::OnStep;
  step.sa_flags = SA_SIGINFO;
  ASSERT_EQ(sigaction(SIGTRAP, &step, &old), 0);
  CTimeCounter counter;
  counter.AddSample(CTimeInterval(300));  // the thread's slot exists: no allocation below
  stepped::g_counter = &counter;
  stepped::g_previous = counter.GetSnapshot();
  stepped::g_stepping = true;
  asm volatile("pushfq; orq $0x100, (%%rsp); popfq" ::: "memory", "cc");
  counter.AddSample(CTimeInterval(700));
  counter.AddSample(CTimeInterval(0));
  counter.AddSample(CTimeInterval(90'000));
  stepped::g_stepping = false;
  asm volatile("nop");  // the last step, which clears the flag
  sigaction(SIGTRAP, &old, nullptr);

  const CTimeCounterSnapshot last = counter.GetSnapshot().Since(stepped::g_previous);
  EXPECT_GT(stepped::g_reads, 30u);
  EXPECT_EQ(stepped::g_count + last.GetCount(), 3u);
  EXPECT_EQ(stepped::g_total + last.GetTotal().Get100ns(), 90'700);
}
#endif

}  // namespace
