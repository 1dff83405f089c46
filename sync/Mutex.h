// zrperf::Mutex and zrperf::MutexLock: std::mutex and its scope guard, marked
// for clang's lock checking (ThreadAnnotations.h).
//
// libstdc++ does not annotate std::mutex, so a field "guarded by" a plain
// std::mutex cannot be checked. These wrappers add nothing at run time: the
// calls are inline and the layout is the std::mutex's.
//
//   zrperf::Mutex m_mutex;
//   int m_value ZR_GUARDED_BY(m_mutex);
//   ...
//   zrperf::MutexLock lock(&m_mutex);
//   m_value++;
//   m_cv.wait(lock.Native(), [&] { return m_ready; });   // waits through the std lock
//
// Thread-safety: as std::mutex. A MutexLock belongs to one thread.

#ifndef ZRPERF_SYNC_MUTEX_H_
#define ZRPERF_SYNC_MUTEX_H_

#include <mutex>

#include "ThreadAnnotations.h"

namespace zrperf {

class ZR_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ZR_ACQUIRE() { m_mutex.lock(); }
  void Unlock() ZR_RELEASE() { m_mutex.unlock(); }
  bool TryLock() ZR_TRY_ACQUIRE(true) { return m_mutex.try_lock(); }
  // Tells the checker that the caller holds the mutex (for callbacks that
  // run under a lock taken elsewhere, such as a condition variable's wait).
  void AssertHeld() const ZR_ASSERT_CAPABILITY(this) {}

  // The std::mutex itself, for std::unique_lock and condition variables.
  std::mutex& Native() { return m_mutex; }

 private:
  std::mutex m_mutex;
};

// Holds a Mutex from construction to destruction. Native() gives the
// std::unique_lock for condition-variable waits, which release and retake the
// mutex inside the wait and return with it held.
class ZR_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) ZR_ACQUIRE(mutex) : m_lock(mutex->Native()) {}
  ~MutexLock() ZR_RELEASE() {}

  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  std::unique_lock<std::mutex>& Native() { return m_lock; }

 private:
  std::unique_lock<std::mutex> m_lock;
};

}  // namespace zrperf

#endif  // ZRPERF_SYNC_MUTEX_H_
