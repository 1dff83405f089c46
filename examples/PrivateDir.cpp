#include "PrivateDir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zrdemo {

bool PreparePrivateDir(const std::string& path, std::string* error) {
  // mkdir never follows a link in the last component: a planted link (even a
  // dangling one) makes it fail with EEXIST and is refused below.
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  // Look at what is there through a descriptor that refuses a link, so that
  // what is checked is what the demo then uses.
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    *error = path + " is a link or not a directory; remove it or pass --state-dir";
    return false;
  }
  struct stat st;
  const int rc = ::fstat(fd, &st);
  ::close(fd);
  if (rc != 0) {
    *error = "cannot examine " + path + ": " + std::strerror(errno);
    return false;
  }
  if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    char detail[96];
    std::snprintf(detail, sizeof(detail), " (owner uid %u, mode %04o)",
                  static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777));
    *error = path + " is not a directory private to you" + detail +
             "; remove it or pass --state-dir";
    return false;
  }
  return true;
}

}  // namespace zrdemo
