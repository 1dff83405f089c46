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
//   g_ptrLogWriter.reset(new CCapturingSink);

#ifndef ZRPERF_FRAMEWORK_LOGWRITERINTERFACE_H_
#define ZRPERF_FRAMEWORK_LOGWRITERINTERFACE_H_

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <cstdarg>
#include <string>

#include "../sync/Export.h"

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

// The process-wide sink; empty until the host installs one.
// REQUIRES: installed or replaced only while no other thread logs.
extern ZRFW_EXPORT boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

#endif  // ZRPERF_FRAMEWORK_LOGWRITERINTERFACE_H_
