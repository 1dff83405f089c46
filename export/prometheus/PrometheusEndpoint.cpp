#include "PrometheusEndpoint.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zrperf/framework/LogWriterInterface.h>
#include <zrperf/perf/PerfCntLogger.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include <zrperf/export/internal/Gzip.h>
#include <zrperf/export/internal/StartFailure.h>
#include <zrperf/export/prometheus/internal/CounterFamilies.h>
#include <zrperf/export/prometheus/internal/ExpositionText.h>
#include <zrperf/export/prometheus/internal/Negotiation.h>
#include <zrperf/export/prometheus/internal/ProtoExposition.h>
#include <zrperf/util/internal/RecordText.h>

namespace {

// The server's limits (see the header).
const char kWorkerThreads[] = "96";
const char kRequestTimeoutMs[] = "1500";
const char kConnectionQueue[] = "32";
const char kListenBacklog[] = "128";
const char kMaxRequestSize[] = "16384";

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
int Answer(mg_connection* connection, bool head, int status, const char* reason,
           const char* contentType, const std::string& body, const char* extraHeaders = "") {
  std::string header = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                       "\r\nContent-Type: " + contentType +
                       "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
                       extraHeaders + "Connection: close\r\n\r\n";
  if (!head) header += body;  // one write: header and body leave in one go
  mg_write(connection, header.data(), header.size());
  return status;
}

}  // namespace

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
        endpoint->m_counters = std::move(counters);
        endpoint->m_creator = getpid();

        mg_callbacks callbacks{};
        callbacks.log_message = QuietLog;
        const char* serverOptions[] = {"listening_ports",
                                       address.c_str(),
                                       "num_threads",
                                       kWorkerThreads,
                                       "request_timeout_ms",
                                       kRequestTimeoutMs,
                                       "connection_queue",
                                       kConnectionQueue,
                                       "listen_backlog",
                                       kListenBacklog,
                                       "max_request_size",
                                       kMaxRequestSize,
                                       "enable_keep_alive",
                                       "no",
                                       nullptr};
        endpoint->m_context = mg_start(&callbacks, nullptr, serverOptions);
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
          return true;
        });
        // "**" matches every path: the handler answers 404 and 405 itself.
        mg_set_request_handler(endpoint->m_context, "**", &CPrometheusEndpoint::HandleRequest,
                               endpoint.get());
        endpoint->m_url = "http://" + host + ":" + std::to_string(endpoint->m_port) + "/metrics";
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
    const char* accept = mg_get_header(connection, "Accept");
    const bool protobuf = accept != nullptr && zrprom::PrefersDelimitedProtobuf(accept);
    std::string body;
    if (protobuf) {
      zrprom::DelimitedFamiliesSink sink(&body);
      zrprom::WriteCounterFamilies(endpoint->m_counters.get(), endpoint->m_boundIndices, &sink);
    } else {
      zrprom::ExpositionTextSink sink(&body);
      zrprom::WriteCounterFamilies(endpoint->m_counters.get(), endpoint->m_boundIndices, &sink);
    }
    const char* contentType = protobuf ? zrprom::kProtobufContentType : zrprom::kTextContentType;
    const char* acceptEncoding = mg_get_header(connection, "Accept-Encoding");
    std::string gzipped;
    if (acceptEncoding != nullptr && zrprom::AcceptsGzip(acceptEncoding) &&
        zrexport::Gzip(body, &gzipped)) {
      return Answer(connection, head, 200, "OK", contentType, gzipped,
                    "Content-Encoding: gzip\r\nVary: Accept, Accept-Encoding\r\n");
    }
    return Answer(connection, head, 200, "OK", contentType, body,
                  "Vary: Accept, Accept-Encoding\r\n");
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
    return;
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
