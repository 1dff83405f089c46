// BlockWorkload: the simulated storage traffic of zrperf-demo.
//
// Each target gets a scratch data file. Worker threads go round the targets;
// for each one a worker writes a 64 KiB block with pwrite, reads it back with
// pread and checks the bytes. Every write and read is timed into the target's
// elapsed-time counter ("<target>.write", "<target>.read", by CScopedTimeSample)
// and its bytes and time (from a CTimeStamp) go into the throughput counter of
// the same name.
//
//   BlockWorkload work(targets, stateDir + "/data");
//   if (!work.Open(&error)) ...;
//   work.Start(threads);
//   ...                       // the counters fill while it runs
//   work.Stop();
//
// Each worker owns a region of 16 blocks in every file, so workers never write
// the same bytes and a read-back only sees its own worker's data. A worker
// that meets an I/O error (named with its errno text, "write at offset 0
// failed: No space left on device") or a mismatching read-back reports it
// through g_ptrLogWriter (level -1), counts it in Failures() and ends; the
// others go on. Short transfers and interrupted calls are carried on, never
// failures. Every file call (the data files' removal, creation, writes,
// reads and closing) goes through the file seam (zrfw::Files()); a data file
// that cannot be removed at the end is reported the same way.
//
// Thread-safety: Open(), Start(), Stop(), RunRound() and the destructor are
// called from one controlling thread; Failures() and FirstFailure() from any
// thread.
// REQUIRES: Open() succeeded before Start() and RunRound(); Start() at most
// once, and RunRound() not while workers run.

#ifndef ZRPERF_EXAMPLES_BLOCKWORKLOAD_H_
#define ZRPERF_EXAMPLES_BLOCKWORKLOAD_H_

#include <zrperf/sync/Mutex.h>
#include <zrperf/sync/ThreadAnnotations.h>
#include <zrperf/zrperf.h>

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace zrdemo {

constexpr std::size_t kBlockSize = 64 * 1024;
constexpr std::size_t kBlocksPerWorker = 16;

// The counters that one target's traffic feeds. A null handle (the counter
// could not be allocated) makes the workload skip that measurement.
struct TargetCounters {
  std::string name;
  boost::shared_ptr<CTimeCounter> writeTime;
  boost::shared_ptr<CTimeCounter> readTime;
  boost::shared_ptr<CMediaSpeedCounter> writeSpeed;
  boost::shared_ptr<CMediaSpeedCounter> readSpeed;
};

// Registers (or finds) the four counters of `target` in `counters`.
TargetCounters MakeTargetCounters(CPerfCounters& counters, const std::string& target);

class BlockWorkload {
 public:
  BlockWorkload(std::vector<TargetCounters> targets, std::string dataDir);
  // Stops the workers, closes and removes the data files.
  ~BlockWorkload();

  BlockWorkload(const BlockWorkload&) = delete;
  BlockWorkload& operator=(const BlockWorkload&) = delete;

  // Creates the data directory and one data file per target. On failure
  // returns false with a one-line `error`.
  bool Open(std::string* error);

  // Starts `threads` workers.
  // REQUIRES: threads >= 1.
  void Start(int threads);

  // Asks the workers to end after their current block and joins them.
  void Stop();

  // The failures seen so far, and the text of the first one ("" if none).
  unsigned long long Failures() const;
  std::string FirstFailure() const;

  // What one worker writes and reads back.
  struct WorkerBlocks {
    explicit WorkerBlocks(std::size_t worker);
    std::size_t worker;
    std::vector<unsigned char> block;     // its pattern, stamped for each round
    std::vector<unsigned char> readBack;  // what it reads back
  };

  // One round of a worker, as its thread makes them: the worker's block of
  // `round` written into every target and read back. On the first failure,
  // reports it as a worker does and returns false.
  bool RunRound(WorkerBlocks& blocks, std::uint64_t round);

  // The offset of the block of `worker` in `round` in every data file.
  static off_t BlockOffset(std::size_t worker, std::uint64_t round);

 private:
  struct Target {
    TargetCounters counters;
    std::string path;
    int fd = -1;
  };

  void Work(std::size_t worker);
  // Writes the block at `offset` of `target` and reads it back; false with
  // `why` set on an I/O error or a mismatch.
  bool WriteAndVerify(Target& target, off_t offset, const std::vector<unsigned char>& block,
                      std::vector<unsigned char>& readBack, std::string* why);
  void Fail(const std::string& why);

  std::vector<Target> m_targets;
  std::string m_dataDir;
  std::vector<std::thread> m_workers;
  std::atomic<bool> m_stop{false};
  std::atomic<unsigned long long> m_failures{0};
  mutable zrperf::Mutex m_mtxFailure;
  std::string m_firstFailure ZR_GUARDED_BY(m_mtxFailure);
};

}  // namespace zrdemo

#endif  // ZRPERF_EXAMPLES_BLOCKWORKLOAD_H_
