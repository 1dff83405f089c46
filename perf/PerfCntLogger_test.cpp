#include "PerfCntLogger.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/CapturingSink.h"

// The tests below share one process, and so one logger: the first test must
// find no logger yet. Keep it first and run the binary whole.

namespace {

using zrperf_test::CapturingSink;

// Threads of this process right now.
int ThreadCount() {
  int n = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] != '.') ++n;
    }
    closedir(dir);
  }
  return n;
}

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

boost::shared_ptr<CapturingSink> InstallSink() {
  boost::shared_ptr<CapturingSink> sink(new CapturingSink(0));
  g_ptrLogWriter = sink;
  return sink;
}

TEST(PerfCntLoggerSingleton, ConcurrentFirstCallsCreateOneLoggerAndOneThread) {
  InstallSink();
  // A first thread lets a sanitizer runtime start its own helper thread now,
  // before the count is taken.
  std::thread([] {}).join();
  const int before = ThreadCount();
  constexpr int kCallers = 8;
  std::vector<PerfCntLogger*> got(kCallers, nullptr);
  std::atomic<int> ready{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < kCallers; ++i) {
    callers.emplace_back([&, i] {
      ready.fetch_add(1);
      while (ready.load() < kCallers) {
      }
      got[i] = PerfCntLogger::Instance();
    });
  }
  for (auto& t : callers) t.join();
  ASSERT_NE(got[0], nullptr);
  for (PerfCntLogger* p : got) EXPECT_EQ(p, got[0]);
  EXPECT_EQ(PerfCntLogger::Instance(), got[0]);
  EXPECT_EQ(ThreadCount(), before + 1) << "exactly one log thread";

  // A second start replaces the sink reference and starts nothing.
  EXPECT_FALSE(got[0]->StartDebugThread().IsError());
  EXPECT_EQ(ThreadCount(), before + 1);
}

TEST(PerfCntLoggerSingleton, RequestStatsPassRunsOnePassOnTheThread) {
  boost::shared_ptr<CapturingSink> sink = InstallSink();
  PerfCntLogger* logger = PerfCntLogger::Instance();
  ASSERT_NE(logger, nullptr);
  std::atomic<int> passes{0};
  std::atomic<bool> onLogThread{false};
  const std::thread::id self = std::this_thread::get_id();
  logger->AddStatsCallback([&] {
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
}

TEST(PerfCntLoggerSingleton, StopThenStartStartsNothing) {
  PerfCntLogger* logger = PerfCntLogger::Instance();
  ASSERT_NE(logger, nullptr);
  const int running = ThreadCount();
  logger->StopDebugThread();
  ASSERT_TRUE(WaitFor([&] { return ThreadCount() == running - 1; }));
  EXPECT_FALSE(logger->StartDebugThread().IsError());
  EXPECT_EQ(ThreadCount(), running - 1);
  logger->RequestStatsPass();  // a stopped thread: nothing happens, nothing breaks
  EXPECT_EQ(PerfCntLogger::Instance(), logger);
}

TEST(CLogThread, TimeoutIsThreeHundredSecondsAndConstructionStartsNothing) {
  boost::shared_ptr<CapturingSink> sink = InstallSink();
  const int before = ThreadCount();
  {
    CLogThread thread;
    EXPECT_EQ(thread.GetTimeout(), CTimeInterval::FromSeconds(300));
    EXPECT_EQ(thread.GetTimeout().Get100ns(), 3'000'000'000LL);
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(ThreadCount(), before);
  }
  EXPECT_TRUE(sink->Records().empty());
}

// A logger built directly has no thread; its passes run on the caller.
TEST(PerfCntLogger, CallbacksRunAfterTheRecordInOrderAndFailuresDoNotStopThePass) {
  boost::shared_ptr<CapturingSink> sink = InstallSink();
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

  logger.StopDebugThread();  // no thread: nothing happens
  logger.RequestStatsPass();
}

TEST(PerfCntLogger, PassWithoutCallbacksWritesOnlyTheRecord) {
  boost::shared_ptr<CapturingSink> sink = InstallSink();
  PerfCntLogger logger;
  EXPECT_FALSE(logger.LogPerfStats().IsError());
  EXPECT_TRUE(sink->Records().empty());
  logger.GetPerfCounters()->GetCounter("op")->AddSample(CTimeInterval(10));
  EXPECT_FALSE(logger.LogPerfStats().IsError());
  EXPECT_EQ(sink->Records().size(), 1u);
}

TEST(PerfCntLogger, AddingCallbacksWhilePassesRunIsSafe) {
  InstallSink();
  PerfCntLogger logger;
  std::atomic<long long> calls{0};
  std::atomic<bool> adding{true};
  std::atomic<int> ready{0};
  std::thread passes([&] {
    ready.fetch_add(1);
    while (ready.load() < 3) {
    }
    while (adding.load()) logger.LogPerfStats();
  });
  std::thread passes2([&] {
    ready.fetch_add(1);
    while (ready.load() < 3) {
    }
    while (adding.load()) logger.LogPerfStats();
  });
  ready.fetch_add(1);
  while (ready.load() < 3) {
  }
  constexpr int kAdded = 300;
  for (int i = 0; i < kAdded; ++i) {
    logger.AddStatsCallback([&] { calls.fetch_add(1, std::memory_order_relaxed); });
  }
  adding.store(false);
  passes.join();
  passes2.join();
  const long long before = calls.load();
  logger.LogPerfStats();
  EXPECT_EQ(calls.load() - before, kAdded) << "a pass runs every registered callback once";
}

}  // namespace
