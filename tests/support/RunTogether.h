// Test support: runs one body on several threads that start together, so
// that they really race, and waits for all of them.
//
// Thread-safety: the body runs on every thread at once and must be safe so.

#ifndef ZRPERF_TESTS_SUPPORT_RUNTOGETHER_H_
#define ZRPERF_TESTS_SUPPORT_RUNTOGETHER_H_

#include <atomic>
#include <thread>
#include <vector>

namespace zrperf_test {

// Calls body(i) for each i in [0, threads), each on a thread of its own; the
// threads spin until all have started, and the call returns once all are done.
template <typename Body>
void RunTogether(int threads, Body&& body) {
  std::atomic<int> waiting{threads};
  std::vector<std::thread> running;
  for (int i = 0; i < threads; ++i) {
    running.emplace_back([&, i] {
      waiting.fetch_sub(1);
      while (waiting.load() > 0) std::this_thread::yield();
      body(i);
    });
  }
  for (std::thread& t : running) t.join();
}

}  // namespace zrperf_test

#endif  // ZRPERF_TESTS_SUPPORT_RUNTOGETHER_H_
