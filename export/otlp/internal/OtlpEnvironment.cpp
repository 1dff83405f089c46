#include "OtlpEnvironment.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include <zrperf/export/otlp/internal/OtlpSchedule.h>
#include <zrperf/export/otlp/internal/OtlpTransport.h>
#include <zrperf/util/internal/RecordText.h>
#include <zrperf/util/internal/Utf8.h>

namespace zrotlp {

namespace {

using std::chrono::milliseconds;
using Options = COtlpExporter::Options;

constexpr std::size_t kMaxQuoted = 64;  // bytes of a value quoted in a warning
const char kPrefix[] = "OTEL_EXPORTER_OTLP_";
const char kMetricsPrefix[] = "OTEL_EXPORTER_OTLP_METRICS_";

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// `s` without the spaces and tabs around it (the list form's optional white space).
std::string_view Trim(std::string_view s) {
  const std::size_t first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// A value as a warning quotes it: cut at kMaxQuoted bytes, escaped to one line.
std::string Shown(std::string_view value) {
  const std::string cut(value.substr(0, kMaxQuoted));
  return "'" + zrperf::EscapeRecordText(cut) + (value.size() > kMaxQuoted ? "...'" : "'");
}

// A whole number of milliseconds in [min, max]: digits only, blanks around allowed.
bool ParseMs(std::string_view text, milliseconds min, milliseconds max, milliseconds* value,
             std::string* why) {
  const std::string_view digits = Trim(text);
  const std::string range = Shown(text) + " is not a whole number of milliseconds from " +
                            std::to_string(min.count()) + " to " + std::to_string(max.count());
  const std::size_t lead = std::min(digits.find_first_not_of('0'), digits.size());
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos ||
      digits.size() - lead > 12) {  // 12 digits are past every limit and fit 64 bits
    *why = range;
    return false;
  }
  long long n = 0;
  for (char c : digits) n = n * 10 + (c - '0');
  if (n < min.count() || n > max.count()) {
    *why = range;
    return false;
  }
  *value = milliseconds(n);
  return true;
}

// One member of a list variable: its place (1-based, empty members counted)
// and its key and value.
struct Member {
  std::size_t index = 0;
  std::string key;
  std::string value;
};

// The list form of the headers and resource attributes: "key=value" members
// separated by commas, blanks around each key and value ignored, empty
// members skipped, the value (and, when `decodeKeys`, the key) percent-decoded.
// False with `why` on a member without '=' or with an empty key, bad
// percent-encoding, or a key given twice (without regard to case when
// `foldKeys`). `why` names members by their place, never quoting a key: a
// header's may be a token given in the wrong form ("Bearer tok=...").
bool ParseList(std::string_view text, bool decodeKeys, bool foldKeys, std::vector<Member>* members,
               std::string* why) {
  std::set<std::string> keys;
  std::size_t index = 0;
  for (bool more = true; more;) {
    const std::size_t comma = text.find(',');
    more = comma != std::string_view::npos;
    const std::string_view member = Trim(text.substr(0, comma));
    if (more) text.remove_prefix(comma + 1);
    ++index;
    if (member.empty()) continue;
    const std::string where = "member " + std::to_string(index);
    const std::size_t equals = member.find('=');
    if (equals == std::string_view::npos) {
      *why = where + " has no '='";
      return false;
    }
    std::string key(Trim(member.substr(0, equals)));
    std::string value;
    if (decodeKeys) {
      std::string decoded;
      if (!PercentDecode(key, &decoded)) {
        *why = where + " has a key with bad percent-encoding";
        return false;
      }
      key = std::move(decoded);
    }
    if (key.empty()) {
      *why = where + " has an empty key";
      return false;
    }
    if (!PercentDecode(Trim(member.substr(equals + 1)), &value)) {
      *why = where + " has a value with bad percent-encoding";
      return false;
    }
    if (!keys.insert(foldKeys ? Lower(key) : key).second) {
      *why = where + " repeats the key of an earlier member";
      return false;
    }
    members->push_back(Member{index, std::move(key), std::move(value)});
  }
  return true;
}

class Reader {
 public:
  Reader(const GetEnv& getenv, std::string* warnings) : m_getenv(getenv), m_warnings(warnings) {}

  // The value of `name`; empty when unset, empty or too long (then warned).
  std::optional<std::string> Get(const std::string& name) {
    const char* value = m_getenv(name.c_str());
    if (value == nullptr || *value == '\0') return std::nullopt;
    std::string_view v(value);
    if (v.size() > kMaxEnvValue) {
      Warn(name + ": longer than " + std::to_string(kMaxEnvValue) + " bytes; ignored");
      return std::nullopt;
    }
    return std::string(v);
  }

  // Applies `use` (bool(value, metricsForm, &why)) to the METRICS_ form of
  // `suffix`, else to its general form when that one is unset or unusable.
  template <typename Use>
  void Either(const std::string& suffix, Use use) {
    for (const bool metrics : {true, false}) {
      if (One((metrics ? kMetricsPrefix : kPrefix) + suffix,
              [&](const std::string& v, std::string* why) { return use(v, metrics, why); })) {
        return;
      }
    }
  }

  // Applies `use` (bool(value, &why)) to the variable `name`; true when it was
  // used. An unusable value is warned about as `name` + ": " + why.
  template <typename Use>
  bool One(const std::string& name, Use use) {
    const std::optional<std::string> value = Get(name);
    if (!value) return false;
    std::string why;
    if (use(*value, &why)) return true;
    Warn(name + ": " + why + "; ignored");
    return false;
  }

 private:
  // Appends `line` (escaped where it quotes values) with bytes above 0x7F
  // shown as '?': warnings go to terminals, which may take a lone one for a
  // control character.
  void Warn(std::string line) {
    if (m_warnings == nullptr) return;
    for (char& c : line) {
      if (static_cast<unsigned char>(c) > 0x7F) c = '?';
    }
    *m_warnings += line + "\n";
  }

  const GetEnv& m_getenv;
  std::string* m_warnings;
};

}  // namespace

bool PercentDecode(std::string_view in, std::string* out) {
  auto hex = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  out->clear();
  out->reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out->push_back(in[i]);
      continue;
    }
    if (i + 2 >= in.size()) return false;
    const int high = hex(in[i + 1]);
    const int low = hex(in[i + 2]);
    if (high < 0 || low < 0) return false;
    out->push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return true;
}

Options OptionsFromEnvironment(const GetEnv& getenv, std::string* warnings) {
  Options o;
  Reader env(getenv, warnings);
  const auto mustBe = [](std::string* why, std::string_view value, const char* what) {
    *why = Shown(value) + " is not " + what;
    return false;
  };

  env.Either("ENDPOINT", [&](const std::string& v, bool metrics, std::string* why) {
    std::string url, display;
    // The general form is a base URL (/v1/metrics appended); the METRICS_
    // form is the URL itself.
    if (!ResolveEndpoint(std::string(Trim(v)), &url, &display, why, metrics)) return false;
    o.endpoint = std::string(Trim(v));
    o.endpointIsUrl = metrics;
    return true;
  });
  env.Either("HEADERS", [&](const std::string& v, bool, std::string* why) {
    std::vector<Member> members;
    if (!ParseList(v, false, true, &members, why)) return false;
    std::vector<std::string> headers;
    for (const Member& m : members) {
      std::string& header = headers.emplace_back(m.key);
      header.append(": ").append(m.value);
      std::string wrong;
      // A ':' in the key would end the name early and put the rest in the value.
      if (m.key.find(':') != std::string::npos) {
        wrong = "its name is not an HTTP token (byte " + std::to_string(m.key.find(':') + 1) + ")";
      }
      if (!wrong.empty() || !CheckHeader(header, &wrong)) {
        *why = "member " + std::to_string(m.index) + ": " + wrong;
        return false;
      }
    }
    o.headers = std::move(headers);
    return true;
  });
  std::optional<milliseconds> timeout;
  env.Either("TIMEOUT", [&](const std::string& v, bool, std::string* why) {
    milliseconds ms;
    if (!ParseMs(v, kMinTimeout, kMaxTimeout, &ms, why)) return false;
    timeout = ms;
    return true;
  });
  env.Either("COMPRESSION", [&](const std::string& v, bool, std::string* why) {
    const std::string c = Lower(Trim(v));
    if (c != "gzip" && c != "none") return mustBe(why, v, "gzip or none");
    o.gzip = c == "gzip";
    return true;
  });
  env.Either("PROTOCOL", [&](const std::string& v, bool, std::string* why) {
    return Lower(Trim(v)) == "http/protobuf" ||
           mustBe(why, v, "http/protobuf, the only one spoken");
  });
  const std::pair<const char*, std::string*> files[] = {{"CERTIFICATE", &o.caFile},
                                                        {"CLIENT_CERTIFICATE", &o.clientCertFile},
                                                        {"CLIENT_KEY", &o.clientKeyFile}};
  for (const auto& file : files) {
    std::string* field = file.second;  // a structured binding cannot be captured before C++20
    env.Either(file.first, [field](const std::string& v, bool, std::string*) {
      *field = v;  // a path as it is; Start() checks that it is a readable file
      return true;
    });
  }
  env.One("OTEL_SERVICE_NAME", [&](const std::string& v, std::string* why) {
    if (!zrperf::IsUtf8(v)) return mustBe(why, v, "valid UTF-8");
    o.serviceName = v;
    return true;
  });
  env.One("OTEL_RESOURCE_ATTRIBUTES", [&](const std::string& v, std::string* why) {
    std::vector<Member> members;
    if (!ParseList(v, true, false, &members, why)) return false;
    for (const Member& m : members) {
      if (!zrperf::IsUtf8(m.key) || !zrperf::IsUtf8(m.value)) {
        *why = "the attribute " + Shown(m.key) + " is not valid UTF-8";
        return false;
      }
    }
    o.attributes.clear();
    for (Member& m : members) {
      if (m.key != "service.name") {
        o.attributes.emplace_back(std::move(m.key), std::move(m.value));
      } else if (o.serviceName.empty()) {  // OTEL_SERVICE_NAME wins
        o.serviceName = std::move(m.value);
      }
    }
    return true;
  });
  env.One("OTEL_METRIC_EXPORT_INTERVAL", [&](const std::string& v, std::string* why) {
    return ParseMs(v, kMinPeriod, kMaxPeriod, &o.period, why);
  });
  // The time allowed for one export caps the request timeout.
  env.One("OTEL_METRIC_EXPORT_TIMEOUT", [&](const std::string& v, std::string* why) {
    milliseconds ms;
    if (!ParseMs(v, kMinTimeout, kMaxTimeout, &ms, why)) return false;
    timeout = std::min(timeout.value_or(o.timeout), ms);
    return true;
  });
  if (timeout) o.timeout = *timeout;
  env.One(std::string(kMetricsPrefix) + "TEMPORALITY_PREFERENCE",
          [&](const std::string& v, std::string* why) {
            const std::string t = Lower(Trim(v));
            if (t != "cumulative" && t != "delta" && t != "lowmemory") {
              return mustBe(why, v, "cumulative, delta or lowmemory");
            }
            // Every instrument here is a synchronous counter or histogram,
            // for which the low-memory preference is delta.
            o.temporality = t == "cumulative" ? Options::Temporality::kCumulative
                                              : Options::Temporality::kDelta;
            return true;
          });
  env.One("OTEL_SDK_DISABLED", [&](const std::string& v, std::string* why) {
    const std::string b = Lower(Trim(v));
    if (b != "true" && b != "false") return mustBe(why, v, "true or false");
    o.disabled = b == "true";
    return true;
  });
  return o;
}

}  // namespace zrotlp
