// Test support: runs one body on several threads, or in several child
// processes, that start together, so that they really race.
//
// Thread-safety: the body runs on every thread at once and must be safe so.

#ifndef ZRPERF_TESTS_SUPPORT_RUNTOGETHER_H_
#define ZRPERF_TESTS_SUPPORT_RUNTOGETHER_H_

#include <sys/wait.h>
#include <unistd.h>

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

// Forks `processes` children that wait until all are forked, then each calls
// body(i) and exits with the status it returns; returns their pids.
template <typename Body>
std::vector<pid_t> ForkTogether(int processes, Body&& body) {
  int go[2];
  if (::pipe(go) != 0) return {};
  std::vector<pid_t> pids;
  for (int i = 0; i < processes; ++i) {
    pids.push_back(::fork());
    if (pids.back() == 0) {
      ::close(go[1]);
      char c;
      while (::read(go[0], &c, 1) > 0) {
      }
      ::_exit(body(i));
    }
  }
  ::close(go[0]);
  ::close(go[1]);  // all start
  return pids;
}

// Waits for each of `pids`; true when there are some and all exited with 0.
inline bool ExitedCleanly(const std::vector<pid_t>& pids) {
  bool clean = !pids.empty();
  for (pid_t pid : pids) {
    int status = 0;
    clean = pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
            WEXITSTATUS(status) == 0 && clean;
  }
  return clean;
}

}  // namespace zrperf_test

#endif  // ZRPERF_TESTS_SUPPORT_RUNTOGETHER_H_
