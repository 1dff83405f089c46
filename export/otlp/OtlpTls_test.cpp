// The exporter over https: a receiver with a certificate of its own, made
// here with OpenSSL, which the exporter trusts only through `caFile`.

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <cstdio>
#include <string>

#include <zrperf/tests/support/CapturingSink.h>
#include <zrperf/tests/support/OtlpReceiver.h>
#include <zrperf/tests/support/TempDir.h>
#include "OtlpExporter.h"

namespace {

// A self-signed certificate for 127.0.0.1 (its subject and its IP address)
// and an https receiver on it that answers every POST with 200.
// Demanding a client certificate, it takes only its own (key in key.pem).
class TlsReceiver : public zrotlp_test::LoopbackServer {
 public:
  explicit TlsReceiver(bool demandClientCertificate = false)
      : m_ctx(SSL_CTX_new(TLS_server_method())) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509V3_CTX v3;
    X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
    for (const auto& [nid, value] :
         {std::pair<int, const char*>{NID_subject_alt_name, "IP:127.0.0.1"},
          {NID_basic_constraints, "critical,CA:TRUE"}}) {
      X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
      X509_add_ext(cert, ext, -1);
      X509_EXTENSION_free(ext);
    }
    X509_sign(cert, key, EVP_sha256());
    FILE* ca = std::fopen(CaFile().c_str(), "w");
    FILE* pem = std::fopen(KeyFile().c_str(), "w");
    m_ok = key != nullptr && m_ctx != nullptr && SSL_CTX_use_certificate(m_ctx, cert) == 1 &&
           SSL_CTX_use_PrivateKey(m_ctx, key) == 1 && ca != nullptr && pem != nullptr &&
           PEM_write_X509(ca, cert) == 1 &&
           PEM_write_PrivateKey(pem, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    for (FILE* f : {ca, pem})
      if (f != nullptr) std::fclose(f);
    if (demandClientCertificate) {
      m_ok = m_ok && X509_STORE_add_cert(SSL_CTX_get_cert_store(m_ctx), cert) == 1;
      SSL_CTX_set_verify(m_ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    X509_free(cert);
    EVP_PKEY_free(key);

    Listen(0);
  }
  ~TlsReceiver() override {
    Close();
    SSL_CTX_free(m_ctx);
  }

  bool Ok() const { return m_ok; }
  std::string Url() const { return "https://127.0.0.1:" + std::to_string(Port()); }
  std::string CaFile() const { return m_dir.Path("ca.pem"); }
  std::string KeyFile() const { return m_dir.Path("key.pem"); }
  int Requests() const { return m_requests; }
  int FailedHandshakes() const { return m_failedHandshakes; }

 private:
  void Handle(int fd) override {
    timeval limit{5, 0};  // a client that stops mid-handshake cannot hold the test
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    SSL* ssl = SSL_new(m_ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
      Answer(ssl);
    } else {
      ++m_failedHandshakes;
    }
    SSL_free(ssl);
    ERR_clear_error();
  }

  // Reads one request and answers 200.
  void Answer(SSL* ssl) {
    zrotlp_test::Request r;
    const auto read = [ssl](std::string* data) {
      char chunk[16384];
      const int n = SSL_read(ssl, chunk, sizeof(chunk));
      if (n > 0) data->append(chunk, static_cast<std::size_t>(n));
      return n > 0;
    };
    if (!zrotlp_test::ReadRequest(read, &r)) return;
    if (r.head.rfind("POST /v1/metrics ", 0) == 0 && !r.body.empty()) ++m_requests;
    static const char kOk[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    SSL_write(ssl, kOk, sizeof(kOk) - 1);
  }

  zrperf_test::TempDir m_dir{"zrperf-otlp-tls"};
  SSL_CTX* m_ctx;
  bool m_ok = false;
  std::atomic<int> m_requests{0};
  std::atomic<int> m_failedHandshakes{0};
};

TEST(OtlpExporter, HttpsPushesReachOnlyAReceiverTheCaFileVouchesForWithTheCertificateItDemands) {
  if ((curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_SSL) == 0)
    GTEST_SKIP() << "this libcurl has no TLS";
  TlsReceiver plain, demanding(true);
  ASSERT_TRUE(plain.Ok() && demanding.Ok());
  auto counters = boost::make_shared<CPerfCounters>();
  counters->GetCounter("disk0.read")->AddSample(CTimeInterval(42));
  // Pushed when the CA file vouches for the receiver (the system's CAs do
  // not) with the client certificate it demands; else refused at the
  // handshake, nothing sent.
  const struct {
    TlsReceiver& receiver;
    bool trusted, withCertificate, pushed;
  } cases[] = {{plain, true, false, true},
               {plain, false, false, false},
               {demanding, true, false, false},
               {demanding, true, true, true}};
  for (const auto& c : cases) {
    const int requests = c.receiver.Requests(), refusals = c.receiver.FailedHandshakes();
    zrperf_test::ScopedSink sink;
    COtlpExporter::Options o;
    o.endpoint = c.receiver.Url();
    o.timeout = std::chrono::seconds(5);
    o.period = std::chrono::hours(1);
    o.caFile = c.trusted ? c.receiver.CaFile() : "";
    o.clientCertFile = c.withCertificate ? c.receiver.CaFile() : "";
    o.clientKeyFile = c.withCertificate ? c.receiver.KeyFile() : "";
    auto exporter = COtlpExporter::Start(o, counters);
    ASSERT_TRUE(exporter);
    EXPECT_EQ(exporter->Flush(std::chrono::seconds(c.pushed ? 30 : 2)), c.pushed) << o.endpoint;
    const COtlpExporter::Stats stats = exporter->GetStats();
    EXPECT_TRUE(c.pushed ? stats.ok >= 1 : stats.ok == 0 && stats.retried >= 1) << o.endpoint;
    exporter.reset();
    EXPECT_EQ(c.receiver.Requests() > requests, c.pushed) << o.endpoint;  // before the answer
    if (c.pushed) continue;
    EXPECT_GT(c.receiver.FailedHandshakes(), refusals) << o.endpoint;
    if (c.trusted) continue;  // a missing client certificate reads as an alert
    bool said = false;
    for (const zrperf_test::Record& r : sink->Records())
      said = said || r.message.find("certificate") != std::string::npos;
    EXPECT_TRUE(said) << "no record names the certificate";
  }
}

}  // namespace
