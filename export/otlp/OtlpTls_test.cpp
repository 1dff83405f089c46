// The exporter over https: a receiver with a certificate of its own, made
// here with OpenSSL, which the exporter trusts only through `caFile`.

#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <zrperf/tests/support/CapturingSink.h>
#include <zrperf/tests/support/FaultCause.h>
#include <zrperf/tests/support/FileFaults.h>
#include <zrperf/tests/support/OtlpReceiver.h>
#include <zrperf/tests/support/TempDir.h>
#include "OtlpExporter.h"

namespace {

// An https receiver on a self-signed certificate for 127.0.0.1 that answers
// every POST with 200 and takes only its own certificate as the client's.
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
      // A client's second handshake resumes its session, which a server that
      // verifies clients refuses without a context of its own.
      static const unsigned char kContext[] = "zrperf-otlp-test";
      SSL_CTX_set_session_id_context(m_ctx, kContext, sizeof(kContext) - 1);
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
  // Pushed with the CA file and the client certificate the receiver demands;
  // else refused at the handshake, nothing sent.
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

// The exporter's copies of a receiver's files, which the tests swap; the CA
// directory holds the certificate as "<hash>.1" ("<hash>.0" left free).
struct TlsFiles {
  explicit TlsFiles(const TlsReceiver& receiver) {
    const std::string pem = zrperf_test::ReadFile(receiver.CaFile());
    ca = dir.Write("ca.pem", pem);
    cert = dir.Write("cert.pem", pem);
    key = dir.Write("key.pem", zrperf_test::ReadFile(receiver.KeyFile()));
    caDir = dir.Path("cadir");
    mkdir(caDir.c_str(), 0700);
    FILE* f = std::fopen(ca.c_str(), "r");
    X509* x = f != nullptr ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
    char hash[16] = "";
    if (x != nullptr) std::snprintf(hash, sizeof(hash), "%08lx", X509_subject_name_hash(x));
    X509_free(x);
    if (f != nullptr) std::fclose(f);
    hashed = caDir + "/" + hash + ".0";
    zrperf_test::WriteFile(caDir + "/" + hash + ".1", pem);
    fifo = dir.Path("fifo");
    mkfifo(fifo.c_str(), 0600);
  }

  // Puts at `path` a FIFO (the one at `fifo`, which stays there) or a sparse
  // 2 GiB file, each in one rename; the file it replaces is kept aside.
  void Swap(const std::string& path, bool toFifo) {
    const std::string next = path + ".next";
    if (toFifo) {
      EXPECT_EQ(link(fifo.c_str(), next.c_str()), 0);
    } else {
      const int fd = open(next.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
      EXPECT_TRUE(fd >= 0 && ftruncate(fd, 2LL << 30) == 0);
      close(fd);
    }
    if (access((path + ".kept").c_str(), F_OK) != 0) link(path.c_str(), (path + ".kept").c_str());
    EXPECT_EQ(rename(next.c_str(), path.c_str()), 0);
  }
  // Options of an exporter that pushes to `receiver` only when flushed, with
  // these files and the CA file, the CA directory or both.
  COtlpExporter::Options For(const TlsReceiver& receiver, bool withCaFile, bool withCaDir) const {
    COtlpExporter::Options o;
    o.endpoint = receiver.Url();
    o.timeout = std::chrono::seconds(5);
    o.period = o.initialBackoff = std::chrono::hours(1);
    o.caFile = withCaFile ? ca : "";
    o.caDir = withCaDir ? caDir : "";
    o.clientCertFile = cert;
    o.clientKeyFile = key;
    return o;
  }
  // Brings back what Swap() replaced (nothing, for the free hashed name).
  void Restore(const std::string& path) {
    const std::string kept = path + ".kept";
    if (rename(kept.c_str(), path.c_str()) != 0) unlink(path.c_str());
  }

  zrperf_test::TempDir dir{"zrperf-otlp-swap"};
  std::string ca, cert, key, caDir, hashed, fifo;
};

// Stops `exporter` on another thread; true when that took at most `bound`. A
// longer stop (blocked opening the FIFO) is then released so the test ends.
bool StopsWithin(COtlpExporter& exporter, std::chrono::milliseconds bound,
                 const std::string& fifo) {
  std::promise<void> stopped;
  std::future<void> done = stopped.get_future();
  std::thread stopper([&] {
    exporter.Stop();
    stopped.set_value();
  });
  const bool inTime = done.wait_for(bound) == std::future_status::ready;
  while (done.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
    const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) close(fd);
  }
  stopper.join();
  return inTime;
}

// The level -1 records after the first `from`.
std::vector<std::string> FailuresSince(const zrperf_test::ScopedSink& sink, std::size_t from) {
  std::vector<std::string> out;
  const std::vector<zrperf_test::Record> records = sink->Records();
  for (std::size_t i = from; i < records.size(); ++i)
    if (records[i].level == -1) out.push_back(records[i].message);
  return out;
}

// Each TLS file replaced after Start() by a FIFO, then a sparse 2 GiB file:
// each push fails at once with one record naming the file per distinct
// failure, the next with the file back succeeds, Stop() keeps its bound. In
// the CA directory a hashed-name FIFO is skipped, a huge file refused.
TEST(OtlpExporter, TlsFilesSwappedForAFifoOrAHugeFileFailThePushAtOnceAndNeverHoldStop) {
  if ((curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_SSL) == 0)
    GTEST_SKIP() << "this libcurl has no TLS";
  TlsReceiver receiver(true);
  ASSERT_TRUE(receiver.Ok());
  TlsFiles files(receiver);
  auto counters = boost::make_shared<CPerfCounters>();
  zrperf_test::ScopedSink sink;
  for (const std::string* path : {&files.ca, &files.cert, &files.key, &files.hashed}) {
    const bool inDir = path == &files.hashed;
    const COtlpExporter::Options o = files.For(receiver, !inDir, inDir);
    const int requests = receiver.Requests();
    auto exporter = COtlpExporter::Start(o, counters);
    ASSERT_TRUE(exporter);
    EXPECT_TRUE(exporter->Flush(std::chrono::seconds(30))) << *path;
    // The failure records since the last call: `count` of them, each holding `text`.
    std::size_t seen = sink->Records().size();
    const auto said = [&](std::size_t count, const std::string& text) {
      const std::vector<std::string> f = FailuresSince(sink, seen);
      seen = sink->Records().size();
      EXPECT_EQ(f.size(), count) << text;
      for (const std::string& m : f) EXPECT_NE(m.find(text), std::string::npos) << m;
    };
    // No ASSERT until Stop(): a thread blocked on the FIFO must be released.
    files.Swap(*path, true);
    EXPECT_EQ(exporter->Flush(std::chrono::seconds(30)), inDir) << *path;
    said(inDir ? 0 : 1, *path + " is not a regular file");
    if (!inDir) {
      EXPECT_FALSE(exporter->Flush(std::chrono::seconds(30)));
      said(0, "the same failure twice");
    }
    files.Swap(*path, false);
    EXPECT_FALSE(exporter->Flush(std::chrono::seconds(30))) << *path;
    said(1, *path + " is larger than 1048576 bytes");  // a new reason, the outage going on or not
    files.Restore(*path);
    EXPECT_TRUE(exporter->Flush(std::chrono::seconds(30))) << *path;
    files.Swap(*path, !inDir);
    EXPECT_TRUE(StopsWithin(*exporter, o.timeout + std::chrono::seconds(1), files.fifo)) << *path;
    files.Restore(*path);
    // Sent: the pushes that succeeded, and no other.
    EXPECT_EQ(receiver.Requests() - requests, inDir ? 3 : 2) << *path;
  }
  EXPECT_EQ(receiver.FailedHandshakes(), 0);
}

// Each file call of a push's TLS reads failed in turn with each returned fault:
// the push fails with a record naming the file and error, or succeeds; the
// next push succeeds.
TEST(OtlpExporter, TlsFileReadsFailedAtEachCallFailThatPushWithARecordAndTheNextSucceeds) {
  if ((curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_SSL) == 0)
    GTEST_SKIP() << "this libcurl has no TLS";
  TlsReceiver receiver(true);
  ASSERT_TRUE(receiver.Ok());
  TlsFiles files(receiver);
  link(files.fifo.c_str(), files.hashed.c_str());  // skipped, but opened
  zrperf_test::ScopedSink sink;
  auto exporter =
      COtlpExporter::Start(files.For(receiver, true, true), boost::make_shared<CPerfCounters>());
  ASSERT_TRUE(exporter);
  zrperf_test::FaultyFiles faulty(files.dir.path());
  for (const zrperf_test::FileFault fault : zrperf_test::kReturnedFaults) {
    std::size_t seen = 0;
    const long walked = zrperf_test::WalkFaults(
        faulty, fault,
        [&] {
          seen = sink->Records().size();
          return exporter->Flush(std::chrono::seconds(30));
        },
        [&](long n, bool ok) {
          const std::string at =
              std::string(zrperf_test::FaultName(fault)) + " at call " + std::to_string(n);
          if (!ok) {
            const std::vector<std::string> said = FailuresSince(sink, seen);
            ASSERT_EQ(said.size(), 1u) << at;
            EXPECT_NE(said[0].find(files.dir.path()), std::string::npos) << at << said[0];
            EXPECT_NE(said[0].find(std::strerror(zrperf_test::FaultErrno(fault))),
                      std::string::npos)
                << at << said[0];
          }
          EXPECT_TRUE(exporter->Flush(std::chrono::seconds(30))) << at;
        });
    EXPECT_EQ(walked, 20) << zrperf_test::FaultName(fault);  // 4 a file read, 2 a directory or FIFO
  }
  EXPECT_EQ(receiver.FailedHandshakes(), 0);
}

}  // namespace
