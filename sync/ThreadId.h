// GetCurrentThreadId: a 32-bit identifier of the calling thread.
//
// It is the low 32 bits of pthread_self(), taken arithmetically so that the
// result is the same on little- and big-endian machines. Two threads whose
// pthread_t values differ only in the upper 32 bits share an id; the id serves
// only as the owner record of a lock, never as a key. Thread-safe.

#ifndef ZRPERF_SYNC_THREADID_H_
#define ZRPERF_SYNC_THREADID_H_

#include <pthread.h>

#include <cstdint>
#include <type_traits>

inline std::uint32_t GetCurrentThreadId() noexcept {
  static_assert(std::is_integral<pthread_t>::value, "pthread_t must be an integer type");
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(pthread_self()) & 0xFFFFFFFFu);
}

#endif  // ZRPERF_SYNC_THREADID_H_
