// Allocation failure paths of the counter set and the logger, and the memory
// the counter set holds.
//
// This executable replaces the non-throwing operator new so that a test can
// make the next such allocations fail, and counts the blocks of the ordinary
// operator new that are alive. It also returns from main with the log thread
// still running, as a service process may.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include <zrperf/tests/support/CapturingSink.h>
#include "PerfCntLogger.h"

namespace {
std::atomic<int> g_nothrowFailures{0};  // how many of the next nothrow allocations fail
std::atomic<long> g_liveBlocks{0};      // blocks of operator new not yet deleted
}  // namespace

void* operator new(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  g_liveBlocks.fetch_add(1, std::memory_order_relaxed);
  return p;
}
void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  g_liveBlocks.fetch_sub(1, std::memory_order_relaxed);
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  ::operator delete(p);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  int pending = g_nothrowFailures.load();
  while (pending > 0) {
    if (g_nothrowFailures.compare_exchange_weak(pending, pending - 1)) return nullptr;
  }
  try {
    return ::operator new(size);  // pairs with the ordinary operator delete
  } catch (...) {
    return nullptr;
  }
}

namespace {

using zrperf_test::ScopedSink;

TEST(PerfCountersAllocation, FailedCounterLeavesANullHandleThatLogSkipsAndResetFills) {
  ScopedSink sink;
  CPerfCounters set;
  g_nothrowFailures = 1;
  boost::shared_ptr<CTimeCounter>& failed = set.GetCounter("failed");
  EXPECT_FALSE(failed);
  EXPECT_EQ(&set.GetCounter("failed"), &failed) << "the name is registered";
  EXPECT_FALSE(failed) << "a lookup does not retry the allocation";

  g_nothrowFailures = 1;
  boost::shared_ptr<CMediaSpeedCounter>& failedMedia = set.GetMediaSpeedCounter("failed");
  EXPECT_FALSE(failedMedia);

  set.GetCounter("ok")->AddSample(CTimeInterval(5));
  set.Log();  // walks past the null handle
  auto records = sink->Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "Exec Stats: \n\t\t\t\tok: " + set.GetCounter("ok")->AsString());

  set.Reset();
  ASSERT_TRUE(failed && failedMedia);
  failed->AddSample(CTimeInterval(7));
  sink->Clear();
  set.Log();
  records = sink->Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "Exec Stats: \n\t\t\t\tfailed: " + failed->AsString());
}

// With interval statistics off, a pass keeps no interval snapshot: the first
// pass after switching them off frees every counter's.
TEST(PerfCountersMemory, PassWithIntervalsOffFreesEveryIntervalSnapshot) {
  ScopedSink sink;
  CPerfCounters set;
  constexpr int kCounters = 200;
  for (int i = 0; i < kCounters; ++i) {
    set.GetCounter("c" + std::to_string(i))->AddSample(CTimeInterval(10 + i));
  }
  set.SetIntervalStats(true);
  set.Log();
  const long withSnapshots = g_liveBlocks.load();
  set.SetIntervalStats(false);
  set.Log();  // nothing due
  EXPECT_GE(withSnapshots - g_liveBlocks.load(), kCounters);
}

TEST(PerfCntLoggerAllocation, FailedCreationReportsReturnsNullAndTheNextCallSucceeds) {
  ScopedSink sink;
  g_nothrowFailures = 1;
  EXPECT_EQ(PerfCntLogger::Instance(), nullptr);
  auto records = sink->Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, -1);
  EXPECT_EQ(records[0].function, "static PerfCntLogger* PerfCntLogger::Instance()");
  EXPECT_EQ(records[0].line, 64);
  EXPECT_EQ(records[0].message, "Failed instantiate PerfCntLogger");
  EXPECT_EQ(sink->LevelQueries(), 0) << "the failure report is unguarded";

  PerfCntLogger* logger = PerfCntLogger::Instance();
  ASSERT_NE(logger, nullptr);
  EXPECT_EQ(PerfCntLogger::Instance(), logger);
  EXPECT_EQ(sink->Records().size(), 1u);
}

}  // namespace
