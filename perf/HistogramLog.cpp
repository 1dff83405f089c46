#include "HistogramLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <system_error>
#include <thread>
#include <utility>

#include <zrperf/framework/FileSystem.h>
#include <zrperf/framework/LogWriterInterface.h>
#include <zrperf/perf/internal/HistogramLogFormat.h>
#include <zrperf/util/internal/HostName.h>
#include <zrperf/util/internal/OwnFile.h>
#include <zrperf/util/internal/RecordText.h>

struct CHistogramLog::Last {
  std::string name;
  const CTimeCounter* counter;  // identity only, never dereferenced
  CTimeCounterSnapshot snapshot;
};

namespace {

// m_nEnd of a file this writer has not written to since it opened it.
constexpr std::uint64_t kUnknownEnd = std::numeric_limits<std::uint64_t>::max();

// How long a pass waits for the file lock that another process holds, and
// the pauses between its tries (see TakeFileLock()).
constexpr std::chrono::seconds kLockWait(1);
constexpr std::chrono::microseconds kFirstPause(50);
constexpr std::chrono::microseconds kLongestPause(1000);

// How often a pass follows the path anew (another writer rotated the file,
// or this one did) before it gives up. Busy writers can rotate a file away
// several times while one waits for its lock; once the pass's lock wait is
// spent, each round is quick (one try of the lock).
constexpr int kRounds = 64;

double UnixNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Opens the log file at `path` for appending, never through a link and only
// when it is this user's own (a missing one is created new): read-write when
// the file's bits let the owner read it (for the torn-end check), else
// write-only. -1 with *why on failure.
int OpenLogFile(const std::string& path, bool* readable, std::string* why) {
  struct stat st;
  int fd = zrperf::OpenOwn(path, zrperf::OwnKind::kFile, O_RDWR | O_APPEND, true, 0644, &st, why);
  *readable = fd >= 0;
  if (fd < 0 && errno == EACCES) {
    fd = zrperf::OpenOwn(path, zrperf::OwnKind::kFile, O_WRONLY | O_APPEND, true, 0644, &st, why);
  }
  return fd;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

CHistogramLog::CHistogramLog(std::string path, const HistogramLogOptions& options, int fd,
                             bool readable)
    : m_path(std::move(path)), m_options(options), m_fd(fd) {
  zrperf::MutexLock lock(&m_mutex);
  m_nPid = static_cast<long>(getpid());
  m_header = zrperf::histlog::HeaderText(zrperf::HostName(), m_nPid, UnixNow());
  m_bReadable = readable;
  m_nEnd = kUnknownEnd;
}

CHistogramLog::~CHistogramLog() {
  zrperf::MutexLock lock(&m_mutex);
  if (m_fd >= 0) zrfw::Files().Close(m_fd);
}

std::unique_ptr<CHistogramLog> CHistogramLog::Open(const std::string& path,
                                                   const HistogramLogOptions& options,
                                                   std::string* error) {
  std::error_code ignored;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ignored);
  bool readable = false;
  std::string why;
  const int fd = OpenLogFile(path, &readable, &why);
  if (fd < 0) {
    if (error != nullptr) *error = "the histogram log " + why;
    return nullptr;
  }
  std::unique_ptr<CHistogramLog> log(new CHistogramLog(path, options, fd, readable));
  zrperf::MutexLock lock(&log->m_mutex);
  std::size_t unused;
  if (!log->Append(std::string(), false, &unused)) {  // the header block alone
    if (error != nullptr) {
      *error = "the histogram log " + path + " cannot be written: " + log->m_sWhy;
    }
    return nullptr;
  }
  return log;
}

bool CHistogramLog::WritePass(CPerfCounters& counters) {
  return WritePass(counters.ListTimeCounters(), UnixNow());
}

bool CHistogramLog::WritePass(const CounterList& counters, double unixSeconds) {
  zrperf::MutexLock lock(&m_mutex);
  CPerfCounters::DueList due;
  for (const auto& entry : counters) {
    const CTimeCounter* counter = entry.second.get();
    if (counter == nullptr) continue;
    const auto last =
        std::lower_bound(m_vecLast.begin(), m_vecLast.end(), entry.first,
                         [](const Last& a, const std::string& name) { return a.name < name; });
    const long long total = counter->GetTotalSamples();
    if (total == 0) continue;
    if (last != m_vecLast.end() && last->name == entry.first && last->counter == counter &&
        static_cast<unsigned long long>(total) == last->snapshot.GetCount()) {
      continue;  // nothing new
    }
    due.push_back({&entry.first, counter, counter->GetSnapshot()});
  }
  std::sort(due.begin(), due.end(),
            [](const CPerfCounters::DueCounter& a, const CPerfCounters::DueCounter& b) {
              return *a.name < *b.name;
            });
  return Write(due, unixSeconds);
}

bool CHistogramLog::LogPass(CPerfCounters& counters) {
  zrperf::MutexLock lock(&m_mutex);
  m_due.clear();  // keeps its room from the previous pass
  counters.Log(&m_due);
  return Write(m_due, UnixNow());
}

bool CHistogramLog::Write(CPerfCounters::DueList& due, double unixSeconds) {
  // The lines, and where each counter's new last snapshot goes once they are
  // in the file (at: its entry in m_vecLast, or npos for a new name).
  std::string& text = m_text;  // both keep their room from the previous pass
  text.clear();
  std::vector<Update>& updates = m_updates;
  updates.clear();
  std::size_t fresh = 0;
  std::size_t at = 0;
  for (CPerfCounters::DueCounter& read : due) {
    while (at < m_vecLast.size() && m_vecLast[at].name < *read.name) ++at;
    const bool known = at < m_vecLast.size() && m_vecLast[at].name == *read.name;
    const bool same = known && m_vecLast[at].counter == read.counter;
    const CTimeCounterSnapshot interval =
        same ? read.snapshot.Since(m_vecLast[at].snapshot) : read.snapshot;
    if (interval.GetCount() == 0) continue;
    const double seconds =
        std::chrono::duration<double>(interval.GetEnd() - interval.GetStart()).count();
    zrperf::histlog::AppendLine(text, unixSeconds, seconds, *read.name, interval);
    updates.push_back({known ? at : std::string::npos, &read, text.size()});
    fresh += known ? 0 : 1;
  }
  if (text.empty()) return true;

  std::size_t inFile = 0;
  const bool written = Append(text, true, &inFile);
  if (inFile == 0) return false;  // nothing written: the intervals stay open

  // The counters whose lines are in the file move on (a line whose line
  // feed alone is missing counts: the next write ends it); those of a line
  // that a full disk cut, and of the lines after it, keep their intervals
  // open, so that their next line covers them.
  for (const Update& u : updates) {
    if (u.at == std::string::npos || u.lineEnd - 1 > inFile) continue;
    m_vecLast[u.at].counter = u.read->counter;
    m_vecLast[u.at].snapshot = std::move(u.read->snapshot);
  }
  if (fresh != 0) {
    const std::size_t old = m_vecLast.size();
    for (const Update& u : updates) {
      if (u.at == std::string::npos && u.lineEnd - 1 <= inFile) {
        m_vecLast.push_back(Last{*u.read->name, u.read->counter, std::move(u.read->snapshot)});
      }
    }
    std::inplace_merge(m_vecLast.begin(), m_vecLast.begin() + static_cast<std::ptrdiff_t>(old),
                       m_vecLast.end(),
                       [](const Last& a, const Last& b) { return a.name < b.name; });
  }
  return written;
}

// Appends `text` (lines, or nothing for the header block alone) to the file
// that the path names now, in one write under the file's lock:
//
//  1. Take the lock of the open file (TakeFileLock()), then compare the open
//     file with what the path names: another writer may have rotated it away
//     (its lines would go to a renamed file, later deleted). If they differ,
//     let the lock go, open the path anew and start again.
//  2. Under the lock of the file that the path names, the file's own size
//     (fstat, counting every writer's lines) decides a rotation: rename the
//     files along, let the lock go and start again, which creates the new
//     file.
//  3. Prefix what the file needs: a line feed and this writer's header block
//     after a torn last line (the torn line stays a line of its own, which a
//     reader skips, and what follows reads as a fresh block); the header
//     block when the file is new to this writer or another writer has
//     written since its last write (so that a reader takes each line for the
//     process that wrote it).
bool CHistogramLog::Append(const std::string& text, bool mayRotate, std::size_t* textDone) {
  *textDone = 0;
  if (static_cast<long>(getpid()) != m_nPid) {
    // A forked child: its lines go under a header of its own, through an
    // open file of its own (the parent's shares the parent's lock).
    if (!Reopen()) return Fail();
    m_nPid = static_cast<long>(getpid());
    m_header = zrperf::histlog::HeaderText(zrperf::HostName(), m_nPid, UnixNow());
  }
  bool locked = false;
  bool rotates = true;  // false once a rotation failed
  // One wait for the lock in all, however many files the pass goes through.
  const auto lockDeadline = std::chrono::steady_clock::now() + kLockWait;
  struct stat st {};
  std::string& prefix = m_prefix;
  for (int round = 0;; ++round) {
    locked = TakeFileLock(lockDeadline);
    struct stat atPath;
    const bool current =
        ::fstat(m_fd, &st) == 0 && ::lstat(m_path.c_str(), &atPath) == 0 && SameFile(st, atPath);
    if (!current) {
      ReleaseFileLock(locked);
      if (round + 1 >= kRounds || !Reopen()) return Fail();
      continue;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    prefix.clear();
    const bool torn = size > 0 && IsTorn(size);
    if (torn) prefix += '\n';
    if (size == 0 || size != m_nEnd || torn) prefix += m_header;
    // The new file may fill up with others' lines before this writer gets
    // its lock: it is then rotated again.
    if (mayRotate && rotates && round + 1 < kRounds && size > 0 &&
        size + prefix.size() + text.size() > m_options.maxBytes) {
      if (Rotate()) {
        ReleaseFileLock(locked);
        if (!Reopen()) return Fail();  // creates the new file (or opens another writer's)
        continue;
      }
      rotates = false;  // the file stays: append to it
    }
    break;
  }
  const std::size_t before = prefix.size();
  std::size_t done = 0;
  const bool written = WriteAll(prefix, text, &done);
  if (!written && locked) {
    done = CutBack(static_cast<std::uint64_t>(st.st_size), before, text, done);
  }
  *textDone = done > before ? done - before : 0;
  m_nEnd = static_cast<std::uint64_t>(st.st_size) + done;
  ReleaseFileLock(locked);
  if (written) {
    m_bReported = false;
  } else {
    Report("cannot be written: " + m_sWhy);
  }
  return written;
}

namespace {

// Of the first `n` bytes of `text` (whole lines), the length up to the end of
// the last line whose text is there: its line feed may be missing.
std::size_t LinesIn(const std::string& text, std::size_t n) {
  if (n < text.size() && text[n] == '\n') return n;  // all but the line feed
  const std::size_t feed = n == 0 ? std::string::npos : text.rfind('\n', n - 1);
  return feed == std::string::npos ? 0 : feed + 1;
}

}  // namespace

std::size_t CHistogramLog::CutBack(std::uint64_t size, std::size_t before, const std::string& text,
                                   std::size_t done) {
  // Under the file's lock nobody wrote after this writer: the part of a line
  // (or of the header block) that a full disk cut off goes, so the file ends
  // in whole lines. Without the lock, or when the truncation fails, the torn
  // line stays, and the next write ends it and starts a header block.
  const std::size_t keep = done <= before ? 0 : before + LinesIn(text, done - before);
  if (keep == done) return done;
  if (zrfw::Files().Ftruncate(m_fd, static_cast<off_t>(size + keep)) != 0) return done;
  m_bTorn = keep > before && text[keep - before - 1] != '\n';
  return keep;
}

bool CHistogramLog::Reopen() {
  bool readable = false;
  std::string why;
  const int fd = OpenLogFile(m_path, &readable, &why);
  if (fd < 0) {
    m_sWhy = why;
    if (!m_bReported) {
      m_bReported = true;
      const std::string escaped = zrperf::EscapeRecordText(why);
      zrfw::SendLog(zrfw::LevelRule::kAlways, -1, __PRETTY_FUNCTION__, __LINE__,
                    "Histogram log: %s; its lines wait for the next pass", escaped.c_str());
    }
    return false;
  }
  zrfw::Files().Close(m_fd);
  m_fd = fd;
  m_bReadable = readable;
  m_nEnd = kUnknownEnd;
  m_bTorn = false;
  return true;
}

void CHistogramLog::Report(const std::string& what) {
  if (m_bReported) return;
  m_bReported = true;
  const std::string escaped = zrperf::EscapeRecordText(m_path + " " + what);
  zrfw::SendLog(zrfw::LevelRule::kAlways, -1, __PRETTY_FUNCTION__, __LINE__,
                "Histogram log: %s; its lines wait for the next pass", escaped.c_str());
}

bool CHistogramLog::Fail() {
  m_nWriteErrors.fetch_add(1, std::memory_order_relaxed);
  m_bTorn = false;  // nothing written
  return false;
}

bool CHistogramLog::TakeFileLock(std::chrono::steady_clock::time_point deadline) {
  thread_local std::minstd_rand jitter(std::random_device{}());
  std::chrono::microseconds pause = kFirstPause;
  for (;;) {
    if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
      m_bLockReported = false;
      return true;
    }
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return false;  // no lock on this file system: none is needed
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    std::uniform_int_distribution<long> pick(pause.count() / 2, pause.count());
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        std::chrono::microseconds(pick(jitter)), deadline - now));
    pause = std::min(pause * 2, kLongestPause);
  }
  if (!m_bLockReported) {
    m_bLockReported = true;
    const std::string escaped = zrperf::EscapeRecordText(m_path);
    zrfw::SendLog(
        zrfw::LevelRule::kAlways, -1, __PRETTY_FUNCTION__, __LINE__,
        "Histogram log %s: another process has held its lock for %d s; writing without it",
        escaped.c_str(), static_cast<int>(kLockWait.count()));
  }
  return false;
}

void CHistogramLog::ReleaseFileLock(bool locked) {
  if (locked) ::flock(m_fd, LOCK_UN);
}

bool CHistogramLog::IsTorn(std::uint64_t size) {
  if (!m_bReadable) return m_bTorn;
  char last = '\n';
  if (zrfw::Files().PRead(m_fd, &last, 1, static_cast<off_t>(size - 1)) != 1) return m_bTorn;
  return last != '\n';
}

bool CHistogramLog::WriteAll(std::string& prefix, const std::string& text, std::size_t* done) {
  // One buffer for one write(2): the prefix is rare (a new file, another
  // writer's lines since ours, a torn end), so the copy is too.
  const std::string* bytes = &text;
  if (!prefix.empty()) {
    prefix.append(text);  // the prefix is m_prefix: it keeps its room
    bytes = &prefix;
  }
  *done = zrfw::WriteAll(m_fd, bytes->data(), bytes->size());
  if (*done < bytes->size()) {
    m_sWhy = errno != 0 ? std::strerror(errno) : "nothing written";
    m_nWriteErrors.fetch_add(1, std::memory_order_relaxed);
    m_bTorn = *done > 0;  // the next write starts a new line and a header block first
    return false;
  }
  m_bTorn = false;
  return true;
}

bool CHistogramLog::Rotate() {
  zrfw::CFileSystem& files = zrfw::Files();
  for (std::size_t n = m_options.keptFiles; n >= 1; --n) {
    const std::string from = n == 1 ? m_path : zrperf::histlog::RotatedName(m_path, n - 1);
    const std::string to = zrperf::histlog::RotatedName(m_path, n);
    // The oldest kept file goes; a failure to remove it is made good by the
    // rename over it.
    if (n == m_options.keptFiles) files.Unlink(to.c_str());
    // rename() replaces a link planted at the new name, never its target. A
    // file that cannot move on stops the rotation where it is: moving the
    // next one over it would delete it. The current file then stays and
    // takes the pass's lines; the next rotation tries again.
    if (files.Rename(from.c_str(), to.c_str()) != 0 && (errno != ENOENT || n == 1)) {
      Report("cannot be rotated: renaming " + from + ": " + std::strerror(errno));
      return false;
    }
  }
  if (m_options.keptFiles == 0 && files.Unlink(m_path.c_str()) != 0) {
    Report("cannot be rotated: removing it: " + std::string(std::strerror(errno)));
    return false;
  }
  return true;
}
