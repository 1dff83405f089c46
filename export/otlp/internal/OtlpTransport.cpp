#include "OtlpTransport.h"

#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <zrperf/Version.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include <zrperf/export/internal/Gzip.h>
#include <zrperf/framework/FileSystem.h>
#include <zrperf/util/internal/Coding.h>
#include <zrperf/util/internal/RecordText.h>

namespace zrotlp {

namespace {

constexpr std::size_t kMaxBody = 64 * 1024;  // of an answer kept; the rest is read and dropped
constexpr std::size_t kMaxReason = 200;      // bytes of a receiver's message in a reason
const char kPath[] = "/v1/metrics";

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool EndsWith(const std::string& s, std::string_view tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A text from the receiver as a short piece of one record line.
std::string Quote(std::string_view text) {
  std::string cut(text.substr(0, kMaxReason));
  while (!cut.empty() && std::isspace(static_cast<unsigned char>(cut.back()))) cut.pop_back();
  std::string out = zrperf::EscapeRecordText(cut);
  if (text.size() > kMaxReason) out += "...";
  return out;
}

// --- A few fields of a protobuf answer ---------------------------------------

// Calls field(number, wireType, bytes-or-empty, varint) for each field of
// `message`; false when it is not well formed.
template <typename Field>
bool ForEachField(std::string_view message, Field field) {
  while (!message.empty()) {
    std::uint64_t tag = 0;
    if (!zrperf::DecodeVarint(&message, &tag)) return false;
    const auto number = static_cast<std::uint32_t>(tag >> 3);
    std::uint64_t value = 0;
    std::string_view bytes;
    switch (tag & 7) {
      case 0:
        if (!zrperf::DecodeVarint(&message, &value)) return false;
        break;
      case 1:
        if (message.size() < 8) return false;
        message.remove_prefix(8);
        break;
      case 2:
        if (!zrperf::DecodeVarint(&message, &value) || value > message.size()) return false;
        bytes = message.substr(0, static_cast<std::size_t>(value));
        message.remove_prefix(static_cast<std::size_t>(value));
        break;
      case 5:
        if (message.size() < 4) return false;
        message.remove_prefix(4);
        break;
      default:
        return false;
    }
    field(number, static_cast<int>(tag & 7), bytes, value);
  }
  return true;
}

// The message of a google.rpc.Status answer (field 2); empty if none.
std::string StatusMessage(std::string_view body) {
  std::string message;
  ForEachField(body, [&](std::uint32_t n, int type, std::string_view bytes, std::uint64_t) {
    if (n == 2 && type == 2) message.assign(bytes);
  });
  return message;
}

// "N points rejected: message" of an ExportMetricsServiceResponse with a
// partial success; empty for a full one.
std::string PartialSuccess(std::string_view body) {
  std::string reason;
  ForEachField(body, [&](std::uint32_t n, int type, std::string_view partial, std::uint64_t) {
    if (n != 1 || type != 2) return;
    std::int64_t rejected = 0;
    std::string message;
    ForEachField(partial, [&](std::uint32_t m, int t, std::string_view bytes, std::uint64_t v) {
      if (m == 1 && t == 0) rejected = static_cast<std::int64_t>(v);
      if (m == 2 && t == 2) message.assign(bytes);
    });
    if (rejected != 0 || !message.empty()) {
      reason = "partial success: " + std::to_string(rejected) + " points rejected";
      if (!message.empty()) reason += ": " + Quote(message);
    }
  });
  return reason;
}

// `endpoint` as a message quotes it: escaped to one line, with whatever may be
// user information (from after "scheme://", or from the start, up to the
// last '@') replaced by "***": a password is never shown, even in a text that
// is not a URL.
std::string ShownEndpoint(const std::string& endpoint) {
  std::string text = endpoint;
  const std::size_t at = text.rfind('@');
  if (at != std::string::npos) {
    const std::size_t scheme = text.find("://");
    const std::size_t from = scheme != std::string::npos && scheme < at ? scheme + 3 : 0;
    text.replace(from, at - from, "***");
  }
  return "'" + zrperf::EscapeRecordText(text) + "'";
}

}  // namespace

// --- Checks ---------------------------------------------------------------------

bool ResolveEndpoint(const std::string& endpoint, std::string* url, std::string* display,
                     std::string* error, bool asIs) {
  GlobalInit();
  const std::string shown = ShownEndpoint(endpoint);
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> u(curl_url(), curl_url_cleanup);
  if (!u) {
    *error = "out of memory";
    return false;
  }
  if (curl_url_set(u.get(), CURLUPART_URL, endpoint.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
      CURLUE_OK) {
    *error = "the endpoint " + shown + " is not a URL such as http://host:4318";
    return false;
  }
  auto part = [&](CURLUPart which) {
    char* text = nullptr;
    std::string value;
    if (curl_url_get(u.get(), which, &text, 0) == CURLUE_OK && text != nullptr) value = text;
    curl_free(text);
    return value;
  };
  const std::string scheme = Lower(part(CURLUPART_SCHEME));
  if (scheme != "http" && scheme != "https") {
    *error = "the endpoint " + shown + " has the scheme '" + zrperf::EscapeRecordText(scheme) +
             "'; only http and https are supported";
    return false;
  }
  if (part(CURLUPART_HOST).empty()) {
    *error = "the endpoint " + shown + " has no host";
    return false;
  }
  if (!part(CURLUPART_QUERY).empty() || !part(CURLUPART_FRAGMENT).empty()) {
    *error = "the endpoint " + shown + " has a query or fragment; give the base URL";
    return false;
  }
  std::string path = part(CURLUPART_PATH);
  if (!asIs && !EndsWith(path, kPath)) {
    while (!path.empty() && path.back() == '/') path.pop_back();
    path += kPath;
    if (curl_url_set(u.get(), CURLUPART_PATH, path.c_str(), 0) != CURLUE_OK) {
      *error = "the endpoint " + shown + " cannot take the path " + path;
      return false;
    }
  }
  *url = part(CURLUPART_URL);
  for (CURLUPart login : {CURLUPART_USER, CURLUPART_PASSWORD, CURLUPART_OPTIONS}) {
    curl_url_set(u.get(), login, nullptr, 0);
  }
  *display = part(CURLUPART_URL);
  return !url->empty();
}

bool CheckHeader(const std::string& header, std::string* error) {
  const std::size_t colon = header.find(':');
  if (colon == std::string::npos) {
    *error = "not of the form 'Name: value'";
    return false;
  }
  const std::string name = header.substr(0, colon);
  if (name.empty()) {
    *error = "its name is empty";
    return false;
  }
  constexpr std::string_view kTokenChars = "!#$%&'*+-.^_`|~";  // besides letters and digits
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    // (A NUL is none: libcurl would cut the header there.)
    if (!std::isalnum(static_cast<unsigned char>(c)) &&
        kTokenChars.find(c) == std::string_view::npos) {
      *error = "its name is not an HTTP token (byte " + std::to_string(i + 1) + ")";
      return false;
    }
  }
  // The headers the transport sets itself, in lower case: names are compared
  // without regard to case.
  static const char* const kReserved[] = {
      "content-type",       // application/x-protobuf
      "content-encoding",   // gzip, when asked
      "content-length",     // of the body
      "transfer-encoding",  // a chunked body would defeat the length
      "expect",             // left out: no 100-continue round trip
      "host",               // the endpoint's
  };
  const std::string lower = Lower(name);
  for (const char* own : kReserved) {
    if (lower == own) {
      *error = std::string("its name is ") + own + ", which the exporter sets itself";
      return false;
    }
  }
  for (std::size_t i = colon + 1; i < header.size(); ++i) {
    const auto c = static_cast<unsigned char>(header[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7F) {
      *error = "its value holds a control character";
      return false;
    }
  }
  return true;
}

// --- TLS files --------------------------------------------------------------------

namespace {

// libcurl refuses a blob larger than this (CURL_MAX_INPUT_LENGTH).
static_assert(kMaxPemFile + kMaxCaDirBytes + kMaxCaDirEntries + 1 < 8000000,
              "the CA blob fits libcurl's limit");

// Appends the file at `path` to `*out` (with a line feed when `separate`):
// false with `error` when it cannot be read. `skipOthers`: a path that holds
// no regular file (a FIFO, a device, a directory, nothing) is skipped.
bool AppendFile(const char* role, const std::string& path, bool separate, bool skipOthers,
                std::string* out, std::string* error) {
  std::string bytes, why;
  const zrfw::ReadResult r = zrfw::ReadRegularFile(path, kMaxPemFile, &bytes, &why);
  if (r == zrfw::ReadResult::kRead) {
    out->append(bytes);
    if (separate) out->push_back('\n');
    return true;
  }
  if (skipOthers && (r == zrfw::ReadResult::kNotRegular || r == zrfw::ReadResult::kMissing)) {
    return true;
  }
  *error = std::string("cannot read the ") + role + ": " + zrperf::EscapeRecordText(why);
  return false;
}

// Appends every regular file of the directory `dir` to `*out`, in name order.
bool AppendDirectory(const std::string& dir, std::string* out, std::string* error) {
  const std::string shown = zrperf::EscapeRecordText(dir);
  const auto failed = [&](const std::string& why) {
    *error = "cannot read the CA directory: " + shown + " " + why;
    return false;
  };
  // Opened through the file seam (O_DIRECTORY: a FIFO there fails at once),
  // listed through a duplicate, so that the seam closes what it opened.
  const int fd = zrfw::Files().Open(dir.c_str(),
                                    O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
  if (fd < 0) return failed(std::string("cannot be opened: ") + std::strerror(errno));
  const int listed = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  const int dupError = errno;
  zrfw::Files().Close(fd);
  DIR* d = listed >= 0 ? fdopendir(listed) : nullptr;
  if (d == nullptr) {
    const int why = listed >= 0 ? errno : dupError;
    if (listed >= 0) close(listed);
    return failed(std::string("cannot be listed: ") + std::strerror(why));
  }
  std::vector<std::string> names;
  bool tooMany = false;
  errno = 0;
  while (const dirent* entry = readdir(d)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (names.size() == kMaxCaDirEntries) {
      tooMany = true;
      break;
    }
    names.emplace_back(name);
  }
  const int listError = errno;
  closedir(d);
  if (tooMany) return failed("holds more than " + std::to_string(kMaxCaDirEntries) + " entries");
  if (listError != 0) return failed(std::string("cannot be listed: ") + std::strerror(listError));
  std::sort(names.begin(), names.end());
  std::size_t total = 0;  // of the files, their line feeds aside
  std::string path = dir + "/";
  for (const std::string& name : names) {
    path.resize(dir.size() + 1);
    path += name;
    const std::size_t before = out->size();
    if (!AppendFile("CA directory's file", path, true, true, out, error)) return false;
    if (out->size() > before) total += out->size() - before - 1;
    if (total > kMaxCaDirBytes) {
      return failed("holds more than " + std::to_string(kMaxCaDirBytes) + " bytes of files");
    }
  }
  return true;
}

}  // namespace

bool ReadTlsFiles(const TransportOptions& options, TlsFiles* files, std::string* error) {
  files->ca.clear();
  files->cert.clear();
  files->key.clear();
  return (options.caFile.empty() ||
          AppendFile("CA file", options.caFile, true, false, &files->ca, error)) &&
         (options.caDir.empty() || AppendDirectory(options.caDir, &files->ca, error)) &&
         (options.clientCert.empty() ||
          AppendFile("client certificate", options.clientCert, false, false, &files->cert,
                     error)) &&
         (options.clientKey.empty() ||
          AppendFile("client key", options.clientKey, false, false, &files->key, error));
}

std::optional<std::chrono::seconds> ParseRetryAfter(const std::string& value, std::time_t now) {
  std::string v = value;
  while (!v.empty() && std::isspace(static_cast<unsigned char>(v.back()))) v.pop_back();
  v.erase(0, v.find_first_not_of(" \t"));
  if (v.empty()) return std::nullopt;
  if (v.find_first_not_of("0123456789") == std::string::npos) {
    if (v.size() > 9) return std::chrono::seconds(999999999);  // far off: the caller caps it
    return std::chrono::seconds(std::stoll(v));
  }
  const std::time_t when = curl_getdate(v.c_str(), nullptr);
  if (when == -1) return std::nullopt;
  return std::chrono::seconds(when > now ? when - now : 0);
}

// --- Transport ------------------------------------------------------------------

struct Transport::Impl {
  TransportOptions options;
  const std::atomic<bool>* abort;
  bool tls = false;  // an https URL with TLS files to read
  TlsFiles fresh;    // read for this post
  TlsFiles applied;  // given to libcurl (once `appliedOnce`)
  bool appliedOnce = false;
  CURL* curl = nullptr;
  curl_slist* headers = nullptr;
  std::string compressed;
  std::string body;  // of the answer, up to kMaxBody
  std::string retryAfter;
  std::string contentType;
  char errors[CURL_ERROR_SIZE] = {};

  static size_t OnBody(char* data, size_t size, size_t count, void* self) {
    Impl* impl = static_cast<Impl*>(self);
    const std::size_t n = size * count;
    const std::size_t room = kMaxBody - std::min(kMaxBody, impl->body.size());
    impl->body.append(data, std::min(n, room));
    return n;
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
    Impl* impl = static_cast<Impl*>(self);
    const std::size_t n = size * count;
    const std::string line(data, n);
    if (line.compare(0, 5, "HTTP/") == 0) {  // a new answer (after a 1xx, say)
      impl->retryAfter.clear();
      impl->contentType.clear();
      return n;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) return n;
    const std::string name = Lower(line.substr(0, colon));
    std::string value = line.substr(colon + 1);
    if (name == "retry-after") impl->retryAfter = value;
    if (name == "content-type") impl->contentType = Lower(value);
    return n;
  }

  // Reads the TLS files and gives libcurl those that changed since the last
  // post (a blob libcurl holds is compared with a connection's when it is
  // reused). False with `why` when a file cannot be read or is refused.
  bool UpdateTlsFiles(std::string* why) {
    if (!ReadTlsFiles(options, &fresh, why)) return false;
    const auto give = [&](CURLoption option, std::string& now, std::string& was) {
      if (appliedOnce && now == was) return true;
      curl_blob blob{now.data(), now.size(), CURL_BLOB_COPY};
      const CURLcode rc = curl_easy_setopt(curl, option, &blob);
      if (rc != CURLE_OK) {
        *why = std::string("libcurl refused the TLS files: ") + curl_easy_strerror(rc);
        appliedOnce = false;  // all given again next time
        return false;
      }
      was = now;
      return true;
    };
    const bool ca = (options.caFile.empty() && options.caDir.empty()) ||
                    give(CURLOPT_CAINFO_BLOB, fresh.ca, applied.ca);
    const bool client = options.clientCert.empty() ||
                        (give(CURLOPT_SSLCERT_BLOB, fresh.cert, applied.cert) &&
                         give(CURLOPT_SSLKEY_BLOB, fresh.key, applied.key));
    appliedOnce = ca && client;
    return appliedOnce;
  }

  static int OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const Impl* impl = static_cast<const Impl*>(self);
    return impl->abort != nullptr && impl->abort->load(std::memory_order_relaxed) ? 1 : 0;
  }
};

Transport::Transport(TransportOptions options, const std::atomic<bool>* abort) : m_impl(new Impl) {
  GlobalInit();
  m_impl->options = std::move(options);
  m_impl->abort = abort;
  m_impl->curl = curl_easy_init();
  if (m_impl->curl == nullptr) {
    delete m_impl;
    throw std::runtime_error("libcurl could not make a handle");
  }
  curl_slist* list = curl_slist_append(nullptr, "Content-Type: application/x-protobuf");
  if (m_impl->options.gzip) list = curl_slist_append(list, "Content-Encoding: gzip");
  list = curl_slist_append(list, "Expect:");
  for (const std::string& h : m_impl->options.headers) list = curl_slist_append(list, h.c_str());
  m_impl->headers = list;

  CURL* c = m_impl->curl;
  const long timeoutMs = static_cast<long>(m_impl->options.timeout.count());
  curl_easy_setopt(c, CURLOPT_URL, m_impl->options.url.c_str());
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, m_impl->headers);
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);  // no SIGALRM from a thread of a library
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_USERAGENT, "zrperf-otlp/" ZRPERF_VERSION_STRING);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, m_impl->errors);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Impl::OnBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, m_impl);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &Impl::OnHeader);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, m_impl);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &Impl::OnProgress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, m_impl);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  const TransportOptions& o = m_impl->options;
  if (!o.caFile.empty() || !o.caDir.empty()) {
    // The given CAs only: neither the system's bundle nor its directory.
    curl_easy_setopt(c, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(c, CURLOPT_CAPATH, nullptr);
  }
  if (!o.clientCert.empty()) {
    curl_easy_setopt(c, CURLOPT_SSLCERTTYPE, "PEM");
    curl_easy_setopt(c, CURLOPT_SSLKEYTYPE, "PEM");
  }
  m_impl->tls = Lower(o.url.substr(0, 8)) == "https://" &&
                !(o.caFile.empty() && o.caDir.empty() && o.clientCert.empty());
}

Transport::~Transport() {
  curl_easy_cleanup(m_impl->curl);
  curl_slist_free_all(m_impl->headers);
  delete m_impl;
}

Outcome Transport::Post(const std::string& body) {
  Impl& impl = *m_impl;
  Outcome outcome;
  const std::string* sent = &body;
  if (impl.options.gzip) {
    if (!zrexport::Gzip(body, &impl.compressed, zrexport::kGzipDefault)) {
      outcome.result = Result::kReject;
      outcome.reason = "gzip failed";
      return outcome;
    }
    sent = &impl.compressed;
  }
  outcome.bytesSent = sent->size();
  if (impl.tls && !impl.UpdateTlsFiles(&outcome.reason)) {
    outcome.result = Result::kRetry;  // the files may be mended
    outcome.filesUnreadable = true;
    outcome.bytesSent = 0;
    return outcome;
  }
  impl.body.clear();
  impl.retryAfter.clear();
  impl.contentType.clear();
  impl.errors[0] = '\0';
  curl_easy_setopt(impl.curl, CURLOPT_POSTFIELDS, sent->data());
  curl_easy_setopt(impl.curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(sent->size()));
  const CURLcode rc = curl_easy_perform(impl.curl);
  if (rc != CURLE_OK) {
    outcome.result = rc == CURLE_ABORTED_BY_CALLBACK ? Result::kAborted : Result::kRetry;
    outcome.reason = impl.errors[0] != '\0' ? Quote(impl.errors) : curl_easy_strerror(rc);
    return outcome;
  }
  curl_easy_getinfo(impl.curl, CURLINFO_RESPONSE_CODE, &outcome.status);
  const bool protobuf = impl.contentType.find("protobuf") != std::string::npos;
  if (outcome.status >= 200 && outcome.status < 300) {
    outcome.result = Result::kOk;
    if (protobuf) outcome.reason = PartialSuccess(impl.body);
    return outcome;
  }
  const long s = outcome.status;
  outcome.result =
      (s == 429 || s == 502 || s == 503 || s == 504) ? Result::kRetry : Result::kReject;
  if (outcome.result == Result::kRetry && !impl.retryAfter.empty()) {
    outcome.retryAfter = ParseRetryAfter(impl.retryAfter, std::time(nullptr));
  }
  const std::string message = protobuf ? StatusMessage(impl.body) : impl.body;
  outcome.reason = "HTTP " + std::to_string(s);
  if (!message.empty()) outcome.reason += ": " + Quote(message);
  return outcome;
}

}  // namespace zrotlp
