// Test support for libzrperf-otlp: requests decoded by protoc into a tree of
// fields, and a loopback HTTP receiver that answers as each test scripts it.
//
// Thread-safety: a TextNode is a plain value. The receiver serves on a thread
// of its own; its members may be called from any thread.

#ifndef ZRPERF_TESTS_SUPPORT_OTLPRECEIVER_H_
#define ZRPERF_TESTS_SUPPORT_OTLPRECEIVER_H_

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <zrperf/export/internal/Gzip.h>

namespace zrotlp_test {

// A block of protoc's text format, as a tree.
struct TextNode {
  std::multimap<std::string, std::string> values;  // "name: value" lines, quotes kept
  std::multimap<std::string, TextNode> children;   // "name { ... }" blocks

  // The first child named `name`, or null.
  const TextNode* Child(const std::string& name) const {
    auto it = children.find(name);
    return it == children.end() ? nullptr : &it->second;
  }
  std::vector<const TextNode*> All(const std::string& name) const {
    std::vector<const TextNode*> out;
    for (auto [it, end] = children.equal_range(name); it != end; ++it) out.push_back(&it->second);
    return out;
  }
  bool Has(const std::string& name) const { return values.count(name) > 0; }
  std::string Value(const std::string& name) const {
    auto it = values.find(name);
    return it == values.end() ? std::string() : it->second;
  }
  std::vector<std::string> Values(const std::string& name) const {
    std::vector<std::string> out;
    for (auto [it, end] = values.equal_range(name); it != end; ++it) out.push_back(it->second);
    return out;
  }
  double Number(const std::string& name) const { return std::strtod(Value(name).c_str(), nullptr); }
  unsigned long long Count(const std::string& name) const {
    return std::strtoull(Value(name).c_str(), nullptr, 10);
  }
  // A quoted string value without its quotes (escapes kept as protoc wrote them).
  std::string Text(const std::string& name) const {
    const std::string v = Value(name);
    return v.size() >= 2 ? v.substr(1, v.size() - 2) : v;
  }
};

inline TextNode ParseText(std::istream& in) {
  TextNode node;
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t first = line.find_first_not_of(' ');
    if (first == std::string::npos) continue;
    line = line.substr(first);
    if (line == "}") return node;
    if (line.size() > 2 && line.compare(line.size() - 2, 2, " {") == 0) {
      node.children.emplace(line.substr(0, line.size() - 2), ParseText(in));
      continue;
    }
    const std::size_t colon = line.find(": ");
    if (colon != std::string::npos)
      node.values.emplace(line.substr(0, colon), line.substr(colon + 2));
  }
  return node;
}

// Skips the test when protoc was not found at configure time.
#define ZRPERF_REQUIRE_PROTOC()                                                                   \
  if (std::getenv("ZRPERF_PROTOC") == nullptr || std::getenv("ZRPERF_OTLP_PROTO_DIR") == nullptr) \
  GTEST_SKIP() << "protoc not found (scripts/deps.sh installs protobuf-compiler)"

// `body` (an ExportMetricsServiceRequest) decoded by protoc; the test fails
// when protoc refuses it.
inline TextNode DecodeRequest(const std::string& body) {
  char path[] = "/tmp/otlp-request-XXXXXX";
  const int fd = mkstemp(path);
  const bool written =
      fd >= 0 && ::write(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size());
  if (fd >= 0) ::close(fd);
  if (!written) ADD_FAILURE() << "cannot write the request for protoc";
  std::string out;
  if (written) {
    const std::string command =
        std::string(std::getenv("ZRPERF_PROTOC")) +
        " --proto_path=" + std::getenv("ZRPERF_OTLP_PROTO_DIR") +
        " --decode=opentelemetry.proto.collector.metrics.v1.ExportMetricsServiceRequest"
        " otlp_metrics.proto < " +
        path + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), p)) > 0) out.append(buffer, n);
    if (pclose(p) != 0) ADD_FAILURE() << "protoc: " << out;
    ::unlink(path);
  }
  std::istringstream in(out);
  return ParseText(in);
}

// A parsed request's resource attributes, key to value (an int as its
// digits); the values of a key given twice are joined by '|'.
inline std::map<std::string, std::string> Resource(const TextNode& request) {
  std::map<std::string, std::string> out;
  for (const TextNode* a :
       request.Child("resource_metrics")->Child("resource")->All("attributes")) {
    const TextNode* v = a->Child("value");
    std::string& value = out[a->Text("key")];
    value += (value.empty() ? "" : "|") +
             (v->Has("int_value") ? v->Value("int_value") : v->Text("string_value"));
  }
  return out;
}

// The ScopeMetrics' metric named `name` in a parsed request, or null.
inline const TextNode* FindMetric(const TextNode& request, const std::string& name) {
  const TextNode* rm = request.Child("resource_metrics");
  const TextNode* sm = rm != nullptr ? rm->Child("scope_metrics") : nullptr;
  if (sm == nullptr) return nullptr;
  for (const TextNode* m : sm->All("metrics")) {
    if (m->Text("name") == name) return m;
  }
  return nullptr;
}

// The data point of `metric` ("exponential_histogram" or "sum") whose
// attribute `key` is `value` (as protoc escapes it), or null.
inline const TextNode* FindPoint(const TextNode& request, const std::string& metric,
                                 const std::string& value, const std::string& key = "counter") {
  const TextNode* m = FindMetric(request, metric);
  if (m == nullptr) return nullptr;
  const TextNode* data = m->Child("exponential_histogram");
  if (data == nullptr) data = m->Child("sum");
  if (data == nullptr) return nullptr;
  for (const TextNode* p : data->All("data_points")) {
    for (const TextNode* a : p->All("attributes")) {
      const TextNode* v = a->Child("value");
      if (a->Text("key") == key && v != nullptr && v->Text("string_value") == value) return p;
    }
  }
  return nullptr;
}

// What the receiver does with one request.
struct Action {
  int status = 200;         // answered with this status...
  std::string headers;      // ...these extra header lines ("Name: value\r\n")...
  std::string body;         // ...and this body
  bool close = false;       // or: closes the connection without an answer
  bool stall = false;       // or: never answers (until the receiver stops)
  bool garbage = false;     // or: answers bytes that are not HTTP
  bool halfAnswer = false;  // or: closes after part of a 200 answer's body
};

struct Request {
  std::string head;  // request line and headers
  std::string body;  // as received (gzip or not)
  // The body uncompressed; empty when it is not one whole gzip member.
  std::string Plain() const {
    std::string out;
    if (head.find("Content-Encoding: gzip") == std::string::npos) return body;
    return zrexport::Gunzip(body, &out, std::size_t{1} << 30) ? out : std::string();
  }
};

// Reads one request (head and Content-Length body) into `r` with `read`, which
// appends what came to its argument; false when `read` is, before the end.
inline bool ReadRequest(const std::function<bool(std::string*)>& read, Request* r) {
  std::string data;
  std::size_t end;
  while ((end = data.find("\r\n\r\n")) == std::string::npos) {
    if (!read(&data)) return false;
  }
  r->head = data.substr(0, end + 2);
  const std::size_t at = r->head.find("Content-Length: ");
  const std::size_t length =
      at == std::string::npos ? 0 : std::strtoul(r->head.c_str() + at + 16, nullptr, 10);
  r->body = data.substr(end + 4);
  while (r->body.size() < length) {
    if (!read(&r->body)) return false;
  }
  return true;
}

// Serves 127.0.0.1 at a port on a thread of its own, one connection at a
// time, each with Handle(). A derived class calls Close() in its destructor,
// before what Handle() uses goes.
class LoopbackServer {
 public:
  virtual ~LoopbackServer() = default;
  int Port() const { return m_port; }

  // Stops listening (connections are then refused) until Listen() again.
  void Close() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_listener >= 0) ::close(m_listener);
    m_listener = -1;
  }
  // Listens at `port` (0: any free port); aborts when it cannot.
  void Listen(int port) {
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(a);
    if (bind(m_listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        listen(m_listener, 16) != 0 ||
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
      std::abort();
    }
    m_port = ntohs(a.sin_port);
    m_stop = false;
    m_thread = std::thread([this] {
      while (!m_stop) {
        pollfd p{m_listener, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        const int fd = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        Handle(fd);
        ::close(fd);
      }
    });
  }

 protected:
  virtual void Handle(int fd) = 0;
  std::atomic<bool> m_stop{false};

 private:
  int m_listener = -1;
  int m_port = 0;
  std::thread m_thread;
};

class LoopbackReceiver : public LoopbackServer {
 public:
  explicit LoopbackReceiver(int port = 0) { Listen(port); }
  ~LoopbackReceiver() override { Close(); }

  std::string Url() const { return "http://127.0.0.1:" + std::to_string(Port()); }

  // Actions for the next requests, in order; then 200 for every one.
  void Script(std::vector<Action> actions) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Action& a : actions) m_script.push_back(std::move(a));
  }

  // Whether requests are kept for Requests() (by default); a benchmark keeps
  // only their count.
  void Keep(bool keep) { m_keep = keep; }
  std::size_t Count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
  }

  std::vector<Request> Requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
  }
  // Waits (at most 60 s) until `n` requests came; false on the limit.
  bool WaitForRequests(std::size_t n) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(60), [&] { return m_count >= n; });
  }

 private:
  // Appends what `fd` has to `buffer`; false when the client went away or
  // the receiver stops.
  bool ReadSome(int fd, std::string* buffer) {
    for (;;) {
      if (m_stop) return false;
      pollfd p{fd, POLLIN, 0};
      const int ready = poll(&p, 1, 20);
      if (ready == 0) continue;
      char chunk[65536];
      const ssize_t n = ready > 0 ? ::read(fd, chunk, sizeof(chunk)) : -1;
      if (n <= 0) return false;
      buffer->append(chunk, static_cast<std::size_t>(n));
      return true;
    }
  }

  // Serves one request on `fd` (libcurl never resends on a reused connection).
  void Handle(int fd) override {
    Request r;
    if (!ReadRequest([&](std::string* data) { return ReadSome(fd, data); }, &r)) return;
    Action action;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (!m_script.empty()) {
        action = std::move(m_script.front());
        m_script.pop_front();
      }
      ++m_count;
      if (m_keep) m_requests.push_back(std::move(r));
    }
    m_changed.notify_all();
    std::string ignored;  // a stall reads on until the client goes or the receiver stops
    while (action.stall && ReadSome(fd, &ignored)) {
    }
    if (action.close || action.stall) return;
    std::string answer =
        "HTTP/1.1 " + std::to_string(action.status) +
        " X\r\nConnection: close\r\nContent-Length: " + std::to_string(action.body.size()) +
        "\r\n" + action.headers + "\r\n" + action.body;
    if (action.garbage)
      answer = std::string("\x16\x03\x01 this is not HTTP ") + '\0' + "\xff\r\n\r\n";
    if (action.halfAnswer) answer = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npartial";
    for (std::size_t sent = 0; sent < answer.size();) {
      const ssize_t n = ::send(fd, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
  }

  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<Action> m_script;
  std::vector<Request> m_requests;
  std::size_t m_count = 0;
  std::atomic<bool> m_keep{true};
};

}  // namespace zrotlp_test

#endif  // ZRPERF_TESTS_SUPPORT_OTLPRECEIVER_H_
