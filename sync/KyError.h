// CKyError: the result value of an operation that can fail.
//
// A signed 32-bit result code (0 success, negative error, positive not an
// error) plus a shared, immutable detail record built by the framework
// (FXErrorUtil::ErrorWin32). Copies share the detail. A CKyError is a value:
// distinct objects may be used on distinct threads freely; one object is
// not to be modified while another thread reads it.
//
//   CKyError err = ZrScsiUtils::GetCommaSeperatedValues(path, values);
//   if (err.IsError()) Report(err.AsString());

#ifndef ZRPERF_SYNC_KYERROR_H_
#define ZRPERF_SYNC_KYERROR_H_

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>
#include <utility>

#include "Export.h"

class FXErrorPrivate;  // the framework's detail record (framework/ErrorUtil.h)

class CKyError {
 public:
  // Result code 0 and no detail.
  CKyError() noexcept : m_nResult(0) {}

  // A result with the given code and detail; used by the framework's error builder.
  CKyError(std::int32_t result, boost::shared_ptr<FXErrorPrivate> detail) noexcept
      : m_nResult(result), m_ptrDetail(std::move(detail)) {}

  // Releases the detail (defined by the framework library).
  ZRFW_EXPORT ~CKyError();

  CKyError(const CKyError&) = default;
  CKyError& operator=(const CKyError&) = default;
  CKyError(CKyError&&) noexcept = default;
  CKyError& operator=(CKyError&&) noexcept = default;

  // The value every successful operation returns: a default CKyError.
  static CKyError Success() noexcept { return CKyError(); }

  // True exactly when the result code is negative.
  bool IsError() const noexcept { return m_nResult < 0; }

  std::int32_t GetResult() const noexcept { return m_nResult; }
  const boost::shared_ptr<FXErrorPrivate>& GetDetail() const noexcept { return m_ptrDetail; }

  // One line describing the result (defined by the framework library): for a
  // result without detail "result=<code>", otherwise the code, the original
  // numeric code, the message and the source location.
  ZRFW_EXPORT std::string AsString() const;

 private:
  std::int32_t m_nResult;
  boost::shared_ptr<FXErrorPrivate> m_ptrDetail;
};

#endif  // ZRPERF_SYNC_KYERROR_H_
