#include "PerfCntLogger.h"

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "../sync/AutoLock.h"
#include "../util/Constants.h"

namespace {

const char kInstanceFunction[] = "static PerfCntLogger* PerfCntLogger::Instance()";

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
  // Constant-initialised, never reset, never destroyed. The release store in
  // CreateInstance() publishes a fully built and started logger; the acquire
  // load makes a thread that sees the pointer also see everything the creator
  // wrote.
  static std::atomic<PerfCntLogger*> pSingleton{nullptr};

  PerfCntLogger* logger = pSingleton.load(std::memory_order_acquire);
  if (logger != nullptr) return logger;

  // The creation lock. Control reaches it on the first call (no logger yet),
  // which constructs it under the runtime's thread-safe static initialisation
  // and registers its destruction for process exit; once a logger is
  // published the fast path above never gets here.
  static FXCriticalSection csLock;
  // The creation path lives in a function of its own so that the fast path
  // stays one load, a test and a return, without a stack frame.
  return CreateInstance(csLock, pSingleton);
}

PerfCntLogger* PerfCntLogger::CreateInstance(FXCriticalSection& csLock,
                                             std::atomic<PerfCntLogger*>& pSingleton) {
  auto_lock lock(&csLock, true);
  PerfCntLogger* logger = pSingleton.load(std::memory_order_acquire);
  if (logger != nullptr) return logger;

  std::unique_ptr<PerfCntLogger> holder(new (std::nothrow) PerfCntLogger());
  if (!holder) {
    // An empty g_ptrLogWriter drops the report instead of crashing the process.
    if (CLogWriterInterface* sink = g_ptrLogWriter.get()) {
      sink->WriteLog(-1, kInstanceFunction, 64, 0, 0, "Failed instantiate PerfCntLogger");
    }
    return pSingleton.load(std::memory_order_relaxed);
  }

  CKyError result = holder->StartDebugThread();
  if (result.IsError()) {
    const std::string text = result.AsString();
    if (CLogWriterInterface* sink = g_ptrLogWriter.get()) {
      sink->WriteLog(-1, kInstanceFunction, 57, 0, 0, "Failed instantiate PerfCntLogger, error=%s",
                     text.c_str());
    }
    return nullptr;
  }

  pSingleton.store(holder.release(), std::memory_order_release);
  return pSingleton.load(std::memory_order_relaxed);
}

PerfCntLogger::PerfCntLogger() : m_ptrPerfCounters(new CPerfCounters()) {}

CKyError PerfCntLogger::StartDebugThread() {
  m_ptrLogWriter = g_ptrLogWriter;
  if (m_ptrLogThread) return CKyError::Success();

  auto_lock lock(&m_csThreadLock, true);
  m_ptrLogThread.reset(new CLogThread());
  m_ptrLogThread->Start();
  return CKyError::Success();
}

void PerfCntLogger::StopDebugThread() {
  if (m_ptrLogThread) m_ptrLogThread->Stop(false);
}

CKyError PerfCntLogger::LogPerfStats() {
  if (m_ptrPerfCounters) {
    m_ptrPerfCounters->Log();

    // Run the callbacks registered when the pass started, outside the lock,
    // so that a callback may itself add callbacks.
    std::vector<std::function<void()>> callbacks;
    {
      std::lock_guard<std::mutex> lock(m_mtxCallbacks);
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
  return m_ptrPerfCounters;
}

void PerfCntLogger::AddStatsCallback(std::function<void()> callback) {
  std::lock_guard<std::mutex> lock(m_mtxCallbacks);
  m_vecCallbacks.push_back(std::move(callback));
}

void PerfCntLogger::SetIntervalStats(bool on) {
  if (m_ptrPerfCounters) m_ptrPerfCounters->SetIntervalStats(on);
}

void PerfCntLogger::RequestStatsPass() {
  if (m_ptrLogThread) m_ptrLogThread->Signal();
}
