#include "PrometheusEndpoint.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zrperf/framework/LogWriterInterface.h>
#include <zrperf/perf/PerfCntLogger.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include <zrperf/export/internal/StartFailure.h>
#include <zrperf/export/prometheus/internal/CounterFamilies.h>
#include <zrperf/export/prometheus/internal/Negotiation.h>
#include <zrperf/export/prometheus/internal/ScrapeAnswer.h>
#include <zrperf/export/prometheus/internal/SharedAnswers.h>
#include <zrperf/sync/Mutex.h>
#include <zrperf/util/internal/RecordText.h>

namespace {

// The server's limits (see the header).
constexpr int kWorkers = 96;
const char kRequestTimeoutMs[] = "1500";
const char kConnectionQueue[] = "32";
const char kListenBacklog[] = "128";
const char kMaxRequestSize[] = "16384";

// The answers' limits (see the header).
constexpr std::size_t kMaxAnswers = 2;                     // alive at once, of any kind
constexpr std::chrono::milliseconds kReuseAge{1000};       // shared while being sent
constexpr std::chrono::milliseconds kAnswerWait{5000};     // for room for an answer, then 503
constexpr std::chrono::milliseconds kContendedHold{2000};  // an answer's time before it gives way
constexpr std::chrono::milliseconds kSendDeadline{60000};  // for a whole answer
constexpr std::size_t kSendChunk = 16384;                  // written at a time
constexpr int kSendBuffer = 512 * 1024;                    // per connection (the system doubles it)
// With this many workers busy, a client that took no data for kStalledUnderLoad
// is dropped (otherwise civetweb drops it after its request timeout).
constexpr int kBusyWorkers = kWorkers * 3 / 4;
constexpr std::chrono::milliseconds kStalledUnderLoad{50};

// Splits "IPV4:PORT" into host and port; false when `address` is not of that
// form. civetweb reads more forms (a bare port, an 's' or 'r' suffix for TLS
// or redirection); only this one reaches it. Debian's civetweb is built
// without IPv6.
bool ParseAddress(const std::string& address, std::string* host, int* port) {
  const std::size_t colon = address.rfind(':');
  if (colon == std::string::npos) return false;
  *host = address.substr(0, colon);
  const std::string digits = address.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *port = std::stoi(digits);
  if (*port > 65535) return false;
  in_addr binary{};
  return inet_pton(AF_INET, host->c_str(), &binary) == 1;
}

// The socket address of `host`:`port` (an IPv4 literal).
sockaddr_in SocketAddress(const std::string& host, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, host.c_str(), &a.sin_addr);
  return a;
}

// Why the server could not listen: binds a socket of our own to the same
// address to learn the system's reason ("Address already in use"), which
// civetweb does not report. `fallback` when that bind succeeds.
std::string BindFailure(const std::string& host, int port, const std::string& fallback) {
  const sockaddr_in a = SocketAddress(host, port);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fallback;
  std::string why = fallback;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0) {
    why = std::error_code(errno, std::system_category()).message();
  }
  close(fd);
  return why;
}

// Opens and closes one connection to `a`.
void ConnectOnce(const sockaddr_in& a) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  // Only the attempt matters: it wakes the listener. Success or refusal alike.
  (void)connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
  close(fd);
}

// Whether `fd` is a TCP socket whose local end is port `port` of `host` (of
// any address when `host` is INADDR_ANY) and, if `listening`, listens.
bool IsSocketOf(int fd, const in_addr& host, int port, bool listening) {
  sockaddr_in local{};
  socklen_t size = sizeof(local);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0 ||
      local.sin_family != AF_INET || ntohs(local.sin_port) != port) {
    return false;
  }
  if (host.s_addr != htonl(INADDR_ANY) && local.sin_addr.s_addr != host.s_addr) return false;
  if (!listening) return true;
  int accepting = 0;
  size = sizeof(accepting);
  if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &size) != 0) return false;
  return accepting != 0;
}

// Calls `act` with a duplicate of each of the process's sockets that
// IsSocketOf(host, port, listening) selects, except the socket of inode
// `except`; stops early when `act` returns true. Each descriptor is duplicated before it is
// examined, so the socket examined is the socket acted on even if the descriptor is closed and its
// number reused meanwhile. Returns how many were selected; -1 without
// /proc/self/fd.
template <typename Act>
int ForEachSocketOf(const in_addr& host, int port, bool listening, ino_t except, Act act) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int selected = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    const int fd = fcntl(std::atoi(entry->d_name), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) continue;
    bool done = false;
    struct stat status {};
    if (fstat(fd, &status) == 0 && status.st_ino != except &&
        IsSocketOf(fd, host, port, listening)) {
      ++selected;
      done = act(fd);
    }
    close(fd);
    if (done) break;
  }
  closedir(dir);
  return selected;
}

// civetweb's own messages (a client that went away, say) are not records of
// this library: silenced.
int QuietLog(const mg_connection*, const char*) {
  return 1;
}

// Writes a whole answer: status line, headers, and `body` unless the request
// was a HEAD. Returns `status`, as a civetweb handler does for a request it
// answered.
// The head of an answer of `bodySize` bytes.
std::string AnswerHead(int status, const char* reason, const char* contentType,
                       std::size_t bodySize, const char* extraHeaders) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + contentType +
         "\r\nContent-Length: " + std::to_string(bodySize) + "\r\n" + extraHeaders +
         "Connection: close\r\n\r\n";
}

// A short answer, head and body in one write.
int Answer(mg_connection* connection, bool head, int status, const char* reason,
           const char* contentType, const std::string& body, const char* extraHeaders = "") {
  std::string text = AnswerHead(status, reason, contentType, body.size(), extraHeaders);
  if (!head) text += body;
  mg_write(connection, text.data(), text.size());
  return status;
}

// The fixed answers to the requests civetweb closes without a handler: "*"
// (OPTIONS * asks about the server, which allows GET and HEAD of /metrics only;
// any other method has no business with "*"), and an absolute URL of another
// port than this server's, which it does not serve.
const char kAsteriskOptions[] =
    "HTTP/1.1 405 Method Not Allowed\r\nAllow: GET, HEAD\r\nContent-Length: 0\r\n"
    "Connection: close\r\n\r\n";
const char kAsteriskOther[] =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const char kMisdirected[] =
    "HTTP/1.1 421 Misdirected Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// Whether civetweb takes `uri` for an absolute URL (a scheme it knows, a host,
// an optional valid port, then a path); it answers 400 itself to other
// targets that do not start with '/'.
bool IsAbsoluteForm(const char* uri) {
  for (const char* scheme : {"http://", "https://", "ws://", "wss://"}) {
    const std::size_t n = std::strlen(scheme);
    if (strncasecmp(uri, scheme, n) != 0) continue;
    const char* host = uri + n;
    const char* hostEnd = std::strchr(host, '/');
    if (hostEnd == nullptr) return false;
    const char* colon = std::strchr(host, ':');
    if (colon == nullptr) return true;
    char* portEnd = nullptr;
    const unsigned long port = std::strtoul(colon + 1, &portEnd, 10);
    return portEnd == hostEnd && port > 0 && port <= 65535;
  }
  return false;
}

}  // namespace

// What the server's threads share beyond the endpoint's constants: the
// answers, the clients being sent to and the watchdog thread that drops those
// whose time is up.
struct CPrometheusEndpoint::Serving {
  using Clock = std::chrono::steady_clock;
  struct Sending {
    std::string peerAddress;
    int peerPort = 0;
    const std::string* answer = nullptr;
    Clock::time_point start;
    Clock::time_point lastProgress;
    bool dropped = false;
  };

  Serving()
      : answers(zrprom::SharedAnswers::Create(kMaxAnswers, kReuseAge, kContendedHold,
                                              [this] { Poke(); })) {}

  zrperf::Mutex mutex;
  std::condition_variable wake;  // Poke()d, or stop
  int busy ZR_GUARDED_BY(mutex) = 0;
  bool stop ZR_GUARDED_BY(mutex) = false;
  std::uint64_t pokes ZR_GUARDED_BY(mutex) = 0;
  std::map<const mg_connection*, Sending> sending ZR_GUARDED_BY(mutex);
  // After `mutex` and the fields above: its requests call Poke().
  const std::shared_ptr<zrprom::SharedAnswers> answers;
  std::thread watchdog;

  // Wakes the watchdog: something it waits for may have changed.
  void Poke() {
    zrperf::MutexLock lock(&mutex);
    ++pokes;
    wake.notify_all();
  }

  // Counts a request in progress for its lifetime.
  class Busy {
   public:
    explicit Busy(Serving* serving) : m_serving(serving) {
      zrperf::MutexLock lock(&m_serving->mutex);
      if (++m_serving->busy >= kBusyWorkers) {
        ++m_serving->pokes;
        m_serving->wake.notify_all();
      }
    }
    ~Busy() {
      zrperf::MutexLock lock(&m_serving->mutex);
      --m_serving->busy;
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

   private:
    Serving* m_serving;
  };

  // Drops (shuts the socket of) every client being sent to whose time is up:
  // its whole answer took kSendDeadline; workers are short and it took no
  // data for kStalledUnderLoad; or a scrape waits for room and its answer is
  // the one to give way. Shutting a socket down ends the worker's write at
  // once, whatever the client does. Sleeps until the next such moment.
  void Watch(const std::string& host, int port, int listener) {
    zrperf::MutexLock lock(&mutex);
    while (!stop) {
      const std::uint64_t seen = pokes;
      const zrprom::SharedAnswers::Yield yield = answers->Yielding();
      const Clock::time_point now = Clock::now();
      Clock::time_point next = Clock::time_point::max();
      const auto due = [&now, &next](Clock::time_point at) {
        if (at <= now) return true;
        next = std::min(next, at);
        return false;
      };
      std::vector<std::pair<std::string, int>> drop;
      for (auto& entry : sending) {
        Sending& s = entry.second;
        if (s.dropped) continue;
        bool late = due(s.start + kSendDeadline);
        if (busy >= kBusyWorkers) late = due(s.lastProgress + kStalledUnderLoad) || late;
        if (yield.answer == s.answer && yield.answer != nullptr) late = due(yield.from) || late;
        if (!late) continue;
        s.dropped = true;
        drop.emplace_back(s.peerAddress, s.peerPort);
      }
      if (!drop.empty()) {
        lock.Native().unlock();
        DropClients(host, port, listener, drop);
        lock.Native().lock();
      }
      const auto poked = [this, seen] {
        mutex.AssertHeld();
        return stop || pokes != seen;
      };
      if (next == Clock::time_point::max()) {
        wake.wait(lock.Native(), poked);
      } else {
        wake.wait_until(lock.Native(), next, poked);
      }
    }
  }

  static void DropClients(const std::string& host, int port, int listener,
                          const std::vector<std::pair<std::string, int>>& peers) {
    struct stat listening {};
    if (listener < 0 || fstat(listener, &listening) != 0) return;
    ForEachSocketOf(SocketAddress(host, 0).sin_addr, port, false, listening.st_ino,
                    [&peers](int fd) {
                      sockaddr_in peer{};
                      socklen_t size = sizeof(peer);
                      if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0)
                        return false;
                      char address[INET_ADDRSTRLEN] = {};
                      inet_ntop(AF_INET, &peer.sin_addr, address, sizeof(address));
                      for (const auto& p : peers) {
                        if (p.second == ntohs(peer.sin_port) && p.first == address) {
                          shutdown(fd, SHUT_RDWR);
                          break;
                        }
                      }
                      return false;
                    });
  }

  // Writes `head` and then `body` (unless `headOnly`) in chunks, noting the
  // progress for Watch(); stops early when the client goes away, stalls
  // beyond civetweb's request timeout or is dropped.
  void Send(mg_connection* connection, const std::string& head, const std::string& body,
            bool headOnly) {
    const mg_request_info* request = mg_get_request_info(connection);
    {
      zrperf::MutexLock lock(&mutex);
      Sending& s = sending[connection];
      s.peerAddress = request->remote_addr;
      s.peerPort = request->remote_port;
      s.answer = &body;
      s.start = s.lastProgress = Clock::now();
      ++pokes;  // its deadline may be the next one
      wake.notify_all();
    }
    bool ok = mg_write(connection, head.data(), head.size()) == static_cast<int>(head.size());
    for (std::size_t at = 0; ok && !headOnly && at < body.size(); at += kSendChunk) {
      const std::size_t n = std::min(kSendChunk, body.size() - at);
      ok = mg_write(connection, body.data() + at, n) == static_cast<int>(n);
      zrperf::MutexLock lock(&mutex);
      sending[connection].lastProgress = Clock::now();
    }
    zrperf::MutexLock lock(&mutex);
    sending.erase(connection);
  }
};

// civetweb closes a request for "*", or for an absolute URL of another port,
// without calling a handler (no local path); this answers them before it
// does. Called with civetweb's context lock held: one scan of the process's
// sockets, only for such a request.
void CPrometheusEndpoint::AnswerUnhandled(const mg_connection* connection) {
  const mg_request_info* request = mg_get_request_info(connection);
  if (request == nullptr || request->request_uri == nullptr || request->local_uri != nullptr ||
      request->user_data == nullptr) {
    return;
  }
  const char* answer = nullptr;
  if (std::strcmp(request->request_uri, "*") == 0) {
    const bool options =
        request->request_method != nullptr && std::strcmp(request->request_method, "OPTIONS") == 0;
    answer = options ? kAsteriskOptions : kAsteriskOther;
  } else if (IsAbsoluteForm(request->request_uri)) {
    answer = kMisdirected;
  } else {
    return;  // civetweb answered it (400)
  }
  const std::size_t size = std::strlen(answer);
  const auto* endpoint = static_cast<const CPrometheusEndpoint*>(request->user_data);
  struct stat listening {};
  if (endpoint->m_listener < 0 || fstat(endpoint->m_listener, &listening) != 0) return;
  const std::string peerAddress = request->remote_addr;
  const int peerPort = request->remote_port;
  ForEachSocketOf(SocketAddress(endpoint->m_host, 0).sin_addr, endpoint->m_port, false,
                  listening.st_ino, [&](int fd) {
                    sockaddr_in peer{};
                    socklen_t length = sizeof(peer);
                    char address[INET_ADDRSTRLEN] = {};
                    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
                        ntohs(peer.sin_port) != peerPort ||
                        inet_ntop(AF_INET, &peer.sin_addr, address, sizeof(address)) == nullptr ||
                        peerAddress != address) {
                      return false;
                    }
                    // A small answer into an empty send buffer: never blocks.
                    (void)send(fd, answer, size, MSG_NOSIGNAL | MSG_DONTWAIT);
                    return true;
                  });
}

std::unique_ptr<CPrometheusEndpoint> CPrometheusEndpoint::Start(
    const std::string& address, boost::shared_ptr<CPerfCounters> counters, std::string* error,
    const CPrometheusCollector::Options& options) {
  // The address is the caller's text: escaped so it cannot forge a record line.
  const std::string prefix =
      "metrics endpoint: cannot listen on '" + zrperf::EscapeRecordText(address) + "': ";
  return zrexport::StartWithoutThrowing(
      &prefix, error, [&]() -> std::unique_ptr<CPrometheusEndpoint> {
        std::string host;
        int port = 0;
        if (!ParseAddress(address, &host, &port)) {
          zrexport::ReportStartFailure(
              prefix + "not IPV4:PORT with a port of 0 to 65535 (IPv6 is not supported)", error);
          return nullptr;
        }
        std::string why;
        if (!CPrometheusCollector::CheckOptions(options, &why)) {
          zrexport::ReportStartFailure(prefix + why, error);
          return nullptr;
        }
        counters = zrexport::CountersOrLoggers(std::move(counters), prefix, error);
        if (!counters) return nullptr;

        std::unique_ptr<CPrometheusEndpoint> endpoint(new CPrometheusEndpoint);
        endpoint->m_boundIndices = zrprom::ClassicBoundIndices(options);
        endpoint->m_maxNativeBuckets = options.maxNativeBuckets;
        endpoint->m_counters = std::move(counters);
        endpoint->m_creator = getpid();

        endpoint->m_pServing = std::make_unique<Serving>();
        mg_callbacks callbacks{};
        callbacks.log_message = QuietLog;
        callbacks.connection_close = &CPrometheusEndpoint::AnswerUnhandled;
        const std::string workers = std::to_string(kWorkers);
        const char* serverOptions[] = {"listening_ports", address.c_str(), "num_threads",
                                       workers.c_str(), "request_timeout_ms", kRequestTimeoutMs,
                                       "connection_queue", kConnectionQueue, "listen_backlog",
                                       kListenBacklog, "max_request_size", kMaxRequestSize,
                                       "enable_keep_alive", "no",
                                       // Absolute-form targets (GET http://host/metrics)
                                       // are served by their path, whatever the host.
                                       "enable_auth_domain_check", "no", nullptr};
        endpoint->m_context = mg_start(&callbacks, endpoint.get(), serverOptions);
        if (endpoint->m_context == nullptr) {
          zrexport::ReportStartFailure(
              prefix + BindFailure(host, port, "the server could not start"), error);
          return nullptr;
        }
        // From here on the destructor stops the server whatever happens.
        endpoint->m_host = host;
        mg_server_port ports[1]{};
        if (mg_get_server_ports(endpoint->m_context, 1, ports) != 1 || ports[0].port <= 0) {
          zrexport::ReportStartFailure(prefix + "the server reports no listening port", error);
          return nullptr;
        }
        endpoint->m_port = ports[0].port;
        // A handle of our own on the listening socket, so that the destructor can
        // stop the accepting before it stops the server (see there).
        const in_addr bound = SocketAddress(host, 0).sin_addr;
        ForEachSocketOf(bound, endpoint->m_port, true, 0, [&endpoint](int fd) {
          endpoint->m_listener = fcntl(fd, F_DUPFD_CLOEXEC, 0);
          // Accepted connections inherit a bounded send buffer: a client that
          // never reads then costs the system kSendBuffer, not the several
          // MB that autotuning would grow the buffer to.
          (void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof(kSendBuffer));
          return true;
        });
        // "**" matches every path: the handler answers 404 and 405 itself.
        mg_set_request_handler(endpoint->m_context, "**", &CPrometheusEndpoint::HandleRequest,
                               endpoint.get());
        endpoint->m_url = "http://" + host + ":" + std::to_string(endpoint->m_port) + "/metrics";
        Serving* serving = endpoint->m_pServing.get();
        const int listener = endpoint->m_listener;
        endpoint->m_pServing->watchdog =
            std::thread([serving, host, port = endpoint->m_port, listener] {
              serving->Watch(host, port, listener);
            });
        return endpoint;
      });
}

int CPrometheusEndpoint::HandleRequest(mg_connection* connection, void* self) {
  // Called from C: nothing may escape. Out of memory ends in a fixed answer.
  try {
    const mg_request_info* request = mg_get_request_info(connection);
    const std::string_view method = request->request_method ? request->request_method : "";
    const std::string_view path = request->local_uri ? request->local_uri : "";
    const bool head = method == "HEAD";
    static const char kPlain[] = "text/plain; charset=utf-8";
    if (path != "/metrics")
      return Answer(connection, head, 404, "Not Found", kPlain, "Not Found\n");
    if (method != "GET" && !head) {
      return Answer(connection, false, 405, "Method Not Allowed", kPlain, "Method Not Allowed\n",
                    "Allow: GET, HEAD\r\n");
    }
    const auto* endpoint = static_cast<const CPrometheusEndpoint*>(self);
    Serving& serving = *endpoint->m_pServing;
    const Serving::Busy busy(&serving);
    const char* accept = mg_get_header(connection, "Accept");
    const zrprom::Format format =
        accept != nullptr ? zrprom::PreferredFormat(accept) : zrprom::Format::kText;
    const char* acceptEncoding = mg_get_header(connection, "Accept-Encoding");
    const bool gzip = acceptEncoding != nullptr && zrprom::AcceptsGzip(acceptEncoding);
    const auto build = [endpoint, format, gzip](std::string* out) {
      zrprom::WriteScrapeAnswer(endpoint->m_counters.get(), endpoint->m_boundIndices,
                                endpoint->m_maxNativeBuckets, format, gzip, out);
    };
    const zrprom::SharedAnswers::Answer body =
        serving.answers->Get(static_cast<int>(format) + (gzip ? zrprom::kFormats : 0), build,
                             std::chrono::steady_clock::now() + kAnswerWait);
    if (!body) {
      return Answer(connection, head, 503, "Service Unavailable", kPlain,
                    "Too many scrapes at once\n", "Retry-After: 1\r\n");
    }
    const char* contentType =
        format == zrprom::Format::kDelimitedProtobuf ? zrprom::kProtobufContentType
        : format == zrprom::Format::kOpenMetrics     ? zrprom::kOpenMetricsContentType
                                                     : zrprom::kTextContentType;
    serving.Send(connection,
                 AnswerHead(200, "OK", contentType, body->size(),
                            gzip ? "Content-Encoding: gzip\r\nVary: Accept, Accept-Encoding\r\n"
                                 : "Vary: Accept, Accept-Encoding\r\n"),
                 *body, head);
    return 200;
  } catch (...) {
    static const char kFailed[] =
        "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    mg_write(connection, kFailed, sizeof(kFailed) - 1);
    return 500;
  }
}

CPrometheusEndpoint::~CPrometheusEndpoint() {
  if (m_context == nullptr) return;
  // In a forked child the server's threads do not exist: stopping would wait
  // for them forever, and shutting a socket down would end the parent's
  // connection too. Only our own descriptor is closed; civetweb's memory and
  // its copies of the sockets are left as they are (the child's exit, or exec
  // for the close-on-exec ones, releases them).
  if (getpid() != m_creator) {
    if (m_listener >= 0) close(m_listener);
    // Its thread is the parent's: never joined, never destroyed here.
    static_cast<void>(m_pServing.release());
    return;
  }
  if (m_pServing && m_pServing->watchdog.joinable()) {
    {
      zrperf::MutexLock lock(&m_pServing->mutex);
      m_pServing->stop = true;
    }
    m_pServing->wake.notify_all();
    m_pServing->watchdog.join();
  }
  if (m_listener >= 0) {
    // civetweb, when it stops, neither closes the connections waiting in its
    // queue for a worker nor the one a waking worker takes, and its workers
    // see the stop request only when their read of an idle client times out.
    // So first: no new connection (shutting the listening socket down also
    // ends the listening thread's poll and resets the connections not yet
    // accepted); then every accepted connection is shut down, which its
    // worker reads as the client's end and closes; once none is left the
    // server stops with an empty queue. Bounded: a worker takes a shut
    // connection and closes it at once.
    shutdown(m_listener, SHUT_RD);
    struct stat listener {};
    fstat(m_listener, &listener);
    const in_addr bound = SocketAddress(m_host, 0).sin_addr;
    for (int round = 0; round < 2000; ++round) {
      const int left = ForEachSocketOf(bound, m_port, false, listener.st_ino, [](int fd) {
        shutdown(fd, SHUT_RDWR);
        return false;
      });
      if (left <= 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    mg_stop(m_context);
    close(m_listener);
    return;
  }
  // civetweb's listening thread looks at the stop request only when its poll
  // of the listening socket returns, which without a connection takes up to
  // 2 s; connections made while the server stops end that wait at once.
  std::atomic<bool> stopped{false};
  // A server bound to every interface is reached through the loopback one.
  const sockaddr_in self = SocketAddress(m_host == "0.0.0.0" ? "127.0.0.1" : m_host, m_port);
  std::thread waker([&stopped, self] {
    while (!stopped.load()) {
      ConnectOnce(self);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  mg_stop(m_context);  // stops the server and joins its threads
  stopped.store(true);
  waker.join();
}
