// CKyPath: file-system tests on path names. Stateless and thread-safe.

#ifndef ZRPERF_FRAMEWORK_KYPATH_H_
#define ZRPERF_FRAMEWORK_KYPATH_H_

#include <zrperf/sync/Export.h>

class ZRFW_EXPORT CKyPath {
 public:
  // True exactly when `path` names a regular file, following symbolic links.
  // A null or empty path, a directory, a device, a dangling link: false.
  static bool IsFile(const char* path);
};

#endif  // ZRPERF_FRAMEWORK_KYPATH_H_
