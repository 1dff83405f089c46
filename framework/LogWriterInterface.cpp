#include "LogWriterInterface.h"

#include <pthread.h>

#include <boost/smart_ptr/detail/spinlock_pool.hpp>
#include <boost/smart_ptr/shared_ptr.hpp>
#include <string>

#include <zrperf/framework/internal/StringFormat.h>

boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

namespace {

// The spin lock of the pool that boost::atomic_load/atomic_store take for
// g_ptrLogWriter (see LoadLogWriter()).
boost::detail::spinlock& SinkSpinLock() noexcept {
  return boost::detail::spinlock_pool<2>::spinlock_for(&g_ptrLogWriter);
}

// fork(): a thread copying or replacing the sink at that moment would leave
// the spin lock held in the child for good, where its first record would spin
// for ever. The handlers hold it across fork() (so the pointer is whole in the
// child) and release it on both sides; a spin lock has no owner, so releasing
// it in the child is sound. Taken last of the library's fork locks (nothing is
// taken under it): registered first, by a constructor that runs before the
// library's other static initialisers, and glibc runs prepare handlers in the
// reverse order of registration.
void LockSinkSpin() noexcept {
  SinkSpinLock().lock();
}
void UnlockSinkSpin() noexcept {
  SinkSpinLock().unlock();
}
__attribute__((constructor(101))) void RegisterSinkForkHandlers() {
  pthread_atfork(&LockSinkSpin, &UnlockSinkSpin, &UnlockSinkSpin);
}

}  // namespace

CLogWriterInterface::~CLogWriterInterface() = default;

void CLogWriterInterface::WriteLog(int level, const char* function, int line, int, int,
                                   const char* format, ...) {
  // The text is finished and the argument list closed before the record goes
  // to WriteRecord(), so a sink that throws leaves no va_list open.
  std::string message;
  ZR_FORMAT_VARIADIC(message, format);
  WriteRecord(level, function, line, message);
}

void CLogWriterInterface::WriteLogV(int level, const char* function, int line, const char* format,
                                    va_list args) {
  WriteRecord(level, function, line, zrfw::FormatV(format, args));
}

void CLogWriterInterface::SetLogLevel(int level) {
  m_nLogLevel.store(level, std::memory_order_relaxed);
}

int CLogWriterInterface::GetLogLevel() {
  return m_nLogLevel.load(std::memory_order_relaxed);
}

namespace zrfw {

// boost::atomic_load/atomic_store for shared_ptr go through a small pool of
// spin locks keyed by the pointer's address: a copy costs two uncontended
// lock operations and a reference-count increment, and no reader ever sees
// a half-written pointer or a sink destroyed under it.
boost::shared_ptr<CLogWriterInterface> LoadLogWriter() noexcept {
  return boost::atomic_load(&g_ptrLogWriter);
}

void StoreLogWriter(boost::shared_ptr<CLogWriterInterface> sink) noexcept {
  boost::atomic_store(&g_ptrLogWriter, std::move(sink));
}

void SendLog(LevelRule rule, int level, const char* function, int line, const char* format, ...) {
  const boost::shared_ptr<CLogWriterInterface> sink = LoadLogWriter();
  if (!sink) return;
  if (rule == LevelRule::kIfAdmitted && sink->GetLogLevel() < level) return;
  std::string message;
  ZR_FORMAT_VARIADIC(message, format);
  // Through WriteLog, as every caller used to write, so that a sink that
  // overrides WriteLog itself still sees every record.
  sink->WriteLog(level, function, line, 0, 0, "%s", message.c_str());
}

}  // namespace zrfw
