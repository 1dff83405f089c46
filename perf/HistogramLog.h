// CHistogramLog: a file of every elapsed-time counter's histogram, one line
// per counter and statistics pass, from which zrperf-report computes exact
// percentiles over any window of passes and across processes and hosts.
//
//   std::string error;
//   if (!PerfCntLogger::Instance()->SetHistogramLog("/var/log/app/latency.hlog", {}, &error))
//     report(error);
//   // every pass of the logger now appends one line per counter that gained samples
//
// At each WritePass() the log appends, for every counter of the set that
// gained samples since its previous line (or since its creation or last
// Reset()), one line with the pass time, the interval's length, the counter's
// name and the interval's count, total, minimum, maximum, zero count and
// non-empty buckets (docs/histogram-log.md gives the exact format). A new
// file, and each file started by rotation, opens with a header of '#' lines.
//
// Writing: the lines of one pass go out with a single write(2) on a file
// opened with O_APPEND, so a process killed during the write leaves at most
// one torn last line, which readers skip. When the buffer would take the file
// past `maxBytes`, the file is renamed to "<stem>.1<ext>" (older ones shift
// to .2, .3, ..., the oldest beyond `keptFiles` is deleted) and a new file is
// started, as the rotating log sink does. A failed write is counted
// (GetWriteErrorCount()) and its intervals are kept: the next line of each
// of those counters covers them. A write that a full disk cuts midway moves
// on only the counters whose lines reached the file whole; the torn line is
// followed by a line feed and a new header block at the next write, so
// readers skip it and read on. A rotation that cannot rename a file stops
// there (no kept file is renamed over another) and the current file takes
// the pass. Every file call goes through zrfw::Files(), the file seam.
//
// Planted names: the file is opened without following a link, a missing one
// is created new (O_CREAT|O_EXCL, mode 0644 less the umask), and an existing
// one is used only when it is a regular file with one name that belongs to
// the process's effective user: a link, a hard link, a FIFO or another
// user's file put at the path is refused, by Open() with
// its reason in `error`, in a pass with one level -1 record until a pass
// writes again (the pass counts a write error and its lines wait). Rotation
// renames over whatever is at the rotated names (a link there is replaced,
// never followed).
//
// Several writers on one path (processes, or logs opened twice): each pass
// takes the file's lock (flock, exclusive), follows the path to the file it
// names now (another writer may have rotated the file away), decides a
// rotation from that file's own size, and writes; a writer whose last write
// is not the file's end (another wrote since) writes its header block again
// first, so every line follows the header of the process that wrote it. So
// nothing is lost and only the oldest files are deleted. Anyone who can read
// the file can hold its lock: a pass waits for it at most a second, then
// writes without it (one level -1 record until it gets the lock again).
// A failed write or rotation is reported the same way, with its cause, in
// one level -1 record until a pass writes again; nothing else is reported
// through the log sink from a pass.
//
// Cost: in the statistics logger's pass the log reuses the snapshots that
// the records were made from (LogPass()); WritePass() reads each counter
// that gained samples once (under the counter's mutex like any read:
// recording never waits for the file). A line is about 60 bytes plus 3 bytes
// per non-empty bucket (4 with counts of 128 and more); the file is written
// after every counter was read. Memory: the snapshot of each counter's last
// line (128 bytes plus 32 per non-empty bucket), and the room of the largest
// pass's text and due list.
//
// fork(): a child's first pass on the parent's log opens the path anew (its
// own open file, whose lock excludes the parent's) and writes a header block
// with the child's pid before its lines; those lines count again the samples
// that the parent recorded after its last line (the child's counters hold
// them too).
//
// Thread-safety: WritePass() and LogPass() may be called from any number of
// threads; passes are serialised by the log's mutex. The accessors may be
// called at any time.

#ifndef ZRPERF_PERF_HISTOGRAMLOG_H_
#define ZRPERF_PERF_HISTOGRAMLOG_H_

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <zrperf/counters/TimeCounter.h>
#include <zrperf/sync/Export.h>
#include <zrperf/sync/Mutex.h>
#include <zrperf/sync/ThreadAnnotations.h>
#include "PerfCounters.h"

struct HistogramLogOptions {
  std::uint64_t maxBytes = 64ull << 20;  // rotate before a file would pass this size
  std::size_t keptFiles = 5;             // rotated files kept besides the current one
};

class ZRPERF_EXPORT CHistogramLog {
 public:
  // Opens `path` for appending (creating it new when missing; see "Planted
  // names" above), writes a header block and returns the log; null with
  // `error` set (one line naming the path and the reason: "the histogram log
  // PATH is a symbolic link", "... cannot be opened: Permission denied") when
  // the file cannot be used. A file that ends in a torn line first gets a line
  // feed, so the torn line stays a line of its own.
  static std::unique_ptr<CHistogramLog> Open(const std::string& path,
                                             const HistogramLogOptions& options,
                                             std::string* error);
  ~CHistogramLog();

  CHistogramLog(const CHistogramLog&) = delete;
  CHistogramLog& operator=(const CHistogramLog&) = delete;

  // One pass over the counters of `counters` (see above). False when the
  // write failed.
  bool WritePass(CPerfCounters& counters) ZR_EXCLUDES(m_mutex);

  // The same over a list of named counters, stamped `unixSeconds`; for hosts
  // that keep their counters elsewhere, and for tests.
  using CounterList = std::vector<std::pair<std::string, boost::shared_ptr<CTimeCounter>>>;
  bool WritePass(const CounterList& counters, double unixSeconds) ZR_EXCLUDES(m_mutex);

  // The statistics logger's pass: runs counters.Log() and writes the lines of
  // the counters that it found due, from the snapshots that the records were
  // made from (each counter is read once).
  bool LogPass(CPerfCounters& counters) ZR_EXCLUDES(m_mutex);

  // For the statistics logger's fork handlers only: held across fork() so
  // that no pass of another thread leaves it held in the child.
  void LockForFork() ZR_NO_THREAD_SAFETY_ANALYSIS { m_mutex.Lock(); }
  void UnlockAfterFork() ZR_NO_THREAD_SAFETY_ANALYSIS { m_mutex.Unlock(); }

  // Failed or short writes so far.
  std::uint64_t GetWriteErrorCount() const noexcept {
    return m_nWriteErrors.load(std::memory_order_relaxed);
  }
  const std::string& GetPath() const noexcept { return m_path; }

 private:
  struct Last;  // a counter's handle and the snapshot of its last line

  CHistogramLog(std::string path, const HistogramLogOptions& options, int fd, bool readable);
  // The lines of `due` and, once written, the new last snapshots.
  bool Write(CPerfCounters::DueList& due, double unixSeconds) ZR_REQUIRES(m_mutex);
  // Appends `text` to the file that the path names now, under its lock,
  // rotating first when `mayRotate` and the file would pass maxBytes; see the
  // .cpp. *textDone: the bytes of `text` now in a file (a full disk may cut
  // the write inside a line).
  bool Append(const std::string& text, bool mayRotate, std::size_t* textDone) ZR_REQUIRES(m_mutex);
  // Opens the path anew in place of m_fd; false (m_fd kept, the reason in
  // m_sWhy and, once until a write succeeds, in a record) when refused.
  bool Reopen() ZR_REQUIRES(m_mutex);
  // Renames the file and the rotated ones along; false when the file stays.
  bool Rotate() ZR_REQUIRES(m_mutex);
  // After a write to the file of `size` bytes cut at `done` (of `before`
  // bytes of prefix and then `text`), under the file's lock: truncates the
  // file back to its whole lines. Returns the bytes of the write kept.
  std::size_t CutBack(std::uint64_t size, std::size_t before, const std::string& text,
                      std::size_t done) ZR_REQUIRES(m_mutex);
  // One level -1 record "Histogram log: PATH WHAT; its lines wait for the
  // next pass", unless one was sent since the last successful write.
  void Report(const std::string& what) ZR_REQUIRES(m_mutex);
  // Counts a pass that wrote nothing; false.
  bool Fail() ZR_REQUIRES(m_mutex);
  // The exclusive lock of m_fd's file, waited for until `deadline` (tried
  // once after it); false when it was not taken (the pass goes on without it).
  bool TakeFileLock(std::chrono::steady_clock::time_point deadline) ZR_REQUIRES(m_mutex);
  void ReleaseFileLock(bool locked) ZR_REQUIRES(m_mutex);
  // True when the file of `size` bytes ends inside a line.
  bool IsTorn(std::uint64_t size) ZR_REQUIRES(m_mutex);
  // `prefix` then `text`, in one write(2) when the system takes it all;
  // *done: the bytes written.
  bool WriteAll(std::string& prefix, const std::string& text, std::size_t* done)
      ZR_REQUIRES(m_mutex);

  const std::string m_path;
  const HistogramLogOptions m_options;
  std::string m_header ZR_GUARDED_BY(m_mutex);  // of this process: renewed in a forked child
  long m_nPid ZR_GUARDED_BY(m_mutex);
  zrperf::Mutex m_mutex;
  int m_fd ZR_GUARDED_BY(m_mutex);
  bool m_bReadable ZR_GUARDED_BY(m_mutex) = false;  // m_fd can be read (IsTorn())
  // The file's size just after this writer's last write to it (unknown after
  // an open): another size means that another writer wrote since.
  std::uint64_t m_nEnd ZR_GUARDED_BY(m_mutex) = 0;
  bool m_bTorn ZR_GUARDED_BY(m_mutex) = false;          // this writer's last write was cut
  bool m_bReported ZR_GUARDED_BY(m_mutex) = false;      // a refusal was recorded
  bool m_bLockReported ZR_GUARDED_BY(m_mutex) = false;  // a lock timeout was recorded
  std::string m_sWhy ZR_GUARDED_BY(m_mutex);            // the last failure's reason
  std::vector<Last> m_vecLast ZR_GUARDED_BY(m_mutex);   // ascending names
  // A pass's due counters, text and updates, kept for the room they hold.
  // An update: where a counter's new last snapshot goes once its line is
  // written (its entry in m_vecLast, or npos for a new name).
  struct Update {
    std::size_t at;
    CPerfCounters::DueCounter* read;
    std::size_t lineEnd;  // where its line ends in the pass's text
  };
  CPerfCounters::DueList m_due ZR_GUARDED_BY(m_mutex);
  std::string m_text ZR_GUARDED_BY(m_mutex);
  std::string m_prefix ZR_GUARDED_BY(m_mutex);
  std::vector<Update> m_updates ZR_GUARDED_BY(m_mutex);
  std::atomic<std::uint64_t> m_nWriteErrors{0};
};

#endif  // ZRPERF_PERF_HISTOGRAMLOG_H_
