#include "PrometheusEndpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <prometheus/exposer.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zrperf/framework/LogWriterInterface.h>
#include <zrperf/perf/PerfCntLogger.h>

#include <cerrno>
#include <exception>
#include <system_error>
#include <utility>
#include <vector>

namespace {

// Splits "IPV4:PORT" or "[IPV6]:PORT" into host and port; false when
// `address` is not of that form. civetweb reads more forms (a bare port, an
// 's' or 'r' suffix for TLS or redirection); only these two reach it.
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
  unsigned char binary[16];
  if (host->size() > 2 && host->front() == '[' && host->back() == ']') {
    return inet_pton(AF_INET6, host->substr(1, host->size() - 2).c_str(), binary) == 1;
  }
  return inet_pton(AF_INET, host->c_str(), binary) == 1;
}

// Why the server could not listen: binds a socket of our own to the same
// address to learn the system's reason ("Address already in use"), which
// civetweb's exception does not carry. `fallback` when that bind succeeds.
std::string BindFailure(const std::string& host, int port, const std::string& fallback) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  int family = AF_INET;
  if (host.front() == '[') {
    family = AF_INET6;
    auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &a->sin6_addr);
    length = sizeof(*a);
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&storage);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &a->sin_addr);
    length = sizeof(*a);
  }
  const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fallback;
  std::string why = fallback;
  if (bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
    why = std::error_code(errno, std::system_category()).message();
  }
  close(fd);
  return why;
}

// Reports a failure to start: the one line goes to the log and to `error`.
void Fail(const std::string& why, std::string* error) {
  boost::shared_ptr<CLogWriterInterface> sink = g_ptrLogWriter;
  if (sink) {
    sink->WriteLog(-1, __PRETTY_FUNCTION__, __LINE__, 0, 0, "%s", why.c_str());
  }
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
      Fail(prefix + "not IPV4:PORT or [IPV6]:PORT with a port of 0 to 65535", error);
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

CPrometheusEndpoint::~CPrometheusEndpoint() = default;
