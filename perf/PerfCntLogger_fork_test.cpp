// fork() while other threads are inside the library: whatever they hold at
// that moment, a forked child's recording, passes and records never wait for
// them. Each child is bounded by alarm(): a hang there is a failure here.

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <zrperf/framework/SpdlogLogWriter.h>
#include <zrperf/tests/support/CapturingSink.h>
#include <zrperf/tests/support/TempDir.h>
#include <zrperf/tests/support/UserModeEmulator.h>
#include "PerfCntLogger.h"

// ThreadSanitizer ends a child that starts a thread after a multi-threaded
// fork unless told otherwise; the children here start the statistics thread.
// Its deadlock detector follows at most 64 locks held by one thread, and the
// fork handlers hold every counter's lock (thousands here) across fork().
#if defined(__SANITIZE_THREAD__)
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() {
  return "die_after_fork=0:detect_deadlocks=0";
}
#endif

namespace {

using zrperf_test::UnderUserModeEmulator;

// Runs each of `busy` on a thread while each round forks from a fresh thread
// (so the child's first sample links a slot under the counter's lock) and runs
// `child` there under alarm(); the first child not exiting 0 fails the test.
void ForkRounds(int rounds, const std::vector<std::function<void()>>& busy,
                const std::function<bool()>& child) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (const auto& work : busy) {
    threads.emplace_back([&stop, work] {
      while (!stop.load(std::memory_order_relaxed)) work();
    });
  }
  for (int round = 0; round < rounds; ++round) {
    pid_t pid = -1;
    std::thread([&] {
      pid = fork();
      if (pid == 0) {
        alarm(10);  // a child that waits for a parent's thread dies of SIGALRM
        _exit(child() ? 0 : 1);
      }
    }).join();
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
      ADD_FAILURE() << "round " << round << ": child status " << status
                    << (WIFSIGNALED(status) ? " (killed: it waited for a lock)" : "");
      break;  // one hang is enough
    }
  }
  stop.store(true);
  for (auto& t : threads) t.join();
}

// While another thread forks, threads hold each of the library's locks: they
// read counters, run passes, write records, replace the sink, register names
// and end after recording. The child records on a thread with no slot yet,
// runs passes with both records and restarts the logger through Instance().
TEST(PerfCntLoggerFork, ChildNeverWaitsForWhatParentThreadsHeldAtFork) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // GCC 12's sanitizer allocators take no lock across fork(), so a child that
  // allocates while another thread was inside malloc at fork() can hang in
  // the sanitizer itself (under TSan about one child in 2,000 did). The
  // sanitizers still see the fork paths through the other fork tests.
  GTEST_SKIP() << "the sanitizer runtimes of this compiler are not fork-safe with threads";
#endif
  if (UnderUserModeEmulator()) GTEST_SKIP() << "qemu-user cannot fork a multi-threaded guest";
  zrperf_test::TempDir dir("zrperf-fork");
  boost::shared_ptr<CLogWriterInterface> sink =
      CSpdlogLogWriter::CreateRotatingFile(dir.Path("log"), 1 << 20, 1);
  zrfw::StoreLogWriter(sink);
  PerfCntLogger* logger = PerfCntLogger::Instance();
  ASSERT_NE(logger, nullptr);
  logger->SetIntervalStats(true);
  std::string error;
  ASSERT_TRUE(logger->SetHistogramLog(dir.Path("histograms.log"), HistogramLogOptions(), &error))
      << error;  // passes then also hold the histogram log's lock
  boost::shared_ptr<CPerfCounters> counters = logger->GetPerfCounters();
  boost::shared_ptr<CTimeCounter> busy = counters->GetCounter("busy");
  busy->AddSample(CTimeInterval(100));
  std::atomic<long> names{0};

  ForkRounds(60,
             {[&] { busy->GetSnapshot(); }, [&] { busy->GetTotalSamples(); },
              [&] {
                busy->AddSample(CTimeInterval(200));
                logger->LogPerfStats();
              },
              [&] {
                zrfw::SendLog(zrfw::LevelRule::kAlways, 0, "busy", 1, "record %d", 1);
                zrfw::StoreLogWriter(sink);
              },
              [&] {
                counters->GetCounter("n" + std::to_string(names.fetch_add(1) % 4096));
                std::thread([&] { busy->AddSample(CTimeInterval(300)); }).join();
              }},
             [&] {
               busy->AddSample(CTimeInterval(400));
               logger->LogPerfStats();
               PerfCntLogger* again = PerfCntLogger::Instance();
               again->GetPerfCounters()->GetCounter("child")->AddSample(CTimeInterval(500));
               again->LogPerfStats();
               return again == logger && busy->GetTotalSamples() > 0;
             });
  logger->SetHistogramLog("", HistogramLogOptions(), &error);
  zrfw::StoreLogWriter(nullptr);
}

// A logger stopped before fork() stays stopped in the child: no thread, no
// note, and starting it again starts nothing; its passes still run on the
// caller.
TEST(PerfCntLoggerFork, StoppedLoggerGetsNoThreadInTheChild) {
  if (UnderUserModeEmulator()) GTEST_SKIP() << "qemu-user cannot fork a multi-threaded guest";
  PerfCntLogger* logger = PerfCntLogger::Instance();
  ASSERT_NE(logger, nullptr);
  logger->StopDebugThread();
  ForkRounds(1, {}, [&] {
    zrperf_test::ScopedSink sink;
    PerfCntLogger* again = PerfCntLogger::Instance();
    again->StartDebugThread();
    again->RequestStatsPass();
    again->StopDebugThread();
    again->LogPerfStats();
    bool noted = false;
    for (const auto& r : sink->Records()) noted |= r.message.find("forked") != std::string::npos;
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return again == logger && !noted && std::distance(begin(tasks), end(tasks)) == 1;
  });
}

}  // namespace
