#include "PrometheusEndpoint.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <boost/make_shared.hpp>

#include <string>

#include "../tests/support/CapturingSink.h"

namespace {

// The whole response to "GET <path>" from 127.0.0.1:<port>, or "" when the
// connection fails.
std::string Get(int port, const std::string& path) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string response;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: localhost\r\n\r\n";
    if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
      char buffer[4096];
      ssize_t n;
      while ((n = read(fd, buffer, sizeof(buffer))) > 0) response.append(buffer, n);
    }
  }
  close(fd);
  return response;
}

// Whether a socket can be bound to 127.0.0.1:<port> now.
bool PortIsFree(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool free = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
  close(fd);
  return free;
}

TEST(PrometheusEndpoint, PortZeroServesTheMetricsOnAFreePortAndNothingElseUntilDestroyed) {
  auto counters = boost::make_shared<CPerfCounters>();
  counters->GetCounter("disk0.read")->AddSample(CTimeInterval(123));
  std::string error;
  std::unique_ptr<CPrometheusEndpoint> endpoint =
      CPrometheusEndpoint::Start("127.0.0.1:0", counters, &error);
  ASSERT_TRUE(endpoint) << error;
  const int port = endpoint->Port();
  ASSERT_GT(port, 0);
  EXPECT_EQ(endpoint->Url(), "http://127.0.0.1:" + std::to_string(port) + "/metrics");

  const std::string metrics = Get(port, "/metrics");
  EXPECT_EQ(metrics.rfind("HTTP/1.1 200", 0), 0u) << metrics;
  EXPECT_NE(metrics.find("zrperf_elapsed_seconds_count{counter=\"disk0.read\"} 1"),
            std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("zrperf_build_info{version="), std::string::npos);
  const std::string other = Get(port, "/");
  EXPECT_EQ(other.find("HTTP/1.1 200"), std::string::npos) << other;
  EXPECT_EQ(other.find("zrperf_"), std::string::npos) << other;

  endpoint.reset();  // stops and joins: the port is released
  EXPECT_TRUE(PortIsFree(port));
  EXPECT_EQ(Get(port, "/metrics"), "");
}

TEST(PrometheusEndpoint, BadOrBusyAddressesFailWithAReasonAndALogRecordNotAnException) {
  zrperf_test::ScopedSink sink;
  auto counters = boost::make_shared<CPerfCounters>();
  std::unique_ptr<CPrometheusEndpoint> first = CPrometheusEndpoint::Start("127.0.0.1:0", counters);
  ASSERT_TRUE(first);
  const std::string busy = "127.0.0.1:" + std::to_string(first->Port());

  const std::pair<std::string, std::string> cases[] = {
      {busy, "Address already in use"},
      {"192.0.2.1:0", "Cannot assign requested address"},  // not an address of this host
      {"localhost:9464", "not IPV4:PORT"},
      {"127.0.0.1", "not IPV4:PORT"},
      {"127.0.0.1:65536", "not IPV4:PORT"},
      {"127.0.0.1:80s", "not IPV4:PORT"},
      {"[::1]:80", "IPv6 is not supported"},
      {":80", "not IPV4:PORT"}};
  for (const auto& [address, reason] : cases) {
    sink->Clear();
    std::string error;
    std::unique_ptr<CPrometheusEndpoint> endpoint;
    EXPECT_NO_THROW(endpoint = CPrometheusEndpoint::Start(address, counters, &error));
    EXPECT_FALSE(endpoint) << address;
    EXPECT_EQ(error.rfind("metrics endpoint: cannot listen on '" + address + "': ", 0), 0u)
        << error;
    EXPECT_NE(error.find(reason), std::string::npos) << error;
    const std::vector<zrperf_test::Record> records = sink->Records();
    ASSERT_EQ(records.size(), 1u) << address;
    EXPECT_EQ(records[0].level, -1);
    EXPECT_EQ(records[0].message, error);
  }
  // The first endpoint still serves.
  EXPECT_NE(Get(first->Port(), "/metrics").find("zrperf_build_info"), std::string::npos);
}

}  // namespace
