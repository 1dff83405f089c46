#include "PrometheusTextfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zrperf/framework/FileSystem.h>
#include <zrperf/framework/LogWriterInterface.h>
#include <zrperf/sync/IntrusiveList.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <string_view>
#include <system_error>
#include <utility>

#include <zrperf/util/internal/RecordText.h>

namespace {

// Guards the list of live writers' write locks (g_writeLocks), for the fork
// handlers; nothing is taken under it.
zrperf::Mutex g_writersMutex;
struct WriteLock;

// A writer's write lock, linked into a process-wide list. It only keeps two
// writes of one process apart (it guards no memory: each write has its own
// temporary file), so fork() does not wait for a write in progress; the child
// builds every write lock afresh, and its passes and writes never wait for a
// thread of the parent. The parent's write completes in the parent; both
// processes rename whole files over the target.
struct WriteLock {
  WriteLock();
  ~WriteLock();
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;

  zrperf::Mutex mutex;  // one write at a time: the thread's and the passes'
  zrperf::IntrusiveLink<WriteLock> link;
};
zrperf::IntrusiveList<WriteLock, &WriteLock::link> g_writeLocks ZR_GUARDED_BY(g_writersMutex);

WriteLock::WriteLock() {
  zrperf::MutexLock writers(&g_writersMutex);
  g_writeLocks.PushFront(this);
}
WriteLock::~WriteLock() {
  zrperf::MutexLock writers(&g_writersMutex);
  g_writeLocks.Remove(this);
}

// The pthread_atfork handlers: the list is held across fork() so that it is
// whole in the child, which releases it (a std::mutex records no owner) and
// builds every write lock's std::mutex afresh (it holds no resource). Not
// checked by the analysis: the lock taken in one handler is released in
// another.
void ForkPrepare() ZR_NO_THREAD_SAFETY_ANALYSIS {
  g_writersMutex.Lock();
}
void ForkParent() ZR_NO_THREAD_SAFETY_ANALYSIS {
  g_writersMutex.Unlock();
}
void ForkChild() ZR_NO_THREAD_SAFETY_ANALYSIS {
  g_writeLocks.ForEach(
      [](WriteLock& lock) { ::new (static_cast<void*>(&lock.mutex.Native())) std::mutex(); });
  g_writersMutex.Unlock();
}
// Registered while the library loads; glibc drops them when it is unloaded.
struct ForkHandlers {
  ForkHandlers() noexcept { pthread_atfork(&ForkPrepare, &ForkParent, &ForkChild); }
} g_forkHandlers;

}  // namespace

struct CPrometheusTextfile::State {
  State(const std::string& target, boost::shared_ptr<CPerfCounters> counters,
        const CPrometheusCollector::Options& options)
      : path(target), collector(std::move(counters), options) {}

  bool Write();
  // One write's steps; "" when the target was replaced, else why not.
  std::string WriteLocked() ZR_REQUIRES(writeLock.mutex);

  const std::string path;
  const CPrometheusCollector collector;
  WriteLock writeLock;
  std::uint64_t tempNames ZR_GUARDED_BY(writeLock.mutex) = 0;  // temporary names tried so far
};

namespace {

std::string SystemError(int error) {
  return std::error_code(error, std::system_category()).message();
}

// `call` again while it fails with EINTR.
template <typename Call>
int Retried(Call call) {
  int result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

// A temporary file's name: ".<name>.<pid>.<suffix>", kSuffix characters of
// kAlphabet; the pid tells whose it is (see SweepLeftovers()).
constexpr std::size_t kSuffix = 8;
constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";

std::string TempSuffix(std::uint64_t tried) {
  std::uint64_t bits = 0;
  if (getrandom(&bits, sizeof(bits), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(bits))) {
    bits = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
           (tried * 0x9E3779B97F4A7C15ULL);
  }
  std::string suffix;
  for (std::size_t i = 0; i < kSuffix; ++i, bits /= sizeof(kAlphabet) - 1)
    suffix += kAlphabet[bits % (sizeof(kAlphabet) - 1)];
  return suffix;
}

// The pid of `entry` when it is a temporary file of `name` (".<name>.<pid>.
// <suffix>"), else 0.
pid_t TempOwner(std::string_view entry, const std::string& name) {
  const std::string lead = "." + name + ".";
  if (entry.size() <= lead.size() + kSuffix + 1 || entry.compare(0, lead.size(), lead) != 0)
    return 0;
  const std::string_view pid = entry.substr(lead.size(), entry.size() - lead.size() - kSuffix - 1);
  const std::string_view suffix = entry.substr(entry.size() - kSuffix);
  if (entry[entry.size() - kSuffix - 1] != '.' || pid.empty() || pid.size() > 9 ||
      pid.find_first_not_of("0123456789") != std::string_view::npos ||
      suffix.find_first_not_of(kAlphabet) != std::string_view::npos) {
    return 0;
  }
  return static_cast<pid_t>(std::stol(std::string(pid)));
}

// Removes the temporary files of `name` in `dir` ("" for the working
// directory) that a writer killed mid-write left: files of this naming, of
// the effective user, regular, whose process is gone. A live process's
// (this one's included: another of its writers may be at work) is left alone.
// Listed with opendir(), which the file seam does not cover; removed through it.
void SweepLeftovers(const std::string& dir, const std::string& name) {
  DIR* listing = opendir(dir.empty() ? "." : dir.c_str());
  if (listing == nullptr) return;
  while (const dirent* entry = readdir(listing)) {
    const pid_t owner = TempOwner(entry->d_name, name);
    if (owner <= 0 || kill(owner, 0) == 0 || errno != ESRCH) continue;
    struct stat st {};
    if (fstatat(dirfd(listing), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
      continue;
    }
    const std::string leftover = dir + entry->d_name;
    Retried([&] { return zrfw::Files().Unlink(leftover.c_str()); });
  }
  closedir(listing);
}

// The path is the caller's text: escaped like every outside text in a record,
// so that a line feed in it cannot start a forged record line.
void Report(const std::string& path, const std::string& why) {
  const std::string shown = zrperf::EscapeRecordText(path);
  zrfw::SendLog(zrfw::LevelRule::kAlways, -1, __PRETTY_FUNCTION__, __LINE__,
                "metrics textfile: cannot write '%s': %s", shown.c_str(), why.c_str());
}

}  // namespace

bool CPrometheusTextfile::State::Write() {
  zrperf::MutexLock lock(&writeLock.mutex);
  std::string why;
  try {
    why = WriteLocked();
  } catch (const std::exception& e) {
    why = e.what();
  } catch (...) {
    why = "unknown failure";
  }
  if (why.empty()) return true;
  try {
    Report(path, why);
  } catch (...) {
    // The sink failed too; the failure stays unreported rather than stop a pass.
  }
  return false;
}

std::string CPrometheusTextfile::State::WriteLocked() {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  // Only a regular file (or nothing) is replaced: a device, a FIFO, a socket,
  // a directory or a link there is someone's choice, never swapped for a
  // regular file, and nothing is opened at the name (a FIFO would block).
  struct stat target {};
  if (lstat(path.c_str(), &target) == 0) {
    if (!S_ISREG(target.st_mode))
      return std::string("it is ") + zrfw::FileKind(target.st_mode) + ", which is never replaced";
  } else if (errno != ENOENT) {
    return "cannot examine it: " + SystemError(errno);
  }
  SweepLeftovers(dir, name);
  const std::string text = collector.SerializeText();
  const std::string lead = dir + "." + name + "." + std::to_string(getpid()) + ".";
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temp = lead + TempSuffix(++tempNames);
    fd = Retried([&] {
      return zrfw::Files().Open(
          temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
    });
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    return "cannot create a temporary file in '" + (dir.empty() ? std::string(".") : dir) +
           "': " + SystemError(errno);
  }
  std::string why;
  if (zrfw::WriteAll(fd, text.data(), text.size()) != text.size()) {
    why = "write: " + (errno != 0 ? SystemError(errno) : std::string("no progress"));
  } else if (::fchmod(fd, 0644) != 0) {  // node_exporter reads it as another user
    why = "fchmod: " + SystemError(errno);
  } else if (Retried([fd] { return zrfw::Files().Fsync(fd); }) != 0) {
    why = "fsync: " + SystemError(errno);
  }
  // Linux closes the descriptor whatever close() reports; EINTR loses nothing
  // that fsync() kept.
  if (zrfw::Files().Close(fd) != 0 && errno != EINTR && why.empty())
    why = "close: " + SystemError(errno);
  if (why.empty() &&
      Retried([&] { return zrfw::Files().Rename(temp.c_str(), path.c_str()); }) != 0) {
    why = "rename: " + SystemError(errno);
  }
  if (!why.empty()) Retried([&] { return zrfw::Files().Unlink(temp.c_str()); });
  return why;
}

CPrometheusTextfile::CPrometheusTextfile(const std::string& path,
                                         boost::shared_ptr<CPerfCounters> counters,
                                         const CPrometheusCollector::Options& options) {
  if (!counters) {
    PerfCntLogger* logger = PerfCntLogger::Instance();
    if (logger != nullptr) counters = logger->GetPerfCounters();
  }
  m_state = std::make_shared<State>(path, std::move(counters), options);
}

CPrometheusTextfile::~CPrometheusTextfile() {
  Stop();
}

bool CPrometheusTextfile::WriteNow() {
  return m_state->Write();
}

void CPrometheusTextfile::Start(std::chrono::milliseconds period) {
  if (m_thread.joinable()) return;
  {
    zrperf::MutexLock lock(&m_threadMutex);
    m_stop = false;
  }
  m_threadPid = ::getpid();
  m_thread = std::thread([this, period] {
    zrperf::MutexLock lock(&m_threadMutex);
    for (;;) {
      if (m_wake.wait_for(lock.Native(), period, [this] {
            m_threadMutex.AssertHeld();  // the wait calls the predicate with the mutex held
            return m_stop;
          })) {
        return;
      }
      // The write runs without the mutex (the analysis still counts it as
      // held: the unlock goes through Native()); it touches no guarded field.
      lock.Native().unlock();
      m_state->Write();
      lock.Native().lock();
    }
  });
}

void CPrometheusTextfile::Stop() {
  if (!m_thread.joinable()) return;
  if (m_threadPid != ::getpid()) {
    // A forked child: the thread is the parent's and does not exist here. Its
    // mutex may have been held at fork() and its wait left in the condition
    // variable (whose destruction would wait for it): forget the thread and
    // build both afresh (neither holds a resource).
    m_thread.detach();
    ::new (static_cast<void*>(&m_threadMutex.Native())) std::mutex();
    ::new (static_cast<void*>(&m_wake)) std::condition_variable();
    return;
  }
  {
    zrperf::MutexLock lock(&m_threadMutex);
    m_stop = true;
  }
  m_wake.notify_all();
  m_thread.join();
}

void CPrometheusTextfile::WriteAfterEachPass(PerfCntLogger* logger) {
  if (logger == nullptr) return;
  std::weak_ptr<State> weak = m_state;
  logger->AddStatsCallback([weak] {
    if (std::shared_ptr<State> state = weak.lock()) state->Write();
  });
}

const std::string& CPrometheusTextfile::Path() const noexcept {
  return m_state->path;
}
