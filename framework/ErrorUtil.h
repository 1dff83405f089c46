// FXErrorUtil: builds error results; FXErrorPrivate: the detail they carry.
//
//   return FXErrorUtil::ErrorWin32(FXCodeLocation(__FILE__, "void F()", 48), 774,
//                                  "Failed to read [%s]", path.c_str());
//
// The builder does not log. Results are immutable once built and may be
// shared between threads.

#ifndef ZRPERF_FRAMEWORK_ERRORUTIL_H_
#define ZRPERF_FRAMEWORK_ERRORUTIL_H_

#include <cstdint>
#include <string>

#include <zrperf/sync/CodeLocation.h>
#include <zrperf/sync/Export.h>
#include <zrperf/sync/KyError.h>

// The detail of an error result: the numeric code it was built from, the
// formatted message and the place that reported it (texts copied).
class ZRFW_EXPORT FXErrorPrivate {
 public:
  FXErrorPrivate(unsigned code, std::string message, const FXCodeLocation& where);

  unsigned GetCode() const noexcept { return m_nCode; }
  const std::string& GetMessage() const noexcept { return m_strMessage; }
  const std::string& GetFile() const noexcept { return m_strFile; }
  const std::string& GetFunction() const noexcept { return m_strFunction; }
  int GetLine() const noexcept { return m_nLine; }

 private:
  unsigned m_nCode;
  std::string m_strMessage;
  std::string m_strFile;
  std::string m_strFunction;
  int m_nLine;
};

class ZRFW_EXPORT FXErrorUtil {
 public:
  // The result code that ErrorWin32 derives from `code` (always negative).
  static std::int32_t ResultFromWin32(unsigned code) noexcept;

  // An error result (IsError() true) whose detail keeps `code`, the message
  // formatted from `format` and its values, and `where`.
  static CKyError ErrorWin32(const FXCodeLocation& where, unsigned code, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
};

#endif  // ZRPERF_FRAMEWORK_ERRORUTIL_H_
