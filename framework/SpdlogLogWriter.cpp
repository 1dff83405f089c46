#include "SpdlogLogWriter.h"

#include <fcntl.h>
#include <pthread.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/sinks/syslog_sink.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <utility>

#include <zrperf/framework/FileSystem.h>
#include <zrperf/sync/IntrusiveList.h>
#include <zrperf/sync/Mutex.h>
#include <zrperf/sync/ThreadAnnotations.h>

static_assert(CSpdlogLogWriter::kSyslogUser == LOG_USER, "kSyslogUser must equal LOG_USER");

namespace {

// "<date> <time.ms> [<level>] [<pid>:<tid>] <payload>"; the payload carries
// "[<function>:<line>] <message>", built by WriteRecord.
constexpr const char* kPattern = "%Y-%m-%d %H:%M:%S.%e [%l] [%P:%t] %v";

spdlog::level::level_enum ToSpdlogLevel(int level) {
  if (level <= -2) return spdlog::level::critical;
  if (level == -1) return spdlog::level::err;
  if (level == 0) return spdlog::level::info;
  return spdlog::level::debug;
}

// Guards the list of live sink locks (g_sinkLocks) for the fork handlers;
// taken before any sink's lock.
zrperf::Mutex g_sinksMutex;

// A sink's lock, which serialises its writes and flushes (the spdlog sinks
// are the unsynchronised "_st" kind), linked into a process-wide list so that
// the fork handlers can hold every sink's lock across fork(): a child never
// finds one held by a thread it does not have.
struct SinkLock {
  SinkLock();
  ~SinkLock();
  SinkLock(const SinkLock&) = delete;
  SinkLock& operator=(const SinkLock&) = delete;

  zrperf::Mutex mutex ZR_ACQUIRED_AFTER(g_sinksMutex);
  zrperf::IntrusiveLink<SinkLock> link;
};
zrperf::IntrusiveList<SinkLock, &SinkLock::link> g_sinkLocks ZR_GUARDED_BY(g_sinksMutex);

SinkLock::SinkLock() {
  zrperf::MutexLock sinks(&g_sinksMutex);
  g_sinkLocks.PushFront(this);
}
SinkLock::~SinkLock() {
  zrperf::MutexLock sinks(&g_sinksMutex);
  g_sinkLocks.Remove(this);
}

// The pthread_atfork handlers: the list's mutex, then every sink's lock, held
// across fork() and released on both sides (a std::mutex records no owner; in
// the child the copy of the thread that took them releases them). Not checked
// by the analysis: the locks taken in one handler are released in another.
void ForkPrepare() ZR_NO_THREAD_SAFETY_ANALYSIS {
  g_sinksMutex.Lock();
  g_sinkLocks.ForEach([](SinkLock& lock) ZR_NO_THREAD_SAFETY_ANALYSIS { lock.mutex.Lock(); });
}
void ForkParent() ZR_NO_THREAD_SAFETY_ANALYSIS {
  g_sinkLocks.ForEach([](SinkLock& lock) ZR_NO_THREAD_SAFETY_ANALYSIS { lock.mutex.Unlock(); });
  g_sinksMutex.Unlock();
}
// Registered while the library loads; glibc drops them when it is unloaded.
struct ForkHandlers {
  ForkHandlers() noexcept { pthread_atfork(&ForkPrepare, &ForkParent, &ForkParent); }
} g_forkHandlers;

}  // namespace

struct CSpdlogLogWriter::Impl {
  Impl(spdlog::sink_ptr sink, bool fallback) : isFallback(fallback) {
    logger = std::make_shared<spdlog::logger>("zrperf", std::move(sink));
    logger->set_pattern(kPattern);
    logger->set_level(spdlog::level::trace);  // callers filter; the sink writes all it gets
    logger->flush_on(spdlog::level::info);
    // spdlog catches its sinks' exceptions and hands the text here. Writing
    // to stderr directly keeps the note from going back through a sink.
    logger->set_error_handler([this](const std::string& what) {
      if (writeErrors.fetch_add(1, std::memory_order_relaxed) == 0) {
        std::fprintf(stderr, "zrperf log sink: write failed: %s (further failures not shown)\n",
                     what.c_str());
      }
    });
  }

  const bool isFallback;
  std::atomic<std::uint64_t> writeErrors{0};
  SinkLock lock;
  // Used under lock.mutex once built (the analysis cannot follow a
  // std::shared_ptr: WriteRecord() and Flush() take the lock).
  std::shared_ptr<spdlog::logger> logger;
};

namespace {

struct OpenedSink {
  spdlog::sink_ptr sink;
  bool isFallback;
};

// The sink that `make` opens, or a stderr sink when opening fails.
template <typename MakeSink>
OpenedSink OpenOrFallBack(const std::string& what, MakeSink make) {
  try {
    return OpenedSink{make(), false};
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zrperf log sink: cannot open %s: %s; writing to standard error\n",
                 what.c_str(), e.what());
  }
  return OpenedSink{std::make_shared<spdlog::sinks::stderr_sink_st>(), true};
}

// Throws unless what is at `path` can take the log without holding its
// writer: nothing yet (spdlog creates the file and its directories), a
// regular file, or a character device (/dev/null, a terminal). A FIFO would
// hold spdlog's open until a reader comes, and its writes whenever the reader
// stops reading; a socket or a directory cannot be written. The look goes
// through the file seam: an open for writing that never blocks (nor creates),
// the descriptor examined, closed. spdlog calls it before each open of the
// file, its reopening after a rotation included.
void RequireLogDestination(const std::string& path) {
  int fd = -1;
  do {
    fd = zrfw::Files().Open(path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                            0);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0 && errno == ENOENT) return;
  if (fd < 0 && errno == ENXIO) throw std::runtime_error("a FIFO or socket with no reader");
  if (fd < 0) throw std::runtime_error(std::strerror(errno));
  struct stat st {};
  const bool usable = ::fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISCHR(st.st_mode));
  zrfw::Files().Close(fd);  // nothing was written through it
  if (!usable) throw std::runtime_error("neither a regular file nor a character device");
}

// Throws when nothing listens on the Unix socket at `path`: syslog(3) would
// then drop every record without a word. A datagram socket is what syslog
// daemons bind; a stream socket is tried too, as syslog(3) does.
void RequireListener(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) {
    throw std::runtime_error("no listener at " + path + ": path too long");
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int err = 0;
  for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
    const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      err = errno;
      continue;
    }
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    err = errno;
    ::close(fd);
    if (connected) return;
    if (err != EPROTOTYPE) break;  // a socket of the other type answers EPROTOTYPE
  }
  throw std::runtime_error("no listener at " + path + ": " + std::strerror(err));
}

}  // namespace

CSpdlogLogWriter::CSpdlogLogWriter(std::unique_ptr<Impl> impl) : m_pImpl(std::move(impl)) {}

CSpdlogLogWriter::~CSpdlogLogWriter() {
  Flush();
}

boost::shared_ptr<CSpdlogLogWriter> CSpdlogLogWriter::CreateStderr() {
  return boost::shared_ptr<CSpdlogLogWriter>(new CSpdlogLogWriter(
      std::make_unique<Impl>(std::make_shared<spdlog::sinks::stderr_sink_st>(), false)));
}

boost::shared_ptr<CSpdlogLogWriter> CSpdlogLogWriter::CreateRotatingFile(const std::string& path,
                                                                         std::size_t maxBytes,
                                                                         std::size_t maxRotated) {
  OpenedSink opened = OpenOrFallBack("log file " + path, [&]() -> spdlog::sink_ptr {
    spdlog::file_event_handlers checks;
    checks.before_open = [](const spdlog::filename_t& name) { RequireLogDestination(name); };
    return std::make_shared<spdlog::sinks::rotating_file_sink_st>(path, maxBytes, maxRotated, false,
                                                                  checks);
  });
  return boost::shared_ptr<CSpdlogLogWriter>(
      new CSpdlogLogWriter(std::make_unique<Impl>(std::move(opened.sink), opened.isFallback)));
}

boost::shared_ptr<CSpdlogLogWriter> CSpdlogLogWriter::CreateSyslog(const std::string& ident,
                                                                   int facility) {
  return CreateSyslog(ident, facility, kSyslogSocket);
}

boost::shared_ptr<CSpdlogLogWriter> CSpdlogLogWriter::CreateSyslog(const std::string& ident,
                                                                   int facility,
                                                                   const std::string& listener) {
  OpenedSink opened = OpenOrFallBack("syslog", [&]() -> spdlog::sink_ptr {
    RequireListener(listener);
    return std::make_shared<spdlog::sinks::syslog_sink_st>(ident, LOG_PID, facility, true);
  });
  return boost::shared_ptr<CSpdlogLogWriter>(
      new CSpdlogLogWriter(std::make_unique<Impl>(std::move(opened.sink), opened.isFallback)));
}

void CSpdlogLogWriter::WriteRecord(int level, const char* function, int line,
                                   const std::string& message) {
  try {
    std::string payload;
    const std::string lineText = std::to_string(line);
    payload.reserve(message.size() + lineText.size() + 64);
    payload += '[';
    if (function != nullptr) payload += function;
    payload += ':';
    payload += lineText;
    payload += "] ";
    payload += message;
    // The payload is passed as text, never as a format string, so braces and
    // percent signs in it are written as they are.
    zrperf::MutexLock lock(&m_pImpl->lock.mutex);
    m_pImpl->logger->log(ToSpdlogLevel(level), spdlog::string_view_t(payload));
  } catch (const std::exception&) {
    // Out of memory for the line: the record is lost, the caller goes on.
    m_pImpl->writeErrors.fetch_add(1, std::memory_order_relaxed);
  }
}

void CSpdlogLogWriter::Flush() {
  try {
    zrperf::MutexLock lock(&m_pImpl->lock.mutex);
    m_pImpl->logger->flush();
  } catch (const std::exception&) {
    m_pImpl->writeErrors.fetch_add(1, std::memory_order_relaxed);
  }
}

bool CSpdlogLogWriter::IsFallback() const noexcept {
  return m_pImpl->isFallback;
}

std::uint64_t CSpdlogLogWriter::GetWriteErrorCount() const noexcept {
  return m_pImpl->writeErrors.load(std::memory_order_relaxed);
}
