#include "HistogramLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include <zrperf/perf/internal/HistogramLogFormat.h>
#include <zrperf/util/internal/HostName.h>

struct CHistogramLog::Last {
  std::string name;
  const CTimeCounter* counter;  // identity only, never dereferenced
  CTimeCounterSnapshot snapshot;
};

namespace {

double UnixNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

int OpenForAppend(const std::string& path, std::uint64_t* size, bool* torn) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  struct stat st {};
  *size = fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  *torn = false;
  if (*size > 0) {
    const int reader = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char last = '\n';
    if (reader >= 0) {
      if (pread(reader, &last, 1, static_cast<off_t>(*size - 1)) != 1) last = '\n';
      ::close(reader);
    }
    *torn = last != '\n';
  }
  return fd;
}

}  // namespace

CHistogramLog::CHistogramLog(std::string path, const HistogramLogOptions& options, int fd)
    : m_path(std::move(path)), m_options(options), m_fd(fd) {
  zrperf::MutexLock lock(&m_mutex);
  m_nPid = static_cast<long>(getpid());
  m_header = zrperf::histlog::HeaderText(zrperf::HostName(), m_nPid, UnixNow());
}

CHistogramLog::~CHistogramLog() {
  zrperf::MutexLock lock(&m_mutex);
  if (m_fd >= 0) ::close(m_fd);
}

std::unique_ptr<CHistogramLog> CHistogramLog::Open(const std::string& path,
                                                   const HistogramLogOptions& options,
                                                   std::string* error) {
  std::error_code ignored;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ignored);
  std::uint64_t size = 0;
  bool torn = false;
  const int fd = OpenForAppend(path, &size, &torn);
  if (fd < 0) {
    if (error != nullptr) *error = "cannot open the histogram log " + path + ": " + strerror(errno);
    return nullptr;
  }
  std::unique_ptr<CHistogramLog> log(new CHistogramLog(path, options, fd));
  zrperf::MutexLock lock(&log->m_mutex);
  log->m_nSize = size;
  log->m_bTorn = torn;
  if (!log->WriteAll(torn ? "\n" + log->m_header : log->m_header)) {
    if (error != nullptr)
      *error = "cannot write the histogram log " + path + ": " + strerror(errno);
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
    updates.push_back({known ? at : std::string::npos, &read});
    fresh += known ? 0 : 1;
  }
  if (text.empty()) return true;

  if (m_nSize > 0 && m_nSize + text.size() > m_options.maxBytes) Rotate();
  // A forked child's lines go under a header of its own.
  const bool forked = static_cast<long>(getpid()) != m_nPid;
  if (forked) {
    m_nPid = static_cast<long>(getpid());
    m_header = zrperf::histlog::HeaderText(zrperf::HostName(), m_nPid, UnixNow());
  }
  bool written;
  if (m_nSize == 0 || m_bTorn || forked) {  // rare: a new file, a torn end, a new process
    written = WriteAll((m_bTorn ? "\n" : "") + (m_nSize == 0 || forked ? m_header : "") + text);
  } else {
    written = WriteAll(text);
  }
  if (!written && !m_bTorn) return false;  // nothing written: the intervals stay open

  // Some or all of the lines are in the file: their counters move on.
  for (const Update& u : updates) {
    if (u.at == std::string::npos) continue;
    m_vecLast[u.at].counter = u.read->counter;
    m_vecLast[u.at].snapshot = std::move(u.read->snapshot);
  }
  if (fresh != 0) {
    const std::size_t old = m_vecLast.size();
    for (const Update& u : updates) {
      if (u.at == std::string::npos) {
        m_vecLast.push_back(Last{*u.read->name, u.read->counter, std::move(u.read->snapshot)});
      }
    }
    std::inplace_merge(m_vecLast.begin(), m_vecLast.begin() + static_cast<std::ptrdiff_t>(old),
                       m_vecLast.end(),
                       [](const Last& a, const Last& b) { return a.name < b.name; });
  }
  return !m_bTorn;
}

bool CHistogramLog::WriteAll(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      m_nWriteErrors.fetch_add(1, std::memory_order_relaxed);
      m_bTorn = done > 0;  // the next write starts a new line first
      return false;
    }
    done += static_cast<std::size_t>(n);
    m_nSize += static_cast<std::uint64_t>(n);
  }
  m_bTorn = false;
  return true;
}

bool CHistogramLog::Rotate() {
  std::error_code ec;
  for (std::size_t n = m_options.keptFiles; n >= 1; --n) {
    const std::string from = n == 1 ? m_path : zrperf::histlog::RotatedName(m_path, n - 1);
    if (n == m_options.keptFiles) {
      std::filesystem::remove(zrperf::histlog::RotatedName(m_path, n), ec);
    }
    std::filesystem::rename(from, zrperf::histlog::RotatedName(m_path, n), ec);
  }
  if (m_options.keptFiles == 0) std::filesystem::remove(m_path, ec);
  std::uint64_t size = 0;
  bool torn = false;
  const int fd = OpenForAppend(m_path, &size, &torn);
  if (fd < 0) {
    m_nWriteErrors.fetch_add(1, std::memory_order_relaxed);
    return false;  // appending to the old file (renamed or not) goes on
  }
  ::close(m_fd);
  m_fd = fd;
  m_nSize = size;
  m_bTorn = torn;
  return true;
}
