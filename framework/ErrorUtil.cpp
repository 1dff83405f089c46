#include "ErrorUtil.h"

#include <boost/make_shared.hpp>
#include <cstdarg>
#include <utility>

#include <zrperf/framework/internal/StringFormat.h>

namespace {

const char* OrEmpty(const char* s) {
  return s != nullptr ? s : "";
}

}  // namespace

FXErrorPrivate::FXErrorPrivate(unsigned code, std::string message, const FXCodeLocation& where)
    : m_nCode(code),
      m_strMessage(std::move(message)),
      m_strFile(OrEmpty(where.GetFile())),
      m_strFunction(OrEmpty(where.GetFunction())),
      m_nLine(where.GetLine()) {}

// Like an HRESULT built from a Win32 code: severity bit set, facility 7
// (Win32), the code in the low 16 bits. Code 0 still yields an error value.
std::int32_t FXErrorUtil::ResultFromWin32(unsigned code) noexcept {
  const std::uint32_t value = 0x80070000u | (code & 0xFFFFu);
  return static_cast<std::int32_t>(value);
}

CKyError FXErrorUtil::ErrorWin32(const FXCodeLocation& where, unsigned code, const char* format,
                                 ...) {
  std::string message;
  ZR_FORMAT_VARIADIC(message, format);
  return CKyError(ResultFromWin32(code),
                  boost::make_shared<FXErrorPrivate>(code, std::move(message), where));
}
