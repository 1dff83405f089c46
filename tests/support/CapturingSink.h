// Test support: a log sink that records what it is given, and a guard that
// installs one in g_ptrLogWriter.
//
// Overrides only WriteRecord and GetLogLevel, as any complete sink may. Safe to
// call from several threads; Records() returns a copy.

#ifndef ZRPERF_TESTS_SUPPORT_CAPTURINGSINK_H_
#define ZRPERF_TESTS_SUPPORT_CAPTURINGSINK_H_

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <zrperf/framework/LogWriterInterface.h>

namespace zrperf_test {

struct Record {
  int level;
  std::string function;
  int line;
  std::string message;
};

class CapturingSink : public CLogWriterInterface {
 public:
  explicit CapturingSink(int level = 0) : m_level(level) {}

  void WriteRecord(int level, const char* function, int line, const std::string& message) override {
    if (onRecord) onRecord();  // may throw; the record is then not kept
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.push_back(Record{level, function != nullptr ? function : "", line, message});
  }
  int GetLogLevel() override {
    m_levelQueries.fetch_add(1, std::memory_order_relaxed);
    return m_level.load(std::memory_order_relaxed);
  }

  // Runs first in each WriteRecord(). REQUIRES: set before the sink is in use.
  std::function<void()> onRecord;

  void SetLevel(int level) { m_level.store(level, std::memory_order_relaxed); }
  int LevelQueries() const { return m_levelQueries.load(std::memory_order_relaxed); }
  std::vector<Record> Records() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.clear();
    m_levelQueries.store(0);
  }

 private:
  std::atomic<int> m_level;
  std::atomic<int> m_levelQueries{0};
  mutable std::mutex m_mutex;
  std::vector<Record> m_records;
};

// Installs a new CapturingSink in g_ptrLogWriter for its lifetime and leaves
// g_ptrLogWriter empty when it goes. `sink->` reaches the sink.
// REQUIRES: no other thread logs while it is built or destroyed.
class ScopedSink {
 public:
  explicit ScopedSink(int level = 0) : m_pSink(new CapturingSink(level)) {
    g_ptrLogWriter = m_pSink;
  }
  ~ScopedSink() { g_ptrLogWriter.reset(); }
  ScopedSink(const ScopedSink&) = delete;
  ScopedSink& operator=(const ScopedSink&) = delete;

  CapturingSink* operator->() const { return m_pSink.get(); }

 private:
  boost::shared_ptr<CapturingSink> m_pSink;
};

}  // namespace zrperf_test

#endif  // ZRPERF_TESTS_SUPPORT_CAPTURINGSINK_H_
