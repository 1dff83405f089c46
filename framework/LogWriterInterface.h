// CLogWriterInterface: the process-wide log sink, and g_ptrLogWriter, its one instance.
//
// The host process installs a sink in g_ptrLogWriter before it calls anything
// that logs; the library only reads the pointer. A sink receives records from
// any thread at once and must be thread-safe.
//
// Levels: -1 for failures and warnings, 0 for routine messages; a message is
// meant to be written when the sink's level is at least the message's level.
// WriteLog writes what it is given: callers ask GetLogLevel() first when they
// want to filter.
//
// A complete sink overrides WriteRecord() (and usually GetLogLevel()); the
// formatting is done here:
//
//   class CCapturingSink : public CLogWriterInterface {
//    public:
//     void WriteRecord(int level, const char* function, int line,
//                      const std::string& message) override { ... }
//     int GetLogLevel() override { return 0; }
//   };
//   zrfw::StoreLogWriter(boost::make_shared<CCapturingSink>());
//
// Every part of the library sends its records through zrfw::SendLog(), which
// reads g_ptrLogWriter with an atomic load and keeps the sink alive for the
// call. A host that installs, replaces or removes the sink while other threads
// may log does it with zrfw::StoreLogWriter() (an atomic store); a plain
// assignment to g_ptrLogWriter is safe only while no other thread logs.

#ifndef ZRPERF_FRAMEWORK_LOGWRITERINTERFACE_H_
#define ZRPERF_FRAMEWORK_LOGWRITERINTERFACE_H_

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <cstdarg>
#include <string>

#include <zrperf/sync/Export.h>

class ZRFW_EXPORT CLogWriterInterface {
 public:
  CLogWriterInterface() = default;
  virtual ~CLogWriterInterface();

  CLogWriterInterface(const CLogWriterInterface&) = delete;
  CLogWriterInterface& operator=(const CLogWriterInterface&) = delete;

  // Formats the printf-style message (any length) and passes the finished
  // text to WriteRecord(). `function` is the reporting function's signature
  // text and `line` its source line; the two int arguments are reserved and 0.
  // Never throws for a formatting failure: the record then carries the format
  // text itself.
  virtual void WriteLog(int level, const char* function, int line, int, int, const char* format,
                        ...) __attribute__((format(printf, 7, 8)));

  // Receives one finished record. `function` may be null.
  virtual void WriteRecord(int level, const char* function, int line,
                           const std::string& message) = 0;

  // The level that callers compare a message's level against; 0 by default.
  virtual void SetLogLevel(int level);
  virtual int GetLogLevel();

  // WriteLog for a va_list.
  void WriteLogV(int level, const char* function, int line, const char* format, va_list args)
      __attribute__((format(printf, 5, 0)));

 private:
  std::atomic<int> m_nLogLevel{0};
};

// The process-wide sink; empty until the host installs one. Read it with
// zrfw::LoadLogWriter() and change it with zrfw::StoreLogWriter() whenever
// another thread may be logging.
extern ZRFW_EXPORT boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

namespace zrfw {

// The installed sink, read atomically; empty when none is installed. The copy
// keeps the sink alive while the caller uses it, even if it is replaced.
ZRFW_EXPORT boost::shared_ptr<CLogWriterInterface> LoadLogWriter() noexcept;

// Installs, replaces or (with an empty pointer) removes the process's sink
// atomically: safe while other threads log. The old sink is destroyed when
// the last record in flight through it is done.
ZRFW_EXPORT void StoreLogWriter(boost::shared_ptr<CLogWriterInterface> sink) noexcept;

// Whether a record is sent only when the sink's level admits it.
enum class LevelRule {
  kAlways,      // sent whatever the sink's level (some failure reports)
  kIfAdmitted,  // sent when GetLogLevel() >= the record's level (asked once)
};

// Sends one printf-style record to the installed sink under `rule`; drops it
// when no sink is installed (the sink is then not consulted at all). What the
// sink throws passes to the caller.
ZRFW_EXPORT void SendLog(LevelRule rule, int level, const char* function, int line,
                         const char* format, ...) __attribute__((format(printf, 5, 6)));

}  // namespace zrfw

#endif  // ZRPERF_FRAMEWORK_LOGWRITERINTERFACE_H_
