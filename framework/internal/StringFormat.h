// Internal to libzrframework: printf-style formatting into a std::string, and
// the one way its variadic functions (WriteLog, SendLog, ErrorWin32) turn
// their arguments into text. Pure functions: safe on any thread.

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

// In a variadic function whose last named parameter is the printf-style
// format `format`: assigns to the std::string `out` the text of `format` with
// the function's variable arguments (FormatV() above: any length). The
// argument list is opened and closed in the calling function itself, as C
// requires of va_start and va_end, and it is closed on every path: when
// formatting throws (out of memory) the exception passes on after va_end.
// Callers hand `out` to code that may throw (a sink) only afterwards, so no
// list is ever left open.
#define ZR_FORMAT_VARIADIC(out, format)                    \
  do {                                                     \
    va_list zrfwVariadicArgs;                              \
    va_start(zrfwVariadicArgs, format);                    \
    try {                                                  \
      (out) = ::zrfw::FormatV((format), zrfwVariadicArgs); \
    } catch (...) {                                        \
      va_end(zrfwVariadicArgs);                            \
      throw;                                               \
    }                                                      \
    va_end(zrfwVariadicArgs);                              \
  } while (false)

#endif  // ZRPERF_FRAMEWORK_INTERNAL_STRINGFORMAT_H_
