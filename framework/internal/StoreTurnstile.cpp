#include "StoreTurnstile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace zrfw {

namespace {

constexpr off_t kDoor = 0;
constexpr off_t kRoom = 1;

// Takes (type F_RDLCK or F_WRLCK) or releases (F_UNLCK) one byte, waiting
// for it. False when the lock cannot be taken.
bool LockByte(int fd, off_t byte, short type) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  for (;;) {
    if (::fcntl(fd, F_OFD_SETLKW, &lock) == 0) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace

std::string StoreTurnstile::LockPath(const std::string& storePath) {
  return storePath + "-lock";
}

StoreTurnstile::StoreTurnstile(std::string storePath)
    : m_lockPath(LockPath(storePath)), m_storePath(std::move(storePath)) {}

StoreTurnstile::~StoreTurnstile() {
  if (m_fd >= 0) ::close(m_fd);  // releases whatever is still held
}

bool StoreTurnstile::Open(bool write) {
  if (m_fd >= 0 && (m_writable || !write)) return true;
  if (m_storePath.empty()) return false;
  // A writer needs the file open for writing to take a write lock.
  const int fd = ::open(m_lockPath.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  if (m_fd >= 0) ::close(m_fd);
  m_fd = fd;
  m_writable = write;
  return true;
}

void StoreTurnstile::Enter(bool write) {
  m_inside = false;
  if (!Open(write)) return;
  const short type = write ? F_WRLCK : F_RDLCK;
  if (!LockByte(m_fd, kDoor, type)) return;
  m_inside = LockByte(m_fd, kRoom, type);
  LockByte(m_fd, kDoor, F_UNLCK);
}

void StoreTurnstile::Leave() {
  if (m_inside) LockByte(m_fd, kRoom, F_UNLCK);
  m_inside = false;
}

void StoreTurnstile::CreateIfMissing() {
  if (m_fd >= 0 || m_storePath.empty()) return;
  struct stat store;
  if (::stat(m_storePath.c_str(), &store) != 0) return;
  const mode_t mode = store.st_mode & 0666;
  const int fd = ::open(m_lockPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
  if (fd < 0) return;  // there already, or the directory is not writable
  // The umask may have taken bits away; the database's users all need it.
  if (::fchmod(fd, mode) != 0 ||
      (::geteuid() == 0 && ::fchown(fd, store.st_uid, store.st_gid) != 0)) {
    ::close(fd);
    ::unlink(m_lockPath.c_str());
    return;
  }
  ::close(fd);
}

}  // namespace zrfw
