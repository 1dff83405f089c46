#include "OtlpInstanceId.h"

#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>
#include <zrperf/sync/Mutex.h>
#include <zrperf/sync/ThreadAnnotations.h>

#include <cstdio>
#include <random>

namespace zrotlp {

namespace {

zrperf::Mutex g_mutex;
pid_t g_owner ZR_GUARDED_BY(g_mutex) = 0;  // the process that made g_id
std::string g_id ZR_GUARDED_BY(g_mutex);

// The pthread_atfork handlers: the lock is held across fork(), so that the
// child, whose only thread is the forking one, finds the id whole and the
// lock released by that thread. Not checked by the analysis: the lock taken
// in one handler is released in another.
void ForkPrepare() ZR_NO_THREAD_SAFETY_ANALYSIS {
  g_mutex.Lock();
}
void ForkRelease() ZR_NO_THREAD_SAFETY_ANALYSIS {
  g_mutex.Unlock();
}
// Registered while the library loads; glibc drops them when it is unloaded.
struct ForkHandlers {
  ForkHandlers() noexcept { pthread_atfork(&ForkPrepare, &ForkRelease, &ForkRelease); }
} g_forkHandlers;

}  // namespace

std::string InstanceId() {
  zrperf::MutexLock lock(&g_mutex);
  if (g_owner == getpid()) return g_id;
  unsigned char b[16];
  if (getrandom(b, sizeof(b), 0) != static_cast<ssize_t>(sizeof(b))) {
    std::random_device device;
    for (unsigned char& x : b) x = static_cast<unsigned char>(device());
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof(text),
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  g_id = text;
  g_owner = getpid();
  return g_id;
}

}  // namespace zrotlp
