#include "BlockWorkload.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include <zrperf/framework/FileSystem.h>

namespace zrdemo {

namespace {

const char kWorkFunction[] = "void zrdemo::BlockWorkload::Work(std::size_t)";

// A file name made of the target's position and its name, with every byte
// that is not a letter, digit, '.', '-' or '_' replaced, so that any target
// name gives a distinct, harmless file name.
std::string DataFileName(std::size_t index, const std::string& target) {
  std::string name = std::to_string(index) + "-";
  for (char c : target) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-' || c == '_';
    name += plain ? c : '_';
  }
  return name + ".dat";
}

// Bytes that differ from worker to worker: the bulk of every block a worker writes.
void FillPattern(std::vector<unsigned char>& block, std::uint64_t worker) {
  std::uint64_t x = worker * 0x9E3779B97F4A7C15ULL + 0x2545F4914F6CDD1DULL;
  for (std::size_t i = 0; i + sizeof x <= block.size(); i += sizeof x) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(&block[i], &x, sizeof x);
  }
}

// Writes `stamp` at the start of every 4 KiB page of the block, so that a
// read-back of a stale or misplaced block, or of a torn one, is caught
// without the cost of new random bytes for every block.
void StampBlock(std::vector<unsigned char>& block, std::uint64_t stamp) {
  for (std::size_t i = 0; i + sizeof stamp <= block.size(); i += 4096) {
    std::memcpy(&block[i], &stamp, sizeof stamp);
  }
}

std::string ErrnoText(int error) {
  return std::error_code(error, std::generic_category()).message();
}

// The seam's unlink and open, again while interrupted.
int UnlinkFile(const std::string& path) {
  int rc = 0;
  do {
    rc = zrfw::Files().Unlink(path.c_str());
  } while (rc != 0 && errno == EINTR);
  return rc;
}
int OpenFile(const std::string& path, int flags, mode_t mode) {
  int fd = -1;
  do {
    fd = zrfw::Files().Open(path.c_str(), flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Moves all `size` bytes at `offset` with `io(done)` (one pwrite or pread of
// the bytes not yet moved), going on after partial transfers and EINTR.
template <typename Io>
bool TransferAll(Io io, std::size_t size, off_t offset, const char* what, const char* shortText,
                 std::string* why) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = io(done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *why = std::string(what) + " at offset " + std::to_string(offset) +
             " failed: " + (n < 0 ? ErrnoText(errno) : std::string(shortText));
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

TargetCounters MakeTargetCounters(CPerfCounters& counters, const std::string& target) {
  TargetCounters c;
  c.name = target;
  c.writeTime = counters.GetCounter(target + ".write");
  c.readTime = counters.GetCounter(target + ".read");
  c.writeSpeed = counters.GetMediaSpeedCounter(target + ".write");
  c.readSpeed = counters.GetMediaSpeedCounter(target + ".read");
  return c;
}

BlockWorkload::BlockWorkload(std::vector<TargetCounters> targets, std::string dataDir)
    : m_dataDir(std::move(dataDir)) {
  for (TargetCounters& counters : targets) {
    Target t;
    t.counters = std::move(counters);
    m_targets.push_back(std::move(t));
  }
}

BlockWorkload::~BlockWorkload() {
  Stop();
  for (Target& t : m_targets) {
    if (t.fd < 0) continue;
    zrfw::Files().Close(t.fd);  // scratch bytes: nothing to lose
    if (UnlinkFile(t.path) != 0 && errno != ENOENT) {
      Fail("cannot remove " + t.path + ": " + ErrnoText(errno));
    }
  }
}

bool BlockWorkload::Open(std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(m_dataDir, ec);
  if (ec) {
    *error = "cannot create " + m_dataDir + ": " + ec.message();
    return false;
  }
  for (std::size_t i = 0; i < m_targets.size(); ++i) {
    Target& t = m_targets[i];
    t.path = m_dataDir + "/" + DataFileName(i, t.counters.name);
    // Scratch files are always new files of our own: whatever was left at the
    // path (a stale file, or a link planted by someone who can write to the
    // directory) is removed, and O_EXCL with O_NOFOLLOW refuses anything that
    // reappears there, so the blocks never land in a file the demo did not
    // create.
    if (UnlinkFile(t.path) != 0 && errno != ENOENT) {
      *error = "cannot remove the old " + t.path + ": " + ErrnoText(errno);
      return false;
    }
    t.fd = OpenFile(t.path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (t.fd < 0) {
      *error = "cannot open " + t.path + ": " + ErrnoText(errno);
      return false;
    }
  }
  return true;
}

void BlockWorkload::Start(int threads) {
  m_stop.store(false);
  for (int w = 0; w < threads; ++w) {
    m_workers.emplace_back(&BlockWorkload::Work, this, static_cast<std::size_t>(w));
  }
}

void BlockWorkload::Stop() {
  m_stop.store(true);
  for (std::thread& worker : m_workers) worker.join();
  m_workers.clear();
}

unsigned long long BlockWorkload::Failures() const {
  return m_failures.load();
}

std::string BlockWorkload::FirstFailure() const {
  zrperf::MutexLock lock(&m_mtxFailure);
  return m_firstFailure;
}

BlockWorkload::WorkerBlocks::WorkerBlocks(std::size_t w)
    : worker(w), block(kBlockSize), readBack(kBlockSize) {
  FillPattern(block, w);
}

off_t BlockWorkload::BlockOffset(std::size_t worker, std::uint64_t round) {
  return static_cast<off_t>((worker * kBlocksPerWorker + round % kBlocksPerWorker) * kBlockSize);
}

bool BlockWorkload::RunRound(WorkerBlocks& blocks, std::uint64_t round) {
  const std::uint64_t stampBase = static_cast<std::uint64_t>(blocks.worker) << 40;
  const off_t offset = BlockOffset(blocks.worker, round);
  for (std::size_t i = 0; i < m_targets.size() && !m_stop.load(std::memory_order_relaxed); ++i) {
    StampBlock(blocks.block, stampBase + round * m_targets.size() + i);
    std::string why;
    if (!WriteAndVerify(m_targets[i], offset, blocks.block, blocks.readBack, &why)) {
      Fail(m_targets[i].counters.name + ": " + why);
      return false;
    }
  }
  return true;
}

void BlockWorkload::Work(std::size_t worker) {
  WorkerBlocks blocks(worker);
  for (std::uint64_t round = 0; !m_stop.load(std::memory_order_relaxed); ++round) {
    if (!RunRound(blocks, round)) return;
  }
}

bool BlockWorkload::WriteAndVerify(Target& target, off_t offset,
                                   const std::vector<unsigned char>& block,
                                   std::vector<unsigned char>& readBack, std::string* why) {
  TargetCounters& c = target.counters;
  const int fd = target.fd;

  // The scoped timer and the stamp both read the recording clock (CCycleClock),
  // the processor's counter where it is invariant.
  CTimeStamp start = CTimeStamp::Now();
  {
    CScopedTimeSample sample(c.writeTime.get());
    const auto write = [&](std::size_t done) {
      return zrfw::Files().PWrite(fd, block.data() + done, block.size() - done,
                                  offset + static_cast<off_t>(done));
    };
    if (!TransferAll(write, block.size(), offset, "write", "no progress", why)) return false;
  }
  if (c.writeSpeed) c.writeSpeed->AddTransfer(block.size(), ElapsedSince(start));

  start = CTimeStamp::Now();
  {
    CScopedTimeSample sample(c.readTime.get());
    const auto read = [&](std::size_t done) {
      return zrfw::Files().PRead(fd, readBack.data() + done, readBack.size() - done,
                                 offset + static_cast<off_t>(done));
    };
    if (!TransferAll(read, readBack.size(), offset, "read", "end of file", why)) return false;
  }
  if (c.readSpeed) c.readSpeed->AddTransfer(readBack.size(), ElapsedSince(start));

  if (std::memcmp(block.data(), readBack.data(), block.size()) != 0) {
    *why = "block at offset " + std::to_string(offset) + " read back different bytes";
    return false;
  }
  return true;
}

void BlockWorkload::Fail(const std::string& why) {
  {
    zrperf::MutexLock lock(&m_mtxFailure);
    if (m_firstFailure.empty()) m_firstFailure = why;
  }
  m_failures.fetch_add(1);
  zrfw::SendLog(zrfw::LevelRule::kIfAdmitted, -1, kWorkFunction, __LINE__, "worker stopped: %s",
                why.c_str());
}

}  // namespace zrdemo
