// CSpdlogLogWriter: a ready-made log sink, written with spdlog, for hosts that
// have no sink of their own. Install one in g_ptrLogWriter:
//
//   g_ptrLogWriter = CSpdlogLogWriter::CreateRotatingFile("/var/log/zrperf/zrperf.log",
//                                                         10 * 1024 * 1024, 5);
//
// Destinations: standard error, a file rotated by size, or syslog.
//
// Record layout: one record per line, the same text for every destination:
//
//   2024-05-01 12:34:56.789 [info] [4242:4250] [void CPerfCounters::Log():39] Exec Stats: ...
//
// that is "<local date> <time with milliseconds> [<level>] [<pid>:<tid>]
// [<function>:<line>] <message>" and a line feed. The tid is the kernel thread
// id (gettid). The message is written exactly as given: line feeds and tabs
// inside it are not escaped, so a multi-line message spans several lines of
// the file. A null function is written as an empty text.
//
// Levels: the level passed to WriteLog maps to spdlog's (and syslog's) as
//   <= -2 : critical      -1 : error      0 : info      >= 1 : debug
// Every record handed to the sink is written; callers filter beforehand with
// GetLogLevel(), which comes from CLogWriterInterface (0 unless SetLogLevel()).
//
// Flushing: records at level 0 and below are flushed to the destination
// before WriteRecord() returns; debug records (level >= 1) are buffered until
// the next flushed record, Flush(), or the sink's destruction.
//
// Faults: no operation throws on an I/O error. A destination that cannot be
// opened at creation (for syslog: nothing listens on its socket) makes the
// sink write to standard error instead (it says so once there, see
// IsFallback()); a failed write or flush is counted (see
// GetWriteErrorCount()), the first one is noted on standard error, and the
// record is dropped. Nothing is reported through g_ptrLogWriter.
//
// The log file: before each open of it (at creation and after each rotation)
// the sink looks at what is at the path, through the file seam
// (FileSystem.h) and without blocking: a FIFO (with or without a reader), a
// socket or a directory is refused (at creation: the fallback above; after a
// rotation: a counted error), so a FIFO planted at the path cannot hold the
// process. A regular file, a character device (/dev/null) or nothing (the
// file and its directories are created) is taken. The opening, writing,
// flushing and renaming of the file itself are spdlog's (stdio), not made
// through the seam.
//
// Thread safety: all operations may be called from any number of threads at
// once; records from different threads never interleave within a line. Each
// sink serialises its writes and flushes with a lock of its own.
//
// fork(): pthread_atfork handlers hold every sink's lock across fork(), so a
// write in progress on another thread ends first; the child gets each lock
// free, and its records never wait for a thread of the parent.

#ifndef ZRPERF_FRAMEWORK_SPDLOGLOGWRITER_H_
#define ZRPERF_FRAMEWORK_SPDLOGLOGWRITER_H_

#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <zrperf/sync/Export.h>
#include "LogWriterInterface.h"

class ZRFW_EXPORT CSpdlogLogWriter : public CLogWriterInterface {
 public:
  // The syslog facility LOG_USER, the default of CreateSyslog().
  static constexpr int kSyslogUser = 1 << 3;

  // A sink writing to the process's standard error.
  static boost::shared_ptr<CSpdlogLogWriter> CreateStderr();

  // A sink appending to the file `path`, creating it and its parent
  // directories if needed. When a record would take the file past
  // `maxBytes`, the file is renamed to "<stem>.1<ext>" (older ones shift to
  // .2, .3, ...; the oldest beyond `maxRotated` is deleted) and a new file is
  // started: "app.log" rotates to "app.1.log", "app.2.log", ...
  // REQUIRES: maxBytes > 0, maxRotated <= 200000 (otherwise the sink falls
  // back to standard error).
  static boost::shared_ptr<CSpdlogLogWriter> CreateRotatingFile(const std::string& path,
                                                                std::size_t maxBytes,
                                                                std::size_t maxRotated);

  // The socket that syslog(3) sends to.
  static constexpr const char* kSyslogSocket = "/dev/log";

  // A sink sending each record to syslog(3) under `ident`, with the process
  // id, at the priority of its level (critical, error, info, debug). When
  // nothing listens on kSyslogSocket at creation (no syslog daemon, as in many
  // containers), syslog(3) would drop every record: the sink falls back to
  // standard error instead.
  // REQUIRES: at most one syslog sink alive in the process at a time
  // (openlog/closelog settings are process-wide).
  static boost::shared_ptr<CSpdlogLogWriter> CreateSyslog(const std::string& ident,
                                                          int facility = kSyslogUser);
  // The same, checking `listener` for a listener instead of kSyslogSocket
  // (records still go where syslog(3) sends them): for tests.
  static boost::shared_ptr<CSpdlogLogWriter> CreateSyslog(const std::string& ident, int facility,
                                                          const std::string& listener);

  ~CSpdlogLogWriter() override;  // flushes

  void WriteRecord(int level, const char* function, int line, const std::string& message) override;

  // Writes buffered records out to the destination.
  void Flush();

  // True when the requested destination could not be opened and the records
  // go to standard error instead.
  bool IsFallback() const noexcept;

  // How many writes or flushes have failed since creation.
  std::uint64_t GetWriteErrorCount() const noexcept;

 private:
  struct Impl;
  explicit CSpdlogLogWriter(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> m_pImpl;
};

#endif  // ZRPERF_FRAMEWORK_SPDLOGLOGWRITER_H_
