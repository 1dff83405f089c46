#include "PerfCntLogger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <zrperf/tests/support/CapturingSink.h>
#include <zrperf/tests/support/RunTogether.h>

// ThreadSanitizer ends a child that starts a thread after a multi-threaded
// fork unless told otherwise; the fork test needs exactly that.
#if defined(__SANITIZE_THREAD__)
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() {
  return "die_after_fork=0";
}
#endif

// The tests below share one process, and so one logger: the first test must
// find no logger yet. Keep it first and run the binary whole.

namespace {

using zrperf_test::ScopedSink;

// The kernel ids of this process's threads right now. A joined thread may
// stay listed for a moment (under emulators especially), so tests compare
// sets of ids and wait for stragglers to go rather than compare counts.
std::set<std::string> ThreadIds() {
  std::set<std::string> ids;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
    ids.insert(task.path().filename());
  return ids;
}

// The ids listed now that are not in `before`.
std::set<std::string> NewIds(const std::set<std::string>& before) {
  std::set<std::string> added = ThreadIds();
  for (const auto& id : before) added.erase(id);
  return added;
}

// The log thread's id, found by the first test.
std::string g_logThreadId;

// Waits (bounded) until `pred` holds; the bound only guards against a hang.
template <typename Pred>
bool WaitFor(Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(PerfCntLoggerSingleton, ConcurrentFirstCallsCreateOneLoggerAndOneThread) {
  ScopedSink sink;
  // A first thread lets a sanitizer runtime start its own helper thread now,
  // before the ids are taken.
  std::thread([] {}).join();
  const std::set<std::string> before = ThreadIds();
  constexpr int kCallers = 8;
  std::vector<PerfCntLogger*> got(kCallers, nullptr);
  zrperf_test::RunTogether(kCallers, [&](int i) { got[i] = PerfCntLogger::Instance(); });
  ASSERT_NE(got[0], nullptr);
  for (PerfCntLogger* p : got) EXPECT_EQ(p, got[0]);
  EXPECT_EQ(PerfCntLogger::Instance(), got[0]);

  // Exactly one thread outlives the callers: the log thread.
  std::set<std::string> added;
  WaitFor([&] { return (added = NewIds(before)).size() <= 1; });
  ASSERT_EQ(added.size(), 1u) << "new threads";
  g_logThreadId = *added.begin();

  // A second start replaces the sink reference and starts nothing.
  const std::set<std::string> running = ThreadIds();
  EXPECT_FALSE(got[0]->StartDebugThread().IsError());
  EXPECT_TRUE(NewIds(running).empty());
}

TEST(PerfCntLoggerSingleton, RequestStatsPassRunsOnePassOnTheThread) {
  ScopedSink sink;
  PerfCntLogger* logger = PerfCntLogger::Instance();
  // The callback stays registered after the test: it must not refer to the
  // test's frame.
  static std::atomic<int> passes{0};
  static std::atomic<bool> onLogThread{false};
  const std::thread::id self = std::this_thread::get_id();
  logger->AddStatsCallback([self] {
    onLogThread.store(std::this_thread::get_id() != self);
    passes.fetch_add(1);
  });
  logger->GetPerfCounters()->GetCounter("signalled.op")->AddSample(CTimeInterval(1234));

  logger->RequestStatsPass();
  ASSERT_TRUE(WaitFor([&] { return passes.load() >= 1; }));
  EXPECT_TRUE(onLogThread.load());
  auto records = sink->Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message.rfind("Exec Stats: \n\t\t\t\tsignalled.op: ", 0), 0u)
      << records[0].message;

  // Unrequested, a pass comes each time the thread's 300-second wait ends.
  CLogThread thread;
  EXPECT_EQ(thread.GetTimeout().GetMilliseconds(), 300'000);
  const int before = passes.load();
  thread.OnTimeout();
  EXPECT_EQ(passes.load(), before + 1);
}

// A forked child has none of the parent's threads: its logger must start a
// new statistics thread, say so once, and run the child's passes on it.
TEST(PerfCntLoggerSingleton, ForkedChildGetsItsOwnStatisticsThread) {
  PerfCntLogger* logger = PerfCntLogger::Instance();
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    alarm(20);  // a hang in the child becomes a failure of the parent's wait
    ScopedSink sink;
    std::atomic<int> passes{0};
    std::atomic<bool> onOtherThread{false};
    const std::thread::id self = std::this_thread::get_id();
    logger->AddStatsCallback([&] {
      onOtherThread.store(std::this_thread::get_id() != self);
      passes.fetch_add(1);
    });
    logger->GetPerfCounters()->GetCounter("child.op")->AddSample(CTimeInterval(5));
    logger->RequestStatsPass();
    const bool passed = WaitFor([&] { return passes.load() >= 1; });
    PerfCntLogger::Instance()->RequestStatsPass();  // no second restart
    const bool passedAgain = WaitFor([&] { return passes.load() >= 2; });
    int notes = 0, records = 0;
    for (const auto& r : sink->Records()) {
      if (r.level == -1 && r.message.find("forked") != std::string::npos) ++notes;
      if (r.message.rfind("Exec Stats: \n\t\t\t\tchild.op: ", 0) == 0) ++records;
    }
    const bool ok = passed && passedAgain && onOtherThread.load() && notes == 1 && records == 1 &&
                    PerfCntLogger::Instance() == logger;
    _exit(ok ? 0 : 1 + (passed ? 0 : 2) + (notes == 1 ? 0 : 4) + (records == 1 ? 0 : 8));
  }
  EXPECT_TRUE(zrperf_test::ExitedCleanly({child})) << "the child failed, hung or crashed";
}

TEST(PerfCntLoggerSingleton, StopThenStartStartsNothing) {
  PerfCntLogger* logger = PerfCntLogger::Instance();
  ASSERT_FALSE(g_logThreadId.empty()) << "run the whole binary: the first test finds the thread";
  logger->StopDebugThread();
  ASSERT_TRUE(WaitFor([&] { return ThreadIds().count(g_logThreadId) == 0; }));
  const std::set<std::string> stopped = ThreadIds();
  EXPECT_FALSE(logger->StartDebugThread().IsError());
  EXPECT_TRUE(NewIds(stopped).empty()) << "a stopped thread is not restarted";
  logger->RequestStatsPass();  // a stopped thread: nothing happens, nothing breaks
  EXPECT_EQ(PerfCntLogger::Instance(), logger);
}

// A logger built directly has no thread; its passes run on the caller.
TEST(PerfCntLogger, CallbacksRunAfterTheRecordInOrderAndFailuresDoNotStopThePass) {
  ScopedSink sink;
  PerfCntLogger logger;
  std::vector<std::string> order;
  logger.AddStatsCallback([&] {
    order.push_back("first:" + std::to_string(sink->Records().size()));
    throw std::runtime_error("callback failure");
  });
  logger.AddStatsCallback(std::function<void()>());  // empty: bad_function_call
  logger.AddStatsCallback([&] {
    order.push_back("third");
    throw 42;  // not even a std::exception
  });
  logger.AddStatsCallback([&] { order.push_back("fourth"); });
  logger.GetPerfCounters()->GetCounter("op")->AddSample(CTimeInterval(10));

  EXPECT_FALSE(logger.LogPerfStats().IsError());
  EXPECT_EQ(order, (std::vector<std::string>{"first:1", "third", "fourth"}));
  EXPECT_EQ(sink->Records().size(), 1u) << "callback failures are not reported";

  // With interval statistics on, both records come before the callbacks.
  logger.SetIntervalStats(true);
  logger.GetPerfCounters()->GetCounter("op")->AddSample(CTimeInterval(10));
  order.clear();
  logger.LogPerfStats();
  EXPECT_EQ(order, (std::vector<std::string>{"first:3", "third", "fourth"}));
  EXPECT_EQ(sink->Records().at(2).message.rfind("Interval Stats: ", 0), 0u);

  logger.StopDebugThread();  // no thread: nothing happens
  logger.RequestStatsPass();
}

TEST(PerfCntLogger, AddingCallbacksWhilePassesRunIsSafe) {
  ScopedSink sink;
  PerfCntLogger logger;
  constexpr int kAdded = 300;
  std::atomic<long long> calls{0};
  std::atomic<bool> adding{true};
  zrperf_test::RunTogether(3, [&](int t) {
    if (t > 0) {
      while (adding.load()) logger.LogPerfStats();
      return;
    }
    for (int i = 0; i < kAdded; ++i) {
      logger.AddStatsCallback([&] { calls.fetch_add(1, std::memory_order_relaxed); });
    }
    adding.store(false);
  });
  const long long before = calls.load();
  logger.LogPerfStats();
  EXPECT_EQ(calls.load() - before, kAdded) << "a pass runs every registered callback once";
}

// A host replaces and removes the sink while counters record and passes run:
// every record reaches a sink that is alive (AddressSanitizer) and nothing
// races on the global (ThreadSanitizer). Reading the global's raw pointer
// instead of an atomic copy fails both.
TEST(PerfCntLogger, SinkReplacedAndResetWhilePassesRun) {
  PerfCntLogger logger;
  logger.SetIntervalStats(true);
  boost::shared_ptr<CTimeCounter>& counter = logger.GetPerfCounters()->GetCounter("op");
  std::atomic<bool> swapping{true};
  std::atomic<long> delivered{0};
  zrperf_test::RunTogether(3, [&](int i) {
    if (i == 0) {
      // At least 3000 swaps, and on until a record got through, for at most 30 s.
      const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      for (int n = 0;
           n < 3000 || (delivered.load() == 0 && std::chrono::steady_clock::now() < limit); ++n) {
        boost::shared_ptr<zrperf_test::CapturingSink> sink(new zrperf_test::CapturingSink(0));
        sink->onRecord = [&delivered] { delivered.fetch_add(1, std::memory_order_relaxed); };
        zrfw::StoreLogWriter(n % 4 == 3 ? nullptr : sink);
      }
      swapping.store(false);
    } else {
      for (long n = 0; swapping.load(); ++n) {
        counter->AddSample(CTimeInterval(n % 1000 + 1));
        if (i == 1) logger.LogPerfStats();
      }
    }
  });
  zrfw::StoreLogWriter(nullptr);
  EXPECT_GT(delivered.load(), 0);
}

}  // namespace
