#include "PrivateDir.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <zrperf/framework/FileSystem.h>
#include <zrperf/util/internal/OwnFile.h>

namespace zrdemo {

bool PreparePrivateDir(const std::string& path, std::string* error) {
  // mkdir never follows a link in the last component: a planted link (even a
  // dangling one) makes it fail with EEXIST and is refused below.
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  // Look at what is there through a descriptor that refuses a link and
  // another user's directory, so that what is checked is what the demo uses.
  struct stat st;
  std::string why;
  const int fd = zrperf::OpenOwn(path, zrperf::OwnKind::kDirectory, O_RDONLY, false, 0, &st, &why);
  if (fd < 0) {
    *error = why + "; remove it or pass --state-dir";
    return false;
  }
  zrfw::Files().Close(fd);  // a directory, only looked at
  if ((st.st_mode & 077) != 0) {
    char detail[96];
    std::snprintf(detail, sizeof(detail), " (owner uid %u, mode %04o)",
                  static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777));
    *error =
        path + " is not a directory private to you" + detail + "; remove it or pass --state-dir";
    return false;
  }
  return true;
}

}  // namespace zrdemo
