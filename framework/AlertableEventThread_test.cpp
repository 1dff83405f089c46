#include "AlertableEventThread.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <zrperf/tests/support/CapturingSink.h>
#include <zrperf/tests/support/RunTogether.h>

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

// 100 ns: a wait with this timeout ends at once unless an event is pending.
constexpr CTimeInterval kTick(1);
constexpr CTimeInterval kForever(0);
// Bound on waiting for the thread, so that a fault fails instead of hanging.
constexpr auto kPatience = std::chrono::seconds(10);

// A one-shot gate: Pass() blocks until Open(), or fails after kPatience.
// Open() notifies under the mutex, so a Pass() that returned (and a gate
// destroyed after it) never overlaps the rest of an Open().
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = true;
    m_cv.notify_all();
  }
  bool Pass() {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, kPatience, [this] { return m_open; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_open = false;
};

// Records the handler calls the base makes, then runs the hook given for that
// handler with the call's ordinal. Hooks are set before Start().
class ProbeThread : public CAlertableEventThread {
 public:
  using Hook = std::function<void(ProbeThread&, int call)>;
  ~ProbeThread() override { Stop(true); }

  Hook onStart, onEvent, onTimeout, onStop;

  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
  }
  bool WaitForCount(const std::string& name, int n) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, kPatience,
                         [&] { return std::count(m_calls.begin(), m_calls.end(), name) >= n; });
  }

 private:
  void OnStart() override { Record("start", onStart); }
  void OnEvent() override { Record("event", onEvent); }
  void OnTimeout() override { Record("timeout", onTimeout); }
  void OnStop() override { Record("stop", onStop); }
  void OnCompletion() override { Record("completion", nullptr); }

  void Record(const std::string& name, const Hook& hook) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_calls.push_back(name);
    const int call = static_cast<int>(std::count(m_calls.begin(), m_calls.end(), name));
    m_cv.notify_all();
    lock.unlock();
    if (hook) hook(*this, call);
  }

  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<std::string> m_calls;
};

// The call sequence: a signal before Start() is kept, signals during a handler
// merge into one event, a new timeout applies to the next wait (else 100 ns
// timeouts pile up), and an unchanged timeout repeats while no event comes.
TEST(AlertableEventThread, SignalsMergeUntilTheThreadWakesAndTimeoutsRepeatUntilChanged) {
  ProbeThread t;
  Gate release;
  t.onEvent = [&](ProbeThread& self, int call) {
    if (call == 2) self.SetTimeout(kTick);
    EXPECT_TRUE(call != 1 || release.Pass());
  };
  t.onTimeout = [](ProbeThread& self, int) { self.SetTimeout(kForever); };
  t.Signal();
  ASSERT_FALSE(t.Start().IsError());
  ASSERT_TRUE(t.WaitForCount("event", 1));
  for (int i = 0; i < 10; ++i) t.Signal();
  release.Open();
  ASSERT_TRUE(t.WaitForCount("timeout", 1));
  t.Signal();
  ASSERT_TRUE(t.WaitForCount("event", 3));
  ASSERT_FALSE(t.Stop(true).IsError());
  EXPECT_THAT(t.Calls(),
              ElementsAre("start", "event", "event", "timeout", "event", "stop", "completion"));

  ProbeThread repeating;
  repeating.SetTimeout(CTimeInterval::FromMilliseconds(1));
  ASSERT_FALSE(repeating.Start().IsError());
  ASSERT_TRUE(repeating.WaitForCount("timeout", 5));
  EXPECT_THAT(repeating.Calls(), Not(::testing::Contains("event")));
}

TEST(AlertableEventThread, RacingSignalsAlwaysGetAnEventAfterTheLastOne) {
  constexpr int kSignallers = 4;
  constexpr int kSignals = 500;
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> sent{0};
    Gate sawAll;
    ProbeThread t;
    // Each signal is counted before it is given, so an event that follows the
    // last signal reads the full count.
    t.onEvent = [&](ProbeThread&, int) {
      if (sent.load() == kSignallers * kSignals) sawAll.Open();
    };
    ASSERT_FALSE(t.Start().IsError());
    zrperf_test::RunTogether(kSignallers, [&](int) {
      for (int n = 0; n < kSignals; ++n) {
        sent.fetch_add(1);
        t.Signal();
      }
    });
    ASSERT_TRUE(sawAll.Pass()) << "round " << round;
    EXPECT_LE(t.Calls().size(), kSignallers * kSignals + 1u) << "more events than signals";
  }
}

TEST(AlertableEventThread, StartsOnceOnlyAndStartSynchronouslyReturnsAfterOnStartRan) {
  for (int i = 0; i < 50; ++i) {
    int written = 0;  // plain int: the sanitizer checks the hand-over
    ProbeThread t;
    t.onStart = [&written](ProbeThread&, int) { written = 42; };
    EXPECT_FALSE(t.IsRunning());
    EXPECT_TRUE(t.WaitForStop(CTimeInterval())) << "never started counts as stopped";
    ASSERT_FALSE(t.StartSynchronously().IsError());
    EXPECT_EQ(written, 42);
    EXPECT_TRUE(t.IsRunning());
    EXPECT_TRUE(t.Start().IsError());
    EXPECT_TRUE(t.StartSynchronously().IsError());
    ASSERT_FALSE(t.Stop(true).IsError());
    EXPECT_TRUE(t.Start().IsError()) << "a stopped thread was restarted";
    EXPECT_THAT(t.Calls(), ElementsAre("start", "stop", "completion"));
  }
}

TEST(AlertableEventThread, StopWithoutWaitReturnsAtOnceAndStopWithWaitOrTheDestructorAfterTheEnd) {
  ProbeThread t;
  Gate release;
  t.onEvent = [&](ProbeThread&, int) { EXPECT_TRUE(release.Pass()); };
  ASSERT_FALSE(t.Start().IsError());
  t.Signal();
  ASSERT_TRUE(t.WaitForCount("event", 1));
  t.Signal();  // pending, but the stop request wins
  EXPECT_FALSE(t.Stop(false).IsError());
  EXPECT_TRUE(t.IsRunning());
  EXPECT_FALSE(t.WaitForStop(CTimeInterval::FromMilliseconds(5)));
  release.Open();
  EXPECT_TRUE(t.WaitForStop(CTimeInterval::FromSeconds(10)));
  EXPECT_FALSE(t.IsRunning());
  EXPECT_THAT(t.Calls(), ElementsAre("start", "event", "stop", "completion"));

  for (int i = 0; i < 100; ++i) {
    bool stopped = false;  // plain bool: the sanitizer checks the hand-over
    std::atomic<int> sawEnd{0};
    ProbeThread racing;
    racing.SetTimeout(kTick);
    racing.onStop = [&stopped](ProbeThread&, int) { stopped = true; };
    ASSERT_FALSE(racing.Start().IsError());
    zrperf_test::RunTogether(3, [&](int) {
      racing.Signal();
      if (!racing.Stop(true).IsError() && stopped && !racing.IsRunning()) sawEnd.fetch_add(1);
    });
    ASSERT_EQ(sawEnd.load(), 3) << "iteration " << i;
    EXPECT_EQ(racing.Calls().back(), "completion");
  }

  // The destructor stops and joins a running thread (a plain base object: no
  // subclass part is gone; under ASan a thread outliving it is a use after free).
  for (int i = 0; i < 200; ++i) {
    auto t = std::make_unique<CAlertableEventThread>();
    t->SetTimeout(i % 2 == 0 ? kTick : kForever);
    ASSERT_FALSE(t->Start().IsError());
    if (i % 3 == 0) t->Signal();
  }
}

// After a delete the thread calls nothing more on the freed object (AddressSanitizer).
TEST(AlertableEventThread, StopOrDeleteFromItsOwnHandlerEndsTheLoopWithoutDeadlock) {
  ProbeThread t;
  std::vector<bool> results;  // read after the thread ended
  t.onEvent = [&results](ProbeThread& self, int) {
    results.push_back(self.Stop(true).IsError());
    results.push_back(self.WaitForStop(CTimeInterval::FromSeconds(10)));
  };
  ASSERT_FALSE(t.Start().IsError());
  t.Signal();
  ASSERT_TRUE(t.WaitForStop(CTimeInterval::FromSeconds(10)));
  EXPECT_THAT(results, ElementsAre(true, false));
  EXPECT_THAT(t.Calls(), ElementsAre("start", "event", "stop", "completion"));

  // Deleted from its first handler, as an owner living on the thread may; its
  // destructor's Stop(true) runs on the thread itself and only asks.
  for (int i = 0; i < 20; ++i) {
    Gate deleted;
    auto* owned = new ProbeThread;
    owned->SetTimeout(kTick);
    owned->onTimeout = [&deleted](ProbeThread& self, int) {
      Gate& gate = deleted;  // the closure goes with the object
      delete &self;
      gate.Open();
    };
    ASSERT_FALSE(owned->Start().IsError());
    ASSERT_TRUE(deleted.Pass());
  }
}

// A wait that fails ends the loop through OnAbandoned().
class FailingWaitThread : public CAlertableEventThread {
 public:
  ~FailingWaitThread() override { Stop(true); }
  WaitResult WaitForEvent() override { throw std::runtime_error("wait failed"); }
  void OnAbandoned() override { abandoned = true; }
  bool abandoned = false;
};

struct NotAStdException {};

TEST(AlertableEventThread, EscapingExceptionsAreReportedAndTheThreadGoesOn) {
  std::vector<zrperf_test::Record> records;
  {
    zrperf_test::ScopedSink sink;
    ProbeThread t;
    t.onStart = [](ProbeThread&, int) { throw std::runtime_error("start failed"); };
    t.onEvent = [](ProbeThread&, int call) {
      if (call == 1) throw std::logic_error("boom");
      if (call == 2) throw NotAStdException();
    };
    t.onStop = [](ProbeThread&, int) { throw 7; };
    ASSERT_FALSE(t.StartSynchronously().IsError());
    for (int n = 1; n <= 3; ++n) {
      t.Signal();
      ASSERT_TRUE(t.WaitForCount("event", n));
    }
    ASSERT_FALSE(t.Stop(true).IsError());
    EXPECT_EQ(t.Calls().back(), "completion");

    FailingWaitThread failing;
    ASSERT_FALSE(failing.Start().IsError());
    ASSERT_TRUE(failing.WaitForStop(CTimeInterval::FromSeconds(10)));
    EXPECT_TRUE(failing.abandoned);
    records = sink->Records();
  }
  const char* expected[][2] = {{"OnStart()", "start failed"},
                               {"OnEvent()", "boom"},
                               {"OnEvent()", "not derived from std::exception"},
                               {"OnStop()", "not derived from std::exception"},
                               {"WaitForEvent()", "wait failed"}};
  ASSERT_EQ(records.size(), 5u);
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].level, -1);
    EXPECT_THAT(records[i].function, HasSubstr("CAlertableEventThread::"));
    EXPECT_THAT(records[i].message,
                ::testing::AllOf(HasSubstr(expected[i][0]), HasSubstr(expected[i][1])));
  }
}

// The shape of the process-wide statistics thread: objects never destroyed,
// one still waking up every 100 ns while the process exits, one stopped and
// ended but never joined, one asked to stop just before the exit.
CAlertableEventThread* g_pLeftAlive[3];

void ExitWithThreadsLeftAlive() {
  alarm(20);  // a hang at exit ends as a signal, not as exit code 0
  for (CAlertableEventThread*& t : g_pLeftAlive) t = new CAlertableEventThread;
  g_pLeftAlive[0]->SetTimeout(kTick);
  g_pLeftAlive[0]->StartSynchronously();
  g_pLeftAlive[1]->StartSynchronously();
  g_pLeftAlive[1]->Stop(false);
  g_pLeftAlive[1]->WaitForStop(CTimeInterval::FromSeconds(10));
  g_pLeftAlive[2]->Start();
  g_pLeftAlive[2]->Stop(false);
  std::exit(0);  // what returning from main does
}

TEST(AlertableEventThreadDeathTest, ProcessExitsCleanlyWithThreadsNeverJoined) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, not a fork
  EXPECT_EXIT(ExitWithThreadsLeftAlive(), ::testing::ExitedWithCode(0),
              Not(HasSubstr("Sanitizer")));
}

}  // namespace
