#include "PerfCntLogger.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include <zrperf/sync/AutoLock.h>

namespace {

const char kInstanceFunction[] = "static PerfCntLogger* PerfCntLogger::Instance()";
const char kForkFunction[] = "void PerfCntLogger::RestartAfterFork()";

// The published logger. Constant-initialised, never destroyed; reset to null
// only in a forked child (see ForkChild()), whose next Instance() then takes
// the creation path and restarts the thread.
std::atomic<PerfCntLogger*> g_pSingleton{nullptr};
// The logger that the fork handlers lock and, in a child, hand over to the
// creation path; set once, before the handlers are registered.
PerfCntLogger* g_pForkLogger = nullptr;
// The creation lock, built on the first Instance() call.
FXCriticalSection* g_pCreationLock = nullptr;

// Thread objects of a parent process, left behind in a forked child: their
// threads do not exist there, so they must be neither joined nor destroyed.
// Reachable from a global, never freed.
std::vector<boost::shared_ptr<CLogThread>>* g_pAbandonedThreads = nullptr;

}  // namespace

// ---------------------------------------------------------------------------
// CLogThread
// ---------------------------------------------------------------------------

CLogThread::CLogThread() {
  CAlertableEventThread::SetTimeout(CTimeInterval::FromSeconds(300));
}

CLogThread::~CLogThread() = default;

void CLogThread::OnEvent() {
  PerfCntLogger* logger = PerfCntLogger::Instance();
  if (logger == nullptr) return;
  logger->LogPerfStats();
}

void CLogThread::OnTimeout() {
  PerfCntLogger* logger = PerfCntLogger::Instance();
  if (logger == nullptr) return;
  logger->LogPerfStats();
}

// ---------------------------------------------------------------------------
// PerfCntLogger
// ---------------------------------------------------------------------------

PerfCntLogger* PerfCntLogger::Instance() {
  // The release store in CreateInstance() publishes a fully built and started
  // logger; the acquire load makes a thread that sees the pointer also see
  // everything the creator wrote.
  PerfCntLogger* logger = g_pSingleton.load(std::memory_order_acquire);
  if (logger != nullptr) return logger;

  // The creation lock. Control reaches it on the first call (no logger yet),
  // which constructs it under the runtime's thread-safe static initialisation
  // and registers its destruction for process exit; once a logger is
  // published the fast path above never gets here (in a forked child, once
  // more).
  static FXCriticalSection csLock;
  // The creation path lives in a function of its own so that the fast path
  // stays one load, a test and a return, without a stack frame.
  return CreateInstance(csLock, g_pSingleton);
}

PerfCntLogger* PerfCntLogger::CreateInstance(FXCriticalSection& csLock,
                                             std::atomic<PerfCntLogger*>& pSingleton) {
  auto_lock lock(&csLock, true);
  PerfCntLogger* logger = pSingleton.load(std::memory_order_acquire);
  if (logger != nullptr) return logger;

  if (g_pForkLogger != nullptr) {
    // A forked child: the parent's logger, with its counters and callbacks,
    // carries on with a thread of its own.
    g_pForkLogger->RestartAfterFork();
    pSingleton.store(g_pForkLogger, std::memory_order_release);
    return g_pForkLogger;
  }

  std::unique_ptr<PerfCntLogger> holder(new (std::nothrow) PerfCntLogger());
  if (!holder) {
    // Without a sink the report is dropped instead of crashing the process.
    zrfw::SendLog(zrfw::LevelRule::kAlways, -1, kInstanceFunction, 64,
                  "Failed instantiate PerfCntLogger");
    return pSingleton.load(std::memory_order_relaxed);
  }

  CKyError result = holder->StartDebugThread();
  if (result.IsError()) {
    const std::string text = result.AsString();
    zrfw::SendLog(zrfw::LevelRule::kAlways, -1, kInstanceFunction, 57,
                  "Failed instantiate PerfCntLogger, error=%s", text.c_str());
    return nullptr;
  }

  // The fork handlers, registered once (glibc drops them when the library is
  // unloaded). Without them a child would have no statistics thread at all.
  g_pAbandonedThreads = new (std::nothrow) std::vector<boost::shared_ptr<CLogThread>>();
  if (g_pAbandonedThreads != nullptr) {
    g_pForkLogger = holder.get();
    g_pCreationLock = &csLock;
    if (pthread_atfork(&PerfCntLogger::ForkPrepare, &PerfCntLogger::ForkParent,
                       &PerfCntLogger::ForkChild) != 0) {
      g_pForkLogger = nullptr;
    }
  }

  pSingleton.store(holder.release(), std::memory_order_release);
  return pSingleton.load(std::memory_order_relaxed);
}

// fork() while another thread holds one of these locks would leave it held
// for good in the child, where that thread does not exist; so fork() takes
// them first (in the library's lock order; the counter sets' own handlers
// take their locks next, see PerfCounters.cpp), waiting for a thread start or
// a callback registration to end. The parent releases them; the child, whose
// thread has another id (the critical sections record their owner by it),
// builds the critical sections afresh instead, leaving no level held.
//
// The histogram log's handle and its own lock come last: a pass holds the
// log's lock while it runs the set's Log() (whose locks the sets' handlers
// take after these), and the handle cannot change while its lock is held.
void PerfCntLogger::ForkPrepare() {
  PerfCntLogger* logger = g_pForkLogger;
  g_pCreationLock->Lock();
  logger->m_csThreadLock.Lock();
  logger->m_mtxCallbacks.Lock();
  logger->m_mtxHistogramLog.Lock();
  if (logger->m_ptrHistogramLog) logger->m_ptrHistogramLog->LockForFork();
}

void PerfCntLogger::ForkParent() {
  PerfCntLogger* logger = g_pForkLogger;
  if (logger->m_ptrHistogramLog) logger->m_ptrHistogramLog->UnlockAfterFork();
  logger->m_mtxHistogramLog.Unlock();
  logger->m_mtxCallbacks.Unlock();
  logger->m_csThreadLock.Unlock();
  g_pCreationLock->Unlock();
}

// Runs in the child, which has only the thread that called fork(): frees the
// locks and marks the logger so that its next use starts a thread.
void PerfCntLogger::ForkChild() {
  PerfCntLogger* logger = g_pForkLogger;
  if (logger->m_ptrHistogramLog) logger->m_ptrHistogramLog->UnlockAfterFork();
  logger->m_mtxHistogramLog.Unlock();  // a std::mutex records no owner
  logger->m_mtxCallbacks.Unlock();
  logger->m_csThreadLock.ReinitAfterFork();
  g_pCreationLock->ReinitAfterFork();
  logger->m_bForked.store(true, std::memory_order_release);
  g_pSingleton.store(nullptr, std::memory_order_release);
}

void PerfCntLogger::CheckFork() {
  // Acquire pairs with the release store in RestartAfterFork(): a thread that
  // sees the flag clear also sees the new thread object.
  if (m_bForked.load(std::memory_order_acquire)) RestartAfterFork();
}

void PerfCntLogger::RestartAfterFork() {
  auto_lock lock(&m_csThreadLock, true);
  if (!m_bForked.load(std::memory_order_relaxed)) return;
  if (m_ptrLogThread) {
    // A stopped logger stays without a thread.
    const bool start = !m_bStopped.load(std::memory_order_relaxed);
    boost::shared_ptr<CLogThread> fresh;
    try {
      if (start) fresh.reset(new CLogThread());
      // The parent's thread object stays referenced for good: destroying it
      // would join a thread that this process does not have, and its state
      // (its lock included) is the parent's, so the child never touches it.
      g_pAbandonedThreads->push_back(m_ptrLogThread);
    } catch (const std::bad_alloc&) {
      return;  // nothing changed: the next use tries again
    }
    m_ptrLogThread = fresh;
    if (m_ptrLogThread && !m_ptrLogThread->Start().IsError()) {
      zrfw::SendLog(zrfw::LevelRule::kAlways, -1, kForkFunction, __LINE__,
                    "Process forked: started a new statistics thread in the child (pid %d)",
                    static_cast<int>(getpid()));
    }
  }
  m_bForked.store(false, std::memory_order_release);
}

PerfCntLogger::PerfCntLogger() : m_ptrPerfCounters(new CPerfCounters()) {}

CKyError PerfCntLogger::StartDebugThread() {
  CheckFork();
  if (m_ptrLogThread || m_bStopped.load(std::memory_order_relaxed)) return CKyError::Success();

  auto_lock lock(&m_csThreadLock, true);
  m_ptrLogThread.reset(new CLogThread());
  m_ptrLogThread->Start();
  return CKyError::Success();
}

void PerfCntLogger::StopDebugThread() {
  CheckFork();
  m_bStopped.store(true, std::memory_order_relaxed);
  if (m_ptrLogThread) m_ptrLogThread->Stop(false);
}

CKyError PerfCntLogger::LogPerfStats() {
  CheckFork();
  if (m_ptrPerfCounters) {
    std::shared_ptr<CHistogramLog> log;
    {
      zrperf::MutexLock lock(&m_mtxHistogramLog);
      log = m_ptrHistogramLog;
    }
    if (log) {
      log->LogPass(*m_ptrPerfCounters);  // the records, then the histograms of the same reads
    } else {
      m_ptrPerfCounters->Log();
    }

    // Run the callbacks registered when the pass started, outside the lock,
    // so that a callback may itself add callbacks.
    std::vector<std::function<void()>> callbacks;
    {
      zrperf::MutexLock lock(&m_mtxCallbacks);
      callbacks = m_vecCallbacks;
    }
    for (auto& callback : callbacks) {
      try {
        callback();  // an empty std::function throws std::bad_function_call
      } catch (...) {
        // A callback's failure must not stop the pass or the thread.
      }
    }
  }
  return CKyError::Success();
}

boost::shared_ptr<CPerfCounters> PerfCntLogger::GetPerfCounters() {
  CheckFork();
  return m_ptrPerfCounters;
}

void PerfCntLogger::AddStatsCallback(std::function<void()> callback) {
  CheckFork();
  zrperf::MutexLock lock(&m_mtxCallbacks);
  m_vecCallbacks.push_back(std::move(callback));
}

void PerfCntLogger::SetIntervalStats(bool on) {
  CheckFork();
  if (m_ptrPerfCounters) m_ptrPerfCounters->SetIntervalStats(on);
}

bool PerfCntLogger::SetHistogramLog(const std::string& path, const HistogramLogOptions& options,
                                    std::string* error) {
  CheckFork();
  std::shared_ptr<CHistogramLog> log;
  if (!path.empty()) {
    log = CHistogramLog::Open(path, options, error);
    if (!log) return false;
  }
  {
    zrperf::MutexLock lock(&m_mtxHistogramLog);
    m_ptrHistogramLog.swap(log);
  }
  return true;  // the log replaced, if any, closes here, outside the lock
}

void PerfCntLogger::RequestStatsPass() {
  CheckFork();
  if (m_ptrLogThread) m_ptrLogThread->Signal();
}
