// CPrometheusTextfile: writes a counter set's metrics to a file for
// node_exporter's textfile collector (--collector.textfile.directory).
//
//   CPrometheusTextfile textfile("/var/lib/prometheus/node-exporter/mysvc.prom", counters);
//   textfile.Start();                                  // every 15 s on its own thread
//   textfile.WriteAfterEachPass(PerfCntLogger::Instance());  // and after each statistics pass
//
// Each write serializes CPrometheusCollector::Collect() (text format, no
// timestamps, which node_exporter refuses) into a new temporary file in the
// target's directory (".<name>.<pid>.XXXXXXXX", created new, never through a
// link; the textfile collector reads only *.prom), makes it readable by all
// (node_exporter runs as another user), flushes it to the disk and renames it
// over the target: a reader sees the old file or the new one, never a part.
// Every file call goes through zrfw::Files(); an interrupted call is retried.
// A failed write removes its temporary file, writes one record to
// g_ptrLogWriter at level -1 per failing attempt, with the failing step and
// its cause, and leaves the previous file in place; it never throws and never
// stops the thread or a statistics pass.
//
// Only a regular file (or nothing) at the target is replaced. A device (such
// as /dev/null or /dev/full), a FIFO, a socket, a directory or a symbolic link
// there is left as it is, never opened (a FIFO cannot block a write): each
// write is refused with a record saying what is there. (It is looked at just
// before the write; a link put there meanwhile is replaced, not followed.)
//
// A writer killed mid-write leaves its temporary file. Each write removes
// those of its target that are recognisably a dead writer's: named as above
// with the pid of a process that is gone, regular, of the effective user.
// Those of a live process (this one's included) are left alone; writers of
// one target are assumed to share a pid namespace.
//
// The file stays when the writer goes: it keeps the last figures, and its
// age (node_textfile_mtime_seconds) tells a stopped service from a live one.
//
// fork(): the writing thread is not in the child (Start() it there again
// if wanted); Stop() and the destructor in the child only forget it. Writes in
// the child (WriteNow(), passes) never wait for a write of the parent's
// threads: fork handlers give the child every writer's write lock free.
//
// Thread-safety: WriteNow() may be called from any thread; writes are
// serialized. Start() and Stop() are called by the owner's thread. The logger
// callback outlives the writer harmlessly: it does nothing once the writer is
// destroyed.

#ifndef ZRPERF_EXPORT_PROMETHEUS_PROMETHEUSTEXTFILE_H_
#define ZRPERF_EXPORT_PROMETHEUS_PROMETHEUSTEXTFILE_H_

#include "PrometheusCollector.h"
#include <zrperf/perf/PerfCntLogger.h>
#include <zrperf/perf/PerfCounters.h>
#include <zrperf/sync/Export.h>
#include <zrperf/sync/Mutex.h>
#include <zrperf/sync/ThreadAnnotations.h>

#include <sys/types.h>

#include <boost/shared_ptr.hpp>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <string>
#include <thread>

class ZRPERF_EXPORT CPrometheusTextfile {
 public:
  static constexpr std::chrono::milliseconds kDefaultPeriod{15000};

  // Writes `counters` (the statistics logger's set when null; nothing but
  // zrperf_build_info without one) to `path`. Starts nothing. Throws
  // std::invalid_argument for options CPrometheusCollector rejects.
  CPrometheusTextfile(
      const std::string& path, boost::shared_ptr<CPerfCounters> counters = {},
      const CPrometheusCollector::Options& options = CPrometheusCollector::Options());
  // Stop(); the file stays.
  ~CPrometheusTextfile();

  CPrometheusTextfile(const CPrometheusTextfile&) = delete;
  CPrometheusTextfile& operator=(const CPrometheusTextfile&) = delete;

  // One write; true when the file was replaced.
  bool WriteNow();

  // Starts a thread that writes every `period` (the first write one period
  // from now). Does nothing while a thread runs.
  void Start(std::chrono::milliseconds period = kDefaultPeriod);
  // Stops and joins the thread, promptly; a write in progress completes.
  void Stop();

  // Registers a statistics callback with `logger` that writes the file after
  // each of its passes. Does nothing for a null logger.
  void WriteAfterEachPass(PerfCntLogger* logger);

  const std::string& Path() const noexcept;

 private:
  struct State;  // shared with the logger callback
  std::shared_ptr<State> m_state;

  zrperf::Mutex m_threadMutex;  // guards m_stop and wakes the thread
  std::condition_variable m_wake;
  bool m_stop ZR_GUARDED_BY(m_threadMutex) = false;
  std::thread m_thread;
  pid_t m_threadPid = 0;  // the process that started m_thread
};

#endif  // ZRPERF_EXPORT_PROMETHEUS_PROMETHEUSTEXTFILE_H_
