#include "PrometheusTextfile.h"

#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zrperf/framework/LogWriterInterface.h>
#include <zrperf/sync/IntrusiveList.h>

#include <cerrno>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
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

  std::mutex mutex;  // one write at a time: the thread's and the passes'
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
// builds every write lock afresh (a std::mutex holds no resource). Not checked by the analysis: the
// lock taken in one handler is released in another.
void ForkPrepare() ZR_NO_THREAD_SAFETY_ANALYSIS {
  g_writersMutex.Lock();
}
void ForkParent() ZR_NO_THREAD_SAFETY_ANALYSIS {
  g_writersMutex.Unlock();
}
void ForkChild() ZR_NO_THREAD_SAFETY_ANALYSIS {
  g_writeLocks.ForEach(
      [](WriteLock& lock) { ::new (static_cast<void*>(&lock.mutex)) std::mutex(); });
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

  const std::string path;
  const CPrometheusCollector collector;
  WriteLock writeLock;
};

namespace {

std::string SystemError(int error) {
  return std::error_code(error, std::system_category()).message();
}

// Writes all of `text` to `fd`; 0 or the errno of the failure.
int WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<std::size_t>(n);
  }
  return 0;
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
  std::lock_guard<std::mutex> lock(writeLock.mutex);
  std::string temp;
  int fd = -1;
  std::string why;
  try {
    const std::string text = collector.SerializeText();
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    temp = (slash == std::string::npos ? std::string() : dir) + "." + name + ".XXXXXX";
    fd = ::mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0) {
      why = "cannot create a temporary file in '" + dir + "': " + SystemError(errno);
      temp.clear();
    } else if (int e = WriteAll(fd, text); e != 0) {
      why = "write: " + SystemError(e);
    } else if (::fsync(fd) != 0) {
      why = "fsync: " + SystemError(errno);
    } else if (::fchmod(fd, 0644) != 0) {
      why = "fchmod: " + SystemError(errno);
    }
    if (fd >= 0 && ::close(fd) != 0 && why.empty()) why = "close: " + SystemError(errno);
    fd = -1;
    if (why.empty() && ::rename(temp.c_str(), path.c_str()) != 0) {
      why = "rename: " + SystemError(errno);
    }
  } catch (const std::exception& e) {
    why = e.what();
  } catch (...) {
    why = "unknown failure";
  }
  if (fd >= 0) ::close(fd);
  if (why.empty()) return true;
  if (!temp.empty()) ::unlink(temp.c_str());
  try {
    Report(path, why);
  } catch (...) {
    // The sink failed too; the failure stays unreported rather than stop a pass.
  }
  return false;
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
