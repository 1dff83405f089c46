#include "PrometheusEndpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <prometheus/exposer.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zrperf/framework/LogWriterInterface.h>
#include <zrperf/perf/PerfCntLogger.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace {

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
// civetweb's exception does not carry. `fallback` when that bind succeeds.
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

// Reports a failure to start: the one line goes to the log and to `error`.
void Fail(const std::string& why, std::string* error) {
  zrfw::SendLog(zrfw::LevelRule::kAlways, -1, __PRETTY_FUNCTION__, __LINE__, "%s", why.c_str());
  if (error != nullptr) *error = why;
}

}  // namespace

std::unique_ptr<CPrometheusEndpoint> CPrometheusEndpoint::Start(
    const std::string& address, boost::shared_ptr<CPerfCounters> counters, std::string* error,
    const CPrometheusCollector::Options& options) {
  const std::string prefix = "metrics endpoint: cannot listen on '" + address + "': ";
  try {
    std::string host;
    int port = 0;
    if (!ParseAddress(address, &host, &port)) {
      Fail(prefix + "not IPV4:PORT with a port of 0 to 65535 (IPv6 is not supported)", error);
      return nullptr;
    }
    std::string why;
    if (!CPrometheusCollector::CheckOptions(options, &why)) {
      Fail(prefix + why, error);
      return nullptr;
    }
    if (!counters) {
      PerfCntLogger* logger = PerfCntLogger::Instance();
      if (logger != nullptr) counters = logger->GetPerfCounters();
      if (!counters) {
        Fail(prefix + "the statistics logger could not be created", error);
        return nullptr;
      }
    }

    std::unique_ptr<CPrometheusEndpoint> endpoint(new CPrometheusEndpoint);
    endpoint->m_collector = std::make_shared<CPrometheusCollector>(counters, options);
    // civetweb throws from the constructor when it cannot bind. Two threads
    // serve requests; idle keep-alive connections are dropped after 10 s.
    endpoint->m_exposer = std::make_unique<prometheus::Exposer>(std::vector<std::string>{
        "listening_ports", address, "num_threads", "2", "request_timeout_ms", "10000"});
    endpoint->m_exposer->RegisterCollectable(endpoint->m_collector);
    const std::vector<int> ports = endpoint->m_exposer->GetListeningPorts();
    if (ports.empty() || ports.front() <= 0) {
      Fail(prefix + "the server reports no listening port", error);
      return nullptr;
    }
    endpoint->m_port = ports.front();
    // A server bound to every interface is reached through the loopback one.
    endpoint->m_wakeHost = host == "0.0.0.0" ? "127.0.0.1" : host;
    endpoint->m_url = "http://" + host + ":" + std::to_string(endpoint->m_port) + "/metrics";
    return endpoint;
  } catch (const std::exception& e) {
    std::string host;
    int port = 0;
    ParseAddress(address, &host, &port);
    Fail(prefix + BindFailure(host, port, e.what()), error);
  } catch (...) {
    Fail(prefix + "unknown failure", error);
  }
  return nullptr;
}

CPrometheusEndpoint::~CPrometheusEndpoint() {
  if (!m_exposer) return;
  // civetweb's listening thread looks at the stop request only when its poll
  // of the listening socket returns, which without a connection takes up to
  // 2 s; connections made while the server stops end that wait at once.
  std::atomic<bool> stopped{false};
  const sockaddr_in self = SocketAddress(m_wakeHost, m_port);
  std::thread waker([&stopped, self] {
    while (!stopped.load()) {
      ConnectOnce(self);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  m_exposer.reset();  // stops the server and joins its threads
  stopped.store(true);
  waker.join();
}
