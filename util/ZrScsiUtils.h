// ZrScsiUtils: helpers that the service's components share.
//
// GetCommaSeperatedValues reads a small text file of comma-separated values
// (the service's pre-init target list) into a vector of strings.
//
// Thread-safety: the operations are static, keep no state and are reentrant;
// any thread may call them at any time. A caller's output vector must not be
// used by another thread during the call.

#ifndef ZRPERF_UTIL_ZRSCSIUTILS_H_
#define ZRPERF_UTIL_ZRSCSIUTILS_H_

#include <string>
#include <vector>

#include <zrperf/sync/Export.h>
#include <zrperf/sync/KyError.h>

class ZRPERF_EXPORT ZrScsiUtils {
 public:
  // Reads the fields of the file at `path`. Every comma ends a field (there is
  // no quoting); line breaks stay inside their field, and each field is
  // trimmed of the characters that the global locale classifies as space.
  // Nothing after the last comma means no further field.
  //
  // The path is opened once per attempt, without blocking and close-on-exec,
  // and checked through the open descriptor, so that nothing put in its place
  // (a FIFO, a device, a file whose read would block) can hold the caller. A
  // path that does not name a regular file is an empty request: success,
  // `values` untouched, nothing logged. Records and error texts show the path
  // up to its first NUL with its control characters escaped
  // (util/internal/RecordText.h). Otherwise up to three attempts are
  // made to read the file to its end; each failed one logs a warning (level
  // -1). A completed read replaces `values` with the fields read. When all
  // three attempts fail, or a std::exception escapes the reading, the result
  // is an error with code 774 and `values` is left as it was. Exceptions not
  // derived from std::exception pass to the caller.
  static CKyError GetCommaSeperatedValues(const std::string& path,
                                          std::vector<std::string>& values);
};

#endif  // ZRPERF_UTIL_ZRSCSIUTILS_H_
