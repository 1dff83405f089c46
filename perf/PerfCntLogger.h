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
// (never joined, never destroyed). A logger stopped before the fork gets no
// thread. fork() itself takes the logger's and its counter set's locks first,
// so it waits for a pass running on another thread to end; that way no lock is
// left held in the child by a thread that does not exist there. This covers
// the logger of Instance() only; a logger built directly is not touched. A
// metrics endpoint or other threads of the host are not restarted: start them
// after the fork.
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

#include "../framework/AlertableEventThread.h"
#include "../framework/LogWriterInterface.h"
#include "../sync/CriticalSection.h"
#include "../sync/Export.h"
#include "../sync/KyError.h"
#include "../sync/Mutex.h"
#include "../sync/ThreadAnnotations.h"
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

  // Creates and starts the CLogThread unless one exists. Always
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
  // locks before fork(), release them after it, and mark the child's logger.
  // Not checked by the analysis: the locks taken in one handler are released
  // in another.
  static void ForkPrepare() ZR_NO_THREAD_SAFETY_ANALYSIS;
  static void ForkParent() ZR_NO_THREAD_SAFETY_ANALYSIS;
  static void ForkChild();
  // In a forked child, on the logger's first use there: RestartAfterFork().
  void CheckFork();
  // Abandons the parent's thread object and starts a new thread (unless the
  // thread was stopped), once.
  void RestartAfterFork();

  boost::shared_ptr<CPerfCounters> m_ptrPerfCounters;
  // Serialises creating and replacing the thread object (StartDebugThread(),
  // RestartAfterFork()). m_ptrLogThread is not annotated as guarded by it: the
  // other members read the handle without it (see the REQUIRES above).
  FXCriticalSection m_csThreadLock;
  boost::shared_ptr<CLogThread> m_ptrLogThread;
  // Guards m_vecCallbacks against AddStatsCallback(); taken last of the
  // library's locks (see ForkPrepare()).
  zrperf::Mutex m_mtxCallbacks ZR_ACQUIRED_AFTER(m_csThreadLock);
  std::vector<std::function<void()>> m_vecCallbacks ZR_GUARDED_BY(m_mtxCallbacks);
  // Read and replaced with std::atomic_load/atomic_store only.
  std::shared_ptr<CHistogramLog> m_ptrHistogramLog;
  std::atomic<bool> m_bForked{false};   // set in a forked child until its thread runs
  std::atomic<bool> m_bStopped{false};  // StopDebugThread() was called
};

#endif  // ZRPERF_PERF_PERFCNTLOGGER_H_
