// Internal to libzrperf-otlp: the exporter's options read from the standard
// OTEL_* environment variables, the way every OpenTelemetry SDK reads them
// (the variables and their rules are listed in docs/otlp.md).
//
// The variables are read through a getenv-like function, so that the process
// environment is only touched by COtlpExporter::Options::FromEnvironment().
// An empty variable counts as unset. A value that cannot be used (not a
// number, out of range, malformed, longer than kMaxEnvValue bytes) is named in
// one warning line and ignored: the option keeps its default, or, for a
// variable with a METRICS_ form, the general form applies. A list variable
// (headers, resource attributes) with any malformed member, bad
// percent-encoding or a repeated key is ignored as a whole. Warnings never
// quote a header (a list's members are named by their place) nor an
// endpoint's user information, and every text they quote is escaped to one
// line.
//
// Thread-safety: stateless functions; `getenv` is called from the calling
// thread only.

#ifndef ZRPERF_EXPORT_OTLP_INTERNAL_OTLPENVIRONMENT_H_
#define ZRPERF_EXPORT_OTLP_INTERNAL_OTLPENVIRONMENT_H_

#include <zrperf/export/otlp/OtlpExporter.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace zrotlp {

// The longest value of one variable that is read; longer ones are ignored.
constexpr std::size_t kMaxEnvValue = 64 * 1024;

// Returns a variable's value, or null when it is unset (as getenv()).
using GetEnv = std::function<const char*(const char*)>;

// The options the variables give, starting from the defaults. Each ignored
// value appends one line ending in '\n' to `*warnings` (when given).
COtlpExporter::Options OptionsFromEnvironment(const GetEnv& getenv, std::string* warnings);

// Decodes %XX escapes (two hex digits, either case) of `in` into `*out`;
// every other byte stands for itself. False when a '%' starts no escape.
bool PercentDecode(std::string_view in, std::string* out);

}  // namespace zrotlp

#endif  // ZRPERF_EXPORT_OTLP_INTERNAL_OTLPENVIRONMENT_H_
