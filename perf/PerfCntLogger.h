// PerfCntLogger: the process-wide statistics logger, and CLogThread, its
// periodic log thread.
//
// There is one logger per process, reached through Instance(), which creates
// it on first use: it builds the counter set, starts a CLogThread and only then
// publishes the logger. The thread runs one statistics pass, LogPerfStats(),
// every 300 seconds and whenever its event is signalled (RequestStatsPass()).
// A pass writes the counter set's "Exec Stats" record (followed by its
// "Interval Stats" record once SetIntervalStats(true) was called) and then
// runs every statistics callback in order, each in its own catch-all. With a
// histogram log set (SetHistogramLog()), the pass appends the counters'
// histograms to it between the records and the callbacks.
//
//   PerfCntLogger* logger = PerfCntLogger::Instance();   // null if creation failed
//   boost::shared_ptr<CPerfCounters> counters = logger->GetPerfCounters();
//   logger->AddStatsCallback([] { /* write more statistics */ });
//   logger->RequestStatsPass();                          // a pass now, on the thread
//
// The published logger is never destroyed; StopDebugThread() asks the thread to
// stop and the logger never starts it again. A process may return from main
// with the thread still running.
//
// fork(): the child has only the thread that called fork(), so the process-wide
// logger's statistics thread is not there. On the child's next use of the
// logger (Instance() or any member below) the logger starts a new thread and
// says so once at level -1; its counters, their records and the callbacks
// carry on in the child. The parent's thread object is abandoned in the child
// (never joined, destroyed or otherwise touched). A logger stopped before the
// fork gets no thread there, and StartDebugThread() starts none.
//
// Whatever the parent's other threads were doing at fork(), the child's
// recording, passes, records and textfile writes never wait for them: every
// lock the child may take is either held across fork() by the library's
// pthread_atfork handlers (so the data it guards is whole) and freed in the
// child (a std::mutex is released by the child's copy of the thread that took
// it; a critical section, which records its owner by an id that thread no
// longer has, is built afresh), or, where it guards no data, only built afresh
// in the child. The handlers take
// them in this order (glibc runs prepare handlers in the reverse order of
// registration), which is the library's lock order:
//   1. this logger: the creation lock, m_csThreadLock, m_mtxCallbacks
//      (registered when Instance() creates the logger);
//   2. the textfile writers' list (libzrperf-prometheus; each writer's write
//      lock is only built afresh in the child: fork() does not wait for a
//      write in progress);
//   3. every CPerfCounters: m_csPassLock, then m_csLock (so fork() waits for a
//      running pass, registration or Reset() to end);
//   4. every CSpdlogLogWriter's lock (a record being written), and every
//      counter's lock after the process-wide counter lifetime mutex (a read of
//      the counter, a thread end folding into it); these two groups are
//      independent of each other;
//   5. the spin lock that guards copies of g_ptrLogWriter.
// A sink of the host's own (another CLogWriterInterface) must be fork-safe
// itself. Covered are the logger of Instance() (a logger built directly keeps
// its own callbacks lock and thread as they are), every counter set, counter,
// spdlog sink and textfile writer. Threads are not restarted, the metrics
// endpoint's and the textfile writer's included: start them after the fork.
//
// Thread-safety: Instance(), LogPerfStats(), GetPerfCounters(),
// AddStatsCallback(), SetIntervalStats(), RequestStatsPass() and
// StopDebugThread() may be called from any thread at any time; passes on
// several threads may overlap (the counter set serialises its own Log()). StartDebugThread() is
// called by Instance() on a logger not yet published. REQUIRES: StartDebugThread() never runs
// concurrently with itself or with StopDebugThread() on one logger.

#ifndef ZRPERF_PERF_PERFCNTLOGGER_H_
#define ZRPERF_PERF_PERFCNTLOGGER_H_

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <zrperf/framework/AlertableEventThread.h>
#include <zrperf/framework/LogWriterInterface.h>
#include <zrperf/sync/CriticalSection.h>
#include <zrperf/sync/Export.h>
#include <zrperf/sync/KyError.h>
#include <zrperf/sync/Mutex.h>
#include <zrperf/sync/ThreadAnnotations.h>
#include "HistogramLog.h"
#include "PerfCounters.h"

// The periodic log thread: one statistics pass of the logger each time its
// timeout of 300 seconds passes and each time its event is signalled. The
// thread itself, its wait loop, start and stop are CAlertableEventThread's.
class ZRPERF_EXPORT CLogThread : public CAlertableEventThread {
 public:
  // Sets the 300-second timeout; starts nothing.
  CLogThread();
  ~CLogThread() override;

  // Both run PerfCntLogger::Instance()->LogPerfStats() (nothing without a logger).
  void OnEvent() override;
  void OnTimeout() override;
};

class ZRPERF_EXPORT PerfCntLogger {
 public:
  // The logger; created, started and published on the first call (and on the
  // next call after a failed creation). Null when creation failed: the failure
  // is reported through g_ptrLogWriter at level -1 when a sink is installed.
  static PerfCntLogger* Instance();

  // Builds the counter set; neither starts the thread nor touches the sink.
  // Instance() is the only caller in a process that uses the singleton.
  PerfCntLogger();

  // Creates and starts the CLogThread unless one exists or StopDebugThread()
  // was called. Always
  // CKyError::Success(). (Records go to whatever sink is installed when they
  // are written; the logger keeps no copy of it.)
  CKyError StartDebugThread();

  // Asks the thread, if any, to stop (without waiting). It is never restarted.
  void StopDebugThread();

  // One statistics pass: the counter set's Log(), then each callback in order;
  // whatever a callback throws is dropped. Always CKyError::Success().
  CKyError LogPerfStats();

  // The counter set that the logger writes.
  boost::shared_ptr<CPerfCounters> GetPerfCounters();

  // Appends a statistics callback. A pass runs the callbacks that were
  // registered when it started; adding one while a pass runs is safe.
  void AddStatsCallback(std::function<void()> callback);

  // Turns the counter set's "Interval Stats" record on or off (off by
  // default); see CPerfCounters::SetIntervalStats().
  void SetIntervalStats(bool on);

  // From the next pass on, appends every counter's histogram to the log at
  // `path` (see HistogramLog.h), replacing the log set before; an empty path
  // stops the log. False, with `error` set when given, when the file cannot
  // be opened (the previous log, if any, then stays).
  bool SetHistogramLog(const std::string& path,
                       const HistogramLogOptions& options = HistogramLogOptions(),
                       std::string* error = nullptr);

  // Signals the log thread, which then runs one pass through OnEvent();
  // does nothing without a thread.
  void RequestStatsPass();

 private:
  // Instance()'s creation path: takes csLock, tests pSingleton again, builds,
  // starts and publishes the logger.
  __attribute__((noinline, cold)) static PerfCntLogger* CreateInstance(
      FXCriticalSection& csLock, std::atomic<PerfCntLogger*>& pSingleton);

  // The fork handlers (pthread_atfork) of the process-wide logger: take its
  // locks before fork(), release them in the parent, build them afresh in the
  // child and mark the child's logger.
  // Not checked by the analysis: the locks taken in one handler are released
  // in another.
  static void ForkPrepare() ZR_NO_THREAD_SAFETY_ANALYSIS;
  static void ForkParent() ZR_NO_THREAD_SAFETY_ANALYSIS;
  static void ForkChild() ZR_NO_THREAD_SAFETY_ANALYSIS;
  // In a forked child, on the logger's first use there: RestartAfterFork().
  void CheckFork();
  // Abandons the parent's thread object and starts a new thread (unless the
  // thread was stopped: then the logger keeps none), once.
  void RestartAfterFork();

  boost::shared_ptr<CPerfCounters> m_ptrPerfCounters;
  // Serialises creating and replacing the thread object (StartDebugThread(),
  // RestartAfterFork()). m_ptrLogThread is not annotated as guarded by it: the
  // other members read the handle without it (see the REQUIRES above).
  FXCriticalSection m_csThreadLock;
  boost::shared_ptr<CLogThread> m_ptrLogThread;
  // Guards m_vecCallbacks against AddStatsCallback(); nothing is taken under
  // it (see ForkPrepare()).
  zrperf::Mutex m_mtxCallbacks ZR_ACQUIRED_AFTER(m_csThreadLock);
  std::vector<std::function<void()>> m_vecCallbacks ZR_GUARDED_BY(m_mtxCallbacks);
  // Guards the histogram log's handle: a pass copies it, SetHistogramLog()
  // replaces it; nothing is taken under it (see ForkPrepare()).
  zrperf::Mutex m_mtxHistogramLog ZR_ACQUIRED_AFTER(m_mtxCallbacks);
  std::shared_ptr<CHistogramLog> m_ptrHistogramLog ZR_GUARDED_BY(m_mtxHistogramLog);
  std::atomic<bool> m_bForked{false};   // set in a forked child until its thread runs
  std::atomic<bool> m_bStopped{false};  // StopDebugThread() was called
};

#endif  // ZRPERF_PERF_PERFCNTLOGGER_H_
