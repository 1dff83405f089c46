// Test support: the cause a call failed by a FileFault leaves in errno, which
// the record of that failure names.
//
// Stateless; safe from any thread.

#ifndef ZRPERF_TESTS_SUPPORT_FAULTCAUSE_H_
#define ZRPERF_TESTS_SUPPORT_FAULTCAUSE_H_

#include <cerrno>
#include <cstring>

#include <zrperf/tests/support/FileFaults.h>

namespace zrperf_test {

// The errno of a call that `fault` failed; 0 for a short write, which fails
// no call, and for a kill.
inline int FaultErrno(FileFault fault) {
  return fault == FileFault::kNoSpace || fault == FileFault::kDiskFull ? ENOSPC
         : fault == FileFault::kIo                                     ? EIO
         : fault == FileFault::kInterrupt                              ? EINTR
         : fault == FileFault::kFileSize                               ? EFBIG
                                                                       : 0;
}

// The text of FaultErrno(fault), as strerror() gives it; "" when there is none.
inline const char* FaultCause(FileFault fault) {
  return FaultErrno(fault) == 0 ? "" : std::strerror(FaultErrno(fault));
}

}  // namespace zrperf_test

#endif  // ZRPERF_TESTS_SUPPORT_FAULTCAUSE_H_
