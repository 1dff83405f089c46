// Internal to libzrperf-otlp: one HTTP POST of an OTLP request with libcurl,
// its answer sorted by what the exporter does next, and the checks of the
// caller's endpoint and headers.
//
// A Transport keeps one libcurl handle (and so its connection) across posts.
// Each post sends the body with Content-Type application/x-protobuf (gzip
// encoded with Content-Encoding: gzip when asked), the caller's headers, no
// "Expect: 100-continue", and follows no redirect. It takes at most the
// request timeout, whatever the receiver does: a refused or reset connection,
// an answer that is garbage or stops half-way, or no answer at all.
//
// TLS files: the CA file, every regular file of the CA directory, the client
// certificate and its key are read by ReadTlsFiles() (through
// zrfw::ReadRegularFile(), which never blocks on a FIFO or device put at a
// path and bounds each file) before each post to an https URL, and handed to
// libcurl as PEM blobs: libcurl opens no file of the caller's. Given a CA
// file or directory, the receiver is verified against those CAs only (not the
// system's too). A file that cannot be read fails the post (kRetry, nothing
// sent, `filesUnreadable`); blobs that did not change keep libcurl's
// connection.
//
// The answer, as the OTLP/HTTP protocol sorts it:
//   2xx                          kOk (a partial success's reason is given)
//   429, 502, 503, 504           kRetry, with the Retry-After delay if any
//                                (seconds or an HTTP date)
//   no usable answer             kRetry (connection refused or reset, timeout,
//                                malformed or truncated answer)
//   any other status             kReject: the request is dropped
// with a one-line reason (the status and the receiver's message: the
// google.rpc.Status message of a protobuf answer, else the start of the body),
// escaped for a log record. The caller's headers appear in no reason.
//
// Thread-safety: a Transport is used by one thread at a time. The abort flag
// may be set from any thread: the post in progress then ends within about a
// second (kAborted).

#ifndef ZRPERF_EXPORT_OTLP_INTERNAL_OTLPTRANSPORT_H_
#define ZRPERF_EXPORT_OTLP_INTERNAL_OTLPTRANSPORT_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace zrotlp {

// The request timeouts COtlpExporter::Start() accepts.
constexpr std::chrono::milliseconds kMinTimeout{10};
constexpr std::chrono::milliseconds kMaxTimeout{600 * 1000};

// The most bytes of one PEM file read: the CA file, the client certificate,
// the key, each file of the CA directory.
constexpr std::size_t kMaxPemFile = 1024 * 1024;
// The CA directory: at most this many entries (besides "." and ".."), and
// this many bytes in all its files.
constexpr std::size_t kMaxCaDirEntries = 4096;
constexpr std::size_t kMaxCaDirBytes = 4 * 1024 * 1024;

struct TransportOptions {
  std::string url;                   // the full URL posted to
  std::vector<std::string> headers;  // "Name: value", checked by CheckHeader()
  std::chrono::milliseconds timeout{10000};
  std::string caFile;  // empty (and no caDir): the system's
  std::string caDir;   // its regular files, as PEM bundles
  std::string clientCert;  // PEM client certificate and key, both or neither
  std::string clientKey;
  bool gzip = false;
};

enum class Result { kOk, kRetry, kReject, kAborted };

struct Outcome {
  Result result = Result::kRetry;
  long status = 0;     // HTTP status; 0 without an answer
  std::string reason;  // one line, empty for a plain success
  std::optional<std::chrono::seconds> retryAfter;
  std::size_t bytesSent = 0;  // the body as sent (compressed when gzip)
  bool filesUnreadable = false;  // a TLS file could not be read: nothing was sent
};

// The PEM texts libcurl is given.
struct TlsFiles {
  // The CA file, then each regular file of the CA directory in name order,
  // each followed by a line feed; empty when neither is given.
  std::string ca;
  std::string cert;
  std::string key;
};

// Reads the TLS files `options` name into `*files`: each one (and each entry
// of the CA directory) with zrfw::ReadRegularFile() and at most kMaxPemFile
// bytes; entries of the directory that are not regular files (after links)
// or vanish meanwhile are skipped, and it may hold at most kMaxCaDirEntries
// entries and kMaxCaDirBytes bytes. False with `error` (one line, naming the
// file and why, escaped for a record) when any of that fails.
bool ReadTlsFiles(const TransportOptions& options, TlsFiles* files, std::string* error);

// Checks `endpoint` (an http:// or https:// URL with a host and no query or
// fragment) and derives the URL posted to: the endpoint's path + "/v1/metrics"
// unless it already ends so, or, when `asIs`, the endpoint itself ("/" for no
// path). `display` is that URL without user information, for messages. False
// with `error` set otherwise; the error quotes the endpoint with everything
// that may be user information (up to its last '@') replaced by "***".
bool ResolveEndpoint(const std::string& endpoint, std::string* url, std::string* display,
                     std::string* error, bool asIs = false);

// Checks one "Name: value" header: the name an HTTP token, not one the
// transport sets itself (Content-Type, Content-Encoding, Content-Length,
// Transfer-Encoding, Expect, Host, in any case), the value free of control
// characters other than tab. The error says what is wrong with "its" name or
// value (the caller says which header) and quotes neither: a malformed
// header may hold a token anywhere ("Bearer tok: x").
bool CheckHeader(const std::string& header, std::string* error);

// The delay a Retry-After value asks for at Unix time `now`: a number of
// seconds, or an HTTP date (a date past gives 0). Empty when unreadable.
std::optional<std::chrono::seconds> ParseRetryAfter(const std::string& value, std::time_t now);

class Transport {
 public:
  // Throws std::runtime_error when libcurl cannot make a handle.
  Transport(TransportOptions options, const std::atomic<bool>* abort);
  ~Transport();

  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  Outcome Post(const std::string& body);

 private:
  struct Impl;
  Impl* m_impl;
};

}  // namespace zrotlp

#endif  // ZRPERF_EXPORT_OTLP_INTERNAL_OTLPTRANSPORT_H_
