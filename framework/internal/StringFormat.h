// Internal to libzrframework: printf-style formatting into a std::string.

#ifndef ZRPERF_FRAMEWORK_INTERNAL_STRINGFORMAT_H_
#define ZRPERF_FRAMEWORK_INTERNAL_STRINGFORMAT_H_

#include <cstdarg>
#include <string>

namespace zrfw {

// Formats `format` with `args` (any length). A null format gives an empty
// string; a format that vsnprintf rejects gives the format text itself.
// `args` is consumed as by vsnprintf.
std::string FormatV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

}  // namespace zrfw

#endif  // ZRPERF_FRAMEWORK_INTERNAL_STRINGFORMAT_H_
