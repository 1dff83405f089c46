#include "OwnFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <zrperf/framework/FileSystem.h>

namespace zrperf {

namespace {

// errno: the failing call's for a failure, 0 for a refusal.
int Refuse(int fd, std::string* why, std::string text, int err = 0) {
  if (fd >= 0) zrfw::Files().Close(fd);
  *why = std::move(text);
  errno = err;
  return -1;
}

}  // namespace

int OpenOwn(const std::string& path, OwnKind kind, int flags, bool create, mode_t mode,
            struct stat* st, std::string* why) {
  const bool file = kind == OwnKind::kFile;
  flags |= O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (file ? 0 : O_DIRECTORY);
  flags &= ~(O_CREAT | O_EXCL | O_TRUNC);
  int fd = -1;
  // An existing file is opened as it is; a missing one is created new. A
  // name that appears between the two (another writer's file, or a link
  // planted there: O_EXCL fails on a dangling one) is opened again as found.
  // An interrupted open is tried again.
  for (int attempt = 0; attempt < 8; ++attempt) {
    fd = zrfw::Files().Open(path.c_str(), flags, 0);
    if (fd < 0 && errno == EINTR) continue;
    if (fd >= 0 || errno != ENOENT || !create || !file) break;
    fd = zrfw::Files().Open(path.c_str(), flags | O_CREAT | O_EXCL, mode);
    if (fd < 0 && errno == EINTR) continue;
    if (fd >= 0 || errno != EEXIST) break;
  }
  if (fd < 0) {
    const int err = errno;
    if (err == ELOOP || (!file && err == ENOTDIR)) {
      return Refuse(fd, why,
                    path + (file ? " is a symbolic link" : " is a link or not a directory"));
    }
    return Refuse(fd, why, path + " cannot be opened: " + std::strerror(err), err);
  }
  if (::fstat(fd, st) != 0) {
    const int err = errno;
    return Refuse(fd, why, path + " cannot be examined: " + std::strerror(err), err);
  }
  if (file && !S_ISREG(st->st_mode)) return Refuse(fd, why, path + " is not a regular file");
  if (file && st->st_nlink > 1) {
    return Refuse(fd, why, path + " has another name (a hard link)");
  }
  if (st->st_uid != ::geteuid()) {
    return Refuse(fd, why,
                  path + " belongs to another user (owner uid " +
                      std::to_string(static_cast<unsigned long>(st->st_uid)) + ")");
  }
  return fd;
}

}  // namespace zrperf
