#include "KyPath.h"

#include <sys/stat.h>

bool CKyPath::IsFile(const char* path) {
  if (path == nullptr || *path == '\0') return false;
  struct stat st;
  if (::stat(path, &st) != 0) return false;  // stat() follows symbolic links
  return S_ISREG(st.st_mode);
}
